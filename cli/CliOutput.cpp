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

// Characters that steer a terminal instead of showing (escape sequences, C1
// controls, bidirectional overrides, line separators). Text from the accessory
// or the network may hold them; none may reach the terminal as they are.
bool steersTerminal(QChar c) {
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

void writeLine(FILE *stream, const QString &text) {
    QString shown = text;
    for (QChar &c : shown)
        if (steersTerminal(c))
            c = QChar::ReplacementCharacter;
    std::fputs(shown.toUtf8().constData(), stream);
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
    // QJsonDocument escapes only C0 controls; the rest (which can only occur
    // inside strings) become \u escapes too, so the document means the same.
    const QString document =
        QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    QString escaped;
    escaped.reserve(document.size());
    for (const QChar c : document) {
        if (steersTerminal(c))
            escaped += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    std::fputs(escaped.toUtf8().constData(), stdout);
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
