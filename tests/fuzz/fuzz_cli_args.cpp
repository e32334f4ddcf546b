// corvane-cli's command line with no accessory attached: the input is up to
// kMaxArguments arguments separated by NUL bytes, run as corvane-cli would
// run them. Each command works in a scratch folder of its own (current
// folder, configuration and runtime folders), arguments cannot name anything outside
// it ('/' becomes '_'), standard input is empty, and the resolver is never
// started (ResolverStub.cpp): its parsers have property tests of their own.
#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "cli/CliApp.h"

namespace {

constexpr int kMaxArguments = 12;

std::vector<std::string> argumentsOf(const uint8_t *data, std::size_t size) {
    std::vector<std::string> arguments{"corvane-cli"};
    std::string current;
    for (std::size_t i = 0; i < size && int(arguments.size()) <= kMaxArguments; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += data[i] == '/' ? '_' : char(data[i]);
        }
    }
    if (!current.empty() && int(arguments.size()) <= kMaxArguments)
        arguments.push_back(current);
    return arguments;
}

// What a command left behind (a recording, say) must not meet the next one.
void clearScratch() {
    QDir scratch(fuzz::scratchDir());
    for (const QString &name : scratch.entryList(QDir::Files | QDir::Hidden | QDir::System))
        scratch.remove(name);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    // corvane-cli writes its results and messages; libFuzzer keeps its own
    // output and the sanitizers' reports.
    static std::vector<char *> withOptions(*argv, *argv + *argc);
    static char closeOutput[] = "-close_fd_mask=3";
    withOptions.insert(withOptions.begin() + 1, closeOutput);
    withOptions.push_back(nullptr);
    *argc += 1;
    *argv = withOptions.data();

    const QString scratch = fuzz::scratchDir();
    const QString runtime = scratch + QStringLiteral("/run");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", scratch.toLocal8Bit());
    qputenv("CORVANE_CONFIG_DIR", scratch.toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    fuzz::expect(std::freopen("/dev/null", "r", stdin) != nullptr, "an empty standard input");
    static int appArgc = 1;
    static char appName[] = "corvane-cli";
    static char *appArgv[] = {appName, nullptr};
    static QCoreApplication app(appArgc, appArgv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string> arguments = argumentsOf(data, size);
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // Only while the command runs: libFuzzer's own paths may be relative.
    const QString folder = QDir::currentPath();
    QDir::setCurrent(fuzz::scratchDir());
    const int code = runCli(int(arguments.size()), argv.data());
    QDir::setCurrent(folder);
    fuzz::expect(code == kExitDone || code == kExitDeviceFailed || code == kExitUsage ||
                     code == kExitNoAccessory,
                 "without an accessory a command is done, fails, is misused or finds none");
    clearScratch();
    return 0;
}
