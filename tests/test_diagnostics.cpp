// The in-memory diagnostic log and the window's background menu that saves it.
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

#include "EmulatorReplay.h"
#include "ReplayFile.h"
#include "account/PythonResolver.h"
#include "common/LogRedaction.h"
#include "common/MessageLog.h"
#include "device/RecordingReader.h"
#include "device/SessionRecorder.h"
#include "firmware/WorkerThreadForFW.h"
#include "readback/WorkerThreadForSaveData.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"
#include "ui/Messages.h"

namespace {

// Picks `entry` from the next popup menu that opens.
void chooseFromNextMenu(const QString &entry, QStringList *entriesSeen) {
    QTimer::singleShot(50, [entry, entriesSeen] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions()) {
            *entriesSeen << action->text();
            if (action->text() == entry) {
                menu->close();
                action->trigger();
                return;
            }
        }
        menu->close();
    });
}

void openBackgroundMenu(MainWindow *window) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(30, 300),
                            window->mapToGlobal(QPoint(30, 300)));
    QApplication::sendEvent(window, &event);
}

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A resolver that fails the way a careless replacement module might, quoting
// the address, the code, a token answer and the client secret, unless the
// address asks for success.
const char *const kLeakyResolver =
    "import os\n"
    "def getpsnid(url):\n"
    "    if 'ok' in url:\n"
    "        return 'ZXhhbXBsZTE='\n"
    "    import urllib.parse\n"
    "    code = urllib.parse.parse_qs(url.split('?', 1)[1])['code'][0]\n"
    "    raise ValueError('token answer {\"access_token\": \"tok-5ecr3t-value\"} for ' + url +\n"
    "                     ' (decoded ' + code + ')' +\n"
    "                     ' with client_secret=' + os.environ['CORVANE_CLIENT_SECRET'] +\n"
    "                     ' Authorization: Bearer tok-5ecr3t-value')\n";

// The window's Save, firmware update and flash backup, one after the other,
// with their dialogs answered; returns the texts of the boxes they showed.
QStringList saveUpdateAndBackUp(MainWindow *window, DialogAnswerer &answerer,
                                const QTemporaryDir &dir) {
    const int before = answerer.count();
    window->editPsnId->setText(QStringLiteral("QUJDREVGR0g="));
    window->editPin->setText(QStringLiteral("12345678"));
    window->slotPushButtonRunSaveData();
    const QString image = dir.filePath(QStringLiteral("image.bin"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(5 * 512 + 7, '\xA5')) < 0)
        return {};
    file.close();
    answerer.answerFileDialog(image);
    window->slotPushButtonLoadFW();
    const int beforeUpdate = answerer.count();
    window->slotPushButtonRunUpdateFW();
    if (!fixture::waitUntil(
            [&] { return window->fwWorker->isFinished() && answerer.count() > beforeUpdate; }))
        return {};
    // The flash reads start after the first block answered late by 300 ms.
    emu::answerLate(fixture::kDevicePath, emu::requestCount(fixture::kDevicePath) + 3, 300);
    const int beforeBackup = answerer.count();
    QStringList entries;
    answerer.answerFileDialog(dir.filePath(QStringLiteral("backup.bin")));
    chooseFromNextMenu(QStringLiteral("Back up device flash…"), &entries);
    openBackgroundMenu(window);
    if (!fixture::waitUntil([&] {
            return window->saveDataWorker->isFinished() && answerer.count() > beforeBackup + 1;
        }))
        return {};
    QStringList texts;
    for (const SeenDialog &dialog : answerer.seen().mid(before))
        if (dialog.kind == QLatin1String("message"))
            texts << dialog.text;
    return texts;
}

} // namespace

