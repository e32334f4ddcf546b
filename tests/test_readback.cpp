// The flash backup, driven through the real window against the emulated
// accessory: what lands in the file, what the user is told, and when the
// backup is refused.
#include <QAction>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "common/MessageLog.h"
#include "common/PrivateFile.h"
#include "firmware/WorkerThreadForFW.h"
#include "readback/FlashReadback.h"
#include "readback/WorkerThreadForSaveData.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"
#include "ui/StyleSheets.h"

#ifdef Q_OS_UNIX
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

const QString kSuccessText = QStringLiteral("Save data successfully!");
const QString kBusyText = QStringLiteral("The device is busy with a firmware update or a flash "
                                         "backup; please wait until it has finished.");

std::vector<uint8_t> recognisableFlash() {
    std::vector<uint8_t> flash(emu::kFlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = uint8_t(i * 7 + (i >> 9) * 13);
    return flash;
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

uint32_t flashAddress(const std::vector<uint8_t> &request) {
    return uint32_t(request[11]) | uint32_t(request[12]) << 8 | uint32_t(request[13]) << 16 |
           uint32_t(request[14]) << 24;
}

int flashReadRequests() {
    return int(fixture::requestsOfKind(1, 2).size());
}

// What the user saw when a message box came up, taken at the moment it comes
// up (before it is answered).
struct BoxSnapshot {
    QString text;
    qint64 backupSize = -1;
    int litArrows = 0;
};

class BoxWatcher {
public:
    BoxWatcher(DialogAnswerer &answerer, MainWindow *window, const QString &backupPath)
        : answerer_(answerer) {
        answerer.onEachDialog([this, window, backupPath](const SeenDialog &dialog) {
            if (dialog.kind != QLatin1String("message"))
                return;
            BoxSnapshot snapshot{dialog.text, QFileInfo(backupPath).size(), 0};
            for (QPushButton *arrow : window->saveArrows)
                snapshot.litArrows += arrow->styleSheet() == QString::fromUtf8(styles::kArrowLit);
            boxes << snapshot;
        });
    }
    ~BoxWatcher() { answerer_.onEachDialog(nullptr); }
    QList<BoxSnapshot> boxes;

private:
    DialogAnswerer &answerer_;
};

} // namespace

class TestReadback : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void backupMatchesTheFlash();
    void progressLightsArrowsBeforeTheSuccessBox();
    void backupDoesNotDimLitSaveArrows();
    void readFailuresLeaveNoFile_data();
    void readFailuresLeaveNoFile();
    void silentDeviceEndsTheBackupEarly();
    void stoppedBackupLeavesNoFile();
    void refusedWithoutDevice();
    void refusedWhileAnotherJobRuns();
    void refusesAnUncreatablePath();
    void unopenableFileEndsBeforeReading();
    void contextMenuBacksUpToTheChosenFile();
    void privateFilesAreAlwaysOwnerOnly();
    void onlyRegularFilesAndNewNamesAreWritten();
    void fileThatCannotBeReplacedIsRefusedBeforeReading();
    void linkSwappedInIsNeverFollowed();

private:
    std::unique_ptr<MainWindow> openWindow();
    // Starts the backup into `path` and waits until the window has handled
    // its end (including any message box).
    void runBackup(const QString &path);
    void waitForBackupEnd();

    // Also keeps the 2000 debug lines of each backup out of the test output.
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<DialogAnswerer> answerer;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MainWindow> window;
    bool backupEnded = false;
};

