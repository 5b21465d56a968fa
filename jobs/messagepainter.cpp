#include "jobs/messagepainter.h"

#include "jobs/contactcard.h"
#include "store/attachmentfile.h"
#include "store/emoji.h"
#include "store/msgutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGlyphRun>
#include <QMutex>
#include <QPaintEngine>
#include <QRawFont>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainterPath>
#include <QPrinter>
#include <QTextLayout>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

const QColor pageBackgroundColor(219, 226, 237);

using namespace messagepaint;

namespace {

const QColor kPenColor(146, 146, 165);
constexpr int kTextPoints = 12;
constexpr int kSystemPoints = 10;

struct CellSizes
{
    int top, right, bottom, left;
};

constexpr CellSizes kReceivedCells {kReceivedTop, kReceivedRight, kReceivedBottom, kReceivedLeft};
constexpr CellSizes kSentCells {kSentTop, kSentRight, kSentBottom, kSentLeft};

// The nine pictures of one bubble frame, in reading order.
using BubbleSet = std::array<QImage, 9>;

// The frame's outline at its smallest size (the two middle units of each
// direction included): a rounded body with a tail at the bottom on the
// speaker's side. Made once per process.
const QPainterPath &framePath(bool sent)
{
    static const auto make = [](bool sent) {
        const CellSizes c = sent ? kSentCells : kReceivedCells;
        const int w = c.left + 2 + c.right;
        const int h = c.top + 2 + c.bottom;
        const QRectF body
                = sent ? QRectF(4.5, 3.5, w - 15, h - 7) : QRectF(10.5, 3.5, w - 15, h - 7);
        // The body's outline, clockwise from the top left corner, with the
        // bottom corner on the speaker's side given to the tail: its outer
        // edge runs from the tip to where it meets the side of the body
        // (its inner edge lies inside the body).
        constexpr qreal r = 12;
        constexpr qreal tipOut = 8; // how far the tip reaches out of the body
        constexpr qreal meet = 14 * tipOut / (tipOut + 1);
        const qreal left = body.left(), top = body.top(), right = body.right(),
                    bottom = body.bottom();
        QPainterPath path(QPointF(left + r, top));
        path.arcTo(QRectF(right - 2 * r, top, 2 * r, 2 * r), 90, -90);
        if (sent) {
            path.lineTo(right, bottom - meet);
            path.lineTo(right + tipOut, bottom);
            path.arcTo(QRectF(left, bottom - 2 * r, 2 * r, 2 * r), 270, -90);
        } else {
            path.arcTo(QRectF(right - 2 * r, bottom - 2 * r, 2 * r, 2 * r), 0, -90);
            path.lineTo(left - tipOut, bottom);
            path.lineTo(left, bottom - meet);
        }
        path.arcTo(QRectF(left, top, 2 * r, 2 * r), 180, -90);
        path.closeSubpath();
        return path;
    };
    static const QPainterPath received = make(false);
    static const QPainterPath sentPath = make(true);
    return sent ? sentPath : received;
}

// The outline stretched to a frame of size w x h. The corners and the tail
// lie in the outer cells, which keep their size: what lies past the middle
// units moves by the growth (placed as the nine cells are, one unit in).
QPainterPath stretchedFrame(bool sent, int w, int h)
{
    const CellSizes c = sent ? kSentCells : kReceivedCells;
    const qreal dx = w - (c.left + 2 + c.right) - 1;
    const qreal dy = h - (c.top + 2 + c.bottom) - 1;
    QPainterPath path = framePath(sent);
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        path.setElementPositionAt(i, e.x > c.left + 1 ? e.x + dx : e.x,
                                  e.y > c.top + 1 ? e.y + dy : e.y);
    }
    return path;
}

// Pictures installed beside the program ("bubble/bb1_01.png" ...) take the
// place of the drawn frame when all nine of a set can be read.
std::optional<BubbleSet> loadBubbleSet(bool sent)
{
    const QString folder = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("bubble");
    BubbleSet set;
    for (int i = 0; i < 9; ++i) {
        const QString name = QStringLiteral("bb%1_%2.png")
                                     .arg(sent ? 2 : 1)
                                     .arg(i + 1, 2, 10, QLatin1Char('0'));
        QImageReader reader(QDir(folder).absoluteFilePath(name), "PNG");
        const QSize size = reader.size();
        if (!size.isValid() || size.width() > 512 || size.height() > 512
            || !reader.read(&set[size_t(i)]))
            return std::nullopt;
    }
    return set;
}

