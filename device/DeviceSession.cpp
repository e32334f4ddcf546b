// The window's device session: finding, opening and identifying the accessory.
#include <QDebug>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>

#include "device/DeviceDiscovery.h"
#include "firmware/WorkerThreadForFW.h"
#include "readback/WorkerThreadForSaveData.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"

namespace {

struct Candidate {
    uint16_t vendorId;
    uint16_t productId;
};

// Tried in this order; the first one found is opened.
constexpr Candidate kCandidates[] = {
    {0x1ABE, 0x2203}, {0x6A3A, 0x2202}, {0xABCD, 0x2203}, {0x1ABE, 0x2109},
    {0xABCD, 0x2204}, {0xABCD, 0x2206}, {0x1ABE, 0x2204},
};
constexpr uint16_t kUsagePage = 2;
constexpr uint16_t kUsage = 1;

const char *const kPermissionHint =
    "The accessory was found but could not be opened. On Linux this is almost always a "
    "missing udev rule: install the program's rule (70-corvane.rules) into "
    "/etc/udev/rules.d or /usr/lib/udev/rules.d, run "
    "'udevadm control --reload-rules && udevadm trigger', then unplug and replug the "
    "accessory.";

} // namespace

void MainWindow::openDevice() {
    if (deviceJobRunning()) {
        // Never re-identify under a running transfer; do it when it ends.
        arrivalPending = true;
        return;
    }
    if (hid_init() == -1) {
        qDebug("hid_init() fail");
        channel.close();
        return;
    }
    std::memset(devicePath, 0, sizeof devicePath);
    for (const Candidate &candidate : kCandidates) {
        getDevicePath(candidate.vendorId, candidate.productId, kUsagePage, kUsage, devicePath);
        if (devicePath[0] != 0) {
            currentPid = candidate.productId;
            break;
        }
    }
    btnDeviceNotConnected->setToolTip(QString());
    if (devicePath[0] == 0) {
        showConnected(false);
        return;
    }
    qDebug("current pid:%04x", currentPid);
    qDebug("current pid:%02x %02x", currentPid & 0xFF, currentPid >> 8);
    editPsnId->setText(QString());
    editPin->setText(QString());
    hid_device *opened = hid_open_path(devicePath);
    if (opened)
        hid_set_nonblocking(opened, 0);
    channel.replace(opened);
    if (!opened) {
        qDebug() << kPermissionHint;
        btnDeviceNotConnected->setToolTip(QString::fromUtf8(kPermissionHint));
        showConnected(false);
        return;
    }
    showConnected(true);
    readDeviceRecords();
}

void MainWindow::readDeviceRecords() {
    struct RecordTarget {
        const char *name;
        bool isVersion;
    };
    static constexpr RecordTarget kRecords[] = {
        {"version", true}, {"rp.psnid", false}, {"rp.pin", false}};
    for (const RecordTarget &record : kRecords) {
        DeviceReport reply{};
        const ExchangeResult result =
            exchange(report::recordRead(currentPid, record.name), &reply, ReplyWait::Interactive);
        if (result == ExchangeResult::WriteFailed || result == ExchangeResult::NoDevice)
            continue;
        const QString text = report::replyRecordText(reply, record.isVersion);
        if (record.isVersion) {
            versionText = text;
            btnVersion->setText(versionText);
        } else {
            (std::strcmp(record.name, "rp.psnid") == 0 ? editPsnId : editPin)->setText(text);
        }
        // A device that does not answer one read will not answer the next
        // either; stop here instead of waiting out every timeout.
        if (result == ExchangeResult::Timeout)
            break;
    }
}

void MainWindow::showConnected(bool connected) {
    btnDeviceConnected->setVisible(connected);
    btnDeviceNotConnected->setVisible(!connected);
}

ExchangeResult MainWindow::exchange(const DeviceReport &request, DeviceReport *reply,
                                    ReplyWait wait) {
    return channel.exchange(request, reply, wait);
}

void MainWindow::stopWorkers(unsigned long waitMs) {
    for (QThread *worker :
         {static_cast<QThread *>(fwWorker), static_cast<QThread *>(saveDataWorker)}) {
        if (worker && worker->isRunning()) {
            worker->requestInterruption();
            worker->wait(waitMs);
        }
    }
}

bool MainWindow::deviceJobRunning() const {
    return (fwWorker && fwWorker->isRunning()) || (saveDataWorker && saveDataWorker->isRunning());
}

bool MainWindow::refuseWhileDeviceBusy() {
    if (!deviceJobRunning())
        return false;
    showWarning(this, QStringLiteral("The device is busy with a firmware update or a flash "
                                     "backup; please wait until it has finished."));
    return true;
}

void MainWindow::closeDeviceHandle() {
    channel.close();
}

void MainWindow::runDeferredArrival() {
    if (!arrivalPending || deviceJobRunning())
        return;
    arrivalPending = false;
    openDevice();
}
