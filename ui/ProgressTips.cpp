#include "ui/ProgressTips.h"

#include <QCursor>
#include <QTimer>
#include <QToolTip>
#include <QWidget>
#include <cmath>

namespace {

constexpr int kRefreshMs = 250;
// Before this much time and one whole block, a rate would be a guess.
constexpr qint64 kMeasuringMs = 500;

QString timeLeftText(double seconds) {
    if (seconds < 1.5)
        return QStringLiteral("about 1 s left");
    if (seconds < 90)
        return QStringLiteral("about %1 s left").arg(qRound(seconds));
    return QStringLiteral("about %1 min left").arg(qRound(seconds / 60));
}

} // namespace

QString progressTipText(const QString &activity, BlockCount count, qint64 elapsedMs) {
    if (count.total <= 0)
        return activity;
    const int done = qBound(0, count.done, count.total);
    const int percent = int(qint64(done) * 100 / count.total);
    QString text = QStringLiteral("%1: %2 %").arg(activity).arg(percent);
    if (done > 0 && done < count.total && elapsedMs >= kMeasuringMs) {
        const double blocksPerSecond = done * 1000.0 / double(elapsedMs);
        text += QStringLiteral(" — ") + timeLeftText((count.total - done) / blocksPerSecond);
    }
    return text;
}

ProgressTips::ProgressTips(QWidget *window)
    : QObject(window), window(window), timer(new QTimer(this)) {
    timer->setInterval(kRefreshMs);
    connect(timer, &QTimer::timeout, this, &ProgressTips::refresh);
}

void ProgressTips::begin(const QString &jobActivity, std::function<BlockCount()> jobCount,
                         const QList<QWidget *> &jobRow, const QString &jobRowTip) {
    end();
    activity = jobActivity;
    count = std::move(jobCount);
    for (QWidget *widget : jobRow)
        row.append(widget);
    rowTip = jobRowTip;
    clock.start();
    timer->start();
    refresh();
}

void ProgressTips::end() {
    if (!timer->isActive())
        return;
    timer->stop();
    setTip(QString());
    for (const QPointer<QWidget> &widget : row)
        if (widget)
            widget->setToolTip(rowTip);
    row.clear();
}

bool ProgressTips::running() const {
    return timer->isActive();
}

void ProgressTips::refresh() {
    setTip(progressTipText(activity, count(), clock.elapsed()));
}

void ProgressTips::setTip(const QString &text) {
    // A tip on show follows the new text instead of going stale or vanishing.
    const bool followShownTip = QToolTip::isVisible() && QToolTip::text() == shown;
    window->setToolTip(text);
    for (const QPointer<QWidget> &widget : row)
        if (widget)
            widget->setToolTip(text.isEmpty() ? rowTip : text);
    if (followShownTip && !shown.isEmpty()) {
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(QCursor::pos(), text);
    }
    shown = text;
}
