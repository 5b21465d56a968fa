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

#include <cerrno>
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

// The longest name an entry of a newc archive may give: a few times what
// any file system takes for a whole path.
constexpr quint64 kLongestName = 64 * 1024;

// The fixed part of a newc header: "070701" (or "070702", which adds a
// checksum) and thirteen fields of eight hex digits.
constexpr int kNewcHeader = 110;

// Hands libarchive's cpio reader the unpacked bytes of the stream, as its
// read callback, and follows the entries of a newc archive on the way.
//
// The reader asks for an entry's whole name at once, sized from the
// header's eight hex digits (up to 4 GiB), and holds what arrives until it
// is all there: a header that lies would have it fill memory with whatever
// follows. Here a header giving a longer name than kLongestName is refused,
// and so is anything but a newc header where the next one must start (the
// reader would look further on for one, out of step with this count). The
// bytes up to the end of such a header still go to the reader, so that its
// next request, the one for the name, is the one that fails, before it has
// set any memory aside for it. Once the trailer entry has gone by, the
// reader reads no further and nothing is followed.
//
// The other layouts the reader takes give a name at most six octal digits
// (odc) or sixteen bits (binary, afio's large headers) long and are passed
// on as they are. A symbolic link's target, which the reader also asks for
// at once, it refuses itself above a megabyte.
class CpioFeed
{
public:
    // unpacked: the one entry of a raw-format reader over the stream; null
    // when the stream is empty.
    explicit CpioFeed(archive *unpacked)
        : m_in(unpacked)
    { }

    static la_ssize_t read(archive *reader, void *self, const void **block)
    {
        return static_cast<CpioFeed *>(self)->next(reader, block);
    }

    // Why the bytes stopped before their end (a refused header or the
    // unpacked stream's own error); empty when they did not.
    const QString &error() const { return m_error; }

private:
    enum class Stage { Header, Name, Skip, Untracked };

    la_ssize_t next(archive *reader, const void **block)
    {
        if (!m_error.isEmpty()) {
            archive_set_error(reader, EILSEQ, "%s", qUtf8Printable(m_error));
            return -1;
        }
        if (!m_in)
            return 0;
        for (;;) {
            const void *bytes = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int r = archive_read_data_block(m_in, &bytes, &size, &offset);
            if (r == ARCHIVE_EOF) {
                m_in = nullptr;
                return 0;
            }
            if (r < ARCHIVE_WARN) {
                m_error = archiveError(m_in);
                archive_set_error(reader, archive_errno(m_in), "%s", qUtf8Printable(m_error));
                return -1;
            }
            if (size == 0)
                continue;
            *block = bytes;
            return la_ssize_t(follow(static_cast<const char *>(bytes), size));
        }
    }

    // Follows the n bytes at p; returns how many of them go to the reader:
    // n, or those up to the end of a header refused (m_error then says why).
    size_t follow(const char *p, size_t n)
    {
        size_t at = 0;
        while (at < n) {
            switch (m_stage) {
            case Stage::Untracked:
                return n;
            case Stage::Header: {
                const size_t take = qMin(n - at, size_t(kNewcHeader) - size_t(m_header.size()));
                m_header.append(p + at, qsizetype(take));
                at += take;
                if (m_first && m_header.size() >= 6) {
                    m_first = false;
                    if (!m_header.startsWith("070701") && !m_header.startsWith("070702")) {
                        m_stage = Stage::Untracked;
                        return n;
                    }
                }
                if (m_header.size() < kNewcHeader)
                    break;
                if (!startHeader())
                    return at;
                break;
            }
            case Stage::Name: {
                const size_t take = size_t(qMin<quint64>(n - at, m_left));
                const qsizetype keep = qMin<qsizetype>(qsizetype(take), 11 - m_name.size());
                if (keep > 0)
                    m_name.append(p + at, keep);
                at += take;
                m_left -= take;
                if (m_left > 0)
                    break;
                // libarchive ends the archive on this name, its NUL included.
                if (m_nameSize == 11 && m_name == QByteArray::fromRawData("TRAILER!!!\0", 11)) {
                    m_stage = Stage::Untracked;
                    return n;
                }
                m_left = m_afterName;
                m_stage = Stage::Skip;
                break;
            }
            case Stage::Skip: {
                const size_t take = size_t(qMin<quint64>(n - at, m_left));
                at += take;
                m_left -= take;
                if (m_left == 0) {
                    m_stage = Stage::Header;
                    m_header.clear();
                    m_headerAt += m_entrySize;
                }
                break;
            }
            }
        }
        return n;
    }

