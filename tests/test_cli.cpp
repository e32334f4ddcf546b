// corvane-cli as a user or a script meets it: the emulated twin run as a
// separate process, its output read through pipes.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "support/StandInBus.h"
#include "support/TokenServerScript.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString kDemoPath = QStringLiteral("/dev/hidraw-emulated0");
const QString kSecondPath = QStringLiteral("/dev/hidraw-emulated1");
const QString kRedirect =
    QStringLiteral("https://redirect.example.net/remoteplay/redirect?code=abc");
constexpr int kFlashSize = 512 * 1024;

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QStringList outLines() const { return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts); }
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

// The flash the demo accessory starts with.
QByteArray demoFlash() {
    QByteArray flash(kFlashSize, '\0');
    for (int i = 0; i < kFlashSize; ++i)
        flash[i] = char((i * 7 + i / 512) & 0xFF);
    return flash;
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray pattern(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + i / 700) & 0xFF);
    return bytes;
}

// A pseudo-terminal whose far end is given to the program as its standard
// input, so that it sees a terminal; what it echoes is read from this end.
struct Terminal {
    int master = -1;
    QString slave;
    Terminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        slave = QString::fromLocal8Bit(ptsname(master));
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Terminal() {
        if (master >= 0)
            ::close(master);
    }
    bool type(const QByteArray &text) const {
        return ::write(master, text.constData(), size_t(text.size())) == text.size();
    }
    QByteArray echoed() const {
        QByteArray all;
        char buffer[256];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            all.append(buffer, int(n));
        return all;
    }
    bool echoOn() const {
        const int fd = ::open(slave.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY);
        termios settings{};
        const bool read = fd >= 0 && tcgetattr(fd, &settings) == 0;
        if (fd >= 0)
            ::close(fd);
        return read && (settings.c_lflag & ECHO);
    }
};

// Collects a running program's standard error until it holds `text` (times
// `count`) or the program ends.
bool waitForError(QProcess *process, QByteArray &err, const QByteArray &text, int count = 1,
                  int timeoutMs = 30000) {
    if (process->state() == QProcess::Starting && !process->waitForStarted(10000))
        return false;
    const bool ended = !QTest::qWaitFor(
        [&] {
            err += process->readAllStandardError();
            return err.count(text) >= count || process->state() != QProcess::Running;
        },
        timeoutMs);
    Q_UNUSED(ended);
    err += process->readAllStandardError();
    return err.count(text) >= count;
}

void interrupt(QProcess *process) {
    ::kill(pid_t(process->processId()), SIGINT);
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    // Before any run: every corvane-cli started meets the stand-ins' bus.
    void initTestCase() { bus_ = std::make_unique<StandInBus>(); }
    void cleanupTestCase() { bus_.reset(); }
    void init();
    void cleanup();

    void listAndInfo_data();
    void listAndInfo();
    void jsonParses_data();
    void jsonParses();
    void setWritesOnlyWhatItMay_data();
    void setWritesOnlyWhatItMay();
    void flashSendsTheImageAndIdentifiesAgain();
    void flashRefusesOrReportsFailure_data();
    void flashRefusesOrReportsFailure();
    void flashChecksThePowerSupply_data();
    void flashChecksThePowerSupply();
    void flashAfterwardsFindsOnlyTheSameAccessory_data();
    void flashAfterwardsFindsOnlyTheSameAccessory();
    void backupIsByteExactPrivateAndAllOrNothing();
    void secondProcessIsToldTheAccessoryIsBusy();
    void resolveUsesTheSharedResolver();
    void valuesComeFromStandardInput();
    void terminalPromptsHideSecretsAndSurviveCtrlC();
    void deviceTextCannotSteerTheTerminal();
    void flashStopsOnlyOnASecondCtrlCWithinThreeSeconds();
    void backupStopsAtCtrlCWith130();
    void usage_data();
    void usage();
    void recordedSessionReplaysToTheSameOutcome_data();
    void recordedSessionReplaysToTheSameOutcome();
    void maskedRecordingHoldsNoAccountIdOrPin();
    void replayNamesWhatTheRecordingDoesNotHold_data();
    void replayNamesWhatTheRecordingDoesNotHold();

private:
    // The command run while recording and then replayed: what the user sees.
    Outcome recordAndReplay(const QStringList &arguments, const QStringList &faults,
                            Outcome *replayed, QByteArray *firstBackup, QByteArray *replayBackup);
    QProcess *prepare(const QStringList &environment);
    Outcome run(const QStringList &arguments, const QStringList &environment = {},
                const QByteArray &input = QByteArray());
    QString statePath(const QString &name) const { return dir_->filePath("state/" + name); }

    // The inhibitor taken for `why`, then released; true without the bus.
    bool sleepWasBlockedFor(const QString &why);

    std::unique_ptr<StandInBus> bus_;
    std::unique_ptr<QTemporaryDir> dir_;
    QList<QByteArray> errors_; // every run's standard error, checked in cleanup()
};

void TestCli::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    // Locks live in a runtime folder of this test's own, so parallel test
    // runs never meet each other's accessories.
    QVERIFY(QDir().mkpath(dir_->filePath("runtime")));
    errors_.clear();
}

void TestCli::cleanup() {
    for (const QByteArray &err : errors_)
        QVERIFY2(!err.contains("EMULATOR"), err.constData());
    dir_.reset();
}

QProcess *TestCli::prepare(const QStringList &environment) {
    auto *process = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name : env.keys())
        if (name.startsWith("CORVANE_") || name == "QT_LOGGING_RULES")
            env.remove(name);
    env.insert("XDG_RUNTIME_DIR", dir_->filePath("runtime"));
    env.insert("CORVANE_CONFIG_DIR", dir_->filePath("config"));
    env.insert("CORVANE_EMULATOR_STATE_DIR", dir_->filePath("state"));
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    for (const QString &assignment : environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(dir_->path());
    process->setProgram(QStringLiteral(CORVANE_CLI_EMULATED_BINARY));
    return process;
}

