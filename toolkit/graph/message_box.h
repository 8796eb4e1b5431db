#pragma once
// How the toolkit shows a message box. The default shows a modal Qt message box when the
// process runs a QApplication and the caller is on its thread, and writes the text to stderr
// otherwise; tests install their own function to see the messages without a dialog.

#include <functional>
#include <string>

namespace tovik {

enum class MessageIcon { kError, kWarning, kInformation };

using MessageBoxFunction = std::function<void(const std::string& text, MessageIcon icon)>;

// Installs a function (an empty one restores the default) and answers the one it replaces.
MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction function);

// Shows the text (UTF-8) and returns when the user has closed the box.
void ShowMessageBox(const std::string& text, MessageIcon icon);

}  // namespace tovik
