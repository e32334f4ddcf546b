#pragma once
// The few places where Qt 5 and Qt 6 differ for this program.

#include <QMouseEvent>
#include <QPoint>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
using NativeEventResult = qintptr;
#else
using NativeEventResult = long;
#endif

// Screen position of a mouse event, rounded to whole pixels.
inline QPoint eventGlobalPos(const QMouseEvent *event) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->globalPosition().toPoint();
#else
    return event->globalPos();
#endif
}

// Position of a mouse event in its widget, rounded to whole pixels.
inline QPoint eventLocalPos(const QMouseEvent *event) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->position().toPoint();
#else
    return event->pos();
#endif
}
