#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Tag map of the keybag or of one protection class.
using KeybagTags = QMap<QString, QByteArray>;

// The keybag of an encrypted iTunes backup (Manifest.plist's BackupKeyBag):
// records of a 4-character tag, a 32-bit big-endian length and the value.
// The first "UUID" and "WRAP" and every tag that is not a class tag are the
// keybag's own attributes; every later "UUID" opens a protection class.
// After unlock() every passcode-wrapped class holds its class key as "KEY".
struct Keybag
{
    KeybagTags attributes;
    QMap<qint32, KeybagTags> classes;

    // Highest key-derivation iteration count accepted from a keybag.
    static constexpr quint32 kMaxIterations = 10'000'000;

    // Never fails and never reads outside bytes: a record cut short by the
    // end keeps what is there, a tag cut short ends the parse.
    static Keybag parse(const QByteArray &bytes);

    // Derives the password key and unwraps every passcode-wrapped class key.
    // False for a wrong password (and then no class holds "KEY"). Throws
    // std::runtime_error, before deriving anything, for a keybag that no
    // password can unlock: no usable iteration count, one above
    // kMaxIterations, no passcode-wrapped class, or a wrapped class key of the
    // wrong size.
    bool unlock(const QByteArray &passwordUtf8);

    // The 32-byte file key for a wrapped key of exactly 40 bytes, with the
    // unlocked key of the given class; empty bytes when there is none.
    QByteArray unwrapFileKey(qint32 protectionClass, const QByteArray &wrapped) const;

    // True when at least one class holds an unwrapped class key.
    bool isUnlocked() const;
};

// The value of tag as an unsigned 32-bit big-endian number from its first
// four bytes; 0 when the tag is missing or its value is shorter than that.
quint32 keybagUInt32(const KeybagTags &tags, const QString &tag);
