#include "ui/Messages.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <deque>

#include "common/MessageLog.h"

namespace {

bool watching = false;

class MessageBoxWatcher : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                MessageLog::noteMessageBox(box->windowTitle(), box->text());
        }
        return false;
    }
};

struct Answers {
    std::deque<messages::Answer> boxes;
    std::deque<QString> fileNames;
    messages::AutoAnswer mode = messages::AutoAnswer::Off;
    std::function<void(const messages::Dialog &)> observer;
};

Answers &answers() {
    static Answers queued;
    return queued;
}

bool answersMessageBoxes() {
    return !answers().boxes.empty() || answers().mode != messages::AutoAnswer::Off;
}

bool answersFileDialogs() {
    return !answers().fileNames.empty() || answers().mode == messages::AutoAnswer::Everything;
}

// Noted and reported as a box that is shown would be.
void record(const messages::Dialog &dialog) {
    if (watching && dialog.kind == messages::Dialog::Kind::Message)
        MessageLog::noteMessageBox(dialog.title, dialog.text);
    if (answers().observer)
        answers().observer(dialog);
}

messages::Dialog describe(const QMessageBox &box) {
    messages::Dialog dialog;
    dialog.title = box.windowTitle();
    dialog.text = box.text();
    dialog.icon = box.icon();
    for (QAbstractButton *button : box.buttons())
        dialog.buttons << button->text();
    return dialog;
}

QMessageBox::StandardButton answerAtOnce(QMessageBox &box) {
    const messages::Dialog dialog = describe(box);
    record(dialog);
    QAbstractButton *choice = nullptr;
    if (!answers().boxes.empty()) {
        // Taken off first: a box the answer opens takes the next one.
        const messages::Answer answer = std::move(answers().boxes.front());
        answers().boxes.pop_front();
        const QMessageBox::StandardButton wanted = answer(dialog);
        if (wanted != QMessageBox::NoButton)
            choice = box.button(wanted);
    }
    if (!choice)
        choice = box.defaultButton();
    if (!choice)
        choice = box.buttons().value(0);
    return choice ? box.standardButton(choice) : QMessageBox::NoButton;
}

// The buttons and the default button as QMessageBox's static functions set
// them: without a default given, the first accepting button is the default.
void addStandardButtons(QMessageBox &box, QMessageBox::StandardButtons buttons,
                        QMessageBox::StandardButton defaultButton) {
    for (uint mask = QMessageBox::FirstButton; mask <= QMessageBox::LastButton; mask <<= 1) {
        const auto which = QMessageBox::StandardButton(uint(buttons) & mask);
        if (which == QMessageBox::NoButton)
            continue;
        QPushButton *button = box.addButton(which);
        if (box.defaultButton())
            continue;
        const bool firstAccepting = defaultButton == QMessageBox::NoButton &&
                                    box.buttonRole(button) == QMessageBox::AcceptRole;
        if (firstAccepting || which == defaultButton)
            box.setDefaultButton(button);
    }
}

using StaticBox = QMessageBox::StandardButton (*)(QWidget *, const QString &, const QString &,
                                                  QMessageBox::StandardButtons,
                                                  QMessageBox::StandardButton);

// Qt's own box (`show`), unless a test or the demo answers it.
QMessageBox::StandardButton showOrAnswer(StaticBox show, QMessageBox::Icon icon, QWidget *parent,
                                         const QString &title, const QString &text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton defaultButton) {
    if (!answersMessageBoxes())
        return show(parent, title, text, buttons, defaultButton);
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    addStandardButtons(box, buttons, defaultButton);
    return answerAtOnce(box);
}

// Where QFileDialog opens for `dir`: the folder itself, or the folder of the
// file it suggests, or the working directory when that folder is missing.
QString folderOpenedAt(const QString &dir) {
    const QFileInfo suggested(QDir::current(), dir);
    const QFileInfo folder(suggested.absolutePath());
    if (!folder.isDir())
        return QDir::currentPath();
    if (suggested.isDir())
        return QDir::cleanPath(suggested.absoluteFilePath());
    return folder.absoluteFilePath();
}

QString answerFileDialog(const QString &caption, const QString &dir, const QString &filter) {
    messages::Dialog dialog;
    dialog.kind = messages::Dialog::Kind::File;
    dialog.title = caption;
    dialog.text = filter.split(QStringLiteral(";;")).join(QLatin1Char(';'));
    dialog.directory = folderOpenedAt(dir);
    record(dialog);
    if (answers().fileNames.empty())
        return QString();
    const QString path = answers().fileNames.front();
    answers().fileNames.pop_front();
    return path;
}

} // namespace

void showWarning(QWidget *parent, const QString &text) {
    messages::warning(parent, QStringLiteral("Warning"), text, QMessageBox::Ok,
                      QMessageBox::NoButton);
}

void watchMessageBoxes() {
    QCoreApplication *app = QCoreApplication::instance();
    if (watching || !app)
        return;
    watching = true;
    app->installEventFilter(new MessageBoxWatcher(app));
}

namespace messages {

QMessageBox::StandardButton information(QWidget *parent, const QString &title, const QString &text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) {
    return showOrAnswer(&QMessageBox::information, QMessageBox::Information, parent, title, text,
                        buttons, defaultButton);
}

QMessageBox::StandardButton warning(QWidget *parent, const QString &title, const QString &text,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton) {
    return showOrAnswer(&QMessageBox::warning, QMessageBox::Warning, parent, title, text, buttons,
                        defaultButton);
}

QMessageBox::StandardButton question(QWidget *parent, const QString &title, const QString &text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton) {
    return showOrAnswer(&QMessageBox::question, QMessageBox::Question, parent, title, text, buttons,
                        defaultButton);
}

int exec(QMessageBox &box) {
    if (!answersMessageBoxes())
        return box.exec();
    return answerAtOnce(box);
}

QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir,
                        const QString &filter) {
    if (!answersFileDialogs())
        return QFileDialog::getOpenFileName(parent, caption, dir, filter);
    return answerFileDialog(caption, dir, filter);
}

static QString getSaveFileName(QWidget *parent, const QString &caption, const QString &dir,
                               const QString &filter) {
    if (!answersFileDialogs())
        return QFileDialog::getSaveFileName(parent, caption, dir, filter);
    return answerFileDialog(caption, dir, filter);
}

QString getSaveFileNameEndingIn(QWidget *parent, const QString &caption, const QString &dir,
                                const QString &suffix) {
    QString path = getSaveFileName(parent, caption, dir, QStringLiteral("*.") + suffix);
    if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty())
        path += QLatin1Char('.') + suffix;
    return path;
}

void setNextAnswer(QMessageBox::StandardButton button) {
    setNextAnswer([button](const Dialog &) { return button; });
}

void setNextAnswer(Answer answer) {
    answers().boxes.push_back(std::move(answer));
}

void setNextFileName(const QString &path) {
    answers().fileNames.push_back(path);
}

void setAutoAnswer(AutoAnswer mode) {
    answers().mode = mode;
}

void setObserver(std::function<void(const Dialog &)> observer) {
    answers().observer = std::move(observer);
}

void resetAnswers() {
    answers() = Answers();
}

} // namespace messages
