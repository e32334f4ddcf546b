// Title-bar glyphs: the exit and hide buttons of the frameless window plus the
// small close glyphs kept for dialogs.

#include "Artwork.h"
#include "Canvas.h"
#include "Palette.h"

#include <QLinearGradient>

namespace {

void drawCross(QPainter &painter, const QPointF &centre, qreal half, const QColor &colour,
               qreal width) {
    painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(centre + QPointF(-half, -half), centre + QPointF(half, half));
    painter.drawLine(centre + QPointF(-half, half), centre + QPointF(half, -half));
}

QLinearGradient dangerFill(qreal top, qreal bottom, bool pressed) {
    QLinearGradient fill(0, top, 0, bottom);
    fill.setColorAt(0.0, pressed ? palette::dangerDeep : QColor(246, 96, 84));
    fill.setColorAt(1.0, pressed ? QColor(128, 26, 22) : palette::danger);
    return fill;
}

QImage exitIdle() {
    QImage image = newCanvas(16, 16);
    QPainter painter(&image);
    prepare(painter);
    drawCross(painter, QPointF(8, 8), 4.5, palette::glyphIdle, 2);
    return image;
}

// Stored at 40x41 and shown shrunk onto the 16x16 button, so the disc and the
// cross are drawn heavy enough to survive the reduction.
QImage exitActive() {
    QImage image = newCanvas(40, 41);
    QPainter painter(&image);
    prepare(painter);
    painter.scale(1.0, 41.0 / 40.0);
    painter.setPen(QPen(QColor(255, 160, 150), 1.5));
    painter.setBrush(dangerFill(1, 39, false));
    painter.drawEllipse(QRectF(1, 1, 38, 38));
    drawCross(painter, QPointF(20, 20), 7.5, Qt::white, 5);
    return image;
}

QImage hideGlyph(bool active) {
    QImage image = newCanvas(20, 8);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(Qt::NoPen);
    if (active) {
        painter.setBrush(palette::withAlpha(palette::accent, 60));
        painter.drawRoundedRect(QRectF(0, 0, 20, 8), 4, 4);
        painter.setBrush(palette::accent);
        painter.drawRoundedRect(QRectF(2.5, 2.5, 15, 3), 1.5, 1.5);
    } else {
        painter.setBrush(palette::glyphIdle);
        painter.drawRoundedRect(QRectF(4, 3, 12, 2), 1, 1);
    }
    return image;
}

enum class CloseState { Normal, Hover, Press };

QImage smallClose(CloseState state) {
    const int height = state == CloseState::Press ? 15 : 14;
    QImage image = newCanvas(16, height);
    QPainter painter(&image);
    prepare(painter);
    if (state == CloseState::Normal) {
        drawCross(painter, QPointF(8, 7), 3.5, palette::glyphIdle, 1.6);
        return image;
    }
    const bool pressed = state == CloseState::Press;
    painter.setPen(Qt::NoPen);
    painter.setBrush(dangerFill(0, height, pressed));
    painter.drawRoundedRect(QRectF(0, 0, 16, height), 3, 3);
    drawCross(painter, QPointF(8, pressed ? 8 : 7), 3.5, Qt::white, 1.6);
    return image;
}

} // namespace

void writeWindowGlyphs(ArtworkOutput &out) {
    const QString dir = QStringLiteral("resources/pics/");
    out.savePng(dir + QStringLiteral("退出-大.png"), exitIdle());
    out.savePng(dir + QStringLiteral("退出-小.png"), exitActive());
    out.savePng(dir + QStringLiteral("最小化-大.png"), hideGlyph(false));
    out.savePng(dir + QStringLiteral("最小化-小.png"), hideGlyph(true));
    out.savePng(dir + QStringLiteral("closeBtnNormal.png"), smallClose(CloseState::Normal));
    out.savePng(dir + QStringLiteral("closeBtnHover.png"), smallClose(CloseState::Hover));
    out.savePng(dir + QStringLiteral("closeBtnPress.png"), smallClose(CloseState::Press));
}
