#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QPushButton>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "account/PythonResolver.h"
#include "account/SignInConfig.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"

namespace {

const char *const kSignInVariables[] = {"CORVANE_AUTH_HOST", "CORVANE_REDIRECT_HOST",
                                        "CORVANE_CLIENT_ID", "CORVANE_CLIENT_SECRET"};

const QByteArray kDefaultAddress =
    "https://auth.example.net/2.0/oauth/authorize?service_entity=urn:service-entity:psn&"
    "response_type=code&client_id=00000000-0000-4000-8000-00000000c0de&"
    "redirect_uri=https://redirect.example.net/remoteplay/redirect&scope=psn:clientapp&"
    "request_locale=en_US&ui=pr&service_logo=ps&layout_type=popup&smcid=remoteplay&"
    "prompt=always&PlatformPrivacyWs1=minimal&";

void writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// Answers every HTTP request on 127.0.0.1 with a fixed body, then closes.
class TinyHttpServer : public QTcpServer {
public:
    explicit TinyHttpServer(const QByteArray &body) : body_(body) {
        connect(this, &QTcpServer::newConnection, this, &TinyHttpServer::answerNext);
        listen(QHostAddress::LocalHost, 0);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/info").arg(serverPort()); }

private:
    void answerNext() {
        QTcpSocket *socket = nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            request_ += socket->readAll();
            if (!request_.contains("\r\n\r\n"))
                return;
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                          QByteArray::number(body_.size()) + "\r\nConnection: close\r\n\r\n" +
                          body_);
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
    QByteArray body_;
    QByteArray request_;
};

} // namespace

// Stands in for the browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class TestSignin : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void configFolderRules();
    void fileValuesAndEnvironmentOverrides();
    void addressIsExact_data();
    void addressIsExact();
    void unusableHostsAreExplained_data();
    void unusableHostsAreExplained();

    void loginOpensTheExactAddress();
    void loginWithoutHostsExplainsWhatToSet();
    void loginWithoutBrowserOffersTheAddress();
    void enterPressesOnlyAFocusedButton();

    void replyBodyIsLoggedAndFreed();
    void refusedConnectionIsLogged();

private:
    std::unique_ptr<QTemporaryDir> configDir_;
    UrlCatcher catcher_;
};

void TestSignin::init() {
    for (const char *name : kSignInVariables)
        qunsetenv(name);
    configDir_ = std::make_unique<QTemporaryDir>();
    qputenv("CORVANE_CONFIG_DIR", QFile::encodeName(configDir_->path()));
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher_, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher_, "open");
    catcher_.opened.clear();
    fixture::attachStandardDevice();
}

void TestSignin::cleanup() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(emu::misuseCount(), 0);
}

void TestSignin::configFolderRules() {
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    QCOMPARE(signInConfigDir(), configDir_->path());
    QCOMPARE(loadSignInConfig().filePath,
             QDir::toNativeSeparators(configDir_->path() + "/corvane.ini"));
    qunsetenv("CORVANE_CONFIG_DIR");
    qputenv("XDG_CONFIG_HOME", "/srv/xdg");
    QCOMPARE(signInConfigDir(), QStringLiteral("/srv/xdg/Corvane"));
    qputenv("XDG_CONFIG_HOME", "relative/ignored");
    QCOMPARE(signInConfigDir(), QDir::homePath() + "/.config/Corvane");
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(signInConfigDir(), QDir::homePath() + "/.config/Corvane");
    if (!saved.isEmpty())
        qputenv("XDG_CONFIG_HOME", saved);
}

void TestSignin::fileValuesAndEnvironmentOverrides() {
    writeFile(configDir_->filePath("corvane.ini"),
              "\xEF\xBB\xBF# written by hand\n"
              "[DEFAULT]\nclient_id = 0123abcd-0000-4000-8000-00000000beef\nauth_host = "
              "default.example.net\n"
              "[other]\nauth_host = wrong.example.net\n"
              "[signin]\n"
              "; the test server\n"
              "Auth_Host: http://127.0.0.1:8765\n"
              "redirect_host = \"redirect.example.net\"\n"
              "client_secret = from-file\n"
              "[later]\nredirect_host = wrong.example.net\n");
    qputenv("CORVANE_CLIENT_SECRET", "from-env");
    qputenv("CORVANE_REDIRECT_HOST", "  ");
    SignInConfig config = loadSignInConfig();
    QCOMPARE(config.authHost, QStringLiteral("http://127.0.0.1:8765"));
    QCOMPARE(config.redirectHost, QStringLiteral("redirect.example.net"));
    QCOMPARE(config.clientId, QStringLiteral("0123abcd-0000-4000-8000-00000000beef"));
    QCOMPARE(config.clientSecret, QStringLiteral("from-env"));
    QVERIFY(signInConfigProblem(config).isEmpty());

    qputenv("CORVANE_AUTH_HOST", "auth.example.net");
    qputenv("CORVANE_CLIENT_ID", "ABCDEF01-2345-6789-abcd-ef0123456789");
    config = loadSignInConfig();
    QCOMPARE(config.authHost, QStringLiteral("auth.example.net"));
    QCOMPARE(config.clientId, QStringLiteral("ABCDEF01-2345-6789-abcd-ef0123456789"));
}

