// Attachment files that are no plain files: a pipe (FIFO) where a picture,
// card or text should be, and a symbolic link from the store to a file
// elsewhere on the computer. Every place that reads an attachment file (the
// conversation view's helpers, HTML and PDF export, extraction, the copy
// into a local database, the conversion of old databases) must neither hang
// on the pipe nor read what the link points to. A watchdog thread unblocks
// a reader stuck on a pipe (by opening it for writing), so that a fault
// fails the test instead of hanging it.

#include "jobs/attachmentextractthread.h"
#include "jobs/backupsmsthread.h"
#include "jobs/bubblemarkup.h"
#include "jobs/contactcard.h"
#include "jobs/exportmessagesthread.h"
#include "jobs/updatelocaldbthread.h"
#include "store/attachmentfile.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"
#include "ui/bubbleviewmgr.h"
#include "tests/support/jobrun.h"
#include "tests/support/messagefixture.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kSecret("SECRET-BYTES-OF-ANOTHER-FILE");

// While armed, after a grace time, opens every pipe below a folder for
// writing and closes it again, which lets a reader stuck in open() or
// read() go on (with an empty file). fired() tells whether it had to.
class PipeWatchdog
{
public:
    PipeWatchdog(const QStringList &pipes, int graceMs = 15000)
        : m_pipes(pipes)
    {
        m_thread = std::thread([this, graceMs] {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_cv.wait_for(lock, std::chrono::milliseconds(graceMs), [this] { return m_done; }))
                return;
            m_fired = true;
            while (!m_done) {
                for (const QString &p : std::as_const(m_pipes)) {
                    const int fd = ::open(QFile::encodeName(p).constData(), O_WRONLY | O_NONBLOCK);
                    if (fd >= 0)
                        ::close(fd);
                }
                m_cv.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_done; });
            }
        });
    }
    ~PipeWatchdog() { disarm(); }
    // Stops the watchdog; true when it never had to step in.
    bool disarm()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return !m_fired;
    }

private:
    QStringList m_pipes;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::atomic<bool> m_fired {false};
    std::thread m_thread;
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray jpegBytes(const QColor &color, const QByteArray &comment = {})
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(color);
    if (!comment.isEmpty())
        image.setText(QStringLiteral("Comment"), QString::fromLatin1(comment));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

QByteArray vcardBytes(const QString &name)
{
    return QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%1\r\nTEL:+15550001\r\nEND:VCARD\r\n")
            .arg(name)
            .toUtf8();
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The regular files below folder whose bytes equal one of bytes.
QStringList filesHolding(const QString &folder, const QList<QByteArray> &bytes)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        if (info.isSymLink() || !info.isFile())
            continue;
        const QByteArray content = fileBytes(path);
        for (const QByteArray &b : bytes)
            if (content.contains(b))
                out << path;
    }
    return out;
}

// Every pipe below folder.
QStringList pipesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::System | QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode))
            out << path;
    }
    return out;
}

// Attachment files of each kind a test needs: plain files in the store,
// pipes in the store, and links in the store to files elsewhere.
struct Files
{
    QString store; // the store's attachment folder
    QString elsewhere; // a folder outside the store
    QByteArray plainJpeg;
    QByteArray secretJpeg;

    explicit Files(const QString &root)
        : store(root + "/store/Attachments")
        , elsewhere(root + "/elsewhere")
    {
        plainJpeg = jpegBytes(Qt::green);
        secretJpeg = jpegBytes(Qt::red, kSecret);
        QDir().mkpath(store);
        writeFile(store + "/plain.jpg", plainJpeg);
        writeFile(store + "/plain.vcf", vcardBytes("Plain Person"));
        writeFile(store + "/plain.txt", "plain text attachment");
        writeFile(elsewhere + "/secret.jpg", secretJpeg);
        writeFile(elsewhere + "/secret.vcf", vcardBytes(QString::fromLatin1(kSecret)));
        writeFile(elsewhere + "/secret.txt", kSecret);
        for (const char *ext : {"jpg", "vcf", "txt"}) {
            const QString pipe = store + "/pipe." + ext;
            if (mkfifo(QFile::encodeName(pipe).constData(), 0600) != 0)
                qFatal("mkfifo failed");
            QVERIFY(QFile::link(elsewhere + "/secret." + ext, store + "/link." + ext));
        }
    }
    QString path(const QString &kind, const QString &ext) const
    {
        return store + QLatin1Char('/') + kind + QLatin1Char('.') + ext;
    }
    QStringList pipes() const { return pipesBelow(store); }
};

