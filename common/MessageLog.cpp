#include "common/MessageLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QSysInfo>
#include <deque>

#include "common/LogRedaction.h"
#include "common/PrivateFile.h"

namespace {

struct KeptLine {
    qint64 msecsSinceEpoch; // formatted only when the log is read
    QString text;
};

QMutex logMutex;
std::deque<KeptLine> keptLines;
QtMessageHandler previousHandler = nullptr;

bool installed = false;

void keep(const QString &text) {
    QMutexLocker lock(&logMutex);
    keptLines.push_back({QDateTime::currentMSecsSinceEpoch(), text});
    while (keptLines.size() > std::size_t(MessageLog::kMaxLines))
        keptLines.pop_front();
}

void keepAndForward(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    keep(message);
    if (previousHandler)
        previousHandler(type, context, message);
}

QString timeWithOffset(const QDateTime &local) {
    QDateTime withOffset = local;
    withOffset.setOffsetFromUtc(local.offsetFromUtc());
    return withOffset.toString(Qt::ISODate);
}

} // namespace

namespace MessageLog {

void install() {
    QMutexLocker lock(&logMutex);
    if (installed)
        return;
    installed = true;
    previousHandler = qInstallMessageHandler(keepAndForward);
}

void noteMessageBox(const QString &title, const QString &text) {
    keep(QStringLiteral("message box: %1: %2")
             .arg(title, QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '))));
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

QByteArray savedText(const QString &header) {
    QStringList saved;
    if (!header.isEmpty())
        saved << header << QString();
    {
        QMutexLocker lock(&logMutex);
        for (const KeptLine &line : keptLines)
            saved << QDateTime::fromMSecsSinceEpoch(line.msecsSinceEpoch)
                             .toString(Qt::ISODateWithMs) +
                         QLatin1Char(' ') + LogRedaction::redact(line.text);
    }
    return saved.join(QLatin1Char('\n')).toUtf8() + '\n';
}

QString header(const QString &accessory, const QString &platform) {
    return QStringList{
        QStringLiteral("Corvane diagnostic log"),
        QStringLiteral("Program: Corvane %1").arg(QLatin1String(CORVANE_VERSION)),
        QStringLiteral("Qt: %1 (built with %2), platform %3")
            .arg(QLatin1String(qVersion()), QLatin1String(QT_VERSION_STR),
                 platform.isEmpty() ? QStringLiteral("none") : platform),
        QStringLiteral("System: %1; kernel %2 %3; %4")
            .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                 QSysInfo::currentCpuArchitecture()),
        QStringLiteral("Accessory: %1").arg(accessory),
        QStringLiteral("Saved: %1").arg(timeWithOffset(QDateTime::currentDateTime())),
    }
        .join(QLatin1Char('\n'));
}

bool saveTo(const QString &path, QString *error, const QString &header) {
    PrivateFile file(path);
    if (!file.open(error))
        return false;
    if (!file.write(savedText(header)) || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace MessageLog