Outcome TestCli::run(const QStringList &arguments, const QStringList &environment,
                     const QByteArray &input) {
    QProcess *process = prepare(environment);
    process->setArguments(arguments);
    process->start();
    Outcome outcome;
    if (!process->waitForStarted(10000))
        return outcome;
    process->write(input);
    process->closeWriteChannel();
    if (process->waitForFinished(120000) && process->exitStatus() == QProcess::NormalExit)
        outcome.exitCode = process->exitCode();
    outcome.out = process->readAllStandardOutput();
    outcome.err = process->readAllStandardError();
    errors_ << outcome.err;
    delete process;
    return outcome;
}

void TestCli::listAndInfo_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("message");

    const QString info = "Accessory:  " + kDemoPath + " (1abe:2203)";
    QTest::newRow("list") << QStringList{"list"} << QStringList{} << 0
                          << QStringList{"1abe:2203 " + kDemoPath + " accessible"} << "";
    QTest::newRow("list, two in candidate order")
        << QStringList{"list"} << QStringList{"CORVANE_EMULATOR_SECOND_DEVICE=1"} << 0
        << QStringList{"1abe:2203 " + kDemoPath + " accessible",
                       "abcd:2204 " + kSecondPath + " accessible"}
        << "";
    QTest::newRow("list, none") << QStringList{"list"}
                                << QStringList{"CORVANE_EMULATOR_NO_DEVICE=1"} << 3 << QStringList{}
                                << "No accessory found.";
    QTest::newRow("list, no access")
        << QStringList{"list"} << QStringList{"CORVANE_EMULATOR_FAIL_OPEN=1"} << 4
        << QStringList{"1abe:2203 " + kDemoPath + " no-access"} << "70-corvane.rules";
    QTest::newRow("list, held exclusively")
        << QStringList{"list"} << QStringList{"CORVANE_EMULATOR_FAIL_OPEN=busy"} << 5
        << QStringList{"1abe:2203 " + kDemoPath + " no-access"} << "held exclusively";
    QTest::newRow("info masks the PIN")
        << QStringList{"info"} << QStringList{} << 0
        << QStringList{info, "Version:    V1.2.0 (emulated)",
                       "Account ID: nTg6lZ4zRQg=", "PIN:        ****"}
        << "";
    QTest::newRow("info --show-pin")
        << QStringList{"info", "--show-pin"} << QStringList{} << 0
        << QStringList{info, "Version:    V1.2.0 (emulated)",
                       "Account ID: nTg6lZ4zRQg=", "PIN:        24681357"}
        << "";
    QTest::newRow("--device picks the second")
        << QStringList{"--device", kSecondPath, "info"}
        << QStringList{"CORVANE_EMULATOR_SECOND_DEVICE=1"} << 0
        << QStringList{"Accessory:  " + kSecondPath + " (abcd:2204)",
                       "Version:    V2.0.0 (second emulated)",
                       "Account ID: c2Vjb25kSUQ=", "PIN:        ****"}
        << "";
    QTest::newRow("--device not attached")
        << QStringList{"--device", kSecondPath, "info"} << QStringList{} << 3 << QStringList{}
        << "No accessory at " + kSecondPath;
    QTest::newRow("info, none") << QStringList{"info"}
                                << QStringList{"CORVANE_EMULATOR_NO_DEVICE=1"} << 3 << QStringList{}
                                << "No accessory found.";
    QTest::newRow("info, no access")
        << QStringList{"info"} << QStringList{"CORVANE_EMULATOR_FAIL_OPEN=1"} << 4 << QStringList{}
        << "Permission denied on " + kDemoPath;
    QTest::newRow("info, held exclusively")
        << QStringList{"info"} << QStringList{"CORVANE_EMULATOR_FAIL_OPEN=busy"} << 5
        << QStringList{} << "held exclusively by another program";
    QTest::newRow("info, removed before it was opened")
        << QStringList{"info"} << QStringList{"CORVANE_EMULATOR_FAIL_OPEN=vanished"} << 3
        << QStringList{} << "was removed before it could be opened";
    QTest::newRow("info, another open failure")
        << QStringList{"info"} << QStringList{"CORVANE_EMULATOR_FAIL_OPEN=io"} << 1 << QStringList{}
        << "could not be opened: Input/output error";
    QTest::newRow("info, removed while read")
        << QStringList{"info"} << QStringList{"CORVANE_EMULATOR_DETACH_AFTER=1"} << 1
        << QStringList{} << "did not answer";
}

void TestCli::listAndInfo() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    QFETCH(QString, message);
    const Outcome outcome = run(arguments, environment);
    QCOMPARE(outcome.exitCode, exitCode);
    QCOMPARE(outcome.outLines(), lines);
    if (message.isEmpty())
        QVERIFY2(outcome.err.isEmpty(), outcome.err.constData());
    else
        QVERIFY2(outcome.err.contains(message.toUtf8()), outcome.err.constData());
}

void TestCli::jsonParses_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("value");

    QTest::newRow("list") << QStringList{"--json", "list"} << QStringList{} << 0 << "accessories"
                          << QJsonValue(QJsonArray{QJsonObject{{"path", kDemoPath},
                                                               {"vendorId", "1abe"},
                                                               {"productId", "2203"},
                                                               {"accessible", true}}});
    QTest::newRow("list, none") << QStringList{"--json", "list"}
                                << QStringList{"CORVANE_EMULATOR_NO_DEVICE=1"} << 3 << "accessories"
                                << QJsonValue(QJsonArray{});
    QTest::newRow("info") << QStringList{"info", "--json"} << QStringList{} << 0 << "pin"
                          << QJsonValue("****");
    QTest::newRow("info --show-pin") << QStringList{"info", "--json", "--show-pin"} << QStringList{}
                                     << 0 << "pin" << QJsonValue("24681357");
    QTest::newRow("set") << QStringList{"--json", "set", "--pin", "1234"} << QStringList{} << 0
                         << "records"
                         << QJsonValue(QJsonArray{
                                QJsonObject{{"name", "rp.pin"}, {"acknowledged", true}}});
    QTest::newRow("backup") << QStringList{"--json", "backup", "flash.bin"} << QStringList{} << 0
                            << "bytes" << QJsonValue(kFlashSize);
    QTest::newRow("a usage error is an error object too")
        << QStringList{"--json", "erase"} << QStringList{} << 2 << "exitCode" << QJsonValue(2);
    QTest::newRow("an unknown option is an error object too")
        << QStringList{"list", "--all", "--json"} << QStringList{} << 2 << "exitCode"
        << QJsonValue(2);
    QTest::newRow("a failure is an error object too")
        << QStringList{"--json", "info"} << QStringList{"CORVANE_EMULATOR_FAIL_OPEN=1"} << 4
        << "exitCode" << QJsonValue(4);
}

