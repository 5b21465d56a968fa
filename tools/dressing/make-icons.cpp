// Draws the program's icons (PNG, 64 x 64, transparent background) into the
// folder given as first argument: the node icons of the source tree, the
// action icons of menus and toolbar, and the search icon. With a second
// argument it also writes a contact sheet there: every icon at 18, 32 and 52
// pixels on light and dark grounds, to judge them at the sizes the window uses.
// Run tools/dressing/make-icons.sh to make them again.
//
// One look for all: flat shapes with a darker outline, rounded corners, few
// details so that they still read at 18 pixels.
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <functional>
#include <map>

namespace {

const QColor kInk(0x2b, 0x3a, 0x4f); // outlines and glyphs
const QColor kBlue(0x3a, 0x7b, 0xd5);
const QColor kBlueLight(0xcf, 0xe2, 0xfa);
const QColor kGreen(0x6a, 0xb8, 0x4a);
const QColor kGreenDark(0x3f, 0x7f, 0x2a);
const QColor kOrange(0xf0, 0x9a, 0x2e);
const QColor kRed(0xd6, 0x45, 0x3d);
const QColor kGrey(0x8a, 0x94, 0xa3);
const QColor kPaper(0xfb, 0xfc, 0xfe);
const QColor kSilver(0xdd, 0xe3, 0xeb);

QPen outline(qreal w = 3.0, QColor c = kInk)
{
    QPen pen(c, w);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

// A phone of the iPhone kind: tall slab, dark screen, round home button.
void drawIPhone(QPainter &p, const QRectF &r)
{
    const qreal u = r.width() / 28.0;
    p.setPen(outline(2.2 * u));
    p.setBrush(kSilver);
    p.drawRoundedRect(r, 5 * u, 5 * u);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawRect(QRectF(r.left() + 3.5 * u, r.top() + 7 * u, r.width() - 7 * u, r.height() - 15 * u));
    p.setBrush(kBlue);
    p.drawRect(QRectF(r.left() + 5 * u, r.top() + 8.5 * u, r.width() - 10 * u,
                      (r.height() - 18 * u) * 0.45));
    p.setPen(outline(1.6 * u));
    p.setBrush(Qt::NoBrush);
    const qreal d = 4.2 * u;
    p.drawEllipse(QRectF(r.center().x() - d / 2, r.bottom() - 5.8 * u, d, d));
    p.drawLine(QPointF(r.center().x() - 2.5 * u, r.top() + 3.6 * u),
               QPointF(r.center().x() + 2.5 * u, r.top() + 3.6 * u));
}

// A green robot head with antennae and a body: the Android kind of phone.
void drawAndroid(QPainter &p, const QRectF &r)
{
    const qreal u = r.width() / 40.0;
    const qreal x = r.left(), y = r.top();
    p.setPen(outline(2.4 * u, kGreenDark));
    p.setBrush(kGreen);
    // head (half disc)
    QPainterPath head;
    head.moveTo(x + 6 * u, y + 19 * u);
    head.arcTo(QRectF(x + 6 * u, y + 5 * u, 28 * u, 28 * u), 180, -180);
    head.closeSubpath();
    p.drawPath(head);
    // antennae
    p.drawLine(QPointF(x + 12 * u, y + 7 * u), QPointF(x + 9 * u, y + 2 * u));
    p.drawLine(QPointF(x + 28 * u, y + 7 * u), QPointF(x + 31 * u, y + 2 * u));
    // body
    p.drawRoundedRect(QRectF(x + 6 * u, y + 21 * u, 28 * u, 15 * u), 3 * u, 3 * u);
    // arms
    p.drawRoundedRect(QRectF(x + 0.5 * u, y + 21 * u, 4 * u, 12 * u), 2 * u, 2 * u);
    p.drawRoundedRect(QRectF(x + 35.5 * u, y + 21 * u, 4 * u, 12 * u), 2 * u, 2 * u);
    // eyes
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(x + 14 * u, y + 13 * u), 2 * u, 2 * u);
    p.drawEllipse(QPointF(x + 26 * u, y + 13 * u), 2 * u, 2 * u);
}

// A database cylinder.
void drawCylinder(QPainter &p, const QRectF &r, QColor body, QColor top)
{
    const qreal eh = r.height() * 0.28;
    const qreal w = qMax<qreal>(2.0, r.width() / 16.0);
    QPainterPath path;
    path.moveTo(r.left(), r.top() + eh / 2);
    path.lineTo(r.left(), r.bottom() - eh / 2);
    path.arcTo(QRectF(r.left(), r.bottom() - eh, r.width(), eh), 180, 180);
    path.lineTo(r.right(), r.top() + eh / 2);
    path.arcTo(QRectF(r.left(), r.top(), r.width(), eh), 0, 180);
    p.setPen(outline(w));
    p.setBrush(body);
    p.drawPath(path);
    p.setBrush(top);
    p.drawEllipse(QRectF(r.left(), r.top(), r.width(), eh));
    p.setBrush(Qt::NoBrush);
    for (qreal f : {0.42, 0.70}) {
        const qreal yy = r.top() + (r.height() - eh) * f;
        p.drawArc(QRectF(r.left(), yy, r.width(), eh), 180 * 16, 180 * 16);
    }
}

void drawPerson(QPainter &p, QPointF c, qreal s, QColor fill)
{
    p.setPen(outline(s / 9.0));
    p.setBrush(fill);
    p.drawEllipse(QRectF(c.x() - s * 0.22, c.y() - s * 0.5, s * 0.44, s * 0.46));
    QPainterPath body;
    body.moveTo(c.x() - s * 0.45, c.y() + s * 0.5);
    body.cubicTo(c.x() - s * 0.45, c.y() + s * 0.05, c.x() - s * 0.2, c.y() + s * 0.0,
                 c.x(), c.y() + s * 0.0);
    body.cubicTo(c.x() + s * 0.2, c.y() + s * 0.0, c.x() + s * 0.45, c.y() + s * 0.05,
                 c.x() + s * 0.45, c.y() + s * 0.5);
    body.closeSubpath();
    p.drawPath(body);
}

// A thick arrow from a to b.
void drawArrow(QPainter &p, QPointF a, QPointF b, QColor fill, qreal width = 10)
{
    const QLineF line(a, b);
    const qreal len = line.length();
    QPainterPath path;
    const qreal head = width * 1.05;
    path.moveTo(0, -width / 2);
    path.lineTo(len - head, -width / 2);
    path.lineTo(len - head, -width);
    path.lineTo(len, 0);
    path.lineTo(len - head, width);
    path.lineTo(len - head, width / 2);
    path.lineTo(0, width / 2);
    path.closeSubpath();
    p.save();
    p.translate(a);
    p.rotate(-line.angle());
    p.setPen(outline(2.2));
    p.setBrush(fill);
    p.drawPath(path);
    p.restore();
}

void drawDocument(QPainter &p, const QRectF &r)
{
    const qreal fold = r.width() * 0.3;
    QPainterPath path;
    path.moveTo(r.topLeft());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.bottomRight());
    path.lineTo(r.bottomLeft());
    path.closeSubpath();
    p.setPen(outline(3));
    p.setBrush(kPaper);
    p.drawPath(path);
    p.setBrush(kSilver);
    QPainterPath corner;
    corner.moveTo(r.right() - fold, r.top());
    corner.lineTo(r.right() - fold, r.top() + fold);
    corner.lineTo(r.right(), r.top() + fold);
    corner.closeSubpath();
    p.drawPath(corner);
    p.setPen(outline(3, kGrey));
    for (int i = 0; i < 3; ++i) {
        const qreal yy = r.top() + fold + 8 + i * 8;
        if (yy < r.bottom() - 4)
            p.drawLine(QPointF(r.left() + 7, yy), QPointF(r.right() - 8, yy));
    }
}