QString mimeOf(const QString &ext)
{
    if (ext == "jpg")
        return "image/jpeg";
    if (ext == "vcf")
        return "text/x-vcard";
    return "text/plain";
}

} // namespace

class TestAttachmentFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void onlyRegularFilesAreOpened_data();
    void onlyRegularFilesAreOpened();
    void viewHelpersNeitherBlockNorFollowLinks_data();
    void viewHelpersNeitherBlockNorFollowLinks();
    void viewLinksOpenOnlyRegularFiles_data();
    void viewLinksOpenOnlyRegularFiles();
    void exportsNeitherBlockNorFollowLinks_data();
    void exportsNeitherBlockNorFollowLinks();
    void extractionTakesOnlyRegularFiles();
    void extractionOfOneNameRepeatedThousandsOfTimes();
    void backupCopiesOnlyRegularFiles();
    void conversionNeverBlocksOnPipes();

private:
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<QTemporaryDir> m_work;
    QTranslator m_translator;
    QString work(const QString &name) const { return m_work->path() + QLatin1Char('/') + name; }
};

void TestAttachmentFiles::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    resetDataFolderCache();
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
}

void TestAttachmentFiles::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    removeFolderRecursively(localDatabasesFolder().absolutePath());
    removeFolderRecursively(dataFolder().absoluteFilePath("data"));
    // Cards and thumbnails are cached by path: every test draws afresh.
    removeFolderRecursively(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
}

// ------------------------------------------------------------ the helper

void TestAttachmentFiles::onlyRegularFilesAreOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("readable");
    QTest::newRow("plain file") << "plain" << true;
    QTest::newRow("empty file") << "empty" << true;
    QTest::newRow("pipe") << "pipe" << false;
    QTest::newRow("link to a file elsewhere") << "link" << false;
    QTest::newRow("link to a file beside it") << "innerlink" << false;
    QTest::newRow("link to a pipe") << "pipelink" << false;
    QTest::newRow("dangling link") << "dangling" << false;
    QTest::newRow("folder") << "folder" << false;
    QTest::newRow("device") << "device" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("empty name") << "" << false;
}