void TestReadback::init() {
    fixture::attachStandardDevice();
    log = std::make_unique<LogCapture>();
    answerer = std::make_unique<DialogAnswerer>();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestReadback::cleanup() {
    if (window) {
        window->saveDataWorker->requestInterruption();
        window->fwWorker->requestInterruption();
        fixture::waitUntil([&] { return !window->deviceJobRunning(); });
    }
    window.reset();
    answerer.reset();
    log.reset();
    QCOMPARE(emu::misuseCount(), 0);
    QCOMPARE(emu::protocolErrors(), 0);
}

std::unique_ptr<MainWindow> TestReadback::openWindow() {
    auto opened = fixture::makeWindow();
    connect(opened->saveDataWorker, &QThread::finished, this, [this] { backupEnded = true; });
    emu::clearRequestLog();
    return opened;
}

void TestReadback::waitForBackupEnd() {
    QVERIFY(fixture::waitUntil([&] { return backupEnded; }));
}

void TestReadback::runBackup(const QString &path) {
    backupEnded = false;
    QVERIFY(window->startFlashBackup(path));
    waitForBackupEnd();
}

void TestReadback::backupMatchesTheFlash() {
    const std::vector<uint8_t> flash = recognisableFlash();
    emu::setFlash(fixture::kDevicePath, flash);
    window = openWindow();
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    runBackup(path);

    // The dump holds the account records: for its owner's eyes only.
    QCOMPARE(QFile::permissions(path) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
    const QByteArray saved = readFile(path);
    QCOMPARE(saved.size(), int(emu::kFlashSize));
    QVERIFY(std::equal(flash.begin(), flash.end(), saved.begin(),
                       [](uint8_t a, char b) { return a == uint8_t(b); }));

    const auto requests = fixture::requestsOfKind(1, 2);
    QCOMPARE(int(requests.size()), kFlashBlockCount);
    const std::vector<uint8_t> lastAddress(requests.back().begin() + 11,
                                           requests.back().begin() + 15);
    QCOMPARE(lastAddress, (std::vector<uint8_t>{0x00, 0xFE, 0x07, 0x00}));
    QCOMPARE(flashAddress(requests.back()), 523776u);
    QVERIFY(log->contains(QStringLiteral("HasReadBytes:00000200 H4:00 H3:02 H2:00 H1:00")));
    QVERIFY(log->contains(QStringLiteral("HasReadBytes:0007fe00 H4:00 H3:fe H2:07 H1:00")));
    QCOMPARE(log->count(QStringLiteral("iTotalTimes==loopStep")), 6);
    QCOMPARE(log->count(QStringLiteral("show  iTotalTimes:1020,loopStep:1020")), 1);
    QCOMPARE(window->saveDataWorker->result().outcome, WorkerThreadForSaveData::Outcome::Succeeded);
}

void TestReadback::progressLightsArrowsBeforeTheSuccessBox() {
    window = openWindow();
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    QList<int> steps;
    QList<int> litAfterStep;
    connect(window->saveDataWorker, &WorkerThreadForSaveData::sigRunUpdateSaveDataProcess,
            window.get(), [&](int step) {
                steps << step;
                int lit = 0;
                for (QPushButton *arrow : window->saveArrows)
                    lit += arrow->styleSheet() == QString::fromUtf8(styles::kArrowLit);
                litAfterStep << lit;
            });
    // Taken on the worker's thread as it emits, before any slot could run.
    qint64 sizeAtFinalStep = -1;
    connect(
        window->saveDataWorker, &WorkerThreadForSaveData::sigRunUpdateSaveDataProcess, this,
        [&](int step) {
            if (step == 6)
                sizeAtFinalStep = QFileInfo(path).size();
        },
        Qt::DirectConnection);
    BoxWatcher watcher(*answerer, window.get(), path);
    runBackup(path);

    QCOMPARE(sizeAtFinalStep, qint64(emu::kFlashSize));

    QCOMPARE(steps, (QList<int>{1, 2, 3, 4, 5, 6}));
    QCOMPARE(litAfterStep, (QList<int>{1, 2, 3, 4, 5, 6}));
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].text, kSuccessText);
    QCOMPARE(watcher.boxes[0].backupSize, qint64(emu::kFlashSize));
    QCOMPARE(watcher.boxes[0].litArrows, 6);
}

void TestReadback::backupDoesNotDimLitSaveArrows() {
    window = openWindow();
    for (int step = 1; step <= 3; ++step)
        window->slotShowRunUpdateSaveDataProcess(step);
    backupEnded = false;
    QVERIFY(window->startFlashBackup(dir->filePath(QStringLiteral("flash.bin"))));
    for (int arrow = 0; arrow < 3; ++arrow)
        QCOMPARE(window->saveArrows[arrow]->styleSheet(), QString::fromUtf8(styles::kArrowLit));
    waitForBackupEnd();
}

void TestReadback::readFailuresLeaveNoFile_data() {
    QTest::addColumn<bool>("everyWrite");
    QTest::addColumn<bool>("olderBackupExists");
    QTest::addColumn<int>("failedBlocks");
    QTest::newRow("every write fails") << true << false << kFlashBlockCount;
    QTest::newRow("every write fails, older backup kept") << true << true << kFlashBlockCount;
    QTest::newRow("one read fails") << false << false << 1;
}

