// The firmware update driven through the real window against the emulated
// accessory: what the device receives, the progress it shows, and how every
// kind of failure ends.
#include <QtTest>

#include <QCryptographicHash>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include "firmware/WorkerThreadForFW.h"
#include "readback/WorkerThreadForSaveData.h"
#include "support/DialogAnswerer.h"
#include "support/StandInBus.h"
#include "support/WindowFixture.h"
#include "ui/ProgressTips.h"
#include "ui/StyleSheets.h"

namespace {

const std::string &kDevice = fixture::kDevicePath;
const QString kSuccessText = QStringLiteral("Download firmware successfully!");
constexpr int kBlock = 512;
constexpr int kFirmwareCommand = 2;
constexpr int kFirmwareTarget = 1;
constexpr int kRecordCommand = 1;
constexpr int kRecordTarget = 3;

enum class Fault {
    None,
    WriteFailure,
    StalledWrites,
    ReadFailure,
    Detach,
    ReplyTimeout,
    Interruption,
    Backup,
    InhibitorRefused
};

// Bytes that differ from block to block, so a misplaced block shows.
QByteArray makeImage(int size) {
    QByteArray image(size, Qt::Uninitialized);
    uint32_t state = 0x2545F491u ^ uint32_t(size);
    for (char &byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return image;
}

// What the device should hold: the image, its last block padded with 0xFF.
std::vector<uint8_t> padded(const QByteArray &image) {
    std::vector<uint8_t> bytes(image.begin(), image.end());
    bytes.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, 0xFF);
    return bytes;
}

int firmwareRequestCount() {
    return int(fixture::requestsOfKind(kFirmwareCommand, kFirmwareTarget).size());
}

int recordReadCount() {
    return int(fixture::requestsOfKind(kRecordCommand, kRecordTarget).size());
}

// The block index of a firmware block request; -1 for any other request.
int firmwareBlockIndex(const std::vector<uint8_t> &request) {
    if (request.size() < 13 || request[3] != kFirmwareCommand || request[4] != kFirmwareTarget)
        return -1;
    const uint32_t address = uint32_t(request[9]) | uint32_t(request[10]) << 8 |
                             uint32_t(request[11]) << 16 | uint32_t(request[12]) << 24;
    return int(address / kBlock);
}

emu::RequestMatcher firmwareBlockAt(int blockIndex) {
    return [blockIndex](const std::vector<uint8_t> &request, int) {
        return firmwareBlockIndex(request) == blockIndex;
    };
}

// The window with its dialogs answered and its progress steps recorded.
class Session {
public:
    Session() : window(fixture::makeWindow()) {
        QObject::connect(window->fwWorker, &WorkerThreadForFW::sigRunUpdateFWProcess, window.get(),
                         [this](int step) { steps << step; });
        QObject::connect(window->fwWorker, &QThread::finished, window.get(),
                         [this] { finished = true; });
    }

    QString writeImage(const QByteArray &image) {
        const QString path = dir.filePath(QStringLiteral("image%1.bin").arg(++imageCount));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            return QString();
        return path;
    }

    void load(const QString &path) {
        answerer.answerFileDialog(path);
        window->slotPushButtonLoadFW();
    }

    void run() {
        finished = false;
        dialogsAtRun = answerer.count();
        window->slotPushButtonRunUpdateFW();
    }

    // Until the worker has ended and the box that closes the transfer was answered.
    bool waitForEnd() {
        return fixture::waitUntil([this] { return finished && answerer.count() > dialogsAtRun; });
    }

    bool waitForBlocks(int count) {
        return fixture::waitUntil(
            [count] { return emu::receivedFirmwareBlocks(kDevice) >= count; });
    }

    QString lastText() const {
        return answerer.seen().isEmpty() ? QString() : answerer.seen().last().text;
    }