    // Reads the whole header in m_header; false (m_error set) when it is
    // refused.
    bool startHeader()
    {
        const auto isHex = [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        };
        bool valid = m_header.startsWith("070701") || m_header.startsWith("070702");
        for (int i = 6; valid && i < kNewcHeader; ++i)
            valid = isHex(m_header.at(i));
        if (!valid) {
            m_error = QStringLiteral("no entry header where one should start, at byte %1")
                              .arg(QLocale().toString(m_headerAt));
            return false;
        }
        const auto field = [this](int index) {
            return m_header.mid(6 + 8 * index, 8).toULongLong(nullptr, 16);
        };
        m_nameSize = field(11);
        const quint64 size = field(6);
        if (m_nameSize > kLongestName) {
            m_error = QStringLiteral("an entry's header gives a name of %1 bytes")
                              .arg(QLocale().toString(m_nameSize));
            return false;
        }
        // The name ends two bytes past a multiple of four (the header is
        // 110 bytes long), the data at one.
        m_afterName = ((2 - m_nameSize) & 3) + size + ((4 - size % 4) % 4);
        m_entrySize = quint64(kNewcHeader) + m_nameSize + m_afterName;
        m_left = m_nameSize;
        m_name.clear();
        m_stage = Stage::Name;
        return true;
    }

    archive *m_in;
    QString m_error;
    Stage m_stage = Stage::Header;
    bool m_first = true;
    QByteArray m_header;
    QByteArray m_name;
    quint64 m_nameSize = 0;
    quint64 m_afterName = 0;
    quint64 m_entrySize = 0;
    quint64 m_left = 0;
    quint64 m_headerAt = 0;
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
        fail(QStringLiteral("invalid feedback.\n%1").arg(mobiledevice::shortXml(reply)));
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

    // What the service sends and nothing else: a cpio archive, compressed
    // with gzip or not ("empty" gives a clear answer to an empty stream).
    // Other filters may hand the bytes to outside programs and other
    // formats are parsers the phone has no reason to reach; gzip itself is
    // refused when libarchive could only do it through the gzip program.
    // One reader undoes the compression and hands its bytes as they are
    // ("raw") through a CpioFeed to the cpio reader.
    ReadArchive stream;
    archive *in = stream.get();
    ReadArchive reader;
    archive *a = reader.get();
    const auto unsupported = [&archivePath](archive *which) {
        fail(QStringLiteral("open %1 error. This build cannot read gzip-compressed cpio "
                            "archives by itself (%2).")
                     .arg(archivePath, archiveError(which)));
    };
    if (archive_read_support_filter_gzip(in) != ARCHIVE_OK
        || archive_read_support_format_raw(in) != ARCHIVE_OK
        || archive_read_support_format_empty(in) != ARCHIVE_OK)
        unsupported(in);
    if (archive_read_support_format_cpio(a) != ARCHIVE_OK
        || archive_read_support_format_empty(a) != ARCHIVE_OK)
        unsupported(a);
    int opened = archive_read_open_filename(in, QFile::encodeName(archivePath).constData(),
                                            size_t(kChunkSize));
    // The raw format makes the whole stream one entry; an empty one has none.
    archive_entry *whole = nullptr;
    if (opened == ARCHIVE_OK)
        opened = archive_read_next_header(in, &whole);
    if (opened != ARCHIVE_OK && opened != ARCHIVE_WARN && opened != ARCHIVE_EOF)
        fail(QStringLiteral("open %1(%2) error. %3")
                     .arg(archivePath, QString::number(opened), archiveError(in)));
    CpioFeed feed(opened == ARCHIVE_EOF ? nullptr : in);
    // Why the cpio reader failed: what stopped its bytes, if anything did.
    const auto readError
            = [&feed, a] { return feed.error().isEmpty() ? archiveError(a) : feed.error(); };
    opened = archive_read_open(a, &feed, nullptr, CpioFeed::read, nullptr);
    if (opened != ARCHIVE_OK)
        fail(QStringLiteral("open %1(%2) error. %3")
                     .arg(archivePath, QString::number(opened), readError()));

    int files = 0;
    for (;;) {
        archive_entry *entry = nullptr;
        const int r = archive_read_next_header(a, &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN)
            fail(QStringLiteral("The archive from the iPhone is damaged or incomplete (%1); "
                                "nothing was changed.")
                         .arg(readError()));
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
                             .arg(rawName, readError()));
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
