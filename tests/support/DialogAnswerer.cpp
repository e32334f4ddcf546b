#include "support/DialogAnswerer.h"

DialogAnswerer::DialogAnswerer() {
    messages::resetAnswers();
    messages::setAutoAnswer(messages::AutoAnswer::Everything);
    messages::setObserver([this](const messages::Dialog &dialog) { note(dialog); });
}

DialogAnswerer::~DialogAnswerer() {
    messages::resetAnswers();
}

void DialogAnswerer::answerMessageBox(QMessageBox::StandardButton button) {
    messages::setNextAnswer(button);
}

void DialogAnswerer::answerMessageBox(const messages::Answer &answer) {
    messages::setNextAnswer(answer);
}

void DialogAnswerer::answerFileDialog(const QString &path) {
    messages::setNextFileName(path);
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

void DialogAnswerer::note(const messages::Dialog &dialog) {
    const bool file = dialog.kind == messages::Dialog::Kind::File;
    seen_ << SeenDialog{file ? QStringLiteral("file") : QStringLiteral("message"),
                        dialog.title,
                        dialog.text,
                        dialog.buttons,
                        dialog.directory,
                        dialog.icon};
    if (look_)
        look_(seen_.last());
}