void TestAttachmentFiles::onlyRegularFilesAreOpened()
{
    QFETCH(QString, kind);
    QFETCH(bool, readable);
    const Files f(work("files"));
    writeFile(f.store + "/empty.txt", QByteArray());
    QVERIFY(QFile::link(f.store + "/plain.txt", f.store + "/innerlink.txt"));
    QVERIFY(QFile::link(f.store + "/pipe.txt", f.store + "/pipelink.txt"));
    QVERIFY(QFile::link(f.store + "/gone.txt", f.store + "/dangling.txt"));
    QVERIFY(QDir().mkpath(f.store + "/folder.txt"));
    QString path = kind.isEmpty() ? QString() : f.path(kind, "txt");
    if (kind == "device")
        path = "/dev/zero";

    PipeWatchdog watchdog(f.pipes());
    QCOMPARE(isAttachmentFile(path), readable);
    QFile file;
    QString error;
    QCOMPARE(openAttachmentFile(file, path, &error), readable);
    QCOMPARE(error.isEmpty(), readable);
    QCOMPARE(file.isOpen(), readable);
    file.close();
    bool complete = false;
    const QByteArray bytes = readAttachmentFile(path, 1 << 20, &complete);
    QCOMPARE(!bytes.isNull(), readable);
    QCOMPARE(complete, readable);
    QVERIFY(!bytes.contains(kSecret));
    if (kind == "plain") {
        QCOMPARE(bytes, QByteArray("plain text attachment"));
        QCOMPARE(readAttachmentFile(path, 5, &complete), QByteArray("plain"));
        QVERIFY(!complete);
    }
    // A copy is made only of a readable file, and never over another.
    const QString copy = work("copy.txt");
    QCOMPARE(copyAttachmentFile(path, copy, &error), readable);
    QCOMPARE(QFileInfo::exists(copy), readable);
    if (readable) {
        QCOMPARE(fileBytes(copy), bytes);
        QVERIFY(!copyAttachmentFile(path, copy, &error));
        QCOMPARE(fileBytes(copy), bytes);
    }
    // The copy that stages files for a backup follows the same rule.
    const QString staged = work("staged.txt");
    QCOMPARE(copyFileSynced(path, staged), readable);
    QCOMPARE(QFileInfo::exists(staged), readable);
    QVERIFY(!fileBytes(staged).contains(kSecret));
    QVERIFY(loadAttachmentPicture(path).isNull());
    QVERIFY2(watchdog.disarm(), "a reader blocked on the pipe");
}

// ------------------------------------------------- conversation view helpers

void TestAttachmentFiles::viewHelpersNeitherBlockNorFollowLinks_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("ext");
    for (const char *kind : {"pipe", "link"})
        for (const char *ext : {"jpg", "vcf", "txt"})
            QTest::addRow("%s %s", kind, ext) << kind << ext;
}

void TestAttachmentFiles::viewHelpersNeitherBlockNorFollowLinks()
{
    QFETCH(QString, kind);
    QFETCH(QString, ext);
    const Files f(work("files"));
    MessageFixture fx;
    _MsgHandle *bob = fx.handle("+15550002", "Bob");
    _MsgMessage *m = fx.message(fx.chat({bob}), bob, "look", 500000000);
    _MsgAttachment *a = fx.attach(m, mimeOf(ext), f.path(kind, ext));

    // What the conversation view does for a page, on the GUI thread.
    PipeWatchdog watchdog(f.pipes());
    QElapsedTimer timer;
    timer.start();
    const QString thumb = makeThumbnail(*a);
    const QString card = renderContactCard(a->localPath);
    QString html;
    qint64 header = 0;
    appendMessageMarkup(html, *m, header, viewAttachmentRefs());
    QVERIFY2(watchdog.disarm(), "the view blocked on a pipe");
    QVERIFY(timer.elapsed() < 10000);

    // Nothing of the file elsewhere is shown or kept.
    QVERIFY(thumb.isEmpty() || !QFileInfo::exists(thumb));
    QVERIFY(card.isEmpty() || !QFileInfo::exists(card));
    QVERIFY(!html.contains(QString::fromLatin1(kSecret)));
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QCOMPARE(filesHolding(cache, {kSecret}), QStringList());
    QDirIterator it(cache, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        // A thumbnail of the red picture elsewhere is a red picture.
        const QImage img(p);
        QVERIFY2(img.isNull() || qRed(img.pixel(img.width() / 2, img.height() / 2)) < 200,
                 qPrintable(p));
    }

    // The same helpers on plain files still work.
    MessageFixture plain;
    _MsgMessage *pm = plain.message(plain.chat({plain.handle("+1555")}), nullptr, "ok", 500000000);
    _MsgAttachment *pa = plain.attach(pm, mimeOf(ext), f.path("plain", ext));
    if (ext == "jpg")
        QVERIFY(QFileInfo::exists(makeThumbnail(*pa)));
    if (ext == "vcf")
        QVERIFY(QFileInfo::exists(renderContactCard(pa->localPath)));
    if (ext == "txt") {
        QString page;
        qint64 h = 0;
        appendMessageMarkup(page, *pm, h, viewAttachmentRefs());
        QVERIFY(page.contains("plain text attachment"));
    }
}