// Made once per process; a function-local static is initialised once even
// when two threads reach it at the same time.
const std::optional<BubbleSet> &installedBubbleSet(bool sent)
{
    static const std::optional<BubbleSet> received = loadBubbleSet(false);
    static const std::optional<BubbleSet> sentSet = loadBubbleSet(true);
    return sent ? sentSet : received;
}

} // namespace

namespace {

// Whether text[at, at + n) holds characters past the common scripts'
// punctuation (symbols, emoji), which a colour font may be drawing.
bool mayNeedColourFont(const QString &text, qsizetype at, qsizetype n)
{
    for (qsizetype i = at; i < at + n && i < text.size(); ++i)
        if (text.at(i).unicode() >= 0x2190)
            return true;
    return false;
}

// Whether the font draws its glyphs as pictures (bitmap or layered colour
// glyphs); answered once per family.
bool isColourFont(const QRawFont &font)
{
    static QMutex mutex;
    static QHash<QString, bool> known;
    const QString family = font.familyName();
    QMutexLocker lock(&mutex);
    const auto it = known.constFind(family);
    if (it != known.constEnd())
        return *it;
    const bool colour = !font.fontTable("CBDT").isEmpty() || !font.fontTable("COLR").isEmpty()
            || !font.fontTable("sbix").isEmpty();
    known.insert(family, colour);
    return colour;
}

} // namespace

// A text laid out in lines of a given width, long paragraphs in pieces so
// that no single layout grows without bound. Laid out for a screen-like
// device of 72 dots per inch whatever it is drawn on, so that a page
// measures the same on every device.
class WrappedText
{
public:
    struct Line
    {
        QTextLine line;
        qreal layoutTop; // where the line's layout starts
        qreal top;
        qreal height;
        bool symbols; // characters that may come from a colour font
    };

    WrappedText(const QString &text, const QFont &font, qreal width, Qt::Alignment align)
    {
        constexpr qsizetype kPiece = 2000;
        QTextOption option(align);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        const QString normalised
                = QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n"));
        const QStringList paragraphs = normalised.split(QLatin1Char('\n'));
        qreal top = 0;
        for (const QString &paragraph : paragraphs) {
            qsizetype at = 0;
            do {
                qsizetype n = std::min(kPiece, paragraph.size() - at);
                if (at + n < paragraph.size() && paragraph.at(at + n - 1).isHighSurrogate())
                    --n;
                auto layout = std::make_unique<QTextLayout>(paragraph.mid(at, n), font, &m_device);
                layout->setTextOption(option);
                // Drawn soon after: keep the shaped glyphs instead of shaping twice.
                layout->setCacheEnabled(true);
                layout->beginLayout();
                qreal inLayout = 0;
                for (;;) {
                    QTextLine line = layout->createLine();
                    if (!line.isValid())
                        break;
                    line.setLineWidth(std::max<qreal>(width, 1));
                    line.setPosition(QPointF(0, inLayout));
                    m_lines.append({line, top, top + inLayout, line.height(),
                                    mayNeedColourFont(paragraph, at + line.textStart(),
                                                      line.textLength())});
                    inLayout += line.height();
                }
                layout->endLayout();
                top += inLayout;
                m_layouts.push_back(std::move(layout));
                at += n;
            } while (at < paragraph.size());
        }
    }

    const QList<Line> &lines() const { return m_lines; }

    // Lines [first, last) fitting in maxHeight, at least one.
    qsizetype chunkEnd(qsizetype first, qreal maxHeight) const
    {
        qsizetype last = first + 1;
        const qreal start = m_lines.at(first).top;
        while (last < m_lines.size()
               && m_lines.at(last).top + m_lines.at(last).height - start <= maxHeight)
            ++last;
        return last;
    }

