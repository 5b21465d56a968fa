#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

class QIODevice;

// Checked decoding of what the companion app sends in a load. Each throws
// simpleprotocol::LocalException (which tells the app) on data that is not
// what it claims to be.

// The UTF-8 text of a base64 argument field; an empty field is an empty text.
QString decodeArgumentText(QIODevice *peer, QStringView field);
// The bytes of one attachment data line.
QByteArray decodeAttachmentData(QIODevice *peer, QStringView line);

// The name of an attachment part as the app wrote it (UTF-8 bytes, read one
// character per byte) made safe to store: no folder separators, none of
// the characters a store never keeps, no control characters, not "." or
// "..", at most 128 characters and 200 bytes of UTF-8, cut between whole
// characters (the extension kept); "Unknown2" when nothing is left.
QString attachmentPartName(const QString &raw);
// name, or name with "-2", "-3" ... before its extension when another part
// of the same message already has it (letter case ignored); used keeps the
// names taken, in lower case.
QString uniqueAttachmentName(const QString &name, QSet<QString> *used);
