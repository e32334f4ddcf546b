#pragma once
// What corvane-cli prints: results on standard output (text or JSON),
// messages and progress on standard error.

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

namespace cli {

void printResult(const QString &text);
void printJson(const QJsonObject &object);
void printMessage(const QString &text); // "corvane-cli: " + text

// Progress of a transfer: on a terminal one bar redrawn in place with
// percent, rate and time left; otherwise one plain line per sixth.
class Progress {
public:
    Progress(const QString &label, bool terminal);
    void blockDone(int blocksDone, int totalBlocks);
    void stepReached(int step);
    // Ends the bar's line; call once the transfer is over.
    void finish();

    static bool stderrIsTerminal();

private:
    void drawBar();

    QString label_;
    bool terminal_;
    int done_ = 0;
    int total_ = 0;
    qint64 lastDrawMs_ = -1;
    bool drawn_ = false;
    QElapsedTimer clock_;
};

} // namespace cli