    QSize measure(qsizetype first, qsizetype last) const
    {
        qreal w = 0;
        for (qsizetype i = first; i < last; ++i)
            w = std::max(w, m_lines.at(i).line.naturalTextWidth());
        const qreal h
                = m_lines.at(last - 1).top + m_lines.at(last - 1).height - m_lines.at(first).top;
        return QSize(int(std::ceil(w)), int(std::ceil(h)));
    }

    void draw(QPainter &p, const QPointF &origin, qsizetype first, qsizetype last) const
    {
        // A document (PDF, printer) cannot show the glyphs of a colour font
        // (pictures in the font): those are drawn as pictures themselves.
        const bool vector = p.paintEngine() && p.paintEngine()->type() != QPaintEngine::Raster;
        const qreal start = m_lines.at(first).top;
        for (qsizetype i = first; i < last; ++i) {
            const Line &l = m_lines.at(i);
            const QPointF at(origin.x(), origin.y() + l.layoutTop - start);
            if (!vector || !l.symbols) {
                l.line.draw(&p, at);
                continue;
            }
            for (const QGlyphRun &run : l.line.glyphRuns()) {
                if (!isColourFont(run.rawFont())) {
                    p.drawGlyphRun(at, run);
                    continue;
                }
                const QRect box = run.boundingRect().translated(at).toAlignedRect();
                QImage picture(box.size(), QImage::Format_ARGB32_Premultiplied);
                if (picture.isNull())
                    continue;
                picture.fill(Qt::transparent);
                {
                    QPainter ip(&picture);
                    ip.drawGlyphRun(at - QPointF(box.topLeft()), run);
                }
                p.drawImage(box.topLeft(), picture);
            }
        }
    }

private:
    QImage m_device {1, 1, QImage::Format_ARGB32_Premultiplied}; // screen-like metrics
    std::vector<std::unique_ptr<QTextLayout>> m_layouts;
    QList<Line> m_lines;
};

namespace {

QString cutText(QString text)
{
    if (text.size() > kMaxPaintedText) {
        qsizetype n = kMaxPaintedText;
        if (text.at(n - 1).isHighSurrogate())
            --n;
        text.truncate(n);
        text += QStringLiteral(" [...]");
    }
    return text;
}

PaintedBubble bubbleFromLines(const std::shared_ptr<const WrappedText> &wrapped, qsizetype first,
                              qsizetype last, bool sent)
{
    const QSize measured = wrapped->measure(first, last);
    PaintedBubble b;
    b.size = QSize(std::max(measured.width() + 50, kMinBubbleWidth),
                   std::max(measured.height() + 20, kMinBubbleHeight));
    b.sent = sent;
    b.text = wrapped;
    b.first = first;
    b.last = last;
    return b;
}

QString senderLabel(const _MsgMessage &m)
{
    if (!m.chat || m.chat->handles.size() <= 1 || m.is_from_me || !m.handle)
        return QString();
    return m.handle->contactName.isEmpty() ? m.handle->id : m.handle->contactName;
}

} // namespace

QFont bubbleFont()
{
    static const QFont base = QGuiApplication::font();
    QFont font = base; // a copy per use: no shared object is changed
    font.setPointSize(kTextPoints);
    return font;
}

QImage emptyPhoto()
{
    static const QImage photo = [] {
        const QSize limit(1024, 1024);
        QImage image = loadBubblePicture(QDir(QCoreApplication::applicationDirPath())
                                                 .absoluteFilePath("bubble/empty_photo.jpg"),
                                         limit);
        if (image.isNull())
            image = loadBubblePicture(QDir::current().absoluteFilePath("bubble/empty_photo.jpg"),
                                      limit);
        return image;
    }();
    return photo;
}

