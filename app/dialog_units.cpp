#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace velmora::app {

namespace {

// Rounds a * b / c to the nearest integer, as the platform's MulDiv does for positive values.
int MulDiv(int a, int b, int c) {
    long long product = static_cast<long long>(a) * b;
    long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = (letters / 26 + 1) / 2;
    baseY_ = metrics.height();
}

int DialogUnits::X(int units) const {
    return MulDiv(units, baseX_, 4);
}
int DialogUnits::Y(int units) const {
    return MulDiv(units, baseY_, 8);
}

QRect DialogUnits::Map(int x, int y, int width, int height) const {
    int left = X(x), top = Y(y);
    return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

QFont DialogFont() {
    QFont font(QStringLiteral("Noto Sans CJK JP"));
    font.setStyleHint(QFont::SansSerif);
    QStringList families;
    families << QStringLiteral("Noto Sans CJK JP") << QStringLiteral("IPAPGothic")
             << QStringLiteral("VL PGothic");
    font.setFamilies(families);
    font.setPixelSize(12);
    return font;
}

}  // namespace velmora::app
