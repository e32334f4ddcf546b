#include "Canvas.h"

#include <QLinearGradient>
#include <QPainterPath>

namespace {
int canvasScale = 1;
}

void setCanvasScale(int scale) {
    canvasScale = scale;
}

QImage newCanvas(int width, int height) {
    QImage image(width * canvasScale, height * canvasScale, QImage::Format_ARGB32_Premultiplied);
    // Painters then draw in the picture's own (1x) coordinates.
    image.setDevicePixelRatio(canvasScale);
    image.fill(Qt::transparent);
    return image;
}

void prepare(QPainter &painter) {
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

QFont uiFont(qreal pixelSize, QFont::Weight weight) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(qRound(pixelSize));
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

void drawText(QPainter &painter, const QRectF &box, int alignment, const QString &text,
              const QFont &font, const QColor &colour) {
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(box, alignment, text);
}

QPainterPath roundedBox(const QRectF &box, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    return path;
}

void drawFadingLine(QPainter &painter, qreal x1, qreal x2, qreal y, const QColor &colour) {
    QLinearGradient fade(x1, 0, x2, 0);
    fade.setColorAt(0.0, Qt::transparent);
    fade.setColorAt(0.15, colour);
    fade.setColorAt(0.85, colour);
    fade.setColorAt(1.0, Qt::transparent);
    painter.fillRect(QRectF(x1, y, x2 - x1, 1), fade);
}
