// Two backups into one local database at the same time, as two windows or
// two running copies of the program can start them: each job has its own
// connection to the database, as the other program would. Neither may hang,
// and no message that a job reports as stored may be missing afterwards;
// a job that cannot get at the database says so and leaves it as it was.

#include "jobs/backupsmsthread.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/progressform.h"
#include "tests/support/jobrun.h"
#include "tests/support/messagefixture.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

// n messages of one conversation of its own, texts unique to the batch.
struct Batch
{
    MessageFixture fx;
    MsgMessageList list;

    Batch(const QString &tag, const QString &number, int n)
    {
        _MsgHandle *h = fx.handle(number, tag);
        h->service = "SMS";
        _MsgChat *chat = fx.chat({h});
        chat->guid = "SMS;-;" + number;
        chat->chat_identifier = number;
        chat->service_name = "SMS";
        for (int i = 0; i < n; ++i) {
            _MsgMessage *m = fx.message(chat, h, QString("%1 message %2").arg(tag).arg(i),
                                        500000000 + i * 60, i % 2);
            m->guid = QString("%1-%2").arg(tag).arg(i);
        }
        list = fx.list();
    }
};

QString smsDb(const QString &store)
{
    return store + "/file-relay/var/mobile/Library/SMS/sms.db";
}

int storedCount(const QString &store, const QString &tag)
{
    return sqliteRows(smsDb(store), "select count(*) from message where text like ?",
                      {tag + " message %"})
            .value(0)
            .value(0)
            .toInt();
}

struct Run
{
    bool ok = false;
    QStringList boxes;
    qint64 ms = 0;
};

} // namespace

class TestSharedStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void twoBackupsAtOnce_data();
    void twoBackupsAtOnce();
    void cancelWhileWaiting();
    void backupWhileTheOtherWindowReads();

private:
    std::unique_ptr<TestEnv> m_env;
    QTranslator m_translator;
};

void TestSharedStore::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    resetDataFolderCache();
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
}

void TestSharedStore::init()
{
    removeFolderRecursively(localDatabasesFolder().absolutePath());
}

void TestSharedStore::twoBackupsAtOnce_data()
{
    QTest::addColumn<bool>("existing");
    QTest::addColumn<int>("size");
    QTest::newRow("existing database") << true << 3000;
    QTest::newRow("new database") << false << 3000;
    QTest::newRow("existing database, large") << true << 20000;
}

// Both jobs store all their messages: the one that comes second waits for
// the first (it used to fail half-way with "database is locked", or, when
// both made a new database, could take away the one the other had filled).
void TestSharedStore::twoBackupsAtOnce()
{
    QFETCH(bool, existing);
    QFETCH(int, size);
    const QString store = localDatabasesFolder().absoluteFilePath("Shared");
    if (existing) {
        Batch first("first", "+15550100", 10);
        ProgressForm form {QString()};
        BackupSMSThread job(first.list, QDir(store), QString(), &form);
        QVERIFY(runJobPressingOk(form, &job).ok);
    }

    Batch a("alpha", "+15550101", size);
    Batch b("beta", "+15550102", size);
    ProgressForm formA {QString()};
    ProgressForm formB {QString()};
    BackupSMSThread jobA(a.list, QDir(store), QString(), &formA);
    BackupSMSThread jobB(b.list, QDir(store), QString(), &formB);

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    Run runB;
    QElapsedTimer timer;
    timer.start();
    // The other window's job runs under its own dialog, started from the
    // event loop of the first one's.
    QTimer::singleShot(0, &formA, [&] {
        runB.ok = formB.runJob(&jobB);
        runB.ms = timer.elapsed();
    });
    const bool okA = formA.runJob(&jobA);
    const qint64 msA = timer.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(runB.ms > 0, 120000);
    QTest::qWait(50);
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == QLatin1String("QMessageBox"))
            runB.boxes << s.text;

    QVERIFY2(okA && runB.ok, qPrintable(runB.boxes.join('\n')));
    QCOMPARE(runB.boxes.size(), 2);
    for (const QString &box : std::as_const(runB.boxes))
        QCOMPARE(box, QString("Successfully Backup %1 Messages to local Database.").arg(size));
    QCOMPARE(storedCount(store, "alpha"), size);
    QCOMPARE(storedCount(store, "beta"), size);
    if (existing)
        QCOMPARE(storedCount(store, "first"), 10);
    QVERIFY2(msA < 120000 && runB.ms < 120000,
             qPrintable(QString("%1 %2").arg(msA).arg(runB.ms)));
}

