#include "backup/backupmanifest.h"

#include "store/plistvalue.h"
#include "store/swapjournal.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

// A Manifest.plist is a few kilobytes to a few megabytes; refuse to load
// anything that cannot be one into memory.
constexpr qint64 kMaxManifestPlistSize = 256 * 1024 * 1024;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

QRegularExpression anchored(const char *pattern)
{
    return QRegularExpression(QString::fromLatin1(pattern),
                              QRegularExpression::CaseInsensitiveOption);
}

// The file name up to its first dot.
QString baseName(const QString &fileName)
{
    return QFileInfo(fileName).baseName();
}

} // namespace

BackupManifest::BackupManifest(const QString &folderPath, QObject *parent)
    : QObject(parent)
    , folder(folderPath)
    , root(nullptr, MbdbRecord(), QString())
{ }

BackupManifest::~BackupManifest() = default;

void BackupManifest::finishInterruptedChange()
{
    // A merge killed halfway through its swap left a record of it: the
    // backup is made whole before anything of it is read.
    SwapJournal::recover(folder.absolutePath());
}

void BackupManifest::loadManifestPlist()
{
    finishInterruptedChange();
    const QString path = folder.absoluteFilePath(QStringLiteral("Manifest.plist"));
    if (!QFileInfo::exists(path))
        fail(QStringLiteral("Cannot find ") + path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("Cannot open %1: %2").arg(path, file.errorString()));
    if (file.size() > kMaxManifestPlistSize)
        fail(QStringLiteral("%1 is too large to be a backup manifest (%2 bytes).")
                     .arg(path)
                     .arg(file.size()));
    const QByteArray data = file.readAll();
    if (file.error() != QFile::NoError)
        fail(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));

    const PlistValue plist = parsePlistBuffer(data);
    const PlistValue lockdown = plist.dictItem(QStringLiteral("Lockdown"));
    BackupDeviceInfo info;
    info.UniqueDeviceID = lockdown.dictItem(QStringLiteral("UniqueDeviceID")).toString();
    info.DeviceName = lockdown.dictItem(QStringLiteral("DeviceName")).toString();
    info.Date = plist.dictItem(QStringLiteral("Date")).toDateTime();
    info.ProductType = lockdown.dictItem(QStringLiteral("ProductType")).toString();
    info.ProductVersion = lockdown.dictItem(QStringLiteral("ProductVersion")).toString();
    info.SerialNumber = lockdown.dictItem(QStringLiteral("SerialNumber")).toString();
    info.IsEncrypted = plist.dictItem(QStringLiteral("IsEncrypted")).toBool();
    info.BackupKeyBag = plist.dictItem(QStringLiteral("BackupKeyBag")).toByteArray();
    deviceInfo = info;

    const QString folderName = QFileInfo(QDir::cleanPath(folder.absolutePath())).fileName();
    if (info.DeviceName.isEmpty())
        displayName = folderName;
    else if (!info.UniqueDeviceID.isEmpty() && folderName.contains(info.UniqueDeviceID))
        displayName = QString(folderName).replace(info.UniqueDeviceID, info.DeviceName);
    else
        displayName = info.DeviceName + QLatin1Char('-') + folderName;
}

