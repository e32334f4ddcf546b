#pragma once

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QString>

// Small drawing helpers shared by the picture families.

// Pixels per picture pixel for the canvases that follow: 1 for the standard
// pictures, 2 for their high-density twins.
void setCanvasScale(int scale);

// A fully transparent image of width x height picture pixels (times the canvas
// scale in real pixels) ready for antialiased painting.
QImage newCanvas(int width, int height);

// A painter with antialiasing switched on.
void prepare(QPainter &painter);

// DejaVu Sans at a pixel size, so output does not depend on screen DPI.
QFont uiFont(qreal pixelSize, QFont::Weight weight = QFont::Normal);

void drawText(QPainter &painter, const QRectF &box, int alignment, const QString &text,
              const QFont &font, const QColor &colour);

// A rounded rectangle path with its outline on half pixels for a crisp 1 px stroke.
QPainterPath roundedBox(const QRectF &box, qreal radius);

// A line that fades out at both ends.
void drawFadingLine(QPainter &painter, qreal x1, qreal x2, qreal y, const QColor &colour);
