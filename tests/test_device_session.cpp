// Discovery and identification through the real window against the emulated
// accessory.
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <cstring>

#include "device/DeviceDiscovery.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"

namespace {

emu::DeviceSpec device(uint16_t vendor, uint16_t product, const std::string &path,
                       uint16_t usagePage = 2) {
    emu::DeviceSpec spec;
    spec.vendorId = vendor;
    spec.productId = product;
    spec.usagePage = usagePage;
    spec.path = path;
    return spec;
}

emu::RequestMatcher recordReadOf(const char *name) {
    return [name](const std::vector<uint8_t> &request, int) {
        return request.size() > 24 && request[3] == 1 && request[4] == 3 &&
               std::strncmp(reinterpret_cast<const char *>(&request[9]), name, 16) == 0;
    };
}

QByteArray storedRecord(const char *name) {
    const std::vector<uint8_t> value = emu::record(fixture::kDevicePath, name);
    return QByteArray(reinterpret_cast<const char *>(value.data()), int(value.size()));
}

} // namespace

class TestDeviceSession : public QObject {
    Q_OBJECT

private slots:
    void init() { fixture::resetEmulation(); }
    void cleanup() { QCOMPARE(emu::misuseCount(), 0); }

    void firstCandidateInListOrderWins() {
        emu::attach(device(0x6A3A, 0x2202, "/dev/hidraw-a"));
        emu::attach(device(0x1ABE, 0x2203, "/dev/hidraw-b"));
        auto window = fixture::makeWindow();
        QCOMPARE(window->currentPid, uint16_t(0x2203));
        QCOMPARE(QByteArray(window->devicePath), QByteArray("/dev/hidraw-b"));
        QVERIFY(window->hidHandle != nullptr);
    }

    void thirdCandidateIsFound() {
        emu::attach(device(0xABCD, 0x2203, "/dev/hidraw-c"));
        LogCapture log;
        auto window = fixture::makeWindow();
        QCOMPARE(window->currentPid, uint16_t(0x2203));
        QVERIFY(log.contains(QString::fromUtf8("Enter getDevicePath：vid:abcd,pid:2203")));
        QVERIFY(log.contains(QStringLiteral("find device: /dev/hidraw-c")));
        QVERIFY(log.contains(QStringLiteral("current pid:2203")));
        QVERIFY(log.contains(QStringLiteral("current pid:03 22")));
    }

    void wrongUsagePageIsNotTheAccessory() {
        emu::attach(device(0x1ABE, 0x2203, "/dev/hidraw-vendor", 0xFF00));
        auto window = fixture::makeWindow();
        window->show();
        QVERIFY(window->hidHandle == nullptr);
        QVERIFY(window->btnDeviceNotConnected->isVisible());
        QVERIFY(!window->btnDeviceConnected->isVisible());
    }

