#include "support/WindowFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include "ui/Tray.h"

namespace fixture {

QString busyText() {
    QFile comm(QStringLiteral("/proc/self/comm"));
    if (!comm.open(QIODevice::ReadOnly))
        return QStringLiteral("Another program is using the accessory");
    return QStringLiteral("%1 (process %2) is using the accessory")
        .arg(QString::fromLocal8Bit(comm.readAll().trimmed()))
        .arg(QCoreApplication::applicationPid());
}

const std::string kDevicePath = "/dev/hidraw-emulated0";

void resetEmulation() {
    emu::reset();
}

void attachStandardDevice() {
    emu::reset();
    emu::DeviceSpec spec;
    spec.path = kDevicePath;
    emu::attach(spec);
    emu::setRecordText(kDevicePath, "version", "V1.2.0 emulated");
    emu::setRecordText(kDevicePath, "rp.psnid", "AQIDBAUGBwg=");
    emu::setRecordText(kDevicePath, "rp.pin", "12345678");
}

std::unique_ptr<MainWindow> makeWindow() {
    tray::setAvailabilityForTesting(true);
    return std::make_unique<MainWindow>(nullptr);
}

std::vector<std::vector<uint8_t>> requestsOfKind(int command, int target) {
    std::vector<std::vector<uint8_t>> result;
    for (const emu::LoggedRequest &request : emu::requestLog()) {
        if (request.bytes.size() > 4 && request.bytes[3] == command && request.bytes[4] == target)
            result.push_back(request.bytes);
    }
    return result;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

} // namespace fixture

namespace {

QMutex captureMutex;
QStringList capturedLines;
QtMessageHandler previousHandler = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    {
        QMutexLocker lock(&captureMutex);
        capturedLines << message;
    }
    if (qEnvironmentVariableIsSet("CORVANE_TEST_VERBOSE") && previousHandler)
        previousHandler(type, context, message);
}

} // namespace

LogCapture::LogCapture() {
    QMutexLocker lock(&captureMutex);
    capturedLines.clear();
    previousHandler = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previousHandler);
}

QStringList LogCapture::lines() const {
    QMutexLocker lock(&captureMutex);
    return capturedLines;
}

int LogCapture::count(const QString &line) const {
    return lines().count(line);
}
