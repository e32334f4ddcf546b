#include "support/DialogAnswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QPushButton>

DialogAnswerer::DialogAnswerer() {
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    connect(&timer_, &QTimer::timeout, this, &DialogAnswerer::poll);
    timer_.start(5);
}

void DialogAnswerer::answerMessageBox(QMessageBox::StandardButton button) {
    messageAnswers_.push_back(button);
}

void DialogAnswerer::answerFileDialog(const QString &path) {
    fileAnswers_.push_back(path);
}

QStringList DialogAnswerer::texts() const {
    QStringList result;
    for (const SeenDialog &dialog : seen_)
        result << dialog.text;
    return result;
}

bool DialogAnswerer::sawText(const QString &text) const {
    return texts().contains(text);
}

void DialogAnswerer::poll() {
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal))
        handleMessageBox(box);
    else if (auto *dialog = qobject_cast<QFileDialog *>(modal))
        handleFileDialog(dialog);
}

void DialogAnswerer::handleMessageBox(QMessageBox *box) {
    SeenDialog seen;
    seen.kind = QStringLiteral("message");
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    for (QAbstractButton *button : box->buttons())
        seen.buttons << button->text();
    seen_ << seen;

    QAbstractButton *choice = nullptr;
    if (!messageAnswers_.empty()) {
        choice = box->button(messageAnswers_.front());
        messageAnswers_.pop_front();
    }
    if (!choice && box->defaultButton())
        choice = box->defaultButton();
    if (!choice)
        choice = box->buttons().value(0);
    if (choice)
        choice->click();
    else
        box->reject();
}

void DialogAnswerer::handleFileDialog(QFileDialog *dialog) {
    SeenDialog seen;
    seen.kind = QStringLiteral("file");
    seen.title = dialog->windowTitle();
    seen.text = dialog->nameFilters().join(QLatin1Char(';'));
    seen.directory = dialog->directory().absolutePath();
    seen_ << seen;

    const QString path = fileAnswers_.empty() ? QString() : fileAnswers_.front();
    if (!fileAnswers_.empty())
        fileAnswers_.pop_front();
    if (path.isEmpty()) {
        dialog->reject();
        return;
    }
    dialog->selectFile(path);
    QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
}
