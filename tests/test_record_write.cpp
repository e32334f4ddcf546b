#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "device/DeviceLock.h"
#include "readback/WorkerThreadForSaveData.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"
#include "ui/StyleSheets.h"

namespace {

constexpr int kRecordWrite = 0;
constexpr int kRecordTarget = 3;
const char *const kSuccess = "Save data successfully!";
const char *const kStepLine = "Enter slotShowRunUpdateSaveDataProcess step:";

std::vector<std::vector<uint8_t>> recordWrites() {
    return fixture::requestsOfKind(kRecordWrite, kRecordTarget);
}

std::string storedText(const char *name) {
    const std::vector<uint8_t> value = emu::record(fixture::kDevicePath, name);
    return std::string(value.begin(), value.end());
}

emu::RequestMatcher writeOf(const char *name) {
    const std::string wanted(name);
    return [wanted](const std::vector<uint8_t> &request, int) {
        return request.size() > 27 && request[3] == kRecordWrite && request[4] == kRecordTarget &&
               std::memcmp(request.data() + 11, wanted.c_str(), wanted.size() + 1) == 0;
    };
}

QByteArray bytesAt(const std::vector<uint8_t> &request, int offset, int length) {
    return QByteArray(reinterpret_cast<const char *>(request.data()) + offset, length);
}

} // namespace

class TestRecordWrite : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void requestsCarryBothRecords();
    void emptyPinIsAnEmptyRecord();
    void bothAcknowledgedLightsAllArrows();
    void failedRecordIsNamed_data();
    void failedRecordIsNamed();
    void withoutDeviceNothingIsSent();
    void overlongValueIsRefused_data();
    void overlongValueIsRefused();
    void saveIsRefusedWhileBackupRuns();
    void anotherProgramsLockRefusesDeviceActions();
    void fieldsSurviveAFailedIdentificationBeforeSave();
    void deviceNodeLockIsMetWhateverTheRuntimeFolder();
    void lockThatCannotBeTakenKeepsTheWindowOff();
    void lockFilesLiveInAPrivateFolderOnly();

private:
    void save();
    QList<int> litArrows() const;

    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<DialogAnswerer> answerer_;
    std::unique_ptr<LogCapture> log_;
};

void TestRecordWrite::init() {
    fixture::attachStandardDevice();
    window_ = fixture::makeWindow();
    answerer_ = std::make_unique<DialogAnswerer>();
    emu::clearRequestLog();
}

void TestRecordWrite::cleanup() {
    log_.reset();
    answerer_.reset();
    window_.reset();
    QCOMPARE(emu::misuseCount(), 0);
}

void TestRecordWrite::save() {
    log_ = std::make_unique<LogCapture>();
    window_->slotPushButtonRunSaveData();
}

QList<int> TestRecordWrite::litArrows() const {
    QList<int> lit;
    for (int step = 1; step <= 6; ++step) {
        if (window_->saveArrows[step - 1]->styleSheet() == QString::fromUtf8(styles::kArrowLit))
            lit << step;
    }
    return lit;
}

void TestRecordWrite::requestsCarryBothRecords() {
    window_->editPsnId->setText("ABCDEFGHIJKLMNOP");
    window_->editPin->setText(QString::fromUtf8("12\u20ac4"));
    save();
    const auto writes = recordWrites();
    QCOMPARE(writes.size(), size_t(2));

    const std::vector<uint8_t> &id = writes[0];
    QCOMPARE(bytesAt(id, 3, 8), QByteArray("\x00\x03\x24\x00\x03\x22\x10\x00", 8));
    QCOMPARE(bytesAt(id, 11, 16), QByteArray("rp.psnid\0\0\0\0\0\0\0\0", 16));
    QCOMPARE(bytesAt(id, 27, 17), QByteArray("ABCDEFGHIJKLMNOP\0", 17));

    const std::vector<uint8_t> &pin = writes[1];
    QCOMPARE(bytesAt(pin, 3, 8), QByteArray("\x00\x03\x18\x00\x03\x22\x04\x00", 8));
    QCOMPARE(bytesAt(pin, 11, 16), QByteArray("rp.pin\0\0\0\0\0\0\0\0\0\0", 16));
    QCOMPARE(bytesAt(pin, 27, 5), QByteArray("12?4\0", 5));

    QCOMPARE(storedText("rp.psnid"), std::string("ABCDEFGHIJKLMNOP"));
    QCOMPARE(storedText("rp.pin"), std::string("12?4"));
}

