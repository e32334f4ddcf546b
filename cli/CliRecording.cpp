#include "cli/CliRecording.h"

#include <memory>

#include "cli/CliApp.h"
#include "cli/CliOutput.h"
#include "device/RecordingReader.h"
#include "device/SessionRecorder.h"

namespace cli {

int runRecorded(const QString &path, bool unmasked, const std::function<int()> &command) {
    auto recorder = std::make_shared<recording::Recorder>(
        QStringLiteral("corvane-cli " CORVANE_VERSION), !unmasked);
    QString error;
    if (!recorder->open(path, &error)) {
        printMessage(QStringLiteral("The recording cannot be written to %1: %2").arg(path, error));
        return kExitUsage;
    }
    recording::install(recorder);
    const int code = command();
    recording::install(nullptr);
    if (!recorder->finish(&error)) {
        printMessage(QStringLiteral("The recording could not be saved to %1: %2").arg(path, error));
        return code == kExitDone ? kExitUsage : code;
    }
    if (recorder->holdsFlash())
        printMessage(QStringLiteral("Recording: %1 holds flash contents, which may include the "
                                    "account ID and PIN; share it only as you would a flash "
                                    "backup.")
                         .arg(path));
    return code;
}

} // namespace cli