void TestAttachmentFiles::viewLinksOpenOnlyRegularFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("usable");
    QTest::newRow("plain picture, opened") << "plain.jpg" << true;
    QTest::newRow("plain text, saved") << "plain.txt" << true;
    QTest::newRow("link to a picture") << "link.jpg" << false;
    QTest::newRow("link to a text") << "link.txt" << false;
    QTest::newRow("pipe picture") << "pipe.jpg" << false;
    QTest::newRow("pipe text") << "pipe.txt" << false;
}

void TestAttachmentFiles::viewLinksOpenOnlyRegularFiles()
{
    QFETCH(QString, name);
    QFETCH(bool, usable);
    const Files f(work("files"));
    const QString path = f.store + "/" + name;
    MessageFixture fx;
    _MsgHandle *h = fx.handle("+1");
    fx.attach(fx.message(fx.chat({h}), h, ""), "application/octet-stream", path);
    BubbleViewMgr mgr;
    QStringList opened;
    const QString saved = work("saved.txt");
    mgr.setFileOpener([&opened](const QString &p) { opened << p; });
    mgr.setSaveAsker([&saved](const QString &, const QString &) { return saved; });
    mgr.showBubble(fx.list());

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    PipeWatchdog watchdog(f.pipes());
    mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QVERIFY2(watchdog.disarm(), "the view blocked on a pipe");
    const bool opens = name.endsWith(".jpg");
    QCOMPARE(opened, usable && opens ? QStringList {path} : QStringList {});
    QCOMPARE(QFileInfo::exists(saved), usable && !opens);
    if (usable && !opens)
        QCOMPARE(fileBytes(saved), QByteArray("plain text attachment"));
    if (!usable) {
        QTRY_COMPARE(answerer.seen().size(), 1);
        QCOMPARE(answerer.seen().at(0).text, "can not find " + path + ".");
    }
}

// ------------------------------------------------------------ HTML and PDF

void TestAttachmentFiles::exportsNeitherBlockNorFollowLinks_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("html") << int(ExportHtml);
    QTest::newRow("pdf") << int(ExportPdf);
}

void TestAttachmentFiles::exportsNeitherBlockNorFollowLinks()
{
    QFETCH(int, format);
    const Files f(work("files"));
    MessageFixture fx;
    _MsgHandle *bob = fx.handle("+15550002", "Bob");
    _MsgChat *chat = fx.chat({bob});
    int date = 500000000;
    for (const char *kind : {"plain", "pipe", "link"}) {
        for (const char *ext : {"jpg", "vcf", "txt"}) {
            _MsgMessage *m = fx.message(chat, bob, QString("%1 %2").arg(kind, ext), date += 100);
            fx.attach(m, mimeOf(ext), f.path(kind, ext));
        }
    }
    const QString out = work("out");
    ProgressForm form(QString(), nullptr);
    ExportMessagesThread job(fx.list(), out, format, &form);
    PipeWatchdog watchdog(f.pipes());
    const JobOutcome res = runJobPressingOk(form, &job);
    QVERIFY2(watchdog.disarm(), "the export blocked on a pipe");
    QVERIFY(res.ok);
    QCOMPARE(res.boxes, QStringList {"Successfully exported 9 Messages."});
    QCOMPARE(filesHolding(out, {kSecret, f.secretJpeg}), QStringList());
    if (format == ExportHtml) {
        // The plain files are there (the text also shown in the page).
        QCOMPARE(filesHolding(out + "/files", {f.plainJpeg}).size(), 1);
        QCOMPARE(filesHolding(out + "/files", {"plain text attachment"}).size(), 1);
        QCOMPARE(filesHolding(out, {"plain text attachment"}).size(), 2);
    }
}

