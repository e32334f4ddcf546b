#include "cli/CommandBase.h"

#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliOutput.h"
#include "cli/CliTerminal.h"
#include "device/DeviceSession.h"

namespace cli {

int fail(const Request &request, int exitCode, const QString &message) {
    printMessage(message);
    if (request.json)
        printJson({{QStringLiteral("error"), message}, {QStringLiteral("exitCode"), exitCode}});
    return exitCode;
}

QString hex4(uint16_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QJsonObject describe(const accessory::Attached &attached) {
    return {{QStringLiteral("path"), QString::fromLocal8Bit(attached.path)},
            {QStringLiteral("vendorId"), hex4(attached.vendorId)},
            {QStringLiteral("productId"), hex4(attached.productId)}};
}

QString textOrEmpty(const std::optional<QString> &text) {
    return text ? *text : QString();
}

QString displayed(const QString &text) {
    return text.isEmpty() ? QStringLiteral("(empty)") : text;
}

DeviceJobObserver progressObserver(Progress &progress) {
    DeviceJobObserver observer;
    observer.stopRequested = [] { return stopRequested(); };
    observer.stepReached = [&progress](int step) { progress.stepReached(step); };
    observer.blockDone = [&progress](int done, int total) { progress.blockDone(done, total); };
    return observer;
}

} // namespace cli