void TestReadback::readFailuresLeaveNoFile() {
    QFETCH(bool, everyWrite);
    QFETCH(bool, olderBackupExists);
    QFETCH(int, failedBlocks);
    window = openWindow();
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    const QByteArray olderBackup("an older backup");
    if (olderBackupExists)
        writeFile(path, olderBackup);
    if (everyWrite) {
        emu::failWrites(fixture::kDevicePath, emu::matchAll());
    } else {
        emu::failReads(fixture::kDevicePath, [](const std::vector<uint8_t> &request, int) {
            return request[3] == 1 && request[4] == 2 && flashAddress(request) == 614 * 512;
        });
    }
    const int requestsBefore = emu::requestCount(fixture::kDevicePath);
    runBackup(path);

    QString expected = QStringLiteral("Flash backup failed: %1 of 1024 blocks could not be "
                                      "read; no backup file was written.")
                           .arg(failedBlocks);
    if (everyWrite) { // ended after three refused requests, not after 1024
        expected += QStringLiteral(" The device took none of 3 requests in a row, so the backup "
                                   "was ended there.");
        QCOMPARE(emu::requestCount(fixture::kDevicePath) - requestsBefore, 3);
    }
    QCOMPARE(answerer->texts(), QStringList{expected});
    QCOMPARE(QFile::exists(path), olderBackupExists);
    if (olderBackupExists)
        QCOMPARE(readFile(path), olderBackup);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(),
             olderBackupExists ? 1 : 0);
    QCOMPARE(window->saveDataWorker->result().failedBlocks, failedBlocks);
}

void TestReadback::silentDeviceEndsTheBackupEarly() {
    window = openWindow();
    emu::stopAnswering(fixture::kDevicePath, true);
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    runBackup(path);

    QCOMPARE(flashReadRequests(), 1);
    QVERIFY(answerer->sawText(QStringLiteral("Flash backup failed: 1024 of 1024 blocks could "
                                             "not be read; no backup file was written.")));
    QVERIFY(!QFile::exists(path));
}

void TestReadback::stoppedBackupLeavesNoFile() {
    window = openWindow();
    emu::setReplyDelayMs(fixture::kDevicePath, 2);
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    backupEnded = false;
    QVERIFY(window->startFlashBackup(path));
    QVERIFY(fixture::waitUntil([] { return flashReadRequests() >= 20; }));
    window->saveDataWorker->requestInterruption();
    waitForBackupEnd();

    QCOMPARE(answerer->texts(),
             QStringList{QStringLiteral("Flash backup stopped; no backup file was written.")});
    QVERIFY(!QFile::exists(path));
    QVERIFY(flashReadRequests() < kFlashBlockCount);
}

void TestReadback::refusedWithoutDevice() {
    fixture::resetEmulation();
    window = openWindow();
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    QVERIFY(!window->startFlashBackup(path));
    QCOMPARE(answerer->texts(), QStringList{QStringLiteral("Not connected device!")});
    QCOMPARE(answerer->seen()[0].title, QStringLiteral("Warning"));
    QVERIFY(!window->saveDataWorker->isRunning());
    QVERIFY(!QFile::exists(path));
}

void TestReadback::refusedWhileAnotherJobRuns() {
    window = openWindow();
    emu::setReplyDelayMs(fixture::kDevicePath, 5);
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    const QString second = dir->filePath(QStringLiteral("second.bin"));

    backupEnded = false;
    QVERIFY(window->startFlashBackup(path));
    QVERIFY(!window->startFlashBackup(second));
    QCOMPARE(answerer->texts(), QStringList{kBusyText});
    window->saveDataWorker->requestInterruption();
    waitForBackupEnd();

    answerer->clear();
    const QString firmware = dir->filePath(QStringLiteral("firmware.bin"));
    writeFile(firmware, QByteArray(200 * 512, '\xA5'));
    window->firmwarePath = firmware;
    window->fwWorker->start();
    QVERIFY(fixture::waitUntil([&] { return window->fwWorker->isRunning(); }));
    QVERIFY(!window->startFlashBackup(second));
    QCOMPARE(answerer->texts().value(0), kBusyText);
    window->fwWorker->requestInterruption();
    QVERIFY(fixture::waitUntil([&] { return !window->deviceJobRunning(); }));
    QVERIFY(!QFile::exists(second));
}

void TestReadback::refusesAnUncreatablePath() {
    window = openWindow();
    const QString path = dir->filePath(QStringLiteral("missing/flash.bin"));
    QVERIFY(!window->startFlashBackup(path));
    QCOMPARE(answerer->count(), 1);
    QVERIFY(answerer->texts()[0].contains(QDir::toNativeSeparators(path)));
    QCOMPARE(flashReadRequests(), 0);
    QVERIFY(!window->saveDataWorker->isRunning());
}

