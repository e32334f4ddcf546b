#include "ui/Messages.h"

#include <QMessageBox>

void showWarning(QWidget *parent, const QString &text) {
    QMessageBox::warning(parent, QStringLiteral("Warning"), text, QMessageBox::Ok,
                         QMessageBox::NoButton);
}
