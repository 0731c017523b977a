// Writes the program's icon, as drawIcon() paints it, to a PNG file, so the
// installed icon is the one the window shows.
#include "ui/artwork.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv); // QPixmap needs one; run with QT_QPA_PLATFORM=offscreen
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SIZE OUTPUT.png\n", argv[0]);
        return 2;
    }
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[1]).toInt(&ok);
    if (!ok || size < 16 || size > 1024) {
        std::fprintf(stderr, "%s: size must be 16 to 1024, not %s\n", argv[0], argv[1]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[2]);
    if (!drawIcon(size).save(output, "PNG")) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
