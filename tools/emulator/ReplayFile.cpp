#include "ReplayFile.h"

#include <QtGlobal>
#include <cstdio>

#include "EmulatedAccessory.h"
#include "EmulatorReplay.h"
#include "device/RecordingReader.h"

namespace demo {
namespace {

std::vector<uint8_t> bytesOf(const QByteArray &bytes) {
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

emu::ReplayExchange::Outcome outcomeOf(const recording::Exchange &exchange) {
    using Outcome = emu::ReplayExchange::Outcome;
    if (exchange.reply)
        return Outcome::Replied;
    if (exchange.result == QLatin1String("write failed"))
        return Outcome::WriteFailed;
    if (exchange.result == QLatin1String("read failed"))
        return Outcome::ReadFailed;
    return Outcome::NoReply;
}

} // namespace

bool startReplay(const QString &path, bool fullSpeed, QString *error) {
    const std::optional<recording::Recording> recorded = recording::load(path, error);
    if (!recorded)
        return false;
    emu::ReplayScript script;
    script.fullSpeed = fullSpeed;
    for (const recording::Exchange &exchange : recorded->exchanges) {
        emu::ReplayExchange step;
        step.number = exchange.number;
        step.request = bytesOf(exchange.request);
        step.reply = exchange.reply ? bytesOf(*exchange.reply) : std::vector<uint8_t>();
        step.delayMs = exchange.ms;
        step.outcome = outcomeOf(exchange);
        step.maskedValue = exchange.masked && report::requestKind(exchange.request) ==
                                                  report::RequestKind::RecordWrite;
        script.exchanges.push_back(std::move(step));
    }
    emu::startReplay(std::move(script));
    if (const auto &device = recorded->header.device) {
        emu::DeviceSpec spec;
        spec.vendorId = device->vendorId;
        spec.productId = device->productId;
        spec.usagePage = device->usagePage;
        spec.usage = device->usage;
        spec.path = device->path.toStdString();
        emu::attach(spec);
    }
    return true;
}

ReplaySetup replayFromEnvironment() {
    const QString path = qEnvironmentVariable("CORVANE_EMULATOR_REPLAY");
    if (path.isEmpty())
        return ReplaySetup::NotAsked;
    QString error;
    const bool fullSpeed = qEnvironmentVariableIntValue("CORVANE_EMULATOR_REPLAY_FULL_SPEED") == 1;
    if (!startReplay(path, fullSpeed, &error)) {
        std::fprintf(stderr, "EMULATOR REPLAY: cannot replay %s: %s\n", qPrintable(path),
                     qPrintable(error));
        return ReplaySetup::Failed;
    }
    return ReplaySetup::Started;
}

bool replayHeld() {
    if (!emu::replayFailures().empty())
        return false; // already printed as it happened
    const int asked = emu::replayedExchanges();
    const int recorded = emu::scriptedExchanges();
    if (asked < recorded) {
        std::fprintf(stderr,
                     "EMULATOR REPLAY INCOMPLETE: the program asked %d of the %d recorded "
                     "exchanges\n",
                     asked, recorded);
        return false;
    }
    return true;
}

} // namespace demo