class TestDiagnostics : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        MessageLog::install();
        watchMessageBoxes();
    }
    void init() {
        MessageLog::clear();
        fixture::resetEmulation();
    }

    void keepsOnlyTheNewestLines() {
        for (int i = 0; i < MessageLog::kMaxLines + 25; ++i)
            qDebug("line %d", i);
        const QStringList lines = MessageLog::lines();
        QCOMPARE(lines.size(), MessageLog::kMaxLines);
        QVERIFY(lines.first().endsWith(QStringLiteral(" line 25")));
        QVERIFY(lines.last().endsWith(QStringLiteral(" line %1").arg(MessageLog::kMaxLines + 24)));
    }

    void savingReportsFailures() {
        QTemporaryDir dir;
        qDebug("hid_init() fail");
        QString error;
        QVERIFY(MessageLog::saveTo(dir.filePath(QStringLiteral("log.txt")), &error));
        QFile saved(dir.filePath(QStringLiteral("log.txt")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("hid_init() fail"));
        QCOMPARE(saved.permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(!MessageLog::saveTo(dir.filePath(QStringLiteral("missing/log.txt")), &error));
        QVERIFY(!error.isEmpty());
        // A link is not followed: the file it points to keeps its text.
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("log.txt")),
                            dir.filePath(QStringLiteral("link.txt"))));
        QVERIFY(!MessageLog::saveTo(dir.filePath(QStringLiteral("link.txt")), &error));
        QVERIFY2(error.startsWith(QStringLiteral("it is a symbolic link")), qPrintable(error));
        QCOMPARE(saved.size(), QFileInfo(dir.filePath(QStringLiteral("log.txt"))).size());
    }

    void backgroundMenuSavesTheLog() {
        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        window->show();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("diagnostics.txt"));
        DialogAnswerer answerer;
        answerer.answerFileDialog(path);
        QStringList entries;
        chooseFromNextMenu(QStringLiteral("Save diagnostic log…"), &entries);
        openBackgroundMenu(window.get());
        QVERIFY(fixture::waitUntil([&] { return QFile::exists(path); }, 5000));
        QCOMPARE(entries, QStringList({QStringLiteral("Back up device flash…"),
                                       QStringLiteral("Save diagnostic log…")}));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("current pid:2203"));
        QCOMPARE(emu::misuseCount(), 0);
    }

    // What the window did with the accessory, recorded from its background
    // menu, replays in a fresh window to the same boxes and the same backup.
    void recordedWindowSessionReplaysTheSameWay() {
        QTemporaryDir dir;
        const QString recordingPath = dir.filePath(QStringLiteral("session"));
        fixture::attachStandardDevice();
        QStringList recordedTexts;
        QByteArray recordedBackup;
        {
            auto window = fixture::makeWindow();
            window->show();
            DialogAnswerer answerer;
            answerer.answerFileDialog(recordingPath);
            QStringList entries;
            chooseFromNextMenu(QStringLiteral("Record device session…"), &entries);
            openBackgroundMenu(window.get());
            QVERIFY(fixture::waitUntil([] { return recording::active() != nullptr; }, 5000));
            recordedTexts = saveUpdateAndBackUp(window.get(), answerer, dir);
            QCOMPARE(recordedTexts, QStringList({QStringLiteral("Save data successfully!"),
                                                 QStringLiteral("Download firmware successfully!"),
                                                 QStringLiteral("Save data successfully!")}));
            chooseFromNextMenu(QStringLiteral("Record device session…"), &entries);
            openBackgroundMenu(window.get());
            QVERIFY(fixture::waitUntil([] { return recording::active() == nullptr; }, 5000));
            QVERIFY(fixture::waitUntil([&] {
                return answerer.texts().filter(QStringLiteral("holds flash contents")).size() == 1;
            }));
        }
        recordedBackup = readAll(dir.filePath(QStringLiteral("backup.bin")));
        QCOMPARE(recordedBackup.size(), int(emu::kFlashSize));
        QFile::remove(dir.filePath(QStringLiteral("backup.bin")));
        const QString saved = recordingPath + QStringLiteral(".jsonl");
        QString error;
        const auto recorded = recording::load(saved, &error);
        QVERIFY2(recorded, qPrintable(error));
        QVERIFY(recorded->header.holdsFlash);
        QCOMPARE(recorded->header.device->productId, uint16_t(0x2203));
        QVERIFY(!readAll(saved).contains("QUJDREVGR0g="));

        fixture::resetEmulation();
        QVERIFY2(demo::startReplay(saved, true, &error), qPrintable(error));
        {
            auto window = fixture::makeWindow();
            window->show();
            DialogAnswerer answerer;
            QCOMPARE(saveUpdateAndBackUp(window.get(), answerer, dir), recordedTexts);
        }
        QVERIFY(emu::replayFailures().empty());
        QCOMPARE(emu::replayedExchanges(), emu::scriptedExchanges());
        QCOMPARE(readAll(dir.filePath(QStringLiteral("backup.bin"))), recordedBackup);
        QCOMPARE(emu::misuseCount(), 0);
    }

    void redactsCredentialShapes_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("saved");
        QTest::newRow("result line") << "resultgetpsnid:anything at all"
                                     << "resultgetpsnid:[account ID]";
        QTest::newRow("bare account ID") << "stored AQIDBAUGBwg= here"
                                         << "stored [account ID] here";
        QTest::newRow("query values")
            << "https://h/r?state=1&code=v3Ry&x=2#access_token=t0k"
            << "https://h/r?state=1&code=[removed]&x=2#access_token=[removed]";
        QTest::newRow("ini line") << "client_secret = s3cr3t;"
                                  << "client_secret = [removed];";
        QTest::newRow("JSON and dict text")
            << "{\"refresh_token\": \"a\\\"b\", 'id_token':'c'}"
            << "{\"refresh_token\": \"[removed]\", 'id_token':'[removed]'}";
        QTest::newRow("escaped JSON")
            << "reply: \"{\\\"access_token\\\":\\\"eyJ.s3cr3t\\\",\\\"x\\\":1}\""
            << "reply: \"{\\\"access_token\\\":\\\"[removed]\\\",\\\"x\\\":1}\"";
        QTest::newRow("colon form")
            << "access_token: t0k3n, client_secret:s3cr3t} code: 400"
            << "access_token: [removed], client_secret:[removed]} code: 400";
        QTest::newRow("value in brackets") << "client_secret=[s3cr3t] code=[removed]"
                                           << "client_secret=[removed] code=[removed]";
        QTest::newRow("header") << "Authorization: Bearer abc.def-ghi"
                                << "Authorization: Bearer [removed]";
        QTest::newRow("trace lines stay") << "current pid:2203 file step:3 HasReadBytes:00000200"
                                          << "current pid:2203 file step:3 HasReadBytes:00000200";
        // Longest first, and a mask already written is not taken apart.
        QTest::newRow("noted values") << "abcdefgh then abcd then code=abcd"
                                      << "[pasted address] then [PIN] then code=[PIN]";
    }

    void redactsCredentialShapes() {
        QFETCH(QString, line);
        QFETCH(QString, saved);
        LogRedaction::forgetNotedValues();
        LogRedaction::notePrivate(LogRedaction::PrivateKind::Pin, QStringLiteral("abcd"));
        LogRedaction::notePrivate(LogRedaction::PrivateKind::PastedText,
                                  QStringLiteral("abcdefgh"));
        LogRedaction::notePrivate(LogRedaction::PrivateKind::Pin, QStringLiteral("ab"));
        QCOMPARE(LogRedaction::redact(line), saved);
    }

    // After a failed and a successful Paste and a Save, the saved log tells
    // what the user saw and on which system, and holds no private value.
    void savedLogAfterPasteAndSaveHoldsNoPrivateValue() {
        QTemporaryDir work;
        QVERIFY(QDir().mkpath(work.filePath(QStringLiteral("Python37/Lib"))));
        QFile resolver(work.filePath(QStringLiteral("Python37/Lib/PSNID.py")));
        QVERIFY(resolver.open(QIODevice::WriteOnly));
        resolver.write(kLeakyResolver);
        resolver.close();
        PythonResolver::setProgramFolder(work.path());
        qputenv("CORVANE_CLIENT_SECRET", "cl13nt-s3cret");
        const QString failing = QStringLiteral("https://r.example/redirect?code=c0de%2Bf1rst&s=1");
        const QString succeeding = QStringLiteral("https://r.example/redirect?code=c0de-ok-2nd");

        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        DialogAnswerer answerer;
        for (const QString &pasted : {failing, succeeding}) {
            QGuiApplication::clipboard()->setText(pasted);
            window->slotPushButtonPastePSNID();
            QVERIFY(fixture::waitUntil([&] { return !window->pasteInProgress(); }));
        }
        QCOMPARE(window->editPsnId->text(), QStringLiteral("ZXhhbXBsZTE="));
        window->editPin->setText(QStringLiteral("86420135"));
        window->slotPushButtonRunSaveData();
        const std::vector<uint8_t> pin = emu::record(fixture::kDevicePath, "rp.pin");
        QCOMPARE(std::string(pin.begin(), pin.end()), std::string("86420135"));

        const QString path = work.filePath(QStringLiteral("support"));
        answerer.clear();
        answerer.answerFileDialog(path);
        chooseFromNextMenu(QStringLiteral("Save diagnostic log…"), new QStringList);
        openBackgroundMenu(window.get());
        QVERIFY(fixture::waitUntil([&] { return answerer.count() == 2; }, 5000));
        PythonResolver::setProgramFolder(QString());
        qunsetenv("CORVANE_CLIENT_SECRET");

        QCOMPARE(answerer.seen().at(0).directory, QDir::homePath());
        QCOMPARE(answerer.seen().at(1).text,
                 "The diagnostic log was saved to " + QDir::toNativeSeparators(path + ".txt"));
        const QByteArray saved = readAll(path + ".txt");
        const QList<QByteArray> lines = saved.split('\n');
        QCOMPARE(lines.value(0), QByteArray("Corvane diagnostic log"));
        QVERIFY(lines.value(1).startsWith("Program: Corvane 1."));
        QVERIFY(lines.value(2).startsWith("Qt: " + QByteArray(qVersion())));
        QVERIFY(lines.value(3).startsWith("System: "));
        QCOMPARE(lines.value(4), QByteArray("Accessory: product 2203 at /dev/hidraw-emulated0, "
                                            "version V1.2.0 emulated"));
        QVERIFY(lines.value(5).startsWith("Saved: " +
                                          QDate::currentDate().toString(Qt::ISODate).toLatin1()));
        QVERIFY(saved.contains(" message box: Error: The account ID could not be resolved: "));
        QVERIFY(saved.contains(" message box: Success: Save data successfully!\n"));
        QVERIFY(saved.contains(" resultgetpsnid:[account ID]\n"));
        for (const char *secret :
             {"ZXhhbXBsZTE=", "AQIDBAUGBwg=", "12345678", "86420135", "c0de%2Bf1rst", "c0de+f1rst",
              "c0de-ok-2nd", "r.example/redirect", "cl13nt-s3cret", "tok-5ecr3t-value"})
            QVERIFY2(!saved.contains(secret), secret);
        // The console still gets the line as it always was.
        QVERIFY(MessageLog::lines().filter(QStringLiteral("resultgetpsnid:ZXhhbXBsZTE=")).size() ==
                1);
    }
};

QTEST_MAIN(TestDiagnostics)
#include "test_diagnostics.moc"