    bool arrowLit(int step) const {
        return window->fwArrows[step - 1]->styleSheet() == QString::fromUtf8(styles::kArrowLit);
    }

    QTemporaryDir dir;
    DialogAnswerer answerer;
    std::unique_ptr<MainWindow> window;
    QList<int> steps;
    bool finished = false;
    int dialogsAtRun = 0;
    int imageCount = 0;
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestFirmware : public QObject {
    Q_OBJECT

private slots:
    // Before the program's first use of the system bus, which Qt keeps.
    void initTestCase() { bus = std::make_unique<StandInBus>(); }
    void cleanupTestCase() { bus.reset(); }
    void init() { fixture::attachStandardDevice(); }
    void cleanup() { QCOMPARE(emu::misuseCount(), 0); }

    void sendsWholeImage_data();
    void sendsWholeImage();
    void refusesUnusableImage_data();
    void refusesUnusableImage();
    void failedTransferNeverReportsSuccess_data();
    void failedTransferNeverReportsSuccess();
    void fileVanishingBeforeTransferIsReported();
    void refusesLoadAndRunDuringTransfer();
    void cancellingDialogClearsChoice();
    void runWithoutDeviceWarns();
    void halfUpdatedDeviceIsOfferedTheUpdate();
    void restartedDeviceIsWaitedForAndNoOtherTaken_data();
    void restartedDeviceIsWaitedForAndNoOtherTaken();
    void progressTipText_data();
    void progressTipText();
    void progressTipsFollowTheTransfer();
    void sleepIsBlockedForTheWholeJob_data();
    void sleepIsBlockedForTheWholeJob();

private:
    std::unique_ptr<StandInBus> bus;
};

void TestFirmware::sendsWholeImage_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<int>("blocksPerStep");
    QTest::addColumn<QString>("firstStepLog");

