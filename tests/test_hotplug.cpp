// Hot-plug: which interface names concern the accessory, what arrival and
// removal do to the window and its device session, and how Linux hidraw nodes
// are named.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <atomic>
#include <memory>

#include "device/DeviceLock.h"
#include "device/DeviceMonitor.h"
#include "device/Hotplug.h"
#include "firmware/WorkerThreadForFW.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"
#include "ui/StyleSheets.h"

namespace {

const QString kOpenedName = QStringLiteral(
    "\\\\?\\HID#VID_1ABE&PID_2203#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
const QString kWatchedNeverOpenedName = QStringLiteral(
    "\\\\?\\HID#VID_1ABE&PID_2202#7&5e6f7a8b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
const QString kOpenedButUnwatchedName = QStringLiteral(
    "\\\\?\\HID#VID_ABCD&PID_2203#7&9c0d1e2f&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");

// The names the Linux monitor gives the emulated accessory's node, and another node.
QString openedNodeName() {
    return QStringLiteral("HID#VID_1ABE&PID_2203#") + QString::fromStdString(fixture::kDevicePath);
}
const std::string kOtherNode = "/dev/hidraw-emulated1";

constexpr int kRecordReadCommand = 1;
constexpr int kRecordTarget = 3;
constexpr int kFirmwareCommand = 2;
constexpr int kFirmwareTarget = 1;

bool arrowsDimmed(const MainWindow &window) {
    for (const QPushButton *arrow : window.fwArrows) {
        if (arrow->styleSheet() != QString::fromUtf8(styles::kArrowDim))
            return false;
    }
    return true;
}

bool showsConnected(const MainWindow &window) {
    return !window.btnDeviceConnected->isHidden() && window.btnDeviceNotConnected->isHidden();
}

bool showsNotConnected(const MainWindow &window) {
    return window.btnDeviceConnected->isHidden() && !window.btnDeviceNotConnected->isHidden();
}

bool isRequest(const emu::LoggedRequest &request, int command, int target) {
    return request.bytes.size() > 4 && request.bytes[3] == command && request.bytes[4] == target;
}

// Where the record reads fell relative to the firmware blocks in the log.
struct RequestOrder {
    int firstFirmwareBlock = -1;
    int lastFirmwareBlock = -1;
    int recordReadsBetweenBlocks = 0;
    int recordReadsAfterBlocks = 0;
};

RequestOrder requestOrder() {
    const std::vector<emu::LoggedRequest> log = emu::requestLog();
    RequestOrder order;
    for (int i = 0; i < int(log.size()); ++i) {
        if (isRequest(log[i], kFirmwareCommand, kFirmwareTarget)) {
            if (order.firstFirmwareBlock < 0)
                order.firstFirmwareBlock = i;
            order.lastFirmwareBlock = i;
        }
    }
    for (int i = order.firstFirmwareBlock + 1; i < int(log.size()); ++i) {
        if (!isRequest(log[i], kRecordReadCommand, kRecordTarget))
            continue;
        if (i < order.lastFirmwareBlock)
            ++order.recordReadsBetweenBlocks;
        else
            ++order.recordReadsAfterBlocks;
    }
    return order;
}

// A 512 KiB image with a recognisable pattern.
QString writeFirmwareImage(const QTemporaryDir &dir) {
    const QString path = dir.filePath(QStringLiteral("firmware.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QByteArray image(512 * 1024, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + (i >> 9));
    file.write(image);
    return path;
}

bool firmwareTransferRunning(const MainWindow &window) {
    return window.fwWorker && window.fwWorker->isRunning();
}

// Chooses the image and starts the transfer the way the user does; returns
// once the first blocks have arrived.
bool startFirmwareTransfer(MainWindow &window, DialogAnswerer &answerer, const QString &image) {
    answerer.answerFileDialog(image);
    window.slotPushButtonLoadFW();
    window.slotPushButtonRunUpdateFW();
    return fixture::waitUntil([] { return emu::receivedFirmwareBlocks(fixture::kDevicePath) >= 4; },
                              10000);
}

bool anyArrowLit(const MainWindow &window) {
    for (const QPushButton *arrow : window.fwArrows) {
        if (arrow->styleSheet() == QString::fromUtf8(styles::kArrowLit))
            return true;
    }
    return false;
}

bool sawFirmwareFailure(const DialogAnswerer &answerer) {
    for (const SeenDialog &dialog : answerer.seen()) {
        if (dialog.icon == QMessageBox::Warning &&
            dialog.text.startsWith(QLatin1String("Firmware update")))
            return true;
    }
    return false;
}

} // namespace

class TestHotplug : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void classifiesInterfaceNames_data();
    void classifiesInterfaceNames();

    void parsesHidUevents_data();
    void parsesHidUevents();
    void removedNodeKeepsNameFromArrival();

    void arrivalOpensAndIdentifiesDevice();
    void arrivalWithoutAttachedDeviceShowsNotConnected();
    void removalOfWatchedInterfaceClosesHandleAndClearsFields();
    void removalWithoutOpenHandleClearsFieldsSafely();
    void unwatchedInterfaceIsIgnoredBothWays();
    void removalOfOpenNodeClosesItWhateverItsName_data();
    void removalOfOpenNodeClosesItWhateverItsName();
    void removalOfAnotherNodeChangesNothing_data();
    void removalOfAnotherNodeChangesNothing();
    void arrivalWhileOpenKeepsTypedValues();
    void arrivalAfterMissedRemovalReopens();

    void removalDuringFirmwareTransferEndsItAsFailed();
    void arrivalDuringFirmwareTransferLeavesItAlone();

    void deviceMonitorCreatesAndDestroysSafely();
    void removalInsideTheStartUpBoxIsSafe();
    void replugDuringAnEndingUpdateIsNotLost();
};

void TestHotplug::init() {
    fixture::attachStandardDevice();
}

void TestHotplug::cleanup() {
    QCOMPARE(emu::misuseCount(), 0);
}

void TestHotplug::classifiesInterfaceNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("concerns");

    const char *const watched[] = {
        "HID#VID_1ABE&PID_2202", "HID#VID_1ABE&PID_2109", "HID#VID_1ABE&PID_2203",
        "HID#VID_6A3A&PID_2202", "HID#VID_ABCD&PID_2103", "HID#VID_ABCD&PID_2109",
        "HID#VID_ABCD&PID_2204", "HID#VID_1ABE&PID_2204", "HID#VID_ABCD&PID_2206",
    };
    for (const char *fragment : watched) {
        const QString name =
            QStringLiteral("\\\\?\\%1&MI_00#8&2c3d&0&0000#{4d1e55b2}").arg(QLatin1String(fragment));
        QTest::newRow(fragment) << name << true;
    }
    QTest::newRow("lower case") << QStringLiteral("\\\\?\\hid#vid_1abe&pid_2203#7&1a2b#{4d1e}")
                                << true;
    QTest::newRow("linux node name")
        << QStringLiteral("HID#VID_6A3A&PID_2202#/dev/hidraw3") << true;
    QTest::newRow("opened but unwatched") << kOpenedButUnwatchedName << false;
    QTest::newRow("other vendor") << QStringLiteral("\\\\?\\HID#VID_046D&PID_C52B#7&0&0000")
                                  << false;
    QTest::newRow("usb not hid") << QStringLiteral("\\\\?\\USB#VID_1ABE&PID_2203#5&1f") << false;
    QTest::newRow("product cut short") << QStringLiteral("HID#VID_1ABE&PID_220") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestHotplug::classifiesInterfaceNames() {
    QFETCH(QString, name);
    QFETCH(bool, concerns);
    QCOMPARE(hotplug::concernsAccessory(name), concerns);
}

void TestHotplug::parsesHidUevents_data() {
    QTest::addColumn<QString>("uevent");
    QTest::addColumn<QString>("name");

    const QString node = QStringLiteral("/dev/hidraw3");
    QTest::newRow("usb")
        << QStringLiteral(
               "DRIVER=hid-generic\nHID_ID=0003:00001ABE:00002203\nHID_NAME=Corvane Accessory\n"
               "HID_PHYS=usb-0000:00:14.0-2/input0\nMODALIAS=hid:b0003g0001v00001ABEp00002203\n")
        << QStringLiteral("HID#VID_1ABE&PID_2203#/dev/hidraw3");
    QTest::newRow("bluetooth")
        << QStringLiteral(
               "DRIVER=hid-generic\nHID_ID=0005:00006A3A:00002202\nHID_NAME=Accessory BT\n"
               "HID_UNIQ=aa:bb:cc:dd:ee:ff\nMODALIAS=hid:b0005g0001v00006A3Ap00002202\n")
        << QStringLiteral("HID#VID_6A3A&PID_2202#/dev/hidraw3");
    QTest::newRow("lower-case hex") << QStringLiteral("HID_ID=0003:0000abcd:00002206\n")
                                    << QStringLiteral("HID#VID_ABCD&PID_2206#/dev/hidraw3");
    QTest::newRow("short fields") << QStringLiteral("HID_ID=3:1abe:2203")
                                  << QStringLiteral("HID#VID_1ABE&PID_2203#/dev/hidraw3");
    QTest::newRow("no HID_ID") << QStringLiteral("DRIVER=hid-generic\nHID_NAME=x\n") << QString();
    QTest::newRow("missing product") << QStringLiteral("HID_ID=0003:00001ABE\n") << QString();
    QTest::newRow("extra field") << QStringLiteral("HID_ID=0003:00001ABE:00002203:0001\n")
                                 << QString();
    QTest::newRow("empty field") << QStringLiteral("HID_ID=0003::00002203\n") << QString();
    QTest::newRow("non-hex") << QStringLiteral("HID_ID=0003:00001ABG:00002203\n") << QString();
    QTest::newRow("sign") << QStringLiteral("HID_ID=0003:+0001ABE:00002203\n") << QString();
    QTest::newRow("too many digits")
        << QStringLiteral("HID_ID=0003:000001ABE:00002203\n") << QString();
    QTest::newRow("bus too long") << QStringLiteral("HID_ID=00003:00001ABE:00002203\n")
                                  << QString();
    QTest::newRow("vendor above 16 bits")
        << QStringLiteral("HID_ID=0003:00011ABE:00002203\n") << QString();
    QTest::newRow("empty value") << QStringLiteral("HID_ID=\n") << QString();
    QTest::newRow("empty text") << QString() << QString();
}

void TestHotplug::parsesHidUevents() {
    QFETCH(QString, uevent);
    QFETCH(QString, name);
    QCOMPARE(hotplug::interfaceNameFromUevent(uevent, QStringLiteral("/dev/hidraw3")), name);
}

void TestHotplug::removedNodeKeepsNameFromArrival() {
    hotplug::HidrawNames names;
    const QString name = QStringLiteral("HID#VID_1ABE&PID_2203#/dev/hidraw3");
    names.remember(QStringLiteral("/dev/hidraw3"), name);
    names.remember(QStringLiteral("/dev/hidraw4"), QString()); // unnamed: not kept
    QCOMPARE(names.size(), 1);

    // The parent is gone by the time the node is removed.
    QCOMPARE(names.takeForRemoval(QStringLiteral("/dev/hidraw3"), QString()), name);
    QCOMPARE(names.size(), 0);
    const QString fromParent = QStringLiteral("HID#VID_ABCD&PID_2204#/dev/hidraw5");
    QCOMPARE(names.takeForRemoval(QStringLiteral("/dev/hidraw5"), fromParent), fromParent);
    QCOMPARE(names.takeForRemoval(QStringLiteral("/dev/hidraw3"), QString()), QString());
}

void TestHotplug::arrivalOpensAndIdentifiesDevice() {
    emu::detach(fixture::kDevicePath);
    auto window = fixture::makeWindow();
    QVERIFY(showsNotConnected(*window));
    QCOMPARE(emu::openHandleCount(), 0);

    emu::DeviceSpec spec;
    spec.path = fixture::kDevicePath;
    emu::attach(spec);
    emu::setRecordText(fixture::kDevicePath, "version", "V1.3.0 replugged");
    emu::setRecordText(fixture::kDevicePath, "rp.psnid", "AQIDBAUGBwg=");
    emu::setRecordText(fixture::kDevicePath, "rp.pin", "87654321");
    window->handleInterfaceArrival(kOpenedName);

    QVERIFY(showsConnected(*window));
    QCOMPARE(emu::openHandleCount(), 1);
    QCOMPARE(window->btnVersion->text(), QStringLiteral("V1.3.0 replugged"));
    QCOMPARE(window->editPsnId->text(), QStringLiteral("AQIDBAUGBwg="));
    QCOMPARE(window->editPin->text(), QStringLiteral("87654321"));
}

void TestHotplug::arrivalWithoutAttachedDeviceShowsNotConnected() {
    auto window = fixture::makeWindow();
    emu::detach(fixture::kDevicePath);
    window->handleInterfaceRemoval(openedNodeName());
    QCOMPARE(emu::initCount(), 0);
    // A watched device that the session does not open.
    emu::DeviceSpec unopened;
    unopened.productId = 0x2202;
    unopened.path = kOtherNode;
    emu::attach(unopened);

    window->handleInterfaceArrival(kWatchedNeverOpenedName);

    QCOMPARE(emu::initCount(), 1); // the arrival looked for the accessory
    QVERIFY(showsNotConnected(*window));
}

void TestHotplug::removalOfWatchedInterfaceClosesHandleAndClearsFields() {
    auto window = fixture::makeWindow();
    QVERIFY(showsConnected(*window));
    QCOMPARE(emu::openHandleCount(), 1);
    QVERIFY(!window->editPsnId->text().isEmpty());
    const QString versionBefore = window->versionText;
    QVERIFY(!versionBefore.isEmpty());

    window->handleInterfaceRemoval(openedNodeName());

    QCOMPARE(emu::openHandleCount(), 0);
    QVERIFY(window->hidHandle == nullptr);
    QVERIFY(showsNotConnected(*window));
    QCOMPARE(window->editPsnId->text(), QString());
    QCOMPARE(window->editPin->text(), QString());
    QCOMPARE(window->btnVersion->text(), QString());
    QCOMPARE(window->versionText, versionBefore);
    QVERIFY(arrowsDimmed(*window));
    QCOMPARE(QByteArray(window->devicePath, sizeof window->devicePath),
             QByteArray(sizeof window->devicePath, '\0'));
    QCOMPARE(emu::initCount(), 0);
}

void TestHotplug::removalWithoutOpenHandleClearsFieldsSafely() {
    emu::failOpen(fixture::kDevicePath, true);
    auto window = fixture::makeWindow();
    QVERIFY(window->hidHandle == nullptr);
    window->editPsnId->setText(QStringLiteral("typed id"));
    window->editPin->setText(QStringLiteral("typed pin"));

    window->handleInterfaceRemoval(openedNodeName());

    QCOMPARE(window->editPsnId->text(), QString());
    QCOMPARE(window->editPin->text(), QString());
    QVERIFY(arrowsDimmed(*window));
    QVERIFY(showsNotConnected(*window));
}

void TestHotplug::unwatchedInterfaceIsIgnoredBothWays() {
    emu::detach(fixture::kDevicePath);
    auto window = fixture::makeWindow();
    emu::DeviceSpec spec;
    spec.path = fixture::kDevicePath;
    emu::attach(spec);

    window->handleInterfaceArrival(kOpenedButUnwatchedName);
    QCOMPARE(emu::openHandleCount(), 0);
    QVERIFY(showsNotConnected(*window));

    window->handleInterfaceArrival(kOpenedName);
    QVERIFY(showsConnected(*window));
    const QString psnId = window->editPsnId->text();
    window->handleInterfaceRemoval(kOpenedButUnwatchedName);
    QCOMPARE(emu::openHandleCount(), 1);
    QVERIFY(showsConnected(*window));
    QCOMPARE(window->editPsnId->text(), psnId);
}

void TestHotplug::removalOfOpenNodeClosesItWhateverItsName_data() {
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<int>("productId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("searchedMeanwhile");
    const QString node = QString::fromStdString(fixture::kDevicePath);
    // Opened, but its name is not among the watched ones.
    QTest::newRow("ABCD:2203") << 0xABCD << 0x2203 << "HID#VID_ABCD&PID_2203#" + node << false;
    // The node alone, when the name of a removed node could not be recovered.
    QTest::newRow("node only") << 0x1ABE << 0x2203 << node << false;
    // A search that found nothing keeps the handle open, and with it its path.
    QTest::newRow("after a search that found nothing") << 0x1ABE << 0x2203 << node << true;
}

void TestHotplug::removalOfOpenNodeClosesItWhateverItsName() {
    QFETCH(int, vendorId);
    QFETCH(int, productId);
    QFETCH(QString, name);
    QFETCH(bool, searchedMeanwhile);
    fixture::resetEmulation();
    emu::DeviceSpec spec;
    spec.vendorId = uint16_t(vendorId);
    spec.productId = uint16_t(productId);
    emu::attach(spec);
    auto window = fixture::makeWindow();
    QVERIFY(showsConnected(*window));

    emu::detach(fixture::kDevicePath);
    if (searchedMeanwhile)
        window->openDevice();
    window->handleInterfaceRemoval(name);

    QCOMPARE(emu::openHandleCount(), 0);
    QVERIFY(window->hidHandle == nullptr);
    QVERIFY(showsNotConnected(*window));
}

void TestHotplug::removalOfAnotherNodeChangesNothing_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("watched, never opened") << kWatchedNeverOpenedName;
    QTest::newRow("same ids, other node")
        << "HID#VID_1ABE&PID_2203#" + QString::fromStdString(kOtherNode);
    QTest::newRow("node path inside another path")
        << "HID#VID_1ABE&PID_2203#/x" + QString::fromStdString(fixture::kDevicePath);
}

void TestHotplug::removalOfAnotherNodeChangesNothing() {
    QFETCH(QString, name);
    emu::DeviceSpec other;
    other.path = kOtherNode;
    emu::attach(other);
    auto window = fixture::makeWindow();
    QVERIFY(showsConnected(*window));
    window->editPin->setText(QStringLiteral("typed, not saved"));
    const QString version = window->btnVersion->text();

    emu::detach(kOtherNode);
    window->handleInterfaceRemoval(name);

    QCOMPARE(emu::openHandleCount(), 1);
    QVERIFY(window->hidHandle != nullptr);
    QVERIFY(showsConnected(*window));
    QCOMPARE(window->editPin->text(), QStringLiteral("typed, not saved"));
    QCOMPARE(window->btnVersion->text(), version);
    QCOMPARE(QString::fromUtf8(window->devicePath), QString::fromStdString(fixture::kDevicePath));
}

void TestHotplug::arrivalWhileOpenKeepsTypedValues() {
    auto window = fixture::makeWindow();
    window->editPsnId->setText(QStringLiteral("typed id"));
    window->editPin->setText(QStringLiteral("typed pin"));
    // Another variant comes first in the order in which the session looks.
    emu::DeviceSpec earlier;
    earlier.path = kOtherNode;
    emu::attachAt(earlier, 0);
    emu::clearRequestLog();

    window->handleInterfaceArrival(QStringLiteral("HID#VID_1ABE&PID_2203#") +
                                   QString::fromStdString(kOtherNode));
    window->handleInterfaceArrival(kOpenedName);

    QCOMPARE(window->editPsnId->text(), QStringLiteral("typed id"));
    QCOMPARE(window->editPin->text(), QStringLiteral("typed pin"));
    QCOMPARE(QString::fromUtf8(window->devicePath), QString::fromStdString(fixture::kDevicePath));
    QCOMPARE(emu::openHandleCount(), 1);
    QVERIFY(emu::requestLog().empty());
}

// The open accessory was unplugged and plugged back in without its removal
// reaching the window: the arrival must not be taken for another device's.
void TestHotplug::arrivalAfterMissedRemovalReopens() {
    auto window = fixture::makeWindow();
    QVERIFY(showsConnected(*window));
    emu::detach(fixture::kDevicePath);
    emu::DeviceSpec spec;
    spec.path = fixture::kDevicePath;
    emu::attach(spec);
    emu::setRecordText(fixture::kDevicePath, "rp.pin", "11223344");

    window->handleInterfaceArrival(kOpenedName);

    QVERIFY(showsConnected(*window));
    QCOMPARE(emu::openHandleCount(), 1);
    QCOMPARE(window->editPin->text(), QStringLiteral("11223344"));
}

void TestHotplug::removalDuringFirmwareTransferEndsItAsFailed() {
    QTemporaryDir dir;
    const QString image = writeFirmwareImage(dir);
    QVERIFY(!image.isEmpty());
    DialogAnswerer answerer;
    auto window = fixture::makeWindow();
    emu::setReplyDelayMs(fixture::kDevicePath, 5);
    std::atomic<int> emitted{0};
    connect(
        window->fwWorker, &WorkerThreadForFW::sigRunUpdateFWProcess, this, [&](int) { ++emitted; },
        Qt::DirectConnection);
    QVERIFY2(startFirmwareTransfer(*window, answerer, image), "the transfer did not start");
    QVERIFY(firmwareTransferRunning(*window));
    answerer.clear();
    // The device goes while a step is queued and not yet shown.
    const int shown = emitted;
    QDeadlineTimer deadline(10000);
    while (emitted == shown && !deadline.hasExpired())
        QThread::msleep(1);
    QVERIFY(emitted > shown);

    emu::detach(fixture::kDevicePath);
    window->handleInterfaceRemoval(openedNodeName());

    // The worker was stopped before the handle went.
    QVERIFY(!firmwareTransferRunning(*window));
    QVERIFY(fixture::waitUntil([&] { return sawFirmwareFailure(answerer); }, 5000));
    QVERIFY2(!anyArrowLit(*window), "a step of the stopped transfer lit an arrow");
    QVERIFY(!answerer.sawText(QStringLiteral("Download firmware successfully!")));
    QVERIFY(emu::receivedFirmwareBlocks(fixture::kDevicePath) < 1024);
    QCOMPARE(emu::openHandleCount(), 0);
    QVERIFY(showsNotConnected(*window));
}

void TestHotplug::arrivalDuringFirmwareTransferLeavesItAlone() {
    QTemporaryDir dir;
    const QString image = writeFirmwareImage(dir);
    DialogAnswerer answerer;
    auto window = fixture::makeWindow();
    emu::setReplyDelayMs(fixture::kDevicePath, 1);
    // A transfer that fails: unlike a successful one, it does not identify
    // the device again by itself, so only the arrival can cause that. It
    // fails once the arrival has been handled, however slow the machine.
    auto arrivalHandled = std::make_shared<std::atomic<bool>>(false);
    emu::failReads(fixture::kDevicePath,
                   [arrivalHandled](const std::vector<uint8_t> &request, int) {
                       return request.size() > 4 && request[3] == kFirmwareCommand &&
                              arrivalHandled->load();
                   });
    emu::setVersionAfterFirmware(fixture::kDevicePath, "V2.0.0 updated");
    QVERIFY2(startFirmwareTransfer(*window, answerer, image), "the transfer did not start");
    window->editPsnId->setText(QStringLiteral("typed meanwhile"));

    const auto recordReads = [] {
        return fixture::requestsOfKind(kRecordReadCommand, kRecordTarget).size();
    };
    const auto readsBeforeArrival = recordReads();
    window->handleInterfaceArrival(kOpenedName);
    QCOMPARE(emu::openHandleCount(), 1);
    QCOMPARE(recordReads(), readsBeforeArrival);
    *arrivalHandled = true;
    bool handleReplacedUnderTransfer = false;
    QVERIFY(fixture::waitUntil([&] {
        const bool running = firmwareTransferRunning(*window);
        if (running && emu::openHandleCount() != 1)
            handleReplacedUnderTransfer = true;
        return !running;
    }));
    QVERIFY(!handleReplacedUnderTransfer);
    const RequestOrder order = requestOrder();
    QVERIFY(order.lastFirmwareBlock > order.firstFirmwareBlock);
    QVERIFY2(order.recordReadsBetweenBlocks == 0, "a record was read under the transfer");

    QVERIFY(fixture::waitUntil([&] { return sawFirmwareFailure(answerer); }, 10000));
    QCoreApplication::processEvents();
    // The open, identified device stays as it is after the transfer too.
    QVERIFY(window->btnVersion->text() != QStringLiteral("V2.0.0 updated"));
    QCOMPARE(window->editPsnId->text(), QStringLiteral("typed meanwhile"));
    QCOMPARE(emu::openHandleCount(), 1);
    QVERIFY(showsConnected(*window));
    QCOMPARE(requestOrder().recordReadsAfterBlocks, 0);
}

void TestHotplug::deviceMonitorCreatesAndDestroysSafely() {
    auto window = fixture::makeWindow();
    // The window made one already; a second one beside it and its removal
    // must not disturb the first, and neither may block.
    DeviceMonitor *monitor = DeviceMonitor::create(window.get());
    QCoreApplication::processEvents();
    delete monitor;
    QCoreApplication::processEvents();
    window.reset();
    QCoreApplication::processEvents();
}

// The demo build forwards the emulation's plug events queued, as the system
// monitor's arrive. At start-up another program holds the accessory, so the
// constructor's identification shows a box; the accessory is unplugged while
// it is open, and the removal is handled in the box's event loop, before the
// constructor has finished.
void TestHotplug::removalInsideTheStartUpBoxIsSafe() {
    DeviceLock other;
    QCOMPARE(other.acquire(QString::fromStdString(fixture::kDevicePath)),
             DeviceLock::Result::Acquired);
    emu::setHotplugListener([](const std::string &path, bool arrived) {
        const QString name =
            hotplug::interfaceName({0x0003, 0x1ABE, 0x2203}, QString::fromStdString(path));
        QMetaObject::invokeMethod(
            qApp,
            [name, arrived] {
                if (!arrived)
                    g_mainWindow->handleInterfaceRemoval(name);
            },
            Qt::QueuedConnection);
    });
    DialogAnswerer answerer;
    QString boxText;
    answerer.answerMessageBox([&boxText](const messages::Dialog &box) {
        boxText = box.text;
        emu::detach(fixture::kDevicePath);
        // The removal was queued; the box closes once it has been handled.
        QCoreApplication::processEvents();
        return QMessageBox::Ok;
    });
    auto window = fixture::makeWindow();
    emu::setHotplugListener(nullptr);
    QVERIFY2(boxText.startsWith(fixture::busyText()), qPrintable(boxText));
    QVERIFY(window->hidHandle == nullptr);
    QVERIFY(showsNotConnected(*window));
    QVERIFY(window->fwWorker && !window->fwWorker->isRunning());
}

// Unplugged during an update and plugged in again before the stopped
// transfer's end has reached the window: the arrival is handled once it has.
void TestHotplug::replugDuringAnEndingUpdateIsNotLost() {
    QTemporaryDir dir;
    DialogAnswerer answerer;
    auto window = fixture::makeWindow();
    emu::setReplyDelayMs(fixture::kDevicePath, 1);
    QVERIFY(startFirmwareTransfer(*window, answerer, writeFirmwareImage(dir)));
    emu::detach(fixture::kDevicePath);
    window->handleInterfaceRemoval(openedNodeName());
    emu::DeviceSpec spec;
    spec.path = fixture::kDevicePath;
    emu::attach(spec);
    window->handleInterfaceArrival(openedNodeName());
    QVERIFY(fixture::waitUntil([&] { return sawFirmwareFailure(answerer); }, 10000));
    QVERIFY(fixture::waitUntil([&] { return showsConnected(*window); }, 10000));
    QCOMPARE(window->editPin->text(), QStringLiteral("12345678"));
}

QTEST_MAIN(TestHotplug)
#include "test_hotplug.moc"