void TestRecordWrite::emptyPinIsAnEmptyRecord() {
    // An empty field would erase the stored record: Save asks first, and the
    // default answer (No) sends nothing at all.
    window_->editPin->clear();
    save();
    QVERIFY(emu::requestLog().empty());
    QCOMPARE(answerer_->count(), 1);
    const SeenDialog question = answerer_->seen().at(0);
    QCOMPARE(question.title, QStringLiteral("Warning"));
    QCOMPARE(question.text, QStringLiteral("Save would clear the PIN (rp.pin) stored in the "
                                           "device, because the field is empty. Clear it?"));
    QCOMPARE(question.buttons.size(), 2);
    QCOMPARE(storedText("rp.pin"), std::string("12345678"));

    window_->editPsnId->clear();
    save();
    QVERIFY(emu::requestLog().empty());
    QVERIFY(answerer_->seen().at(1).text.startsWith(
        "Save would clear the account ID (rp.psnid) and the PIN (rp.pin) stored"));

    // Yes keeps a deliberate clear possible.
    window_->editPsnId->setText("AQIDBAUGBwg=");
    answerer_->clear();
    answerer_->answerMessageBox(QMessageBox::Yes);
    save();
    const auto writes = recordWrites();
    QCOMPARE(writes.size(), size_t(2));
    QCOMPARE(bytesAt(writes[1], 5, 2), QByteArray("\x14\x00", 2));
    QCOMPARE(bytesAt(writes[1], 9, 2), QByteArray("\x00\x00", 2));
    QVERIFY(emu::hasRecord(fixture::kDevicePath, "rp.pin"));
    QCOMPARE(storedText("rp.pin"), std::string());
    QCOMPARE(answerer_->count(), 2);
    QCOMPARE(answerer_->texts().at(1), QString(kSuccess));
}

void TestRecordWrite::bothAcknowledgedLightsAllArrows() {
    save();
    QCOMPARE(litArrows(), (QList<int>{1, 2, 3, 4, 5, 6}));
    QCOMPARE(log_->count("write ok:"), 2);
    QStringList steps = log_->lines().filter(kStepLine);
    QCOMPARE(steps.size(), 6);
    QCOMPARE(steps.first(), QString(kStepLine) + "1");
    QCOMPARE(steps.last(), QString(kStepLine) + "6");
    QCOMPARE(answerer_->count(), 1);
    QCOMPARE(answerer_->seen().at(0).title, QStringLiteral("Success"));
    QCOMPARE(answerer_->seen().at(0).text, QString(kSuccess));

    // The arrows only go from unlit to lit: a second Save leaves all six lit,
    // and its failed record is told by the warning box.
    emu::failWrites(fixture::kDevicePath, writeOf("rp.psnid"));
    save();
    QCOMPARE(litArrows(), (QList<int>{1, 2, 3, 4, 5, 6}));
    QCOMPARE(answerer_->seen().last().title, QStringLiteral("Warning"));
    QVERIFY(answerer_->seen().last().text.startsWith("The account ID (rp.psnid) was not saved"));
}

void TestRecordWrite::failedRecordIsNamed_data() {
    QTest::addColumn<QString>("record");  // "both": every record write fails
    QTest::addColumn<bool>("replyFails"); // else the write itself fails
    QTest::addColumn<QList<int>>("lit");
    QTest::addColumn<int>("writeOks");
    QTest::addColumn<QString>("warning");
    const QString idNotSent = QStringLiteral(
        "The account ID (rp.psnid) was not saved: it could not be sent to the device.");
    const QString pinNotAcknowledged =
        QStringLiteral("The PIN (rp.pin) was not saved: the device did not acknowledge it.");
    QTest::newRow("rp.psnid write") << "rp.psnid" << false << QList<int>{4, 5, 6} << 1 << idNotSent;
    QTest::newRow("rp.pin write")
        << "rp.pin" << false << QList<int>{1, 2, 3} << 1
        << "The PIN (rp.pin) was not saved: it could not be sent to the device.";
    QTest::newRow("rp.psnid reply")
        << "rp.psnid" << true << QList<int>{4, 5, 6} << 2
        << "The account ID (rp.psnid) was not saved: the device did not acknowledge it.";
    QTest::newRow("rp.pin reply") << "rp.pin" << true << QList<int>{1, 2, 3} << 2
                                  << pinNotAcknowledged;
    QTest::newRow("both writes") << "both" << false << QList<int>{} << 0
                                 << idNotSent + "\nThe PIN (rp.pin) was not saved: it could not be "
                                                "sent to the device.";
}