    QTest::newRow("one block") << 512 << QList<int>{6} << 1 << QString();
    QTest::newRow("two blocks, last one partial")
        << 1000 << QList<int>{1, 6} << 1 << QStringLiteral("show step:2 iLoopTemp:1");
    QTest::newRow("six blocks") << 3072 << QList<int>{1, 2, 6} << 2
                                << QStringLiteral("show step:4 iLoopTemp:1");
    QTest::newRow("odd size") << 70001 << QList<int>{1, 2, 3, 4, 5, 6} << 23
                              << QStringLiteral("show step:46 iLoopTemp:1");
    QTest::newRow("256 KiB") << 262144 << QList<int>{1, 2, 3, 4, 5, 6} << 86
                             << QStringLiteral("show step:172 iLoopTemp:1");
    QTest::newRow("whole flash") << 524288 << QList<int>{1, 2, 3, 4, 5, 6} << 171
                                 << QStringLiteral("show step:342 iLoopTemp:1");
}

void TestFirmware::sendsWholeImage() {
    QFETCH(int, size);
    QFETCH(QList<int>, steps);
    QFETCH(int, blocksPerStep);
    QFETCH(QString, firstStepLog);

    // The updated firmware reports a new version, so a fresh identification shows.
    emu::setVersionAfterFirmware(kDevice, "V2.0.0 emulated");
    Session session;
    QCOMPARE(session.window->btnVersion->text(), QStringLiteral("V1.2.0 emulated"));
    const QByteArray image = makeImage(size);
    const QString path = session.writeImage(image);
    session.load(path);
    QCOMPARE(session.window->firmwarePath, path);

    LogCapture log;
    session.run();
    QVERIFY(session.waitForEnd());

    QCOMPARE(emu::receivedFirmware(kDevice), padded(image));
    QCOMPARE(firmwareRequestCount(), (size + kBlock - 1) / kBlock);
    QCOMPARE(session.steps, steps);
    for (int step = 1; step <= 6; ++step)
        QCOMPARE(session.arrowLit(step), steps.contains(step));
    QCOMPARE(session.answerer.texts().mid(session.dialogsAtRun), QStringList{kSuccessText});
    QCOMPARE(session.answerer.seen().last().title, QStringLiteral("Success"));
    QVERIFY(log.contains(QStringLiteral("file fileSize:%1").arg(size)));
    QVERIFY(log.contains(QStringLiteral("file step:%1").arg(blocksPerStep)));
    if (!firstStepLog.isEmpty())
        QVERIFY(log.contains(firstStepLog));
    QCOMPARE(session.window->btnVersion->text(), QStringLiteral("V2.0.0 emulated"));
    QCOMPARE(emu::protocolErrors(), 0);
}

void TestFirmware::refusesUnusableImage_data() {
    QTest::addColumn<int>("size"); // -1: the file does not exist
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QByteArray>("content"); // instead of makeImage(size)
    QTest::addColumn<int>("batteryPercent"); // on battery; -1: on mains

    QTest::newRow("empty") << 0 << QStringLiteral("^The firmware file is empty\\.$") << QByteArray()
                           << -1;
    QTest::newRow("missing") << -1 << QStringLiteral("^The firmware file cannot be read: .+")
                             << QByteArray() << -1;
    QTest::newRow("larger than the flash")
        << 524288 + 1 << QStringLiteral("^The firmware file is too large: 524289 bytes")
        << QByteArray() << -1;
    // Asked about, No by default.
    QTest::newRow("a ZIP archive")
        << 0
        << QStringLiteral("^The firmware file looks like a ZIP archive, not a firmware image\\. "
                          "Sending it may leave the accessory unable to start\\. Send it "
                          "anyway\\?$")
        << QByteArray("PK\x03\x04" + makeImage(4096)) << -1;
    QTest::newRow("low battery")
        << 4096
        << QStringLiteral("^The battery is at 24 % and the computer is not plugged in; if it "
                          "switches off during the update, the accessory may not start again\\. "
                          "Update anyway\\?$")
        << QByteArray() << 24;
}

void TestFirmware::refusesUnusableImage() {
    QFETCH(int, size);
    QFETCH(QString, expected);
    QFETCH(QByteArray, content);
    QFETCH(int, batteryPercent);
    if (batteryPercent >= 0 && !bus->problem().isEmpty())
        QSKIP(qPrintable(bus->problem()));
    bus->setPower(true, batteryPercent >= 0, batteryPercent >= 0, batteryPercent);
    const auto onMains = qScopeGuard([this] { bus->setPower(true, false, false, 100); });

    Session session;
    session.window->firmwarePath =
        size < 0 ? session.dir.filePath(QStringLiteral("gone.bin"))
                 : session.writeImage(content.isEmpty() ? makeImage(size) : content);
    const int recordReads = recordReadCount();
    session.run();

    QCOMPARE(session.answerer.count(), session.dialogsAtRun + 1);
    QCOMPARE(session.answerer.seen().last().title, QStringLiteral("Warning"));
    QVERIFY2(QRegularExpression(expected).match(session.lastText()).hasMatch(),
             qPrintable(session.lastText()));
    QVERIFY(!session.window->fwWorker->isRunning() && !session.window->fwWorker->isFinished());
    QCOMPARE(firmwareRequestCount(), 0);
    QCOMPARE(recordReadCount(), recordReads);
}

void TestFirmware::failedTransferNeverReportsSuccess_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expected");