void TestCli::jsonParses() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);
    const Outcome outcome = run(arguments, environment);
    QCOMPARE(outcome.exitCode, exitCode);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(outcome.out, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, outcome.out.constData());
    QVERIFY(document.isObject());
    QCOMPARE(document.object().value(key), value);
    QCOMPARE(outcome.out.count('\n'), 1); // one document, one line
}

void TestCli::setWritesOnlyWhatItMay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("psnId");
    QTest::addColumn<QByteArray>("pin");

    const QByteArray oldId = "nTg6lZ4zRQg=";
    const QByteArray oldPin = "24681357";
    QTest::newRow("account only") << QStringList{"set", "--account", "AQIDBAUGBwg="} << 0
                                  << QStringList{"rp.psnid: acknowledged"}
                                  << QByteArray("AQIDBAUGBwg=") << oldPin;
    QTest::newRow("both, in the window's order")
        << QStringList{"set", "--pin", "9999", "--account", "AQIDBAUGBwg="} << 0
        << QStringList{"rp.psnid: acknowledged", "rp.pin: acknowledged"}
        << QByteArray("AQIDBAUGBwg=") << QByteArray("9999");
    QTest::newRow("empty refused")
        << QStringList{"set", "--pin", ""} << 2 << QStringList{} << oldId << oldPin;
    QTest::newRow("empty allowed") << QStringList{"set", "--pin", "", "--allow-empty"} << 0
                                   << QStringList{"rp.pin: acknowledged"} << oldId << QByteArray();
    QTest::newRow("997 bytes fit")
        << QStringList{"set", "--pin", QString(997, 'x')} << 0
        << QStringList{"rp.pin: acknowledged"} << oldId << QByteArray(997, 'x');
    QTest::newRow("998 bytes refused")
        << QStringList{"set", "--pin", QString(998, 'x')} << 2 << QStringList{} << oldId << oldPin;
    QTest::newRow("outside Latin-1 refused")
        << QStringList{"set", "--pin", QString::fromUtf8("12\u20ac4")} << 2 << QStringList{}
        << oldId << oldPin;
    QTest::newRow("Latin-1 kept") << QStringList{"set", "--pin", QString::fromUtf8("\u00e912")} << 0
                                  << QStringList{"rp.pin: acknowledged"} << oldId
                                  << QByteArray("\xe9"
                                                "12");
    QTest::newRow("nothing to set") << QStringList{"set"} << 2 << QStringList{} << oldId << oldPin;
}

void TestCli::setWritesOnlyWhatItMay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, psnId);
    QFETCH(QByteArray, pin);
    const Outcome outcome = run(arguments);
    QCOMPARE(outcome.exitCode, exitCode);
    QCOMPARE(outcome.outLines(), lines);
    QCOMPARE(readFile(statePath("record.rp.psnid")), psnId);
    QCOMPARE(readFile(statePath("record.rp.pin")), pin);
}

void TestCli::flashSendsTheImageAndIdentifiesAgain() {
    // Not a multiple of 512: the last block goes out filled up with 0xFF.
    const QByteArray image = pattern(70000);
    QVERIFY(writeFile(dir_->filePath("image.bin"), image));
    const Outcome outcome = run({"flash", "image.bin"});
    QCOMPARE(outcome.exitCode, 0);
    const QString sha256 = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
    QCOMPARE(outcome.outLines(),
             (QStringList{"Firmware written: 137 blocks (70000 bytes).", "SHA-256: " + sha256,
                          "Version: V1.2.1 (emulated, updated)"}));
    QCOMPARE(readFile(statePath("firmware.bin")),
             image + QByteArray(137 * 512 - image.size(), '\xff'));
    // Not a terminal: plain lines, no bar drawn with carriage returns.
    QVERIFY(!outcome.err.contains('\r'));
    QStringList progress = QString::fromUtf8(outcome.err).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(progress.takeFirst(),
             QStringLiteral("corvane-cli: The image is 70000 bytes, not a whole number of "
                            "512-byte blocks: its last block is filled up with 0xFF."));
    QCOMPARE(progress.size(), 6);
    QCOMPARE(progress.first(), QStringLiteral("Writing firmware: step 1 of 6 (17%)"));
    QCOMPARE(progress.last(), QStringLiteral("Writing firmware: step 6 of 6 (100%)"));
}

void TestCli::flashRefusesOrReportsFailure_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("blocksReceived");

    QTest::newRow("empty image") << QByteArray() << QStringList{} << 2
                                 << "The firmware file is empty." << 0;
    QTest::newRow("larger than the flash")
        << QByteArray(kFlashSize + 1, 'x') << QStringList{} << 2 << "too large" << 0;
    QTest::newRow("no accessory") << pattern(4096) << QStringList{"CORVANE_EMULATOR_NO_DEVICE=1"}
                                  << 3 << "No accessory found." << 0;
    // After the three record reads that identify it, and ten blocks.
    QTest::newRow("removed during the transfer")
        << pattern(40960) << QStringList{"CORVANE_EMULATOR_DETACH_AFTER=13"} << 1
        << "Firmware update failed" << 10;
    // Plainly not firmware: refused before the accessory is opened.
    const QByteArray body = pattern(4096);
    QByteArray exe = "MZ" + body;
    exe.replace(0x3C, 4, QByteArray("\x80\0\0\0", 4));
    exe.replace(0x80, 4, QByteArray("PE\0\0", 4));
    const struct {
        const char *name;
        QByteArray bytes;
        const char *what;
    } notFirmware[] = {
        {"zip", "PK\x03\x04" + body, "looks like a ZIP archive"},
        {"gzip", "\x1f\x8b\x08" + body, "looks like a gzip archive"},
        {"xz",
         QByteArray("\xfd"
                    "7zXZ\0",
                    6) +
             body,
         "looks like an xz archive"},
        {"7z", "7z\xbc\xaf\x27\x1c" + body, "looks like a 7z archive"},
        {"bzip2", "BZh9" + body, "looks like a bzip2 archive"},
        {"rar", "Rar!\x1a\x07\x01" + body, "looks like a RAR archive"},
        {"png", "\x89PNG\r\n\x1a\n" + body, "looks like a PNG image"},
        {"jpeg", "\xff\xd8\xff\xe0" + body, "looks like a JPEG image"},
        {"pdf", "%PDF-1.7\n" + body, "looks like a PDF document"},
        {"elf",
         "\x7f"
         "ELF\x02" +
             body,
         "looks like an ELF executable"},
        {"windows executable", exe, "looks like a Windows executable"},
        {"web page saved as .bin",
         "<!DOCTYPE "
         "html>\n<html><head><title>Firmware</title></head><body>Download</body></html>\n",
         "looks like an HTML page"},
        {"log saved as .bin",
         QByteArray("12:00:01 update started\r\n\tblock 1 ok é\n").repeated(40), "looks like text"},
        {"all 0x00", QByteArray(8192, '\0'), "holds nothing but 0x00 bytes"},
        {"all 0xFF", QByteArray(8192, '\xff'), "holds nothing but 0xFF bytes"},
    };
    for (const auto &file : notFirmware)
        QTest::newRow(file.name) << file.bytes << QStringList{} << 2
                                 << QStringLiteral("The firmware file %1, not a firmware image; "
                                                   "nothing was sent. Add --force to send it "
                                                   "anyway.")
                                        .arg(QLatin1String(file.what))
                                 << 0;
}

