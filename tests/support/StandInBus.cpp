#include "support/StandInBus.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr int kStartMs = 10000;

QString eventsFile(const QTemporaryDir &dir) {
    return dir.filePath(QStringLiteral("events.jsonl"));
}

} // namespace

StandInBus::StandInBus() {
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty()) {
        problem_ = QStringLiteral("dbus-daemon is not installed (Debian package dbus-daemon)");
        return;
    }
    writeState();
    daemon_.start(daemon, {QStringLiteral("--config-file=" CORVANE_STANDIN_DIR "/system-bus.conf"),
                           QStringLiteral("--address=unix:path=") + dir_.filePath("bus"),
                           QStringLiteral("--print-address"), QStringLiteral("--nofork"),
                           QStringLiteral("--nopidfile")});
    if (!daemon_.waitForReadyRead(kStartMs)) {
        problem_ = QStringLiteral("dbus-daemon did not start: ") + daemon_.readAllStandardError();
        return;
    }
    address_ = QString::fromUtf8(daemon_.readLine().trimmed());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toUtf8());
    standIns_.start(QStringLiteral(CORVANE_TEST_PYTHON_BIN),
                    {QStringLiteral(CORVANE_STANDIN_DIR "/standins.py"),
                     dir_.filePath(QStringLiteral("state.json")), eventsFile(dir_)});
    if (!standIns_.waitForReadyRead(kStartMs) || !standIns_.readLine().startsWith("ready"))
        problem_ = QStringLiteral("the stand-ins did not start (python3-dbus, python3-gi): ") +
                   standIns_.readAllStandardError();
}

StandInBus::~StandInBus() {
    for (QProcess *process : {&standIns_, &daemon_}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(kStartMs)) {
            process->kill();
            process->waitForFinished();
        }
    }
}

void StandInBus::setPower(bool upower, bool onBattery, bool batteryPresent, double percentage) {
    state_.insert(QStringLiteral("upower"), upower);
    state_.insert(QStringLiteral("onBattery"), onBattery);
    state_.insert(QStringLiteral("batteryPresent"), batteryPresent);
    state_.insert(QStringLiteral("percentage"), percentage);
    writeState();
}

void StandInBus::setRefuseInhibit(bool refuse) {
    state_.insert(QStringLiteral("refuseInhibit"), refuse);
    writeState();
}

QList<QJsonObject> StandInBus::events() const {
    QFile file(eventsFile(dir_));
    QList<QJsonObject> events;
    if (!file.open(QIODevice::ReadOnly))
        return events;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (!line.isEmpty())
            events.append(QJsonDocument::fromJson(line).object());
    }
    return events;
}

int StandInBus::held() const {
    int held = 0;
    for (const QJsonObject &event : events())
        held += event.value(QStringLiteral("event")).toString() == QLatin1String("take") ? 1 : -1;
    return held;
}

void StandInBus::clearEvents() {
    QFile::remove(eventsFile(dir_));
}

void StandInBus::writeState() {
    // Whole or not at all: the stand-ins may read it at any moment.
    QSaveFile file(dir_.filePath(QStringLiteral("state.json")));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(state_).toJson(QJsonDocument::Compact));
        file.commit();
    }
}
