#include "ui/FocusMark.h"

#include <QFocusEvent>
#include <QPainter>
#include <QWidget>

namespace {

constexpr int kGap = 3; // between the control's edge and the mark
constexpr int kPenWidth = 2;
const QColor kMarkColour(141, 254, 3); // the window's text and accent green

bool movedByKeyboard(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::ShortcutFocusReason;
}

} // namespace

FocusMark::FocusMark(QWidget *window, const QList<QWidget *> &chain)
    : QObject(window), window(window) {
    for (int i = 0; i < chain.size(); ++i) {
        chain[i]->setFocusPolicy(Qt::StrongFocus);
        chain[i]->installEventFilter(this);
        if (i > 0)
            QWidget::setTabOrder(chain[i - 1], chain[i]);
    }
}

QRect FocusMark::markRect() const {
    if (!marked || !marked->isVisible())
        return QRect();
    return marked->geometry().adjusted(-kGap, -kGap, kGap, kGap);
}

void FocusMark::paint(QPainter &painter) const {
    const QRect area = markRect();
    if (area.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(kMarkColour, kPenWidth));
    painter.setBrush(Qt::NoBrush);
    const qreal inset = kPenWidth / 2.0;
    painter.drawRoundedRect(QRectF(area).adjusted(inset, inset, -inset, -inset), 6, 6);
    painter.restore();
}

bool FocusMark::eventFilter(QObject *watched, QEvent *event) {
    auto *control = static_cast<QWidget *>(watched);
    switch (event->type()) {
    case QEvent::FocusIn:
        setMarked(movedByKeyboard(static_cast<QFocusEvent *>(event)->reason()) ? control : nullptr);
        break;
    case QEvent::FocusOut:
        if (marked == control)
            setMarked(nullptr);
        break;
    case QEvent::MouseButtonPress:
        setMarked(nullptr);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void FocusMark::setMarked(QWidget *control) {
    window->update(markRect());
    marked = control;
    window->update(markRect());
}