void TestRecordWrite::failedRecordIsNamed() {
    QFETCH(QString, record);
    QFETCH(bool, replyFails);
    QFETCH(QList<int>, lit);
    QFETCH(int, writeOks);
    QFETCH(QString, warning);
    const QByteArray name = record.toLatin1();
    emu::RequestMatcher matcher = record == "both" ? emu::matchCommand(kRecordWrite, kRecordTarget)
                                                   : writeOf(name.constData());
    if (replyFails)
        emu::failReads(fixture::kDevicePath, matcher);
    else
        emu::failWrites(fixture::kDevicePath, matcher);
    save();
    // A failed write never reaches the device; a failed reply follows a received one.
    QCOMPARE(recordWrites().size(), size_t(writeOks));
    QCOMPARE(litArrows(), lit);
    QCOMPARE(log_->count("write ok:"), writeOks);
    QCOMPARE(log_->lines().filter(kStepLine).size(), lit.size());
    QCOMPARE(answerer_->count(), 1);
    QCOMPARE(answerer_->seen().at(0).title, QStringLiteral("Warning"));
    QCOMPARE(answerer_->seen().at(0).text, warning);
    emu::clearFaults();
}

void TestRecordWrite::withoutDeviceNothingIsSent() {
    window_.reset();
    fixture::resetEmulation();
    window_ = fixture::makeWindow();
    QVERIFY(!window_->hidHandle);
    window_->editPsnId->setText("AQAAAAAAAAA=");
    save();
    QCOMPARE(answerer_->texts(), QStringList{"Not connected device!"});
    QCOMPARE(answerer_->seen().at(0).title, QStringLiteral("Warning"));
    QVERIFY(emu::requestLog().empty());
    QVERIFY(log_->lines().filter(kStepLine).isEmpty());
}

void TestRecordWrite::overlongValueIsRefused_data() {
    QTest::addColumn<int>("idLength");
    QTest::addColumn<int>("pinLength");
    QTest::addColumn<QString>("refusal"); // empty: sent
    QTest::newRow("ID of 998")
        << 998 << 4 << "The account ID is too long for the device (at most 997 characters).";
    QTest::newRow("PIN of 998") << 12 << 998
                                << "The PIN is too long for the device (at most 997 characters).";
    QTest::newRow("997 fits") << 997 << 997 << QString();
}

void TestRecordWrite::overlongValueIsRefused() {
    QFETCH(int, idLength);
    QFETCH(int, pinLength);
    QFETCH(QString, refusal);
    window_->editPsnId->setText(QString(idLength, 'i'));
    window_->editPin->setText(QString(pinLength, 'p'));
    save();
    if (refusal.isEmpty()) {
        QCOMPARE(recordWrites().size(), size_t(2));
        QCOMPARE(bytesAt(recordWrites()[0], 5, 2), QByteArray("\xF9\x03", 2)); // 20 + 997
        QCOMPARE(storedText("rp.pin"), std::string(997, 'p'));
        QCOMPARE(answerer_->texts(), QStringList{kSuccess});
    } else {
        QVERIFY(emu::requestLog().empty());
        QCOMPARE(answerer_->texts(), QStringList{refusal});
        QVERIFY(litArrows().isEmpty());
    }
}

