// The 656x710 window background. Widgets are placed on top of it at fixed
// rectangles; the background draws their captions beside them and the field
// frames around them, and keeps the title-bar buttons' corner empty.

#include "Artwork.h"
#include "Canvas.h"
#include "Palette.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainterPath>

namespace {

const QSize windowSize(656, 710);
const QRectF panelRect(3, 3, 650, 704);
const qreal panelRadius = 12;

// Where the window puts its widgets.
const QRect accountField(158, 238, 400, 30);
const QRect pinField(158, 318, 400, 30);
const QRect saveButton(278, 380, 109, 48);
const QRect loadFirmwareButton(75, 540, 188, 54);
const QRect versionLine(88, 673, 190, 20);
const int arrowWidth = 18;
const int arrowHeight = 21;
const int saveArrowsY = 435;
const int saveArrowsLeft = 260;
const int saveArrowsRight = 390 + arrowWidth;
const int firmwareArrowsY = 555;
const int firmwareArrowsLeft = 295;
const int firmwareArrowsRight = 425 + arrowWidth;
const int footerTop = 656;
const qreal labelColumnRight = 144;

QPainterPath panelPath() {
    QPainterPath path;
    path.addRoundedRect(panelRect, panelRadius, panelRadius);
    return path;
}

void paintPanel(QPainter &painter) {
    painter.fillRect(QRect(QPoint(0, 0), windowSize), palette::windowEdge);
    QLinearGradient fill(0, panelRect.top(), 0, panelRect.bottom());
    fill.setColorAt(0.0, palette::panelTop);
    fill.setColorAt(0.55, QColor(27, 27, 30));
    fill.setColorAt(1.0, palette::panelBottom);
    painter.fillPath(panelPath(), fill);
}

void paintPanelEdge(QPainter &painter) {
    painter.setPen(QPen(QColor(255, 255, 255, 30), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(roundedBox(panelRect, panelRadius));
}

void paintHeader(QPainter &painter) {
    painter.drawImage(QPoint(22, 18), paintLogo(36));
    drawText(painter, QRectF(70, 16, 300, 26), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Corvane"), uiFont(22, QFont::Bold), palette::textStrong);
    drawText(painter, QRectF(71, 40, 400, 16), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("PSN account and Remote Play PIN for your accessory"), uiFont(11),
             palette::textMuted);
    drawFadingLine(painter, 16, 640, 76, palette::withAlpha(palette::accent, 110));
}

// A dark pill behind the connection indicator, which is centred on x = 341.
void paintStatusTrack(QPainter &painter) {
    painter.setPen(QPen(QColor(255, 255, 255, 18), 1));
    painter.setBrush(QColor(0, 0, 0, 70));
    painter.drawPath(roundedBox(QRectF(186, 106, 310, 30), 15));
}

// A numbered step badge followed by the caption, aligned inside box.
void paintStepCaption(QPainter &painter, const QRectF &box, Qt::Alignment alignment, int step,
                      const QString &text) {
    const QFont font = uiFont(13, QFont::Bold);
    const qreal badge = 18, gap = 8;
    const qreal width = badge + gap + QFontMetricsF(font).horizontalAdvance(text);
    qreal left = box.left();
    if (alignment & Qt::AlignHCenter)
        left = box.center().x() - width / 2;
    else if (alignment & Qt::AlignRight)
        left = box.right() - width;
    const QRectF badgeRect(left, box.center().y() - badge / 2, badge, badge);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette::accent);
    painter.drawEllipse(badgeRect);
    drawText(painter, badgeRect, Qt::AlignCenter, QString::number(step), uiFont(11, QFont::Bold),
             palette::fieldBase);
    drawText(painter, QRectF(left + badge + gap, box.top(), width, box.height()),
             Qt::AlignLeft | Qt::AlignVCenter, text, font, palette::textStrong);
}

// A rounded dark frame slightly larger than the borderless line edit, with its
// label in the column to the left.
void paintField(QPainter &painter, const QRect &widget, const QString &label) {
    const QRectF frame = QRectF(widget).adjusted(-5, -4, 5, 4);
    painter.setPen(QPen(QColor(0, 0, 0, 140), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(roundedBox(frame.adjusted(-1, -1, 1, 1), 8));
    painter.setPen(QPen(palette::withAlpha(palette::accent, 85), 1));
    painter.setBrush(palette::fieldBase);
    painter.drawPath(roundedBox(frame, 7));
    const QRectF labelBox(20, widget.top(), labelColumnRight - 20, widget.height());
    drawText(painter, labelBox, Qt::AlignRight | Qt::AlignVCenter, label, uiFont(13),
             palette::textLabel);
}

// A recessed groove the progress arrows sit in.
void paintArrowTrack(QPainter &painter, int left, int right, int top) {
    const QRectF track(left - 9, top - 5, right - left + 18, arrowHeight + 10);
    painter.setPen(QPen(QColor(255, 255, 255, 16), 1));
    painter.setBrush(QColor(0, 0, 0, 80));
    painter.drawPath(roundedBox(track, track.height() / 2));
}

void paintSignInSection(QPainter &painter) {
    paintStepCaption(painter, QRectF(31, 141, 600, 22), Qt::AlignHCenter, 1,
                     QStringLiteral("Sign in, then paste the address"));
    drawFadingLine(painter, 24, 632, 226, QColor(255, 255, 255, 24));
}

void paintSaveSection(QPainter &painter) {
    paintField(painter, accountField, QStringLiteral("Account ID"));
    paintField(painter, pinField, QStringLiteral("PIN"));
    drawText(painter, QRectF(accountField.left(), accountField.bottom() + 8, 400, 16),
             Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Filled in when you paste the sign-in address"), uiFont(11),
             palette::textMuted);
    const QRectF captionBox(20, saveButton.top(), saveButton.left() - 16 - 20, saveButton.height());
    paintStepCaption(painter, captionBox, Qt::AlignRight, 2, QStringLiteral("Save to device"));
    paintArrowTrack(painter, saveArrowsLeft, saveArrowsRight, saveArrowsY);
    drawFadingLine(painter, 24, 632, 484, QColor(255, 255, 255, 24));
}

void paintFirmwareSection(QPainter &painter) {
    paintStepCaption(painter, QRectF(loadFirmwareButton.left(), 507, 400, 22), Qt::AlignLeft, 3,
                     QStringLiteral("Firmware update"));
    paintArrowTrack(painter, firmwareArrowsLeft, firmwareArrowsRight, firmwareArrowsY);
    drawText(painter, QRectF(loadFirmwareButton.left(), 604, 500, 18),
             Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Load a firmware file, then press Run to flash the accessory."),
             uiFont(11), palette::textMuted);
}

void paintFooter(QPainter &painter) {
    painter.save();
    painter.setClipPath(panelPath());
    painter.fillRect(QRectF(0, footerTop, windowSize.width(), windowSize.height() - footerTop),
                     palette::statusBase);
    painter.restore();
    painter.fillRect(QRectF(panelRect.left(), footerTop, panelRect.width(), 1),
                     QColor(255, 255, 255, 22));
    const QRectF labelBox(20, versionLine.top(), versionLine.left() - 8 - 20, versionLine.height());
    drawText(painter, labelBox, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Version"),
             uiFont(12), palette::textMuted);
}

} // namespace

QImage paintBackground() {
    QImage image = newCanvas(windowSize.width(), windowSize.height());
    QPainter painter(&image);
    prepare(painter);
    paintPanel(painter);
    paintHeader(painter);
    paintStatusTrack(painter);
    paintSignInSection(painter);
    paintSaveSection(painter);
    paintFirmwareSection(painter);
    paintFooter(painter);
    paintPanelEdge(painter);
    return image;
}

void writeBackground(ArtworkOutput &out) {
    out.savePng(QStringLiteral("resources/pics/背景.png"),
                paintBackground().convertToFormat(QImage::Format_RGB32));
}