void TestSignin::addressIsExact_data() {
    QTest::addColumn<QString>("authHost");
    QTest::addColumn<QString>("redirectHost");
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("bare hosts") << "auth.example.net"
                                << "redirect.example.net" << QString() << kDefaultAddress;
    QByteArray withSchemes = kDefaultAddress;
    withSchemes.replace("https://auth.example.net", "http://127.0.0.1:8765")
        .replace("https://redirect.example.net", "https://redirect.example.net:8443");
    QTest::newRow("scheme and ports") << "http://127.0.0.1:8765/"
                                      << "redirect.example.net:8443" << QString() << withSchemes;
    QByteArray withClient = kDefaultAddress;
    withClient.replace("00000000-0000-4000-8000-00000000c0de",
                       "a1b2c3d4-0000-4000-8000-00000000ABCD");
    QTest::newRow("client id") << "auth.example.net"
                               << "https://redirect.example.net"
                               << "a1b2c3d4-0000-4000-8000-00000000ABCD" << withClient;
}

void TestSignin::addressIsExact() {
    QFETCH(QString, authHost);
    QFETCH(QString, redirectHost);
    QFETCH(QString, clientId);
    QFETCH(QByteArray, expected);
    qputenv("CORVANE_AUTH_HOST", authHost.toUtf8());
    qputenv("CORVANE_REDIRECT_HOST", redirectHost.toUtf8());
    if (!clientId.isEmpty())
        qputenv("CORVANE_CLIENT_ID", clientId.toUtf8());
    const SignInConfig config = loadSignInConfig();
    QVERIFY(signInConfigProblem(config).isEmpty());
    QCOMPARE(signInAddress(config).toUtf8(), expected);
    const QUrl url(signInAddress(config), QUrl::TolerantMode);
    QCOMPARE(url.toEncoded(), expected);
    QCOMPARE(url.toString(QUrl::FullyEncoded).toUtf8(), expected);
}

void TestSignin::unusableHostsAreExplained_data() {
    QTest::addColumn<QString>("authHost");
    QTest::addColumn<QString>("redirectHost");
    QTest::addColumn<QString>("named");
    QTest::addColumn<QString>("clientId"); // empty: the default
    QTest::newRow("path") << "auth.example.net/x"
                          << "r.example.net"
                          << "auth_host" << QString();
    QTest::newRow("scheme") << "auth.example.net"
                            << "ftp://r.example.net"
                            << "redirect_host" << QString();
    QTest::newRow("port") << "auth.example.net:http"
                          << "r.example.net"
                          << "auth_host" << QString();
    QTest::newRow("user") << "me@auth.example.net"
                          << "r.example.net"
                          << "auth_host" << QString();
    QTest::newRow("blank") << "auth example.net"
                           << "r.example.net"
                           << "auth_host" << QString();
    // Characters that would break out of the sign-in address's query.
    QTest::newRow("ampersand") << "auth.example.net&x=1"
                               << "r.example.net"
                               << "auth_host" << QString();
    QTest::newRow("equals") << "auth.example.net"
                            << "r=x.example.net"
                            << "redirect_host" << QString();
    QTest::newRow("percent") << "auth%2eexample.net"
                             << "r.example.net"
                             << "auth_host" << QString();
    // Plain http would carry the code and the secret in the clear.
    QTest::newRow("http elsewhere") << "http://auth.example.net"
                                    << "r.example.net"
                                    << "auth_host" << QString();
    QTest::newRow("http to 128.0.0.1") << "auth.example.net"
                                       << "http://128.0.0.1:80"
                                       << "redirect_host" << QString();
    QTest::newRow("client id short") << "auth.example.net"
                                     << "r.example.net"
                                     << "client_id"
                                     << "00000000-0000-4000-8000-00000000c0d";
    QTest::newRow("client id not hex") << "auth.example.net"
                                       << "r.example.net"
                                       << "client_id"
                                       << "0000000z-0000-4000-8000-00000000c0de";
}

