#pragma once

#include <QByteArray>
#include <QString>

struct Keybag;

// Progress of one extraction: total is the size of the source file in the
// backup folder, done the source bytes read so far; userData is handed back
// unchanged. Called on the extracting thread.
using ExtractProgressFn = void (*)(qint64 total, qint64 done, void *userData);

// What the extraction needs of one file's Manifest.mbdb record.
struct BackupFileSpec
{
    QString fileId; // name of the file in the backup folder
    qint32 protectionClass = 0;
    QByteArray encryptionKey; // as stored: 4 bytes, then the 40-byte wrapped file key
    qint64 size = 0; // size of the plain contents
    quint32 lastModified = 0; // seconds since 1970-01-01 UTC
    QString domainPath; // "<domain>/<path>" of the record, for error texts
};

// Size of the chunks in which a backup file is read and decrypted: a
// multiple of the AES block size, so that every chunk but the last decrypts
// as whole blocks.
inline constexpr qint64 kExtractChunkSize = 1024 * 1024;

// Writes the plain contents of the backup file at sourcePath to targetPath.
// With a keybag (an encrypted backup) the file is decrypted with AES-256-CBC
// under its own key, unwrapped through the keybag, and the CBC padding
// is dropped so that the output ends at the record's size; without one it is
// copied. The target is written as a new file and swapped in only when
// complete, then given lastModified as its access and modification time.
// Throws std::runtime_error: when the source cannot be opened or read (a
// folder in its place, say), a text naming its file id and domain/path;
// the file's error text when the target cannot be written; "<file id>,
// POLARSSL_ERR_AES_INVALID_INPUT_LENGTH." for ciphertext that does not end on
// a block boundary; and an error naming the file when an encrypted file has
// no usable key (keybag not unlocked, class missing, stored key malformed).
// The target path is used as given: callers confine it.
void extractBackupFileData(const QString &sourcePath, const QString &targetPath,
                           const BackupFileSpec &file, const Keybag *keybag, void *userData,
                           ExtractProgressFn progress);
