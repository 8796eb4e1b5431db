#include "app/deck_app.h"

#include <QIcon>
#include <memory>

#include "app/deck_dlg.h"
#include "app/resources.h"
#include "app/strings.h"
#include "platform/com/com.h"

namespace velmora::app {

CDeckApp::CDeckApp(int& argc, char** argv) : application_(argc, argv) {
    QApplication::setApplicationName(LoadString(kIdsAppTitle));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    QApplication::setDesktopFileName(QStringLiteral("velmora"));
    QApplication::setWindowIcon(ProgramIcon());
}

CDeckApp::~CDeckApp() = default;

int CDeckApp::Run() {
    // The toolkit relies on COM on this thread: every toolkit call is made from it.
    CoInitialize(nullptr);
    auto dialog = std::make_unique<CDeckDlg>();
    dialog->exec();
    // The exit question has closed the deck before the window ends its run.
    CoUninitialize();
    dialog.reset();
    return 0;
}

}  // namespace velmora::app
