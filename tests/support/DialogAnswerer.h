#pragma once
// Answers the modal dialogs a slot opens, the way a user would, and records
// what each one said. Works with Qt's own (non-native) dialogs, which the
// fixture selects.

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <deque>

struct SeenDialog {
    QString kind; // "message" or "file"
    QString title;
    QString text;
    QStringList buttons; // texts of a message box's buttons
    QString directory;   // the folder a file dialog opened in
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

class DialogAnswerer : public QObject {
    Q_OBJECT

public:
    DialogAnswerer();

    // Queue answers; each modal dialog takes the next one of its kind.
    // A message box without a queued answer is accepted with its default or
    // first button; a file dialog without one is cancelled.
    void answerMessageBox(QMessageBox::StandardButton button);
    void answerFileDialog(const QString &path); // empty path: cancel

    const QList<SeenDialog> &seen() const { return seen_; }
    QStringList texts() const;
    bool sawText(const QString &text) const;
    int count() const { return seen_.size(); }
    void clear() { seen_.clear(); }

private:
    void poll();
    void handleMessageBox(QMessageBox *box);
    void handleFileDialog(class QFileDialog *dialog);

    QTimer timer_;
    std::deque<QMessageBox::StandardButton> messageAnswers_;
    std::deque<QString> fileAnswers_;
    QList<SeenDialog> seen_;
};
