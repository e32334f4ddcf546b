// Draws the Corvane window artwork, tray icon and desktop icons.
// Usage: QT_QPA_PLATFORM=offscreen corvane-artwork <repository root>

#include "Artwork.h"
#include "Canvas.h"

#include <QGuiApplication>
#include <QStringList>
#include <cstdio>

int main(int argc, char *argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: corvane-artwork <output root>\n");
        return 2;
    }

    bool ok = true;
    for (int scale : {1, 2}) {
        setCanvasScale(scale);
        ArtworkOutput out(args.at(1), scale);
        writeBackground(out);
        writeButtons(out);
        writeWindowGlyphs(out);
        writeIndicators(out);
        writeArrows(out);
        writeLogos(out);
        ok = ok && out.ok();
    }
    return ok ? 0 : 1;
}
