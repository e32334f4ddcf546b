// Start-up cost of the window: process start to the window's first paint, and
// peak memory, against a bare QDialog of the same size built with the same Qt.
// The parent process starts each variant as a child and takes medians.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "EmulatedAccessory.h"
#include "ui/MainWindow.h"
#include "ui/Tray.h"

namespace {

constexpr int kRuns = 15;

long peakRssKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression hwm(QStringLiteral("VmHWM:\\s+(\\d+)"));
    const auto match = hwm.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLong() : -1;
}

// Reports the first paint of the watched window, then ends the process.
class FirstPaintReporter : public QObject {
protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint) {
            std::printf("painted rss_kb=%ld\n", peakRssKb());
            std::fflush(stdout);
            std::_Exit(0);
        }
        return false;
    }
};

int runChild(int argc, char **argv, bool fullWindow) {
    QApplication app(argc, argv);
    FirstPaintReporter reporter;
    std::unique_ptr<QDialog> window;
    if (fullWindow) {
        tray::setAvailabilityForTesting(true);
        window = std::make_unique<MainWindow>(nullptr);
    } else {
        window = std::make_unique<QDialog>();
        window->resize(656, 710);
    }
    window->installEventFilter(&reporter);
    window->show();
    return app.exec();
}

struct Sample {
    double ms;
    long rssKb;
};

Sample runOnce(const QString &program, const QString &mode) {
    QProcess child;
    QElapsedTimer timer;
    timer.start();
    child.start(program, {mode});
    child.waitForFinished(30000);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    const QString out = QString::fromLatin1(child.readAllStandardOutput());
    const auto match = QRegularExpression(QStringLiteral("rss_kb=(\\d+)")).match(out);
    return {ms, match.hasMatch() ? match.captured(1).toLong() : -1};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && qstrcmp(argv[1], "--child-window") == 0)
        return runChild(argc, argv, true);
    if (argc > 1 && qstrcmp(argv[1], "--child-dialog") == 0)
        return runChild(argc, argv, false);

    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const QString self = QString::fromLocal8Bit(argv[0]);
    std::vector<double> windowMs, dialogMs;
    long windowRss = 0, dialogRss = 0;
    for (int i = 0; i < kRuns; ++i) {
        const Sample w = runOnce(self, QStringLiteral("--child-window"));
        const Sample d = runOnce(self, QStringLiteral("--child-dialog"));
        windowMs.push_back(w.ms);
        dialogMs.push_back(d.ms);
        windowRss = std::max(windowRss, w.rssKb);
        dialogRss = std::max(dialogRss, d.rssKb);
    }
    const double w = median(windowMs), d = median(dialogMs);
    std::printf("start-up to first paint: window %.1f ms, bare dialog %.1f ms, ratio %.2f "
                "(target <= 1.30)\n",
                w, d, w / d);
    std::printf("peak memory: window %.1f MB, bare dialog %.1f MB (target < 40 MB)\n",
                windowRss / 1024.0, dialogRss / 1024.0);
    return 0;
}
