#include "backup/backupextract.h"

#include "backup/backupcrypto.h"
#include "backup/keybag.h"
#include "store/texts.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>

#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

// Reads until the buffer is full or the source ends; the count read.
qint64 readChunk(QFile &source, char *buffer, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        const qint64 n = source.read(buffer + got, size - got);
        if (n < 0)
            fail(source.errorString());
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

void writeAll(QSaveFile &target, const char *data, qint64 size)
{
    if (size > 0 && target.write(data, size) != size)
        fail(target.errorString());
}

void setFileTimes(const QString &path, quint32 secondsSince1970)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        return;
    const QDateTime time = QDateTime::fromSecsSinceEpoch(qint64(secondsSince1970), Qt::UTC);
    file.setFileTime(time, QFileDevice::FileAccessTime);
    file.setFileTime(time, QFileDevice::FileModificationTime);
}

} // namespace

void extractBackupFileData(const QString &sourcePath, const QString &targetPath,
                           const BackupFileSpec &file, const Keybag *keybag, void *userData,
                           ExtractProgressFn progress)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        fail(source.errorString());
    QSaveFile target(targetPath);
    if (!target.open(QIODevice::WriteOnly))
        fail(target.errorString());
    const qint64 total = source.size();

    QByteArray fileKey;
    if (keybag) {
        fileKey = keybag->unwrapFileKey(file.protectionClass, file.encryptionKey.mid(4));
        // Copying ciphertext in place of the file would hand it on as if it
        // were the contents; only an empty source has nothing to decrypt.
        if (fileKey.isEmpty() && total > 0)
            fail(ids("IDS_BACKUP_FILE_NO_KEY_%1").arg(file.fileId));
    }

    Aes256Decryptor aes;
    unsigned char iv[16] = {};
    if (!fileKey.isEmpty() && !aes256SetDecryptKey(aes, fileKey))
        fail(ids("IDS_BACKUP_FILE_NO_KEY_%1").arg(file.fileId));
    fileKey.fill('\0');

    const bool decrypt = keybag && total > 0;
    QByteArray buffer(kExtractChunkSize, Qt::Uninitialized);
    char *data = buffer.data();
    qint64 done = 0;
    for (;;) {
        const qint64 count = readChunk(source, data, kExtractChunkSize);
        if (count == 0)
            break;
        done += count;
        qint64 keep = count;
        if (decrypt) {
            unsigned char *bytes = reinterpret_cast<unsigned char *>(data);
            if (!aesCbcDecrypt(aes, iv, bytes, bytes, count))
                fail(QStringLiteral("%1, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.").arg(file.fileId));
            // The last block carries the CBC padding past the record's size.
            const qint64 excess = done - file.size;
            if (excess >= 1 && excess <= 16)
                keep = count - excess;
        }
        writeAll(target, data, keep);
        if (progress)
            progress(total, done, userData);
    }
    buffer.fill('\0');

    if (!target.commit())
        fail(target.errorString());
    setFileTimes(targetPath, file.lastModified);
}
