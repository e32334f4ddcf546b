#include "cli/CliApp.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <memory>

#include "cli/CliCommands.h"
#include "cli/CliOutput.h"
#include "cli/CliRecording.h"
#include "cli/CliTerminal.h"

namespace {

const char *const kHelp =
    R"(Usage: corvane-cli [--device PATH] [--json] [--record FILE] COMMAND [ARGUMENTS]
Reads and writes the Corvane remote-play accessory from a terminal: lists it,
shows and sets its account ID and PIN, updates its firmware and backs up its
flash memory.

Commands:
  list                  list the attached accessories (vendor:product, path)
                        and whether they can be opened
  info [--show-pin]     print the firmware version, the account ID and the
                        PIN; the PIN is printed as **** unless --show-pin
  set [--account ID] [--pin PIN] [--allow-empty]
                        write the account ID, the PIN or both; an empty value
                        is refused unless --allow-empty, and a value holds at
                        most 997 Latin-1 characters. A value given as - is
                        read from standard input, one line each (account ID
                        first); on a terminal after a prompt, without echo.
                        A value given on the command line is visible to
                        other local users while the command runs (in
                        /proc/PID/cmdline, ps): prefer -.
  flash [--force] IMAGE write the firmware image IMAGE, then identify the
                        accessory again and print its version; an accessory
                        that restarts after the update is waited for (at most
                        10 seconds, the same unit only). An accessory that
                        does not answer its identification is warned about
                        on standard error and updated all the same, since an
                        update may repair it. A first Ctrl-C
                        during the update only warns (a half-written image
                        can leave the accessory unusable); a second one
                        within 3 seconds stops it. Refused on a battery
                        below 25 % and for a file that is plainly not
                        firmware (an archive, a picture, a document, an
                        executable, text, all 0x00 or 0xFF) unless --force;
                        sleep and shutdown are blocked while it runs.
  backup FILE           save the whole 512 KiB flash into FILE (written
                        atomically, mode 0600; no file on failure); sleep
                        and shutdown are blocked while it runs
  resolve [--url URL]   turn the address the sign-in ended on (from standard
                        input: on a terminal one line after a prompt; --url -
                        too; a URL given here is visible to other users)
                        into the account ID, with the same resolver and
                        settings as the window's Paste button
  replay FILE           print the session recorded in FILE (see --record) as
                        a table: exchange, request, record or block address,
                        reply size, delay, conclusion

Options:
  --device PATH         use the accessory at PATH (default: the first one
                        found, as the window does)
  --json                print the result as JSON on standard output, and a
                        failure (usage errors too) as {"error", "exitCode"}
  --record FILE         record the command's conversation with the accessory
                        into FILE (mode 0600) for a support request; the
                        account ID and PIN are masked, flash contents are not
  --unmasked            with --record: keep the account ID and PIN
  -h, --help            print this help and exit
  --version             print the version and exit

Results go to standard output; messages and progress go to standard error.
Control characters in text read from the accessory or the network are
replaced before they are printed. Progress is a bar on a terminal and one line
per sixth otherwise. Only one program at a time works with an accessory: each
takes a lock on the accessory's device node, which the window, other users
and sudo meet too.

Exit status:
  0   done
  1   the device failed (not acknowledged, no answer, removed during the
      command), it could not be opened for another reason, or the account ID
      could not be resolved
  2   usage error, or a file that cannot be read or written
  3   no accessory found, or it was removed before it could be opened
  4   permission denied on the accessory (install the udev rule)
  5   the accessory is busy with another program's job, or another program
      holds it exclusively
  130 stopped by Ctrl-C (143 by a termination request)
)";

struct CommandSpec {
    const char *name;
    int arguments; // positional arguments after the command
    const char *argumentName;
    QStringList options; // command options allowed besides the global ones
    int (*run)(const cli::Request &request);
};

const CommandSpec *findCommand(const QString &name) {
    static const CommandSpec kCommands[] = {
        {"list", 0, nullptr, {}, cli::listAccessories},
        {"info", 0, nullptr, {QStringLiteral("show-pin")}, cli::showInfo},
        {"set",
         0,
         nullptr,
         {QStringLiteral("account"), QStringLiteral("pin"), QStringLiteral("allow-empty")},
         cli::setRecords},
        {"flash", 1, "IMAGE", {QStringLiteral("force")}, cli::flashFirmware},
        {"backup", 1, "FILE", {}, cli::backUpFlash},
        {"resolve", 0, nullptr, {QStringLiteral("url")}, cli::resolveAccountId},
        {"replay", 1, "FILE", {}, cli::printRecording},
    };
    for (const CommandSpec &spec : kCommands)
        if (name == QLatin1String(spec.name))
            return &spec;
    return nullptr;
}