void BackupManifest::loadManifestMbdb()
{
    if (!root.children.isEmpty())
        return;
    finishInterruptedChange();
    buildFileTree(readMbdb(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"))));
}

void BackupManifest::buildFileTree(const MbdbRecordSet &set)
{
    if (!root.children.isEmpty())
        return;
    recordsCarryKeys = mbdbRecordsCarryKeys(set);

    struct Entry
    {
        QString domain, path;
        const MbdbRecord *record;
    };
    std::vector<Entry> entries;
    entries.reserve(set.size());
    for (const MbdbRecord &r : set)
        entries.push_back({r.domain.toString(), r.path.toString(), &r});
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.domain != b.domain ? a.domain < b.domain : a.path < b.path;
    });

    static const QString kApps = QStringLiteral("Applications");
    static const QString kAppPrefix = QStringLiteral("AppDomain-");
    // The domains share one tree by relative path: a folder that several
    // domains hold is one node (the first domain's), with the contents of
    // each below it. A file of a later domain whose place is taken gets a
    // node of its own beside the first one, so that every file of every
    // domain can be seen and extracted; byDomainPath finds the node that
    // holds each record's contents for its own domain.
    QHash<QString, BackupFileNode *> byPath;
    QHash<QString, BackupFileNode *> byDomainPath;
    const auto domainKey = [](const QString &domain, const QString &fullPath) {
        return domain + QChar(0) + fullPath;
    };
    int refused = 0;
    int besides = 0;
    for (const Entry &e : entries) {
        QString fullPath;
        if (e.domain.startsWith(kAppPrefix)) {
            // The application's identifier becomes one folder of the tree.
            const QString appId = e.domain.mid(kAppPrefix.size());
            if (!isSafeBackupPath(appId) || appId.contains(QLatin1Char('/'))) {
                ++refused;
                continue;
            }
            if (!byPath.contains(kApps)) {
                auto *apps = new BackupFileNode(&root, MbdbRecord(), kApps);
                root.children.append(apps);
                byPath.insert(kApps, apps);
            }
            fullPath = kApps + QLatin1Char('/') + appId;
            if (!e.path.isEmpty())
                fullPath += QLatin1Char('/') + e.path;
        } else {
            fullPath = e.path;
        }
        // Domain roots have no name of their own; names that could climb out
        // of the tree, or are empty, are refused.
        if (fullPath.isEmpty())
            continue;
        if (!isSafeBackupPath(fullPath)) {
            ++refused;
            continue;
        }
        BackupFileNode *holder = byPath.value(fullPath);
        if (holder && holder->record.isDirectory() && e.record->isDirectory()) {
            byDomainPath.insert(domainKey(e.domain, fullPath), holder);
            continue;
        }
        const qsizetype slash = fullPath.lastIndexOf(QLatin1Char('/'));
        const QString name = slash < 0 ? fullPath : fullPath.mid(slash + 1);
        BackupFileNode *parent = &root;
        if (slash >= 0) {
            const QString parentPath = fullPath.left(slash);
            parent = byDomainPath.value(domainKey(e.domain, parentPath),
                                        byPath.value(parentPath, &root));
        }
        auto *node = new BackupFileNode(parent, *e.record, name);
        parent->children.append(node);
        if (holder)
            ++besides;
        else
            byPath.insert(fullPath, node);
        byDomainPath.insert(domainKey(e.domain, fullPath), node);
        classify(node);
    }
    if (besides > 0)
        qInfo("%s: %d files share their path with a file of another domain",
              qUtf8Printable(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"))), besides);
    if (refused > 0)
        qWarning("%s: %d records with unusable names were left out of the file tree",
                 qUtf8Printable(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"))), refused);
}

void BackupManifest::classify(BackupFileNode *node)
{
    const MbdbRecord &r = node->record;
    const QString domain = r.domain.toString();
    const QString path = r.path.toString();

    if (domain.compare(QLatin1String("CameraRollDomain"), Qt::CaseInsensitive) == 0) {
        static const QRegularExpression dcim
                = anchored("^Media/DCIM/\\d+APPLE/[^/\\.]+(\\.[^/\\.]+)");
        static const QRegularExpression meta
                = anchored("^Media/PhotoData/MetaData/DCIM/\\d+APPLE/([^/\\.]+)(\\.[^/\\.]+)");
        static const QRegularExpression thumb
                = anchored("^Media/DCIM/\\.THMB/[^/]+/\\d+APPLE___([^/\\.]+)(\\.[^/\\.]+)");
        QRegularExpressionMatch m = dcim.match(path);
        if (m.hasMatch()) {
            const QString ext = m.captured(1).toLower();
            if (ext == QLatin1String(".mov"))
                videos.append(node);
            else if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                photos.append(node);
        } else if ((m = meta.match(path)).hasMatch()) {
            if (m.captured(2).toLower() == QLatin1String(".thm"))
                thumbnails.insert(m.captured(1), node);
        } else if ((m = thumb.match(path)).hasMatch()) {
            const QString ext = m.captured(2).toLower();
            if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                thumbnails.insert(m.captured(1), node);
        }
        return;
    }

    if (domain.compare(QLatin1String("HomeDomain"), Qt::CaseInsensitive) == 0) {
        const std::pair<BackupFileNode **, const char *> known[] = {
                {&smsDbNode, "Library/SMS/sms.db"},
                {&addressBookNode, "Library/AddressBook/AddressBook.sqlitedb"},
                {&addressBookImagesNode, "Library/AddressBook/AddressBookImages.sqlitedb"},
                {&notesNode, "Library/Notes/notes.sqlite"},
                {&calendarNode, "Library/Calendar/Calendar.sqlitedb"},
                {&calendarExtrasNode, "Library/Calendar/Extras.db"},
                {&voicemailDbNode, "Library/Voicemail/voicemail.db"},
                {&bookmarksNode, "Library/Safari/Bookmarks.db"},
                {&callHistoryStoreNode, "Library/CallHistoryDB/CallHistory.storedata"},
        };
        for (const auto &[slot, slotPath] : known) {
            if (!*slot && path.compare(QLatin1String(slotPath), Qt::CaseInsensitive) == 0) {
                *slot = node;
                return;
            }
        }
        static const QRegularExpression voicemail = anchored("^Library/Voicemail/(\\d+)\\.amr$");
        const QRegularExpressionMatch m = voicemail.match(path);
        bool ok = false;
        const int number = m.hasMatch() ? m.captured(1).toInt(&ok) : 0;
        if (ok)
            voicemails.insert(number, node);
        return;
    }

    if (domain.compare(QLatin1String("MediaDomain"), Qt::CaseInsensitive) == 0) {
        if (!recordingsDbNode
            && path.compare(QLatin1String("Media/Recordings/Recordings.db"), Qt::CaseInsensitive)
                    == 0) {
            recordingsDbNode = node;
            return;
        }
        if (path.startsWith(QLatin1String("Library/SMS/"), Qt::CaseInsensitive)) {
            if (r.isDirectory())
                return;
            static const QString kDevice = QStringLiteral("/var/mobile/");
            const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
            const qsizetype preview = path.lastIndexOf(QLatin1String("-preview"));
            if (preview > 0) {
                const QString key = kDevice + path.left(preview) + QLatin1String("-preview");
                smsPreviews.insert(key, node);
                if (fileName.contains(QLatin1String("-preview-left"), Qt::CaseInsensitive))
                    smsPreviews.insert(key + QLatin1String("-left"), node);
            } else {
                // The extension is looked for in the file's own name only, so
                // that a dot in a folder name does not cut the key short.
                const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
                const qsizetype stemLength
                        = dot > 0 ? path.size() - fileName.size() + dot : path.size();
                smsPreviews.insert(kDevice + path.left(stemLength), node);
            }
            static const QRegularExpression parts
                    = anchored("^Library/SMS/Parts/[^/]+/[^/]+/([^/]+)$");
            static const QRegularExpression attachments
                    = anchored("^Library/SMS/Attachments/([^/]+)/([^/]+)$");
            QRegularExpressionMatch m = parts.match(path);
            if (m.hasMatch()) {
                smsParts.insert(baseName(m.captured(1)), node);
            } else if ((m = attachments.match(path)).hasMatch()) {
                smsAttachments.insert(m.captured(1) + QLatin1Char('/') + baseName(m.captured(2)),
                                      node);
            }
            return;
        }
        static const QRegularExpression recording = anchored("^Media/Recordings/([^/.]+\\.m4a)$");
        const QRegularExpressionMatch m = recording.match(path);
        if (m.hasMatch() && !r.isDirectory())
            recordings.insert(m.captured(1), node);
        return;
    }

    if (domain.compare(QLatin1String("WirelessDomain"), Qt::CaseInsensitive) == 0) {
        if (!callHistoryNode
            && path.compare(QLatin1String("Library/CallHistory/call_history.db"),
                            Qt::CaseInsensitive)
                    == 0)
            callHistoryNode = node;
    }
}
