#include "EmulatedAccessory.h"
#include "EmulatorReplay.h"

#include <hidapi.h>

#include <QtTest>

#include <atomic>
#include <thread>
#include <utility>

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kPath = emu::DeviceSpec().path;
const uint16_t kProduct = emu::DeviceSpec().productId;
const int kWait = 5000; // generous: a reply that is due never takes this long

void put16(Bytes &b, std::size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void put32(Bytes &b, std::size_t at, uint32_t v) {
    put16(b, at, uint16_t(v));
    put16(b, at + 2, uint16_t(v >> 16));
}

uint16_t u16(const Bytes &b, std::size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

Bytes slice(const Bytes &b, std::size_t at, std::size_t n) {
    return Bytes(b.begin() + long(at), b.begin() + long(at + n));
}

Bytes request(uint8_t command, uint8_t target, uint16_t payloadLength) {
    Bytes r(emu::kReportSize, 0);
    r[3] = command;
    r[4] = target;
    put16(r, 5, payloadLength);
    return r;
}

Bytes recordRead(const std::string &name) {
    Bytes r = request(1, 3, 18);
    put16(r, 7, kProduct);
    std::copy(name.begin(), name.end(), r.begin() + 9);
    return r;
}

Bytes recordWrite(const std::string &name, const Bytes &value) {
    Bytes r = request(0, 3, uint16_t(20 + value.size()));
    put16(r, 7, kProduct);
    put16(r, 9, uint16_t(value.size()));
    std::copy(name.begin(), name.end(), r.begin() + 11);
    std::copy(value.begin(), value.end(), r.begin() + 27);
    return r;
}

Bytes firmwareBlock(uint32_t index, uint8_t seed) {
    Bytes r = request(2, 1, 518);
    put16(r, 7, 512);
    put32(r, 9, index * 512);
    for (int i = 0; i < 512; ++i)
        r[13 + i] = uint8_t(seed + i);
    return r;
}

Bytes flashRead(uint32_t address) {
    Bytes r = request(1, 2, 8);
    put16(r, 7, 4);
    put16(r, 9, 512);
    put32(r, 11, address);
    return r;
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

int send(hid_device *dev, const Bytes &r) {
    return hid_write(dev, r.data(), r.size());
}

// The reply to `r`, or an empty vector when the write or the read failed.
Bytes roundTrip(hid_device *dev, const Bytes &r) {
    if (send(dev, r) != int(r.size()))
        return {};
    Bytes reply(emu::kReportSize, 0xEE);
    if (hid_read_timeout(dev, reply.data(), reply.size(), kWait) != int(emu::kReportSize))
        return {};
    return reply;
}

int readInto(hid_device *dev, int ms) {
    Bytes reply(emu::kReportSize);
    return hid_read_timeout(dev, reply.data(), reply.size(), ms);
}

// Until the device has sent every reply it owes (late ones included).
bool waitForRepliesSent() {
    for (int waited = 0; emu::repliesInFlight(kPath) > 0; ++waited) {
        if (waited > kWait)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

emu::DeviceSpec spec(const std::string &path, uint16_t vendorId, uint16_t productId) {
    emu::DeviceSpec s;
    s.path = path;
    s.vendorId = vendorId;
    s.productId = productId;
    return s;
}

std::vector<std::string> enumeratedPaths(unsigned short vendorId, unsigned short productId) {
    std::vector<std::string> paths;
    hid_device_info *list = hid_enumerate(vendorId, productId);
    for (hid_device_info *i = list; i; i = i->next)
        paths.push_back(i->path);
    hid_free_enumeration(list);
    return paths;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<uint8_t>)

class TestEmulator : public QObject {
    Q_OBJECT

    bool misuseExpected = false;

private slots:
    void init() {
        emu::reset();
        emu::attach(emu::DeviceSpec());
        misuseExpected = false;
    }

    void cleanup() {
        if (!misuseExpected)
            QCOMPARE(emu::misuseCount(), 0);
        emu::reset();
    }

    void enumerationFollowsAttachOrderAndFilters() {
        emu::reset();
        emu::attach(spec("/a", 0x1ABE, 0x2203));
        emu::attach(spec("/b", 0x1ABE, 0x1111));
        emu::attach(spec("/c", 0x2222, 0x2203));
        emu::attachAt(spec("/first", 0x1ABE, 0x2203), 0);
        using Paths = std::vector<std::string>;
        QCOMPARE(enumeratedPaths(0, 0), (Paths{"/first", "/a", "/b", "/c"}));
        QCOMPARE(enumeratedPaths(0x1ABE, 0), (Paths{"/first", "/a", "/b"}));
        QCOMPARE(enumeratedPaths(0, 0x2203), (Paths{"/first", "/a", "/c"}));
        QCOMPARE(enumeratedPaths(0x1ABE, 0x2203), (Paths{"/first", "/a"}));
        QVERIFY(hid_enumerate(0x9999, 0) == nullptr);
        emu::detach("/a");
        QCOMPARE(enumeratedPaths(0, 0), (Paths{"/first", "/b", "/c"}));
    }

    void enumerationFillsDeviceInfo() {
        hid_device_info *list = hid_enumerate(0, 0);
        QVERIFY(list && !list->next);
        QCOMPARE(list->vendor_id, emu::DeviceSpec().vendorId);
        QCOMPARE(list->product_id, kProduct);
        QCOMPARE(list->usage_page, emu::DeviceSpec().usagePage);
        QCOMPARE(list->usage, emu::DeviceSpec().usage);
        QCOMPARE(list->interface_number, 0);
        QCOMPARE(list->bus_type, HID_API_BUS_USB);
        QVERIFY(!list->product_string || !*list->product_string);
        hid_free_enumeration(list);
    }

    void openAndCloseTrackHandles() {
        QVERIFY(hid_open_path("/dev/none") == nullptr);
        emu::failOpen(kPath, true);
        QVERIFY(hid_open_path(kPath.c_str()) == nullptr);
        emu::failOpen(kPath, false);
        hid_device *first = hid_open_path(kPath.c_str());
        hid_device *second = hid_open_path(kPath.c_str());
        QVERIFY(first && second && first != second);
        QCOMPARE(emu::openHandleCount(), 2);
        hid_close(first);
        QCOMPARE(emu::openHandleCount(), 1);
        emu::detach(kPath);
        QVERIFY(hid_open_path(kPath.c_str()) == nullptr);
        QCOMPARE(emu::openHandleCount(), 1); // unplugging does not close the program's handle
        hid_close(second);
        QCOMPARE(emu::openHandleCount(), 0);
    }

    void replugLeavesOldHandlesDeadAndKeepsRecords() {
        hid_device *old = hid_open_path(kPath.c_str());
        QVERIFY(!roundTrip(old, recordWrite("rp.pin", text("1234"))).empty());
        emu::detach(kPath);
        emu::attach(emu::DeviceSpec());
        QCOMPARE(send(old, recordRead("rp.pin")), -1);
        QVERIFY(hid_error(old) != nullptr);
        hid_device *fresh = hid_open_path(kPath.c_str());
        const Bytes reply = roundTrip(fresh, recordRead("rp.pin"));
        QVERIFY(!reply.empty());
        QCOMPARE(slice(reply, 26, 4), text("1234"));
        hid_close(old);
        hid_close(fresh);
    }

    void recordWriteThenReadRoundTrip() {
        hid_device *dev = hid_open_path(kPath.c_str());
        const Bytes psnid = {1, 2, 3, 4, 5, 6, 7, 8};
        QVERIFY(!roundTrip(dev, recordWrite("rp.psnid", psnid)).empty());
        QCOMPARE(emu::record(kPath, "rp.psnid"), psnid);
        const Bytes reply = roundTrip(dev, recordRead("rp.psnid"));
        QCOMPARE(u16(reply, 8), uint16_t(8));
        QCOMPARE(slice(reply, 26, 8), psnid);
        QCOMPARE(reply[34], uint8_t(0));
        QCOMPARE(u16(roundTrip(dev, recordRead("rp.pin")), 8), uint16_t(0)); // never set
        QCOMPARE(emu::protocolErrors(), 0);
        QCOMPARE(int(emu::requestLog().size()), 3);
        QCOMPARE(emu::requestLog()[0].path, kPath);
        hid_close(dev);
    }

    void versionIsAnsweredAtOffset34() {
        emu::setRecordText(kPath, "version", "1.4.2");
        hid_device *dev = hid_open_path(kPath.c_str());
        const Bytes reply = roundTrip(dev, recordRead("version"));
        QCOMPARE(u16(reply, 8), uint16_t(5));
        QCOMPARE(slice(reply, 34, 5), text("1.4.2"));
        QCOMPARE(slice(reply, 26, 8), Bytes(8, 0));
        hid_close(dev);
    }

    void longRecordsAreClippedToTheReport() {
        Bytes value(2000);
        for (std::size_t i = 0; i < value.size(); ++i)
            value[i] = uint8_t(i * 3 + 1);
        emu::setRecord(kPath, "rp.psnid", value);
        emu::setRecord(kPath, "version", value);
        hid_device *dev = hid_open_path(kPath.c_str());
        const Bytes record = roundTrip(dev, recordRead("rp.psnid"));
        QCOMPARE(u16(record, 8), uint16_t(1024 - 26));
        QCOMPARE(slice(record, 26, 998), slice(value, 0, 998));
        const Bytes version = roundTrip(dev, recordRead("version"));
        QCOMPARE(u16(version, 8), uint16_t(1024 - 34));
        QCOMPARE(slice(version, 34, 990), slice(value, 0, 990));
        hid_close(dev);
    }

    void firmwareBlocksLandAtTheirAddress() {
        hid_device *dev = hid_open_path(kPath.c_str());
        QVERIFY(!roundTrip(dev, firmwareBlock(2, 0x40)).empty());
        QVERIFY(!roundTrip(dev, firmwareBlock(0, 0x10)).empty());
        const Bytes image = emu::receivedFirmware(kPath);
        QCOMPARE(int(image.size()), 3 * 512);
        QCOMPARE(slice(image, 0, 512), slice(firmwareBlock(0, 0x10), 13, 512));
        QCOMPARE(slice(image, 512, 512), Bytes(512, 0xFF));
        QCOMPARE(slice(image, 1024, 512), slice(firmwareBlock(2, 0x40), 13, 512));
        QCOMPARE(emu::receivedFirmwareBlocks(kPath), 2);

        emu::setVersionAfterFirmware(kPath, "2.0.0");
        QVERIFY(!roundTrip(dev, firmwareBlock(1, 0)).empty());
        QCOMPARE(slice(roundTrip(dev, recordRead("version")), 34, 5), text("2.0.0"));
        hid_close(dev);
    }

    void flashReadsAnswerAtOffset14() {
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(slice(roundTrip(dev, flashRead(0)), 14, 512), Bytes(512, 0xFF));
        Bytes flash(emu::kFlashSize);
        for (std::size_t i = 0; i < flash.size(); ++i)
            flash[i] = uint8_t(i * 7 + (i >> 9));
        emu::setFlash(kPath, flash);
        QCOMPARE(slice(roundTrip(dev, flashRead(1000)), 14, 512), slice(flash, 1000, 512));
        const Bytes tail = roundTrip(dev, flashRead(uint32_t(emu::kFlashSize - 256)));
        QCOMPARE(slice(tail, 14, 256), slice(flash, emu::kFlashSize - 256, 256));
        QCOMPARE(slice(tail, 14 + 256, 256), Bytes(256, 0xFF));
        QCOMPARE(slice(roundTrip(dev, flashRead(0xFFFFFF00u)), 14, 512), Bytes(512, 0xFF));
        hid_close(dev);
    }

    void malformedRequestIsAProtocolError_data() {
        QTest::addColumn<Bytes>("bad");
        auto with = [](Bytes r, std::size_t at, uint8_t value) {
            r[at] = value;
            return r;
        };
        const Bytes read = recordRead("rp.psnid");
        const Bytes write = recordWrite("rp.psnid", text("abc"));
        QTest::newRow("report id 1") << with(read, 0, 1);
        QTest::newRow("record read payload_length") << with(read, 5, 17);
        QTest::newRow("record read product_id") << with(read, 7, 0x04);
        QTest::newRow("record read empty name") << with(read, 9, 0);
        QTest::newRow("name not zero padded") << with(read, 20, 'x');
        QTest::newRow("name with control char") << with(read, 10, '\n');
        QTest::newRow("record write length mismatch") << with(write, 5, 24);
        Bytes tooLong = recordWrite("rp.psnid", Bytes(997, 'v'));
        put16(tooLong, 5, 20 + 998);
        put16(tooLong, 9, 998);
        QTest::newRow("record value too long") << tooLong;
        QTest::newRow("block_length") << with(firmwareBlock(0, 0), 8, 1);
        QTest::newRow("unaligned block") << with(firmwareBlock(0, 0), 9, 1);
        QTest::newRow("firmware payload_length") << with(firmwareBlock(0, 0), 5, 5);
        QTest::newRow("block beyond flash") << firmwareBlock(1024, 0);
        QTest::newRow("flash read_param") << with(flashRead(0), 7, 3);
        QTest::newRow("flash read_length") << with(flashRead(0), 10, 1);
        QTest::newRow("unknown command") << with(read, 3, 3);
        QTest::newRow("unknown target") << with(read, 4, 4);
    }

    void malformedRequestIsAProtocolError() {
        QFETCH(Bytes, bad);
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(roundTrip(dev, bad), Bytes(emu::kReportSize, 0));
        QCOMPARE(emu::protocolErrors(), 1);
        QCOMPARE(int(emu::protocolErrorLog().size()), 1);
        QVERIFY(!emu::hasRecord(kPath, "rp.psnid"));
        QCOMPARE(emu::receivedFirmwareBlocks(kPath), 0);
        hid_close(dev);
    }

    void shortWriteIsAProtocolError() {
        hid_device *dev = hid_open_path(kPath.c_str());
        const Bytes read = recordRead("rp.psnid");
        QCOMPARE(hid_write(dev, read.data(), 64), 64);
        Bytes reply(emu::kReportSize, 0xEE);
        QCOMPARE(hid_read_timeout(dev, reply.data(), reply.size(), kWait), 1024);
        QCOMPARE(reply, Bytes(emu::kReportSize, 0));
        QCOMPARE(emu::protocolErrors(), 1);
        hid_close(dev);
    }

    void failedWriteIsSkippedButCountsAsAnIndex() {
        std::vector<int> seen;
        emu::failWrites(kPath, [&seen](const Bytes &, int index) {
            seen.push_back(index);
            return index == 1;
        });
        hid_device *dev = hid_open_path(kPath.c_str());
        QVERIFY(!roundTrip(dev, recordWrite("rp.pin", text("1111"))).empty());
        QCOMPARE(send(dev, recordWrite("rp.pin", text("2222"))), -1);
        QVERIFY(hid_error(dev) != nullptr);
        QCOMPARE(readInto(dev, 0), 0); // a failed write produces no reply
        QCOMPARE(emu::record(kPath, "rp.pin"), text("1111"));
        QVERIFY(!roundTrip(dev, recordWrite("rp.pin", text("3333"))).empty());
        QCOMPARE(seen, (std::vector<int>{0, 1, 2}));
        QCOMPARE(int(emu::requestLog().size()), 2);
        hid_close(dev);
    }

    void failedReadConsumesTheReply() {
        emu::failReads(kPath, emu::matchCommand(1, 3));
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        QCOMPARE(readInto(dev, kWait), -1);
        QCOMPARE(readInto(dev, 0), 0);
        QVERIFY(!roundTrip(dev, recordWrite("rp.pin", text("12"))).empty()); // other commands pass
        hid_close(dev);
    }

    void stoppedDeviceIgnoresRequestsAndReadsTimeOut() {
        emu::stopAnswering(kPath, true);
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(send(dev, recordWrite("rp.pin", text("9999"))), 1024);
        QCOMPARE(readInto(dev, 30), 0);
        QVERIFY(!emu::hasRecord(kPath, "rp.pin"));
        emu::stopAnswering(kPath, false);
        QVERIFY(!roundTrip(dev, recordWrite("rp.pin", text("9999"))).empty());

        emu::setReplyDelayMs(kPath, 200);
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024); // acted on before the device stops
        emu::stopAnswering(kPath, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QCOMPARE(readInto(dev, 30), 0); // due by now, but withheld
        emu::stopAnswering(kPath, false);
        QCOMPARE(readInto(dev, 0), 1024); // and sent on resuming
        hid_close(dev);
    }

    void resumingWakesAWaitingReader() {
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        emu::stopAnswering(kPath, true);
        std::atomic<int> result{-2};
        std::thread reader([&] { result = readInto(dev, -1); });
        emu::stopAnswering(kPath, false);
        reader.join();
        QCOMPARE(result.load(), 1024);
        hid_close(dev);
    }

    void delayedReplyArrivesWithinTheWait() {
        emu::setReplyDelayMs(kPath, 40);
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        hid_set_nonblocking(dev, 1);
        Bytes reply(emu::kReportSize);
        const int polled = hid_read(dev, reply.data(), reply.size()); // poll keeps the reply
        hid_set_nonblocking(dev, 0);
        if (polled == 0)
            QCOMPARE(hid_read(dev, reply.data(), reply.size()), 1024);
        else
            QCOMPARE(polled, 1024);
        hid_close(dev);
    }

    // As in the kernel: a reply that comes after its reader gave up stays
    // queued, and the next read returns it whatever was written meanwhile.
    void lateReplyIsWhatTheNextReadReturns() {
        emu::setRecordText(kPath, "version", "1.0");
        emu::setRecordText(kPath, "rp.pin", "4321");
        hid_device *dev = hid_open_path(kPath.c_str());
        emu::answerLate(kPath, 0, 50);
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        QCOMPARE(readInto(dev, 1), 0);
        QVERIFY(waitForRepliesSent());
        QCOMPARE(send(dev, recordRead("version")), 1024);
        Bytes reply(emu::kReportSize);
        QCOMPARE(hid_read_timeout(dev, reply.data(), reply.size(), kWait), 1024);
        QCOMPARE(slice(reply, 26, 4), text("4321")); // the late rp.pin reply
        QCOMPARE(hid_read_timeout(dev, reply.data(), reply.size(), kWait), 1024);
        QCOMPARE(slice(reply, 34, 3), text("1.0"));
        const auto log = emu::requestLog();
        QCOMPARE(log[0].answeredBy, emu::kNoReportRead);
        QCOMPARE(log[1].index, 1);
        QCOMPARE(log[1].answeredBy, 0); // the pairing the emulator reports
        hid_close(dev);
    }

    // Every open handle gets every reply and keeps the newest 64 unread ones;
    // a handle opened later sees only what arrives after it was opened.
    void reportQueuesFollowTheKernel() {
        hid_device *writer = hid_open_path(kPath.c_str());
        hid_device *idle = hid_open_path(kPath.c_str()); // never reads
        for (int i = 0; i < 69; ++i)
            QVERIFY(!roundTrip(writer, flashRead(uint32_t(i) * 512)).empty());
        emu::answerLate(kPath, 69, 50);
        QCOMPARE(send(writer, flashRead(69 * 512)), 1024);
        hid_device *later = hid_open_path(kPath.c_str());
        hid_close(writer);
        QVERIFY(waitForRepliesSent());
        Bytes reply(emu::kReportSize);
        QCOMPARE(hid_read_timeout(later, reply.data(), reply.size(), 0), 1024);
        QCOMPARE(reply[11], uint8_t(69 * 2)); // address byte 1, echoed by the device
        QCOMPARE(readInto(later, 0), 0);
        for (int i = 70 - int(emu::kReportQueueLength); i < 70; ++i) {
            QCOMPARE(hid_read_timeout(idle, reply.data(), reply.size(), 0), 1024);
            QCOMPARE(reply[11], uint8_t(i * 2));
        }
        QCOMPARE(readInto(idle, 0), 0);
        hid_close(idle);
        hid_close(later);
    }

    void shortStalledAndEmptyReads() {
        hid_device *dev = hid_open_path(kPath.c_str());
        emu::shortReplies(kPath, emu::matchCommand(1, 2), 100);
        QCOMPARE(send(dev, flashRead(0)), 1024);
        QCOMPARE(readInto(dev, kWait), 100);

        emu::zeroReads(kPath, emu::matchCommand(1, 3));
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        QCOMPARE(readInto(dev, kWait), 0); // at once, before the reply
        QCOMPARE(readInto(dev, kWait), 1024);

        emu::stallWrites(kPath, emu::matchCommand(0, 3), 20);
        const int numbered = emu::requestCount(kPath);
        QCOMPARE(send(dev, recordWrite("rp.pin", text("1"))), -1);
        QCOMPARE(emu::requestCount(kPath), numbered + 1);
        QVERIFY(!emu::hasRecord(kPath, "rp.pin"));
        QCOMPARE(readInto(dev, 0), 0);

        emu::stallWrites(kPath, emu::matchAll(), 600000);
        std::thread unplug([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            emu::detach(kPath);
        });
        QCOMPARE(send(dev, recordRead("rp.pin")), -1); // the unplug ends the stall
        unplug.join();
        hid_close(dev);
    }

    void detachAfterRequestsUnplugsAfterTheNth() {
        std::vector<std::pair<std::string, bool>> events;
        emu::setHotplugListener(
            [&](const std::string &path, bool arrived) { events.emplace_back(path, arrived); });
        emu::detachAfterRequests(kPath, 2);
        hid_device *dev = hid_open_path(kPath.c_str());
        QVERIFY(!roundTrip(dev, recordRead("rp.pin")).empty());
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        QCOMPARE(readInto(dev, kWait), -1);
        QCOMPARE(send(dev, recordRead("rp.pin")), -1);
        QVERIFY(!emu::isAttached(kPath));
        QVERIFY(hid_enumerate(0, 0) == nullptr);
        QCOMPARE(events.size(), std::size_t(1));
        QCOMPARE(events[0], std::make_pair(kPath, false));
        hid_close(dev);
    }

    void detachWakesABlockedReader() {
        emu::stopAnswering(kPath, true);
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        std::atomic<int> result{-2};
        std::thread reader([&] { result = readInto(dev, -1); });
        emu::detach(kPath);
        reader.join();
        QCOMPARE(result.load(), -1);
        hid_close(dev);
    }

    void writeWithUnreadReplyIsMisuse() {
        misuseExpected = true;
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(send(dev, recordRead("rp.pin")), 1024);
        QCOMPARE(send(dev, recordRead("version")), 1024);
        QCOMPARE(emu::misuseCount(), 1);
        QVERIFY(QString::fromStdString(emu::misuse()[0]).contains("unread"));
        hid_close(dev);
    }

    void callsOnClosedOrNullHandlesAreMisuse() {
        misuseExpected = true;
        hid_device *dev = hid_open_path(kPath.c_str());
        hid_close(dev);
        const Bytes r = recordRead("rp.pin");
        QCOMPARE(hid_write(dev, r.data(), r.size()), -1);
        QCOMPARE(readInto(dev, 0), -1);
        QCOMPARE(hid_set_nonblocking(dev, 1), -1);
        hid_close(dev);
        QCOMPARE(emu::misuseCount(), 4);
        hid_close(nullptr);
        QCOMPARE(hid_write(nullptr, r.data(), r.size()), -1);
        int notAHandle = 0;
        QCOMPARE(readInto(reinterpret_cast<hid_device *>(&notAHandle), 0), -1);
        QCOMPARE(emu::misuseCount(), 7);
        QCOMPARE(int(emu::requestLog().size()), 0);
    }

    void hidExitWithOpenHandleIsMisuse() {
        misuseExpected = true;
        QCOMPARE(hid_init(), 0);
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(hid_exit(), 0);
        QCOMPARE(emu::misuseCount(), 1);
        hid_close(dev);
    }

    void initCountFollowsInitAndExit() {
        QCOMPARE(hid_init(), 0);
        QCOMPARE(hid_init(), 0);
        emu::failInit(true);
        QCOMPARE(hid_init(), -1);
        QCOMPARE(emu::initCount(), 2);
        hid_exit();
        hid_exit();
        hid_exit();
        QCOMPARE(emu::initCount(), 0);
    }

    void resetForgetsEverything() {
        misuseExpected = true;
        bool notified = false;
        emu::setHotplugListener([&](const std::string &, bool) { notified = true; });
        emu::failWrites(kPath, emu::matchAll());
        hid_device *dev = hid_open_path(kPath.c_str());
        send(dev, request(9, 9, 0));
        hid_close(nullptr);
        hid_init();
        emu::reset();
        QCOMPARE(emu::misuseCount(), 0);
        QCOMPARE(emu::openHandleCount(), 0);
        QCOMPARE(emu::initCount(), 0);
        QCOMPARE(emu::protocolErrors(), 0);
        QVERIFY(emu::requestLog().empty());
        QVERIFY(hid_enumerate(0, 0) == nullptr);
        emu::attach(emu::DeviceSpec());
        QVERIFY(!notified);
        dev = hid_open_path(kPath.c_str());
        QVERIFY(!roundTrip(dev, recordRead("rp.pin")).empty()); // write fault is gone
        hid_close(dev);
    }

    void replayAnswersFromTheRecording_data() {
        QTest::addColumn<bool>("fullSpeed");
        QTest::newRow("recorded delays") << false;
        QTest::newRow("full speed") << true;
    }

    // A replay answers with the recorded bytes after the recorded delay, not
    // from the device's records; a masked value matches any of its length; a
    // recorded failed read unplugs the device; what the recording lacks is
    // named.
    void replayAnswersFromTheRecording() {
        QFETCH(bool, fullSpeed);
        emu::setRecordText(kPath, "version", "not from the records");
        using Outcome = emu::ReplayExchange::Outcome;
        Bytes recordedReply(30, 0);
        recordedReply[29] = 0x5A;
        emu::ReplayScript script;
        script.fullSpeed = fullSpeed;
        script.exchanges.push_back(
            {1, recordRead("version"), recordedReply, 300, Outcome::Replied});
        script.exchanges.push_back(
            {2, recordWrite("rp.pin", text("XXXX")), {}, 0, Outcome::NoReply, true});
        script.exchanges.push_back({3, flashRead(0), {}, 0, Outcome::ReadFailed});
        emu::startReplay(script);
        hid_device *dev = hid_open_path(kPath.c_str());
        QCOMPARE(send(dev, recordRead("version")), 1024);
        Bytes reply(emu::kReportSize, 0xEE);
        QCOMPARE(hid_read_timeout(dev, reply.data(), reply.size(), 100), fullSpeed ? 30 : 0);
        if (!fullSpeed)
            QCOMPARE(hid_read_timeout(dev, reply.data(), reply.size(), kWait), 30);
        QCOMPARE(slice(reply, 0, 30), recordedReply);
        QCOMPARE(send(dev, recordWrite("rp.pin", text("1234"))), 1024);
        QCOMPARE(readInto(dev, 20), 0);
        QCOMPARE(send(dev, flashRead(0)), 1024);
        QVERIFY(!emu::isAttached(kPath));
        QCOMPARE(readInto(dev, 20), -1);
        QVERIFY(emu::replayFailures().empty());
        QCOMPARE(emu::replayedExchanges(), 3);
        QCOMPARE(send(dev, flashRead(512)), -1);
        QCOMPARE(emu::replayFailures(),
                 std::vector<std::string>{"exchange 4: the program sent a flash read at 0x200, "
                                          "but the recording ends after exchange 3"});
        hid_close(dev);
    }

    void concurrentClientsStayConsistent() {
        emu::attach(spec("/second", 0x1ABE, kProduct));
        // Replies reach every handle open on a device, so concurrent clients of
        // one device would read each other's replies: one device per client.
        emu::attach(spec("/third", 0x1ABE, kProduct));
        emu::setHotplugListener([](const std::string &, bool) { (void)emu::openHandleCount(); });
        const int rounds = 200;
        std::atomic<int> mismatches{0};
        auto client = [&](const std::string &path, const std::string &name) {
            hid_device *dev = hid_open_path(path.c_str());
            for (int i = 0; i < rounds; ++i) {
                const Bytes value = text(name + std::to_string(i));
                roundTrip(dev, recordWrite(name, value));
                const Bytes reply = roundTrip(dev, recordRead(name));
                if (reply.empty() || slice(reply, 26, value.size()) != value)
                    ++mismatches;
            }
            hid_close(dev);
        };
        std::atomic<bool> done{false};
        std::thread churn([&] {
            while (!done) {
                emu::attach(spec("/churn", 1, 1));
                hid_free_enumeration(hid_enumerate(0, 0));
                emu::detach("/churn");
                (void)emu::requestLog().size();
            }
        });
        std::thread a(client, kPath, "rp.psnid");
        std::thread b(client, std::string("/third"), "rp.pin");
        std::thread c(client, std::string("/second"), "rp.pin");
        a.join();
        b.join();
        c.join();
        done = true;
        churn.join();
        QCOMPARE(mismatches.load(), 0);
        QCOMPARE(int(emu::requestLog().size()), 3 * 2 * rounds);
        QCOMPARE(emu::openHandleCount(), 0);
        QCOMPARE(emu::protocolErrors(), 0);
    }
};

QTEST_APPLESS_MAIN(TestEmulator)
#include "test_emulator.moc"