    QTest::newRow("write of block 100 fails")
        << Fault::WriteFailure << 262144
        << QStringLiteral("^Firmware update failed: 1 of 512 blocks were not acknowledged by the "
                          "device\\. The first failure was at block 100 \\(write failed\\)\\.$");
    QTest::newRow("writes stall from block 100 on")
        << Fault::StalledWrites << 262144
        << QStringLiteral("^Firmware update failed: 412 of 512 blocks were not acknowledged by "
                          "the device\\. The device took none of the last 3 blocks, up to block "
                          "102, so the update was ended there\\.$");
    QTest::newRow("reply to block 100 lost")
        << Fault::ReadFailure << 262144
        << QStringLiteral("^Firmware update failed: 1 of 512 blocks were not acknowledged by the "
                          "device\\. The first failure was at block 100 \\(read failed\\)\\.$");
    // Unplugging may also be noticed as a removal, which stops the transfer.
    QTest::newRow("device unplugged")
        << Fault::Detach << 262144
        << QStringLiteral("^Firmware update (failed|stopped): \\d+ of 512 blocks were not");
    QTest::newRow("device stops answering")
        << Fault::ReplyTimeout << 524288
        << QStringLiteral("^Firmware update failed: \\d+ of 1024 blocks were not acknowledged by "
                          "the device\\. The device stopped answering at block \\d+\\.$");
    QTest::newRow("stop requested")
        << Fault::Interruption << 524288
        << QStringLiteral("^Firmware update stopped: \\d+ of 1024 blocks were not sent or not "
                          "acknowledged\\.$");
}

void TestFirmware::failedTransferNeverReportsSuccess() {
    QFETCH(Fault, fault);
    QFETCH(int, size);
    QFETCH(QString, expected);

    Session session;
    const QByteArray image = makeImage(size);
    const QString path = session.writeImage(image);
    session.load(path);
    if (fault == Fault::WriteFailure)
        emu::failWrites(kDevice, firmwareBlockAt(100));
    if (fault == Fault::ReadFailure)
        emu::failReads(kDevice, firmwareBlockAt(100));
    if (fault == Fault::StalledWrites) {
        const auto fromBlock100 = [](const std::vector<uint8_t> &request, int) {
            return firmwareBlockIndex(request) >= 100;
        };
        emu::stallWrites(kDevice, fromBlock100, 100);
    }
    if (fault == Fault::Detach)
        emu::detachAfterRequests(kDevice, 40);

    const bool midTransfer = fault == Fault::ReplyTimeout || fault == Fault::Interruption;
    if (midTransfer)
        emu::setReplyDelayMs(kDevice, 2); // about two seconds for the whole image
    session.run();
    if (midTransfer) {
        QVERIFY(session.waitForBlocks(50));
        if (fault == Fault::ReplyTimeout)
            emu::stopAnswering(kDevice, true);
        if (fault == Fault::Interruption)
            session.window->fwWorker->requestInterruption();
        emu::setReplyDelayMs(kDevice, 0);
    }
    QVERIFY(session.waitForEnd());

    QVERIFY(!session.answerer.sawText(kSuccessText));
    QVERIFY(!session.steps.contains(6));
    QVERIFY(!session.arrowLit(6));
    QCOMPARE(session.answerer.seen().last().title, QStringLiteral("Warning"));
    QVERIFY2(QRegularExpression(expected).match(session.lastText()).hasMatch(),
             qPrintable(session.lastText()));
    const WorkerThreadForFW::Result result = session.window->fwWorker->result();
    QCOMPARE(result.totalBlocks, (size + kBlock - 1) / kBlock);
    if (fault == Fault::WriteFailure) {
        // Every other block still arrived where it belongs.
        std::vector<uint8_t> expectedFlash = padded(image);
        std::fill_n(expectedFlash.begin() + 100 * kBlock, kBlock, 0xFF);
        QCOMPARE(emu::receivedFirmware(kDevice), expectedFlash);
    }
    if (fault == Fault::Interruption) // all blocks sent before the stop were acknowledged
        QCOMPARE(result.failedBlocks, result.totalBlocks - emu::receivedFirmwareBlocks(kDevice));
    if (fault == Fault::ReplyTimeout) // the transfer ended at the first silent block
        QVERIFY(firmwareRequestCount() <= emu::receivedFirmwareBlocks(kDevice) + 1);
}

