#include "tests/support/fakebackup.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace {

// Big-endian byte writer of the index format.
class Writer
{
public:
    void u8(quint8 v) { m_out.append(char(v)); }
    void u16(quint16 v)
    {
        u8(quint8(v >> 8));
        u8(quint8(v));
    }
    void u32(quint32 v)
    {
        u16(quint16(v >> 16));
        u16(quint16(v));
    }
    void u64(quint64 v)
    {
        u32(quint32(v >> 32));
        u32(quint32(v));
    }
    void str(const std::optional<QByteArray> &s)
    {
        if (!s) {
            u16(0xFFFF);
            return;
        }
        u16(quint16(s->size()));
        m_out.append(*s);
    }
    QByteArray bytes() const { return m_out; }

private:
    QByteArray m_out;
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write fixture %s", qPrintable(path));
}

QString pyText(const QString &s)
{
    return PyPlist::quote(s);
}

QString pyDate(const QDateTime &d)
{
    const QDateTime u = d.toUTC();
    return QStringLiteral("datetime.datetime(%1, %2, %3, %4, %5, %6)")
            .arg(u.date().year())
            .arg(u.date().month())
            .arg(u.date().day())
            .arg(u.time().hour())
            .arg(u.time().minute())
            .arg(u.time().second());
}

} // namespace

FakeBackup::Entry &FakeBackup::addFolder(const QString &domain, const QString &path)
{
    Entry e;
    e.domain = domain.toUtf8();
    e.path = path.toUtf8();
    e.mode = 040755;
    return addRaw(e);
}

FakeBackup::Entry &FakeBackup::addFile(const QString &domain, const QString &path,
                                       const QByteArray &contents)
{
    Entry e;
    e.domain = domain.toUtf8();
    e.path = path.toUtf8();
    e.contents = contents;
    e.size = contents.size();
    e.dataHash = QCryptographicHash::hash(contents, QCryptographicHash::Sha1);
    e.protectionClass = 4;
    return addRaw(e);
}

FakeBackup::Entry &FakeBackup::addLink(const QString &domain, const QString &path,
                                       const QString &target)
{
    Entry e;
    e.domain = domain.toUtf8();
    e.path = path.toUtf8();
    e.linkTarget = target.toUtf8();
    e.mode = 0120755;
    return addRaw(e);
}

FakeBackup::Entry &FakeBackup::addRaw(const Entry &entry)
{
    m_entries.append(entry);
    return m_entries.last();
}

void FakeBackup::addTypicalPhone()
{
    const QString home = QStringLiteral("HomeDomain"), media = QStringLiteral("MediaDomain");
    addFolder(home, QString());
    addFolder(home, "Library");
    addFolder(home, "Library/SMS");
    addFile(home, "Library/SMS/sms.db", QByteArray("SQLite format 3\0 sms", 20));
    addFolder(home, "Library/AddressBook");
    addFile(home, "Library/AddressBook/AddressBook.sqlitedb", "book");
    addFile(home, "Library/AddressBook/AddressBookImages.sqlitedb", "images");
    addFolder(home, "Library/Notes");
    addFile(home, "Library/Notes/notes.sqlite", "notes");
    addFolder(home, "Library/Calendar");
    addFile(home, "Library/Calendar/Calendar.sqlitedb", "cal");
    addFile(home, "Library/Calendar/Extras.db", "extras");
    addFolder(home, "Library/Voicemail");
    addFile(home, "Library/Voicemail/voicemail.db", "vm");
    addFile(home, "Library/Voicemail/12.amr", "amr12");
    addFile(home, "Library/Voicemail/7.amr", "amr7");
    addFolder(home, "Library/Safari");
    addFile(home, "Library/Safari/Bookmarks.db", "bm");
    addFolder(home, "Library/CallHistoryDB");
    addFile(home, "Library/CallHistoryDB/CallHistory.storedata", "calls");
    addFile(home, "Library/Preferences/com.apple.springboard.plist", "prefs");
    addLink(home, "Library/Caches/link", "/private/var/mobile/Library/Caches");

    addFolder(media, QString());
    addFolder(media, "Library");
    addFolder(media, "Library/SMS");
    addFolder(media, "Library/SMS/Attachments");
    addFolder(media, "Library/SMS/Attachments/ab");
    addFile(media, "Library/SMS/Attachments/ab/IMG_0001.JPG", "jpeg one");
    addFolder(media, "Library/SMS/Attachments/ab/CD1234");
    addFile(media, "Library/SMS/Attachments/ab/CD1234/IMG_0001-preview-left.jpg", "preview");
    addFile(media, "Library/SMS/Attachments/ab/CD1234/IMG_0001.MOV", "movie");
    addFolder(media, "Library/SMS/Parts");
    addFile(media, "Library/SMS/Parts/0f/3/3-1.jpg", "part");
    addFile(media, "Library/SMS/Attachments/ab/empty.txt", QByteArray());
    addFolder(media, "Media");
    addFolder(media, "Media/Recordings");
    addFile(media, "Media/Recordings/Recordings.db", "rec db");
    addFile(media, "Media/Recordings/memo 1.m4a", "memo");

    const QString roll = QStringLiteral("CameraRollDomain");
    addFolder(roll, "Media");
    addFolder(roll, "Media/DCIM");
    addFolder(roll, "Media/DCIM/100APPLE");
    addFile(roll, "Media/DCIM/100APPLE/IMG_0001.JPG", "photo 1");
    addFile(roll, "Media/DCIM/100APPLE/IMG_0002.MOV", "video 2");
    addFile(roll, "Media/DCIM/100APPLE/IMG_0003.png", "photo 3");
    addFile(roll, "Media/DCIM/100APPLE/IMG_0004.AAE", "sidecar");
    addFile(roll, "Media/PhotoData/MetaData/DCIM/100APPLE/IMG_0001.THM", "thm");
    addFile(roll, "Media/DCIM/.THMB/x/100APPLE___IMG_0003.jpg", "thumb");

    const QString wireless = QStringLiteral("WirelessDomain");
    addFolder(wireless, "Library");
    addFolder(wireless, "Library/CallHistory");
    addFile(wireless, "Library/CallHistory/call_history.db", "history");

    const QString app = QStringLiteral("AppDomain-com.example.notes");
    addFolder(app, QString());
    addFolder(app, "Documents");
    Entry &doc = addFile(app, "Documents/a.txt", "hello");
    doc.properties.append({QByteArray("com.apple.assetsd.UUID"), QByteArray("1234")});
}

