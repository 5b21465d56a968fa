#include "iphone/filerelay.h"

#include "store/swapjournal.h"
#include "store/texts.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QStorageInfo>

#include <archive.h>
#include <archive_entry.h>

#include <stdexcept>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace {

// Bytes of a file written between two starts of its disk writes.
constexpr qint64 kWritebackStep = qint64(8) << 20;

// Starts writing the bytes of file from offset on to the disk without
// waiting for it: the flush at the end of the job then finds most of the
// work done instead of starting it all at once.
void startWriteback(QFile &file, qint64 from)
{
#ifdef Q_OS_LINUX
    if (file.flush())
        ::sync_file_range(file.handle(), from, 0, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(file);
    Q_UNUSED(from);
#endif
}

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

QString archiveError(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? QString::fromUtf8(text) : QStringLiteral("it ends early");
}

// Frees the read archive on every way out.
class ReadArchive
{
public:
    ReadArchive()
        : m_archive(archive_read_new())
    { }
    ~ReadArchive()
    {
        if (m_archive)
            archive_read_free(m_archive);
    }
    ReadArchive(const ReadArchive &) = delete;
    ReadArchive &operator=(const ReadArchive &) = delete;
    archive *get() const { return m_archive; }

private:
    archive *m_archive;
};

// The entry's place below the unpack folder as clean components, or an
// empty list for the folder itself. Throws for a name that would leave it.
QStringList safeComponents(const QString &rawName, const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        fail(QStringLiteral("The archive from the iPhone holds the absolute path \"%1\"; nothing "
                            "was changed.")
                     .arg(rawName));
    QStringList parts;
#ifdef Q_OS_WIN
    // A backslash stays in the name, but here it also separates folders.
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList split = name.split(separators, Qt::SkipEmptyParts);
#else
    const QStringList split = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
#endif
    for (const QString &part : split) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String(".."))
            fail(QStringLiteral("The archive from the iPhone holds the path \"%1\", which leads "
                                "out of its folder; nothing was changed.")
                         .arg(rawName));
        parts.append(part);
    }
    return parts;
}

QString entryKind(const archive_entry *entry)
{
    if (archive_entry_hardlink(const_cast<archive_entry *>(entry)))
        return QStringLiteral("a hard link");
    switch (archive_entry_filetype(const_cast<archive_entry *>(entry))) {
    case AE_IFLNK:
        return QStringLiteral("a symbolic link");
    case AE_IFCHR:
    case AE_IFBLK:
        return QStringLiteral("a device file");
    case AE_IFIFO:
        return QStringLiteral("a pipe");
    case AE_IFSOCK:
        return QStringLiteral("a socket");
    default:
        return QStringLiteral("an entry of an unknown kind");
    }
}

// Fails when size bytes would not fit on the disk below root.
void checkSpace(const QDir &root, qint64 size, const QString &rawName)
{
    const QStorageInfo disk(root.absolutePath());
    if (size > 0 && disk.isValid() && disk.bytesAvailable() >= 0
        && size > disk.bytesAvailable())
        fail(QStringLiteral("Not enough disk space for %1 (%2 KB) in %3; nothing was "
                            "changed.")
                     .arg(rawName, QLocale().toString(size / 1024),
                          QDir::toNativeSeparators(root.absolutePath())));
}

// The names of one set of hard-linked entries made so far, and those of
// them that came with data; the last of these holds the set's data.
struct LinkSet
{
    QSet<QString> names;
    QSet<QString> withData;
    QString lastWithData;
};

void setTimes(QFile &file, archive_entry *entry)
{
    const time_t mtime = archive_entry_mtime(entry);
    const time_t atime = archive_entry_atime_is_set(entry) ? archive_entry_atime(entry) : mtime;
    // Failures leave the times of the write; they do not matter.
    file.setFileTime(QDateTime::fromSecsSinceEpoch(qint64(atime), Qt::UTC),
                     QFileDevice::FileAccessTime);
    file.setFileTime(QDateTime::fromSecsSinceEpoch(qint64(mtime), Qt::UTC),
                     QFileDevice::FileModificationTime);
}

} // namespace

void mobiledevice_file_relay_start(AMDeviceRef device, int *socket)
{
    mobiledevice_start_service(device, "com.apple.mobile.file_relay", socket);
}

