#pragma once
// Dialog units to pixels, derived from the dialog font the way the classic dialog manager
// derives them: a horizontal unit is a quarter of the average width of the Latin letters, a
// vertical unit an eighth of the font's line height. (The font's own average character width
// is useless here: a CJK font reports the full-width cell.)

#include <QFont>
#include <QRect>

namespace velmora::app {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

    int BaseX() const { return baseX_; }
    int BaseY() const { return baseY_; }
    int X(int units) const;
    int Y(int units) const;
    // Maps each edge on its own, so neighbouring controls stay exactly adjacent.
    QRect Map(int x, int y, int width, int height) const;

  private:
    int baseX_;
    int baseY_;
};

// The dialog font: Noto Sans CJK JP at 9 points (12 pixels at 96 dots per inch) when it is
// installed, the nearest Japanese sans-serif otherwise.
QFont DialogFont();

}  // namespace velmora::app
