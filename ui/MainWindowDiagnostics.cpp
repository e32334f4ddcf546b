// The diagnostic log as the window offers it: saved where the user picks.
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

#include "common/MessageLog.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"

void MainWindow::saveDiagnosticLog() {
    // Suggested in the home folder, as the flash backup is: the working
    // directory of a program started from a menu is no place to look for it.
    const QString suggested = QDir::home().filePath(
        QStringLiteral("corvane-log-%1.txt").arg(QDate::currentDate().toString(Qt::ISODate)));
    const QString path = messages::getSaveFileNameEndingIn(
        this, QStringLiteral("Save diagnostic log"), suggested, QStringLiteral("txt"));
    if (path.isEmpty())
        return;
    QString error;
    if (!MessageLog::saveTo(
            path, &error,
            MessageLog::header(accessoryDescription(), QGuiApplication::platformName()))) {
        messages::warning(this, QStringLiteral("Error"),
                          QStringLiteral("The log could not be saved: %1").arg(error),
                          QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    messages::information(this, QStringLiteral("Success"),
                          QStringLiteral("The diagnostic log was saved to %1")
                              .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())),
                          QMessageBox::Ok, QMessageBox::NoButton);
}
