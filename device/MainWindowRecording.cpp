// "Record device session…" in the background menu: records every exchange
// with the accessory until the window closes or the entry is chosen again.
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

#include "ui/MainWindow.h"
#include "ui/Messages.h"

namespace {

QString suggestedRecordingPath() {
    const QString date = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    return QDir::home().filePath(QStringLiteral("corvane-session-%1.jsonl").arg(date));
}

} // namespace

void MainWindow::toggleSessionRecording() {
    if (sessionRecorder) {
        finishSessionRecording(true);
        return;
    }
    // Starting identifies the accessory afresh, so no job may run.
    if (refuseWhileDeviceBusy())
        return;
    const QString path =
        messages::getSaveFileNameEndingIn(this, QStringLiteral("Record device session"),
                                          suggestedRecordingPath(), QStringLiteral("jsonl"));
    if (path.isEmpty())
        return;
    auto recorder =
        std::make_shared<recording::Recorder>(QStringLiteral("corvane " CORVANE_VERSION), true);
    QString error;
    if (!recorder->open(path, &error)) {
        messages::warning(this, QStringLiteral("Error"),
                          QStringLiteral("The session cannot be recorded: %1").arg(error),
                          QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    sessionRecorder = recorder;
    recording::install(recorder);
    // The recording begins as the program does, with finding, opening and
    // identifying the accessory, so that it replays from a fresh start.
    openDevice();
}

void MainWindow::finishSessionRecording(bool tell) {
    if (!sessionRecorder)
        return;
    recording::install(nullptr);
    const std::shared_ptr<recording::Recorder> recorder = std::move(sessionRecorder);
    sessionRecorder.reset();
    const QString where = QDir::toNativeSeparators(QFileInfo(recorder->path()).absoluteFilePath());
    QString error;
    if (!recorder->finish(&error)) {
        qWarning("The device session could not be saved to %s: %s", qPrintable(where),
                 qPrintable(error));
        if (tell)
            messages::warning(
                this, QStringLiteral("Error"),
                QStringLiteral("The device session could not be saved: %1").arg(error),
                QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    if (!tell) {
        qDebug("device session recorded in %s (%d exchanges%s)", qPrintable(where),
               recorder->exchangeCount(),
               recorder->holdsFlash() ? ", with flash contents: as private as a flash backup" : "");
        return;
    }
    QString text = QStringLiteral("The device session was recorded in %1 (%2 exchanges).")
                       .arg(where)
                       .arg(recorder->exchangeCount());
    if (recorder->holdsFlash())
        text += QStringLiteral(" It holds flash contents, which may include the account ID and "
                               "PIN: share it only as you would a flash backup.");
    messages::information(this, QStringLiteral("Success"), text, QMessageBox::Ok,
                          QMessageBox::NoButton);
}
