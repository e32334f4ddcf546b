// A session recording, as a user may send one in: read as corvane-cli replay
// reads it, written back and read again, and loaded into the emulated
// accessory's replay as the emulated programs do.
#include <QFile>

#include "EmulatedAccessory.h"
#include "FuzzSupport.h"
#include "ReplayFile.h"
#include "device/RecordingReader.h"
#include "device/RecordingWriter.h"

namespace {

QString recordingPath() {
    return fuzz::scratchDir() + QStringLiteral("/session.jsonl");
}

// What the writer makes of a recording the reader accepted, the reader takes.
void checkRoundTrip(const recording::Recording &recorded) {
    QByteArray text = recording::headerLine(recorded.header);
    for (const recording::Exchange &exchange : recorded.exchanges) {
        recording::requestKind(exchange.request);
        text += recording::exchangeLine(exchange);
    }
    QString error;
    const std::optional<recording::Recording> again = recording::parse(text, &error);
    fuzz::expect(again.has_value(), "a recording written back reads again");
    fuzz::expect(again->exchanges.size() == recorded.exchanges.size(),
                 "a recording written back keeps its exchanges");
    for (std::size_t i = 0; i < recorded.exchanges.size(); ++i)
        fuzz::expect(again->exchanges[i].request == recorded.exchanges[i].request &&
                         again->exchanges[i].reply == recorded.exchanges[i].reply,
                     "a recording written back keeps its bytes");
}

void replayInEmulator(const uint8_t *data, std::size_t size) {
    QFile file(recordingPath());
    fuzz::expect(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                     file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size),
                 "the scratch recording can be written");
    file.close();
    QString error;
    demo::startReplay(recordingPath(), /*fullSpeed=*/true, &error);
    emu::reset();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silenceDebugOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    QString error;
    const std::optional<recording::Recording> recorded = recording::parse(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)), &error);
    if (recorded)
        checkRoundTrip(*recorded);
    else
        fuzz::expect(!error.isEmpty(), "a refused recording says why");
    replayInEmulator(data, size);
    return 0;
}
