#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <cstdio>

#include "account/PythonResolver.h"
#include "account/ResolverRun.h"
#include "support/DialogAnswerer.h"
#include "support/TokenServerScript.h"
#include "support/WindowFixture.h"

#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

namespace {

const QString kEcho = QStringLiteral("def getpsnid(url):\n    return url\n");
const QString kRedirect =
    QStringLiteral("https://redirect.example.net/remoteplay/redirect?code=abc");
const QString kStaleId = QStringLiteral("AQIDBAUGBwg="); // what the window read from the device

QString module(const QString &body) {
    return QStringLiteral("def getpsnid(url):\n    %1\n").arg(body);
}

qint64 residentBytes() {
#ifdef Q_OS_LINUX
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
#else
    return -1;
#endif
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

} // namespace

class TestPaste : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void clipboardWithoutCodeNeverStartsPython_data();
    void clipboardWithoutCodeNeverStartsPython();
    void resolverOutcomes_data();
    void resolverOutcomes();
    void moduleFoldersComeAfterTheStandardLibrary();
    void plantedPythonInWorkingFolderIsNotRun();
    void resolverSeesTheProgramsSettings();
    void slowServerLeavesTheWindowAnswering();
    void tricklingServerIsEndedByTheDeadline();
    void lateResultIsDroppedAndNextPressWaits();
    void closingDuringAPressIsRefused();
    void saveWaitsForPasteAndTypedTextWins();
    void bundledStandardLibraryBecomesHome();
    void foreignPython37FolderDoesNotBreakStart();
    void realModuleStaysStableOver50Presses();

private:
    void writeModule(const QString &source);
    void press(const QString &clipboardText);
    void useRealModuleAndServer(QProcess *server, const QStringList &timing = {});

    std::unique_ptr<QTemporaryDir> workDir_;  // stands for the program's folder
    std::unique_ptr<QTemporaryDir> startDir_; // the working directory
    QString previousDir_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<DialogAnswerer> answerer_;
    std::unique_ptr<LogCapture> log_;
    bool pasteEnabledWhileBoxShown_ = false;
};

void TestPaste::init() {
    fixture::attachStandardDevice();
    previousDir_ = QDir::currentPath();
    workDir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(workDir_->filePath("Python37/Lib")));
    PythonResolver::setProgramFolder(workDir_->path());
    startDir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir::setCurrent(startDir_->path()));
    window_ = fixture::makeWindow();
    QCOMPARE(window_->editPsnId->text(), kStaleId);
    answerer_ = std::make_unique<DialogAnswerer>();
    log_ = std::make_unique<LogCapture>();
    pasteEnabledWhileBoxShown_ = false;
}

void TestPaste::cleanup() {
    log_.reset();
    answerer_.reset();
    window_.reset();
    QDir::setCurrent(previousDir_);
    PythonResolver::setProgramFolder(QString());
    startDir_.reset();
    workDir_.reset();
    for (const char *name : {"CORVANE_AUTH_HOST", "CORVANE_REDIRECT_HOST", "CORVANE_CLIENT_SECRET",
                             "CORVANE_HTTP_TIMEOUT"})
        qunsetenv(name);
    QVERIFY(!PythonResolver::interpreterRunning());
    QCOMPARE(emu::misuseCount(), 0);
}

