#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Picture families. Each writer saves its files below the output root and
// returns false when a file could not be written.

class ArtworkOutput {
public:
    // With scale 2 only the window pictures are written, each as the
    // high-density twin "<name>@2x.png" beside its standard file.
    explicit ArtworkOutput(const QString &root, int scale = 1);

    bool savePng(const QString &relativePath, const QImage &image);
    bool saveBytes(const QString &relativePath, const QByteArray &bytes);
    bool ok() const { return failures == 0; }

private:
    bool writeFile(const QString &relativePath, const QByteArray &bytes);

    QString root;
    int scale;
    int failures = 0;
};

QByteArray encodePng(const QImage &image);

QImage paintBackground();
QImage paintLogo(int size);

void writeBackground(ArtworkOutput &out);
void writeButtons(ArtworkOutput &out);
void writeWindowGlyphs(ArtworkOutput &out);
void writeIndicators(ArtworkOutput &out);
void writeArrows(ArtworkOutput &out);
void writeLogos(ArtworkOutput &out);