void TestFirmware::fileVanishingBeforeTransferIsReported() {
    Session session;
    const QString path = session.writeImage(makeImage(3072));
    session.load(path);
    QVERIFY(QFile::remove(path));
    // As if it vanished between Run's check and the worker's start.
    session.finished = false;
    session.dialogsAtRun = session.answerer.count();
    session.window->fwWorker->start();
    QVERIFY(session.waitForEnd());

    QVERIFY2(session.lastText().startsWith(QStringLiteral("The firmware file cannot be read: ")),
             qPrintable(session.lastText()));
    QVERIFY(session.steps.isEmpty());
    QCOMPARE(firmwareRequestCount(), 0);
}

void TestFirmware::refusesLoadAndRunDuringTransfer() {
    Session session;
    const QByteArray image = makeImage(262144);
    const QString path = session.writeImage(image);
    const QString otherPath = session.writeImage(makeImage(1000));
    session.load(path);
    emu::setReplyDelayMs(kDevice, 2);
    session.run();
    QVERIFY(session.waitForBlocks(20));
    const int recordReads = recordReadCount();
    const int dialogsBefore = session.answerer.count();

    session.window->slotPushButtonRunUpdateFW();
    session.answerer.answerFileDialog(otherPath);
    session.window->slotPushButtonLoadFW();

    QVERIFY(session.window->fwWorker->isRunning());
    const QList<SeenDialog> refusals = session.answerer.seen().mid(dialogsBefore);
    QCOMPARE(refusals.size(), 2);
    for (const SeenDialog &refusal : refusals) {
        QCOMPARE(refusal.kind, QStringLiteral("message"));
        QVERIFY2(refusal.text.contains(QStringLiteral("busy")), qPrintable(refusal.text));
    }
    QCOMPARE(session.window->firmwarePath, path);
    QCOMPARE(recordReadCount(), recordReads); // not re-identified under the transfer

    emu::setReplyDelayMs(kDevice, 0);
    QVERIFY(session.waitForEnd());
    QVERIFY(session.answerer.sawText(kSuccessText));
    QCOMPARE(firmwareRequestCount(), 512); // sent once, never restarted
    QCOMPARE(emu::receivedFirmware(kDevice), padded(image));
}

void TestFirmware::cancellingDialogClearsChoice() {
    Session session;
    const QString path = session.writeImage(makeImage(1000));
    LogCapture log;
    session.load(path);
    QCOMPARE(session.window->firmwarePath, path);
    for (QPushButton *arrow : session.window->fwArrows)
        QCOMPARE(arrow->styleSheet(), QString::fromUtf8(styles::kArrowDim));
    QCOMPARE(session.answerer.seen().last().title, QStringLiteral("select bin file"));
    auto *runButton = qobject_cast<QPushButton *>(session.window->childAt(530, 565));
    QVERIFY(runButton);
    QCOMPARE(runButton->toolTip(), QStringLiteral("Run: image1.bin, 1000 bytes"));
    QVERIFY(log.contains(QStringLiteral("firmware file: image1.bin, 1000 bytes")));

    session.load(QString());
    QVERIFY(session.window->firmwarePath.isEmpty());
    QCOMPARE(runButton->toolTip(), QStringLiteral("Run"));
    session.run();
    QCOMPARE(session.lastText(), QStringLiteral("Please load firmware file first !"));
    QCOMPARE(session.answerer.seen().last().title, QStringLiteral("Warning"));
    QCOMPARE(firmwareRequestCount(), 0);
}

void TestFirmware::runWithoutDeviceWarns() {
    fixture::resetEmulation();
    Session session;
    session.load(session.writeImage(makeImage(1000)));
    session.run();
    QCOMPARE(session.lastText(), QStringLiteral("Not connected device!"));
    QCOMPARE(session.answerer.seen().last().title, QStringLiteral("Warning"));
    QVERIFY(!session.window->fwWorker->isRunning());
    QCOMPARE(firmwareRequestCount(), 0);
}