void drawBubble(QPainter &painter, const QRect &rect, bool sent)
{
    const std::optional<BubbleSet> &installed = installedBubbleSet(sent);
    if (!installed) {
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(170, 176, 190), 1));
        painter.setBrush(sent ? QColor(197, 232, 176) : QColor(255, 255, 255));
        painter.drawPath(stretchedFrame(sent, rect.width(), rect.height())
                                 .translated(rect.left(), rect.top()));
        painter.restore();
        return;
    }
    const CellSizes c = sent ? kSentCells : kReceivedCells;
    const BubbleSet &set = *installed;
    const int x1 = rect.left(), y1 = rect.top(), x2 = rect.right(), y2 = rect.bottom();
    const int midW = (x2 - c.right) - (x1 + c.left) + 1;
    const int midH = (y2 - c.bottom) - (y1 + c.top) + 1;
    const QRect cells[9] = {
            {x1, y1, c.left, c.top},
            {x1 + c.left, y1, midW, c.top},
            {x2 - c.right, y1, c.right, c.top},
            {x1, y1 + c.top, c.left, midH},
            {x1 + c.left, y1 + c.top, midW, midH},
            {x2 - c.right, y1 + c.top, c.right, midH},
            {x1, y2 - c.bottom, c.left, c.bottom},
            {x1 + c.left, y2 - c.bottom, midW, c.bottom},
            {x2 - c.right, y2 - c.bottom, c.right, c.bottom},
    };
    for (int i = 0; i < 9; ++i)
        if (!set[size_t(i)].isNull() && cells[i].width() > 0 && cells[i].height() > 0)
            painter.drawImage(cells[i], set[size_t(i)]);
}

void PaintedBubble::draw(QPainter &painter, const QPoint &topLeft) const
{
    if (isNull())
        return;
    drawBubble(painter, QRect(topLeft, size), sent);
    const QPoint inside(topLeft.x() + (sent ? 20 : 30), topLeft.y() + 10);
    if (text) {
        painter.save();
        painter.setPen(Qt::black);
        text->draw(painter, inside, first, last);
        painter.restore();
    } else if (!picture.isNull()) {
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(inside, QSize(picture.width(), picture.height() + 10)), picture);
        painter.restore();
    }
}

QImage PaintedBubble::toImage() const
{
    if (isNull())
        return QImage();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    image.fill(pageBackgroundColor);
    QPainter p(&image);
    draw(p, QPoint(0, 0));
    return image;
}

QList<PaintedBubble> textBubbleParts(const QString &text, int maxWidth, bool sent, int maxHeight)
{
    const auto wrapped = std::make_shared<const WrappedText>(cutText(text), bubbleFont(),
                                                             maxWidth - 50, Qt::AlignLeft);
    QList<PaintedBubble> bubbles;
    const qreal linesHeight = std::max(maxHeight - 20, 1);
    for (qsizetype first = 0; first < wrapped->lines().size();) {
        const qsizetype last = wrapped->chunkEnd(first, linesHeight);
        bubbles.append(bubbleFromLines(wrapped, first, last, sent));
        first = last;
    }
    return bubbles;
}

PaintedBubble textBubblePart(const QString &text, int maxWidth, bool sent)
{
    const auto wrapped = std::make_shared<const WrappedText>(cutText(text), bubbleFont(),
                                                             maxWidth - 50, Qt::AlignLeft);
    return bubbleFromLines(wrapped, 0, wrapped->lines().size(), sent);
}

PaintedBubble imageBubblePart(const QImage &image, bool sent)
{
    PaintedBubble b;
    if (image.isNull())
        return b;
    b.size = QSize(std::max(image.width() + 50, kMinBubbleWidth),
                   std::max(image.height() + 30, kMinBubbleHeight));
    b.sent = sent;
    b.picture = image;
    return b;
}

QList<QImage> textBubbles(const QString &text, int maxWidth, bool sent, int maxHeight)
{
    QList<QImage> images;
    for (const PaintedBubble &b : textBubbleParts(text, maxWidth, sent, maxHeight))
        images.append(b.toImage());
    return images;
}

QImage textBubble(const QString &text, int maxWidth, bool sent)
{
    return textBubblePart(text, maxWidth, sent).toImage();
}

QImage imageBubble(const QImage &image, bool sent)
{
    return imageBubblePart(image, sent).toImage();
}

