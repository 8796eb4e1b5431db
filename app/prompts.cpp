#include "app/prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include "app/strings.h"

namespace velmora::app {

namespace {

class QtPrompts : public Prompts {
  public:
    PromptAnswer Message(QWidget* owner, const QString& text, PromptIcon icon,
                         PromptButtons buttons) override {
        QMessageBox box(owner);
        box.setWindowTitle(LoadString(kIdsAppTitle));
        box.setText(text);
        box.setIcon(icon == PromptIcon::kError         ? QMessageBox::Critical
                    : icon == PromptIcon::kInformation ? QMessageBox::Information
                                                       : QMessageBox::Question);
        if (buttons == PromptButtons::kYesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::No);
            return box.exec() == QMessageBox::Yes ? PromptAnswer::kYes : PromptAnswer::kNo;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return PromptAnswer::kOk;
    }

    std::optional<QString> SaveFile(QWidget* owner, const SaveFileRequest& request) override {
        QFileDialog dialog(owner);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilters(request.filter.split(QStringLiteral(";;")));
        dialog.setDefaultSuffix(request.defaultSuffix);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
        dialog.setOption(QFileDialog::ReadOnly, false);
        if (!request.initialName.isEmpty()) dialog.selectFile(request.initialName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().front();
    }
};

Prompts* installed = nullptr;

}  // namespace

Prompts& CurrentPrompts() {
    static QtPrompts qt;
    return installed ? *installed : qt;
}

Prompts* SetPrompts(Prompts* prompts) {
    Prompts* previous = installed;
    installed = prompts;
    return previous;
}

}  // namespace velmora::app
