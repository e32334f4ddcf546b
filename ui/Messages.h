#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

// The program's standard warning: a modal box titled "Warning" with one Ok
// button and no default button, parented to the window.
void showWarning(QWidget *parent, const QString &text);

// Notes every message box in the diagnostic log as it appears, whoever opened
// it: the window's own, the single-instance box, the file dialogs' questions.
// Needs the application object.
void watchMessageBoxes();

// Every message box and file dialog the program opens goes through here. They
// are Qt's own unless a test or the demo has said how to answer them; then
// nothing is shown and the answer is given at once.
namespace messages {

QMessageBox::StandardButton
information(QWidget *parent, const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QMessageBox::StandardButton
warning(QWidget *parent, const QString &title, const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QMessageBox::StandardButton
question(QWidget *parent, const QString &title, const QString &text,
         QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
         QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
// A box the caller has set up itself; returns what QMessageBox::exec returns.
int exec(QMessageBox &box);

QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir,
                        const QString &filter);
// Offers files ending in ".suffix" and adds that ending to a name chosen without one.
QString getSaveFileNameEndingIn(QWidget *parent, const QString &caption, const QString &dir,
                                const QString &suffix);

// What a box or file dialog answered at once would have shown.
struct Dialog {
    enum class Kind { Message, File };
    Kind kind = Kind::Message;
    QString title;
    QString text;        // a file dialog's name filters, joined by ';'
    QStringList buttons; // a message box's button texts
    QString directory;   // the folder a file dialog would open in
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Runs where the box's event loop would have run, and returns the button
// pressed. A button the box lacks counts as no answer.
using Answer = std::function<QMessageBox::StandardButton(const Dialog &)>;

// The next message box takes the next queued answer.
void setNextAnswer(QMessageBox::StandardButton button);
void setNextAnswer(Answer answer);
// The next file dialog chooses the next queued name; an empty one cancels.
void setNextFileName(const QString &path);

// What happens to a box or dialog without a queued answer. Answered, a message
// box takes its default button (or its first); a file dialog is cancelled.
enum class AutoAnswer { Off, MessageBoxes, Everything };
void setAutoAnswer(AutoAnswer mode);

// Called with each box or dialog answered at once, before its answer runs.
void setObserver(std::function<void(const Dialog &)> observer);

// Forgets the queued answers, the observer, and answers nothing by itself.
void resetAnswers();

} // namespace messages
