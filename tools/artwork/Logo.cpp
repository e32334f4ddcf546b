// The application logo: a green "C" around a status dot on a dark rounded tile.
// It is drawn on a 64-unit grid and scaled, so every size is vector-crisp.

#include "Artwork.h"
#include "Canvas.h"
#include "Palette.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>

namespace {

const qreal logoGrid = 64.0;

void paintTile(QPainter &painter) {
    QLinearGradient fill(0, 2, 0, 62);
    fill.setColorAt(0.0, QColor(50, 53, 50));
    fill.setColorAt(1.0, palette::fieldBase);
    painter.setPen(QPen(palette::withAlpha(palette::accent, 120), 1.6));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(2.8, 2.8, 58.4, 58.4), 14, 14);
}

void paintLetter(QPainter &painter) {
    QLinearGradient stroke(0, 12, 0, 52);
    stroke.setColorAt(0.0, palette::accentPale);
    stroke.setColorAt(0.45, palette::accent);
    stroke.setColorAt(1.0, palette::accentDeep);
    QPen pen(QBrush(stroke), 8.5, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QRectF ring(13.5, 13.5, 37, 37);
    painter.drawArc(ring, 42 * 16, 276 * 16);
}

void paintStatusDot(QPainter &painter) {
    const QPointF centre(44.5, 32);
    QRadialGradient glow(centre, 9);
    glow.setColorAt(0.0, palette::withAlpha(palette::accent, 140));
    glow.setColorAt(1.0, palette::withAlpha(palette::accent, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(glow);
    painter.drawEllipse(centre, 9, 9);
    painter.setBrush(palette::accent);
    painter.drawEllipse(centre, 4.6, 4.6);
}

// An ICO file holding one 32x32 picture stored as PNG.
QByteArray icoContainer(const QByteArray &png) {
    QByteArray ico(22, '\0');
    auto put16 = [&ico](int offset, quint16 value) { qToLittleEndian(value, ico.data() + offset); };
    auto put32 = [&ico](int offset, quint32 value) { qToLittleEndian(value, ico.data() + offset); };
    put16(2, 1);   // type: icon
    put16(4, 1);   // image count
    ico[6] = 32;   // width
    ico[7] = 32;   // height
    put16(10, 1);  // colour planes
    put16(12, 24); // bits per pixel the directory announces for the executable's icon
    put32(14, quint32(png.size()));
    put32(18, 22); // image data follows the directory
    return ico + png;
}

} // namespace

QImage paintLogo(int size) {
    QImage image = newCanvas(size, size);
    QPainter painter(&image);
    prepare(painter);
    painter.scale(size / logoGrid, size / logoGrid);
    paintTile(painter);
    paintLetter(painter);
    paintStatusDot(painter);
    return image;
}

void writeLogos(ArtworkOutput &out) {
    const QImage tray = paintLogo(32);
    out.savePng(QStringLiteral("resources/pics/logo-32x32.png"), tray);
    out.saveBytes(QStringLiteral("resources/pics/logo-32x32.ico"), icoContainer(encodePng(tray)));

    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString path =
            QStringLiteral("packaging/icons/hicolor/%1x%1/apps/org.corvane.Corvane.png").arg(size);
        out.savePng(path, paintLogo(size));
    }
}
