#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

// Builders for the pieces of an encrypted iTunes backup, written with OpenSSL
// and plain byte writers so that they share nothing with the code they test.
namespace encbackup {

// RFC 3394 AES key wrap (OpenSSL's id-aes256-wrap); kek is 32 bytes.
QByteArray aesKeyWrap(const QByteArray &kek, const QByteArray &key);
// PBKDF2 with HMAC-SHA1 (OpenSSL).
QByteArray pbkdf2Sha1(const QByteArray &password, const QByteArray &salt, int iterations,
                      int length);
// AES-256-CBC with a zero IV and PKCS#7 padding (OpenSSL).
QByteArray aes256CbcEncrypt(const QByteArray &key, const QByteArray &plain);
// n bytes from a generator seeded with seed (reproducible).
QByteArray pseudoRandom(qsizetype n, quint32 seed);

// Keybag records: tag, 32-bit big-endian length, value.
class KeybagWriter
{
public:
    KeybagWriter &add(const char *tag, const QByteArray &value);
    KeybagWriter &addUInt32(const char *tag, quint32 value);
    // A record whose length field says more than the value holds.
    KeybagWriter &addRaw(const QByteArray &bytes);
    QByteArray bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

struct ClassSpec
{
    qint32 number = 0;
    quint32 wrap = 2; // bit value 2: wrapped with the password key
    quint32 keyType = 0;
};

// A keybag as a phone writes it: UUID, WRAP, SALT, ITER, then per class
// UUID, CLAS, WRAP, KTYP, WPKY, each class key wrapped with the PBKDF2 key of
// the password (or, for classes without bit value 2, with a key that no
// password gives).
struct KeybagFixture
{
    QByteArray password;
    QByteArray salt;
    quint32 iterations = 0;
    QMap<qint32, QByteArray> classKeys; // plain 32-byte class keys
    QMap<qint32, QByteArray> wrappedKeys;
    QByteArray bytes;
};
KeybagFixture makeKeybag(const QByteArray &password, quint32 iterations,
                         const QList<ClassSpec> &classes);

// One backup file encrypted as an encrypted backup stores it.
struct EncryptedFile
{
    QByteArray plain;
    QByteArray fileKey; // 32 bytes
    QByteArray storedKey; // 4-byte class number (little-endian), then the 40-byte wrapped key
    QByteArray cipher; // AES-256-CBC, zero IV, PKCS#7 padding
};
EncryptedFile encryptFile(const QByteArray &plain, const QByteArray &classKey,
                          qint32 protectionClass, quint32 seed);

} // namespace encbackup