// An accessory that takes firmware blocks but answers no record read can be
// mended only by an update: Run asks (No by default), and after the update
// the version it could not read is said to be not read, never "unchanged".
void TestFirmware::halfUpdatedDeviceIsOfferedTheUpdate() {
    emu::leaveUnanswered(kDevice, emu::matchCommand(kRecordCommand, kRecordTarget));
    Session session;
    const QByteArray image = makeImage(3072);
    session.load(session.writeImage(image));
    session.run();
    QCOMPARE(session.answerer.count(), session.dialogsAtRun + 1);
    const SeenDialog question = session.answerer.seen().last();
    QCOMPARE(question.title, QStringLiteral("Warning"));
    QCOMPARE(question.text, QStringLiteral("The accessory does not answer its identification: its "
                                           "records could not be read. A firmware update may "
                                           "still repair it. Update it anyway?"));
    QCOMPARE(question.buttons.size(), 2);
    QCOMPARE(firmwareRequestCount(), 0); // the default answer is No

    LogCapture log;
    session.answerer.answerMessageBox(QMessageBox::Yes);
    session.run();
    QVERIFY(session.waitForEnd());
    QVERIFY(session.answerer.sawText(kSuccessText));
    QCOMPARE(emu::receivedFirmware(kDevice), padded(image));
    const QString note =
        QStringLiteral("Firmware update: version not read, the accessory does not answer");
    QVERIFY(log.contains(note));
    QVERIFY(session.window->btnVersion->toolTip().endsWith(note));
    QVERIFY(session.window->btnVersion->text().isEmpty());
}

void TestFirmware::restartedDeviceIsWaitedForAndNoOtherTaken_data() {
    QTest::addColumn<int>("absentMs");
    QTest::addColumn<QString>("note");
    QTest::addColumn<QString>("version");

    QTest::newRow("back under a new node")
        << 3000 << QStringLiteral("Firmware update: V1.2.0 emulated → V2.0.0 emulated")
        << QStringLiteral("V2.0.0 emulated");
    QTest::newRow("not back within the wait")
        << 60000
        << QStringLiteral("Firmware update: version not read, the accessory did not come back "
                          "after the update")
        << QString();
}

// The updated accessory restarts, vanishes and comes back under another node,
// while a second one (same identifiers, another serial number) stays attached
// and then comes first in the enumeration: the window waits without freezing and
// never shows the other one's version as the update's result.
void TestFirmware::restartedDeviceIsWaitedForAndNoOtherTaken() {
    QFETCH(int, absentMs);
    QFETCH(QString, note);
    QFETCH(QString, version);
    const std::string newNode = "/dev/hidraw-emulated5";
    emu::reset();
    emu::DeviceSpec updated;
    updated.path = kDevice;
    updated.serial = L"CV-0001";
    emu::attach(updated);
    emu::setRecordText(kDevice, "version", "V1.2.0 emulated");
    emu::setVersionAfterFirmware(kDevice, "V2.0.0 emulated");
    Session session;
    QCOMPARE(session.window->btnVersion->text(), QStringLiteral("V1.2.0 emulated"));
    emu::DeviceSpec other = updated;
    other.path = "/dev/hidraw-emulated3";
    other.serial = L"CV-0002";
    emu::attach(other);
    emu::setRecordText(other.path, "version", "V9.9.9 other unit");

    const QByteArray image = makeImage(3072);
    emu::restartAfterFirmware(kDevice, 6, newNode, absentMs);
    session.load(session.writeImage(image));
    LogCapture log;
    session.run();
    QVERIFY(session.waitForEnd());
    QVERIFY(session.answerer.sawText(kSuccessText));
    QVERIFY(!emu::isAttached(kDevice));
    // The window answers while it waits; device actions are refused meanwhile.
    session.run();
    QCOMPARE(session.lastText(), QStringLiteral("The accessory is restarting after the firmware "
                                                "update; please wait until it is back."));
    QVERIFY(fixture::waitUntil([&] { return log.contains(note); }, 20000));
    QVERIFY(session.window->btnVersion->toolTip().endsWith(note));
    QCOMPARE(session.window->btnVersion->text(), version);
    QVERIFY(!log.lines().filter(QStringLiteral("V9.9.9")).size());
    QCOMPARE(firmwareRequestCount(), 6);
    if (!version.isEmpty())
        QCOMPARE(QString::fromLatin1(session.window->devicePath), QString::fromStdString(newNode));
}

