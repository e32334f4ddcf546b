// corvane-cli list: the attached accessories and whether they can be opened.
#include <QJsonArray>
#include <vector>

#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliDevice.h"
#include "cli/CliOutput.h"
#include "cli/CommandBase.h"

namespace cli {

int listAccessories(const Request &request) {
    if (const int code = initialiseHid(request))
        return code;
    const std::vector<accessory::Attached> attached = accessory::listAttached();
    QJsonArray entries;
    int accessible = 0;
    std::vector<OpenProblem> problems;
    for (const accessory::Attached &candidate : attached) {
        int error = 0;
        hid_device *probe = accessory::open(candidate.path.constData(), &error);
        if (probe) {
            hid_close(probe);
            ++accessible;
        } else {
            problems.push_back(openProblem(candidate.path, error));
        }
        QJsonObject entry = describe(candidate);
        entry.insert(QStringLiteral("accessible"), probe != nullptr);
        entries.append(entry);
        if (!request.json)
            printResult(
                QStringLiteral("%1:%2 %3 %4")
                    .arg(hex4(candidate.vendorId), hex4(candidate.productId),
                         QString::fromLocal8Bit(candidate.path),
                         probe ? QStringLiteral("accessible") : QStringLiteral("no-access")));
    }
    if (request.json)
        printJson({{QStringLiteral("accessories"), entries}});
    if (attached.empty()) {
        hid_exit();
        printMessage(QStringLiteral("No accessory found."));
        return kExitNoAccessory;
    }
    for (const OpenProblem &problem : problems)
        printMessage(problem.message);
    hid_exit();
    return accessible > 0 || problems.empty() ? kExitDone : problems.front().exitCode;
}

} // namespace cli