void TestPaste::writeModule(const QString &source) {
    QFile file(workDir_->filePath("Python37/Lib/PSNID.py"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(source.toUtf8());
}

void TestPaste::press(const QString &clipboardText) {
    QGuiApplication::clipboard()->setText(clipboardText);
    answerer_->onEachDialog([this](const SeenDialog &) {
        if (window_->btnPaste->isEnabled())
            pasteEnabledWhileBoxShown_ = true;
    });
    window_->slotPushButtonPastePSNID();
    QVERIFY(fixture::waitUntil([this] { return !window_->pasteInProgress(); }, 60000));
    QVERIFY(window_->btnPaste->isEnabled());
    // A run given up at the press's deadline (the machine too busy for the
    // resolver's own, earlier one to end it) may still be finishing.
    const QString givenUp = ResolverRun::timeoutMessage(0).section(QLatin1Char('('), 0, 0);
    for (const SeenDialog &box : answerer_->seen()) {
        if (box.text.startsWith(givenUp))
            QVERIFY(fixture::waitUntil([] { return !PythonResolver::interpreterRunning(); }, 60000));
    }
    QVERIFY(!PythonResolver::interpreterRunning());
    QVERIFY(!pasteEnabledWhileBoxShown_);
    // The module's folder may be read-only or another user's: nothing is written there.
    QVERIFY(!QFileInfo::exists(workDir_->filePath("Python37/Lib/__pycache__")));
}

void TestPaste::clipboardWithoutCodeNeverStartsPython_data() {
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    const QString noCode = QStringLiteral("Copy Error, Copy the URL from the address bar First");
    QTest::newRow("empty") << QString() << "Copy"
                           << "copy the URL from the address bar First";
    QTest::newRow("no code") << "https://redirect.example.net/remoteplay/redirect?x=1"
                             << "Copy Error" << noCode;
    QTest::newRow("capital Code") << "https://redirect.example.net/?Code=abc"
                                  << "Copy Error" << noCode;
    // Refused before Python: it would spend seconds and memory on it.
    const QString tooLong = QStringLiteral(
        "Copy Error, the copied text is longer than 64 KiB, so it is not the address of the "
        "sign-in page; Copy the URL from the address bar First");
    QTest::newRow("over 64 KiB") << kRedirect + QString(64 * 1024, QLatin1Char('x')) << "Copy Error"
                                 << tooLong;
    QTest::newRow("over 64 KiB in UTF-8")
        << kRedirect + QString(22 * 1024, QChar(0x20AC)) << "Copy Error" << tooLong;
}

void TestPaste::clipboardWithoutCodeNeverStartsPython() {
    QFETCH(QString, clipboard);
    QFETCH(QString, title);
    QFETCH(QString, text);
    writeModule(kEcho);
    press(clipboard);
    QCOMPARE(answerer_->count(), 1);
    QCOMPARE(answerer_->seen().at(0).title, title);
    QCOMPARE(answerer_->seen().at(0).text, text);
    QCOMPARE(answerer_->seen().at(0).buttons.size(), 1);
    QVERIFY(window_->editPsnId->text().isEmpty());
    QVERIFY(log_->lines().filter("resultgetpsnid:").isEmpty());
}

void TestPaste::resolverOutcomes_data() {
    QTest::addColumn<QString>("source"); // null: no module file at all
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("expectedId");
    QTest::addColumn<QString>("boxText"); // start of the one box expected; null: none
    const QString unresolved = QStringLiteral("The account ID could not be resolved: ");
    const QString notLoaded =
        QStringLiteral("The account ID resolver (PSNID) could not be loaded: ");
    const QString noFunction =
        QStringLiteral("The account ID resolver (PSNID) has no getpsnid function.");
    const QString tooShort = QStringLiteral("psn id may be wrong, please check it!");
    const QString none;

    QTest::newRow("account id") << module("return 'AQAAAAAAAAA='") << kRedirect
                                << "AQAAAAAAAAA=" << none;
    QTest::newRow("4 bytes") << module("return 'abcd'") << kRedirect << "" << tooShort;
    QTest::newRow("5 bytes") << module("return 'abcde'") << kRedirect << "abcde" << none;
    QTest::newRow("3 chars, 6 bytes")
        << module("return '\u00e4\u00f6\u00fc'") << kRedirect << "\u00e4\u00f6\u00fc" << none;
    QTest::newRow("non-ASCII arrives intact")
        << kEcho << QString::fromUtf8("https://x/?code=\u00e9\u20ac\U0001F600")
        << QString::fromUtf8("https://x/?code=\u00e9\u20ac\U0001F600") << none;
    QTest::newRow("code= alone") << kEcho << "code="
                                 << "code=" << none;
    QTest::newRow("xcode=1") << kEcho << "xcode=1"
                             << "xcode=1" << none;
    QTest::newRow("ValueError") << module("raise ValueError('nope')") << kRedirect << ""
                                << unresolved + "nope";
    QTest::newRow("SystemExit") << module("raise SystemExit(3)") << kRedirect << ""
                                << unresolved + "SystemExit: 3";
    QTest::newRow("not text") << module("return 42") << kRedirect << ""
                              << unresolved + "the resolver returned int instead of text.";
    QTest::newRow("no getpsnid") << "x = 1\n" << kRedirect << "" << noFunction;
    QTest::newRow("getpsnid not callable") << "getpsnid = 'x'\n" << kRedirect << "" << noFunction;
    QTest::newRow("syntax error") << "def getpsnid(url) return url\n"
                                  << kRedirect << ""
                                  << notLoaded + "expected ':' (PSNID.py, line 1)";
    QTest::newRow("SystemExit on import") << "raise SystemExit(0)\n"
                                          << kRedirect << "" << notLoaded + "SystemExit: 0";
    QTest::newRow("no module") << QString() << kRedirect << ""
                               << notLoaded + "No module named 'PSNID'";
}

void TestPaste::resolverOutcomes() {
    QFETCH(QString, source);
    QFETCH(QString, clipboard);
    QFETCH(QString, expectedId);
    QFETCH(QString, boxText);
    if (!source.isNull())
        writeModule(source);
    press(clipboard);
    QCOMPARE(window_->editPsnId->text(), expectedId);
    if (boxText.isNull()) {
        QCOMPARE(answerer_->count(), 0);
    } else {
        QCOMPARE(answerer_->count(), 1);
        QCOMPARE(answerer_->seen().at(0).title, QStringLiteral("Error"));
        QVERIFY2(answerer_->seen().at(0).text.startsWith(boxText),
                 qPrintable(answerer_->seen().at(0).text));
    }
    const bool loaded = !boxText.startsWith("The account ID resolver (PSNID) could not");
    QCOMPARE(log_->contains(QStringLiteral("load pModule(PSNID) fail!")), !loaded);
    if (!expectedId.isEmpty() || boxText.startsWith("psn id"))
        QCOMPARE(log_->lines().filter("resultgetpsnid:").size(), 1);
}

void TestPaste::moduleFoldersComeAfterTheStandardLibrary() {
    // The user's PYTHONPATH and PYTHONHOME must not reach the interpreter; file
    // names are UTF-8; a json.py beside the resolver does not replace the
    // standard one; the site module runs.
    qputenv("PYTHONPATH", "/elsewhere");
    qputenv("PYTHONHOME", "/elsewhere");
    QFile planted(workDir_->filePath("Python37/Lib/json.py"));
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.write("raise ImportError('the planted json.py was imported')\n");
    planted.close();
    writeModule(module("import sys, json; folders = [p for p in sys.path if "
                       "p.endswith(('Python37/Lib', 'corvane/python'))]; "
                       "first = sys.path.index(folders[0]); "
                       "stdlib = [i for i, p in enumerate(sys.path) if p.endswith('python3.11')]; "
                       "return '|'.join(folders + ['isolated=%d utf8=%d elsewhere=%d site=%d "
                       "after=%d' % (sys.flags.isolated, sys.flags.utf8_mode, "
                       "any(p.startswith('/elsewhere') for p in sys.path), 'site' in sys.modules, "
                       "bool(stdlib) and first > stdlib[0])])"));
    for (int i = 0; i < 2; ++i)
        press(kRedirect);
    qunsetenv("PYTHONPATH");
    qunsetenv("PYTHONHOME");
    QCOMPARE(answerer_->texts(), QStringList());
    const QStringList parts = window_->editPsnId->text().split('|');
    QCOMPARE(parts.size(), 3);
    QCOMPARE(parts.at(0), workDir_->filePath("Python37/Lib"));
    QVERIFY2(parts.at(1).endsWith("corvane/python"), qPrintable(parts.at(1)));
    QCOMPARE(parts.at(2), QStringLiteral("isolated=1 utf8=1 elsewhere=0 site=1 after=1"));
}

void TestPaste::plantedPythonInWorkingFolderIsNotRun() {
    // Whoever can write the folder the program is started from (a download
    // folder, /tmp) plants a resolver and a whole interpreter home there;
    // neither is used, and the folder is not on the module path at all.
    const QDir start(startDir_->path());
    QVERIFY(start.mkpath("Python37/Lib"));
    const QString marker = start.filePath("planted-ran");
    QFile planted(start.filePath("Python37/Lib/PSNID.py"));
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.write(QStringLiteral("open(%1, 'w').close()\n"
                                 "def getpsnid(url):\n    return 'planted-id'\n")
                      .arg(QLatin1String("'") + marker + QLatin1String("'"))
                      .toUtf8());
    planted.close();
#ifdef Q_OS_LINUX
    if (QFile::exists("/usr/lib/python3.11/os.py")) {
        QVERIFY(start.mkpath("Python37/lib"));
        QVERIFY(QFile::link("/usr/lib/python3.11", start.filePath("Python37/lib/python3.11")));
    }
#endif
    writeModule(module("import sys; return 'genuine:' + sys.prefix + '|' + "
                       "str([p for p in sys.path if p.startswith(" +
                       QLatin1String("'") + start.path() + QLatin1String("'") + ")])"));
    QCOMPARE(PythonResolver::modulePath(), workDir_->filePath("Python37/Lib/PSNID.py"));
    press(kRedirect);
    QCOMPARE(answerer_->texts(), QStringList());
    const QString shown = window_->editPsnId->text();
    QVERIFY2(shown.startsWith("genuine:") && shown.endsWith("|[]"), qPrintable(shown));
    QVERIFY2(!shown.contains(start.path()), qPrintable(shown));
    QVERIFY(!QFile::exists(marker));
}

void TestPaste::resolverSeesTheProgramsSettings() {
    // A file the two readers used to read differently: a secret before the
    // section, a line without "=", an indented and a duplicated key, CRLF.
    QFile ini(QString::fromLocal8Bit(qgetenv("CORVANE_CONFIG_DIR")) + "/corvane.ini");
    QVERIFY(QDir().mkpath(QFileInfo(ini).path()));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("\xEF\xBB\xBF"
              "client_secret = before-section\r\n[signin]\r\nno equals sign\r\n"
              "  auth_host = auth.example.net\r\nredirect_host = one.example.net\r\n"
              "redirect_host = \"two.example.net\"\r\nhttp_timeout = 12\r\n");
    ini.close();
    writeModule(module("import os; return '|'.join(os.environ.get(k, '-') for k in ("
                       "'CORVANE_SETTINGS_FILE', 'CORVANE_AUTH_HOST', 'CORVANE_REDIRECT_HOST', "
                       "'CORVANE_CLIENT_ID', 'CORVANE_CLIENT_SECRET', 'CORVANE_HTTP_TIMEOUT', "
                       "'CORVANE_RESOLVER_DEADLINE'))"));
    press(kRedirect);
    const SignInConfig config = loadSignInConfig();
    ini.remove();
    QCOMPARE(window_->editPsnId->text(),
             QStringList({config.filePath, config.authHost, config.redirectHost, config.clientId,
                          "-", "12", "11.5"})
                 .join('|'));
    QCOMPARE(config.redirectHost, QStringLiteral("two.example.net"));
    // Only the interpreter's copy of the environment was given the values.
    QVERIFY(qEnvironmentVariableIsEmpty("CORVANE_AUTH_HOST"));
    QVERIFY(qEnvironmentVariableIsEmpty("CORVANE_SETTINGS_FILE"));
}

void TestPaste::useRealModuleAndServer(QProcess *server, const QStringList &timing) {
    const QString serverFolder = QStringLiteral(CORVANE_SOURCE_DIR "/tests/python");
    for (const char *module : {"PSNID.py", "psnid_settings.py", "psnid_transport.py"}) {
        QVERIFY(QFile::copy(QStringLiteral(CORVANE_SOURCE_DIR "/account/python/") + module,
                            workDir_->filePath(QStringLiteral("Python37/Lib/") + module)));
    }
    server->start(QStringLiteral("python3"),
                  QStringList{"-c", kTokenServerScript, serverFolder} + timing);
    QVERIFY(server->waitForReadyRead(10000));
    qputenv("CORVANE_AUTH_HOST", "http://" + server->readLine().trimmed());
    qputenv("CORVANE_REDIRECT_HOST", "redirect.example.net");
    qputenv("CORVANE_CLIENT_SECRET", "secret");
    qputenv("no_proxy", "*");
}

void TestPaste::slowServerLeavesTheWindowAnswering() {
    QProcess server;
    useRealModuleAndServer(&server, {"1"}); // two requests: two seconds
    if (QTest::currentTestFailed())
        return;
    QElapsedTimer clock;
    qint64 lastTick = 0, longestGap = 0;
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] {
        const qint64 now = clock.elapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
        ++ticks;
    });
    bool pasteDisabledMeanwhile = true;
    connect(&timer, &QTimer::timeout, this, [&] {
        if (window_->pasteInProgress())
            pasteDisabledMeanwhile &= !window_->btnPaste->isEnabled();
    });
    QGuiApplication::clipboard()->setText(kRedirect);
    clock.start();
    timer.start(20);
    window_->slotPushButtonPastePSNID();
    QVERIFY(window_->pasteInProgress());
    QVERIFY(fixture::waitUntil([this] { return !window_->pasteInProgress(); }));
    timer.stop();
    const bool disabled = pasteDisabledMeanwhile;
    QVERIFY(window_->btnPaste->isEnabled());
    QCOMPARE(window_->editPsnId->text(), QStringLiteral("AQAAAAAAAAA="));
    QCOMPARE(answerer_->count(), 0);
    QVERIFY(disabled);
    // The timer kept firing while the server took its two seconds; a window
    // blocked by the press would show a single gap of two seconds.
    QVERIFY2(clock.elapsed() >= 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(longestGap < 1000 && ticks >= 20,
             qPrintable(QStringLiteral("gap %1 ms, %2 ticks").arg(longestGap).arg(ticks)));
    server.closeWriteChannel();
    QVERIFY(server.waitForFinished(10000));
}

void TestPaste::tricklingServerIsEndedByTheDeadline() {
    // Every byte comes within a fraction of a second, the whole answer would
    // take minutes: only one deadline for the whole press ends it.
    QProcess server;
    useRealModuleAndServer(&server, {"0", "0.2"});
    if (QTest::currentTestFailed())
        return;
    qputenv("CORVANE_HTTP_TIMEOUT", "2");
    QElapsedTimer clock;
    clock.start();
    press(kRedirect);
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(answerer_->count(), 1);
    QCOMPARE(answerer_->seen().at(0).title, QStringLiteral("Error"));
    QCOMPARE(answerer_->seen().at(0).icon, QMessageBox::Information);
    // The resolver's own message, or the press's if a busy machine let that
    // deadline pass first.
    QVERIFY2(answerer_->seen().at(0).text.contains("within 2 seconds"),
             qPrintable(answerer_->seen().at(0).text));
    QVERIFY(window_->editPsnId->text().isEmpty());
    server.closeWriteChannel();
    QVERIFY(server.waitForFinished(10000));
}

void TestPaste::lateResultIsDroppedAndNextPressWaits() {
    // The module outlives the press's deadline (a second) by another two.
    qputenv("CORVANE_HTTP_TIMEOUT", "1");
    writeModule(module("import time; time.sleep(3); return 'AQAAAAAAAAA='"));
    QGuiApplication::clipboard()->setText(kRedirect);
    window_->slotPushButtonPastePSNID();
    QVERIFY(fixture::waitUntil([this] { return answerer_->count() == 1; }));
    QCOMPARE(answerer_->seen().at(0).title, QStringLiteral("Error"));
    QCOMPARE(answerer_->seen().at(0).text, ResolverRun::timeoutMessage(1));
    QVERIFY(fixture::waitUntil([this] { return window_->btnPaste->isEnabled(); }));
    QVERIFY(PythonResolver::interpreterRunning());

    // A press while the abandoned run finishes is refused and starts nothing.
    window_->slotPushButtonPastePSNID();
    QCOMPARE(answerer_->count(), 2);
    QCOMPARE(
        answerer_->seen().at(1).text,
        QStringLiteral("The previous Paste is still finishing; please try again in a moment."));

    QVERIFY(fixture::waitUntil([] { return !PythonResolver::interpreterRunning(); }));
    QTest::qWait(100);
    QVERIFY(window_->editPsnId->text().isEmpty()); // the late ID was dropped
    QVERIFY(log_->contains("Paste: a result that came after the deadline was dropped"));

    qunsetenv("CORVANE_HTTP_TIMEOUT");
    writeModule(module("return 'AQAAAAAAAAA='"));
    press(kRedirect);
    QCOMPARE(window_->editPsnId->text(), QStringLiteral("AQAAAAAAAAA="));
    QCOMPARE(answerer_->count(), 2);
}

void TestPaste::closingDuringAPressIsRefused() {
    writeModule(module("import time; time.sleep(1.5); return 'AQAAAAAAAAA='"));
    window_->show();
    QGuiApplication::clipboard()->setText(kRedirect);
    window_->slotPushButtonPastePSNID();
    QVERIFY(window_->pasteInProgress());
    // A second press (through the slot: the button itself is disabled) is
    // refused without a second interpreter.
    window_->slotPushButtonPastePSNID();
    window_->slotPushButtonClose();
    window_->on_CloseTrayAction();
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    QVERIFY(window_->isVisible());
    QVERIFY(window_->pasteInProgress());
    const QString refusal = QStringLiteral(
        "Paste is still waiting for the sign-in server; please try again in a moment.");
    QCOMPARE(answerer_->texts(),
             QStringList({"The previous Paste is still finishing; please try again in a moment.",
                          refusal, refusal, refusal}));
    QVERIFY(fixture::waitUntil([this] { return !window_->pasteInProgress(); }));
    QCOMPARE(window_->editPsnId->text(), QStringLiteral("AQAAAAAAAAA="));
    QVERIFY(!PythonResolver::interpreterRunning());
}

// Save is refused while the Paste that emptied the field runs; what the user
// types meanwhile is kept over the late result, which is told instead.
void TestPaste::saveWaitsForPasteAndTypedTextWins() {
    writeModule(module("import time; time.sleep(1.5); return 'AQAAAAAAAAA='"));
    window_->show();
    QGuiApplication::clipboard()->setText(kRedirect);
    window_->slotPushButtonPastePSNID();
    QVERIFY(window_->pasteInProgress());
    emu::clearRequestLog();
    window_->slotPushButtonRunSaveData();
    QCOMPARE(answerer_->texts(),
             QStringList{"Paste is still looking up the account ID; please Save when it has "
                         "finished."});
    QVERIFY(emu::requestLog().empty());
    QTest::keyClicks(window_->editPsnId, QStringLiteral("TYPEDBYUSER"));
    QVERIFY(fixture::waitUntil([this] { return !window_->pasteInProgress(); }));
    QCOMPARE(window_->editPsnId->text(), QStringLiteral("TYPEDBYUSER"));
    QCOMPARE(answerer_->count(), 2);
    QCOMPARE(answerer_->seen().at(1).text,
             QStringLiteral("Paste found the account ID AQAAAAAAAAA=, but you typed into the "
                            "Account ID field meanwhile, so your text was kept."));
}

void TestPaste::bundledStandardLibraryBecomesHome() {
#ifdef Q_OS_LINUX
    const QString stdlib = QStringLiteral("/usr/lib/python3.11");
    if (!QFile::exists(stdlib + "/os.py"))
        QSKIP("no python3.11 standard library to bundle");
    QVERIFY(QDir().mkpath(workDir_->filePath("Python37/lib")));
    QVERIFY(QFile::link(stdlib, workDir_->filePath("Python37/lib/python3.11")));
    writeModule(module("import sys; return sys.prefix"));
    press(kRedirect);
    QCOMPARE(window_->editPsnId->text(), workDir_->filePath("Python37"));
#else
    QSKIP("bundle layout checked on Linux only");
#endif
}

void TestPaste::foreignPython37FolderDoesNotBreakStart() {
    // A Windows-layout bundle (Lib/os.py) is not a home for a POSIX interpreter.
    // Running right after the bundled-home test, this also shows that the
    // previous press's home (a folder deleted since) is not taken over.
    QFile landmark(workDir_->filePath("Python37/Lib/os.py"));
    QVERIFY(landmark.open(QIODevice::WriteOnly));
    landmark.close();
    writeModule(module("import sys; return 'prefix:' + sys.prefix"));
    press(kRedirect);
    QCOMPARE(answerer_->count(), 0);
    QVERIFY(window_->editPsnId->text().startsWith("prefix:"));
    QVERIFY(!window_->editPsnId->text().contains(workDir_->path()));
}

void TestPaste::realModuleStaysStableOver50Presses() {
    QProcess server;
    useRealModuleAndServer(&server);
    if (QTest::currentTestFailed())
        return;

    constexpr int kWarmUp = 5;
    constexpr int kPresses = 50;
    qint64 residentAfterWarmUp = 0;
    for (int i = 1; i <= kPresses; ++i) {
        press(kRedirect);
        QCOMPARE(window_->editPsnId->text(), QStringLiteral("AQAAAAAAAAA="));
        if (i == kWarmUp)
            residentAfterWarmUp = residentBytes();
    }
    const qint64 growth = residentBytes() - residentAfterWarmUp;
    server.closeWriteChannel();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.readAll().trimmed().toInt(), 2 * kPresses);
    QCOMPARE(answerer_->count(), 0);
    const double perPress = double(growth) / (kPresses - kWarmUp);
    std::fprintf(stderr,
                 "resident memory growth over %d presses with the real module: %lld bytes "
                 "(%.0f per press)\n",
                 kPresses - kWarmUp, static_cast<long long>(growth), perPress);
    if (residentAfterWarmUp > 0 && !sanitized())
        QVERIFY2(perPress < 1024 * 1024, "the interpreter leaks across presses");
}

QTEST_MAIN(TestPaste)
#include "test_paste.moc"
