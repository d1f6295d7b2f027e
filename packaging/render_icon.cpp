// Writes the program's window icon, as the program draws it, to PNG files
// for the desktop's icon theme: render_icon FOLDER SIZE... writes
// FOLDER/SIZExSIZE/corvantel.png for each size. The picture is 32 by 32
// pixel art, so larger sizes are whole multiples scaled without smoothing.

#include <QDir>
#include <QImage>
#include <cstdio>
#include <string>

#include "gui/artwork.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: render_icon FOLDER SIZE...\n");
        return 2;
    }
    const QImage icon = corvantel::gui::windowIconImage();
    for (int i = 2; i < argc; ++i) {
        const int size = std::stoi(argv[i]);
        if (size < icon.width() || size % icon.width() != 0) {
            std::fprintf(stderr, "render_icon: %d is not a multiple of %d\n", size, icon.width());
            return 2;
        }
        const QString folder = QString("%1/%2x%2").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        const QString file = folder + "/corvantel.png";
        if (!QDir().mkpath(folder) ||
            !icon.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation).save(file, "PNG")) {
            std::fprintf(stderr, "render_icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
