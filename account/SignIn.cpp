// The Login button and the window's small HTTPS client.
#include <QDebug>
#include <QDesktopServices>
#include <QFile>
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
    QDesktopServices::openUrl(QUrl(signInAddress(config), QUrl::TolerantMode));
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
