// The Login button and the window's small HTTPS client.
#include <QDebug>
#include <QDesktopServices>
#include <QMessageBox>
#include <QMetaType>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#endif

#include "account/SignInConfig.h"
#include "ui/MainWindow.h"

void MainWindow::slotPushButtonLoginPSNID() {
    const SignInConfig config = loadSignInConfig();
    const QString problem = signInConfigProblem(config);
    if (!problem.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Login"), problem, QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
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
