#pragma once
// Tool tips that read out a running firmware update or flash backup: percent
// done and the time left, estimated from the block rate measured so far
// ("Updating firmware: 43 % — about 12 s left"). They sit on the window and on
// the arrow row of the job while it runs, are refreshed a few times a second
// (a tool tip on show follows along), and give way to the resting tips after.

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

class QTimer;
class QWidget;

struct BlockCount {
    int done = 0;
    int total = 0;
};

// Reads a worker's block counters (blocksDone(), totalBlocks()).
template <typename Worker> std::function<BlockCount()> blockCounter(const Worker *worker) {
    return [worker] { return BlockCount{worker->blocksDone(), worker->totalBlocks()}; };
}

// "<activity>: <percent> %", plus "— about <time> left" once enough time has
// passed to measure the block rate.
QString progressTipText(const QString &activity, BlockCount count, qint64 elapsedMs);

class ProgressTips : public QObject {
    Q_OBJECT

public:
    explicit ProgressTips(QWidget *window);

    // Starts reading out the job: `count` is polled (it may read counters that
    // a worker thread writes); `row` are the widgets of the job's arrow row,
    // which return to `rowTip` when the job ends.
    void begin(const QString &activity, std::function<BlockCount()> count,
               const QList<QWidget *> &row, const QString &rowTip);
    void end();
    bool running() const;

private:
    void refresh();
    void setTip(const QString &text);

    QWidget *window;
    QTimer *timer;
    QElapsedTimer clock;
    QString activity;
    std::function<BlockCount()> count;
    QList<QPointer<QWidget>> row;
    QString rowTip;
    QString shown;
};
