// Byte layouts of the four request kinds and the reply parsers, including
// replies that lie about their lengths.
#include <QRandomGenerator>
#include <QtTest>
#include <cstring>

#include "device/DeviceChannel.h"
#include "device/DeviceReport.h"
#include "device/RecordingReader.h"
#include "device/RecordingWriter.h"
#include "device/SessionRecorder.h"

namespace {

QByteArray bytes(const DeviceReport &r, int from, int count) {
    return QByteArray(reinterpret_cast<const char *>(r.data()) + from, count);
}

bool zeroFrom(const DeviceReport &r, std::size_t from) {
    return std::all_of(r.begin() + long(from), r.end(), [](uint8_t b) { return b == 0; });
}

DeviceReport replyWithValue(uint16_t announcedLength, std::size_t offset, const QByteArray &value) {
    DeviceReport reply{};
    reply[8] = uint8_t(announcedLength & 0xFF);
    reply[9] = uint8_t(announcedLength >> 8);
    std::memcpy(reply.data() + offset, value.constData(),
                std::min<std::size_t>(std::size_t(value.size()), kReportSize - offset));
    return reply;
}

} // namespace

class TestDeviceReport : public QObject {
    Q_OBJECT

private slots:
    void recordReadLayout() {
        const DeviceReport r = report::recordRead(0x2109, "rp.pin");
        QCOMPARE(bytes(r, 0, 3), QByteArray(3, '\0'));
        QCOMPARE(bytes(r, 3, 14), QByteArray::fromHex("0103120009217270 2E70696E0000"));
        QVERIFY(zeroFrom(r, 15));
        const DeviceReport version = report::recordRead(0x2203, "version");
        QCOMPARE(bytes(version, 7, 9), QByteArray("\x03\x22version", 9));
    }

    void recordWriteLayout() {
        const QByteArray id = "ABCDEFGHIJKLMNOP";
        const DeviceReport r = report::recordWrite(0x2203, "rp.psnid", id);
        QCOMPARE(bytes(r, 3, 4), QByteArray::fromHex("00032400"));
        QCOMPARE(bytes(r, 7, 4), QByteArray::fromHex("03221000"));
        QCOMPARE(bytes(r, 11, 16), QByteArray("rp.psnid", 8) + QByteArray(8, '\0'));
        QCOMPARE(bytes(r, 27, 16), id);
        QVERIFY(zeroFrom(r, 43));

        const DeviceReport empty = report::recordWrite(0x2203, "rp.pin", QByteArray());
        QCOMPARE(bytes(empty, 5, 2), QByteArray::fromHex("1400"));
        QCOMPARE(bytes(empty, 9, 2), QByteArray::fromHex("0000"));
        QVERIFY(zeroFrom(empty, 17));
    }

    void recordWriteNeverRunsPastTheReport() {
        const DeviceReport r = report::recordWrite(0x2203, "rp.pin", QByteArray(2000, 'x'));
        QCOMPARE(int(r[9] | r[10] << 8), kMaxRecordValueLength);
        QCOMPARE(int(r[5] | r[6] << 8), 20 + kMaxRecordValueLength);
        QCOMPARE(r[1023], uint8_t('x'));
    }

    void valueEncodingIsLatin1WithQuestionMarks() {
        QCOMPARE(report::encodeRecordValue(QStringLiteral("1€é")), QByteArray("1?\xE9"));
        // A character outside the BMP is two code units, hence two bytes.
        QCOMPARE(report::encodeRecordValue(QString::fromUtf8("a\xF0\x9F\x98\x80")),
                 QByteArray("a??"));
    }

    void firmwareBlockLayout() {
        QByteArray data(512, '\0');
        for (int i = 0; i < 512; ++i)
            data[i] = char(i * 3);
        const DeviceReport r =
            report::firmwareBlock(3, reinterpret_cast<const uint8_t *>(data.constData()));
        QCOMPARE(bytes(r, 3, 10), QByteArray::fromHex("0201 0602 0002 00060000"));
        QCOMPARE(bytes(r, 13, 512), data);
        QVERIFY(zeroFrom(r, 525));
    }

    void flashReadLayout() {
        const DeviceReport r = report::flashRead(1023);
        QCOMPARE(bytes(r, 3, 12), QByteArray::fromHex("0102 0800 0400 0002 00FE0700"));
        QVERIFY(zeroFrom(r, 15));
    }

