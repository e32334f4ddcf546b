// The Paste button: the address copied from the browser after sign-in goes to
// the resolver module, and the account ID it returns into the ID field.
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "account/PythonResolver.h"
#include "ui/MainWindow.h"

namespace {

// A real account ID is a base64 text of 12 characters; anything this short is
// certainly not one.
constexpr int kMaxImplausibleIdLength = 4;

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
        const ResolvedAccountId resolved = PythonResolver::resolve(text);
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