void TestSignin::unusableHostsAreExplained() {
    QFETCH(QString, authHost);
    QFETCH(QString, redirectHost);
    QFETCH(QString, named);
    QFETCH(QString, clientId);
    qputenv("CORVANE_AUTH_HOST", authHost.toUtf8());
    qputenv("CORVANE_REDIRECT_HOST", redirectHost.toUtf8());
    if (!clientId.isEmpty())
        qputenv("CORVANE_CLIENT_ID", clientId.toUtf8());
    const QString problem = signInConfigProblem(loadSignInConfig());
    QVERIFY2(problem.startsWith(named + " "), qPrintable(problem));
    QVERIFY(problem.contains("[signin]"));
    QVERIFY(problem.contains("CORVANE_" + named.toUpper()));
    // A value is never repeated: it may be a secret put in the wrong place.
    for (const QString &value : {authHost, redirectHost, clientId})
        QVERIFY2(value.isEmpty() || !problem.contains(value), qPrintable(problem));
}

// Login is the dialog's first button, so the dialog would press it for Enter
// in a text field and open the browser; only a focused button takes Enter.
void TestSignin::enterPressesOnlyAFocusedButton() {
    qputenv("CORVANE_AUTH_HOST", "auth.example.net");
    qputenv("CORVANE_REDIRECT_HOST", "redirect.example.net");
    qputenv("CORVANE_CLIENT_SECRET", "secret");
    auto window = fixture::makeWindow();
    DialogAnswerer answerer;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    for (QLineEdit *field : {window->editPsnId, window->editPin}) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClick(field, Qt::Key_Enter);
    }
    QCOMPARE(catcher_.opened.size(), 0);
    QCOMPARE(answerer.count(), 0);
    window->btnLogin->setFocus();
    QTest::keyClick(window->btnLogin, Qt::Key_Return);
    QCOMPARE(catcher_.opened.size(), 1);
}

void TestSignin::loginOpensTheExactAddress() {
    qputenv("CORVANE_AUTH_HOST", "auth.example.net");
    qputenv("CORVANE_REDIRECT_HOST", "redirect.example.net");
    qputenv("CORVANE_CLIENT_SECRET", "secret");
    auto window = fixture::makeWindow();
    DialogAnswerer answerer;
    window->slotPushButtonLoginPSNID();
    QCOMPARE(answerer.count(), 0);
    QCOMPARE(catcher_.opened.size(), 1);
    QCOMPARE(catcher_.opened.at(0).toEncoded(), kDefaultAddress);

    qputenv("CORVANE_AUTH_HOST", "http://127.0.0.1:8765");
    window->slotPushButtonLoginPSNID();
    QCOMPARE(catcher_.opened.size(), 2);
    QCOMPARE(catcher_.opened.at(1).scheme(), QStringLiteral("http"));
    QVERIFY(catcher_.opened.at(1).toEncoded().startsWith(
        "http://127.0.0.1:8765/2.0/oauth/authorize?service_entity="));
    QCOMPARE(answerer.count(), 0);

    // Without the secret the shipped resolver cannot finish: Login says so
    // first, but still opens the page. A replacement module that does not
    // read the secret gets no such notice.
    QTemporaryDir workDir;
    QVERIFY(QDir().mkpath(workDir.filePath("Python37/Lib")));
    PythonResolver::setProgramFolder(workDir.path());
    qunsetenv("CORVANE_CLIENT_SECRET");
    writeFile(workDir.filePath("Python37/Lib/PSNID.py"), "def getpsnid(url):\n    return url\n");
    window->slotPushButtonLoginPSNID();
    QCOMPARE(answerer.count(), 0);
    QVERIFY(QFile::remove(workDir.filePath("Python37/Lib/PSNID.py")));
    QVERIFY(QFile::copy(QStringLiteral(CORVANE_SOURCE_DIR "/account/python/PSNID.py"),
                        workDir.filePath("Python37/Lib/PSNID.py")));
    window->slotPushButtonLoginPSNID();
    PythonResolver::setProgramFolder(QString());
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.seen().at(0).title, QStringLiteral("Warning"));
    QVERIFY2(answerer.seen().at(0).text.startsWith("client_secret is not set") &&
                 answerer.seen().at(0).text.contains("CORVANE_CLIENT_SECRET"),
             qPrintable(answerer.seen().at(0).text));
    QCOMPARE(catcher_.opened.size(), 4);
}

