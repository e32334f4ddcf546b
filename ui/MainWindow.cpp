#include "ui/MainWindow.h"

#include <QFont>
#include <QImageReader>
#include <QLineEdit>
#include <QPushButton>
#include <climits>
#include <future>

#include "common/MessageLog.h"
#include "device/DeviceMonitor.h"
#include "firmware/WorkerThreadForFW.h"
#include "readback/WorkerThreadForSaveData.h"
#include "ui/Accessibility.h"
#include "ui/FocusMark.h"
#include "ui/ProgressTips.h"
#include "ui/StyleSheets.h"
#include "ui/Tray.h"

MainWindow *g_mainWindow = nullptr;

namespace {

constexpr int kFwArrowX[6] = {295, 325, 350, 375, 400, 425};
constexpr int kFwArrowY = 555;
constexpr int kSaveArrowX[6] = {260, 286, 312, 338, 364, 390};
constexpr int kSaveArrowY = 435;
constexpr QSize kArrowSize(18, 21);
const char *const kFontFamily = "Microsoft Yahei UI";
const QString kBackgroundPath = QStringLiteral(":/pics/背景.png");

QLineEdit *createLineEdit(QWidget *parent, const QRect &geometry) {
    auto *edit = new QLineEdit(parent);
    edit->setGeometry(geometry);
    edit->setStyleSheet(QString::fromUtf8(styles::kLineEdit));
    edit->setFont(QFont(kFontFamily, 12));
    return edit;
}

} // namespace

static void loadEmbeddedResources() {
    Q_INIT_RESOURCE(corvane);
}

static void loadEmbeddedHighDensityResources() {
    Q_INIT_RESOURCE(corvane_2x);
}

MainWindow::MainWindow(QWidget *parent) : QDialog(parent) {
    loadEmbeddedResources();
    loadEmbeddedHighDensityResources();
    a11y::installFactory();
    Qt::WindowFlags chrome = Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    // A tool window has no taskbar entry; only the tray brings it back, so
    // without a tray the window stays an ordinary (minimizable) one. The window
    // manager keeps managing it: an unmanaged X11 window gets no keyboard focus
    // and its message boxes open behind it.
    if (tray::available())
        chrome |= Qt::Tool;
    setWindowFlags(windowFlags() | chrome);
    setAttribute(Qt::WA_QuitOnClose, true);
    setWindowTitle(QStringLiteral("Corvane")); // for task switchers and window tools
    g_mainWindow = this;
    setStyleSheet(QString::fromUtf8(styles::kDialogs));
    // Decoding the background takes about as long as building the widgets,
    // so both happen at once; the window takes its size from the image header.
    auto background = std::async(std::launch::async, [] { return QImage(kBackgroundPath); });
    // The window is a fixed picture: a tiling compositor that stretched it
    // would scale the background under buttons that keep their places. A
    // fixed size also tells such compositors to float it.
    setFixedSize(QImageReader(kBackgroundPath).size());
    // The workers exist before anything can deliver a device event: a box
    // shown while the device is opened runs an event loop, and a removal
    // delivered there stops the workers.
    createWorkers();
    registerDeviceNotifications();
    createWidgets();
    backgroundPixmap = QPixmap::fromImage(background.get());
    // Watching starts before the first look, so an accessory plugged in
    // meanwhile is not missed.
    watchDevices();
    openDevice();
    createTrayIcon();
}

MainWindow::~MainWindow() {
    // Exit is refused while a worker runs; this only guards against a thread
    // object being destroyed under a running thread on any other way out.
    stopWorkers(ULONG_MAX);
    finishSessionRecording(false);
}

QPushButton *MainWindow::createButton(const QRect &geometry, const char *slot,
                                      const QString &styleSheet) {
    auto *button = new QPushButton(QString(), this);
    button->setGeometry(geometry);
    if (slot)
        connect(button, SIGNAL(clicked()), this, slot);
    button->setStyleSheet(styleSheet);
    return button;
}

