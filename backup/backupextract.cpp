#include "backup/backupextract.h"

#include "backup/backupcrypto.h"
#include "backup/keybag.h"
#include "store/texts.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <future>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

// The error of a backup file that cannot be read, naming it.
[[noreturn]] void failSource(const BackupFileSpec &file, const QString &error)
{
    fail(QStringLiteral("Cannot read the backup file %1 (%2): %3")
                 .arg(file.fileId, file.domainPath.isEmpty() ? QStringLiteral("?") : file.domainPath,
                      error));
}

// Reads until the buffer is full or the source ends; the count read.
qint64 readChunk(QFile &source, const BackupFileSpec &file, char *buffer, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        const qint64 n = source.read(buffer + got, size - got);
        if (n < 0)
            failSource(file, source.errorString());
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// Moves from over to, replacing what is there.
bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    if (QFile::exists(to) && !QFile::remove(to))
        return false;
#endif
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The target is written beside its final place under a temporary name and
// moved there only when complete, so that a failure leaves no partial file
// and whatever was there before stays.
class TargetFile
{
public:
    explicit TargetFile(const QString &path)
        : m_path(path)
        , m_temp(QFileInfo(path).absolutePath() + "/." + QFileInfo(path).fileName()
                 + ".XXXXXX.part")
    {
        if (!m_temp.open())
            fail(m_temp.errorString());
    }

    void write(const char *data, qint64 size)
    {
        if (size > 0 && m_temp.write(data, size) != size)
            fail(m_temp.errorString());
    }

    void commit(quint32 lastModified)
    {
        if (!m_temp.flush())
            fail(m_temp.errorString());
        const QDateTime time = QDateTime::fromSecsSinceEpoch(qint64(lastModified), Qt::UTC);
        m_temp.setFileTime(time, QFileDevice::FileAccessTime);
        m_temp.setFileTime(time, QFileDevice::FileModificationTime);
        m_temp.close();
        if (!replaceFile(m_temp.fileName(), m_path)) {
            const int error = errno;
            fail(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_path),
                                              qt_error_string(error)));
        }
        m_temp.setAutoRemove(false);
    }

private:
    QString m_path;
    QTemporaryFile m_temp;
};

} // namespace

void extractBackupFileData(const QString &sourcePath, const QString &targetPath,
                           const BackupFileSpec &file, const Keybag *keybag, void *userData,
                           ExtractProgressFn progress)
{
    QFile source(sourcePath);
    if (QFileInfo(sourcePath).isDir())
        failSource(file, QStringLiteral("it is a folder, not a file"));
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        failSource(file, source.errorString());
    TargetFile target(targetPath);
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

    // Two buffers: while one chunk is decrypted, the one before it is
    // written and the next one read in the background. A file smaller than a
    // chunk needs one buffer of its own size.
    const qint64 bufferSize = qBound<qint64>(16, total, kExtractChunkSize);
    QByteArray buffers[2] = {QByteArray(bufferSize, Qt::Uninitialized), QByteArray()};
    if (bufferSize == kExtractChunkSize)
        buffers[1] = QByteArray(bufferSize, Qt::Uninitialized);
    int current = 0;
    qint64 count = readChunk(source, file, buffers[current].data(), bufferSize);
    qint64 done = 0;
    qint64 pendingBytes = -1; // decrypted bytes of the other buffer not written yet
    qint64 pendingDone = 0;
    auto report = [&](qint64 upTo) {
        if (progress)
            progress(total, upTo, userData);
    };

    while (count > 0) {
        done += count;
        char *data = buffers[current].data();
        char *other = buffers[1 - current].data();
        const bool more = count == kExtractChunkSize;
        std::future<qint64> ahead;
        if (more) {
            ahead = std::async(std::launch::async, [&source, &file, &target, other, pendingBytes] {
                if (pendingBytes >= 0)
                    target.write(other, pendingBytes);
                return readChunk(source, file, other, kExtractChunkSize);
            });
        } else if (pendingBytes >= 0) {
            target.write(other, pendingBytes);
            report(pendingDone);
        }

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

        if (more) {
            const qint64 next = ahead.get();
            if (pendingBytes >= 0)
                report(pendingDone);
            pendingBytes = keep;
            pendingDone = done;
            current = 1 - current;
            count = next;
        } else {
            target.write(data, keep);
            report(done);
            pendingBytes = -1;
            count = 0;
        }
    }
    if (pendingBytes >= 0) {
        target.write(buffers[1 - current].data(), pendingBytes);
        report(pendingDone);
    }
    for (QByteArray &b : buffers)
        b.fill('\0');

    target.commit(file.lastModified);
}
