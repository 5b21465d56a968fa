#include "store/attachmentfile.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool failWith(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

QString refusedText(const QString &path)
{
    return QStringLiteral("%1 is no regular file.").arg(QDir::toNativeSeparators(path));
}

} // namespace

bool isAttachmentFile(const QString &path)
{
    if (path.isEmpty())
        return false;
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() && !info.isJunction();
#else
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
#endif
}

bool openAttachmentFile(QFile &file, const QString &path, QString *error)
{
    if (file.isOpen())
        file.close();
    file.setFileName(path);
    if (path.isEmpty())
        return failWith(error, QStringLiteral("No file name."));
#ifdef Q_OS_WIN
    if (!isAttachmentFile(path))
        return failWith(error, refusedText(path));
    if (!file.open(QIODevice::ReadOnly))
        return failWith(error, file.errorString());
    return true;
#else
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do {
        // Without O_NONBLOCK, opening a pipe waits for a writer, forever.
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int e = errno;
        // O_NOFOLLOW fails with ELOOP on a link.
        if (e == ELOOP)
            return failWith(error, refusedText(path));
        return failWith(error, QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path),
                                                            qt_error_string(e)));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return failWith(error, refusedText(path));
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failWith(error, file.errorString());
    }
    return true;
#endif
}

QByteArray readAttachmentFile(const QString &path, qint64 maxBytes, bool *complete)
{
    if (complete)
        *complete = false;
    QFile file;
    if (!openAttachmentFile(file, path))
        return QByteArray();
    QByteArray bytes = maxBytes < 0 ? file.readAll() : file.read(maxBytes);
    if (file.error() != QFileDevice::NoError)
        return QByteArray();
    if (complete)
        *complete = file.atEnd();
    // An empty file is read too: an empty array, not a null one.
    return bytes.isNull() ? QByteArray("") : bytes;
}

QImage loadAttachmentPicture(const QString &path, QByteArray *format)
{
    if (format)
        format->clear();
    QFile file;
    if (!openAttachmentFile(file, path))
        return QImage();
    for (const char *kind : {"JPEG", "PNG"}) {
        if (!file.seek(0))
            return QImage();
        QImageReader reader(&file, kind);
        const QImage image = reader.read();
        if (!image.isNull()) {
            if (format)
                *format = kind;
            return image;
        }
    }
    return QImage();
}

bool copyAttachmentFile(const QString &source, const QString &target, QString *error)
{
    QFile in;
    if (!openAttachmentFile(in, source, error))
        return false;
    QFile out(target);
    // NewOnly: a file (or a link) that is at target already stays as it is.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failWith(error, out.errorString());
    constexpr qint64 kChunk = 1 << 20;
    QByteArray buffer(kChunk, Qt::Uninitialized);
    QString why;
    for (;;) {
        const qint64 n = in.read(buffer.data(), kChunk);
        if (n < 0) {
            why = in.errorString();
            break;
        }
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n) {
            why = out.errorString();
            break;
        }
    }
    if (why.isEmpty() && !out.flush())
        why = out.errorString();
    out.close();
    if (why.isEmpty() && out.error() != QFileDevice::NoError)
        why = out.errorString();
    if (!why.isEmpty()) {
        out.remove();
        return failWith(error, why);
    }
    return true;
}