QImage loadBubblePicture(const QString &path, const QSize &maxSize)
{
    // Pictures of our own (thumbnails, cards, the program's placeholder):
    // any regular file, also one the installation links to.
    std::error_code error;
    if (path.isEmpty()
        || !std::filesystem::is_regular_file(QFile::encodeName(path).toStdString(), error))
        return QImage();
    for (const char *format : {"JPEG", "PNG"}) {
        QImageReader reader(path, format);
        reader.setAutoDetectImageFormat(false);
        if (!reader.canRead())
            continue;
        QSize size = reader.size();
        if (!size.isValid() || size.isEmpty())
            continue;
        if (maxSize.width() > 0 && maxSize.height() > 0
            && (size.width() > maxSize.width() || size.height() > maxSize.height())) {
            size = size.scaled(maxSize, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
            reader.setScaledSize(size);
        }
        QImage image;
        if (reader.read(&image) && !image.isNull())
            return image.size() == size ? image : image.scaled(size);
    }
    return QImage();
}

bool MessagePainter::begin(QPrinter *printer)
{
    device = printer;
    const QMarginsF margins = printer->pageLayout().margins(QPageLayout::Point);
    const QRectF pageRect = printer->pageRect(QPrinter::DevicePixel);
    const QRect rect(int(margins.left()), int(margins.top()),
                     int(pageRect.width() - margins.left() - margins.right()),
                     int(pageRect.height() - margins.top() - margins.bottom()));
    return begin(printer, rect, [printer] { return printer->newPage(); });
}

bool MessagePainter::begin(QPaintDevice *target, const QRect &contentRect,
                           std::function<bool()> newPage)
{
    content = contentRect;
    y = content.top();
    page = 1;
    lastHeaderTime = kNoDateHeader;
    m_newPage = std::move(newPage);
    if (!painter.begin(target))
        return false;
    QFont font = QGuiApplication::font();
    font.setPointSize(kTextPoints);
    painter.setFont(font);
    painter.setPen(kPenColor);
    startPage();
    return true;
}

void MessagePainter::startPage()
{
    painter.fillRect(content, pageBackgroundColor);
    painter.drawText(QRect(content.left(), content.bottom() + 2, content.width(), 18),
                     Qt::AlignRight | Qt::AlignVCenter, QString::number(page));
}

void MessagePainter::ensureSpace(int h)
{
    if (!painter.isActive() || content.bottom() - y + 1 >= h)
        return;
    if (m_newPage && !m_newPage())
        return;
    ++page;
    y = content.top();
    startPage();
}

bool MessagePainter::end()
{
    if (!painter.isActive())
        return false;
    return painter.end();
}

void MessagePainter::paintLabel(const QString &label, bool sent)
{
    if (label.isEmpty())
        return;
    ensureSpace(kLabelHeight);
    const QRect box(content.left() + 25, y, content.width() - 50, 18);
    const QString shown
            = painter.fontMetrics().elidedText(label, Qt::ElideRight, std::max(box.width(), 0));
    painter.drawText(box, (sent ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter, shown);
    y += kLabelHeight;
}

void MessagePainter::paintBubble(const PaintedBubble &bubble, bool sent)
{
    const int h = bubble.height();
    ensureSpace(h);
    bubble.draw(painter, QPoint(sent ? content.right() - bubble.width() : content.left(), y));
    y += h + kBubbleGap;
}

void MessagePainter::paintBlock(const QString &header, const QString &label,
                                const QList<PaintedBubble> &bubbles, bool sent)
{
    // The date header and the label go on the page of the bubble they
    // belong to: the room for all of them is made before the first is drawn
    // (at most one page, which the bubbles are made to fit).
    const int first = bubbles.isEmpty() ? 0 : bubbles.first().height();
    const int together = (header.isNull() ? 0 : kHeaderHeight)
            + (label.isEmpty() ? 0 : kLabelHeight) + first;
    ensureSpace(std::min(together, content.height()));
    if (!header.isNull()) {
        ensureSpace(kHeaderHeight);
        painter.drawText(QRect(content.left(), y, content.width(), 22), Qt::AlignCenter, header);
        y += kHeaderHeight;
    }
    for (qsizetype i = 0; i < bubbles.size(); ++i) {
        if (i == 0)
            paintLabel(label, sent);
        paintBubble(bubbles.at(i), sent);
    }
}

void MessagePainter::paintSystemLine(const _MsgMessage &m)
{
    QFont font = painter.font();
    font.setPointSize(kSystemPoints);
    painter.setFont(font);
    const WrappedText wrapped(cutText(messagePlainText(m)), font, content.width(),
                              Qt::AlignHCenter);
    for (qsizetype first = 0; first < wrapped.lines().size();) {
        const qsizetype last = wrapped.chunkEnd(first, std::max(content.height() - 8, 1));
        const int h = wrapped.measure(first, last).height();
        ensureSpace(h + 8);
        wrapped.draw(painter, QPointF(content.left(), y), first, last);
        y += h + 8;
        first = last;
    }
    font.setPointSize(kTextPoints);
    painter.setFont(font);
}

PaintedBubble MessagePainter::attachmentBubble(const _MsgAttachment &a, bool sent, int above) const
{
    const int width = maxBubbleWidth();
    // The largest picture a bubble on one page can hold below what goes
    // above it (a date header, a label).
    const QSize pictureLimit(std::max(width - 50, 1), std::max(content.height() - 30 - above, 1));
    const QString mime = a.mime_type;
    if (mime.startsWith(QLatin1String("image/"), Qt::CaseInsensitive)) {
        QImage picture = loadBubblePicture(makeThumbnail(a), pictureLimit);
        if (picture.isNull())
            picture = emptyPhoto();
        return imageBubblePart(picture, sent);
    }
    if (mime.startsWith(QLatin1String("video/"), Qt::CaseInsensitive))
        return textBubblePart(QStringLiteral("[VIDEO]"), width, sent);
    if (mime.startsWith(QLatin1String("audio/"), Qt::CaseInsensitive))
        return textBubblePart(QStringLiteral("[AUDIO]"), width, sent);
    if (mime.compare(QLatin1String("text/x-vCard"), Qt::CaseInsensitive) == 0
        || mime.compare(QLatin1String("text/vcard"), Qt::CaseInsensitive) == 0) {
        const QString card = a.localPath.isEmpty() ? QString() : renderContactCard(a.localPath);
        if (!card.isEmpty() && QFileInfo::exists(card)) {
            QImage picture = loadBubblePicture(card, pictureLimit);
            if (picture.isNull())
                picture = emptyPhoto();
            return imageBubblePart(picture, sent);
        }
        return textBubblePart(QStringLiteral("[VCARD]"), width, sent);
    }
    return textBubblePart(QStringLiteral("[ATTACHMENT]"), width, sent);
}

void MessagePainter::paintMessage(const _MsgMessage *m)
{
    if (!m || !painter.isActive())
        return;
    const QString label = senderLabel(*m);
    if (m->item_type != 0) {
        paintSystemLine(*m);
        return;
    }

    // The header, when due, is painted together with the first block.
    QString header;
    const qint64 seconds = qint64(m->date) + kIosEpochOffset;
    if (needsDateHeader(lastHeaderTime, seconds, false)) {
        lastHeaderTime = seconds;
        header = iosDateToDateTime(m->date).toString(QLatin1String(kMessageDateFormat));
    }
    // What goes above a block's first bubble on its page.
    auto above = [&] {
        return (header.isNull() ? 0 : kHeaderHeight) + (label.isEmpty() ? 0 : kLabelHeight);
    };
    auto paint = [&](const QList<PaintedBubble> &bubbles) {
        paintBlock(header, label, bubbles, m->is_from_me != 0);
        header = QString();
    };

    QString text;
    if (!m->subject.isEmpty())
        text = QStringLiteral("<Subject:%1>\n").arg(m->subject);
    text += messageBodyText(*m);
    text = replaceEmoji(text.trimmed(), emojiPlaceholderText, nullptr);

    const bool sent = m->is_from_me != 0;
    if (!text.isEmpty() || m->attachments.isEmpty())
        paint(textBubbleParts(text, maxBubbleWidth(), sent, content.height() - above()));

    for (const _MsgAttachment *a : sortedAttachments(*m)) {
        if (!a)
            continue;
        if (a->mime_type.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
            // Only a plain file: opening a pipe or device could block or never
            // end, and a link could lead anywhere.
            bool complete = false;
            const QByteArray bytes = readAttachmentFile(a->localPath, kMaxTextAttachment, &complete);
            if (!bytes.isNull()) {
                QString content = QString::fromUtf8(bytes);
                if (!complete)
                    content += QStringLiteral(" [...]");
                paint(textBubbleParts(content, maxBubbleWidth(), sent,
                                  this->content.height() - above()));
            } else {
                paint({PaintedBubble()});
            }
            continue;
        }
        paint({attachmentBubble(*a, sent, above())});
    }
}