void TestFirmware::progressTipText_data() {
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("total");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("expected");

    const QString update = QStringLiteral("Updating firmware: ");
    QTest::newRow("nothing sent yet") << 0 << 1024 << qint64(2000) << update + "0 %";
    QTest::newRow("rate not measured yet") << 40 << 1024 << qint64(300) << update + "3 %";
    // 440 blocks in 9 s: 584 more at 48.9 blocks/s take 11.9 s.
    QTest::newRow("rate measured")
        << 440 << 1024 << qint64(9000) << update + "42 % — about 12 s left";
    QTest::newRow("last second") << 1020 << 1024 << qint64(20000)
                                 << update + "99 % — about 1 s left";
    QTest::newRow("minutes") << 10 << 1024 << qint64(5000) << update + "0 % — about 8 min left";
    QTest::newRow("done") << 1024 << 1024 << qint64(20000) << update + "100 %";
    QTest::newRow("counter ahead of total") << 2000 << 1024 << qint64(1000) << update + "100 %";
}

void TestFirmware::progressTipText() {
    QFETCH(int, done);
    QFETCH(int, total);
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, expected);
    QCOMPARE(
        ::progressTipText(QStringLiteral("Updating firmware"), BlockCount{done, total}, elapsedMs),
        expected);
}

void TestFirmware::progressTipsFollowTheTransfer() {
    emu::setVersionAfterFirmware(kDevice, "V2.0.0 emulated");
    Session session;
    const QByteArray image = makeImage(262144);
    session.load(session.writeImage(image));
    // The chosen image's checksum, to compare with the one its maker publishes.
    const QString rowTip = session.window->fwArrows[0]->toolTip();
    QCOMPARE(rowTip, QStringLiteral("Firmware update progress\nimage1.bin SHA-256: ") +
                         QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    emu::setReplyDelayMs(kDevice, 3);
    LogCapture log;
    session.run();
    const QRegularExpression reading(
        QStringLiteral("^Updating firmware: (\\d+) % — about \\d+ s left$"));
    QVERIFY(
        fixture::waitUntil([&] { return reading.match(session.window->toolTip()).hasMatch(); }));
    for (QPushButton *arrow : session.window->fwArrows)
        QVERIFY(reading.match(arrow->toolTip()).hasMatch());
    emu::setReplyDelayMs(kDevice, 0);
    QVERIFY(session.waitForEnd());
    QTRY_VERIFY(session.window->toolTip().isEmpty());
    for (QPushButton *arrow : session.window->fwArrows)
        QCOMPARE(arrow->toolTip(), rowTip);
    const QString changed = QStringLiteral("Firmware update: V1.2.0 emulated → V2.0.0 emulated");
    QVERIFY(log.contains(changed));
    QVERIFY2(session.window->btnVersion->toolTip().endsWith(changed),
             qPrintable(session.window->btnVersion->toolTip()));

    // The same version again: said so, in the log and on the version line.
    session.load(session.writeImage(makeImage(1000)));
    session.run();
    QVERIFY(session.waitForEnd());
    QVERIFY(log.contains(QStringLiteral("Firmware update: unchanged")));
    QVERIFY(session.window->btnVersion->toolTip().endsWith(
        QStringLiteral("Firmware update: unchanged")));
}

void TestFirmware::sleepIsBlockedForTheWholeJob_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("size");

    QTest::newRow("update succeeds") << Fault::None << 3072;
    QTest::newRow("a block is not taken") << Fault::WriteFailure << 3072;
    QTest::newRow("device unplugged") << Fault::Detach << 3072;
    QTest::newRow("stopped from the window") << Fault::Interruption << 262144;
    QTest::newRow("flash backup") << Fault::Backup << 0;
    QTest::newRow("logind refuses: the job goes on") << Fault::InhibitorRefused << 3072;
}

