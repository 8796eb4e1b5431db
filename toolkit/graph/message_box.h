#pragma once
// How the toolkit shows a message box. The default shows a modal Qt message box when the
// process runs a QApplication on a graphical session and the caller is on its thread. Without
// one (no QApplication, another thread, or the offscreen and minimal platforms of a process
// with no display) it writes the text to stderr and returns at once, as if the box had been
// confirmed: a headless caller never blocks. Tests install their own function to see the
// messages without a dialog.

#include <functional>
#include <string>

namespace tovik {

enum class MessageIcon { kError, kWarning, kInformation };

using MessageBoxFunction = std::function<void(const std::string& text, MessageIcon icon)>;

// Installs a function (an empty one restores the default) and answers the one it replaces.
MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction function);

// Whether the default would show a real box on this thread (false: the text goes to stderr).
bool CanShowMessageBox();

// Shows the text (UTF-8) and returns when the user has closed the box.
void ShowMessageBox(const std::string& text, MessageIcon icon);

}  // namespace tovik