void MainWindow::createWidgets() {
    auto sheet = [](const char *utf8) { return QString::fromUtf8(utf8); };
    btnLogin =
        createButton({209, 166, 109, 48}, SLOT(slotPushButtonLoginPSNID()), sheet(styles::kLogin));
    btnPaste =
        createButton({344, 166, 109, 48}, SLOT(slotPushButtonPastePSNID()), sheet(styles::kPaste));
    btnDeviceConnected =
        createButton({230, 110, 232, 22}, nullptr, sheet(styles::kDeviceConnected));
    btnDeviceConnected->hide();
    btnDeviceNotConnected =
        createButton({200, 110, 282, 22}, nullptr, sheet(styles::kDeviceNotConnected));
    btnDeviceNotConnected->hide();
    QPushButton *exit =
        createButton({620, 12, 16, 16}, SLOT(slotPushButtonClose()), sheet(styles::kExit));
    QPushButton *hide =
        createButton({580, 16, 20, 8}, SLOT(slotPushButtonMini()), sheet(styles::kHide));
    QPushButton *loadFirmware = createButton({75, 540, 188, 54}, SLOT(slotPushButtonLoadFW()),
                                             sheet(styles::kLoadFirmware));
    btnRun =
        createButton({480, 540, 100, 51}, SLOT(slotPushButtonRunUpdateFW()), sheet(styles::kRun));
    for (int i = 0; i < 6; ++i)
        fwArrows[i] = createButton({QPoint(kFwArrowX[i], kFwArrowY), kArrowSize}, nullptr,
                                   sheet(styles::kArrowInitial));
    QPushButton *save =
        createButton({278, 380, 109, 48}, SLOT(slotPushButtonRunSaveData()), sheet(styles::kSave));
    for (int i = 0; i < 6; ++i)
        saveArrows[i] = createButton({QPoint(kSaveArrowX[i], kSaveArrowY), kArrowSize}, nullptr,
                                     sheet(styles::kArrowInitial));
    editPsnId = createLineEdit(this, {158, 238, 400, 30});
    editPin = createLineEdit(this, {158, 318, 400, 30});
    btnVersion = createButton({88, 673, 190, 20}, nullptr, sheet(styles::kVersionLine));
    btnVersion->setFont(QFont(kFontFamily, 8));

    a11y::describe(exit, QStringLiteral("Exit"));
    a11y::describe(hide, QStringLiteral("Minimize"));
    a11y::describe(loadFirmware, QStringLiteral("Load Firmware"));
    a11y::describe(btnRun, QStringLiteral("Run"));
    a11y::describe(save, QStringLiteral("Save"));
    makeAccessible(
        {btnLogin, btnPaste, editPsnId, editPin, save, loadFirmware, btnRun, hide, exit});
}

void MainWindow::makeAccessible(const QList<QWidget *> &tabOrder) {
    a11y::describe(btnLogin, QStringLiteral("Login"));
    a11y::describe(btnPaste, QStringLiteral("Paste"));
    a11y::describe(editPsnId, QStringLiteral("Account ID"));
    a11y::describe(editPin, QStringLiteral("PIN"));
    // Marked before anything names them: a widget's accessible interface is
    // made (and kept) on its first accessibility event.
    for (QPushButton *status : {btnDeviceConnected, btnDeviceNotConnected, btnVersion})
        a11y::markAsStatusText(status);
    a11y::describe(btnDeviceConnected, QStringLiteral("Device connected"));
    a11y::describe(btnDeviceNotConnected, QStringLiteral("Device not connected"));
    showVersion(QString());
    fwProgress = new ArrowRowIndicator(this, fwArrows, QStringLiteral("Firmware update progress"));
    saveProgress = new ArrowRowIndicator(this, saveArrows, QStringLiteral("Save progress"));
    focusMark = new FocusMark(this, tabOrder);
    progressTips = new ProgressTips(this);
}

void MainWindow::readOutProgress(const QString &activity, std::function<BlockCount()> count,
                                 ArrowRowIndicator *row) {
    progressTips->begin(activity, std::move(count), row->rowWidgets(), row->rowTip());
}

void MainWindow::showVersion(const QString &text) {
    btnVersion->setText(text);
    a11y::describe(btnVersion, text.isEmpty() ? QStringLiteral("Version unknown")
                                              : QStringLiteral("Version ") + text);
    btnVersion->setAccessibleDescription(QString()); // an update's note is about the past one
}

void MainWindow::explainNotConnected(const QString &problem) {
    btnDeviceNotConnected->setToolTip(problem.isEmpty() ? btnDeviceNotConnected->accessibleName()
                                                        : problem);
    btnDeviceNotConnected->setAccessibleDescription(problem);
}

void MainWindow::createWorkers() {
    fwWorker = new WorkerThreadForFW(this);
    saveDataWorker = new WorkerThreadForSaveData(this);
    connect(fwWorker, &WorkerThreadForFW::sigRunUpdateFWProcess, this,
            &MainWindow::slotShowRunUpdateFWProcess);
    connect(saveDataWorker, &WorkerThreadForSaveData::sigRunUpdateSaveDataProcess, this,
            &MainWindow::slotShowRunUpdateSaveDataProcess);
    connect(fwWorker, &QThread::finished, this, &MainWindow::onFirmwareWorkerFinished);
    connect(saveDataWorker, &QThread::finished, this, &MainWindow::onBackupWorkerFinished);
}

void MainWindow::dimFirmwareArrows() {
    for (QPushButton *arrow : fwArrows)
        arrow->setStyleSheet(QString::fromUtf8(styles::kArrowDim));
}
