#include "app/deck_app.h"

#include <QIcon>

#include "app/deck_dlg.h"
#include "app/resources.h"
#include "app/strings.h"
#include "platform/com/com.h"

namespace velmora::app {

CDeckApp::CDeckApp(int& argc, char** argv) : application_(argc, argv) {
    InitResources();
    QApplication::setApplicationName(LoadString(kIdsAppTitle));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    QApplication::setDesktopFileName(QStringLiteral("velmora"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/velmora/velmora.svg")));
}

CDeckApp::~CDeckApp() = default;

int CDeckApp::Run() {
    // The toolkit relies on COM on this thread: every toolkit call is made from it.
    CoInitialize(nullptr);
    {
        CDeckDlg dialog;
        dialog.exec();
    }
    CoUninitialize();
    return 0;
}

}  // namespace velmora::app
