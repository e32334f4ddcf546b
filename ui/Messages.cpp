#include "ui/Messages.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>

#include "common/MessageLog.h"

namespace {

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

} // namespace

void showWarning(QWidget *parent, const QString &text) {
    QMessageBox::warning(parent, QStringLiteral("Warning"), text, QMessageBox::Ok,
                         QMessageBox::NoButton);
}

void watchMessageBoxes() {
    static bool watching = false;
    QCoreApplication *app = QCoreApplication::instance();
    if (watching || !app)
        return;
    watching = true;
    app->installEventFilter(new MessageBoxWatcher(app));
}
