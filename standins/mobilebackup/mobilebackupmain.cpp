// mobilebackup: a stand-in for the phone maker's command-line backup tool.
// It takes the tool's two command lines
//     -u UDID --backup --target UDID --root ROOT
//     -u UDID --restore --target UDID --root ROOT --source UDID
// writes (backup) or reads (restore) a backup folder ROOT/UDID in the
// phone backup layout (Info.plist, Manifest.plist, Status.plist,
// Manifest.mbdb and the files named by the hex SHA-1 of "domain-path"),
// and prints its progress. What it does is set by a JSON scenario file
// named by the environment variable PELICORDE_MOBILEBACKUP_SCENARIO:
//
// {
//   "productVersion": "6.1.4",  written into Manifest.plist's Lockdown
//   "durationMs": 300,          how long the work takes (progress spread over it)
//   "stall": false,             never end (after writing a partial backup)
//   "crash": false,             end by SIGABRT half-way through
//   "unfinished": false,        end well but leave Status.plist unfinished
//   "markStart": true,          false: leave an earlier Status.plist as it is
//                               until the end (files are updated in place)
//   "stdout": "", "stderr": "", extra text printed at the end
//   "exitCode": 0,
//   "log": "/path",             one JSON line per run appended here:
//                               {"args": [...], "pid": n, "op": "backup",
//                                "incremental": bool, "restoredFiles": n}
//   "from": "/path",            backup only: the backup is a copy of the files
//                               directly inside this folder (a backup made
//                               beforehand, Manifest files included) instead
//                               of the built-in phone files
//   "backup": {...}, "restore": {...}   the same keys for one operation only
// }
//
// Without a scenario a backup of 6.1.4 takes 300 ms and succeeds.

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

