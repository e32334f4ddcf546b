#include "app/Application.h"

#include <QApplication>
#include <QMessageBox>

#include "app/SingleInstance.h"
#include "common/MessageLog.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/StyleSheets.h"

int runCorvane(int &argc, char **argv, const std::function<void()> &onApplicationCreated) {
    QApplication app(argc, argv);
    MessageLog::install();
    watchMessageBoxes();
    // The "already running" box has no window to take its look from.
    app.setStyleSheet(QString::fromUtf8(styles::kDialogs));
    if (onApplicationCreated)
        onApplicationCreated();
    if (!takeSingleInstanceGuard()) {
        messages::information(nullptr, QStringLiteral("tips"),
                              QStringLiteral("The program is already running"), QMessageBox::Ok,
                              QMessageBox::NoButton);
        QCoreApplication::quit();
        return kAlreadyRunningExitCode;
    }
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
