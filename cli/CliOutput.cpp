#include "cli/CliOutput.h"

#include <QJsonDocument>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace cli {
namespace {

constexpr int kBarWidth = 30;
constexpr qint64 kRedrawIntervalMs = 100;
constexpr int kSteps = 6;
constexpr int kBlockBytes = 512;

void writeLine(FILE *stream, const QString &text) {
    std::fputs(text.toUtf8().constData(), stream);
    std::fputc('\n', stream);
}

QString formatRate(double bytesPerSecond) {
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 MiB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
}

QString formatDuration(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void printResult(const QString &text) {
    writeLine(stdout, text);
}

void printJson(const QJsonObject &object) {
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
}

void printMessage(const QString &text) {
    writeLine(stderr, QStringLiteral("corvane-cli: ") + text);
}

Progress::Progress(const QString &label, bool terminal) : label_(label), terminal_(terminal) {
    clock_.start();
}

bool Progress::stderrIsTerminal() {
#ifdef Q_OS_UNIX
    return isatty(fileno(stderr)) == 1;
#else
    return false;
#endif
}

void Progress::blockDone(int blocksDone, int totalBlocks) {
    done_ = blocksDone;
    total_ = totalBlocks;
    if (!terminal_)
        return;
    // Redrawing for every block would cost more than the block itself.
    const qint64 now = clock_.elapsed();
    if (blocksDone < totalBlocks && lastDrawMs_ >= 0 && now - lastDrawMs_ < kRedrawIntervalMs)
        return;
    lastDrawMs_ = now;
    drawBar();
}

void Progress::stepReached(int step) {
    if (terminal_)
        return;
    const int percent = total_ > 0 ? int(qint64(done_) * 100 / total_) : 0;
    writeLine(stderr, QStringLiteral("%1: step %2 of %3 (%4%)")
                          .arg(label_)
                          .arg(step)
                          .arg(kSteps)
                          .arg(step == kSteps ? 100 : percent));
    std::fflush(stderr);
}

void Progress::drawBar() {
    const double fraction = total_ > 0 ? double(done_) / total_ : 0.0;
    const int filled = int(fraction * kBarWidth);
    const double seconds = clock_.elapsed() / 1000.0;
    const double rate = seconds > 0 ? done_ * double(kBlockBytes) / seconds : 0.0;
    const qint64 left = rate > 0 ? qint64((total_ - done_) * double(kBlockBytes) / rate + 0.5) : 0;
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(kBarWidth - filled, QLatin1Char('-'));
    // The trailing blanks wipe what a longer earlier line left behind.
    const QString line = QStringLiteral("\r%1 [%2] %3% %4 %5 left  ")
                             .arg(label_, bar)
                             .arg(int(fraction * 100), 3)
                             .arg(formatRate(rate), 11)
                             .arg(formatDuration(left));
    std::fputs(line.toUtf8().constData(), stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (terminal_ && drawn_)
        std::fputc('\n', stderr);
    drawn_ = false;
}

} // namespace cli
