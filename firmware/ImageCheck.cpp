#include "firmware/ImageCheck.h"

#include <QCryptographicHash>
#include <algorithm>

#include "device/DeviceReport.h"

namespace firmware {
namespace {

struct Signature {
    QByteArray magic;
    const char *what;
};

const Signature kSignatures[] = {
    {QByteArrayLiteral("PK\x03\x04"), "a ZIP archive"},
    {QByteArrayLiteral("PK\x05\x06"), "a ZIP archive"},
    {QByteArrayLiteral("\x1f\x8b"), "a gzip archive"},
    {QByteArrayLiteral("\xfd"
                       "7zXZ\x00"),
     "an xz archive"},
    {QByteArrayLiteral("7z\xbc\xaf\x27\x1c"), "a 7z archive"},
    {QByteArrayLiteral("Rar!\x1a\x07"), "a RAR archive"},
    {QByteArrayLiteral("\x89PNG\r\n\x1a\n"), "a PNG image"},
    {QByteArrayLiteral("\xff\xd8\xff"), "a JPEG image"},
    {QByteArrayLiteral("%PDF-"), "a PDF document"},
    {QByteArrayLiteral("\x7f"
                       "ELF"),
     "an ELF executable"},
};

bool isBzip2(const QByteArray &image) {
    return image.size() >= 4 && image.startsWith("BZh") && image[3] >= '1' && image[3] <= '9';
}

// "MZ", and at the offset the header names, the "PE\0\0" of a Portable Executable.
bool isWindowsExecutable(const QByteArray &image) {
    constexpr int kPeOffsetField = 0x3C;
    if (!image.startsWith("MZ") || image.size() < kPeOffsetField + 4)
        return false;
    const auto *bytes = reinterpret_cast<const uchar *>(image.constData());
    const quint32 peOffset =
        quint32(bytes[kPeOffsetField]) | quint32(bytes[kPeOffsetField + 1]) << 8 |
        quint32(bytes[kPeOffsetField + 2]) << 16 | quint32(bytes[kPeOffsetField + 3]) << 24;
    return peOffset <= quint32(image.size() - 4) &&
           image.mid(int(peOffset), 4) == QByteArrayLiteral("PE\x00\x00");
}

// UTF-8 text with no control characters but line ends, tabs and form feeds:
// what a web page or a log is, and a binary image never is.
bool isText(const QByteArray &image) {
    const bool controls = std::any_of(image.begin(), image.end(), [](char c) {
        const auto byte = uchar(c);
        return (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f') ||
               byte == 0x7F;
    });
    return !controls && QString::fromUtf8(image).toUtf8() == image;
}

bool isHtml(const QByteArray &image) {
    const QByteArray start = image.left(1024).trimmed().toLower();
    return start.startsWith("<!doctype html") || start.startsWith("<html") ||
           start.contains("<html");
}

bool allBytesAre(const QByteArray &image, char value) {
    return std::all_of(image.begin(), image.end(), [value](char c) { return c == value; });
}

} // namespace

QString notFirmwareReason(const QByteArray &image) {
    if (image.isEmpty())
        return QString();
    for (const Signature &signature : kSignatures) {
        if (image.startsWith(signature.magic))
            return QStringLiteral("looks like ") + QLatin1String(signature.what);
    }
    if (isBzip2(image))
        return QStringLiteral("looks like a bzip2 archive");
    if (isWindowsExecutable(image))
        return QStringLiteral("looks like a Windows executable");
    if (allBytesAre(image, '\x00'))
        return QStringLiteral("holds nothing but 0x00 bytes");
    if (allBytesAre(image, '\xff'))
        return QStringLiteral("holds nothing but 0xFF bytes");
    if (isText(image))
        return isHtml(image) ? QStringLiteral("looks like an HTML page")
                             : QStringLiteral("looks like text");
    return QString();
}

QString sha256Hex(const QByteArray &image) {
    return QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
}

QString paddingNote(qint64 imageSize) {
    const qint64 tail = imageSize % qint64(kFirmwareBlockSize);
    if (tail == 0)
        return QString();
    return QStringLiteral("The image is %1 bytes, not a whole number of %2-byte blocks: its last "
                          "block is filled up with 0xFF.")
        .arg(imageSize)
        .arg(kFirmwareBlockSize);
}

} // namespace firmware
