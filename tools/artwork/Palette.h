#pragma once

#include <QColor>

// Colours shared by every picture. The first three match the style sheet of the
// widgets that sit on top of the background, so those widgets blend in.
namespace palette {

inline const QColor accent(141, 254, 3);
inline const QColor fieldBase(23, 21, 22);
inline const QColor statusBase(27, 26, 28);

inline const QColor accentDeep(96, 196, 0);
inline const QColor accentPale(206, 255, 150);
inline const QColor windowEdge(9, 9, 10);
inline const QColor panelTop(38, 38, 42);
inline const QColor panelBottom(20, 20, 22);
inline const QColor textStrong(232, 234, 230);
inline const QColor textLabel(196, 200, 194);
inline const QColor textMuted(128, 132, 126);
inline const QColor glyphIdle(150, 153, 148);
inline const QColor unlit(74, 77, 73);
inline const QColor danger(226, 64, 54);
inline const QColor dangerDeep(170, 38, 32);

inline QColor withAlpha(QColor colour, int alpha) {
    colour.setAlpha(alpha);
    return colour;
}

} // namespace palette
