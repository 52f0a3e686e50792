// Writes the application icon as PNG files for the desktop's icon theme, at build time:
//   export_icon ICON OUTPUT_FOLDER SIZE...   writes OUTPUT_FOLDER/SIZExSIZE/reelview.png
// The 32x32 picture is scaled by whole steps without smoothing, so it stays crisp; where a
// size is not a multiple of 32 it is drawn at the nearest smaller multiple and centred.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: export_icon ICON OUTPUT_FOLDER SIZE...\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QImage icon(QString::fromLocal8Bit(argv[1]));
    if (icon.isNull()) {
        std::fprintf(stderr, "export_icon: can't read %s\n", argv[1]);
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size <= 0)
            return 2;
        QImage image(size, size, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        const int drawn = size >= icon.width() ? size / icon.width() * icon.width() : size;
        const QImage scaled = icon.scaled(drawn, drawn, Qt::KeepAspectRatio,
                                          size >= icon.width() ? Qt::FastTransformation
                                                               : Qt::SmoothTransformation);
        QPainter(&image).drawImage((size - drawn) / 2, (size - drawn) / 2, scaled);
        const QString folder = QStringLiteral("%1/%2x%2").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        if (!QDir().mkpath(folder) || !image.save(folder + QStringLiteral("/reelview.png"))) {
            std::fprintf(stderr, "export_icon: can't write %s\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