// Whatever ends the job, the inhibitor is held at every one of its blocks
// (so taken before the first) and released once the job is over.
void TestFirmware::sleepIsBlockedForTheWholeJob() {
    QFETCH(Fault, fault);
    QFETCH(int, size);
    if (!bus->problem().isEmpty())
        QSKIP(qPrintable(bus->problem()));
    bus->clearEvents();
    bus->setRefuseInhibit(fault == Fault::InhibitorRefused);
    Session session;
    QObject::connect(session.window->saveDataWorker, &QThread::finished, session.window.get(),
                     [&session] { session.finished = true; });
    std::atomic<int> jobBlocks{0}, unheldBlocks{0};
    const StandInBus *standIns = bus.get();
    emu::failWrites(kDevice, [&](const std::vector<uint8_t> &request, int) {
        const bool firmware = firmwareBlockIndex(request) >= 0;
        if (!firmware && !(request[3] == 1 && request[4] == 2)) // nor a flash read
            return false;
        ++jobBlocks;
        if (standIns->held() != 1)
            ++unheldBlocks;
        return fault == Fault::WriteFailure && firmwareBlockIndex(request) == 2;
    });
    const auto forgetMatcher = qScopeGuard([] { emu::clearFaults(); });
    if (fault == Fault::Detach)
        emu::detachAfterRequests(kDevice, 5); // the identification, then two blocks
    LogCapture log;
    if (fault == Fault::Backup) {
        QVERIFY(session.window->startFlashBackup(session.dir.filePath(QStringLiteral("f.bin"))));
    } else {
        session.load(session.writeImage(makeImage(size)));
        if (fault == Fault::Interruption)
            emu::setReplyDelayMs(kDevice, 2);
        session.run();
    }
    if (fault == Fault::Interruption) {
        QVERIFY(session.waitForBlocks(20));
        session.window->fwWorker->requestInterruption();
    }
    QVERIFY(fixture::waitUntil([&] { return session.finished; }));
    emu::setReplyDelayMs(kDevice, 0);

    QVERIFY(jobBlocks > 0);
    if (fault == Fault::InhibitorRefused) {
        QVERIFY(log.contains(QStringLiteral("Sleep and shutdown are not blocked "
                                            "(org.freedesktop.DBus.Error.AccessDenied: refused by "
                                            "the stand-in); the job goes on.")));
        QVERIFY(bus->events().isEmpty());
        QCOMPARE(emu::receivedFirmwareBlocks(kDevice), 6);
        return;
    }
    QCOMPARE(unheldBlocks.load(), 0);
    QTRY_COMPARE(bus->held(), 0);
    const QList<QJsonObject> events = bus->events();
    QCOMPARE(events.size(), 2);
    const QJsonObject taken = events.first();
    QCOMPARE(taken.value("what").toString(), QStringLiteral("sleep:shutdown"));
    QCOMPARE(taken.value("who").toString(), QStringLiteral("Corvane"));
    QCOMPARE(taken.value("why").toString(),
             fault == Fault::Backup ? QStringLiteral("Backing up the accessory's flash")
                                    : QStringLiteral("Updating the accessory's firmware"));
    QCOMPARE(taken.value("mode").toString(), QStringLiteral("block"));
    QCOMPARE(events.last().value("event").toString(), QStringLiteral("release"));
}

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
