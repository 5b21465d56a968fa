#pragma once

#include "store/msgdataset.h"

#include <QString>

#include <functional>
#include <limits>

// The HTML of messages drawn as chat bubbles, shared by the conversation view
// and the HTML export. The markup carries no layout of its own: the style
// sheet "bubble/style.css" gives its classes their looks.
//
// Everything that comes from a message (text, subject, names, file names) is
// escaped here; callers pass plain texts and paths.

// The attribute texts of the pictures in a bubble.
inline constexpr const char *kBubbleImageAttrs = "style=\"max-width:120px;max-height:120px\"";
inline constexpr const char *kBubbleCardAttrs = "style=\"max-width:200px;max-height:200px\"";
// The picture shown where an image has no thumbnail.
inline constexpr const char *kBubbleEmptyPhoto = "bubble/empty_photo.jpg";
// The most of a plain-text attachment that a bubble shows.
inline constexpr qint64 kBubbleMaxTextAttachment = 256 * 1024;
// The most of plain-text attachments that one message shows in all; its
// further ones are links to their files. (A message may list the same big
// file any number of times.)
inline constexpr qint64 kBubbleMaxTextPerMessage = 4 * kBubbleMaxTextAttachment;

// text made safe inside a double- or single-quoted attribute value.
QString htmlAttributeEscape(const QString &text);
// The fully encoded file URL of a local path, as text.
QString fileUrlText(const QString &path);

// One bubble around content (already HTML): a received one (class bb1) or a
// sent one (bb2), with the sender's label above it when the label is not
// empty.
QString bubbleHtml(const QString &contentHtml, bool sent, const QString &label);
// A link to a local file showing a local picture: the picture's file URL when
// it exists, else the empty-photo picture of the bubble folder.
QString imageLinkHtml(const QString &filePath, const QString &imagePath, const QString &attrs);
// The same shape with both references given as they are (relative names of
// an export); they are still escaped as attribute values.
QString exportImageLinkHtml(const QString &link, const QString &source, const QString &attrs);

// How one caller refers to the files of attachments.
struct BubbleAttachmentRefs
{
    // The link target of the attachment's file (not yet escaped).
    std::function<QString(const _MsgAttachment &)> fileRef;
    // The whole link to the attachment's file showing the picture at
    // imagePath (a thumbnail or a contact card).
    std::function<QString(const _MsgAttachment &, const QString &imagePath, const QString &attrs)>
            imageLink;
};

// The conversation view's references: file URLs of the attachments' own files.
BubbleAttachmentRefs viewAttachmentRefs();

// The date-header state before the first header: the first message gets one
// whatever its date (1970 and earlier included).
inline constexpr qint64 kNoDateHeader = std::numeric_limits<qint64>::min();
// Whether a message at seconds (Unix) gets a date header after the last one
// at lastHeader: more than 60 seconds after it, or (bothWays) before it.
inline bool needsDateHeader(qint64 lastHeader, qint64 seconds, bool bothWays)
{
    if (lastHeader == kNoDateHeader)
        return true;
    const qint64 gap = seconds - lastHeader;
    return gap > 60 || (bothWays && gap < -60);
}

// Appends the blocks of one message to html. dateHeader is the time (Unix
// seconds) of the last date header emitted, kNoDateHeader before the first;
// a header is written whenever the message lies more than 60 seconds from
// it, in either direction, so that lists sorted newest first get their
// headers too.
void appendMessageMarkup(QString &html, const _MsgMessage &m, qint64 &dateHeader,
                         const BubbleAttachmentRefs &refs);