    void recordReplyText() {
        QCOMPARE(report::replyRecordText(replyWithValue(0, 26, "stale"), false), QString());
        QCOMPARE(report::replyRecordText(replyWithValue(5, 26, "12345678"), false),
                 QStringLiteral("12345"));
        QCOMPARE(report::replyRecordText(replyWithValue(3, 34, "V1.2.3"), true),
                 QStringLiteral("V1."));
        // The text ends at the first zero byte, and is UTF-8.
        QCOMPARE(report::replyRecordText(replyWithValue(9, 26, QByteArray("ab\0cd", 5)), false),
                 QStringLiteral("ab"));
        QCOMPARE(report::replyRecordText(replyWithValue(4, 26, "\xC3\xA9\xC3\xA8"), false),
                 QStringLiteral("éè"));
    }

    void oversizedLengthsAreClipped() {
        const QByteArray fill(1024, 'v');
        QCOMPARE(report::replyRecordText(replyWithValue(0xFFFF, 26, fill), false).size(), 998);
        QCOMPARE(report::replyRecordText(replyWithValue(0xFFFF, 34, fill), true).size(), 990);
    }

    // A record never written announces 0xFFFF bytes; a 1023-byte input report
    // still answers it (clipped), but one that stops before the value or the
    // length field does not.
    void bytesARecordReplyNeeds() {
        const DeviceReport psnId = report::recordRead(0x2203, "rp.psnid");
        const DeviceReport version = report::recordRead(0x2203, "version");
        QVERIFY(report::replyBytesNeeded(psnId, replyWithValue(0xFFFF, 26, "")) <= 1023);
        QVERIFY(report::replyBytesNeeded(version, replyWithValue(0xFFFF, 34, "")) <= 1023);
        QCOMPARE(report::replyBytesNeeded(psnId, replyWithValue(5, 26, "abcde")), std::size_t(27));
        QCOMPARE(report::replyBytesNeeded(version, replyWithValue(5, 34, "V1")), std::size_t(35));
        QCOMPARE(report::replyBytesNeeded(psnId, replyWithValue(0, 26, "")), std::size_t(10));
    }

    void flashReplyData() {
        DeviceReport reply{};
        for (int i = 0; i < 512; ++i)
            reply[14 + i] = uint8_t(i ^ 0x5A);
        const uint8_t *data = report::replyFlashData(reply);
        QCOMPARE(data[0], uint8_t(0x5A));
        QCOMPARE(data[511], uint8_t(511 ^ 0x5A));
    }

    // Random replies through every parser: under AddressSanitizer any read
    // outside the buffer fails the run.
    void randomRepliesStayInBounds() {
        QRandomGenerator random(20261207);
        for (int round = 0; round < 20000; ++round) {
            DeviceReport reply;
            for (auto &b : reply)
                b = uint8_t(random.bounded(256));
            if (round % 3 == 0)
                std::fill(reply.begin() + 20, reply.end(), uint8_t(0x41));
            const QString value = report::replyRecordText(reply, false);
            const QString version = report::replyRecordText(reply, true);
            QVERIFY(value.toUtf8().size() <= 998 * 3);
            QVERIFY(version.toUtf8().size() <= 990 * 3);
            QVERIFY(report::replyValueLength(reply) == (reply[8] | reply[9] << 8));
        }
    }

    // A recorded exchange read back is the exchange that was recorded: the
    // hex drops trailing zeros, the sizes bring them back, and a short reply
    // keeps its length.
    void recordedExchangeReadsBack() {
        recording::Recorder recorder(QStringLiteral("test"), false);
        DeviceReport reply{};
        reply[0] = 0x11;
        recorder.noteExchange(report::flashRead(1023), reply, 10, 42, ExchangeResult::ShortReply);
        recorder.noteExchange(report::recordRead(0x2203, "version"), reply, -1, 1500,
                              ExchangeResult::Timeout);
        const recording::Recording recorded = recorder.snapshot();
        QByteArray text = recording::headerLine(recorded.header);
        for (const recording::Exchange &exchange : recorded.exchanges)
            text += recording::exchangeLine(exchange);
        QString error;
        const auto read = recording::parse(text, &error);
        QVERIFY2(read, qPrintable(error));
        QCOMPARE(read->exchanges.size(), std::size_t(2));
        const DeviceReport request = report::flashRead(1023);
        QCOMPARE(read->exchanges[0].request, bytes(request, 0, int(kReportSize)));
        QCOMPARE(read->exchanges[0].reply->size(), 10);
        QCOMPARE(read->exchanges[0].reply->at(0), char(0x11));
        QCOMPARE(read->exchanges[0].ms, 42);
        QCOMPARE(read->exchanges[1].result, QStringLiteral("no reply"));
        QVERIFY(!read->exchanges[1].reply);
        QCOMPARE(recording::requestTarget(read->exchanges[0].request), QStringLiteral("0x7fe00"));
        QVERIFY(read->header.holdsFlash);
        QVERIFY(!read->header.masked);
    }

