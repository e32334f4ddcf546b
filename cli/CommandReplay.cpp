// corvane-cli replay FILE: a recorded session (see --record) printed as a
// table that a support person reads without tools, or as JSON.
#include <QJsonArray>
#include <QJsonObject>

#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliOutput.h"
#include "cli/CommandBase.h"
#include "device/RecordingReader.h"

namespace cli {
namespace {

QString replySize(const recording::Exchange &exchange) {
    return exchange.reply ? QString::number(exchange.reply->size()) : QStringLiteral("none");
}

void printTable(const recording::Recording &recorded) {
    const recording::Header &h = recorded.header;
    printResult(QStringLiteral("Recording of %1 (hidapi %2), %3")
                    .arg(h.program.left(80), h.hidapi.left(40), h.date.left(40)));
    if (h.device)
        printResult(QStringLiteral("Accessory: %1:%2 at %3, usage page %4, usage %5")
                        .arg(hex4(h.device->vendorId), hex4(h.device->productId),
                             QString::fromLocal8Bit(h.device->path).left(200))
                        .arg(h.device->usagePage)
                        .arg(h.device->usage));
    else
        printResult(QStringLiteral("Accessory: none opened"));
    printResult(h.masked ? QStringLiteral("Account ID and PIN: masked")
                         : QStringLiteral("Account ID and PIN: recorded as they were (unmasked)"));
    if (h.holdsFlash)
        printResult(QStringLiteral("Flash contents: recorded; keep the file as private as a flash "
                                   "backup"));
    printResult(QStringLiteral("%1  %2  %3  %4  %5  %6")
                    .arg(QStringLiteral("#"), 5)
                    .arg(QStringLiteral("request"), -14)
                    .arg(QStringLiteral("record/address"), -14)
                    .arg(QStringLiteral("reply"), 5)
                    .arg(QStringLiteral("delay"), 8)
                    .arg(QStringLiteral("conclusion")));
    for (const recording::Exchange &exchange : recorded.exchanges)
        printResult(QStringLiteral("%1  %2  %3  %4  %5  %6")
                        .arg(exchange.number, 5)
                        .arg(recording::requestKind(exchange.request), -14)
                        .arg(recording::requestTarget(exchange.request).left(16), -14)
                        .arg(replySize(exchange), 5)
                        .arg(QStringLiteral("%1 ms").arg(exchange.ms), 8)
                        .arg(exchange.result));
}

void printAsJson(const recording::Recording &recorded) {
    QJsonArray exchanges;
    for (const recording::Exchange &exchange : recorded.exchanges)
        exchanges.append(QJsonObject{
            {QStringLiteral("n"), exchange.number},
            {QStringLiteral("kind"), recording::requestKind(exchange.request)},
            {QStringLiteral("target"), recording::requestTarget(exchange.request)},
            {QStringLiteral("replySize"), exchange.reply ? int(exchange.reply->size()) : -1},
            {QStringLiteral("ms"), exchange.ms},
            {QStringLiteral("result"), exchange.result}});
    printJson({{QStringLiteral("program"), recorded.header.program},
               {QStringLiteral("masked"), recorded.header.masked},
               {QStringLiteral("holdsFlash"), recorded.header.holdsFlash},
               {QStringLiteral("exchanges"), exchanges}});
}

} // namespace

int printRecording(const Request &request) {
    QString error;
    const std::optional<recording::Recording> recorded = recording::load(request.argument, &error);
    if (!recorded) {
        printMessage(
            QStringLiteral("The recording %1 cannot be read: %2").arg(request.argument, error));
        return kExitUsage;
    }
    if (request.json)
        printAsJson(*recorded);
    else
        printTable(*recorded);
    return kExitDone;
}

} // namespace cli