// -------------------------------------------------------------- extraction

void TestAttachmentFiles::extractionTakesOnlyRegularFiles()
{
    const Files f(work("files"));
    MessageFixture fx;
    _MsgMessage *m = fx.message(fx.chat({fx.handle("+1555")}), nullptr, "all", 500000000);
    for (const char *kind : {"plain", "pipe", "link"})
        for (const char *ext : {"jpg", "vcf", "txt"})
            fx.attach(m, mimeOf(ext), f.path(kind, ext));

    const QString out = work("attachments(20240101-120000)");
    ProgressForm form(ids("IDS_EXTRACTING_MEDIA_FILES"));
    AttachmentExtractThread job(&form, fx.list(), out);
    PipeWatchdog watchdog(f.pipes());
    const JobOutcome res = runJobPressingOk(form, &job);
    QVERIFY2(watchdog.disarm(), "the extraction blocked on a pipe");
    QVERIFY(res.ok);
    QCOMPARE(res.boxes,
             QStringList {QString("Successfully extacted 3 MMS attachment to %1.").arg(out)});
    QStringList names = QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                            | QDir::NoDotAndDotDot);
    names.sort();
    QCOMPARE(names, QStringList({"plain.jpg", "plain.txt", "plain.vcf"}));
    QCOMPARE(filesHolding(out, {kSecret, f.secretJpeg}), QStringList());
}

void TestAttachmentFiles::extractionOfOneNameRepeatedThousandsOfTimes()
{
    // A phone names every picture alike: each further file takes the next
    // number without trying all the numbers taken before (which made the
    // extraction quadratic in the number of files of one name).
    const QString src = work("store/image.jpg");
    writeFile(src, "picture");
    constexpr int kFiles = 4000;
    MessageFixture fx;
    _MsgMessage *m = fx.message(fx.chat({fx.handle("+1555")}), nullptr, "many", 500000000);
    for (int i = 0; i < kFiles; ++i)
        fx.attach(m, "image/jpeg", src);
    const QString out = work("attachments(20240101-120000)");
    ProgressForm form(ids("IDS_EXTRACTING_MEDIA_FILES"));
    AttachmentExtractThread job(&form, fx.list(), out);
    const JobOutcome res = runJobPressingOk(form, &job);
    // Copying the files takes a few seconds; trying every number again for
    // each file took several times as long.
    QVERIFY2(res.ms < 20000, qPrintable(QString::number(res.ms)));
    QVERIFY(res.ok);
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), kFiles);
    QVERIFY(QFileInfo::exists(out + QString("/image(%1).jpg").arg(kFiles - 1)));
}

// ---------------------------------------------------- copy into a database

void TestAttachmentFiles::backupCopiesOnlyRegularFiles()
{
    const Files f(work("files"));
    MessageFixture fx;
    _MsgHandle *bob = fx.handle("+15550002", "Bob");
    _MsgChat *chat = fx.chat({bob});
    chat->guid = "SMS;-;+15550002";
    chat->chat_identifier = "+15550002";
    chat->service_name = "SMS";
    bob->service = "SMS";
    int date = 500000000;
    for (const char *kind : {"plain", "pipe", "link"}) {
        for (const char *ext : {"jpg", "vcf", "txt"}) {
            _MsgMessage *m = fx.message(chat, bob, QString("%1 %2").arg(kind, ext), date += 100);
            m->guid = QString("GUID-%1-%2").arg(kind, ext);
            _MsgAttachment *a = fx.attach(m, mimeOf(ext), f.path(kind, ext));
            a->guid = QString("ATT-%1-%2").arg(kind, ext);
            a->filename = QString("~/Library/SMS/Attachments/%1/%2.%3").arg(kind, kind, ext);
        }
    }
    const QString store = localDatabasesFolder().absoluteFilePath("Backup");
    ProgressForm form(QString(), nullptr);
    BackupSMSThread job(fx.list(), QDir(store), QString(), &form);
    PipeWatchdog watchdog(f.pipes());
    const JobOutcome res = runJobPressingOk(form, &job);
    QVERIFY2(watchdog.disarm(), "the backup blocked on a pipe");
    QVERIFY(res.ok);
    // Every message is stored; only the three plain files are copied.
    const QString db = store + "/file-relay/var/mobile/Library/SMS/sms.db";
    QCOMPARE(sqliteRows(db, "select count(*) from message").value(0).value(0).toInt(), 9);
    QCOMPARE(sqliteRows(db, "select count(*) from attachment").value(0).value(0).toInt(), 9);
    QCOMPARE(job.counts().filesCopied, 3);
    QCOMPARE(filesHolding(store, {kSecret, f.secretJpeg}), QStringList());
    QCOMPARE(filesHolding(store, {f.plainJpeg}).size(), 1);
    QCOMPARE(pipesBelow(store), QStringList());
}

