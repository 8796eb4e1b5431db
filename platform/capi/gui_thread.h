#pragma once
// The Qt application of a process that has none of its own (a C program with a GLib or plain
// poll() loop): started on a thread of the platform on first need, quit and joined at exit.

#include <functional>

namespace platform {

// Whether a QApplication runs in the process, starting one on a thread of its own when there
// is none and a display to connect to. False when none can run.
bool EnsureGuiApplication();

// Runs `work` on the Qt application's thread and waits for it.
void RunOnGuiThread(const std::function<void()>& work);

}  // namespace platform