void TestRecordWrite::saveIsRefusedWhileBackupRuns() {
    QTemporaryDir dir;
    emu::setReplyDelayMs(fixture::kDevicePath, 20);
    QVERIFY(window_->startFlashBackup(dir.filePath("flash.bin")));
    QVERIFY(window_->deviceJobRunning());
    save();
    window_->saveDataWorker->requestInterruption();
    QVERIFY(fixture::waitUntil([this] { return !window_->deviceJobRunning(); }));
    emu::setReplyDelayMs(fixture::kDevicePath, 0);
    QVERIFY(recordWrites().empty());
    QVERIFY(!answerer_->texts().isEmpty());
    QVERIFY(answerer_->texts().first().startsWith("The device is busy"));
    QVERIFY(!answerer_->texts().contains(kSuccess));
    QCOMPARE(storedText("rp.psnid"), std::string("AQIDBAUGBwg="));
}

// A lock held elsewhere (here by a second lock object, as another program's
// would be) keeps the window off the accessory, naming who holds it; once it is gone the window's
// own use takes and gives the lock back.
void TestRecordWrite::anotherProgramsLockRefusesDeviceActions() {
    const QString path = QString::fromStdString(fixture::kDevicePath);
    const QString kBusy = fixture::busyText();
    QTemporaryDir dir;
    auto other = std::make_unique<DeviceLock>();
    QCOMPARE(other->acquire(path), DeviceLock::Result::Acquired);
    save();
    QVERIFY(!window_->startFlashBackup(dir.filePath("flash.bin")));
    window_->openDevice();
    QCOMPARE(answerer_->count(), 3);
    for (const SeenDialog &dialog : answerer_->seen()) {
        QCOMPARE(dialog.title, QStringLiteral("Warning"));
        QVERIFY2(dialog.text.startsWith(kBusy), qPrintable(dialog.text));
    }
    QVERIFY(emu::requestLog().empty());
    QVERIFY(!QFile::exists(dir.filePath("flash.bin")));

    other.reset();
    answerer_->clear();
    // The refused identification left the fields empty; Save would ask first.
    window_->editPsnId->setText(QStringLiteral("AQIDBAUGBwg="));
    window_->editPin->setText(QStringLiteral("1234"));
    save();
    QVERIFY(answerer_->sawText(kSuccess));
    QCOMPARE(DeviceLock().acquire(path), DeviceLock::Result::Acquired);
}

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QString &value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        set(value);
    }
    ~ScopedEnv() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }
    void set(const QString &value) {
        if (value.isNull())
            qunsetenv(name_);
        else
            qputenv(name_, QFile::encodeName(value));
    }

private:
    const char *name_;
    bool had_;
    QByteArray old_;
};

// A real accessory is locked on its device node: a process with another
// runtime folder (sudo has none, or root's) meets the same lock, and no lock
// file is left anywhere.
void TestRecordWrite::deviceNodeLockIsMetWhateverTheRuntimeFolder() {
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    // A node of this test's own (the null device), so that parallel runs do
    // not meet each other's lock.
    const QString node = dir.filePath("hidraw0");
    if (::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        QSKIP("needs a device node of its own (mknod as root)");
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.filePath("user"));
    DeviceLock window;
    QCOMPARE(window.acquire(node), DeviceLock::Result::Acquired);
    runtime.set(dir.filePath("root"));
    QCOMPARE(DeviceLock().acquire(node), DeviceLock::Result::Busy);
    runtime.set(QString());
    QCOMPARE(DeviceLock().acquire(node), DeviceLock::Result::Busy);
    window.release();
    QCOMPARE(DeviceLock().acquire(node), DeviceLock::Result::Acquired);
    QCOMPARE(QDir(dir.filePath("user/corvane")).entryList(QDir::Files), QStringList());
#else
    QSKIP("device nodes are locked on POSIX systems");
#endif
}

// A lock file that cannot be opened (a leftover of another user, here a
// folder in its place) means the job does not go ahead, and the user is told.
void TestRecordWrite::lockThatCannotBeTakenKeepsTheWindowOff() {
    QTemporaryDir dir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.filePath("runtime"));
    const QString device = QString::fromStdString(fixture::kDevicePath);
    QString error;
    const QString path = DeviceLock::lockFilePath(device, &error);
    QVERIFY2(path.startsWith(dir.filePath("runtime/corvane/")), qPrintable(path + error));
    QVERIFY(QDir().mkpath(path));
    DeviceLock lock;
    QCOMPARE(lock.acquire(device), DeviceLock::Result::Failed);
    QVERIFY2(lock.errorString().contains(path), qPrintable(lock.errorString()));
    save();
    QVERIFY(recordWrites().empty());
    QCOMPARE(answerer_->count(), 1);
    QVERIFY2(answerer_->texts().at(0).startsWith(
                 "The accessory was left alone: the accessory's lock could not be taken: "),
             qPrintable(answerer_->texts().at(0)));
    QVERIFY(!answerer_->sawText(kSuccess));
}