// ---------------------------------------------------------------- conversion

void TestAttachmentFiles::conversionNeverBlocksOnPipes()
{
    // An old database whose text and picture attachments are pipes, with a
    // plain picture and text beside them.
    const QString old = localDatabasesFolder().absoluteFilePath("Old");
    QDir().mkpath(old + "/attachments");
    {
        RawSqlite db(old + "/mms.db", true);
        db.exec("CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, "
                "person TEXT);"
                "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, handle_id "
                "INTEGER, body TEXT, subject TEXT, date INTEGER, is_send INTEGER);"
                "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
                "filename TEXT, mime_type TEXT);"
                "CREATE TABLE message_attachment (message_id INTEGER, attachment_id INTEGER);");
        const qint64 h = db.run("INSERT INTO handle (address, person) VALUES ('+15550003', 'Ann')",
                                {});
        const qint64 m = db.run("INSERT INTO message (handle_id, body, subject, date, is_send) "
                                "VALUES (?, 'hello', '', 1400000000, 0)",
                                {h});
        for (const char *name : {"plain.txt", "pipe.txt", "plain.jpg", "pipe.jpg"}) {
            const qint64 a = db.run("INSERT INTO attachment (filename, mime_type) VALUES (?, ?)",
                                    {name, mimeOf(QFileInfo(QString::fromLatin1(name)).suffix())});
            db.run("INSERT INTO message_attachment (message_id, attachment_id) VALUES (?, ?)",
                   {m, a});
        }
    }
    writeFile(old + "/attachments/plain.txt", "old text part");
    writeFile(old + "/attachments/plain.jpg", jpegBytes(Qt::blue));
    for (const char *name : {"pipe.txt", "pipe.jpg"})
        QCOMPARE(mkfifo(QFile::encodeName(old + "/attachments/" + name).constData(), 0600), 0);

    ProgressForm form(QString(), nullptr);
    form.setCancelEnabled(false);
    UpdateLocalDbThread job(&form);
    PipeWatchdog watchdog(pipesBelow(old));
    const JobOutcome res = runJobPressingOk(form, &job);
    QVERIFY2(watchdog.disarm(), "the conversion blocked on a pipe");
    QVERIFY(res.ok);
    QVERIFY(QFileInfo::exists(old + "/mms.db-bak"));
    // The body, the plain text part and both pictures; the pipe's text is
    // no message, the pipe's picture is stored without a file.
    const QString db = old + "/file-relay/var/mobile/Library/SMS/sms.db";
    QStringList texts;
    for (const QVariantList &r : sqliteRows(db, "select text from message order by rowid"))
        texts << r.value(0).toString();
    QCOMPARE(texts, QStringList({"hello", "old text part", QString(QChar(0xFFFC)),
                                 QString(QChar(0xFFFC))}));
    QCOMPARE(pipesBelow(old + "/file-relay"), QStringList());
}

QTEST_MAIN(TestAttachmentFiles)
#include "tst_attachmentfiles.moc"