void drawFolder(QPainter &p, const QRectF &r, QColor fill)
{
    QPainterPath path;
    path.moveTo(r.left(), r.top() + 6);
    path.lineTo(r.left() + r.width() * 0.36, r.top() + 6);
    path.lineTo(r.left() + r.width() * 0.44, r.top() + 12);
    path.lineTo(r.right(), r.top() + 12);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(outline(3));
    p.setBrush(fill.darker(115));
    p.drawPath(path);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(r.left(), r.top() + 18, r.width(), r.height() - 18), 2, 2);
}

void drawMagnifier(QPainter &p, const QRectF &r)
{
    const qreal d = r.width() * 0.62;
    p.setPen(outline(r.width() / 9.0));
    p.setBrush(kBlueLight);
    p.drawEllipse(QRectF(r.left(), r.top(), d, d));
    QPen handle = outline(r.width() / 6.0);
    p.setPen(handle);
    const QPointF c(r.left() + d / 2, r.top() + d / 2);
    const qreal off = d / 2 * 0.72;
    p.drawLine(QPointF(c.x() + off + r.width() * 0.04, c.y() + off + r.width() * 0.04),
               QPointF(r.right() - 2, r.bottom() - 2));
}

void drawBadgeDisc(QPainter &p, QPointF c, qreal rad, QColor fill)
{
    p.setPen(outline(2.4));
    p.setBrush(fill);
    p.drawEllipse(c, rad, rad);
}

