// Draws the default contact picture "res/cards/contact.png" (PNG, 64 x 64),
// shown on contact cards whose vCard has no usable photo.
// Run tools/dressing/make-contact-picture.sh to make it again.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QImage img(64, 64, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 0, 64);
    bg.setColorAt(0, QColor(0xc8, 0xd3, 0xe2));
    bg.setColorAt(1, QColor(0x9f, 0xb1, 0xc9));
    p.setPen(QPen(QColor(0x7d, 0x8f, 0xa8), 1));
    p.setBrush(bg);
    p.drawRoundedRect(QRectF(0.5, 0.5, 63, 63), 6, 6);
    // Head and shoulders.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf4, 0xf6, 0xfa));
    p.drawEllipse(QRectF(21, 10, 22, 24));
    QPainterPath body;
    body.moveTo(8, 63);
    body.cubicTo(8, 44, 20, 37, 32, 37);
    body.cubicTo(44, 37, 56, 44, 56, 63);
    body.closeSubpath();
    p.drawPath(body);
    p.end();
    return img.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
