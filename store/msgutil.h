#pragma once

#include "store/msgdataset.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The message order used wherever messages are sorted: messages whose order
// keys lie at most 20 apart and whose dates lie at most 120 seconds apart
// keep their source order; all others go by date.
bool messageLessThan(const _MsgMessage &a, const _MsgMessage &b);
// Newest first: true when b sorts before a. A strict order like
// messageLessThan (equivalent messages give false both ways).
bool messageNotLessThan(const _MsgMessage &a, const _MsgMessage &b);

// messageLessThan is not transitive, so std::sort may not be used with it.
// These sort with a merge sort of our own that stays within the list
// whatever the comparator answers, and keeps equal messages in list order.
void sortMessages(MsgMessageList &list);
void sortMessagesNewestFirst(MsgMessageList &list);
using MessageLess = bool (*)(const _MsgMessage &, const _MsgMessage &);
void sortMessages(MsgMessageList &list, MessageLess less);

bool attachmentLessThan(const _MsgAttachment &a, const _MsgAttachment &b);
// The message's attachments by ROWID (stable on the table's own order).
QList<_MsgAttachment *> sortedAttachments(const _MsgMessage &m);

QString handleDisplayName(const _MsgHandle &h, bool withIds);
QString chatDisplayName(const _MsgChat &c, bool withIds);
QString messageChatTitle(const _MsgMessage &m);
// The text without U+FFFC.
QString messageBodyText(const _MsgMessage &m);
// One line for lists and plain outputs: the body with attachment tags, or the
// description of a system event.
QString messageDisplayText(const _MsgMessage &m);
// messageDisplayText with every emoji as "[EMOJI]".
QString messagePlainText(const _MsgMessage &m);

// The de-duplication key of a message: 32 lower-case hex digits of an MD5.
QString logicHash(const _MsgMessage &m);

// A new random GUID, upper case, 8-4-4-4-12, no braces.
QString newGuid();
// The MD5 of data in upper-case hex, cut 8-4-4-4-12.
QString md5Guid(const QByteArray &data);
// Decimal text of |value|, computed in 64 bits so that the most negative
// value gives 2147483648.
QString absDecimal(qint32 value);
// "chat" followed by 18 digits derived from seed; the same seed gives the same id.
QString newGroupChatId(const QString &seed);

// How message dates read in system-event texts, date headers and painted
// pages: "07 Mar 2013 3:05 PM" (minutes always with two digits).
inline constexpr const char *kMessageDateFormat = "dd MMM yyyy h:mm AP";

// Seconds between 1970-01-01 and 2001-01-01 (UTC).
inline constexpr qint64 kIosEpochOffset = 978307200;
// Local date-time of an iOS date.
QDateTime iosDateToDateTime(qint32 iosDate);
// iOS date of a date-time, clamped to the 32-bit range.
qint32 dateTimeToIosDate(const QDateTime &dt);
// A date column of a phone's sms.db as an iOS date. Newer phones store
// nanoseconds since 2001 (values around 6e17), older phones and our own
// databases whole seconds: a magnitude above 1e11 is taken as nanoseconds.
// The result is clamped to the 32-bit range.
inline constexpr qint64 kNanosecondDatesAbove = 100000000000LL;
inline constexpr qint64 kNanosecondsPerSecond = 1000000000LL;
qint32 iosDateFromColumn(qint64 value);

// The attributedBody of a message holding one attachment (guid: 36 characters).
QByteArray attachmentAttributedBody(const QString &guid);

// Path of a small picture of an image attachment in the per-user cache
// folder, made when missing; no file is there when the attachment is no
// JPEG or PNG image. Empty when the attachment's file is no regular file
// (a pipe, a link): such a file is never read.
QString makeThumbnail(const _MsgAttachment &a);

// Removes the characters the store never keeps in a file name: : * ? " < > |
void removeForbiddenNameChars(QString &name);