    // A masked recording keeps of each reply only what the program uses, and
    // a value masked once stays masked wherever a later reply carries it: a
    // record write's reply that echoes the PIN, a late account ID reply
    // recorded under a firmware block, a version reply that holds the PIN.
    void maskedRecordingKeepsOnlyWhatIsUsed() {
        recording::Recorder recorder(QStringLiteral("test"), true);
        const QByteArray pin = "8642", accountId = "AC-55-7731";
        DeviceReport echo = replyWithValue(4, 26, pin);
        recorder.noteExchange(report::recordWrite(0x2203, "rp.pin", pin), echo, 40, 5,
                              ExchangeResult::Ok);
        DeviceReport late = replyWithValue(10, 26, accountId);
        std::memcpy(late.data() + 10, "rp.psnid", 8);
        const uint8_t block[512] = {};
        recorder.noteExchange(report::firmwareBlock(3, block), late, 64, 5, ExchangeResult::Ok);
        recorder.noteExchange(report::recordRead(0x2203, "version"),
                              replyWithValue(8, 34, "v1." + pin), 64, 5, ExchangeResult::Ok);
        DeviceReport flash = replyWithValue(0, 14, pin);
        recorder.noteExchange(report::flashRead(0), flash, 526, 5, ExchangeResult::Ok);
        const recording::Recording recorded = recorder.snapshot();
        QCOMPARE(recorded.exchanges[0].reply->size(), 40);
        QCOMPARE(recorded.exchanges[1].reply->size(), 64);
        for (int i = 0; i < 3; ++i) {
            const recording::Exchange &exchange = recorded.exchanges[std::size_t(i)];
            QVERIFY2(!exchange.request.contains(pin) && !exchange.reply->contains(pin) &&
                         !exchange.reply->contains(accountId),
                     qPrintable(QString::number(i)));
        }
        QVERIFY(recorded.exchanges[2].masked);
        QVERIFY(recorded.exchanges[3].reply->contains(pin));
    }

    void hostileRecordingsAreRefused_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("why");
        QTest::newRow("reply too long")
            << QByteArray(
                   R"({"n":1,"result":"ok","ms":0,"request_size":1024,"request":"00","reply_size":1025,"reply":"00"})")
            << "line 2: the reply bytes are unusable";
        QTest::newRow("more hex than its size")
            << QByteArray(
                   R"({"n":1,"result":"ok","ms":0,"request_size":1,"request":"0000","reply_size":1,"reply":"00"})")
            << "line 2: the request bytes are unusable";
        QTest::newRow("out of order")
            << QByteArray(
                   R"({"n":2,"result":"no reply","ms":0,"request_size":1024,"request":"00"})")
            << "line 2: exchange number 2, expected 1";
        QTest::newRow("negative delay")
            << QByteArray(
                   R"({"n":1,"result":"no reply","ms":-5,"request_size":1024,"request":"00"})")
            << "line 2: the delay is not a number of milliseconds up to 600000";
        QTest::newRow("reply without a result that has one")
            << QByteArray(
                   R"({"n":1,"result":"no reply","ms":0,"request_size":1024,"request":"00","reply_size":1,"reply":"00"})")
            << "line 2: the result \"no reply\" does not fit the reply";
        QTest::newRow("unknown result")
            << QByteArray(R"({"n":1,"result":"fine","ms":0,"request_size":1024,"request":"00"})")
            << "line 2: unknown result \"fine\"";
        // Short lines, each a valid exchange: what they expand to is bounded.
        QByteArray many;
        for (int n = 1; n <= recording::kMaxExchanges + 1; ++n)
            many += QByteArray(R"({"n":)") + QByteArray::number(n) +
                    R"(,"result":"no reply","ms":0,"request_size":1024,"request":"00"})" + "\n";
        many.chop(1);
        QTest::newRow("more exchanges than any session")
            << many
            << QStringLiteral("line %1: more than %2 exchanges")
                   .arg(recording::kMaxExchanges + 2)
                   .arg(recording::kMaxExchanges);
    }

    void hostileRecordingsAreRefused() {
        QFETCH(QByteArray, line);
        QFETCH(QString, why);
        const QByteArray header =
            R"({"format":"corvane-session","version":1,"path":"/dev/x",)"
            R"("vendor_id":"1abe","product_id":"2203","usage_page":2,"usage":1})";
        QString error;
        QVERIFY(recording::parse(header + "\n", &error));
        QVERIFY(!recording::parse(header + "\n" + line + "\n", &error));
        QCOMPARE(error, why);
        QVERIFY(!recording::parse(QByteArray(header).replace("\"version\":1", "\"version\":2"),
                                  &error));
        QCOMPARE(error, QStringLiteral("line 1: recording format version 2; this program reads "
                                       "version 1"));
    }
};

QTEST_APPLESS_MAIN(TestDeviceReport)
#include "test_device_report.moc"