// Lock files never land in the working directory or in a folder someone else
// can write: a relative runtime folder, a shared one, and a temporary-folder
// candidate that another user (or a link) took first are all passed over.
void TestRecordWrite::lockFilesLiveInAPrivateFolderOnly() {
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("tmp")));
    QVERIFY(QDir().mkpath(dir.filePath("home")));
    ScopedEnv temp("TMPDIR", dir.filePath("tmp"));
    ScopedEnv home("HOME", dir.filePath("home"));
    ScopedEnv runtime("XDG_RUNTIME_DIR", QStringLiteral("runtime"));
    const QString device = QString::fromStdString(fixture::kDevicePath);
    const QString inTemp = dir.filePath(QStringLiteral("tmp/corvane-%1").arg(::geteuid()));
    const auto folderOfLock = [&] {
        QString error;
        const QString path = DeviceLock::lockFilePath(device, &error);
        return path.isEmpty() ? error : QFileInfo(path).path();
    };
    QCOMPARE(folderOfLock(), inTemp);
    QVERIFY(!QFile::exists(dir.filePath("home/.cache"))); // made only when used
    QCOMPARE(QFileInfo(inTemp).permissions() & 0x7077,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(!QFile::exists(QDir::current().filePath("runtime")));

    QVERIFY(QDir().mkpath(dir.filePath("shared")));
    QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFile::Permissions(0x7777)));
    runtime.set(dir.filePath("shared"));
    QCOMPARE(folderOfLock(), inTemp);

    QVERIFY(QFile::setPermissions(inTemp, QFile::Permissions(0x7777)));
    QCOMPARE(folderOfLock(), dir.filePath("home/.cache/corvane-locks"));
    QVERIFY(QDir(inTemp).removeRecursively());
    QVERIFY(QFile::link(dir.filePath("home/.cache/corvane-locks"), inTemp));
    QCOMPARE(folderOfLock(), dir.filePath("home/.cache/corvane-locks"));
    QCOMPARE(DeviceLock().acquire(device), DeviceLock::Result::Acquired);
#else
    QSKIP("folder ownership is checked on POSIX systems");
#endif
}

// An accessory whose records were not read is identified afresh by Save; when
// that fails, or another program holds the accessory, the values the user
// gave (a pasted ID, a PIN) are back in their fields and nothing is written.
void TestRecordWrite::fieldsSurviveAFailedIdentificationBeforeSave() {
    const QString path = QString::fromStdString(fixture::kDevicePath);
    emu::leaveUnanswered(fixture::kDevicePath, emu::matchCommand(1, kRecordTarget));
    window_->openDevice();
    QVERIFY(window_->editPsnId->text().isEmpty());
    const QString pasted = QStringLiteral("UEFTVEVESUQ=");
    const QString pin = QStringLiteral("24680");
    window_->editPsnId->setText(pasted);
    window_->editPin->setText(pin);
    save();
    QCOMPARE(answerer_->count(), 1);
    QVERIFY2(answerer_->texts().value(0).startsWith("The accessory does not answer"),
             qPrintable(answerer_->texts().value(0)));
    QCOMPARE(window_->editPsnId->text(), pasted);
    QCOMPARE(window_->editPin->text(), pin);

    emu::clearFaults();
    DeviceLock other;
    QCOMPARE(other.acquire(path), DeviceLock::Result::Acquired);
    save();
    QCOMPARE(answerer_->count(), 2);
    QVERIFY2(answerer_->texts().value(1).startsWith(fixture::busyText()),
             qPrintable(answerer_->texts().value(1)));
    QCOMPARE(window_->editPsnId->text(), pasted);
    QCOMPARE(window_->editPin->text(), pin);
    QVERIFY(recordWrites().empty());
}

QTEST_MAIN(TestRecordWrite)
#include "test_record_write.moc"
