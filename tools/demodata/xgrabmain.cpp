// Saves the whole X screen, or one window of it, as a PNG:
//   pel_xgrab out.png [window-id]
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: pel_xgrab out.png [window-id]\n");
        return 2;
    }
    WId window = 0;
    if (argc > 2) {
        bool ok = false;
        window = WId(QByteArray(argv[2]).toULongLong(&ok, 0));
        if (!ok) {
            std::fprintf(stderr, "pel_xgrab: %s is no window id\n", argv[2]);
            return 2;
        }
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || !screen->grabWindow(window).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "pel_xgrab: could not grab the screen\n");
        return 1;
    }
    return 0;
}
