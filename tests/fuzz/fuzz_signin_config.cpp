// The sign-in settings reader: the input is corvane.ini, read from a scratch
// configuration folder made for this process (removed at exit; in memory
// where /dev/shm is, since a file rewritten on disk thousands of times a
// second waits for the disk), with no CORVANE_* variable set; then everything
// the window and corvane-cli derive from the settings.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <memory>

#include "FuzzSupport.h"
#include "account/SignInConfig.h"

namespace {

std::unique_ptr<QTemporaryDir> configDir;

QString scratchBase() {
    const QString memory = QStringLiteral("/dev/shm");
    return QFileInfo(memory).isDir() && QFileInfo(memory).isWritable() ? memory : QDir::tempPath();
}

void writeConfig(const uint8_t *data, std::size_t size) {
    QFile file(configDir->filePath(QStringLiteral("corvane.ini")));
    fuzz::expect(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                     file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size),
                 "the scratch configuration can be written");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silenceDebugOutput();
    configDir =
        std::make_unique<QTemporaryDir>(scratchBase() + QStringLiteral("/corvane-fuzz-XXXXXX"));
    fuzz::expect(configDir->isValid(), "a scratch configuration folder");
    std::atexit([] { configDir.reset(); });
    for (const char *name : {"CORVANE_AUTH_HOST", "CORVANE_REDIRECT_HOST", "CORVANE_CLIENT_ID",
                             "CORVANE_CLIENT_SECRET", "CORVANE_HTTP_TIMEOUT"})
        qunsetenv(name);
    qputenv("CORVANE_CONFIG_DIR", configDir->path().toLocal8Bit());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    writeConfig(data, size);
    const SignInConfig config = loadSignInConfig();
    fuzz::expect(config.timeoutSeconds > 0, "the timeout is positive");
    const QString problem = signInConfigProblem(config);
    signInConfigNotice(config);
    resolverEnvironment(config, config.timeoutSeconds + 5);
    if (problem.isEmpty())
        fuzz::expect(signInAddress(config).endsWith(QLatin1Char('&')),
                     "a usable configuration gives the sign-in address");
    return 0;
}
