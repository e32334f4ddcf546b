#include "Artwork.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

ArtworkOutput::ArtworkOutput(const QString &root) : root(root) {}

QByteArray encodePng(const QImage &image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

bool ArtworkOutput::savePng(const QString &relativePath, const QImage &image) {
    return saveBytes(relativePath, encodePng(image));
}

bool ArtworkOutput::saveBytes(const QString &relativePath, const QByteArray &bytes) {
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