void TestReadback::unopenableFileEndsBeforeReading() {
    window = openWindow();
    // Bypasses the window's own check, as if the folder vanished meanwhile.
    window->saveDataPath = dir->filePath(QStringLiteral("missing/flash.bin"));
    backupEnded = false;
    window->saveDataWorker->start();
    waitForBackupEnd();

    QCOMPARE(flashReadRequests(), 0);
    QCOMPARE(answerer->count(), 1);
    QVERIFY(
        answerer->texts()[0].startsWith(QStringLiteral("The backup file could not be written: ")));
    QVERIFY(!answerer->sawText(kSuccessText));
}

void TestReadback::contextMenuBacksUpToTheChosenFile() {
    window = openWindow();
    const QString chosen = dir->filePath(QStringLiteral("chosen"));
    answerer->answerFileDialog(chosen);
    backupEnded = false;
    // Picks the menu entry once the context menu is up.
    QTimer picker;
    connect(&picker, &QTimer::timeout, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions()) {
            if (action->text() == QStringLiteral("Back up device flash…"))
                menu->setActiveAction(action);
        }
        QTest::keyClick(menu, Qt::Key_Return);
    });
    picker.start(5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(100, 100),
                            window->mapToGlobal(QPoint(100, 100)));
    QApplication::sendEvent(window.get(), &event);
    picker.stop();
    waitForBackupEnd();

    QCOMPARE(answerer->seen().value(0).kind, QStringLiteral("file"));
    QCOMPARE(answerer->seen().value(0).title, QStringLiteral("Back up device flash"));
    QCOMPARE(readFile(chosen + QStringLiteral(".bin")).size(), int(emu::kFlashSize));
    QVERIFY(answerer->sawText(kSuccessText));
}

void TestReadback::privateFilesAreAlwaysOwnerOnly() {
    const auto writePrivately = [](const QString &path) {
        PrivateFile file(path);
        QString error;
        QVERIFY2(file.open(&error), qPrintable(error));
        QVERIFY(file.write("data"));
        QVERIFY(file.commit());
    };
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    const QString fresh = dir->filePath(QStringLiteral("fresh.bin"));
    writePrivately(fresh);
    QCOMPARE(QFile::permissions(fresh) & 0x7077, ownerOnly);
    writePrivately(fresh);
    QCOMPARE(QFile::permissions(fresh) & 0x7077, ownerOnly);
    // An earlier file readable by everyone does not hand its mode on to the
    // PIN and account ID written over it.
    const QString shared = dir->filePath(QStringLiteral("shared.bin"));
    writeFile(shared, "old");
    QVERIFY(QFile::setPermissions(shared, ownerOnly | QFile::ReadGroup | QFile::WriteGroup |
                                              QFile::ReadOther | QFile::WriteOther));
    writePrivately(shared);
    QCOMPARE(QFile::permissions(shared) & 0x7077, ownerOnly);
    QCOMPARE(readFile(shared), QByteArray("data"));
}

void TestReadback::onlyRegularFilesAndNewNamesAreWritten() {
#ifdef Q_OS_UNIX
    // Each is refused with what it is, before the device is read, and is left
    // as it was: a device node (as root, the write used to replace it), a
    // FIFO, a folder, and links to a file of the user's, to nothing and to
    // the terminal or pipe behind /dev/stdout.
    const QString fifo = dir->filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString folder = dir->filePath(QStringLiteral("folder"));
    QVERIFY(QDir().mkpath(folder));
    const QString target = dir->filePath(QStringLiteral("target.bin"));
    writeFile(target, "keep");
    const QString link = dir->filePath(QStringLiteral("link.bin"));
    QVERIFY(QFile::link(target, link));
    const QString dangling = dir->filePath(QStringLiteral("dangling.bin"));
    QVERIFY(QFile::link(dir->filePath(QStringLiteral("nothing")), dangling));
    const QList<QPair<QString, QString>> refused{
        {QStringLiteral("/dev/null"), QStringLiteral("it is a character device node")},
        {fifo, QStringLiteral("it is a FIFO (named pipe)")},
        {folder, QStringLiteral("it is a folder")},
        {link, QStringLiteral("it is a symbolic link (to a regular file)")},
        {dangling, QStringLiteral("it is a symbolic link (to a missing file)")},
        {QStringLiteral("/dev/stdout"), QStringLiteral("it is a symbolic link (to ")},
    };
    for (const auto &[path, why] : refused) {
        QString reason;
        QVERIFY2(!readback::canCreate(path, &reason), qPrintable(path));
        QVERIFY2(reason.startsWith(why), qPrintable(path + ": " + reason));
    }
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readFile(target), QByteArray("keep"));
    struct stat node {};
    QCOMPARE(::stat("/dev/null", &node), 0);
    QVERIFY(S_ISCHR(node.st_mode));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QStringList({"dangling.bin", "fifo", "link.bin", "target.bin"}));

    // The window says so too, and never starts reading.
    window = openWindow();
    QVERIFY(!window->startFlashBackup(fifo));
    QCOMPARE(answerer->texts(),
             QStringList{QStringLiteral("The backup file \"%1\" cannot be created: it is a FIFO "
                                        "(named pipe); only a regular file or a new name is "
                                        "written")
                             .arg(fifo)});
    QCOMPARE(flashReadRequests(), 0);
