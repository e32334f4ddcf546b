#pragma once
// The keyboard focus mark: a rounded outline in the window's accent colour
// drawn by the window around the control that has the focus. It appears only
// once the focus was moved from the keyboard, so the window looks exactly as
// designed until someone tabs; a mouse press hides it again. The controls'
// own style sheets stay untouched.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>

class QPainter;
class QWidget;

class FocusMark : public QObject {
    Q_OBJECT

public:
    // `chain` is the tab order, first to last; each control's focus is watched.
    FocusMark(QWidget *window, const QList<QWidget *> &chain);

    // Called from the window's paintEvent, after the background.
    void paint(QPainter &painter) const;
    // Window coordinates of the mark, or an empty rectangle when none shows.
    QRect markRect() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setMarked(QWidget *control);

    QWidget *window;
    QPointer<QWidget> marked;
};
