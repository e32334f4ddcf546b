#pragma once
// Answers the message boxes and file dialogs the window opens, at once and
// without showing them (through ui/Messages.h), and records what each one
// would have said. While it lives, every box and dialog is answered.

#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <functional>

#include "ui/Messages.h"

struct SeenDialog {
    QString kind; // "message" or "file"
    QString title;
    QString text;
    QStringList buttons; // texts of a message box's buttons
    QString directory;   // the folder a file dialog opened in
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

class DialogAnswerer {
public:
    DialogAnswerer();
    ~DialogAnswerer();
    DialogAnswerer(const DialogAnswerer &) = delete;
    DialogAnswerer &operator=(const DialogAnswerer &) = delete;

    // Queue answers; each box or dialog takes the next one of its kind.
    // A message box without a queued answer is accepted with its default or
    // first button; a file dialog without one is cancelled.
    void answerMessageBox(QMessageBox::StandardButton button);
    // `answer` runs where the box's event loop would (events delivered while
    // a box is open are delivered there) and returns the button pressed.
    void answerMessageBox(const messages::Answer &answer);
    void answerFileDialog(const QString &path); // empty path: cancel
    // Called with each box or dialog as it comes up, after it is recorded.
    void onEachDialog(std::function<void(const SeenDialog &)> look) { look_ = std::move(look); }

    const QList<SeenDialog> &seen() const { return seen_; }
    QStringList texts() const;
    bool sawText(const QString &text) const;
    int count() const { return seen_.size(); }
    void clear() { seen_.clear(); }

private:
    void note(const messages::Dialog &dialog);

    QList<SeenDialog> seen_;
    std::function<void(const SeenDialog &)> look_;
};