QByteArray FakeBackup::recordBytes(const Entry &e)
{
    Writer w;
    w.str(e.domain);
    w.str(e.path);
    w.str(e.linkTarget);
    w.str(e.dataHash);
    w.str(e.encryptionKey);
    w.u16(e.mode);
    w.u32(e.inodeHigh);
    w.u32(e.inodeLow);
    w.u32(e.userId);
    w.u32(e.groupId);
    w.u32(e.lastModified);
    w.u32(e.lastAccessed);
    w.u32(e.created);
    w.u64(quint64(e.size));
    w.u8(e.protectionClass);
    w.u8(quint8(e.properties.size()));
    for (const auto &[name, value] : e.properties) {
        w.str(name);
        w.str(value);
    }
    return w.bytes();
}

QByteArray FakeBackup::mbdbBytes() const
{
    QByteArray out("mbdb\x05\x00", 6);
    for (const Entry &e : m_entries)
        out += recordBytes(e);
    return out;
}

QString FakeBackup::fileId(const QString &domain, const QString &path)
{
    return QString::fromLatin1(
            QCryptographicHash::hash((domain + "-" + path).toUtf8(), QCryptographicHash::Sha1)
                    .toHex());
}

void FakeBackup::writeManifestPlist(PyPlist::Format format) const
{
    const Device &d = device;
    QString expr = "{";
    if (d.withLockdown) {
        expr += QStringLiteral("'Lockdown': {'UniqueDeviceID': %1, 'DeviceName': %2,"
                               " 'ProductType': %3, 'ProductVersion': %4, 'SerialNumber': %5,"
                               " 'BuildVersion': '10B329'},")
                        .arg(pyText(d.udid), pyText(d.name), pyText(d.productType),
                             pyText(d.productVersion), pyText(d.serial));
    }
    if (d.date.isValid())
        expr += "'Date': " + pyDate(d.date) + ",";
    expr += QStringLiteral("'IsEncrypted': %1, 'Version': '9.1', 'WasPasscodeSet': False,")
                    .arg(d.encrypted ? "True" : "False");
    if (!d.keybag.isEmpty())
        expr += "'BackupKeyBag': bytes.fromhex('" + QString::fromLatin1(d.keybag.toHex()) + "'),";
    expr += "'Applications': {'com.example.notes': {'CFBundleIdentifier': 'com.example.notes'}}}";
    writeFile(QDir(m_folder).filePath("Manifest.plist"), PyPlist::dump(expr, format));
}

void FakeBackup::writeStatusPlist(PyPlist::Format format) const
{
    const QString expr
            = QStringLiteral("{'SnapshotState': 'finished', 'IsFullBackup': False,"
                             " 'Version': '2.4', 'BackupState': 'new', 'Date': %1,"
                             " 'UUID': 'F1D2A3B4-0000-4000-8000-000000000001'}")
                      .arg(pyDate(device.date.isValid()
                                          ? device.date
                                          : QDateTime(QDate(2013, 6, 2), QTime(9, 0), Qt::UTC)));
    writeFile(QDir(m_folder).filePath("Status.plist"), PyPlist::dump(expr, format));
}

void FakeBackup::writeMbdb() const
{
    writeFile(QDir(m_folder).filePath("Manifest.mbdb"), mbdbBytes());
}

void FakeBackup::write(PyPlist::Format plistFormat) const
{
    QDir().mkpath(m_folder);
    writeManifestPlist(plistFormat);
    writeStatusPlist(plistFormat);
    writeMbdb();
    for (const Entry &e : m_entries) {
        if ((e.mode & 0xF000) != 0x8000 || !e.domain || !e.path)
            continue;
        writeFile(QDir(m_folder).filePath(
                          fileId(QString::fromUtf8(*e.domain), QString::fromUtf8(*e.path))),
                  e.contents);
    }
}
