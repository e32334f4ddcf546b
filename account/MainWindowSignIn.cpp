// The Login button and the window's small HTTPS client.
#include <QClipboard>
#include <QDebug>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaType>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#endif

#include "account/PythonResolver.h"
#include "account/SignInConfig.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"

namespace {

// The shipped resolver needs the client secret; a replacement module may not,
// so only a module that reads it makes its absence worth a word.
bool resolverNeedsClientSecret() {
    QFile module(PythonResolver::modulePath());
    return module.open(QIODevice::ReadOnly) &&
           module.readAll().contains(QByteArrayLiteral("CORVANE_CLIENT_SECRET"));
}

// The address has no blanks for the box to wrap at; it is broken after an
// "&" once a line reaches `width` characters.
QString wrappedAtAmpersands(const QString &address, int width) {
    QString wrapped;
    int lineLength = 0;
    for (const QChar c : address) {
        wrapped += c;
        ++lineLength;
        if (c == QLatin1Char('&') && lineLength >= width) {
            wrapped += QLatin1Char('\n');
            lineLength = 0;
        }
    }
    return wrapped.trimmed();
}

// Without a browser the user can still sign in elsewhere: the address is
// shown (selectable) and, if wanted, put on the clipboard.
void offerAddressWhenNoBrowser(QWidget *parent, const QString &address) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"),
                    QStringLiteral("The browser could not be opened. To sign in, open this "
                                   "address in a browser:\n\n%1\n\nCopy the address to the "
                                   "clipboard?")
                        .arg(wrappedAtAmpersands(address, 60)),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (messages::exec(box) == QMessageBox::Yes)
        QGuiApplication::clipboard()->setText(address);
}

} // namespace

void MainWindow::slotPushButtonLoginPSNID() {
    const SignInConfig config = loadSignInConfig();
    const QString problem = signInConfigProblem(config);
    if (!problem.isEmpty()) {
        showWarning(this, problem);
        return;
    }
    const QString notice = signInConfigNotice(config);
    if (!notice.isEmpty() && resolverNeedsClientSecret())
        showWarning(this, notice);
    const QString address = signInAddress(config);
    if (!QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode)))
        offerAddressWhenNoBrowser(this, address);
}

void MainWindow::onSendHttpsRequest(QString url) {
    static const int registered = qRegisterMetaType<QNetworkReply::NetworkError>();
    Q_UNUSED(registered);
    if (!networkManager)
        networkManager = new QNetworkAccessManager(this);
    QNetworkRequest request;
#ifndef QT_NO_SSL
    // The platform's defaults: certificates are verified, only secure protocols.
    request.setSslConfiguration(QSslConfiguration::defaultConfiguration());
#endif
    request.setUrl(QUrl(url, QUrl::TolerantMode));
    QNetworkReply *reply = networkManager->get(request);
    connect(reply, SIGNAL(finished()), this, SLOT(onFinished()));
    connect(reply, SIGNAL(errorOccurred(QNetworkReply::NetworkError)), this,
            SLOT(onError(QNetworkReply::NetworkError)));
}

void MainWindow::onFinished() {
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    qDebug() << "replyContent:" << reply->readAll();
    reply->deleteLater();
}

void MainWindow::onError(QNetworkReply::NetworkError errorCode) {
    qDebug() << errorCode;
    if (auto *reply = qobject_cast<QNetworkReply *>(sender()))
        qDebug() << reply->errorString();
}