void TestCli::flashRefusesOrReportsFailure() {
    QFETCH(QByteArray, image);
    QFETCH(QStringList, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(int, blocksReceived);
    QVERIFY(writeFile(dir_->filePath("image.bin"), image));
    const Outcome outcome = run({"flash", "image.bin"}, environment);
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY(outcome.out.isEmpty());
    QVERIFY2(outcome.err.contains(message.toUtf8()), outcome.err.constData());
    QCOMPARE(readFile(statePath("firmware.bin")).size(), blocksReceived * 512);
}

// An accessory that answers no record read is still updated, with a warning;
// one that restarts is waited for under its new node, and another accessory is
// never taken for it.
void TestCli::flashChecksThePowerSupply_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("upower");
    QTest::addColumn<int>("batteryPercent"); // on battery; -1: on mains
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QByteArray image = pattern(4096);
    QTest::newRow("mains") << image << true << -1 << false << 0 << QString();
    QTest::newRow("no UPower") << image << false << 10 << false << 0 << QString();
    QTest::newRow("battery at 25 %") << image << true << 25 << false << 0 << QString();
    QTest::newRow("battery at 24 %")
        << image << true << 24 << false << 2
        << "The battery is at 24 % and the computer is not plugged in; if it switches off during "
           "the update, the accessory may not start again. Plug the computer in and try again, "
           "or add --force to update anyway.";
    QTest::newRow("battery at 24 %, --force")
        << image << true << 24 << true << 0 << "--force: updating although the battery is at 24 %.";
    QTest::newRow("a ZIP archive, --force")
        << "PK\x03\x04" + image << true << -1 << true << 0
        << "--force: sending although the firmware file looks like a ZIP archive.";
}

// Refused (no block sent, no inhibitor) or sent with sleep blocked throughout.
void TestCli::flashChecksThePowerSupply() {
    QFETCH(QByteArray, image);
    QFETCH(bool, upower);
    QFETCH(int, batteryPercent);
    QFETCH(bool, force);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    if (!bus_->problem().isEmpty())
        QSKIP(qPrintable(bus_->problem()));
    bus_->setPower(upower, batteryPercent >= 0, batteryPercent >= 0, batteryPercent);
    bus_->clearEvents();
    QVERIFY(writeFile(dir_->filePath("image.bin"), image));
    const QStringList arguments = force ? QStringList{"--json", "flash", "--force", "image.bin"}
                                        : QStringList{"--json", "flash", "image.bin"};
    const Outcome outcome = run(arguments);
    bus_->setPower(true, false, false, 100);
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY2(outcome.err.contains(message.toUtf8()), outcome.err.constData());
    QCOMPARE(readFile(statePath("firmware.bin")).size(),
             exitCode == 0 ? (image.size() + 511) / 512 * 512 : 0);
    if (exitCode != 0) {
        QVERIFY(bus_->events().isEmpty());
        return;
    }
    QCOMPARE(outcome.json().value("sha256").toString(),
             QString(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    QVERIFY(sleepWasBlockedFor(QStringLiteral("Updating the accessory's firmware")));
}

bool TestCli::sleepWasBlockedFor(const QString &why) {
    if (!bus_->problem().isEmpty())
        return true;
    if (!QTest::qWaitFor([this] { return bus_->held() == 0; }, 5000))
        return false;
    const QList<QJsonObject> events = bus_->events();
    const QJsonObject taken = events.value(0);
    return events.size() == 2 && taken.value("what") == "sleep:shutdown" &&
           taken.value("who") == "Corvane" && taken.value("why") == why &&
           taken.value("mode") == "block" && events.last().value("event") == "release";
}

void TestCli::flashAfterwardsFindsOnlyTheSameAccessory_data() {
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");

    const QString notIdentified = QStringLiteral("could not be identified afterwards");
    QTest::newRow("answers no record read")
        << QStringList{"CORVANE_EMULATOR_NO_RECORD_READS=1"} << 1 << QString()
        << QStringLiteral("Warning: The accessory does not answer its identification: its "
                          "records could not be read. A firmware update may still repair it. "
                          "Updating it anyway.");
    QTest::newRow("back under a new node")
        << QStringList{"CORVANE_EMULATOR_RESTART=8:1500:/dev/hidraw-emulated7"} << 0
        << QStringLiteral("Version: V1.2.1 (emulated, updated)") << QString();
    QTest::newRow("not back, another accessory attached")
        << QStringList{"CORVANE_EMULATOR_RESTART=8:60000:/dev/hidraw-emulated7",
                       "CORVANE_EMULATOR_SECOND_DEVICE=1"}
        << 1 << QString() << notIdentified;
}

void TestCli::flashAfterwardsFindsOnlyTheSameAccessory() {
    QFETCH(QStringList, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, message);
    const QByteArray image = pattern(8 * 512);
    QVERIFY(writeFile(dir_->filePath("image.bin"), image));
    const Outcome outcome = run({"flash", "image.bin"}, environment);
    QCOMPARE(outcome.exitCode, exitCode);
    QCOMPARE(readFile(statePath("firmware.bin")), image);
    if (!output.isEmpty())
        QVERIFY2(outcome.outLines().contains(output), outcome.out.constData());
    QVERIFY2(outcome.err.contains(message.toUtf8()), outcome.err.constData());
    QVERIFY2(!outcome.out.contains("second emulated"), outcome.out.constData());
}

void TestCli::backupIsByteExactPrivateAndAllOrNothing() {
    const QString target = dir_->filePath("backup/flash.bin");
    QVERIFY(QDir().mkpath(dir_->filePath("backup")));
    const Outcome saved = run({"backup", target});
    QCOMPARE(saved.exitCode, 0);
    QCOMPARE(saved.outLines(),
             QStringList{QStringLiteral("Flash saved to %1 (524288 bytes).").arg(target)});
    QCOMPARE(readFile(target), demoFlash());
    const QFile::Permissions ownerGroupOther =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
        QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther |
        QFile::ExeOther;
    QCOMPARE(QFileInfo(target).permissions() & ownerGroupOther,
             QFile::Permissions(QFile::ReadOwner | QFile::WriteOwner));

    // A failed read leaves no file and no temporary beside it.
    const QString failed = dir_->filePath("backup/failed.bin");
    const Outcome removed = run({"backup", failed}, {"CORVANE_EMULATOR_DETACH_AFTER=100"});
    QCOMPARE(removed.exitCode, 1);
    QVERIFY(removed.err.contains("no backup file was written"));
    QCOMPARE(QDir(dir_->filePath("backup")).entryList(QDir::Files | QDir::Hidden),
             QStringList{"flash.bin"});

    const Outcome unwritable = run({"backup", dir_->filePath("missing/flash.bin")});
    QCOMPARE(unwritable.exitCode, 2);
    QVERIFY(unwritable.err.contains("cannot be created"));

    // A write the system refuses (a full disk; here a file-size limit the
    // program inherits) is told with the system's reason, and leaves nothing.
    rlimit unlimited{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit small = unlimited;
    small.rlim_cur = 64 * 1024;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN); // inherited: a failed write, not a kill
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Outcome refused = run({"backup", dir_->filePath("backup/full.bin")});
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, previous);
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains("could not be written: File too large"), refused.err.constData());
    QCOMPARE(QDir(dir_->filePath("backup")).entryList(QDir::Files | QDir::Hidden),
             QStringList{"flash.bin"});
}

