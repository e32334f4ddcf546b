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

#include "account/PastedAddress.h"
#include "account/ResolverRun.h"
#include "account/SignInConfig.h"
#include "common/LogRedaction.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"

namespace {

void showPasteBox(QWidget *parent, const QString &title, const QString &text) {
    messages::information(parent, title, text, QMessageBox::Ok, QMessageBox::NoButton);
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
    switch (paste::checkPastedText(text)) {
    case paste::PastedText::Empty:
        showPasteBox(this, QStringLiteral("Copy"),
                     QStringLiteral("copy the URL from the address bar First"));
        break;
    case paste::PastedText::TooLong:
        showPasteBox(this, QStringLiteral("Copy Error"),
                     QStringLiteral("Copy Error, the copied text is longer than 64 KiB, so it is "
                                    "not the address of the sign-in page; Copy the URL from the "
                                    "address bar First"));
        break;
    case paste::PastedText::NoCode:
        showPasteBox(this, QStringLiteral("Copy Error"),
                     QStringLiteral("Copy Error, Copy the URL from the address bar First"));
        break;
    case paste::PastedText::Usable:
        paste::notePrivateValues(text, loadSignInConfig().clientSecret);
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
    else if (paste::isImplausibleAccountId(resolved.id))
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
