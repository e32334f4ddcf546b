// The Paste button: the address copied from the browser after sign-in goes to
// the resolver module, and the account ID it returns into the ID field. The
// resolver runs on a worker thread (ResolverRun), so the window keeps painting
// and answering while the sign-in server is slow; the boxes and the field are
// still handled here, on the GUI thread, in the same order as before.
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "account/ResolverRun.h"
#include "account/SignInConfig.h"
#include "common/LogRedaction.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"

namespace {

// A real account ID is a base64 text of 12 characters; anything this short is
// certainly not one.
constexpr int kMaxImplausibleIdLength = 4;
// A redirect address is a few hundred bytes; a text this long is something
// else and is not handed to Python at all.
constexpr int kMaxPastedBytes = 64 * 1024;

void showPasteBox(QWidget *parent, const QString &title, const QString &text) {
    messages::information(parent, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

bool tooLongForAnAddress(const QString &text) {
    // Each UTF-16 unit is at least one byte in UTF-8.
    return text.size() > kMaxPastedBytes || text.toUtf8().size() > kMaxPastedBytes;
}

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
        const QString code = text.mid(start, end - start);
        LogRedaction::notePrivate(PrivateKind::AuthorizationCode, code);
        // As the resolver and the server see it, and may echo it: decoded.
        LogRedaction::notePrivate(
            PrivateKind::AuthorizationCode,
            QUrl::fromPercentEncoding(
                QString(code).replace(QLatin1Char('+'), QLatin1Char(' ')).toUtf8()));
    }
    LogRedaction::notePrivate(PrivateKind::ClientSecret, loadSignInConfig().clientSecret);
}

} // namespace

bool MainWindow::pasteInProgress() const {
    return pasteAwaitingOutcome ||
           (resolverRun && resolverRun->running() && !resolverRun->abandoned());
}

void MainWindow::slotPushButtonPastePSNID() {
    if (resolverRun && resolverRun->running()) {
        // Only reachable while an abandoned run (past its deadline) finishes.
        showPasteBox(this, QStringLiteral("Error"),
                     QStringLiteral("The previous Paste is still finishing; please try again in "
                                    "a moment."));
        return;
    }
    btnPaste->setEnabled(false);
    editPsnId->clear();
    const QString text = QGuiApplication::clipboard()->text(QClipboard::Clipboard);
    if (text.isEmpty()) {
        showPasteBox(this, QStringLiteral("Copy"),
                     QStringLiteral("copy the URL from the address bar First"));
    } else if (tooLongForAnAddress(text)) {
        showPasteBox(this, QStringLiteral("Copy Error"),
                     QStringLiteral("Copy Error, the copied text is longer than 64 KiB, so it is "
                                    "not the address of the sign-in page; Copy the URL from the "
                                    "address bar First"));
    } else if (text.indexOf(QLatin1String("code="), 0, Qt::CaseSensitive) == -1) {
        showPasteBox(this, QStringLiteral("Copy Error"),
                     QStringLiteral("Copy Error, Copy the URL from the address bar First"));
    } else {
        notePastedValues(text);
        startResolving(text);
        return;
    }
    btnPaste->setEnabled(true);
}

void MainWindow::startResolving(const QString &pastedText) {
    if (!resolverRun) {
        resolverRun = new ResolverRun(this);
        connect(resolverRun, &ResolverRun::resolved, this, &MainWindow::showResolvedAccountId);
        connect(resolverRun, &ResolverRun::finished, this, &MainWindow::endPasteWhenDone);
        connect(editPsnId, &QLineEdit::textEdited, this, [this] {
            if (pasteAwaitingOutcome)
                idTypedDuringPaste = true;
        });
    }
    idTypedDuringPaste = false;
    pasteAwaitingOutcome = true;
    resolverRun->start(pastedText, loadSignInConfig());
}

void MainWindow::showResolvedAccountId(const ResolvedAccountId &resolved) {
    if (resolved.ok)
        LogRedaction::notePrivate(LogRedaction::PrivateKind::AccountId,
                                  QString::fromUtf8(resolved.id));
    if (!resolved.ok)
        showPasteBox(this, QStringLiteral("Error"), resolved.error);
    else if (resolved.id.size() <= kMaxImplausibleIdLength)
        showPasteBox(this, QStringLiteral("Error"),
                     QStringLiteral("psn id may be wrong, please check it!"));
    else if (idTypedDuringPaste && !editPsnId->text().isEmpty())
        // What the user typed while waiting stays; the ID found is told.
        showPasteBox(this, QStringLiteral("Paste"),
                     QStringLiteral("Paste found the account ID %1, but you typed into the "
                                    "Account ID field meanwhile, so your text was kept.")
                         .arg(QString::fromUtf8(resolved.id)));
    else
        editPsnId->setText(QString::fromUtf8(resolved.id));
    pasteAwaitingOutcome = false;
    endPasteWhenDone();
}

void MainWindow::endPasteWhenDone() {
    // The button comes back once the outcome has been shown and the
    // interpreter is gone, or the run was given up after its deadline (a
    // press then is refused until it has ended).
    if (!pasteInProgress())
        btnPaste->setEnabled(true);
}

bool MainWindow::refuseCloseWhilePasteRuns() {
    if (!resolverRun || !resolverRun->running())
        return false;
    messages::warning(this, QStringLiteral("Exit"),
                      QStringLiteral("Paste is still waiting for the sign-in server; please "
                                     "try again in a moment."),
                      QMessageBox::Ok, QMessageBox::NoButton);
    return true;
}