    void identificationRequestsAndTexts() {
        fixture::attachStandardDevice();
        emu::setRecordText(fixture::kDevicePath, "rp.pin", "");
        auto window = fixture::makeWindow();
        const auto reads = fixture::requestsOfKind(1, 3);
        QCOMPARE(int(reads.size()), 3);
        const char *names[] = {"version", "rp.psnid", "rp.pin"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(int(reads[i][5]), 18);
            QCOMPARE(int(reads[i][7] | reads[i][8] << 8), 0x2203);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(&reads[i][9])),
                     QByteArray(names[i]));
        }
        QCOMPARE(window->versionText, QStringLiteral("V1.2.0 emulated"));
        QCOMPARE(window->editPsnId->text(), QStringLiteral("AQIDBAUGBwg="));
        QVERIFY(window->editPin->text().isEmpty()); // a reply of length 0 empties the field
    }

    void failedVersionWriteKeepsTheOldVersion() {
        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        emu::setRecordText(fixture::kDevicePath, "version", "V9");
        emu::setRecordText(fixture::kDevicePath, "rp.psnid", "NEWIDNEW");
        emu::failWrites(fixture::kDevicePath, recordReadOf("version"));
        window->openDevice();
        QCOMPARE(window->btnVersion->text(), QStringLiteral("V1.2.0 emulated"));
        QCOMPARE(window->editPsnId->text(), QStringLiteral("NEWIDNEW"));
        QCOMPARE(window->editPin->text(), QStringLiteral("12345678"));
    }

    void silentDeviceDoesNotHangTheWindow() {
        fixture::attachStandardDevice();
        emu::stopAnswering(fixture::kDevicePath, true);
        QElapsedTimer timer;
        timer.start();
        auto window = fixture::makeWindow();
        // One bounded wait, not one per record (and never for ever).
        QVERIFY(timer.elapsed() < 2 * kInteractiveReplyMs);
        QVERIFY(window->hidHandle != nullptr);
        emu::stopAnswering(fixture::kDevicePath, false);
        window->openDevice();
        QCOMPARE(window->editPin->text(), QStringLiteral("12345678"));
    }

    // Not shown as an accessory holding empty records; Save reads them afresh
    // and overwrites none it could not read.
    void unansweredIdentificationIsNotEmptyRecords() {
        fixture::attachStandardDevice();
        emu::stopAnswering(fixture::kDevicePath, true);
        DialogAnswerer answerer;
        LogCapture log;
        auto window = fixture::makeWindow();
        const QString notAnswering = QStringLiteral("The accessory does not answer: its records "
                                                    "could not be read. The next device action "
                                                    "will try again.");
        QCOMPARE(window->btnDeviceConnected->toolTip(), notAnswering);
        QVERIFY(log.contains(notAnswering));
        QVERIFY(!window->editPsnId->placeholderText().isEmpty());
        QVERIFY(!window->editPin->placeholderText().isEmpty());

        window->editPsnId->setText(QStringLiteral("PASTEDID"));
        emu::clearRequestLog();
        window->slotPushButtonRunSaveData();
        QCOMPARE(answerer.texts(), QStringList{QStringLiteral("The accessory does not answer. "
                                                              "Check that it is plugged in "
                                                              "properly and try again.")});
        QVERIFY(fixture::requestsOfKind(1, 3).size() > 0); // it tried to identify again
        QVERIFY(fixture::requestsOfKind(0, 3).empty());    // and wrote nothing

        answerer.clear();
        emu::stopAnswering(fixture::kDevicePath, false);
        window->editPsnId->setText(QStringLiteral("PASTEDID"));
        window->slotPushButtonRunSaveData();
        QCOMPARE(answerer.texts(), QStringList{QStringLiteral("Save data successfully!")});
        QCOMPARE(storedRecord("rp.psnid"), QByteArray("PASTEDID"));
        QCOMPARE(window->editPin->text(), QStringLiteral("12345678")); // read afresh, kept
        QCOMPARE(storedRecord("rp.pin"), QByteArray("12345678"));
        QVERIFY(window->btnDeviceConnected->toolTip().isEmpty());
        QVERIFY(window->editPin->placeholderText().isEmpty());
    }

    void repeatedOpensKeepOneHandle() {
        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        for (int i = 0; i < 100; ++i)
            window->openDevice();
        QCOMPARE(emu::openHandleCount(), 1);
    }

    void unplugWithoutNoticeKeepsTheHandle() {
        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        window->show();
        hid_device *before = window->hidHandle;
        emu::detach(fixture::kDevicePath);
        window->openDevice();
        QCOMPARE(window->hidHandle, before);
        QVERIFY(window->btnDeviceNotConnected->isVisible());
    }

    void libraryOrOpenFailure() {
        fixture::attachStandardDevice();
        emu::failInit(true);
        {
            LogCapture log;
            auto window = fixture::makeWindow();
            QVERIFY(log.contains(QStringLiteral("hid_init() fail")));
            QVERIFY(window->hidHandle == nullptr);
        }
        emu::failInit(false);
        emu::failOpen(fixture::kDevicePath, true);
        auto window = fixture::makeWindow();
        window->show();
        QVERIFY(window->hidHandle == nullptr);
        QVERIFY(window->btnDeviceNotConnected->isVisible());
        QVERIFY(window->btnDeviceNotConnected->toolTip().contains(QStringLiteral("udevadm")));
    }

    void discoveryCopiesAtMost256Bytes() {
        const std::string longPath = "/dev/" + std::string(300, 'p');
        emu::attach(device(0x1ABE, 0x2203, longPath));
        char buffer[260];
        std::memset(buffer, 0x55, sizeof buffer);
        getDevicePath(0x1ABE, 0x2203, 2, 1, buffer);
        QCOMPARE(std::string(buffer, 256), longPath.substr(0, 256));
        QCOMPARE(buffer[256], char(0x55)); // the last four bytes are not written

        std::memset(buffer, 0, sizeof buffer);
        getDevicePath(0x1ABE, 0x2109, 2, 1, buffer);
        QCOMPARE(buffer[0], '\0'); // a miss leaves the buffer alone
    }

    void discoveryWithoutUsageFilterTakesTheFirstRecord() {
        emu::attach(device(0x1ABE, 0x2203, "/dev/hidraw-first", 0xFF00));
        emu::attach(device(0x1ABE, 0x2203, "/dev/hidraw-second"));
        char buffer[260] = {};
        getDevicePath(0x1ABE, 0x2203, 0, 0, buffer);
        QCOMPARE(QByteArray(buffer), QByteArray("/dev/hidraw-first"));
        std::memset(buffer, 0, sizeof buffer);
        getDevicePath(0x1ABE, 0x2203, 2, 1, buffer);
        QCOMPARE(QByteArray(buffer), QByteArray("/dev/hidraw-second"));
    }
};

QTEST_MAIN(TestDeviceSession)
#include "test_device_session.moc"