void TestCli::secondProcessIsToldTheAccessoryIsBusy() {
    QVERIFY(writeFile(dir_->filePath("image.bin"), pattern(256 * 1024)));
    QProcess *first = prepare({"CORVANE_EMULATOR_REPLY_DELAY_MS=4"});
    first->setArguments({"flash", "image.bin"});
    first->start();
    QVERIFY(first->waitForStarted(10000));
    // The first progress line comes well inside the job.
    QByteArray progress;
    QTRY_VERIFY_WITH_TIMEOUT((progress += first->readAllStandardError()).contains("step 1 of 6") ||
                                 first->state() != QProcess::Running,
                             30000);
    QCOMPARE(first->state(), QProcess::Running);

    const Outcome second = run({"info"});
    QCOMPARE(second.exitCode, 5);
    QVERIFY(second.out.isEmpty());
    // The holder named as the system gives it (its name cut at 15 characters).
    QVERIFY2(second.err.contains(QStringLiteral("corvane-cli-emu (process %1) is using the "
                                                "accessory at ")
                                     .arg(first->processId())
                                     .toUtf8()),
             second.err.constData());
    const Outcome secondJson = run({"--json", "backup", "flash.bin"});
    QCOMPARE(secondJson.json().value("exitCode"), QJsonValue(5));
    QVERIFY(!QFile::exists(dir_->filePath("flash.bin")));

    QVERIFY(first->waitForFinished(60000));
    QCOMPARE(first->exitCode(), 0);
    // The lock went with the first program.
    QCOMPARE(run({"info"}).exitCode, 0);
    delete first;
}

void TestCli::resolveUsesTheSharedResolver() {
    const QString serverFolder = QStringLiteral(CORVANE_TEST_PYTHON_DIR);
    QProcess server;
    server.start(QStringLiteral("python3"), {"-c", kTokenServerScript, serverFolder});
    QVERIFY(server.waitForReadyRead(10000));
    const QStringList settings{"CORVANE_AUTH_HOST=http://" + server.readLine().trimmed(),
                               "CORVANE_REDIRECT_HOST=redirect.example.net",
                               "CORVANE_CLIENT_SECRET=secret", "no_proxy=*"};

    const Outcome fromInput = run({"resolve"}, settings, kRedirect.toUtf8() + "\n");
    QCOMPARE(fromInput.exitCode, 0);
    QCOMPARE(fromInput.outLines(), QStringList{"AQAAAAAAAAA="});
    QVERIFY2(!fromInput.err.contains("Paste the address"), fromInput.err.constData());
    QVERIFY(!fromInput.err.contains("visible to other users"));
    const Outcome dashAsUrl = run({"resolve", "--url", "-"}, settings, kRedirect.toUtf8() + "\n");
    QCOMPARE(dashAsUrl.exitCode, 0);
    QCOMPARE(dashAsUrl.outLines(), QStringList{"AQAAAAAAAAA="});
    QVERIFY(!dashAsUrl.err.contains("visible to other users"));
    const Outcome fromOption = run({"--json", "resolve", "--url", kRedirect}, settings);
    QCOMPARE(fromOption.exitCode, 0);
    QVERIFY2(fromOption.err.contains("visible to other users"), fromOption.err.constData());
    QCOMPARE(fromOption.json().value("accountId"), QJsonValue("AQAAAAAAAAA="));
    const Outcome noCode =
        run({"resolve", "--url", "https://redirect.example.net/?Code=1"}, settings);
    QCOMPARE(noCode.exitCode, 2);
    QVERIFY(noCode.out.isEmpty());
    server.closeWriteChannel();
    QVERIFY(server.waitForFinished(10000));
}