using Drawer = std::function<void(QPainter &)>;

std::map<QString, Drawer> icons()
{
    std::map<QString, Drawer> m;
    m["iphone"] = [](QPainter &p) { drawIPhone(p, QRectF(17, 3, 30, 58)); };
    m["android"] = [](QPainter &p) { drawAndroid(p, QRectF(4, 8, 56, 56)); };
    m["database"] = [](QPainter &p) { drawCylinder(p, QRectF(10, 4, 44, 56), kBlue, kBlueLight); };
    m["databases"] = [](QPainter &p) {
        drawCylinder(p, QRectF(24, 2, 36, 44), kGrey, kSilver);
        drawCylinder(p, QRectF(4, 18, 36, 44), kBlue, kBlueLight);
    };
    m["devices"] = [](QPainter &p) {
        // a monitor with a phone leaning on it
        p.setPen(outline(3));
        p.setBrush(kSilver);
        p.drawRoundedRect(QRectF(3, 8, 46, 34), 3, 3);
        p.setBrush(kBlueLight);
        p.drawRect(QRectF(8, 13, 36, 24));
        p.setBrush(kGrey);
        p.drawRect(QRectF(20, 42, 12, 8));
        p.drawRoundedRect(QRectF(12, 50, 28, 6), 2, 2);
        drawIPhone(p, QRectF(40, 22, 21, 39));
    };
    m["group"] = [](QPainter &p) {
        drawPerson(p, QPointF(42, 30), 34, kSilver);
        drawPerson(p, QPointF(24, 36), 40, kBlueLight);
    };
    m["search"] = [](QPainter &p) { drawMagnifier(p, QRectF(6, 6, 52, 52)); };
    m["search_big"] = m["search"];
    m["backup"] = [](QPainter &p) {
        drawCylinder(p, QRectF(8, 20, 44, 42), kBlue, kBlueLight);
        drawArrow(p, QPointF(46, 2), QPointF(46, 32), kOrange, 11);
    };
    m["a2i"] = [](QPainter &p) {
        drawAndroid(p, QRectF(1, 4, 30, 30));
        drawIPhone(p, QRectF(42, 22, 20, 40));
        drawArrow(p, QPointF(8, 46), QPointF(40, 46), kOrange, 11);
    };
    m["db2i"] = [](QPainter &p) {
        drawCylinder(p, QRectF(3, 3, 28, 32), kBlue, kBlueLight);
        drawIPhone(p, QRectF(42, 22, 20, 40));
        drawArrow(p, QPointF(8, 48), QPointF(40, 48), kOrange, 11);
    };
    m["i2i"] = [](QPainter &p) {
        drawIPhone(p, QRectF(2, 3, 18, 36));
        drawIPhone(p, QRectF(42, 22, 20, 40));
        drawArrow(p, QPointF(8, 50), QPointF(40, 50), kOrange, 11);
    };
    m["i2a"] = [](QPainter &p) {
        drawIPhone(p, QRectF(2, 3, 18, 36));
        drawAndroid(p, QRectF(33, 30, 30, 30));
        drawArrow(p, QPointF(4, 52), QPointF(32, 52), kOrange, 10);
    };
    m["a2a"] = [](QPainter &p) {
        drawAndroid(p, QRectF(1, 4, 30, 30));
        drawAndroid(p, QRectF(33, 30, 30, 30));
        drawArrow(p, QPointF(4, 52), QPointF(32, 52), kOrange, 10);
    };
    m["db2a"] = [](QPainter &p) {
        drawCylinder(p, QRectF(3, 3, 28, 32), kBlue, kBlueLight);
        drawAndroid(p, QRectF(33, 30, 30, 30));
        drawArrow(p, QPointF(4, 52), QPointF(32, 52), kOrange, 10);
    };
    m["export"] = [](QPainter &p) {
        drawDocument(p, QRectF(6, 4, 38, 54));
        drawArrow(p, QPointF(26, 40), QPointF(62, 40), kGreen, 13);
    };
    m["import_itunes"] = [](QPainter &p) {
        drawDocument(p, QRectF(22, 4, 38, 54));
        drawArrow(p, QPointF(2, 40), QPointF(38, 40), kBlue, 13);
    };
    m["print"] = [](QPainter &p) {
        p.setPen(outline(3));
        p.setBrush(kPaper);
        p.drawRect(QRectF(16, 4, 32, 22));
        p.setBrush(kGrey);
        p.drawRoundedRect(QRectF(4, 22, 56, 26), 5, 5);
        p.setBrush(kPaper);
        p.drawRect(QRectF(16, 38, 32, 22));
        p.setPen(outline(3, kGrey));
        p.drawLine(QPointF(21, 46), QPointF(43, 46));
        p.drawLine(QPointF(21, 53), QPointF(38, 53));
        p.setPen(Qt::NoPen);
        p.setBrush(kGreen);
        p.drawEllipse(QPointF(51, 30), 3, 3);
    };
    m["extract_media"] = [](QPainter &p) {
        // a picture frame with a mountain and sun, pulled out by an arrow
        p.setPen(outline(3));
        p.setBrush(kPaper);
        p.drawRoundedRect(QRectF(4, 6, 44, 36), 3, 3);
        p.setBrush(kGreen);
        QPainterPath hill;
        hill.moveTo(7, 39);
        hill.lineTo(20, 20);
        hill.lineTo(29, 31);
        hill.lineTo(35, 25);
        hill.lineTo(45, 39);
        hill.closeSubpath();
        p.drawPath(hill);
        p.setBrush(kOrange);
        p.drawEllipse(QPointF(37, 15), 4, 4);
        drawArrow(p, QPointF(32, 54), QPointF(62, 54), kBlue, 11);
    };
    m["delete"] = [](QPainter &p) {
        // a waste bin
        p.setPen(outline(3));
        p.setBrush(kSilver);
        p.drawRect(QRectF(24, 4, 16, 6));
        p.setBrush(kRed);
        p.drawRoundedRect(QRectF(8, 10, 48, 8), 2, 2);
        QPainterPath bin;
        bin.moveTo(13, 18);
        bin.lineTo(51, 18);
        bin.lineTo(47, 61);
        bin.lineTo(17, 61);
        bin.closeSubpath();
        p.drawPath(bin);
        p.setPen(outline(3, Qt::white));
        for (qreal x : {24.0, 32.0, 40.0})
            p.drawLine(QPointF(x, 25), QPointF(x, 54));
    };
    m["remove"] = [](QPainter &p) {
        drawBadgeDisc(p, QPointF(32, 32), 27, kRed);
        p.setPen(outline(8, Qt::white));
        p.drawLine(QPointF(17, 32), QPointF(47, 32));
    };
    m["open_db_folder"] = [](QPainter &p) {
        drawFolder(p, QRectF(3, 8, 52, 48), QColor(0xf4, 0xc4, 0x4e));
        drawCylinder(p, QRectF(34, 30, 26, 32), kBlue, kBlueLight);
    };
    m["unmount"] = [](QPainter &p) {
        // eject: a triangle above a bar
        p.setPen(outline(3));
        p.setBrush(kBlue);
        QPainterPath tri;
        tri.moveTo(32, 6);
        tri.lineTo(58, 36);
        tri.lineTo(6, 36);
        tri.closeSubpath();
        p.drawPath(tri);
        p.drawRoundedRect(QRectF(6, 45, 52, 12), 3, 3);
    };
    m["exit"] = [](QPainter &p) {
        // an open door with an arrow leaving it
        p.setPen(outline(3));
        p.setBrush(kSilver);
        p.drawRect(QRectF(6, 4, 32, 56));
        p.setBrush(QColor(0xb0, 0x7a, 0x48));
        QPainterPath door;
        door.moveTo(6, 4);
        door.lineTo(26, 12);
        door.lineTo(26, 62);
        door.lineTo(6, 60);
        door.closeSubpath();
        p.drawPath(door);
        drawArrow(p, QPointF(30, 32), QPointF(62, 32), kRed, 12);
    };
    m["help"] = [](QPainter &p) {
        drawBadgeDisc(p, QPointF(32, 32), 28, kBlue);
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(40);
        f.setBold(true);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRectF(0, 2, 64, 62), Qt::AlignCenter, QStringLiteral("?"));
    };
    m["home"] = [](QPainter &p) {
        p.setPen(outline(3));
        p.setBrush(kPaper);
        p.drawRect(QRectF(14, 30, 36, 30));
        p.setBrush(kRed);
        QPainterPath roof;
        roof.moveTo(32, 4);
        roof.lineTo(60, 32);
        roof.lineTo(4, 32);
        roof.closeSubpath();
        p.drawPath(roof);
        p.setBrush(kBlue);
        p.drawRect(QRectF(27, 42, 11, 18));
    };
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);
    const auto all = icons();
    QList<QPair<QString, QImage>> made;
    for (const auto &[name, draw] : all) {
        QImage img(64, 64, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p);
        p.end();
        if (!img.save(out + QLatin1Char('/') + name + QStringLiteral(".png"), "PNG"))
            return 1;
        made.append({name, img});
    }
    if (argc < 3)
        return 0;
    // Contact sheet: one row per icon, at 18, 32 and 52 pixels, light then dark.
    const int rowH = 60;
    QImage sheet(520, rowH * int(made.size()), QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    int y = 0;
    for (const auto &[name, img] : made) {
        p.fillRect(QRect(260, y, 260, rowH), QColor(0x40, 0x44, 0x4c));
        p.setPen(Qt::black);
        p.drawText(QRect(4, y, 120, rowH), Qt::AlignVCenter, name);
        int x = 120;
        for (int ground = 0; ground < 2; ++ground) {
            for (int s : {18, 32, 52}) {
                p.drawImage(QRect(x, y + (rowH - s) / 2, s, s),
                            img.scaled(s, s, Qt::KeepAspectRatio, Qt::SmoothTransformation));
                x += s + 10;
            }
            x = 300;
        }
        y += rowH;
    }
    p.end();
    return sheet.save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
}