int usageError(const QString &message, bool json) {
    cli::printMessage(message);
    std::fputs("Try 'corvane-cli --help' for more information.\n", stderr);
    if (json)
        cli::printJson(
            {{QStringLiteral("error"), message}, {QStringLiteral("exitCode"), kExitUsage}});
    return kExitUsage;
}

// Runs the command buildRequest has checked.
int run(const cli::Request &request) {
    return findCommand(request.command)->run(request);
}

// Fills `request` from the parsed command line; returns kExitDone or reports
// a usage error and returns its code.
int buildRequest(const QCommandLineParser &parser, cli::Request &request) {
    const bool json = parser.isSet(QStringLiteral("json"));
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(QStringLiteral("no command given."), json);
    const CommandSpec *spec = findCommand(positional.first());
    if (!spec)
        return usageError(QStringLiteral("unknown command '%1'.").arg(positional.first()), json);
    if (positional.size() - 1 != spec->arguments)
        return usageError(spec->arguments == 0
                              ? QStringLiteral("%1 takes no arguments.").arg(positional.first())
                              : QStringLiteral("%1 needs exactly one %2.")
                                    .arg(positional.first(), QLatin1String(spec->argumentName)),
                          json);
    const QStringList global = {QStringLiteral("device"), QStringLiteral("json"),
                                QStringLiteral("record"), QStringLiteral("unmasked")};
    for (const QString &option : parser.optionNames()) {
        const QString longName = option.size() == 1 ? QString() : option;
        if (!global.contains(longName) && !spec->options.contains(longName))
            return usageError(
                QStringLiteral("--%1 is not an option of %2.").arg(option, positional.first()),
                json);
    }
    request.command = positional.first();
    request.argument = spec->arguments ? positional.at(1) : QString();
    request.devicePath = parser.value(QStringLiteral("device"));
    request.json = json;
    request.recordPath = parser.value(QStringLiteral("record"));
    request.unmasked = parser.isSet(QStringLiteral("unmasked"));
    if (request.unmasked && request.recordPath.isEmpty())
        return usageError(QStringLiteral("--unmasked needs --record FILE."), json);
    request.showPin = parser.isSet(QStringLiteral("show-pin"));
    request.allowEmpty = parser.isSet(QStringLiteral("allow-empty"));
    request.force = parser.isSet(QStringLiteral("force"));
    for (const auto &[name, target] : {std::pair{QStringLiteral("account"), &request.account},
                                       std::pair{QStringLiteral("pin"), &request.pin},
                                       std::pair{QStringLiteral("url"), &request.url}}) {
        if (parser.isSet(name))
            *target = parser.value(name);
    }
    return kExitDone;
}

} // namespace

int runCli(int argc, char **argv) {
    // Before any thread starts, so that every thread leaves the signals to it.
    cli::handleStops(cli::StopPolicy::AtOnce);
    std::unique_ptr<QCoreApplication> ownApp;
    if (!QCoreApplication::instance())
        ownApp = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
    // The shared device code logs every exchange for the window's diagnostic
    // log; here that would bury the results. QT_LOGGING_RULES brings it back.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({
        {QStringLiteral("device"), QString(), QStringLiteral("PATH")},
        {QStringLiteral("json"), QString()},
        {{QStringLiteral("h"), QStringLiteral("help")}, QString()},
        {QStringLiteral("version"), QString()},
        {QStringLiteral("show-pin"), QString()},
        {QStringLiteral("account"), QString(), QStringLiteral("ID")},
        {QStringLiteral("pin"), QString(), QStringLiteral("PIN")},
        {QStringLiteral("allow-empty"), QString()},
        {QStringLiteral("url"), QString(), QStringLiteral("URL")},
        {QStringLiteral("record"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("unmasked"), QString()},
        {QStringLiteral("force"), QString()},
    });
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments)) {
        // What was parsed before the error may not include --json.
        const bool json = parser.isSet(QStringLiteral("json")) ||
                          arguments.mid(1).contains(QStringLiteral("--json")) ||
                          arguments.mid(1).contains(QStringLiteral("-json"));
        return usageError(parser.errorText(), json);
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(kHelp, stdout);
        return kExitDone;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("corvane-cli %s\n", CORVANE_VERSION);
        return kExitDone;
    }
    cli::Request request;
    if (const int code = buildRequest(parser, request))
        return code;
    const int code = request.recordPath.isEmpty()
                         ? run(request)
                         : cli::runRecorded(request.recordPath, request.unmasked,
                                            [&request] { return run(request); });
    std::fflush(stdout);
    return code;
}
