#include "store/datafolder.h"
#include "tests/support/testenv.h"

#include <QDesktopServices>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <unistd.h>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Collects the URLs that the desktop would have opened.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

} // namespace

class TestDataFolder : public QObject
{
    Q_OBJECT
private:
    TestEnv *env = nullptr;
    QString xdg() const { return env->home() + "/.local/share"; }
    QString defaultFolder() const { return xdg() + "/Quillmarsh/A4E1C07B95D2368F0B7C4E19D3A5F826"; }

private slots:
    void init()
    {
        env = new TestEnv;
        resetDataFolderCache();
    }
    void cleanup()
    {
        delete env;
        env = nullptr;
        resetDataFolderCache();
    }

    void defaultLocation()
    {
        QVERIFY(!QFileInfo::exists(defaultFolder()));
        QCOMPARE(dataFolder().absolutePath(), defaultFolder());
        QVERIFY(QFileInfo(defaultFolder()).isDir());
        QCOMPARE(localDatabasesFolder().absolutePath(), defaultFolder() + "/local_databases");
        QVERIFY(QFileInfo(defaultFolder() + "/local_databases").isDir());
        // Removed behind the program's back: made again by the next call.
        QVERIFY(QDir(defaultFolder()).removeRecursively());
        QCOMPARE(dataFolder().absolutePath(), defaultFolder());
        QVERIFY(QFileInfo(defaultFolder()).isDir());
    }

    void xdgDataHome()
    {
        qputenv("XDG_DATA_HOME", "");
        QCOMPARE(defaultBaseFolder(), env->home() + "/.local/share/Quillmarsh");
        qputenv("XDG_DATA_HOME", "relative/path");
        QCOMPARE(defaultBaseFolder(), env->home() + "/.local/share/Quillmarsh");
        const QString other = env->makeDir("elsewhere");
        qputenv("XDG_DATA_HOME", other.toUtf8());
        QCOMPARE(defaultBaseFolder(), other + "/Quillmarsh");
        QCOMPARE(redirectFilePath(),
                 other + "/Quillmarsh/A4E1C07B95D2368F0B7C4E19D3A5F826.redirect");
    }

