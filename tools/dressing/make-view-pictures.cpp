// Draws the small pictures of the message list and the conversation view:
// the four service icons of the list (res/list/, 36 x 36 PNG) and the
// picture shown for an image without thumbnail (bubble/empty_photo.jpg).
// Run tools/dressing/make-view-pictures.sh to make them again.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

// A speech bubble in the service's colour with an arrow: out (sent) points
// up and right, in (received) down and left.
static bool saveServiceIcon(const QString &path, QColor colour, bool sent)
{
    QImage img(36, 36, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(2, 4, 32, 22), 9, 9);
    QPainterPath tail;
    const qreal tx = sent ? 26 : 10;
    tail.moveTo(tx - 5, 24);
    tail.lineTo(sent ? tx + 6 : tx - 6, 33);
    tail.lineTo(tx + 5, 24);
    tail.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(bubble.united(tail));

    QPen pen(Qt::white, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    if (sent) {
        p.drawLine(QPointF(11, 20), QPointF(24, 10));
        p.drawLine(QPointF(24, 10), QPointF(16, 10));
        p.drawLine(QPointF(24, 10), QPointF(24, 17));
    } else {
        p.drawLine(QPointF(24, 10), QPointF(11, 20));
        p.drawLine(QPointF(11, 20), QPointF(19, 20));
        p.drawLine(QPointF(11, 20), QPointF(11, 13));
    }
    p.end();
    return img.save(path, "PNG");
}

// A grey frame with a mountain and a sun: "no picture here".
static bool saveEmptyPhoto(const QString &path)
{
    QImage img(120, 90, QImage::Format_RGB32);
    img.fill(QColor(0xee, 0xee, 0xee));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xbb, 0xbb, 0xbb), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(1, 1, 118, 88));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xcc, 0xcc, 0xcc));
    p.drawEllipse(QPointF(86, 28), 9, 9);
    QPainterPath hills;
    hills.moveTo(10, 78);
    hills.lineTo(42, 38);
    hills.lineTo(62, 60);
    hills.lineTo(76, 48);
    hills.lineTo(110, 78);
    hills.closeSubpath();
    p.setBrush(QColor(0xb4, 0xb4, 0xb4));
    p.drawPath(hills);
    p.end();
    return img.save(path, "JPG", 75);
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        qWarning("usage: make-view-pictures LIST_DIR BUBBLE_DIR");
        return 2;
    }
    const QDir list(QString::fromLocal8Bit(argv[1]));
    const QDir bubble(QString::fromLocal8Bit(argv[2]));
    const QColor imessage(0x2f, 0x7c, 0xf6);
    const QColor sms(0x3c, 0xb3, 0x4a);
    bool ok = saveServiceIcon(list.filePath("imsg-send.png"), imessage, true)
            && saveServiceIcon(list.filePath("imsg-rec.png"), imessage, false)
            && saveServiceIcon(list.filePath("icon_sms-sent.png"), sms, true)
            && saveServiceIcon(list.filePath("icon_sms-receive.png"), sms, false)
            && saveEmptyPhoto(bubble.filePath("empty_photo.jpg"));
    return ok ? 0 : 1;
}
