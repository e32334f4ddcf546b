// Status pictures: the device connection line and the progress arrows.

#include "Artwork.h"
#include "Canvas.h"
#include "Palette.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPolygonF>
#include <QRadialGradient>

namespace {

void drawStatusDot(QPainter &painter, const QPointF &centre, const QColor &colour) {
    QRadialGradient glow(centre, 9);
    glow.setColorAt(0.0, palette::withAlpha(colour, 150));
    glow.setColorAt(1.0, palette::withAlpha(colour, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(glow);
    painter.drawEllipse(centre, 9, 9);
    painter.setPen(QPen(palette::withAlpha(Qt::white, 90), 1));
    painter.setBrush(colour);
    painter.drawEllipse(centre, 4.5, 4.5);
}

// A glowing dot followed by the text, centred as one group.
QImage paintIndicator(int width, const QString &text, const QColor &dot, const QColor &ink) {
    QImage image = newCanvas(width, 22);
    QPainter painter(&image);
    prepare(painter);
    const QFont font = uiFont(13, QFont::Bold);
    const qreal dotSpace = 18;
    const qreal groupWidth = dotSpace + QFontMetricsF(font).horizontalAdvance(text);
    const qreal left = (width - groupWidth) / 2;
    drawStatusDot(painter, QPointF(left + 5, 11), dot);
    const QRectF textBox(left + dotSpace, 0, width - left - dotSpace, 22);
    drawText(painter, textBox, Qt::AlignLeft | Qt::AlignVCenter, text, font, ink);
    return image;
}

QPolygonF chevron() {
    return QPolygonF({QPointF(3.5, 3), QPointF(9.5, 3), QPointF(15, 10.5), QPointF(9.5, 18),
                      QPointF(3.5, 18), QPointF(9, 10.5)});
}

QImage paintArrow(bool lit) {
    QImage image = newCanvas(18, 21);
    QPainter painter(&image);
    prepare(painter);
    const QPolygonF shape = chevron();
    QLinearGradient fill(0, 3, 0, 18);
    if (lit) {
        for (const auto &[width, alpha] : {std::pair{5.0, 45}, std::pair{2.5, 110}}) {
            painter.setPen(QPen(palette::withAlpha(palette::accent, alpha), width, Qt::SolidLine,
                                Qt::RoundCap, Qt::RoundJoin));
            painter.setBrush(Qt::NoBrush);
            painter.drawPolygon(shape);
        }
        fill.setColorAt(0.0, palette::accentPale);
        fill.setColorAt(0.5, palette::accent);
        fill.setColorAt(1.0, palette::accentDeep);
    } else {
        fill.setColorAt(0.0, QColor(86, 89, 85));
        fill.setColorAt(1.0, QColor(60, 62, 59));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawPolygon(shape);
    return image;
}

} // namespace

void writeIndicators(ArtworkOutput &out) {
    out.savePng(
        QStringLiteral("resources/pics/Device connected.png"),
        paintIndicator(232, QStringLiteral("Device connected"), palette::accent, palette::accent));
    out.savePng(QStringLiteral("resources/pics/Device not connected.png"),
                paintIndicator(282, QStringLiteral("Device not connected"), palette::danger,
                               palette::textLabel));
}

void writeArrows(ArtworkOutput &out) {
    out.savePng(QStringLiteral("resources/pics/箭头.png"), paintArrow(false));
    out.savePng(QStringLiteral("resources/pics/箭头-亮.png"), paintArrow(true));
}
