#pragma once

#include <QDeadlineTimer>
#include <QDialog>
#include <QList>
#include <QNetworkReply>
#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "device/DeviceChannel.h"
#include "device/DeviceLock.h"
#include "device/DeviceSession.h"
#include "device/SessionRecorder.h"
#include "device/UnitReturn.h"
#include "ui/QtCompat.h"

class QAction;
class QLineEdit;
class QMenu;
class QNetworkAccessManager;
class QPushButton;
class QTimer;
class WorkerThreadForFW;
class WorkerThreadForSaveData;
class DeviceMonitor;
class ResolverRun;
struct ResolvedAccountId;
class ArrowRowIndicator;
class FocusMark;
class ProgressTips;
struct BlockCount;

// The program's one window: a fixed 656 x 710 frameless picture with image
// buttons. It owns the open device handle, the worker threads and the tray.
// Its slots are implemented next to the subsystem they belong to (device/,
// firmware/, account/, readback/); construction, chrome and tray live in ui/.
class MainWindow : public QDialog {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // --- device session -------------------------------------------------
    void openDevice();
    // Every request and its reply travel through here; see DeviceChannel.
    ExchangeResult exchange(const DeviceReport &request, DeviceReport *reply, ReplyWait wait);
    // The channel itself, for the shared device code the workers run.
    DeviceChannel &deviceChannel() { return channel; }
    // True while the firmware transfer or the flash read-back is running.
    bool deviceJobRunning() const;
    // Shows the refusal for a device action attempted during a running job and
    // returns true; returns false when the device is free.
    bool refuseWhileDeviceBusy();

    // Adds entries to the background menu after the program's own; the demo
    // build over the emulated accessory uses it for its plug controls.
    static void setBackgroundMenuExtension(std::function<void(QMenu *)> extension);

    // --- account ---------------------------------------------------------
    // True from a Paste press that reached the resolver until its outcome has
    // been shown and its interpreter is gone (or it was given up after its
    // deadline).
    bool pasteInProgress() const;

    // --- hot-plug --------------------------------------------------------
    void handleInterfaceArrival(const QString &interfaceName);
    void handleInterfaceRemoval(const QString &interfaceName);

    // --- flash backup ----------------------------------------------------
    // Starts a read-back into `path`; refuses (with a message) when no device is
    // open or another device job runs. Returns whether the worker was started.
    bool startFlashBackup(const QString &path);

    // --- members (in this order, the window's documented state) ----------
    QPixmap backgroundPixmap;
    uint16_t currentPid = 0;
    WorkerThreadForFW *fwWorker = nullptr;
    WorkerThreadForSaveData *saveDataWorker = nullptr;
    hid_device *hidHandle = nullptr;
    std::array<QPushButton *, 6> fwArrows{};
    QPushButton *btnDeviceConnected = nullptr;
    QPushButton *btnDeviceNotConnected = nullptr;
    std::array<QPushButton *, 6> saveArrows{};
    QPushButton *btnVersion = nullptr;
    QLineEdit *editPsnId = nullptr;
    QLineEdit *editPin = nullptr;
    QPushButton *btnLogin = nullptr;
    QPushButton *btnPaste = nullptr;
    char devicePath[260] = {};
    QString firmwarePath;
    // The image Run read and checked, for the worker to send; it takes it.
    QByteArray firmwareImage;
    QString saveDataPath;
    QString versionText;
    bool isDragging = false;
    QPoint pressGlobalPos;
    QPoint windowTopLeft;
    QSystemTrayIcon *sysTrayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QAction *closeTrayAction = nullptr;
    QAction *showOrHideTrayAction = nullptr;

public slots:
    void onSendHttpsRequest(QString url);
    void onFinished();
    void onError(QNetworkReply::NetworkError errorCode);
    void slotPushButtonLoginPSNID();
    void slotPushButtonPastePSNID();
    void slotTrayMenuHovered();
    void slotTrayMenuAboutToShow();
    void slotTrayMenuAboutToHid();
    void on_CloseTrayAction();
    void on_ShowOrHideTrayAction();
    void on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason);
    void slotPushButtonClose();
    void slotPushButtonMini();
    void slotPushButtonLoadFW();
    void slotPushButtonRunUpdateFW();
    void slotShowRunUpdateFWProcess(int);
    void slotPushButtonRunSaveData();
    void slotShowRunUpdateSaveDataProcess(int);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message,
                     NativeEventResult *result) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void reject() override;

