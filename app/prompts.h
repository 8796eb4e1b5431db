#pragma once
// How the program asks the user: message boxes and the save-file dialog. The default shows Qt
// dialogs; tests install their own answers so the real window can be driven headless.

#include <QString>
#include <optional>

class QWidget;

namespace velmora::app {

enum class PromptIcon { kError, kInformation, kQuestion };
enum class PromptButtons { kOk, kYesNo };
enum class PromptAnswer { kOk, kYes, kNo };

struct SaveFileRequest {
    QString filter;         // "Name(*.ext);;Other(*.x)"
    QString defaultSuffix;  // added when the chosen name has none
    QString initialName;
    bool confirmOverwrite = true;
};

class Prompts {
  public:
    virtual ~Prompts() = default;
    virtual PromptAnswer Message(QWidget* owner, const QString& text, PromptIcon icon,
                                 PromptButtons buttons) = 0;
    // The chosen file's full path, or nothing when the user cancels.
    virtual std::optional<QString> SaveFile(QWidget* owner, const SaveFileRequest& request) = 0;
};

// The prompts in use: the ones installed, or the Qt dialogs.
Prompts& CurrentPrompts();
// Installs prompts (null restores the Qt dialogs); answers the ones replaced. Not owning.
Prompts* SetPrompts(Prompts* prompts);

}  // namespace velmora::app
