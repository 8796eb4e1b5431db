#include "app/resources.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <QtGlobal>

static void InitVelmoraResources() {
    Q_INIT_RESOURCE(velmora);
}

namespace velmora::app {

namespace {

// The resources live in a static library, whose resource table the linker would drop unless
// something names it.
void InitResources() {
    static const bool done = (InitVelmoraResources(), true);
    (void)done;
}

}  // namespace

QIcon ProgramIcon() {
    InitResources();
    QSvgRenderer renderer(QStringLiteral(":/velmora/velmora.svg"));
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace velmora::app