void TestCli::valuesComeFromStandardInput() {
    // One line each, account ID first; no prompt when input is not a terminal.
    const Outcome both = run({"set", "--pin", "-", "--account", "-"}, {}, "AQIDBAUGBwg=\r\n4321\n");
    QCOMPARE(both.exitCode, 0);
    QCOMPARE(readFile(statePath("record.rp.psnid")), QByteArray("AQIDBAUGBwg="));
    QCOMPARE(readFile(statePath("record.rp.pin")), QByteArray("4321"));
    QVERIFY2(!both.err.contains("PIN:"), both.err.constData());

    const Outcome ended = run({"--json", "set", "--pin", "-"});
    QCOMPARE(ended.exitCode, 2);
    QCOMPARE(ended.json().value("exitCode"), QJsonValue(2));
    QCOMPARE(readFile(statePath("record.rp.pin")), QByteArray("24681357"));
}

void TestCli::terminalPromptsHideSecretsAndSurviveCtrlC() {
    Terminal terminal;
    QVERIFY(!terminal.slave.isEmpty());

    QProcess *set = prepare({});
    set->setStandardInputFile(terminal.slave);
    set->setArguments({"set", "--pin", "-"});
    set->start();
    QByteArray err;
    QVERIFY2(waitForError(set, err, "PIN: "), err.constData());
    QVERIFY(terminal.type("4321\n"));
    QVERIFY(set->waitForFinished(20000));
    QCOMPARE(set->exitCode(), 0);
    QCOMPARE(readFile(statePath("record.rp.pin")), QByteArray("4321"));
    QVERIFY(!terminal.echoed().contains("4321"));
    QVERIFY(terminal.echoOn());

    // Ctrl-C at the prompt: "stopped", 130, and the terminal echoes again.
    QProcess *stopped = prepare({});
    stopped->setStandardInputFile(terminal.slave);
    stopped->setArguments({"set", "--account", "-"});
    stopped->start();
    err.clear();
    QVERIFY2(waitForError(stopped, err, "Account ID: "), err.constData());
    interrupt(stopped);
    QVERIFY(stopped->waitForFinished(20000));
    err += stopped->readAllStandardError();
    QCOMPARE(stopped->exitStatus(), QProcess::NormalExit);
    QCOMPARE(stopped->exitCode(), 130);
    QVERIFY2(err.contains("corvane-cli: stopped"), err.constData());
    QVERIFY(terminal.echoOn());

    // resolve asks for the address on a terminal and takes the one line.
    QProcess *resolve = prepare({});
    resolve->setStandardInputFile(terminal.slave);
    resolve->setArguments({"resolve"});
    resolve->start();
    err.clear();
    QVERIFY2(waitForError(resolve, err, "Paste the address the sign-in ended on"), err.constData());
    QVERIFY(terminal.type("https://redirect.example.net/?state=1\n"));
    QVERIFY(resolve->waitForFinished(20000));
    QCOMPARE(resolve->exitCode(), 2);
    QVERIFY(resolve->readAllStandardError().contains("holds no \"code=\""));
    delete set;
    delete stopped;
    delete resolve;
}

void TestCli::deviceTextCannotSteerTheTerminal() {
    // Escape sequences (a title change, a screen clear), BEL, DEL, a C1 CSI,
    // a carriage return and a right-to-left override.
    const QString version = QString::fromUtf8("V1\x1b]0;owned\x07 \xc2\x9b"
                                              "2J \xe2\x80\xae");
    const QString account = QStringLiteral("ID\x1b[2J\x7f\rX");
    const QStringList environment{"CORVANE_EMULATOR_VERSION=" + version,
                                  "CORVANE_EMULATOR_ACCOUNT=" + account};
    const QList<QByteArray> forbidden{"\x1b", "\x07", "\x7f", "\r", "\xc2\x9b", "\xe2\x80\xae"};

    const Outcome text = run({"info"}, environment);
    QCOMPARE(text.exitCode, 0);
    for (const QByteArray &bytes : forbidden)
        QVERIFY2(!text.out.contains(bytes), text.out.toHex().constData());
    QVERIFY(text.out.contains("V1\xef\xbf\xbd]0;owned"));

    // JSON keeps the text, as escapes.
    const Outcome json = run({"--json", "info"}, environment);
    QCOMPARE(json.exitCode, 0);
    for (const QByteArray &bytes : forbidden)
        QVERIFY2(!json.out.contains(bytes), json.out.constData());
    QVERIFY(json.json().value("version").toString().contains("\x1b]0;owned\x07"));
    QVERIFY(json.json().value("accountId").toString().startsWith("ID\x1b[2J\x7f\r"));
}

void TestCli::flashStopsOnlyOnASecondCtrlCWithinThreeSeconds() {
    // 1024 blocks at 10 ms or more each: the update outlasts the presses.
    QVERIFY(writeFile(dir_->filePath("image.bin"), pattern(kFlashSize)));
    QProcess *flash = prepare({"CORVANE_EMULATOR_REPLY_DELAY_MS=10"});
    flash->setArguments({"flash", "image.bin"});
    flash->start();
    QVERIFY(flash->waitForStarted(10000));
    QByteArray err;
    const QByteArray warning = "Press Ctrl-C again within 3 seconds";
    bus_->clearEvents();
    QVERIFY2(waitForError(flash, err, "step 1 of 6"), err.constData());
    QVERIFY(!bus_->problem().isEmpty() || bus_->held() == 1);
    interrupt(flash);
    QVERIFY2(waitForError(flash, err, warning), err.constData());
    QVERIFY(err.contains("half-written image"));
    // Once the three seconds have passed, a press warns again.
    QTest::qWait(3500);
    QCOMPARE(flash->state(), QProcess::Running);
    interrupt(flash);
    QVERIFY2(waitForError(flash, err, warning, 2), err.constData());
    QCOMPARE(flash->state(), QProcess::Running);
    interrupt(flash);
    QVERIFY(flash->waitForFinished(30000));
    err += flash->readAllStandardError();
    QCOMPARE(flash->exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash->exitCode(), 130);
    QVERIFY2(err.contains("Firmware update stopped"), err.constData());
    QVERIFY(flash->readAllStandardOutput().isEmpty());
    const int received = readFile(statePath("firmware.bin")).size() / 512;
    QVERIFY2(received > 0 && received < kFlashSize / 512, qPrintable(QString::number(received)));
    QVERIFY(sleepWasBlockedFor(QStringLiteral("Updating the accessory's firmware")));
    delete flash;
}

