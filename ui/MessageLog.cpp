#include "ui/MessageLog.h"

#include <QDateTime>
#include <QFileDialog>
#include <QMessageBox>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <deque>

#include "readback/PrivateFile.h"
#include "ui/MainWindow.h"

namespace {

struct KeptLine {
    qint64 msecsSinceEpoch; // formatted only when the log is read
    QString text;
};

QMutex logMutex;
std::deque<KeptLine> keptLines;
QtMessageHandler previousHandler = nullptr;

void keepAndForward(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    {
        QMutexLocker lock(&logMutex);
        keptLines.push_back({QDateTime::currentMSecsSinceEpoch(), message});
        while (keptLines.size() > std::size_t(MessageLog::kMaxLines))
            keptLines.pop_front();
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

namespace MessageLog {

void install() {
    QMutexLocker lock(&logMutex);
    if (previousHandler)
        return;
    previousHandler = qInstallMessageHandler(keepAndForward);
}

QStringList lines() {
    QMutexLocker lock(&logMutex);
    QStringList result;
    result.reserve(int(keptLines.size()));
    for (const KeptLine &line : keptLines)
        result << QDateTime::fromMSecsSinceEpoch(line.msecsSinceEpoch).toString(Qt::ISODateWithMs) +
                      QLatin1Char(' ') + line.text;
    return result;
}

void clear() {
    QMutexLocker lock(&logMutex);
    keptLines.clear();
}

bool saveTo(const QString &path, QString *error) {
    QSaveFile file(path);
    if (!openPrivately(file, QIODevice::WriteOnly | QIODevice::Text)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray text = lines().join(QLatin1Char('\n')).toUtf8() + '\n';
    if (file.write(text) != text.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace MessageLog

void MainWindow::saveDiagnosticLog() {
    const QString suggested =
        QStringLiteral("corvane-log-%1.txt").arg(QDate::currentDate().toString(Qt::ISODate));
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save diagnostic log"),
                                                      suggested, QStringLiteral("*.txt"));
    if (path.isEmpty())
        return;
    QString error;
    if (!MessageLog::saveTo(path, &error))
        QMessageBox::warning(this, QStringLiteral("Error"),
                             QStringLiteral("The log could not be saved: %1").arg(error),
                             QMessageBox::Ok, QMessageBox::NoButton);
}
