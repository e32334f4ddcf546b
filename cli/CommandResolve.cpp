// corvane-cli resolve: the address the sign-in ended on, turned into the
// account ID.
#include "account/PastedAddress.h"
#include "account/PythonResolver.h"
#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliOutput.h"
#include "cli/CliTerminal.h"
#include "cli/CommandBase.h"

namespace cli {
namespace {

// On a terminal one line is read after a prompt; otherwise the input, as a
// script pipes it. The address holds a code that whoever reads it first can
// redeem, so one given on the command line (which every local user can read
// in /proc) is used, with a warning; "--url -" reads it as without --url.
QString addressGiven(const Request &request) {
    if (request.url && *request.url != QLatin1String("-")) {
        printMessage(QStringLiteral("warning: an address given with --url is visible to other "
                                    "users while this runs; leave --url out (or pass --url -) to "
                                    "read it from standard input."));
        return *request.url;
    }
    if (stdinIsTerminal())
        return readInputLine(QStringLiteral("Paste the address the sign-in ended on, then press "
                                            "Enter: "),
                             /*secret=*/false)
            .value_or(QString());
    return QString::fromLocal8Bit(readAllInput());
}

} // namespace

int resolveAccountId(const Request &request) {
    const QString text = addressGiven(request).trimmed();
    if (text.isEmpty())
        return fail(request, kExitUsage,
                    QStringLiteral("No address given: pass --url URL or the address on "
                                   "standard input."));
    if (!text.contains(QLatin1String("code="), Qt::CaseSensitive))
        return fail(request, kExitUsage,
                    QStringLiteral("The address holds no \"code=\"; copy the whole address the "
                                   "sign-in ended on."));
    const ResolvedAccountId resolved = PythonResolver::resolve(text);
    if (!resolved.ok)
        return fail(request, kExitDeviceFailed, resolved.error);
    if (paste::isImplausibleAccountId(resolved.id))
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("psn id may be wrong, please check it!"));
    const QString id = QString::fromUtf8(resolved.id);
    if (request.json)
        printJson({{QStringLiteral("accountId"), id}});
    else
        printResult(id);
    return kExitDone;
}

} // namespace cli