    void redirect_data()
    {
        QTest::addColumn<QByteArray>("content"); // "$T" stands for the target folder
        QTest::addColumn<bool>("redirected");
        QTest::newRow("existing folder") << QByteArray("$T") << true;
        QTest::newRow("with a line break") << QByteArray("$T\n") << false;
        QTest::newRow("with a blank") << QByteArray(" $T") << false;
        QTest::newRow("NUL ends the path") << QByteArray("$T\0garbage", 10) << true;
        QTest::newRow("missing folder") << QByteArray("$T/nope") << false;
        QTest::newRow("empty file") << QByteArray() << false;
        QTest::newRow("relative path") << QByteArray("no/such/relative") << false;
    }
    void redirect()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, redirected);
        const QString target = env->makeDir(QString::fromUtf8("Sms Data ü"));
        content.replace("$T", target.toUtf8());
        writeFile(redirectFilePath(), content);
        const QString expected
                = redirected ? target + "/A4E1C07B95D2368F0B7C4E19D3A5F826" : defaultFolder();
        QCOMPARE(readRedirectFolder(), redirected ? target : QString());
        QCOMPARE(dataFolder().absolutePath(), expected);
        QVERIFY(QFileInfo(expected).isDir());
    }

    void redirectIsReadOncePerProcess()
    {
        const QString first = env->makeDir("first");
        const QString second = env->makeDir("second");
        writeFile(redirectFilePath(), first.toUtf8());
        QCOMPARE(dataFolder().absolutePath(), first + "/A4E1C07B95D2368F0B7C4E19D3A5F826");
        writeRedirectFolder(second);
        QCOMPARE(readFile(redirectFilePath()), second.toUtf8()); // bare bytes, no line end
        QCOMPARE(readRedirectFolder(), second);
        QCOMPARE(dataFolder().absolutePath(), first + "/A4E1C07B95D2368F0B7C4E19D3A5F826");
        // A file cannot hold the data folder: such a redirect is ignored.
        const QString file = env->home() + "/plainfile";
        writeFile(file, "x");
        writeRedirectFolder(file);
        QCOMPARE(readRedirectFolder(), QString());
        // Nor does a relative path count, even where it exists from the
        // current working folder.
        const QString old = QDir::currentPath();
        QDir::setCurrent(env->home());
        writeRedirectFolder("second");
        QCOMPARE(readRedirectFolder(), QString());
        QDir::setCurrent(old);
    }

    void writeRedirectNeedsBrandFolder()
    {
        writeRedirectFolder(env->home());
        QVERIFY(!QFileInfo::exists(redirectFilePath()));
        QVERIFY(!QFileInfo::exists(defaultBaseFolder()));
    }

    void uniqueFilePath_data()
    {
        QTest::addColumn<QStringList>(
                "existing"); // names below the temp folder; "/" at the end: folder
        QTest::addColumn<QString>("path"); // below the temp folder
        QTest::addColumn<QString>("expected"); // below the temp folder
        QTest::newRow("free") << QStringList() << "messages.txt"
                              << "messages.txt";
        QTest::newRow("taken") << QStringList({"messages.txt"}) << "messages.txt"
                               << "messages(1).txt";
        QTest::newRow("next free")
                << QStringList({"messages.txt", "messages(1).txt", "messages(2).txt"})
                << "messages.txt"
                << "messages(3).txt";
        QTest::newRow("gap") << QStringList({"m.csv", "m(2).csv"}) << "m.csv"
                             << "m(1).csv";
        QTest::newRow("folder") << QStringList({"backup/"}) << "backup"
                                << "backup(1)";
        QTest::newRow("several dots") << QStringList({"a.b.c"}) << "a.b.c"
                                      << "a(1).c";
        QTest::newRow("leading dot") << QStringList({".profile"}) << ".profile"
                                     << "(1).profile";
        // A name holding what looks like a place marker keeps it as it is.
        QTest::newRow("percent digits") << QStringList({"100%1 off.txt", "100%1 off(1).txt"})
                                        << "100%1 off.txt"
                                        << "100%1 off(2).txt";
        QTest::newRow("file blocks folder name") << QStringList({"x", "x(1)/"}) << "x"
                                                 << "x(2)";
        QTest::newRow("nested") << QStringList({"sub/r.pdf"}) << "sub/r.pdf"
                                << "sub/r(1).pdf";
    }
    void uniqueFilePath()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QTemporaryDir tmp;
        for (const QString &e : existing) {
            if (e.endsWith('/'))
                QVERIFY(QDir().mkpath(tmp.filePath(e)));
            else
                writeFile(tmp.filePath(e), "x");
        }
        QCOMPARE(::uniqueFilePath(tmp.filePath(path)), tmp.filePath(expected));
    }

    void uniqueFileNamesRememberTheNextNumber()
    {
        QTemporaryDir tmp;
        auto touch = [](const QString &path) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        };
        for (const char *name : {"image.jpg", "image(2).jpg", "other.jpg"})
            touch(tmp.filePath(name));
        UniqueFileNames names;
        QStringList got;
        for (int i = 0; i < 4; ++i) {
            const QString p = names.path(tmp.filePath("image.jpg"));
            touch(p);
            got << QFileInfo(p).fileName();
        }
        QCOMPARE(got, (QStringList {"image(1).jpg", "image(3).jpg", "image(4).jpg", "image(5).jpg"}));
        // A free name is handed out as it is; a number taken behind the
        // job's back is still never handed out.
        QCOMPARE(names.path(tmp.filePath("fresh.png")), tmp.filePath("fresh.png"));
        touch(tmp.filePath("image(6).jpg"));
        QCOMPARE(names.path(tmp.filePath("image.jpg")), tmp.filePath("image(7).jpg"));

        // Thousands of files of one name: each name is looked at about once,
        // not every taken number again for every file.
        const qint64 before = names.probes();
        constexpr int kRepeats = 3000;
        for (int i = 0; i < kRepeats; ++i)
            touch(names.path(tmp.filePath("many.jpg")));
        QVERIFY2(names.probes() - before <= 2 * kRepeats, qPrintable(QString::number(names.probes())));
        QCOMPARE(QDir(tmp.path()).entryList({"many*"}).size(), kRepeats);
        QVERIFY(QFileInfo::exists(tmp.filePath(QString("many(%1).jpg").arg(kRepeats - 1))));
    }

    void uniqueFilePathEdges()
    {
        // A free relative path comes back as it is.
        QCOMPARE(::uniqueFilePath("surely/not/here.txt"), QString("surely/not/here.txt"));
        QTemporaryDir tmp;
        // A taken relative path gives an absolute numbered one.
        const QString old = QDir::currentPath();
        QDir::setCurrent(tmp.path());
        writeFile(tmp.filePath("r.txt"), "x");
        QCOMPARE(::uniqueFilePath("r.txt"), tmp.filePath("r(1).txt"));
        QDir::setCurrent(old);
        // A dangling link is taken: writing there would go through it.
        QVERIFY(QFile::link(tmp.filePath("gone"), tmp.filePath("link.txt")));
        QCOMPARE(::uniqueFilePath(tmp.filePath("link.txt")), tmp.filePath("link(1).txt"));
    }

    void sanitizeFileName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("all forbidden, trimmed") << " a/b:c*?.txt "
                                                << "abc.txt";
        QTest::newRow("only forbidden") << "\\/:*?\"<>|"
                                        << "";
        QTest::newRow("plain") << "John Smith (2)"
                               << "John Smith (2)";
        QTest::newRow("unicode kept")
                << QString::fromUtf8("Zoë 🙂") << QString::fromUtf8("Zoë 🙂");
        QTest::newRow("control characters kept") << "a\tb\x01"
                                                 << "a\tb\x01";
        QTest::newRow("trim after removal") << "  <name>  "
                                            << "name";
        QTest::newRow("dots kept") << "..\\..\\x"
                                   << "....x";
        QTest::newRow("inner blanks kept") << "a  b"
                                           << "a  b";
    }
    void sanitizeFileName()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(::sanitizeFileName(name), expected);
    }

    void md5Hex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("digest");
        QTest::newRow("empty") << ""
                               << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("abc") << "abc"
                             << "900150983cd24fb0d6963f7d28e17f72";
        QTest::newRow("utf-8") << QString::fromUtf8("ü€") << "692010ce814aec196e81dfdd38d997ba";
    }
    void md5Hex()
    {
        QFETCH(QString, text);
        QFETCH(QString, digest);
        QCOMPARE(::md5Hex(text), digest);
    }

    // Hidden entries go too; links are removed without being followed.
    void removeFolderRecursively()
    {
        QTemporaryDir tmp;
        const QString victim = tmp.filePath("victim");
        const QString outside = tmp.filePath("outside");
        writeFile(outside + "/keep.txt", "keep");
        writeFile(outside + "/sub/.keep", "keep");
        writeFile(victim + "/a.txt", "a");
        writeFile(victim + "/.dotfile", "h");
        writeFile(victim + "/.hidden/inner/.x", "h");
        writeFile(victim + "/deep/er/file", "f");
        QVERIFY(QFile::link(outside, victim + "/link-to-folder"));
        QVERIFY(QFile::link(outside + "/keep.txt", victim + "/deep/link-to-file"));
        QVERIFY(QFile::link(tmp.filePath("nowhere"), victim + "/.dangling"));
        QVERIFY(QFile::link(victim, victim + "/deep/loop"));

        ::removeFolderRecursively(victim);
        QVERIFY(!QFileInfo::exists(victim));
        QVERIFY(!QFileInfo(victim).isSymLink());
        QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("keep"));
        QCOMPARE(readFile(outside + "/sub/.keep"), QByteArray("keep"));

        // Given a link to a folder, only the link goes.
        const QString link = tmp.filePath("link");
        QVERIFY(QFile::link(outside, link));
        ::removeFolderRecursively(link);
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("keep"));

        // Nothing there, or a plain file: nothing happens.
        ::removeFolderRecursively(tmp.filePath("missing"));
        ::removeFolderRecursively(outside + "/keep.txt");
        QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("keep"));
    }

    void removeFolderKeepsWhatItCannotDelete()
    {
        if (geteuid() == 0)
            QSKIP("permissions do not bind root");
        QTemporaryDir tmp;
        const QString victim = tmp.filePath("v");
        writeFile(victim + "/locked/f", "x");
        writeFile(victim + "/free", "x");
        QFile::setPermissions(victim + "/locked", QFile::ReadOwner | QFile::ExeOwner);
        ::removeFolderRecursively(victim);
        QVERIFY(QFileInfo::exists(victim + "/locked/f"));
        QVERIFY(!QFileInfo::exists(victim + "/free"));
        QFile::setPermissions(victim + "/locked",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void desktopOpen()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        shellOpen("https://example.invalid/help?x=1");
        QTemporaryDir tmp;
        shellOpen(tmp.filePath("a b.txt"));
        openInExplorer(tmp.path());
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.urls.size(), 3);
        QCOMPARE(catcher.urls[0], QUrl("https://example.invalid/help?x=1"));
        QCOMPARE(catcher.urls[1], QUrl::fromLocalFile(tmp.filePath("a b.txt")));
        QCOMPARE(catcher.urls[2], QUrl::fromLocalFile(tmp.path()));
    }
};

QTEST_MAIN(TestDataFolder)
#include "tst_datafolder.moc"
