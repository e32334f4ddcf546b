// Push-button faces. Each button has an idle picture and an active one that the
// window shows on hover and press; the active face is filled with the accent.

#include "Artwork.h"
#include "Canvas.h"
#include "Palette.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QSize>

namespace {

enum class Look { Idle, Active };

struct ButtonPicture {
    QString file;
    QSize stored; // pixel size of the file
    QSize shown;  // size of the button the picture is stretched onto
    QString label;
    Look look;
};

QLinearGradient faceGradient(const QRectF &box, Look look) {
    QLinearGradient fill(box.topLeft(), box.bottomLeft());
    if (look == Look::Idle) {
        fill.setColorAt(0.0, QColor(56, 60, 55));
        fill.setColorAt(1.0, QColor(27, 29, 27));
    } else {
        fill.setColorAt(0.0, QColor(186, 255, 88));
        fill.setColorAt(0.5, palette::accent);
        fill.setColorAt(1.0, palette::accentDeep);
    }
    return fill;
}

void paintSheen(QPainter &painter, const QPainterPath &face, const QRectF &box, Look look) {
    QLinearGradient sheen(box.topLeft(), QPointF(box.left(), box.center().y()));
    sheen.setColorAt(0.0, QColor(255, 255, 255, look == Look::Idle ? 26 : 90));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    painter.fillPath(face, sheen);
}

void paintFace(QPainter &painter, const QRectF &area, Look look) {
    const QRectF box = area.adjusted(1, 1, -1, -1);
    const QPainterPath face = roundedBox(box, 9);

    painter.setPen(QPen(QColor(0, 0, 0, 120), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(roundedBox(area, 10));

    painter.fillPath(face, faceGradient(box, look));
    paintSheen(painter, face, box, look);

    const QColor edge =
        look == Look::Idle ? palette::withAlpha(palette::accent, 165) : palette::accentPale;
    painter.setPen(QPen(edge, 1));
    painter.drawPath(face);
}

void paintLabel(QPainter &painter, const QRectF &area, const QString &label, Look look) {
    const QFont font = uiFont(area.height() > 50 ? 16 : 15, QFont::Bold);
    const int centre = Qt::AlignCenter;
    if (look == Look::Idle) {
        drawText(painter, area.translated(0, 1), centre, label, font, QColor(0, 0, 0, 170));
        drawText(painter, area, centre, label, font, palette::accent);
    } else {
        drawText(painter, area.translated(0, 1), centre, label, font, QColor(255, 255, 255, 70));
        drawText(painter, area, centre, label, font, QColor(14, 22, 6));
    }
}

QImage paintButton(const ButtonPicture &button) {
    QImage image = newCanvas(button.stored.width(), button.stored.height());
    QPainter painter(&image);
    prepare(painter);
    // Draw at the on-screen size, pre-stretched so the button shows it undistorted.
    painter.scale(qreal(button.stored.width()) / button.shown.width(),
                  qreal(button.stored.height()) / button.shown.height());
    const QRectF area(QPointF(0, 0), QSizeF(button.shown));
    paintFace(painter, area, button.look);
    paintLabel(painter, area, button.label, button.look);
    return image;
}

} // namespace

void writeButtons(ArtworkOutput &out) {
    const QSize small(109, 48);
    const QSize firmware(188, 54);
    const QSize run(100, 51);
    const QString loadFirmware = QStringLiteral("Load Firmware");
    const ButtonPicture buttons[] = {
        {QStringLiteral("按钮-Login.png"), small, small, QStringLiteral("Login"), Look::Idle},
        {QStringLiteral("按钮-Login 小.png"), small, small, QStringLiteral("Login"), Look::Active},
        {QStringLiteral("按钮-Paste.png"), small, small, QStringLiteral("Paste"), Look::Idle},
        {QStringLiteral("按钮-Paste 小.png"), small, small, QStringLiteral("Paste"), Look::Active},
        {QStringLiteral("按钮-Save.png"), small, small, QStringLiteral("Save"), Look::Idle},
        {QStringLiteral("按钮-Save-小.png"), small, small, QStringLiteral("Save"), Look::Active},
        {QStringLiteral("按钮-Load Firmware.png"), firmware, firmware, loadFirmware, Look::Idle},
        {QStringLiteral("按钮-小-Load firmware.png"), QSize(188, 62), firmware, loadFirmware,
         Look::Active},
        {QStringLiteral("按钮-Run.png"), run, run, QStringLiteral("Run"), Look::Idle},
        {QStringLiteral("按钮-小-Run .png"), run, run, QStringLiteral("Run"), Look::Active},
    };
    for (const ButtonPicture &button : buttons)
        out.savePng(QStringLiteral("resources/pics/") + button.file, paintButton(button));
}
