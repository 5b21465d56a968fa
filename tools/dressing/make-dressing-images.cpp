// Draws the window-dressing pictures kept in res/: the About picture "main"
// (PNG, 256 x 256) and the backgrounds "main_bg.jpg" and "sub_bg.jpg".
// Run tools/dressing/make-dressing-images.sh to make them again.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

static bool saveBackground(const QString &path, QSize size, QColor top, QColor bottom, int band)
{
    QImage img(size, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 0, size.height());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(img.rect(), g);
    if (band > 0) {
        QLinearGradient b(0, 0, 0, band);
        b.setColorAt(0, QColor(0x3c, 0x78, 0xb4));
        b.setColorAt(1, QColor(0x6c, 0xa0, 0xd2));
        p.fillRect(QRect(0, 0, size.width(), band), b);
    }
    p.end();
    return img.save(path, "JPG", 80);
}

static bool saveEmblem(const QString &path)
{
    QImage img(256, 256, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient disc(128, 100, 150);
    disc.setColorAt(0, QColor(0x7e, 0xb6, 0xe8));
    disc.setColorAt(1, QColor(0x2a, 0x5e, 0x9c));
    p.setBrush(disc);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 48, 48);

    // Two overlapping speech bubbles.
    auto bubble = [&](QRectF r, QPointF tail, QColor c) {
        QPainterPath path;
        path.addRoundedRect(r, 26, 26);
        QPainterPath t;
        t.moveTo(r.left() + r.width() * 0.3, r.bottom() - 4);
        t.lineTo(tail);
        t.lineTo(r.left() + r.width() * 0.5, r.bottom() - 4);
        t.closeSubpath();
        path = path.united(t);
        p.setBrush(c);
        p.drawPath(path);
    };
    bubble(QRectF(36, 48, 150, 96), QPointF(58, 172), QColor(255, 255, 255, 235));
    bubble(QRectF(92, 112, 130, 80), QPointF(196, 222), QColor(0xd8, 0xf0, 0xc8, 235));
    p.end();
    return img.save(path, "PNG");
}

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    bool ok = saveEmblem(out + "/main.png");
    ok = saveBackground(out + "/main_bg.jpg", QSize(1000, 680), QColor(0xf4, 0xf8, 0xfc),
                        QColor(0xdc, 0xe8, 0xf4), 0)
            && ok;
    ok = saveBackground(out + "/sub_bg.jpg", QSize(350, 122), QColor(0xff, 0xff, 0xff),
                        QColor(0xea, 0xf2, 0xfa), 6)
            && ok;
    return ok ? 0 : 1;
}