private:
    void createWidgets();
    // Names, tool tips, tab order and focus mark for the controls just built.
    void makeAccessible(const QList<QWidget *> &tabOrder);
    // Shows `text` in the version line, which also names it for assistive tools.
    void showVersion(const QString &text);
    // The not-connected indicator's tool tip: `problem` when there is one to
    // explain, otherwise the plain state.
    void explainNotConnected(const QString &problem);
    const QPixmap &backgroundForScreen();
    // Where the window goes when first shown: where it was put, or else in
    // the middle of its screen's free area.
    QPoint firstPlace() const;
    // Tool tips with percent and time left while the worker runs.
    void readOutProgress(const QString &activity, std::function<BlockCount()> count,
                         ArrowRowIndicator *row);
    // After an update: log and show on the version line whether it changed;
    // `notRead` says why the new version is not known (empty when it was read).
    void noteVersionChange(const QString &before, const QString &notRead);
    // Run on an accessory that did not answer its identification asks first.
    bool confirmUpdateOfDevice();
    // After an update the accessory restarts and may come back under a new
    // node: it is looked for (by vendor, product and serial) on a timer, never
    // blocking the window, for up to kRestartWaitMs.
    void awaitUpdatedDevice();
    // One look for the updated accessory; true once the wait has ended.
    bool identifyUpdatedDevice();
    void endRestartWait(const QString &notRead);
    bool awaitingRestart() const;
    QPushButton *createButton(const QRect &geometry, const char *slot, const QString &styleSheet);
    void createWorkers();
    void createTrayIcon();
    void createTrayActions();
    void createTrayMenu();
    void registerDeviceNotifications();
    // Follows the system's hot-plug announcements, where it makes them.
    void watchDevices();

    // openDevice on the interface `unit` (null: the first candidate attached).
    void openDeviceAt(const accessory::Attached *unit);
    void readDeviceRecords();
    // "product 2203 at <path>, version <text>", or "not connected".
    QString accessoryDescription() const;
    void showIdentification(const accessory::Identity &identity);
    // For the device actions: true when an accessory is open and identified,
    // after identifying it afresh if its last identification was not
    // answered; otherwise tells the user why not and returns false.
    bool identifiedForDeviceAction();
    // Tells the user when no accessory is open or it is not identified.
    bool deviceReadyForAction();
    bool identifiedForSave();
    void showConnected(bool connected);
    void closeDeviceHandle();
    void stopWorkersForRemoval();
    // The removal steps for the open device: workers stopped, handle closed,
    // displays back to "Device not connected".
    void endSessionForRemoval();
    // Asks each running worker to stop and waits up to `waitMs` for it.
    void stopWorkers(unsigned long waitMs);
    void dimFirmwareArrows();
    // The Run button's tool tip names the chosen image, and the log records it.
    void showChosenFirmware();
    void logImageToSend(const QByteArray &image);
    void onFirmwareWorkerFinished();
    void onBackupWorkerFinished();
    // What follows either job's end: the lock and the progress tips given
    // back, the failure (if any) told, a deferred arrival handled.
    void endDeviceJob(const QString &failure);
    void runDeferredArrival();
    // Takes the accessory's cross-process lock for an exchange sequence or a
    // job; when another program holds it, says so in a warning box and
    // returns false. Nested calls during this window's own job succeed.
    bool lockDevice();
    void unlockDevice();
    // True inside a progress slot reached by a step that a job queued before
    // a device removal stopped it.
    bool isStepOfStoppedJob() const;

    // A close attempt while a worker writes or reads the device, or while a
    // Paste's interpreter runs, is refused; returns true when it was refused.
    bool refuseCloseWhileDeviceBusy();
    bool refuseCloseWhilePasteRuns();
    // Closes the window and ends the event loop, also when the window is
    // hidden (closing a hidden window alone does not end the program).
    void closeAndQuit();
    void hideOrMinimize();

    void startResolving(const QString &pastedText);
    void showResolvedAccountId(const ResolvedAccountId &resolved);
    void endPasteWhenDone();

    void backUpFlashInteractively();
    void saveDiagnosticLog();
    // "Record device session…": starts a recording, or ends the one running.
    void toggleSessionRecording();
    // Writes the running recording, if any; `tell` shows where it went.
    void finishSessionRecording(bool tell);
    std::shared_ptr<recording::Recorder> sessionRecorder;

    DeviceChannel channel{hidHandle};
    QPixmap backgroundPixmap2x; // loaded when first painted on a high-density screen
    // Where the window was when it was last hidden, so that it comes back there.
    std::optional<QPoint> placeWhenHidden;
    FocusMark *focusMark = nullptr;
    ArrowRowIndicator *fwProgress = nullptr;
    ArrowRowIndicator *saveProgress = nullptr;
    ProgressTips *progressTips = nullptr;
    QString versionBeforeUpdate;
    QNetworkAccessManager *networkManager = nullptr;
    DeviceMonitor *deviceMonitor = nullptr;
    bool arrivalPending = false;
    QPushButton *btnRun = nullptr;
    DeviceLock deviceLock;
    bool identifyRefused = false; // the last openDevice met another program's lock
    ResolverRun *resolverRun = nullptr;
    bool pasteAwaitingOutcome = false;
    bool fwJobStopped = false;     // set by a removal, cleared when a transfer starts
    bool backupJobStopped = false; // likewise for the flash backup
    // The open accessory answered every record read of its identification.
    bool deviceIdentified = false;
    bool versionRead = false; // its last identification read the version
    // The accessory a firmware update was started on, until the update's
    // outcome has been shown.
    std::optional<accessory::Attached> updatedUnit;
    QTimer *restartPoll = nullptr;
    std::optional<accessory::UnitReturn> unitReturn; // the wait for it, once its update ended
    // The user typed into the account-ID field while a Paste was resolving.
    bool idTypedDuringPaste = false;
};

// The process-wide pointer to the one window; set early in its construction.
extern MainWindow *g_mainWindow;
