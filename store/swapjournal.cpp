#include "store/swapjournal.h"

#include "store/attachmentfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSet>

#include <filesystem>
#include <stdexcept>
#include <system_error>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const QString kRecordName = QStringLiteral(".swap-journal");
constexpr int kRecordVersion = 1;
constexpr qint64 kMaxRecordSize = 16 << 20;
constexpr qint64 kCopyBlock = 64 << 10;

KillPointHook &hookSlot()
{
    static KillPointHook hook;
    return hook;
}

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

std::filesystem::path fsPath(const QString &path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

// Renames from to to, replacing a file at to in one step.
bool renameOver(const QString &from, const QString &to)
{
    std::error_code ec;
    std::filesystem::rename(fsPath(from), fsPath(to), ec);
    return !ec;
}

} // namespace

bool secondNameOf(const QString &path, const QString &aside)
{
    std::error_code ec;
    std::filesystem::create_hard_link(fsPath(path), fsPath(aside), ec);
    if (!ec)
        return true;
    const QString part = aside + QStringLiteral(".part");
    if (!copyFileSynced(path, part))
        return false;
    if (!renameOver(part, aside)) {
        QFile::remove(part);
        return false;
    }
    return true;
}

namespace {

bool existsOrLink(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A relative path that stays inside the folder it is relative to.
bool isInsideName(const QString &rel)
{
    if (rel.isEmpty() || rel.startsWith(QLatin1Char('/')) || rel.contains(QLatin1Char('\\'))
        || rel.contains(QChar(0)) || QDir::isAbsolutePath(rel))
        return false;
    for (const QString &part : rel.split(QLatin1Char('/')))
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    return true;
}

QLockFile *lockFor(const QString &record, std::unique_ptr<QLockFile> &slot)
{
    slot = std::make_unique<QLockFile>(record + QStringLiteral(".lock"));
    // A lock is stale only when its process is gone, however long it runs.
    slot->setStaleLockTime(0);
    if (!slot->tryLock(0)) {
        slot.reset();
        return nullptr;
    }
    return slot.get();
}

} // namespace

// ---------------------------------------------------------------- helpers

void setKillPointHook(KillPointHook hook)
{
    hookSlot() = std::move(hook);
}

void killPoint(const char *point)
{
    if (const KillPointHook &hook = hookSlot())
        hook(point);
}

bool syncPath(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return true;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
#endif
}

bool copyFileSynced(const QString &from, const QString &to, QString *error,
                    const std::atomic_bool *stop)
{
    QFile in;
    QFile out(to);
    auto failed = [&](const QString &text) {
        if (error)
            *error = text;
        out.close();
        QFile::remove(to);
        return false;
    };
    // Only a regular file is copied: a pipe would block, a link could
    // bring in any file of this computer.
    QString refused;
    if (!openAttachmentFile(in, from, &refused))
        return failed(refused);
    QFile::remove(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failed(out.errorString());
    QByteArray block;
    for (;;) {
        block = in.read(kCopyBlock);
        if (block.isEmpty())
            break;
        if (out.write(block) != block.size())
            return failed(out.errorString());
        killPoint("copy");
        if (stop && *stop)
            return failed(QStringLiteral("cancelled"));
    }
    if (in.error() != QFile::NoError)
        return failed(in.errorString());
    if (!out.flush())
        return failed(out.errorString());
#ifndef Q_OS_WIN
    if (::fsync(out.handle()) != 0)
        return failed(QStringLiteral("cannot flush %1 to the disk").arg(to));
#endif
    out.close();
    if (out.error() != QFile::NoError)
        return failed(out.errorString());
    return true;
}

bool writeFileSynced(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile out(path);
    auto failed = [&](const QString &text) {
        if (error)
            *error = text;
        out.close();
        QFile::remove(path);
        return false;
    };
    QFile::remove(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failed(out.errorString());
    if (out.write(bytes) != bytes.size() || !out.flush())
        return failed(out.errorString());
#ifndef Q_OS_WIN
    if (::fsync(out.handle()) != 0)
        return failed(QStringLiteral("cannot flush %1 to the disk").arg(path));
#endif
    out.close();
    if (out.error() != QFile::NoError)
        return failed(out.errorString());
    return true;
}

// ---------------------------------------------------------------- journal

SwapJournal::SwapJournal(const QString &folder, const QString &name)
    : m_folder(QDir::cleanPath(QDir(folder).absolutePath()))
    , m_name(name.isEmpty() ? kRecordName : name)
{ }

SwapJournal::~SwapJournal()
{
    // A begun change that neither committed nor rolled back keeps its record
    // for recover(); only the lock goes.
    unlock();
}

QString SwapJournal::recordPath(const QString &folder, const QString &name)
{
    return QDir(folder).absoluteFilePath(name.isEmpty() ? kRecordName : name);
}

QString SwapJournal::abs(const QString &rel) const
{
    return m_folder + QLatin1Char('/') + rel;
}

QString SwapJournal::rel(const QString &path) const
{
    const QString clean = QDir::cleanPath(QDir(m_folder).absoluteFilePath(path));
    if (!clean.startsWith(m_folder + QLatin1Char('/')))
        fail(QStringLiteral("%1 is not inside %2").arg(path, m_folder));
    return clean.mid(m_folder.size() + 1);
}

void SwapJournal::replace(const QString &target, const QString &staged, const QString &aside)
{
    Entry e;
    e.target = rel(target);
    e.staged = rel(staged);
    e.aside = aside.isEmpty() ? QString() : rel(aside);
    e.replaces = existsOrLink(abs(e.target));
    m_entries.append(e);
}

void SwapJournal::move(const QString &from, const QString &to)
{
    replace(to, from);
    m_entries.last().move = true;
}

void SwapJournal::remove(const QString &path)
{
    m_removals.append(rel(path));
}

void SwapJournal::begin()
{
    if (m_begun)
        fail(QStringLiteral("SwapJournal::begin called twice"));
    if (!lockFor(recordPath(m_folder, m_name), m_lock))
        fail(QStringLiteral("Another change of %1 is running.").arg(QDir::toNativeSeparators(m_folder)));
    if (existsOrLink(recordPath(m_folder, m_name))) {
        unlock();
        fail(QStringLiteral("An interrupted change of %1 is not finished yet.")
                     .arg(QDir::toNativeSeparators(m_folder)));
    }
    // Every staged file, and every folder that gained a name, reaches the
    // disk before the record that relies on them.
    QSet<QString> folders;
    for (Entry &e : m_entries) {
        const QString staged = abs(e.staged);
        const QFileInfo info(staged);
        if (!info.isFile() || info.isSymLink() || !syncPath(staged)) {
            unlock();
            fail(QStringLiteral("Cannot flush %1 to the disk.").arg(QDir::toNativeSeparators(staged)));
        }
        e.size = info.size();
        folders.insert(info.absolutePath());
        if (!e.aside.isEmpty())
            folders.insert(QFileInfo(abs(e.aside)).absolutePath());
    }
    for (const QString &f : std::as_const(folders))
        syncPath(f);
    try {
        writeRecord();
    } catch (...) {
        unlock();
        throw;
    }
    m_begun = true;
    killPoint("journal-written");
}

void SwapJournal::writeRecord()
{
    QJsonArray entries;
    for (const Entry &e : std::as_const(m_entries)) {
        QJsonObject o;
        o.insert(QStringLiteral("target"), e.target);
        o.insert(QStringLiteral("staged"), e.staged);
        if (!e.aside.isEmpty())
            o.insert(QStringLiteral("aside"), e.aside);
        o.insert(QStringLiteral("replaces"), e.replaces);
        o.insert(QStringLiteral("move"), e.move);
        o.insert(QStringLiteral("size"), double(e.size));
        entries.append(o);
    }
    QJsonObject root;
    root.insert(QStringLiteral("version"), kRecordVersion);
    root.insert(QStringLiteral("entries"), entries);
    root.insert(QStringLiteral("removals"), QJsonArray::fromStringList(m_removals));
    const QString path = recordPath(m_folder, m_name);
    const QString fresh = path + QStringLiteral(".new");
    QString error;
    if (!writeFileSynced(fresh, QJsonDocument(root).toJson(QJsonDocument::Compact), &error))
        fail(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(fresh), error));
    killPoint("journal-staged");
    if (!renameOver(fresh, path)) {
        QFile::remove(fresh);
        fail(QStringLiteral("Cannot write %1.").arg(QDir::toNativeSeparators(path)));
    }
    syncPath(m_folder);
}

void SwapJournal::dropRecord()
{
    QFile::remove(recordPath(m_folder, m_name));
    QFile::remove(recordPath(m_folder, m_name) + QStringLiteral(".new"));
    syncPath(m_folder);
    m_begun = false;
    unlock();
}

void SwapJournal::unlock()
{
    if (m_lock)
        m_lock->unlock();
    m_lock.reset();
}

void SwapJournal::commit(const std::function<void(int)> &afterEach)
{
    if (!m_begun)
        fail(QStringLiteral("SwapJournal::commit before begin"));
    QSet<QString> folders;
    for (int i = 0; i < m_entries.size(); ++i) {
        const Entry &e = m_entries.at(i);
        killPoint("swap-rename");
        const QString staged = abs(e.staged);
        const QString target = abs(e.target);
        // A staged file that is gone was moved by an earlier, interrupted
        // attempt of this same record.
        if (existsOrLink(staged)) {
            // The old file keeps a name of its own first.
            if (!e.aside.isEmpty() && !existsOrLink(abs(e.aside)) && existsOrLink(target)) {
                if (!secondNameOf(target, abs(e.aside)))
                    fail(QStringLiteral("can not keep a copy of %1.")
                                 .arg(QDir::toNativeSeparators(target)));
                killPoint("kept-aside");
            }
            if (!renameOver(staged, target))
                fail(QStringLiteral("can not overwrite %1.").arg(QDir::toNativeSeparators(target)));
        }
        folders.insert(QFileInfo(target).absolutePath());
        if (afterEach)
            afterEach(i);
    }
    for (const QString &r : std::as_const(m_removals)) {
        killPoint("swap-remove");
        const QString path = abs(r);
        if (existsOrLink(path) && !QFileInfo(path).isDir() && (!m_mayRemove || m_mayRemove(path)))
            QFile::remove(path);
        folders.insert(QFileInfo(path).absolutePath());
    }
    for (const QString &f : std::as_const(folders))
        syncPath(f);
    killPoint("swapped");
    dropRecord();
}

QStringList SwapJournal::rollBack()
{
    QStringList problems;
    if (!m_begun) {
        unlock();
        return problems;
    }
    QSet<QString> folders;
    for (qsizetype i = m_entries.size() - 1; i >= 0; --i) {
        const Entry &e = m_entries.at(i);
        const QString target = abs(e.target);
        const QString staged = abs(e.staged);
        const bool placed = !existsOrLink(staged);
        if (e.move) {
            // Renamed back; the file itself is never removed.
            if (placed && existsOrLink(target) && !renameOver(target, staged))
                problems << e.target;
            folders.insert(QFileInfo(staged).absolutePath());
            continue;
        }
        if (!e.aside.isEmpty()) {
            const QString aside = abs(e.aside);
            // The kept copy may be a second name of the target still: the
            // rename then changes nothing and the second name goes.
            QFile::remove(aside + QStringLiteral(".part"));
            if (existsOrLink(aside)) {
                if (!renameOver(aside, target))
                    problems << e.target;
                else if (existsOrLink(aside))
                    QFile::remove(aside);
            } else if (placed) {
                problems << e.target;
            }
        } else if (!e.replaces) {
            if (placed && existsOrLink(target) && !QFile::remove(target))
                problems << e.target;
        } else if (placed) {
            problems << e.target; // replaced, and no copy of the old one kept
        }
        if (existsOrLink(staged))
            QFile::remove(staged);
        folders.insert(QFileInfo(target).absolutePath());
    }
    for (const QString &f : std::as_const(folders))
        syncPath(f);
    dropRecord();
    return problems;
}

SwapJournal::Recovery SwapJournal::recover(const QString &folder, const RemovalFilter &mayRemove,
                                           const QString &name)
{
    const QString path = recordPath(folder, name);
    if (!existsOrLink(path)) {
        // A run killed while writing its record, or just after dropping it,
        // changed nothing: what it left of the record and lock goes.
        const QString fresh = path + QStringLiteral(".new");
        const QString lock = path + QStringLiteral(".lock");
        if (existsOrLink(fresh) || existsOrLink(lock)) {
            std::unique_ptr<QLockFile> held;
            if (lockFor(path, held) && !existsOrLink(path)) {
                QFile::remove(fresh);
                held->unlock();
            }
        }
        return Recovery::Nothing;
    }
    SwapJournal journal(folder, name);
    if (!lockFor(path, journal.m_lock)) {
        qInfo("An unfinished change of %s is running: left to it", qUtf8Printable(folder));
        return Recovery::Busy;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        journal.unlock();
        return existsOrLink(path) ? Recovery::Failed : Recovery::Nothing;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.read(kMaxRecordSize), &parseError);
    file.close();
    const QJsonObject root = doc.object();
    bool valid = parseError.error == QJsonParseError::NoError && doc.isObject()
            && root.value(QStringLiteral("version")).toInt() == kRecordVersion;
    for (const QJsonValue &v : root.value(QStringLiteral("entries")).toArray()) {
        const QJsonObject o = v.toObject();
        Entry e;
        e.target = o.value(QStringLiteral("target")).toString();
        e.staged = o.value(QStringLiteral("staged")).toString();
        e.aside = o.value(QStringLiteral("aside")).toString();
        e.replaces = o.value(QStringLiteral("replaces")).toBool();
        e.move = o.value(QStringLiteral("move")).toBool();
        e.size = qint64(o.value(QStringLiteral("size")).toDouble(-1));
        if (!isInsideName(e.target) || !isInsideName(e.staged)
            || (!e.aside.isEmpty() && !isInsideName(e.aside)) || e.size < 0)
            valid = false;
        journal.m_entries.append(e);
    }
    for (const QJsonValue &v : root.value(QStringLiteral("removals")).toArray()) {
        const QString r = v.toString();
        if (!isInsideName(r))
            valid = false;
        journal.m_removals.append(r);
    }
    if (!valid) {
        qWarning("The change record %s is damaged or names files outside its folder: left as it "
                 "is",
                 qUtf8Printable(QDir::toNativeSeparators(path)));
        journal.unlock();
        return Recovery::Failed;
    }
    journal.m_begun = true;
    journal.m_mayRemove = mayRemove;

    // Forward when every entry's new file is whole, staged or in place.
    bool forward = true;
    for (const Entry &e : std::as_const(journal.m_entries)) {
        const QFileInfo staged(journal.abs(e.staged));
        const QFileInfo target(journal.abs(e.target));
        const bool ready = staged.isFile() && !staged.isSymLink() && staged.size() == e.size;
        const bool done = !staged.exists() && !staged.isSymLink() && target.isFile()
                && !target.isSymLink() && target.size() == e.size;
        if (!ready && !done) {
            forward = false;
            break;
        }
    }
    try {
        if (forward) {
            journal.commit();
            qWarning("Finished the interrupted change of %s (%d files, %d removals)",
                     qUtf8Printable(QDir::toNativeSeparators(folder)),
                     int(journal.m_entries.size()), int(journal.m_removals.size()));
            return Recovery::RolledForward;
        }
    } catch (const std::exception &e) {
        qWarning("Cannot finish the interrupted change of %s: %s",
                 qUtf8Printable(QDir::toNativeSeparators(folder)), e.what());
    }
    const QStringList problems = journal.rollBack();
    if (!problems.isEmpty()) {
        qWarning("Undid the interrupted change of %s, but could not put back %s",
                 qUtf8Printable(QDir::toNativeSeparators(folder)),
                 qUtf8Printable(problems.join(QStringLiteral(", "))));
        return Recovery::Failed;
    }
    qWarning("Undid the interrupted change of %s", qUtf8Printable(QDir::toNativeSeparators(folder)));
    return Recovery::RolledBack;
}
