#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

class QIODevice;
class Sqlite3DB;

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

// The logic hash under which a load knows a message the phone lists: that
// of the message it builds from the listing before any part (the
// correspondent's address as the cache writes it, the date in whole
// seconds, the direction and the text). The transfer to the phone records
// what it sent under the same hash.
QString phoneListingHash(const QString &address, qint32 date, bool fromMe, const QString &text);

// text made fit to stand in a line of the line protocol: without line
// breaks or other control characters. For a field followed by others on its
// line (a mime type), without commas too.
QString protocolLineField(const QString &text, bool commaEnds = false);

// The cache's table parent_hash (one row per stored message that came from
// the phone: child, parent and phone_id), made when missing and given the
// column phone_id when it lacks it. phone_id names which of the phone's
// messages listed under the parent hash the row belongs to:
//   null: the first (or only) one, and every row of a cache loaded before
//     the phone's ids were kept;
//   "#n": the n-th of a load that gave no ids;
//   "~..." : a message the transfer wrote that no load has listed yet;
//   otherwise the id the phone gave.
// Throws the database's exceptions.
void ensureParentHashTable(Sqlite3DB &db);
inline constexpr QChar kTransferredMark = u'~';