#else
    QSKIP("special files are checked on POSIX systems");
#endif
}

void TestReadback::fileThatCannotBeReplacedIsRefusedBeforeReading() {
#ifdef Q_OS_UNIX
    // In a sticky folder (as /tmp is) the rename that ends the write cannot
    // replace another user's file, even one everybody may write into; that
    // must be said before the flash is read, not after a minute.
    const passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        QSKIP("needs root, to act as \"nobody\" beside a file of root's");
    QVERIFY(::chmod(QFile::encodeName(dir->path()).constData(), 01777) == 0);
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    writeFile(path, "root's");
    QVERIFY(QFile::setPermissions(path, QFile::Permissions(0x6666)));
    window = openWindow();
    QVERIFY(::seteuid(nobody->pw_uid) == 0);
    QString reason;
    const bool created = readback::canCreate(path, &reason);
    const bool started = window->startFlashBackup(path);
    QVERIFY(::seteuid(0) == 0);
    QVERIFY(!created);
    QVERIFY2(reason.contains(QStringLiteral("cannot be replaced")), qPrintable(reason));
    QVERIFY(!started);
    QCOMPARE(flashReadRequests(), 0);
    QCOMPARE(readFile(path), QByteArray("root's"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"flash.bin"});
#else
    QSKIP("sticky folders are a POSIX matter");
#endif
}

void TestReadback::linkSwappedInIsNeverFollowed() {
#ifdef Q_OS_LINUX
    // Someone keeps exchanging the backup's name with a link to a file
    // elsewhere while backups and saved logs run: each may be refused or may
    // replace the name, but the file elsewhere and its folder stay as they were.
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    writeFile(victim, "the victim's own");
    const QByteArray target = QFile::encodeName(victim);
    const QString path = dir->filePath(QStringLiteral("flash.bin"));
    const QByteArray name = QFile::encodeName(path);
    const QByteArray other = QFile::encodeName(dir->filePath(QStringLiteral("swapped")));
    writeFile(path, "mine");
    QVERIFY(::symlink(target.constData(), other.constData()) == 0);
    const auto isLink = [](const QByteArray &entry) {
        struct stat status {};
        return ::lstat(entry.constData(), &status) == 0 && S_ISLNK(status.st_mode);
    };
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            (void)::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, other.constData(),
                              RENAME_EXCHANGE);
            if (!isLink(name) && !isLink(other)) { // a backup replaced the link
                ::unlink(other.constData());
                (void)!::symlink(target.constData(), other.constData());
            }
        }
    });
    hid_device *handle = hid_open_path(fixture::kDevicePath.c_str());
    DeviceChannel channel(handle);
    for (int attempt = 0; attempt < 300; ++attempt)
        readback::backUpFlash(channel, path, readback::ReadObserver());
    // A backup spends almost all its time reading the flash; saving the log
    // goes through the same file code and meets the swapper far more often.
    QString ignored;
    for (int attempt = 0; attempt < 20000; ++attempt)
        MessageLog::saveTo(path, &ignored);
    stop = true;
    swapper.join();
    channel.close();
    QCOMPARE(readFile(victim), QByteArray("the victim's own"));
    QCOMPARE(QDir(elsewhere.path())
                 .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System),
             QStringList{"victim"});
#else
    QSKIP("exchanging two names at once is a Linux call");
#endif
}

QTEST_MAIN(TestReadback)
#include "test_readback.moc"