void TestCli::backupStopsAtCtrlCWith130() {
    QProcess *backup = prepare({"CORVANE_EMULATOR_REPLY_DELAY_MS=4"});
    backup->setArguments({"--json", "backup", "flash.bin"});
    backup->start();
    QByteArray err;
    bus_->clearEvents();
    QVERIFY2(waitForError(backup, err, "step 1 of 6"), err.constData());
    QVERIFY(!bus_->problem().isEmpty() || bus_->held() == 1);
    interrupt(backup);
    QVERIFY(backup->waitForFinished(30000));
    err += backup->readAllStandardError();
    QCOMPARE(backup->exitStatus(), QProcess::NormalExit);
    QCOMPARE(backup->exitCode(), 130);
    QVERIFY2(err.contains("Flash backup stopped"), err.constData());
    QCOMPARE(QJsonDocument::fromJson(backup->readAllStandardOutput()).object().value("exitCode"),
             QJsonValue(130));
    QVERIFY(sleepWasBlockedFor(QStringLiteral("Backing up the accessory's flash")));
    QVERIFY(!QFile::exists(dir_->filePath("flash.bin")));
    delete backup;
}

void TestCli::usage_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // on stdout for 0, on stderr otherwise

    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Exit status:";
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "corvane-cli ";
    QTest::newRow("no command") << QStringList{} << 2 << "no command given";
    QTest::newRow("unknown command") << QStringList{"erase"} << 2 << "unknown command 'erase'";
    QTest::newRow("flash without image") << QStringList{"flash"} << 2 << "needs exactly one IMAGE";
    QTest::newRow("extra argument") << QStringList{"info", "now"} << 2 << "takes no arguments";
    QTest::newRow("option of another command")
        << QStringList{"info", "--pin", "1"} << 2 << "--pin is not an option of info";
    QTest::newRow("unknown option") << QStringList{"list", "--all"} << 2 << "all";
    QTest::newRow("--unmasked alone")
        << QStringList{"--unmasked", "info"} << 2 << "--unmasked needs --record FILE.";
}

void TestCli::usage() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    const Outcome outcome = run(arguments);
    QCOMPARE(outcome.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY(outcome.out.contains(expected.toUtf8()));
        return;
    }
    QVERIFY(outcome.out.isEmpty());
    QVERIFY2(outcome.err.contains(expected.toUtf8()), outcome.err.constData());
    QVERIFY(outcome.err.contains("Try 'corvane-cli --help'"));
}

namespace {

// What a run shows the user, without the note about the recording itself.
QByteArray withoutRecordingNote(const QByteArray &err) {
    QByteArray kept;
    for (const QByteArray &line : err.split('\n'))
        if (!line.startsWith("corvane-cli: Recording: ") && !line.isEmpty())
            kept += line + '\n';
    return kept;
}

} // namespace

Outcome TestCli::recordAndReplay(const QStringList &arguments, const QStringList &faults,
                                 Outcome *replayed, QByteArray *firstBackup,
                                 QByteArray *replayBackup) {
    const QString recording = dir_->filePath("session.jsonl");
    const QString backup = dir_->filePath("backup.bin");
    const Outcome first = run(QStringList{"--record", recording, "--unmasked"} + arguments, faults);
    *firstBackup = readFile(backup);
    QFile::remove(backup);
    *replayed = run(arguments, {"CORVANE_EMULATOR_REPLAY=" + recording,
                                "CORVANE_EMULATOR_REPLAY_FULL_SPEED=1"});
    *replayBackup = readFile(backup);
    return first;
}

void TestCli::recordedSessionReplaysToTheSameOutcome_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("exitCode");
    const QStringList set{"set", "--account", "QUJDREVGR0g=", "--pin", "12345678"};
    const QStringList backup{"backup", "backup.bin"};
    const QStringList flash{"flash", "image.bin"};
    QTest::newRow("list") << QStringList{"list"} << QStringList() << 0;
    QTest::newRow("info") << QStringList{"info", "--show-pin"} << QStringList() << 0;
    QTest::newRow("info, short version reply")
        << QStringList{"info"} << QStringList{"CORVANE_EMULATOR_FAULTS=short:0:20"} << 1;
    QTest::newRow("set, late reply")
        << set << QStringList{"CORVANE_EMULATOR_FAULTS=late:0:150"} << 0;
    QTest::newRow("set, missing reply")
        << set << QStringList{"CORVANE_EMULATOR_FAULTS=missing:1"} << 1;
    QTest::newRow("flash, late reply")
        << flash << QStringList{"CORVANE_EMULATOR_FAULTS=late:2:200"} << 0;
    QTest::newRow("flash, removal") << flash << QStringList{"CORVANE_EMULATOR_DETACH_AFTER=2"} << 1;
    QTest::newRow("backup") << backup << QStringList() << 0;
    QTest::newRow("backup, short reply")
        << backup << QStringList{"CORVANE_EMULATOR_FAULTS=short:7:30"} << 1;
    QTest::newRow("backup, removal")
        << backup << QStringList{"CORVANE_EMULATOR_DETACH_AFTER=40"} << 1;
    QTest::newRow("resolve, no device involved")
        << QStringList{"resolve", "--url", "https://example.net/no-code"} << QStringList() << 2;
}

