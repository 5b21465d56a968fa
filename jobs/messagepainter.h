#pragma once

#include "jobs/bubblemarkup.h"
#include "store/msgdataset.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QRect>
#include <QString>

#include <functional>
#include <memory>

class QPaintDevice;
class QPrinter;
class WrappedText;

// One bubble ready to be painted: its frame holding a run of wrapped text
// lines or a picture. Painted straight onto the page, so that a PDF gets
// the frame as a path and the text as text.
struct PaintedBubble
{
    QSize size; // empty for no bubble
    bool sent = false;
    std::shared_ptr<const WrappedText> text; // lines [first, last) of it
    qsizetype first = 0, last = 0;
    QImage picture;

    bool isNull() const { return size.isEmpty(); }
    int height() const { return isNull() ? 0 : size.height(); }
    int width() const { return isNull() ? 0 : size.width(); }
    // Paints the bubble with its top left corner at topLeft.
    void draw(QPainter &painter, const QPoint &topLeft) const;
    // The bubble on the page's background, as one picture.
    QImage toImage() const;
};

// Filled behind the content of every painted page and behind every bubble.
extern const QColor pageBackgroundColor;

namespace messagepaint {
// Cell sizes (top, right, bottom, left) of the received and sent bubble frames.
inline constexpr int kReceivedTop = 28, kReceivedRight = 29, kReceivedBottom = 24,
                     kReceivedLeft = 40;
inline constexpr int kSentTop = 27, kSentRight = 41, kSentBottom = 25, kSentLeft = 29;
inline constexpr int kMinBubbleWidth = 90;
inline constexpr int kMinBubbleHeight = 52;
inline constexpr int kBubbleGap = 10;
inline constexpr int kHeaderHeight = 24;
inline constexpr int kLabelHeight = 19;
// Texts longer than this (in UTF-16 units) are painted cut, with a mark.
inline constexpr qsizetype kMaxPaintedText = 1 << 20;
// A plain-text attachment is read up to this many bytes.
inline constexpr qint64 kMaxTextAttachment = 1 << 20;
} // namespace messagepaint

// Draws messages as a chat transcript on pages: background, page numbers
// under the content, centred date headers and system lines, sender names in
// group conversations and one bubble picture per text or attachment,
// received on the left and sent on the right. One painter is one document:
// begin, any number of messages, end.
struct MessagePainter
{
    QPrinter *device = nullptr; // not owned
    QPainter painter;
    QRect content; // the content rectangle of every page
    int y = 0; // current position, from the content's top
    int page = 0; // the page being painted, from 1
    qint64 lastHeaderTime = kNoDateHeader; // Unix seconds of the last date header

    MessagePainter() = default;
    MessagePainter(const MessagePainter &) = delete;
    MessagePainter &operator=(const MessagePainter &) = delete;

    // Begins the document on a printer and paints the first page's
    // background and number. False when painting cannot begin; every later
    // call then draws nothing.
    bool begin(QPrinter *printer);
    // The same on any paint device with a given content rectangle; newPage
    // is called to move on to a fresh page and answers whether it could.
    bool begin(QPaintDevice *target, const QRect &contentRect, std::function<bool()> newPage);
    bool isActive() const { return painter.isActive(); }
    // Starts a new page when a block of height h does not fit below y.
    void ensureSpace(int h);
    // Paints one message and its attachments and moves y past them.
    void paintMessage(const _MsgMessage *m);
    // Ends the document; false when the device reported a failure.
    bool end();

    // The widest bubble: 80% of the content width.
    int maxBubbleWidth() const { return content.width() * 8 / 10; }

private:
    void startPage();
    void paintLabel(const QString &label, bool sent);
    void paintBubble(const PaintedBubble &bubble, bool sent);
    // A message's date header (null for none), then the label and the
    // bubbles of one text or attachment; the header and label stay on the
    // page of the first bubble.
    void paintBlock(const QString &header, const QString &label,
                    const QList<PaintedBubble> &bubbles, bool sent);
    void paintSystemLine(const _MsgMessage &m);
    // above: the height taken above the bubble on its page.
    PaintedBubble attachmentBubble(const _MsgAttachment &a, bool sent, int above) const;

    std::function<bool()> m_newPage;
};

// The bubble frame drawn into rect: a path of the frame's outline, or the
// nine cells of pictures installed beside the program.
void drawBubble(QPainter &painter, const QRect &rect, bool sent);
// The bubbles of a text cut to at most maxHeight each, and of a picture.
QList<PaintedBubble> textBubbleParts(const QString &text, int maxWidth, bool sent, int maxHeight);
PaintedBubble textBubblePart(const QString &text, int maxWidth, bool sent);
PaintedBubble imageBubblePart(const QImage &image, bool sent);
// A bubble holding the word-wrapped text, in one picture however long.
QImage textBubble(const QString &text, int maxWidth, bool sent);
// The text word-wrapped (or broken anywhere inside words too long for a
// line) and cut into bubbles of at most maxHeight each.
QList<QImage> textBubbles(const QString &text, int maxWidth, bool sent, int maxHeight);
// A bubble holding the image; a null image gives a null image.
QImage imageBubble(const QImage &image, bool sent);
// A picture file read as JPEG, else PNG, shrunk on reading to fit maxSize
// (keeping its proportions) and never decoded larger than the reader allows.
// A null image when it cannot be read.
QImage loadBubblePicture(const QString &path, const QSize &maxSize);
// The bubble font: a copy of the application's font at 12 points.
QFont bubbleFont();
// The placeholder of a picture that cannot be shown ("bubble/empty_photo.jpg"
// beside the program).
QImage emptyPhoto();