void mobiledevice_file_relay_request(int socket, const QStringList &sources)
{
    CFType list = CFType::newArray();
    for (const QString &source : sources)
        list.append(CFType::fromString(source));
    CFType request = CFType::newDictionary();
    request.setValue(QStringLiteral("Sources"), list);
    mobiledevice_sendmsg(socket, request, false, 60000);
    const CFType reply = mobiledevice_recmsg(socket, request, 3600000);
    const QString status = reply.value(QStringLiteral("Status")).toQString();
    if (status.compare(QLatin1String("Acknowledged"), Qt::CaseInsensitive) != 0)
        fail(QStringLiteral("invalid feedback.\n%1")
                     .arg(QString::fromUtf8(reply.toPropertyListBytes(kCFPropertyListXMLFormat))));
}

namespace filerelay {

QString cleanEntryName(const QString &name)
{
    static const QRegularExpression leadingDot(QStringLiteral("^\\./"));
    static const QRegularExpression unsafe(QStringLiteral("[:*?\"<>|]"));
    QString clean = name;
    clean.remove(leadingDot);
    clean.remove(unsafe);
    return clean;
}

bool unpackArchive(const QString &archivePath, const QString &folder, QByteArray &buffer,
                   const UnpackHooks &hooks, int *skipped, QStringList *made)
{
    // The folders made so far, as paths below folder.
    QSet<QString> madeFolders;
    // The regular files made so far, as paths below folder, with their sizes.
    QHash<QString, qint64> madeFiles;
    // Sets of hard-linked names by the first name of each, and the set of
    // every name in one.
    QHash<QString, LinkSet> linkSets;
    QHash<QString, QString> linkSetOf;
    const auto noteMade = [made](const QString &path) {
        if (made)
            made->append(path);
    };
    int skippedEntries = 0;
    QStringList skippedPaths;
    if (skipped)
        *skipped = 0;
    const auto cancelled = [&hooks] { return hooks.cancelled && hooks.cancelled(); };
    const auto report = [&hooks](const QString &status, int value, const QString &text) {
        if (hooks.progress)
            hooks.progress(status, value, text);
    };
    if (buffer.size() < kChunkSize)
        buffer.resize(kChunkSize);
    const QDir root(folder);

    // Copies the made file from over the made file to (paths below
    // folder), with its times; false when cancelled.
    const auto copyMade = [&](const QString &from, const QString &to) {
        const QString fromPath = root.absoluteFilePath(from);
        const QString toPath = root.absoluteFilePath(to);
        checkSpace(root, madeFiles.value(from), to);
        QFile in(fromPath);
        if (!in.open(QIODevice::ReadOnly))
            fail(QStringLiteral("open %1 error. %2").arg(fromPath, in.errorString()));
        QFile out(toPath);
        if (QFileInfo(toPath).isSymLink() || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail(QStringLiteral("create %1 error. %2").arg(toPath, out.errorString()));
        report(ids("Extracting %1").arg(to.section(QLatin1Char('/'), -1)), -1, QString());
        qint64 copied = 0;
        qint64 writtenBack = 0;
        for (;;) {
            if (cancelled())
                return false;
            const qint64 n = in.read(buffer.data(), kChunkSize);
            if (n == 0)
                break;
            if (n < 0)
                fail(QStringLiteral("read %1 error. %2").arg(fromPath, in.errorString()));
            if (out.write(buffer.constData(), n) != n)
                fail(QStringLiteral("write %1 error. %2").arg(toPath, out.errorString()));
            copied += n;
            if (copied - writtenBack >= kWritebackStep) {
                startWriteback(out, writtenBack);
                writtenBack = copied;
            }
        }
        if (!out.flush())
            fail(QStringLiteral("write %1 error. %2").arg(toPath, out.errorString()));
        startWriteback(out, writtenBack);
        for (const auto time : {QFileDevice::FileAccessTime, QFileDevice::FileModificationTime})
            out.setFileTime(in.fileTime(time), time);
        madeFiles.insert(to, copied);
        return true;
    };

    ReadArchive reader;
    archive *a = reader.get();
    // What the service sends and nothing else: a cpio archive, compressed
    // with gzip or not ("empty" gives a clear answer to an empty stream).
    // Other filters may hand the bytes to outside programs and other
    // formats are parsers the phone has no reason to reach; gzip itself is
    // refused when libarchive could only do it through the gzip program.
    if (archive_read_support_filter_gzip(a) != ARCHIVE_OK
        || archive_read_support_format_cpio(a) != ARCHIVE_OK
        || archive_read_support_format_empty(a) != ARCHIVE_OK)
        fail(QStringLiteral("open %1 error. This build cannot read gzip-compressed cpio "
                            "archives by itself (%2).")
                     .arg(archivePath, archiveError(a)));
    const int opened = archive_read_open_filename(a, QFile::encodeName(archivePath).constData(),
                                                  size_t(kChunkSize));
    if (opened != ARCHIVE_OK)
        fail(QStringLiteral("open %1(%2) error. %3")
                     .arg(archivePath, QString::number(opened), archiveError(a)));

    int files = 0;
    for (;;) {
        archive_entry *entry = nullptr;
        const int r = archive_read_next_header(a, &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN)
            fail(QStringLiteral("The archive from the iPhone is damaged or incomplete (%1); "
                                "nothing was changed.")
                         .arg(archiveError(a)));
        if (cancelled())
            return false;

        const char *raw = archive_entry_pathname(entry);
        const QString rawName = raw ? QString::fromUtf8(raw) : QString();
        const QString name = cleanEntryName(rawName);
        const QStringList parts = safeComponents(rawName, name);
        report(ids("Extracting %1").arg(parts.isEmpty() ? name : parts.last()), -1, QString());
        const QString path = parts.isEmpty() ? root.absolutePath()
                                             : root.absoluteFilePath(parts.join(QLatin1Char('/')));

        // Whatever a skipped entry would have held is skipped with it.
        const QString joined = parts.join(QLatin1Char('/'));
        bool belowSkipped = false;
        for (const QString &skippedPath : std::as_const(skippedPaths))
            if (joined.startsWith(skippedPath + QLatin1Char('/')))
                belowSkipped = true;
        if (belowSkipped) {
            qInfo("file_relay: skipped \"%s\", which lies below a skipped entry",
                  qUtf8Printable(rawName));
            ++skippedEntries;
            continue;
        }

        const bool hardLink = archive_entry_hardlink(entry) != nullptr;
        const auto type = archive_entry_filetype(entry);
        if (type == AE_IFDIR && !hardLink) {
            if (!parts.isEmpty() && !QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
                if (!root.mkpath(joined))
                    fail(QStringLiteral("create %1 error.").arg(path));
                // mkpath made every missing folder on the way, outermost first.
                QString sofar;
                for (const QString &part : parts) {
                    sofar += sofar.isEmpty() ? part : QLatin1Char('/') + part;
                    if (!madeFolders.contains(sofar)) {
                        madeFolders.insert(sofar);
                        noteMade(root.absoluteFilePath(sofar));
                    }
                }
            }
            continue;
        }
        // A hard link to a file made here joins that file's set of names.
        // In the newc and odc layouts the data of a set travels with one of
        // its names only (newc: the last), the others come empty: once the
        // archive is read, each name that came empty gets a copy of the
        // data, never a link, which could lead a later write elsewhere.
        QString linkSet;
        if (hardLink && type == AE_IFREG) {
            const QString rawTarget = QString::fromUtf8(archive_entry_hardlink(entry));
            const QString target = safeComponents(rawTarget, cleanEntryName(rawTarget))
                                           .join(QLatin1Char('/'));
            if (madeFiles.contains(target))
                linkSet = linkSetOf.value(target, target);
        }
        if (type != AE_IFREG || (hardLink && linkSet.isEmpty())) {
            // Only folders and regular files are made here: a symbolic link
            // could lead a later write out of the folder, and a hard link
            // to nothing made here has nothing to copy. Phones may well ship
            // such entries, and one of them is no reason to lose the rest.
            const char *target = hardLink ? archive_entry_hardlink(entry)
                                          : archive_entry_symlink(entry);
            qInfo("file_relay: skipped \"%s\", which is %s%s%s", qUtf8Printable(rawName),
                  qUtf8Printable(entryKind(entry)), target ? " to " : "", target ? target : "");
            ++skippedEntries;
            if (!parts.isEmpty())
                skippedPaths.append(joined);
            continue;
        }
        if (parts.isEmpty())
            fail(QStringLiteral("The archive from the iPhone holds a file without a name; "
                                "nothing was changed."));

        const qint64 size
                = archive_entry_size_is_set(entry) ? qint64(archive_entry_size(entry)) : -1;
        // An empty name of a set that has this name already adds nothing:
        // writing it again would empty what the set holds.
        if (!linkSet.isEmpty() && size <= 0 && linkSetOf.value(joined) == linkSet)
            continue;
        checkSpace(root, size, rawName);

        // The folder is new and only folders and regular files are made in
        // it, so no link can redirect this write.
        QFile out(path);
        if (QFileInfo(path).isSymLink() || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail(QStringLiteral("create %1 error. %2").arg(path, out.errorString()));
        if (!madeFiles.contains(joined))
            noteMade(path);
        qint64 written = 0;
        qint64 writtenBack = 0;
        for (;;) {
            if (cancelled())
                return false;
            report(QString(), -1,
                   ids("Extracted: %L1KB / %L2KB")
                           .arg(written / 1024)
                           .arg(qMax<qint64>(size, 0) / 1024));
            const la_ssize_t n = archive_read_data(a, buffer.data(), size_t(kChunkSize));
            if (n == 0)
                break;
            if (n < 0)
                fail(QStringLiteral("The archive from the iPhone is damaged or incomplete at "
                                    "%1 (%2); nothing was changed.")
                             .arg(rawName, archiveError(a)));
            if (out.write(buffer.constData(), qint64(n)) != qint64(n))
                fail(QStringLiteral("write %1 error. %2").arg(path, out.errorString()));
            written += n;
            if (written - writtenBack >= kWritebackStep) {
                startWriteback(out, writtenBack);
                writtenBack = written;
            }
        }
        if (size >= 0 && written != size)
            fail(QStringLiteral("The archive from the iPhone is damaged or incomplete at %1 "
                                "(%2 of %3 bytes); nothing was changed.")
                         .arg(rawName, QLocale().toString(written), QLocale().toString(size)));
        if (!out.flush())
            fail(QStringLiteral("write %1 error. %2").arg(path, out.errorString()));
        startWriteback(out, writtenBack);
        setTimes(out, entry);
        out.close();
        ++files;
        madeFiles.insert(joined, written);

        // A name made again leaves the set it was in.
        const QString left = linkSetOf.take(joined);
        if (!left.isEmpty() && left != linkSet) {
            LinkSet &set = linkSets[left];
            set.names.remove(joined);
            set.withData.remove(joined);
            if (set.lastWithData == joined)
                set.lastWithData = set.withData.isEmpty() ? QString() : *set.withData.cbegin();
        }
        if (linkSet.isEmpty())
            continue;
        LinkSet &set = linkSets[linkSet];
        if (set.names.isEmpty()) {
            set.names.insert(linkSet);
            linkSetOf.insert(linkSet, linkSet);
            if (madeFiles.value(linkSet) > 0) {
                set.withData.insert(linkSet);
                set.lastWithData = linkSet;
            }
        }
        set.names.insert(joined);
        linkSetOf.insert(joined, linkSet);
        set.withData.remove(joined);
        if (written > 0) {
            set.withData.insert(joined);
            set.lastWithData = joined;
        } else if (set.lastWithData == joined) {
            set.lastWithData = set.withData.isEmpty() ? QString() : *set.withData.cbegin();
        }
    }
    // Every name of a set that came empty gets the set's data: one copy
    // each, however the names and the data were laid out.
    for (const LinkSet &set : std::as_const(linkSets)) {
        if (set.lastWithData.isEmpty())
            continue;
        for (const QString &name : set.names)
            if (!set.withData.contains(name) && !copyMade(set.lastWithData, name))
                return false;
    }
    if (files == 0)
        fail(QStringLiteral("The iPhone sent no files; nothing was changed."));
    if (skipped)
        *skipped = skippedEntries;
    return true;
}

bool syncUnpacked(const QStringList &made, const QString &folder)
{
    for (auto it = made.crbegin(); it != made.crend(); ++it)
        if (!syncPath(*it))
            return false;
    return syncPath(folder);
}

} // namespace filerelay