// The job that waits can be cancelled while it waits: its dialog ends at
// once, it writes nothing, and the other job goes on.
void TestSharedStore::cancelWhileWaiting()
{
    const QString store = localDatabasesFolder().absoluteFilePath("Shared");
    Batch a("alpha", "+15550101", 20000);
    Batch b("beta", "+15550102", 100);
    ProgressForm formA {QString()};
    ProgressForm formB {QString()};
    BackupSMSThread jobA(a.list, QDir(store), QString(), &formA);
    BackupSMSThread jobB(b.list, QDir(store), QString(), &formB);
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    Run runB;
    QElapsedTimer timer;
    timer.start();
    // B starts once A is writing.
    std::atomic<bool> aWrites {false};
    jobA.itemHook = [&aWrites](int) { aWrites = true; };
    QTimer::singleShot(0, &formA, [&] {
        QTRY_VERIFY_WITH_TIMEOUT(aWrites, 60000);
        // Cancel once B shows that it waits.
        QTimer::singleShot(0, &formB, [&] {
            QTRY_VERIFY_WITH_TIMEOUT(formB.findChild<QLabel *>("lbProgress")->text().startsWith(
                                             "Waiting"),
                                     60000);
            ModalAnswerer::clickButton(&formB, QStringLiteral("btnCancel"));
        });
        runB.ok = formB.runJob(&jobB);
        runB.ms = timer.elapsed();
    });
    const bool okA = formA.runJob(&jobA);
    const qint64 msA = timer.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(runB.ms > 0, 120000);
    QVERIFY(okA);
    QVERIFY(!runB.ok);
    // B ended while A still ran.
    QVERIFY2(runB.ms < msA, qPrintable(QString("%1 %2").arg(runB.ms).arg(msA)));
    QCOMPARE(storedCount(store, "alpha"), 20000);
    QCOMPARE(storedCount(store, "beta"), 0);
    // Only A's success box: the cancelled job reports nothing.
    QTest::qWait(50);
    QStringList boxes;
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == QLatin1String("QMessageBox"))
            boxes << s.text;
    QCOMPARE(boxes, QStringList {"Successfully Backup 20000 Messages to local Database."});
}

// The other window reads the database (showing it takes one long read)
// while a backup into it ends: the backup waits for the read instead of
// failing at its commit and losing the whole run.
void TestSharedStore::backupWhileTheOtherWindowReads()
{
    const QString store = localDatabasesFolder().absoluteFilePath("Shared");
    {
        Batch first("first", "+15550100", 10);
        ProgressForm form {QString()};
        BackupSMSThread job(first.list, QDir(store), QString(), &form);
        QVERIFY(runJobPressingOk(form, &job).ok);
    }
    auto reader = std::make_unique<RawSqlite>(smsDb(store), false, true);
    reader->exec("BEGIN");
    QCOMPARE(reader->scalar("select count(*) from message").toInt(), 10);
    // The read ends after the default wait of a connection (5 s) is over.
    QTimer::singleShot(8000, [&reader] {
        reader->exec("COMMIT");
        reader.reset();
    });
    Batch a("alpha", "+15550101", 500);
    ProgressForm form {QString()};
    BackupSMSThread job(a.list, QDir(store), QString(), &form);
    const JobOutcome res = runJobPressingOk(form, &job);
    QVERIFY2(res.ok, qPrintable(res.boxes.join('\n')));
    QTRY_VERIFY_WITH_TIMEOUT(!reader, 20000);
    QCOMPARE(storedCount(store, "alpha"), 500);
}

QTEST_MAIN(TestSharedStore)
#include "tst_sharedstore.moc"
