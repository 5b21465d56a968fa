#include "backup/backupmanifest.h"
#include "tests/support/fakebackup.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtTest>

#include <functional>
#include <stdexcept>

// Backup folders, their Manifest.plist and the file tree built from their
// Manifest.mbdb, on backups made by the test fixture.
class TestBackup : public QObject
{
    Q_OBJECT

    TestEnv m_env;

    static QString errorOf(const std::function<void()> &f)
    {
        try {
            f();
        } catch (const std::runtime_error &e) {
            return QString::fromUtf8(e.what());
        }
        return {};
    }

    // The node at a "/"-separated tree path, or null.
    static BackupFileNode *at(const BackupManifest &m, const QString &treePath)
    {
        BackupFileNode *node = const_cast<BackupFileNode *>(&m.root);
        for (const QString &name : treePath.split('/')) {
            node = node->child(name);
            if (!node)
                return nullptr;
        }
        return node;
    }

    static void walk(const BackupFileNode *node,
                     const std::function<void(const BackupFileNode *)> &f)
    {
        for (const BackupFileNode *c : node->children) {
            f(c);
            walk(c, f);
        }
    }

    QString typicalBackup(const QString &name, PyPlist::Format format = PyPlist::Xml)
    {
        FakeBackup b(m_env.makeDir("backups/" + name));
        b.addTypicalPhone();
        b.write(format);
        return b.folder();
    }

private slots:
    void readsDeviceFacts_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("xml") << int(PyPlist::Xml);
        QTest::newRow("binary") << int(PyPlist::Binary);
    }
    void readsDeviceFacts()
    {
        QFETCH(int, format);
        FakeBackup b(m_env.makeDir(QString("facts-%1").arg(format)));
        b.device.encrypted = true;
        b.device.keybag = QByteArray("VERS\x00\x00\x00\x04\x00\x00\x00\x03", 12);
        b.write(PyPlist::Format(format));

        BackupManifest m(b.folder());
        m.loadManifestPlist();
        const BackupDeviceInfo &d = m.deviceInfo;
        QCOMPARE(d.UniqueDeviceID, b.device.udid);
        QCOMPARE(d.DeviceName, QString("Work Phone"));
        QCOMPARE(d.ProductType, QString("iPhone5,2"));
        QCOMPARE(d.ProductVersion, QString("6.1.4"));
        QCOMPARE(d.SerialNumber, QString("C39K2ABCDEF1"));
        QCOMPARE(d.Date, QDateTime(QDate(2013, 6, 2), QTime(9, 41, 7), Qt::UTC));
        QCOMPARE(d.IsEncrypted, true);
        QCOMPARE(d.BackupKeyBag, b.device.keybag);
        QCOMPARE(m.displayName, QString("Work Phone-facts-%1").arg(format));
    }

    void displayNameFromFolderName_data()
    {
        const QString udid = FakeBackup::Device().udid;
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::newRow("the id") << udid << "Work Phone";
        QTest::newRow("id and suffix") << udid + "-20130602-094107"
                                       << "Work Phone-20130602-094107";
        QTest::newRow("other name") << "MyBackup"
                                    << "Work Phone-MyBackup";
        QTest::newRow("id in upper case") << udid.toUpper() << "Work Phone-" + udid.toUpper();
    }
    void displayNameFromFolderName()
    {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        FakeBackup b(m_env.makeDir("names/" + folder));
        b.write();
        BackupManifest m(b.folder() + "/"); // a trailing separator changes nothing
        m.loadManifestPlist();
        QCOMPARE(m.displayName, name);
    }

    // Missing keys, wrong types and unreadable lists leave the defaults.
    void incompleteManifests()
    {
        FakeBackup noLockdown(m_env.makeDir("incomplete/nolockdown"));
        noLockdown.device.withLockdown = false;
        noLockdown.device.date = QDateTime();
        noLockdown.write(PyPlist::Binary);
        BackupManifest m(noLockdown.folder());
        m.loadManifestPlist();
        QVERIFY(m.deviceInfo.UniqueDeviceID.isEmpty());
        QVERIFY(m.deviceInfo.DeviceName.isEmpty());
        QVERIFY(m.deviceInfo.Date.isNull());
        QCOMPARE(m.displayName, QString("nolockdown"));

        const QString odd = m_env.makeDir("incomplete/odd");
        QFile f(odd + "/Manifest.plist");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(PyPlist::dump("{'Lockdown': {'DeviceName': 7, 'UniqueDeviceID': ['x']},"
                              " 'IsEncrypted': 'yes', 'Date': 'today', 'BackupKeyBag': 'text'}",
                              PyPlist::Xml));
        f.close();
        BackupManifest o(odd);
        o.loadManifestPlist();
        QVERIFY(o.deviceInfo.DeviceName.isEmpty());
        QVERIFY(o.deviceInfo.UniqueDeviceID.isEmpty());
        QVERIFY(!o.deviceInfo.IsEncrypted);
        QVERIFY(o.deviceInfo.Date.isNull());
        QVERIFY(o.deviceInfo.BackupKeyBag.isEmpty());

        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("bplist00 this is not a property list");
        f.close();
        o.loadManifestPlist();
        QVERIFY(o.deviceInfo.DeviceName.isEmpty());
    }

    void missingManifestPlistKeepsState()
    {
        const QString folder = typicalBackup("missing");
        BackupManifest m(folder);
        m.loadManifestPlist();
        QVERIFY(QFile::remove(folder + "/Manifest.plist"));
        const QString error = errorOf([&] { m.loadManifestPlist(); });
        QCOMPARE(error, "Cannot find " + QDir(folder).absoluteFilePath("Manifest.plist"));
        QCOMPARE(m.deviceInfo.DeviceName, QString("Work Phone"));
        QCOMPARE(m.displayName, QString("Work Phone-missing"));
    }

    void defaultFolderAndBackupDiscovery()
    {
        QCOMPARE(itunesBackupFolder().absolutePath(),
                 m_env.home() + "/.local/share/Apple Computer/MobileSync/Backup");
        const QString root = m_env.makeDir("discover");
        typicalBackup("../discover/b-second");
        typicalBackup("../discover/a-first");
        m_env.makeDir("discover/no-manifest");
        FakeBackup half(m_env.makeDir("discover/plist-only"));
        half.writeManifestPlist(PyPlist::Xml);
        QFile stray(root + "/stray-file");
        QVERIFY(stray.open(QIODevice::WriteOnly));
        QCOMPARE(findBackupFolders(QDir(root)),
                 QStringList({root + "/a-first", root + "/b-second"}));
    }

    void cacheKeyHashesTheAbsolutePath()
    {
        const QString folder = typicalBackup("keyed");
        const QString want = QString::fromLatin1(
                QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Md5).toHex());
        QCOMPARE(backupCacheKey(BackupManifest(folder)), want);
        QCOMPARE(backupCacheKey(BackupManifest(folder + "/")), want);
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_env.home()));
        QCOMPARE(backupCacheKey(BackupManifest("backups/keyed")), want);
        QCOMPARE(backupCacheKey(BackupManifest("./backups/../backups/keyed")), want);
        QVERIFY(QDir::setCurrent(cwd));
        QCOMPARE(want.size(), 32);
    }

    // The tree of a phone's backup: domains merged by path, applications
    // below "Applications", and the well-known files sorted out.
    void buildsTheTreeOfARealisticBackup()
    {
        BackupManifest m(typicalBackup("tree"));
        m.loadManifestMbdb();

        QVERIFY(at(m, "Applications/com.example.notes/Documents/a.txt"));
        QCOMPARE(at(m, "Applications/com.example.notes")->record.domain.toString(),
                 QString("AppDomain-com.example.notes"));
        QVERIFY(at(m, "Applications")->record.domain.isAbsent());
        QCOMPARE(at(m, "Applications/com.example.notes/Documents/a.txt")->treePath(),
                 QString("Applications/com.example.notes/Documents/a.txt"));
        // "Library" and "Library/SMS" are HomeDomain's nodes; MediaDomain's
        // attachments hang below them.
        BackupFileNode *sms = at(m, "Library/SMS");
        QCOMPARE(sms->record.domain.toString(), QString("HomeDomain"));
        QVERIFY(sms->child("sms.db"));
        QCOMPARE(sms->child("Attachments")->record.domain.toString(), QString("MediaDomain"));
        // A file whose folders have no records hangs below the root.
        QVERIFY(m.root.child("com.apple.springboard.plist"));
        QVERIFY(at(m, "Library/Caches") == nullptr);
        QVERIFY(m.root.child("link")->record.isSymlink());
        // Domain roots make no nodes; every name is a plain name.
        walk(&m.root, [](const BackupFileNode *n) {
            QVERIFY(!n->name.isEmpty());
            QVERIFY(n->name != "." && n->name != ".." && !n->name.contains('/'));
        });

        const QList<QPair<BackupFileNode *, QString>> known = {
                {m.smsDbNode, "HomeDomain-Library/SMS/sms.db"},
                {m.addressBookNode, "HomeDomain-Library/AddressBook/AddressBook.sqlitedb"},
                {m.addressBookImagesNode,
                 "HomeDomain-Library/AddressBook/AddressBookImages.sqlitedb"},
                {m.notesNode, "HomeDomain-Library/Notes/notes.sqlite"},
                {m.calendarNode, "HomeDomain-Library/Calendar/Calendar.sqlitedb"},
                {m.calendarExtrasNode, "HomeDomain-Library/Calendar/Extras.db"},
                {m.recordingsDbNode, "MediaDomain-Media/Recordings/Recordings.db"},
                {m.voicemailDbNode, "HomeDomain-Library/Voicemail/voicemail.db"},
                {m.bookmarksNode, "HomeDomain-Library/Safari/Bookmarks.db"},
                {m.callHistoryNode, "WirelessDomain-Library/CallHistory/call_history.db"},
                {m.callHistoryStoreNode, "HomeDomain-Library/CallHistoryDB/CallHistory.storedata"},
        };
        for (const auto &[node, where] : known) {
            QVERIFY2(node, qPrintable(where));
            QCOMPARE(node->record.domain.toString() + "-" + node->record.path.toString(), where);
        }
        QCOMPARE(m.smsDbNode->record.fileId(), QString("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
        QVERIFY(QFile::exists(m.folder.filePath(m.smsDbNode->record.fileId())));

        auto names = [](const QList<BackupFileNode *> &nodes) {
            QStringList out;
            for (const BackupFileNode *n : nodes)
                out << n->name;
            return out;
        };
        QCOMPARE(names(m.photos), QStringList({"IMG_0001.JPG", "IMG_0003.png"}));
        QCOMPARE(names(m.videos), QStringList({"IMG_0002.MOV"}));
        QCOMPARE(m.thumbnails.keys(), QStringList({"IMG_0001", "IMG_0003"}));
        QCOMPARE(m.smsParts.keys(), QStringList({"3-1"}));
        QCOMPARE(m.smsAttachments.keys(), QStringList({"ab/IMG_0001", "ab/empty"}));
        // The empty attachment is a file, not a folder, and gets its keys.
        QCOMPARE(m.smsAttachments.value("ab/empty")->name, QString("empty.txt"));
        QCOMPARE(m.smsPreviews.keys(),
                 QStringList({
                         "/var/mobile/Library/SMS/Attachments/ab/CD1234/IMG_0001",
                         "/var/mobile/Library/SMS/Attachments/ab/CD1234/IMG_0001-preview",
                         "/var/mobile/Library/SMS/Attachments/ab/CD1234/IMG_0001-preview-left",
                         "/var/mobile/Library/SMS/Attachments/ab/IMG_0001",
                         "/var/mobile/Library/SMS/Attachments/ab/empty",
                         "/var/mobile/Library/SMS/Parts/0f/3/3-1",
                 }));
        QCOMPARE(
                m.smsPreviews.value("/var/mobile/Library/SMS/Attachments/ab/CD1234/IMG_0001")->name,
                QString("IMG_0001.MOV"));
        QCOMPARE(m.voicemails.keys(), QList<int>({7, 12}));
        QCOMPARE(m.recordings.keys(), QStringList({"memo 1.m4a"}));
    }

    void treeIsBuiltOnce()
    {
        const QString folder = typicalBackup("once");
        BackupManifest m(folder);
        m.loadManifestMbdb();
        const qsizetype top = m.root.children.size();
        FakeBackup other(folder);
        other.addFile("HomeDomain", "new.txt", "x");
        other.writeMbdb();
        m.loadManifestMbdb();
        QCOMPARE(m.root.children.size(), top);
        QVERIFY(!m.root.child("new.txt"));
    }

    // Names from the backup that could climb out of a folder, or are empty,
    // never become nodes or category entries.
    void hostilePathsMakeNoNodes()
    {
        FakeBackup b(m_env.makeDir("backups/hostile"));
        b.addFolder("HomeDomain", "Library");
        b.addFile("HomeDomain", "Library/ok.txt", "ok");
        const QStringList bad = {"../escape.txt",
                                 "Library/../../escape2.txt",
                                 "/etc/passwd",
                                 "Library//double.txt",
                                 "Library/./dot.txt",
                                 "..",
                                 ".",
                                 "Library/x\\..\\y.txt"};
        for (const QString &p : bad)
            b.addFile("HomeDomain", p, "bad");
        b.addFile("MediaDomain", "Library/SMS/../../../var/x.jpg", "bad");
        b.addFile("MediaDomain", "Library/SMS/Attachments/..", "bad");
        b.addFile("AppDomain-..", "Documents/x.txt", "bad");
        b.addFolder("AppDomain-../../outside", "");
        b.addFile("AppDomain-a/b", "c.txt", "bad");
        b.addFile("AppDomain-", "d.txt", "bad");
        b.write();

        BackupManifest m(b.folder());
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("Manifest.mbdb: 14 records with unusable names"));
        m.loadManifestMbdb();
        QStringList paths;
        walk(&m.root, [&](const BackupFileNode *n) { paths << n->treePath(); });
        paths.sort();
        QCOMPARE(paths, QStringList({"Library", "Library/ok.txt"}));
        QVERIFY(m.smsPreviews.isEmpty());
        QVERIFY(m.smsAttachments.isEmpty());
    }

    // Domains that hold the same path: folders stay one node, and every file
    // of every domain keeps a node of its own that extracts its own bytes,
    // also where a later domain's folder stands in the place of a file.
    void samePathInTwoDomainsKeepsEveryFile()
    {
        FakeBackup b(m_env.makeDir("backups/domains"));
        for (const char *domain : {"HomeDomain", "RootDomain"}) {
            b.addFolder(domain, "Library");
            b.addFolder(domain, "Library/Preferences");
        }
        b.addFile("HomeDomain", "Library/Preferences/com.apple.x.plist", "home x");
        b.addFile("RootDomain", "Library/Preferences/com.apple.x.plist", "root x");
        b.addFile("RootDomain", "Library/Preferences/only-root.plist", "root only");
        b.addFile("HomeDomain", "Library/Thing", "home thing");
        b.addFolder("RootDomain", "Library/Thing");
        b.addFile("RootDomain", "Library/Thing/inner.txt", "root inner");
        b.write();

        BackupManifest m(b.folder());
        m.loadManifestMbdb();
        QMap<QString, QString> files; // "domain-path" -> tree path
        QStringList folders;
        walk(&m.root, [&](const BackupFileNode *n) {
            const QString key = n->record.domain.toString() + "-" + n->record.path.toString();
            if (n->record.isDirectory())
                folders << n->treePath();
            else
                files.insert(key, n->treePath());
        });
        QCOMPARE(files,
                 (QMap<QString, QString> {
                         {"HomeDomain-Library/Preferences/com.apple.x.plist",
                          "Library/Preferences/com.apple.x.plist"},
                         {"RootDomain-Library/Preferences/com.apple.x.plist",
                          "Library/Preferences/com.apple.x.plist"},
                         {"RootDomain-Library/Preferences/only-root.plist",
                          "Library/Preferences/only-root.plist"},
                         {"HomeDomain-Library/Thing", "Library/Thing"},
                         {"RootDomain-Library/Thing/inner.txt", "Library/Thing/inner.txt"},
                 }));
        folders.sort();
        QCOMPARE(folders, QStringList({"Library", "Library/Preferences", "Library/Thing"}));
        QCOMPARE(m.root.children.size(), 1);

        // Each node extracts the bytes of its own record.
        QTemporaryDir out;
        int extracted = 0;
        walk(&m.root, [&](const BackupFileNode *n) {
            if (n->record.isDirectory())
                return;
            const QString target = out.filePath(QString::number(++extracted));
            m.extractBackupFile(n, target, nullptr, nullptr);
            QFile f(target);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray bytes = f.readAll();
            const QString domain = n->record.domain.toString();
            QVERIFY2(bytes.startsWith(domain.startsWith("Home") ? "home" : "root"),
                     qPrintable(n->treePath()));
        });
        QCOMPARE(extracted, 5);
    }

    // A backup file that is a folder, or missing, fails with an error that
    // names the file's id, domain and path.
    void extractionErrorsNameTheFile_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("a folder in the file's place") << true;
        QTest::newRow("file missing") << false;
    }
    void extractionErrorsNameTheFile()
    {
        QFETCH(bool, folder);
        FakeBackup b(m_env.makeDir(QString("backups/extract%1").arg(folder)));
        b.addFolder("HomeDomain", "Library");
        b.addFile("HomeDomain", "Library/notes.db", "notes");
        b.write();
        const QString id = FakeBackup::fileId("HomeDomain", "Library/notes.db");
        QVERIFY(QFile::remove(b.folder() + "/" + id));
        if (folder)
            QVERIFY(QDir().mkdir(b.folder() + "/" + id));
        BackupManifest m(b.folder());
        m.loadManifestMbdb();
        QTemporaryDir out;
        const QString error = errorOf([&] {
            m.extractBackupFile(at(m, "Library/notes.db"), out.filePath("x"), nullptr, nullptr);
        });
        QVERIFY2(error.contains(id), qPrintable(error));
        QVERIFY2(error.contains("HomeDomain/Library/notes.db"), qPrintable(error));
        QVERIFY(QDir(out.path()).isEmpty());
    }

    void damagedIndexLeavesTheTreeEmpty()
    {
        FakeBackup b(m_env.makeDir("backups/damaged"));
        b.addTypicalPhone();
        b.write();
        const QByteArray good = b.mbdbBytes();
        QFile f(b.folder() + "/Manifest.mbdb");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(good.left(good.size() - 3));
        f.close();

        BackupManifest m(b.folder());
        QVERIFY(errorOf([&] { m.loadManifestMbdb(); }).contains("is cut short"));
        QVERIFY(m.root.children.isEmpty());
        QVERIFY(!m.smsDbNode);

        QFile::remove(b.folder() + "/Manifest.mbdb");
        QVERIFY(errorOf([&] { m.loadManifestMbdb(); }).startsWith("Cannot open"));
        b.writeMbdb();
        m.loadManifestMbdb();
        QVERIFY(m.smsDbNode);
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_backup.moc"