void say(FILE *stream, const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

int usage()
{
    say(stderr,
        "Error: usage: -u UDID --backup --target UDID --root ROOT | "
        "-u UDID --restore --target UDID --root ROOT --source UDID");
    return 2;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray toXml(plist_t node)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    QByteArray out(xml, int(length));
    free(xml);
    plist_free(node);
    return out;
}

plist_t str(const QString &s)
{
    return plist_new_string(s.toUtf8().constData());
}

QByteArray statusPlist(const QString &state)
{
    plist_t d = plist_new_dict();
    plist_dict_set_item(d, "SnapshotState", str(state));
    plist_dict_set_item(d, "IsFullBackup", plist_new_bool(0));
    plist_dict_set_item(d, "Version", str("2.4"));
    plist_dict_set_item(d, "BackupState", str("new"));
    plist_dict_set_item(d, "UUID", str("5E3C1D2A-0000-4000-8000-00000000BEEF"));
    return toXml(d);
}

QByteArray manifestPlist(const QString &udid, const QString &version)
{
    plist_t lockdown = plist_new_dict();
    plist_dict_set_item(lockdown, "UniqueDeviceID", str(udid));
    plist_dict_set_item(lockdown, "DeviceName", str("Stand-in iPhone"));
    plist_dict_set_item(lockdown, "ProductType", str("iPhone5,2"));
    plist_dict_set_item(lockdown, "ProductVersion", str(version));
    plist_dict_set_item(lockdown, "BuildVersion", str("10B329"));
    plist_dict_set_item(lockdown, "SerialNumber", str("C39K2STANDIN"));
    plist_t d = plist_new_dict();
    plist_dict_set_item(d, "Lockdown", lockdown);
    plist_dict_set_item(d, "IsEncrypted", plist_new_bool(0));
    plist_dict_set_item(d, "Version", str("9.1"));
    plist_dict_set_item(d, "WasPasscodeSet", plist_new_bool(0));
    plist_dict_set_item(d, "Applications", plist_new_dict());
    return toXml(d);
}

QByteArray infoPlist(const QString &udid, const QString &version)
{
    plist_t d = plist_new_dict();
    plist_dict_set_item(d, "Device Name", str("Stand-in iPhone"));
    plist_dict_set_item(d, "Unique Identifier", str(udid.toUpper()));
    plist_dict_set_item(d, "Product Version", str(version));
    return toXml(d);
}

// Manifest.mbdb, version 5: big-endian fields, texts as a 16-bit length
// and bytes, 0xFFFF for an absent text.
class MbdbWriter
{
public:
    MbdbWriter() { m_out = QByteArray("mbdb\x05\x00", 6); }
    void file(const QByteArray &domain, const QByteArray &path, const QByteArray &contents,
              quint32 time)
    {
        text(domain);
        text(path);
        absent(); // link target
        text(QCryptographicHash::hash(contents, QCryptographicHash::Sha1));
        absent(); // encryption key
        u16(0100644);
        u32(0);
        u32(++m_inode);
        u32(501);
        u32(501);
        u32(time);
        u32(time);
        u32(time);
        u64(quint64(contents.size()));
        u8(0);
        u8(0);
    }
    QByteArray bytes() const { return m_out; }

private:
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
    void text(const QByteArray &t)
    {
        u16(quint16(t.size()));
        m_out += t;
    }
    void absent() { u16(0xFFFF); }
    QByteArray m_out;
    quint32 m_inode = 0;
};

struct Item
{
    QByteArray domain, path, contents;
};

QList<Item> phoneFiles()
{
    return {
            {"HomeDomain", "Library/SMS/sms.db", QByteArray("SQLite format 3\0", 16)},
            {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb",
             QByteArray("SQLite format 3\0", 16)},
            {"MediaDomain", "Library/SMS/Attachments/ab/01/IMG_0001.JPG",
             QByteArray("\xff\xd8\xff\xe0 stand-in picture", 22)},
            {"HomeDomain", "Library/Preferences/com.apple.stand-in.plist", "<plist/>"},
    };
}

QString fileId(const Item &item)
{
    return QString::fromLatin1(
            QCryptographicHash::hash(item.domain + "-" + item.path, QCryptographicHash::Sha1)
                    .toHex());
}

void pause(int ms)
{
    if (ms > 0)
        QThread::msleep(ulong(ms));
}

void appendLog(const QJsonObject &scenario, const QJsonObject &entry)
{
    const QString path = scenario.value("log").toString();
    if (path.isEmpty())
        return;
    QFile f(path);
    if (f.open(QIODevice::Append))
        f.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + "\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    QString udid, target, root, source, op;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        auto next = [&](QString &into) {
            if (i + 1 >= args.size())
                return false;
            into = args.at(++i);
            return true;
        };
        bool ok = true;
        if (a == "-u")
            ok = next(udid);
        else if (a == "--target")
            ok = next(target);
        else if (a == "--root")
            ok = next(root);
        else if (a == "--source")
            ok = next(source);
        else if (a == "--backup" || a == "--restore")
            ok = op.isEmpty() && !(op = a.mid(2)).isEmpty();
        else
            ok = false;
        if (!ok)
            return usage();
    }
    if (udid.isEmpty() || target != udid || root.isEmpty() || op.isEmpty()
        || (op == "restore") != !source.isEmpty())
        return usage();

    QJsonObject scenario;
    const QString scenarioPath = qEnvironmentVariable("PELICORDE_MOBILEBACKUP_SCENARIO");
    if (!scenarioPath.isEmpty()) {
        const QJsonDocument doc = QJsonDocument::fromJson(readFile(scenarioPath));
        scenario = doc.object();
    }
    QJsonObject opScenario = scenario;
    const QJsonObject specific = scenario.value(op).toObject();
    for (auto it = specific.begin(); it != specific.end(); ++it)
        opScenario.insert(it.key(), it.value());

    const int durationMs = opScenario.value("durationMs").toInt(300);
    const QString version = opScenario.value("productVersion").toString("6.1.4");
    const bool stall = opScenario.value("stall").toBool();
    const bool crash = opScenario.value("crash").toBool();

    // The tool runs with the path given in the platform's own form.
    const QString rootPath = QDir::fromNativeSeparators(root);
    const QDir rootDir(rootPath);
    QJsonObject entry {
            {"args", QJsonArray::fromStringList(args)}, {"pid", qint64(::getpid())}, {"op", op}};

    const int steps = 10;
    if (op == "backup") {
        if (!rootDir.exists() && !QDir().mkpath(rootPath)) {
            say(stderr, "Error: cannot create the backup root " + rootPath.toUtf8());
            return 3;
        }
        const QString folder = rootDir.filePath(udid);
        const bool incremental = QFile::exists(QDir(folder).filePath("Status.plist"));
        entry.insert("incremental", incremental);
        appendLog(scenario, entry);
        QDir().mkpath(folder);
        say(stdout, incremental ? "Starting incremental backup..." : "Starting full backup...");
        if (opScenario.value("markStart").toBool(true))
            writeFile(QDir(folder).filePath("Status.plist"), statusPlist("new"));
        const QString from = opScenario.value("from").toString();
        const QStringList fromFiles = from.isEmpty()
                ? QStringList()
                : QDir(from).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        const QList<Item> items = from.isEmpty() ? phoneFiles() : QList<Item>();
        const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
        MbdbWriter mbdb;
        for (int step = 0; step < steps; ++step) {
            pause(durationMs / steps);
            for (qsizetype i = step; i < fromFiles.size(); i += steps) {
                const QString name = fromFiles.at(i);
                const QString target = QDir(folder).filePath(name);
                QFile::remove(target);
                if (!QFile::copy(QDir(from).filePath(name), target)) {
                    say(stderr, "Error: cannot copy " + name.toUtf8());
                    return 3;
                }
            }
            if (step < items.size()) {
                const Item &item = items.at(step);
                writeFile(QDir(folder).filePath(fileId(item)), item.contents);
                mbdb.file(item.domain, item.path, item.contents, now);
            }
            say(stdout, QByteArray("Backing up: ") + QByteArray::number((step + 1) * 10) + "%");
            if (step == steps / 2) {
                if (stall)
                    for (;;)
                        QThread::sleep(3600);
                if (crash)
                    std::abort();
            }
        }
        writeFile(QDir(folder).filePath("Info.plist"), infoPlist(udid, version));
        if (from.isEmpty()) {
            writeFile(QDir(folder).filePath("Manifest.plist"), manifestPlist(udid, version));
            writeFile(QDir(folder).filePath("Manifest.mbdb"), mbdb.bytes());
        }
        if (!opScenario.value("unfinished").toBool())
            writeFile(QDir(folder).filePath("Status.plist"), statusPlist("finished"));
        say(stdout, "Backup finished.");
    } else {
        const QDir folder(rootDir.filePath(source));
        int restored = 0;
        const bool complete = folder.exists("Manifest.plist") && folder.exists("Manifest.mbdb")
                && folder.exists("Status.plist");
        if (complete)
            restored = int(folder.entryList(QDir::Files).size());
        entry.insert("restoredFiles", restored);
        appendLog(scenario, entry);
        if (!complete) {
            say(stderr, "Error: no complete backup in " + folder.path().toUtf8());
            return 4;
        }
        say(stdout, "Starting restore...");
        for (int step = 0; step < steps; ++step) {
            pause(durationMs / steps);
            say(stdout, QByteArray("Restoring: ") + QByteArray::number((step + 1) * 10) + "%");
            if (step == steps / 2) {
                if (stall)
                    for (;;)
                        QThread::sleep(3600);
                if (crash)
                    std::abort();
            }
        }
    }

    const QString out = opScenario.value("stdout").toString();
    const QString err = opScenario.value("stderr").toString();
    if (!out.isEmpty())
        say(stdout, out.toUtf8());
    if (!err.isEmpty())
        say(stderr, err.toUtf8());
    return opScenario.value("exitCode").toInt(0);
}
