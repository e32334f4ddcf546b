#include "Artwork.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace {
const QString kWindowPictures = QStringLiteral("resources/pics/");
}

ArtworkOutput::ArtworkOutput(const QString &root, int scale) : root(root), scale(scale) {}

QByteArray encodePng(const QImage &image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

bool ArtworkOutput::savePng(const QString &relativePath, const QImage &image) {
    if (scale == 1)
        return writeFile(relativePath, encodePng(image));
    // Desktop icons come in their own sizes; only window pictures get twins.
    if (!relativePath.startsWith(kWindowPictures) || !relativePath.endsWith(QLatin1String(".png")))
        return true;
    QString twin = relativePath;
    twin.insert(twin.size() - 4, QStringLiteral("@%1x").arg(scale));
    return writeFile(twin, encodePng(image));
}

bool ArtworkOutput::saveBytes(const QString &relativePath, const QByteArray &bytes) {
    // Raw files (the icon container) exist at the standard scale only.
    return scale == 1 ? writeFile(relativePath, bytes) : true;
}

bool ArtworkOutput::writeFile(const QString &relativePath, const QByteArray &bytes) {
    const QString path = QDir(root).filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const bool written =
        !bytes.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    if (!written) {
        std::fprintf(stderr, "corvane-artwork: cannot write %s\n", qPrintable(path));
        ++failures;
    }
    return written;
}
