// Replies that come late, short or not at all, against the real window: no
// exchange may take a reply queued before its request for its answer. Pairing
// is checked by the emulator's request numbers: after each fault, every
// request of the next job must have been answered by its own reply. A late
// reply either has arrived before the next job starts (the tests wait for the
// device to have sent it) or is made to arrive while the next job runs.
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include "device/DeviceChannel.h"
#include "device/DeviceReport.h"
#include "firmware/WorkerThreadForFW.h"
#include "readback/WorkerThreadForSaveData.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"

namespace {

const std::string &kDevice = fixture::kDevicePath;
constexpr int kLateMs = 300; // how far past the bound a late reply comes
// A reply delay that makes a backup take about two seconds, well past kLateMs.
constexpr int kSlowReplyMs = 2;

std::vector<uint8_t> recognisableFlash() {
    std::vector<uint8_t> flash(emu::kFlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = uint8_t(i * 7 + (i >> 9) * 13);
    return flash;
}

QByteArray asBytes(const std::vector<uint8_t> &bytes) {
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Numbers of the logged requests, from log entry `from` on, that were not
// answered by their own reply; `count` receives how many were checked.
QList<int> mispaired(std::size_t from, int *count) {
    const std::vector<emu::LoggedRequest> log = emu::requestLog();
    QList<int> wrong;
    *count = 0;
    for (std::size_t i = from; i < log.size(); ++i, ++*count) {
        if (log[i].answeredBy != log[i].index)
            wrong << log[i].index;
    }
    return wrong;
}

std::size_t logSize() {
    return emu::requestLog().size();
}

bool waitForLateReplies() {
    return fixture::waitUntil([] { return emu::repliesInFlight(kDevice) == 0; });
}

} // namespace

class TestLateReplies : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lateIdentificationReplyThenBackup();
    void lateReplyInTheMiddleOfABackup();
    void shortOrEmptyRepliesInABackup();
    void lateFirmwareAcknowledgement();
    void lateRecordWriteReply();
    void aJobForgivesOneLateReply();
    void slowFlashWritesAreSaved();
    void stopRequestEndsTheWaitForASilentDevice();
    void replyGivenUpAsLostIsNotTheNextAnswer();

private:
    // Runs a backup into a fresh file; returns its path.
    QString backUp();
    // Runs a backup and checks that it succeeded, byte for byte, with every
    // request from log entry `from` on answered by its own reply.
    void expectExactBackup(std::size_t from);
    void updateFirmware(const QByteArray &image);
    bool waitForJob(QThread *worker);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<DialogAnswerer> answerer_;
    std::unique_ptr<MainWindow> window_;
    int files_ = 0;
};

void TestLateReplies::init() {
    fixture::attachStandardDevice();
    emu::setFlash(kDevice, recognisableFlash());
    dir_ = std::make_unique<QTemporaryDir>();
    log_ = std::make_unique<LogCapture>(); // keeps the backups' debug lines quiet
    answerer_ = std::make_unique<DialogAnswerer>();
}

void TestLateReplies::cleanup() {
    window_.reset();
    answerer_.reset();
    log_.reset();
    QCOMPARE(emu::misuseCount(), 0);
    QCOMPARE(emu::protocolErrors(), 0);
}

bool TestLateReplies::waitForJob(QThread *worker) {
    const int dialogs = answerer_->count();
    return fixture::waitUntil([&] { return worker->isFinished(); }) &&
           fixture::waitUntil([&] { return answerer_->count() > dialogs; });
}

QString TestLateReplies::backUp() {
    const QString path = dir_->filePath(QStringLiteral("flash%1.bin").arg(++files_));
    if (!window_->startFlashBackup(path) || !waitForJob(window_->saveDataWorker))
        return QString();
    return path;
}

void TestLateReplies::expectExactBackup(std::size_t from) {
    const QString path = backUp();
    QCOMPARE(answerer_->texts(), QStringList{QStringLiteral("Save data successfully!")});
    QCOMPARE(readFile(path), asBytes(recognisableFlash()));
    int checked = 0;
    QCOMPARE(mispaired(from, &checked), QList<int>{});
    QVERIFY(checked >= kFlashBlockCount);
}

void TestLateReplies::updateFirmware(const QByteArray &image) {
    const QString path = dir_->filePath(QStringLiteral("image%1.bin").arg(++files_));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();
    window_->firmwarePath = path;
    window_->slotPushButtonRunUpdateFW();
    QVERIFY(waitForJob(window_->fwWorker));
}

void TestLateReplies::lateIdentificationReplyThenBackup() {
    emu::answerLate(kDevice, 0, kInteractiveReplyMs + kLateMs); // the "version" read
    window_ = fixture::makeWindow();
    emu::setReplyDelayMs(kDevice, kSlowReplyMs); // the late reply comes during the backup
    expectExactBackup(logSize());
}

void TestLateReplies::lateReplyInTheMiddleOfABackup() {
    window_ = fixture::makeWindow();
    // Later than the one second wait a backup grants too.
    emu::answerLate(kDevice, emu::requestCount(kDevice) + 300,
                    kFlashReadReplyMs + kSecondReplyWaitMs + kLateMs);
    const QString failed = backUp();
    QVERIFY2(answerer_->texts().value(0).startsWith(QStringLiteral("Flash backup failed")),
             qPrintable(answerer_->texts().join('\n')));
    QVERIFY(!QFile::exists(failed));

    answerer_->clear();
    QVERIFY(waitForLateReplies());
    expectExactBackup(logSize());
}

// A reply too short to hold a block fails that block; a read that returns 0
// before the reply is not taken for an answer.
void TestLateReplies::shortOrEmptyRepliesInABackup() {
    window_ = fixture::makeWindow();
    const int block700 = emu::requestCount(kDevice) + 700;
    emu::shortReplies(kDevice, emu::matchIndex(block700), 525);
    emu::zeroReads(kDevice, emu::matchAll());
    const QString failed = backUp();
    QCOMPARE(answerer_->texts(),
             QStringList{QStringLiteral("Flash backup failed: 1 of 1024 blocks could not be read; "
                                        "no backup file was written.")});
    QVERIFY(!QFile::exists(failed));

    answerer_->clear();
    emu::shortReplies(kDevice, nullptr, 0);
    expectExactBackup(logSize());
}

void TestLateReplies::lateFirmwareAcknowledgement() {
    window_ = fixture::makeWindow();
    QByteArray image(64 * 512, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 5 + i / 512);
    // Run identifies the device first (three record reads), then block 20.
    emu::answerLate(kDevice, emu::requestCount(kDevice) + 3 + 20,
                    kFirmwareBlockReplyMs + kSecondReplyWaitMs + kLateMs);
    updateFirmware(image);
    QVERIFY2(answerer_->texts().value(0).startsWith(QStringLiteral("Firmware update failed")),
             qPrintable(answerer_->texts().join('\n')));

    answerer_->clear();
    QVERIFY(waitForLateReplies());
    const std::size_t from = logSize();
    updateFirmware(image);
    QVERIFY(answerer_->sawText(QStringLiteral("Download firmware successfully!")));
    int checked = 0;
    QCOMPARE(mispaired(from, &checked), QList<int>{});
    QVERIFY(checked >= 64);
}

void TestLateReplies::lateRecordWriteReply() {
    window_ = fixture::makeWindow();
    window_->editPsnId->setText(QStringLiteral("FIRSTID1"));
    // Later than the rp.psnid write's own wait and the rp.pin write's wait for
    // it together: it arrives when no exchange expects it any more.
    emu::answerLate(kDevice, emu::requestCount(kDevice), 2 * kRecordWriteReplyMs + kLateMs);
    window_->slotPushButtonRunSaveData();
    QVERIFY(!answerer_->sawText(QStringLiteral("Save data successfully!")));

    answerer_->clear();
    QVERIFY(waitForLateReplies());
    window_->editPsnId->setText(QStringLiteral("SECONDID"));
    const std::size_t from = logSize();
    window_->slotPushButtonRunSaveData();
    QCOMPARE(answerer_->texts(), QStringList{QStringLiteral("Save data successfully!")});
    QCOMPARE(asBytes(emu::record(kDevice, "rp.psnid")), QByteArray("SECONDID"));
    int checked = 0;
    QCOMPARE(mispaired(from, &checked), QList<int>{});
    QVERIFY(checked >= 2);
}

// One reply past its bound is waited for once more, in a firmware transfer as
// in a backup; a second one ends the transfer there.
void TestLateReplies::aJobForgivesOneLateReply() {
    window_ = fixture::makeWindow();
    QByteArray image(64 * 512, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 3 + i / 512);
    const int firstBlock = emu::requestCount(kDevice) + 3; // after Run's identification
    emu::answerLate(kDevice, firstBlock + 10, kFirmwareBlockReplyMs + kLateMs);
    std::size_t from = logSize();
    updateFirmware(image);
    QCOMPARE(answerer_->texts(), QStringList{QStringLiteral("Download firmware successfully!")});
    int checked = 0;
    QCOMPARE(mispaired(from, &checked), QList<int>{});

    answerer_->clear();
    const int secondRun = emu::requestCount(kDevice) + 3;
    emu::answerLate(kDevice, secondRun + 10, kFirmwareBlockReplyMs + kLateMs);
    emu::answerLate(kDevice, secondRun + 20, kFirmwareBlockReplyMs + kLateMs);
    updateFirmware(image);
    QCOMPARE(answerer_->texts().value(0),
             QStringLiteral("Firmware update failed: 44 of 64 blocks were not acknowledged by the "
                            "device. The device stopped answering at block 20."));

    answerer_->clear();
    QVERIFY(waitForLateReplies());
    emu::answerLate(kDevice, emu::requestCount(kDevice) + 500, kFlashReadReplyMs + kLateMs);
    expectExactBackup(logSize());
}

// A record write is a flash write on the device and may take as long as a
// firmware block's.
void TestLateReplies::slowFlashWritesAreSaved() {
    window_ = fixture::makeWindow();
    window_->editPsnId->setText(QStringLiteral("SLOWFLASH1"));
    emu::setFlashWriteDelayMs(kDevice, kInteractiveReplyMs + kLateMs);
    const std::size_t from = logSize();
    window_->slotPushButtonRunSaveData();
    QCOMPARE(answerer_->texts(), QStringList{QStringLiteral("Save data successfully!")});
    QCOMPARE(asBytes(emu::record(kDevice, "rp.psnid")), QByteArray("SLOWFLASH1"));
    int checked = 0;
    QCOMPARE(mispaired(from, &checked), QList<int>{});
    QCOMPARE(checked, 2);
}

// Were the wait not taken in slices, it would run out its bound and the
// backup would end as failed by a silent device instead of as stopped.
void TestLateReplies::stopRequestEndsTheWaitForASilentDevice() {
    window_ = fixture::makeWindow();
    emu::stopAnswering(kDevice, true);
    const int firstBlock = emu::requestCount(kDevice);
    QVERIFY(window_->startFlashBackup(dir_->filePath(QStringLiteral("flash.bin"))));
    QVERIFY(fixture::waitUntil([&] { return emu::requestCount(kDevice) > firstBlock; }));
    window_->saveDataWorker->requestInterruption();
    QVERIFY(waitForJob(window_->saveDataWorker));
    QCOMPARE(window_->saveDataWorker->result().outcome, WorkerThreadForSaveData::Outcome::Stopped);
}

// A reply later than its own wait and the next request's wait for it lies
// queued with nothing owed any more: the request after is not answered by it.
void TestLateReplies::replyGivenUpAsLostIsNotTheNextAnswer() {
    hid_device *handle = hid_open_path(kDevice.c_str());
    QVERIFY(handle);
    DeviceChannel channel(handle);
    const std::size_t from = logSize();
    emu::answerLate(kDevice, emu::requestCount(kDevice), 2 * kInteractiveReplyMs + kLateMs);
    const DeviceReport version = report::recordRead(0x2203, "version");
    DeviceReport reply;
    QCOMPARE(channel.exchange(version, &reply, ReplyWait::Interactive), ExchangeResult::Timeout);
    QCOMPARE(channel.exchange(version, &reply, ReplyWait::Interactive), ExchangeResult::Ok);
    QVERIFY(waitForLateReplies());
    QCOMPARE(channel.exchange(version, &reply, ReplyWait::Interactive), ExchangeResult::Ok);
    channel.close();
    int checked = 0;
    QCOMPARE(mispaired(from + 1, &checked), QList<int>{});
    QCOMPARE(checked, 2);
}

QTEST_MAIN(TestLateReplies)
#include "test_late_replies.moc"
