#pragma once
// The Qt application of a process that has none of its own (a C program with a GLib or plain
// poll() loop): started on a thread of the platform on first need, running until the process
// ends.

#include <functional>

namespace platform {

// Whether a QApplication runs in the process, starting one on a thread of its own when there
// is none and a display to connect to. False when none can run.
bool EnsureGuiApplication();

// Waits until the work already handed to the platform's own application (closing windows, for
// one) has run, so that none is left for the time the process exits. Nothing to do in a process
// with an application of its own.
void SettleGuiThread();

// Runs `work` on the Qt application's thread and waits for it.
void RunOnGuiThread(const std::function<void()>& work);

}  // namespace platform
