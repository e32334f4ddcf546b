// The sign-in settings reader: the input is corvane.ini, read from a scratch
// configuration folder with no CORVANE_* variable set; then everything the
// window and corvane-cli derive from the settings.
#include <QFile>

#include "FuzzSupport.h"
#include "account/SignInConfig.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silenceDebugOutput();
    for (const char *name : {"CORVANE_AUTH_HOST", "CORVANE_REDIRECT_HOST", "CORVANE_CLIENT_ID",
                             "CORVANE_CLIENT_SECRET", "CORVANE_HTTP_TIMEOUT"})
        qunsetenv(name);
    qputenv("CORVANE_CONFIG_DIR", fuzz::scratchDir().toLocal8Bit());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    QFile file(fuzz::scratchDir() + QStringLiteral("/corvane.ini"));
    fuzz::expect(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                     file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size),
                 "the scratch configuration can be written");
    file.close();
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
