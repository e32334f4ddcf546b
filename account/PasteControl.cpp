// The Paste button: the address copied from the browser after sign-in goes to
// the resolver module, and the account ID it returns into the ID field.
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "account/PythonResolver.h"
#include "account/SignInConfig.h"
#include "ui/LogRedaction.h"
#include "ui/MainWindow.h"

namespace {

// A real account ID is a base64 text of 12 characters; anything this short is
// certainly not one.
constexpr int kMaxImplausibleIdLength = 4;

// The pasted address, every code value in it and the client secret the
// resolver will use never appear in a saved log, whatever the resolver says.
void notePastedValues(const QString &text) {
    using LogRedaction::PrivateKind;
    LogRedaction::notePrivate(PrivateKind::PastedText, text);
    const QLatin1String key("code=");
    for (int at = text.indexOf(key); at != -1; at = text.indexOf(key, at + 1)) {
        const int start = at + key.size();
        int end = start;
        while (end < text.size() && !QStringLiteral("&#\"' \t\r\n").contains(text.at(end)))
            ++end;
        LogRedaction::notePrivate(PrivateKind::AuthorizationCode, text.mid(start, end - start));
    }
    LogRedaction::notePrivate(PrivateKind::ClientSecret, loadSignInConfig().clientSecret);
}

} // namespace

void MainWindow::slotPushButtonPastePSNID() {
    btnPaste->setEnabled(false);
    editPsnId->clear();
    const QString text = QGuiApplication::clipboard()->text(QClipboard::Clipboard);
    if (text.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Copy"),
                                 QStringLiteral("copy the URL from the address bar First"),
                                 QMessageBox::Ok, QMessageBox::NoButton);
    } else if (text.indexOf(QLatin1String("code="), 0, Qt::CaseSensitive) == -1) {
        QMessageBox::information(
            this, QStringLiteral("Copy Error"),
            QStringLiteral("Copy Error, Copy the URL from the address bar First"), QMessageBox::Ok,
            QMessageBox::NoButton);
    } else {
        notePastedValues(text);
        const ResolvedAccountId resolved = PythonResolver::resolve(text);
        if (resolved.ok)
            LogRedaction::notePrivate(LogRedaction::PrivateKind::AccountId,
                                      QString::fromUtf8(resolved.id));
        if (!resolved.ok)
            QMessageBox::warning(this, QStringLiteral("Error"), resolved.error, QMessageBox::Ok,
                                 QMessageBox::NoButton);
        else if (resolved.id.size() <= kMaxImplausibleIdLength)
            QMessageBox::information(this, QStringLiteral("Error"),
                                     QStringLiteral("psn id may be wrong, please check it!"),
                                     QMessageBox::Ok, QMessageBox::NoButton);
        else
            editPsnId->setText(QString::fromUtf8(resolved.id));
    }
    btnPaste->setEnabled(true);
}