void TestSignin::loginWithoutHostsExplainsWhatToSet() {
    auto window = fixture::makeWindow();
    DialogAnswerer answerer;
    window->slotPushButtonLoginPSNID();
    QCOMPARE(answerer.count(), 1);
    const SeenDialog box = answerer.seen().at(0);
    QCOMPARE(box.title, QStringLiteral("Warning"));
    for (const QString &part :
         {QDir::toNativeSeparators(configDir_->filePath("corvane.ini")), QStringLiteral("[signin]"),
          QStringLiteral("auth_host"), QStringLiteral("redirect_host"),
          QStringLiteral("CORVANE_AUTH_HOST"), QStringLiteral("CORVANE_REDIRECT_HOST")})
        QVERIFY2(box.text.contains(part), qPrintable(box.text + " lacks " + part));

    qputenv("CORVANE_AUTH_HOST", "auth.example.net");
    window->slotPushButtonLoginPSNID();
    QCOMPARE(answerer.count(), 2);
    QVERIFY(!answerer.seen().at(1).text.contains("auth_host"));
    QVERIFY(answerer.seen().at(1).text.contains("CORVANE_REDIRECT_HOST"));
    QVERIFY(catcher_.opened.isEmpty());
}

void TestSignin::loginWithoutBrowserOffersTheAddress() {
    qputenv("CORVANE_AUTH_HOST", "auth.example.net");
    qputenv("CORVANE_REDIRECT_HOST", "redirect.example.net");
    // A handler that cannot be called makes opening the address fail, as a
    // desktop without a browser does.
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher_, "noSuchSlot");
    auto window = fixture::makeWindow();
    DialogAnswerer answerer;
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    answerer.answerMessageBox(QMessageBox::No);
    window->slotPushButtonLoginPSNID();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    window->slotPushButtonLoginPSNID(); // default answer: copy
    QCOMPARE(answerer.count(), 2);
    const SeenDialog box = answerer.seen().at(1);
    QCOMPARE(box.title, QStringLiteral("Warning"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY2(QString(box.text).remove('\n').contains(QString::fromLatin1(kDefaultAddress)),
             qPrintable(box.text));
    QCOMPARE(QGuiApplication::clipboard()->text().toLatin1(), kDefaultAddress);
}

void TestSignin::replyBodyIsLoggedAndFreed() {
    auto window = fixture::makeWindow();
    TinyHttpServer server("body of the answer");
    LogCapture log;
    window->onSendHttpsRequest(server.url());
    auto *manager = window->findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    QCOMPARE(manager->findChildren<QNetworkReply *>().size(), 1);
    QPointer<QNetworkReply> reply = manager->findChildren<QNetworkReply *>().at(0);
    const QSslConfiguration ssl = reply->request().sslConfiguration();
    QVERIFY(ssl.peerVerifyMode() != QSslSocket::VerifyNone);
    QCOMPARE(ssl.protocol(), QSsl::SecureProtocols);

    QTRY_VERIFY(reply.isNull());
    QCOMPARE(log.count(QStringLiteral("replyContent: \"body of the answer\"")), 1);

    window->onSendHttpsRequest(server.url());
    QTRY_COMPARE(log.count(QStringLiteral("replyContent: \"body of the answer\"")), 2);
    QCOMPARE(window->findChildren<QNetworkAccessManager *>().size(), 1);
    QTRY_COMPARE(manager->findChildren<QNetworkReply *>().size(), 0);
}

void TestSignin::refusedConnectionIsLogged() {
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    auto window = fixture::makeWindow();
    LogCapture log;
    window->onSendHttpsRequest(QStringLiteral("http://127.0.0.1:%1/").arg(closedPort));
    QTRY_VERIFY(log.contains(QStringLiteral("replyContent: \"\"")));
    const QStringList lines = log.lines();
    const int codeLine = lines.indexOf(QStringLiteral("QNetworkReply::ConnectionRefusedError"));
    QVERIFY2(codeLine >= 0, qPrintable(lines.join('\n')));
    QVERIFY(lines.value(codeLine + 1).contains(QStringLiteral("refused")));
}

QTEST_MAIN(TestSignin)
#include "test_signin.moc"