// The recording holds what the accessory said, faults included: replayed to
// the same commands it gives the same results, messages, files and codes.
void TestCli::recordedSessionReplaysToTheSameOutcome() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, faults);
    QFETCH(int, exitCode);
    QVERIFY(writeFile(dir_->filePath("image.bin"), pattern(6 * 512 + 100)));
    Outcome replayed;
    QByteArray firstBackup, replayBackup;
    const Outcome first =
        recordAndReplay(arguments, faults, &replayed, &firstBackup, &replayBackup);
    QCOMPARE(first.exitCode, exitCode);
    QCOMPARE(replayed.exitCode, first.exitCode);
    QCOMPARE(replayed.out, first.out);
    QCOMPARE(replayed.err, withoutRecordingNote(first.err));
    QCOMPARE(replayBackup, firstBackup);
    if (arguments.first() == "backup" && exitCode == 0)
        QCOMPARE(firstBackup, demoFlash());
    // Flash contents are announced where they are recorded.
    const QByteArray recorded = readFile(dir_->filePath("session.jsonl"));
    const bool holdsFlash = recorded.contains("\"kind\":\"flash read\"");
    QCOMPARE(first.err.contains("corvane-cli: Recording: "), holdsFlash);
    QCOMPARE(recorded.left(recorded.indexOf('\n')).contains("\"holds_flash\":true"), holdsFlash);
}

void TestCli::maskedRecordingHoldsNoAccountIdOrPin() {
    const QString recording = dir_->filePath("masked.jsonl");
    const QByteArray account = "QUJDREVGR0g=";
    const QByteArray pin = "12345678";
    QCOMPARE(run({"--record", recording, "set", "--account", account, "--pin", pin}).exitCode, 0);
    const QByteArray written = readFile(recording);
    const QFile::Permissions everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                        QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(recording).permissions() & everyone,
             QFile::Permissions(QFile::ReadOwner | QFile::WriteOwner));
    for (const QByteArray &secret : {account, pin}) {
        QVERIFY(!written.contains(secret));
        QVERIFY(!written.contains(secret.toHex()));
    }
    // An identification's record reads: masked are the values this accessory
    // holds, which the same command shows.
    const QByteArray info = dir_->filePath("info.jsonl").toUtf8();
    const Outcome shown = run({"--record", info, "info", "--json", "--show-pin"});
    QCOMPARE(shown.exitCode, 0);
    const QByteArray identified = readFile(info);
    for (const char *key : {"accountId", "pin"}) {
        const QByteArray held = shown.json().value(QLatin1String(key)).toString().toUtf8();
        QVERIFY2(!held.isEmpty(), key);
        QVERIFY2(!identified.contains(held), key);
        QVERIFY2(!identified.contains(held.toHex()), key);
    }
    // Masked values match any value of their length, and only of it.
    const QStringList replay{"CORVANE_EMULATOR_REPLAY=" + recording};
    QCOMPARE(run({"set", "--account", "WldWWVhYWFg=", "--pin", "87654321"}, replay).exitCode, 0);
    const Outcome longer = run({"set", "--account", "WldWWVhYWFhYW", "--pin", "87654321"}, replay);
    QCOMPARE(longer.exitCode, 70);
    QVERIFY2(longer.err.contains("EMULATOR REPLAY MISMATCH: exchange 1: the program sent a record "
                                 "write of rp.psnid where the recording holds a record write of "
                                 "rp.psnid"),
             longer.err.constData());
    errors_.removeLast();
    // A recording that cannot be written stops the command before it starts.
    const Outcome unwritable = run({"--record", dir_->filePath("missing/r.jsonl"), "info"});
    QCOMPARE(unwritable.exitCode, 2);
    QVERIFY(unwritable.out.isEmpty());
    QVERIFY(unwritable.err.contains("corvane-cli: The recording cannot be written to "));
    // The support person's table.
    const Outcome table = run({"replay", recording});
    QCOMPARE(table.exitCode, 0);
    QVERIFY2(table.out.contains("Account ID and PIN: masked"), table.out.constData());
    QVERIFY(table.outLines()
                .filter(QRegularExpression("^ +2  record write +rp.pin +1024 +\\d+ ms  ok$"))
                .size() == 1);
}

void TestCli::replayNamesWhatTheRecordingDoesNotHold_data() {
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QStringList set{"set", "--account", "QUJDREVGR0g=", "--pin", "12345678"};
    QTest::newRow("other value") << QString() << QStringList{"set", "--pin", "12345679"} << 70
                                 << "EMULATOR REPLAY MISMATCH: exchange 1: the program sent a "
                                    "record write of rp.pin where the recording holds a record "
                                    "write of rp.psnid";
    QTest::newRow("tampered request") << "tamper" << set << 70
                                      << "EMULATOR REPLAY MISMATCH: exchange 2: the program sent "
                                         "a record write of rp.pin where the recording holds a "
                                         "record write of rp.pin (first difference at byte 30)";
    QTest::newRow("recording ends") << "cut" << set << 70
                                    << "EMULATOR REPLAY MISMATCH: exchange 2: the program sent a "
                                       "record write of rp.pin, but the recording ends after "
                                       "exchange 1";
    QTest::newRow("program asks less")
        << QString() << QStringList{"set", "--account", "QUJDREVGR0g="} << 70
        << "EMULATOR REPLAY INCOMPLETE: the program asked 1 of the "
           "2 recorded exchanges";
    QTest::newRow("unreadable recording")
        << "garble" << set << 70 << "line 3: the request bytes are unusable";
}

void TestCli::replayNamesWhatTheRecordingDoesNotHold() {
    QFETCH(QString, edit);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString recording = dir_->filePath("session.jsonl");
    QCOMPARE(run({"--record", recording, "--unmasked", "set", "--account", "QUJDREVGR0g=", "--pin",
                  "12345678"})
                 .exitCode,
             0);
    QList<QByteArray> lines = readFile(recording).split('\n');
    QCOMPARE(lines.size(), 4); // header, two exchanges, the end of the last line
    if (edit == "tamper")      // the recorded PIN's fourth digit
        lines[2].replace("3132333435363738", "3132333535363738");
    if (edit == "cut")
        lines.removeAt(2);
    if (edit == "garble")
        lines[2].replace("\"request\":\"", "\"request\":\"zz");
    QVERIFY(writeFile(recording, lines.join('\n')));
    const Outcome replayed = run(arguments, {"CORVANE_EMULATOR_REPLAY=" + recording});
    errors_.removeLast();
    QCOMPARE(replayed.exitCode, exitCode);
    QVERIFY2(replayed.err.contains(message.toUtf8()), replayed.err.constData());
    if (edit == "garble") {
        const Outcome table = run({"replay", recording});
        QCOMPARE(table.exitCode, 2);
        QVERIFY2(table.err.contains(message.toUtf8()), table.err.constData());
    }
}

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
