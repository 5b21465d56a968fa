// Backing an iPhone up and restoring it with the maker's backup tool, played
// by the stand-in program "mobilebackup": the runner's command lines,
// estimate, output rules and cancel; the backup and restore jobs under their
// progress dialog; reuse of an earlier backup; the temporary backup root and
// its marker file.

#include "buildconfig.h"
#include "iphone/backup2tool.h"
#include "iphone/iosdevice.h"
#include "iphone/iosmobilebackup.h"
#include "store/datafolder.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/fakebackup.h"
#include "tests/support/iphonesim.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

const QString kUdid = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
const QString kVersion = QStringLiteral("6.1.4");
const QString kNote = QStringLiteral("<br/><br/>Note: You can restart your device to try again.");

QString toolPath()
{
    return QStringLiteral(PEL_BINARY_DIR "/bin/mobilebackup");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray statusPlistXml(const QString &state)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<plist version=\"1.0\"><dict><key>SnapshotState</key>"
                          "<string>%1</string></dict></plist>\n")
            .arg(state)
            .toUtf8();
}

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

// The stand-in tool's scenario and the log of its runs.
class Tool
{
public:
    Tool()
    {
        qputenv("PELICORDE_MOBILEBACKUP_TOOL", toolPath().toLocal8Bit());
        set({});
    }
    ~Tool() { qunsetenv("PELICORDE_MOBILEBACKUP_SCENARIO"); }

    void set(QJsonObject scenario)
    {
        scenario.insert("log", logPath());
        if (!scenario.contains("durationMs"))
            scenario.insert("durationMs", 100);
        writeFile(m_dir.filePath("scenario.json"), QJsonDocument(scenario).toJson());
        qputenv("PELICORDE_MOBILEBACKUP_SCENARIO", m_dir.filePath("scenario.json").toLocal8Bit());
    }
    QString logPath() const { return m_dir.filePath("runs.jsonl"); }
    QList<QJsonObject> runs() const
    {
        QList<QJsonObject> out;
        for (const QByteArray &line : readFile(logPath()).split('\n'))
            if (!line.isEmpty())
                out << QJsonDocument::fromJson(line).object();
        return out;
    }
    QJsonObject lastRun() const
    {
        const QList<QJsonObject> all = runs();
        return all.isEmpty() ? QJsonObject() : all.last();
    }

private:
    QTemporaryDir m_dir;
};

BackupDevice device(const QString &version = kVersion)
{
    BackupDevice d;
    d.UniqueDeviceID = kUdid;
    d.ProductVersion = version;
    return d;
}

// What a job run under its dialog came to.
struct Outcome
{
    bool ok = false;
    QStringList boxes;
    QStringList stuck;
};

// Runs a job under a progress dialog, pressing OK on every box; cancelAfter
// (ms, -1 never) presses Cancel once the tool has been started that long.
template<typename Job>
Outcome runJob(Job &job, ProgressForm &form, int cancelAfterMs = -1, Tool *tool = nullptr)
{
    Outcome out;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    if (cancelAfterMs >= 0) {
        answerer.act(QStringLiteral("ProgressForm"), [cancelAfterMs, tool](QWidget *w) {
            if (tool)
                QTRY_VERIFY_WITH_TIMEOUT(!tool->runs().isEmpty(), 20000);
            QTest::qWait(cancelAfterMs);
            QVERIFY(ModalAnswerer::clickButton(w, QStringLiteral("btnCancel")));
        });
    }
    out.ok = form.runJob(&job);
    QTest::qWait(20);
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == QLatin1String("QMessageBox"))
            out.boxes << s.text;
    out.stuck = answerer.stuck();
    return out;
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

Outcome backupInto(const QDir &root, Tool *tool = nullptr, int cancelAfterMs = -1,
                   const BackupDevice &d = device())
{
    ProgressForm form(ids("IDS_BACKING_UP_IOS"));
    IOSMobileBackupThread job(d, root, &form);
    Outcome out = runJob(job, form, cancelAfterMs, tool);
    return out;
}

Outcome restoreFrom(const QDir &root, Tool *tool = nullptr, int cancelAfterMs = -1)
{
    ProgressForm form(ids("IDS_RESTORING_BACKUP_TO_IOS"));
    IOSMobileRestoreThread job(device(), root, &form);
    return runJob(job, form, cancelAfterMs, tool);
}

QString sha1Name(const QString &domain, const QString &path)
{
    return QString::fromLatin1(
            QCryptographicHash::hash((domain + "-" + path).toUtf8(), QCryptographicHash::Sha1)
                    .toHex());
}

// An earlier backup of the device in root, as the tool leaves it, with a
// file of our own that shows whether the folder survived.
void earlierBackup(const QDir &root, const QString &version)
{
    FakeBackup fb(root.filePath(kUdid));
    fb.device.udid = kUdid;
    fb.device.productVersion = version;
    fb.addFile("HomeDomain", "Library/SMS/sms.db", "old database");
    fb.write();
    writeFile(root.filePath(kUdid + "/sentinel"), "kept");
}

} // namespace

class TestMobileBackup : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandLines_data();
    void commandLines();
    void estimate_data();
    void estimate();
    void estimateFromDevice();
    void outputRules_data();
    void outputRules();

    void runnerReportsProgressAndSucceeds();
    void runnerFailures_data();
    void runnerFailures();
    void runnerCancelKillsAndReaps();
    void cancelBeforeRunStartsNothing();

    void backupIntoTempRoot();
    void earlierBackupReuse_data();
    void earlierBackupReuse();
    void cancelledBackupIsNoBase();
    void failedBackupIsDeleted_data();
    void failedBackupIsDeleted();
    void unusableDeviceIdTouchesNothing();

    void restoreSucceeds();
    void restoreMessages_data();
    void restoreMessages();
    void restoreFailureThroughTheJob();
    void restoreRefusesAnUnfinishedBackup();
    void restoreCancel();
    void cancelInTheToolsLastPoll_data();
    void cancelInTheToolsLastPoll();

    void markerChoice_data();
    void markerChoice();
    void volumeChoice();
    void removeTempRoot();
    void removeLeavesForeignFolders();

private:
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<QTemporaryDir> m_work;
    QDir work() const { return QDir(m_work->path()); }
};

void TestMobileBackup::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    QVERIFY2(QFileInfo(toolPath()).isExecutable(), "the mobilebackup stand-in is not built");
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    backup2tool::pollIntervalMs = 50;
}

void TestMobileBackup::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
}

void TestMobileBackup::cleanup()
{
    flushDeletes();
    tempbackup::setVolumeSource({});
    QFile::remove(dataFolder().filePath(kTempBackupMarkerName));
    qunsetenv("PELICORDE_SERVICE_HOST");
}

// --- the runner -------------------------------------------------------------

void TestMobileBackup::commandLines_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("backup") << 0 << QStringList {"-u", "U1",     "--backup", "--target",
                                                 "U1", "--root", "@"};
    QTest::newRow("restore") << 1 << QStringList {"-u",     "U1", "--restore", "--target", "U1",
                                                  "--root", "@",  "--source",  "U1"};
    QTest::newRow("unknown") << 2 << QStringList();
}

void TestMobileBackup::commandLines()
{
    QFETCH(int, op);
    QFETCH(QStringList, expected);
    const QDir root(work().filePath("a b/../root"));
    const QString native = QDir::toNativeSeparators(QDir::cleanPath(root.absolutePath()));
    if (expected.isEmpty()) {
        try {
            backup2tool::arguments(op, "U1", root);
            QFAIL("no exception");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString(e.what()), QString("unknown backup2tool_op."));
        }
        return;
    }
    expected.replace(expected.indexOf("@"), native);
    QCOMPARE(backup2tool::arguments(op, "U1", root), expected);
}

void TestMobileBackup::estimate_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("available");
    QTest::addColumn<qint64>("seconds");
    const qint64 mib = 1024 * 1024;
    QTest::newRow("32768 MiB used") << 64 * 1024 * mib << 32 * 1024 * mib << qint64(983);
    QTest::newRow("34 MiB") << 100 * mib << 66 * mib << qint64(1);
    QTest::newRow("1 MiB gives 0") << 2 * mib << mib << qint64(0);
    QTest::newRow("nothing used") << mib << mib << qint64(60);
    QTest::newRow("more free than total") << mib << 5 * mib << qint64(60);
    QTest::newRow("no capacity") << qint64(0) << 5 * mib << qint64(60);
    QTest::newRow("lying extremes") << std::numeric_limits<qint64>::min()
                                    << std::numeric_limits<qint64>::max() << qint64(60);
}

void TestMobileBackup::estimate()
{
    QFETCH(qint64, total);
    QFETCH(qint64, available);
    QFETCH(qint64, seconds);
    QCOMPARE(backup2tool::estimateFromUsage(total, available), seconds);
    // The bar stays within 0..99, also for an estimate of 0 s.
    for (qint64 elapsed : {qint64(0), seconds / 2, seconds, seconds * 3 + 5}) {
        const double p = backup2tool::progressFor(elapsed, seconds);
        QVERIFY2(p >= 0 && p <= 99, qPrintable(QString::number(p)));
    }
    QCOMPARE(backup2tool::progressFor(seconds * 2 + 1, seconds), 99.0);
}

void TestMobileBackup::estimateFromDevice()
{
    const QJsonObject usage {{"TotalDataCapacity", 64.0 * 1024 * 1024 * 1024},
                             {"AmountDataAvailable", 32.0 * 1024 * 1024 * 1024}};
    QJsonArray devices {QJsonObject {{"udid", "DISK"},
                                     {"attached", true},
                                     {"values", QJsonObject {{"com.apple.disk_usage", usage}}}},
                        QJsonObject {{"udid", "NODISK"}, {"attached", true}},
                        QJsonObject {{"udid", "BROKEN"},
                                     {"attached", true},
                                     {"errors", QJsonObject {{"AMDeviceConnect", -402653083}}}}};
    QVERIFY(iphonesim::setScenario(QJsonObject {{"devices", devices}}));
    QCOMPARE(backup2tool::estimateSeconds(iphonesim::device("DISK")), qint64(983));
    QCOMPARE(backup2tool::estimateSeconds(iphonesim::device("NODISK")), qint64(60));
    QCOMPARE(backup2tool::estimateSeconds(iphonesim::device("BROKEN")), qint64(60));
    QCOMPARE(backup2tool::estimateSeconds(nullptr), qint64(60));
}

void TestMobileBackup::outputRules_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("failed");
    QTest::newRow("clean") << "\nBackup finished." << false;
    QTest::newRow("capital") << "ERROR: device locked\n" << true;
    QTest::newRow("mixed case") << "\nsome Error happened" << true;
    QTest::newRow("inside a word") << "\nterrors.txt" << true;
    QTest::newRow("near miss") << "\nerr or" << false;
}

void TestMobileBackup::outputRules()
{
    QFETCH(QString, output);
    QFETCH(bool, failed);
    QCOMPARE(backup2tool::outputFailed(output), failed);
}

void TestMobileBackup::runnerReportsProgressAndSucceeds()
{
    Tool tool;
    // Output without the word succeeds whatever the exit code.
    tool.set({{"durationMs", 600}, {"exitCode", 7}, {"stdout", "all good"}});
    backup2tool runner(nullptr, kUdid, work(), nullptr);
    QSignalSpy updates(&runner, &backup2tool::update);
    runner.run(backup2tool_op(backup2tool_op::Backup));
    QVERIFY(!runner.wasCancelled());
    QVERIFY2(updates.size() >= 3, qPrintable(QString::number(updates.size())));
    for (const QList<QVariant> &u : updates) {
        QVERIFY(u.at(0).toDouble() >= 0 && u.at(0).toDouble() <= 99);
        QVERIFY(u.at(1).toString().isEmpty());
        QVERIFY(u.at(2).toString().endsWith(" seconds passed"));
    }
    const QJsonObject run = tool.lastRun();
    QCOMPARE(run.value("args").toVariant().toStringList(),
             backup2tool::arguments(0, kUdid, work()));
    QVERIFY(QFileInfo(work().filePath(kUdid + "/Manifest.mbdb")).isFile());
}

void TestMobileBackup::runnerFailures_data()
{
    QTest::addColumn<QJsonObject>("scenario");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("message"); // the exception text starts with this
    QTest::addColumn<QString>("contains");
    QTest::newRow("error on stderr")
            << QJsonObject {{"stderr", "Error: <the device> is locked"}, {"stdout", "tail"}}
            << toolPath() << "Error: <the device> is locked\n"
            << "tail";
    QTest::newRow("error on stdout")
            << QJsonObject {{"stdout", "An ERROR occurred"}} << toolPath() << "\n"
            << "An ERROR occurred";
    QTest::newRow("missing program") << QJsonObject() << work().filePath("no/such/tool")
                                     << "can not start AppleMobileBackup process."
                                     << "";
    QTest::newRow("crash") << QJsonObject {{"crash", true}} << toolPath()
                           << "AppleMobileBackup process ended abnormally."
                           << "";
}

void TestMobileBackup::runnerFailures()
{
    QFETCH(QJsonObject, scenario);
    QFETCH(QString, program);
    QFETCH(QString, message);
    QFETCH(QString, contains);
    Tool tool;
    tool.set(scenario);
    qputenv("PELICORDE_MOBILEBACKUP_TOOL", program.toLocal8Bit());
    backup2tool runner(nullptr, kUdid, work(), nullptr);
    try {
        runner.run(backup2tool_op(backup2tool_op::Backup));
        QFAIL("no exception");
    } catch (const std::runtime_error &e) {
        const QString text = QString::fromUtf8(e.what());
        QVERIFY2(text.startsWith(message), qPrintable(text));
        QVERIFY2(text.contains(contains), qPrintable(text));
    }
    qputenv("PELICORDE_MOBILEBACKUP_TOOL", toolPath().toLocal8Bit());
}

void TestMobileBackup::runnerCancelKillsAndReaps()
{
    Tool tool;
    tool.set({{"stall", true}});
    backup2tool runner(nullptr, kUdid, work(), nullptr);
    // The cancel comes from another thread while run polls.
    std::thread canceller([&] {
        for (int i = 0; i < 2000 && tool.runs().isEmpty(); ++i)
            QThread::msleep(10);
        QThread::msleep(300);
        runner.cancel();
    });
    QElapsedTimer t;
    t.start();
    runner.run(backup2tool_op(backup2tool_op::Backup));
    const qint64 afterCancel = t.elapsed();
    canceller.join();
    QVERIFY(runner.wasCancelled());
    QVERIFY2(afterCancel < 10000, qPrintable(QString::number(afterCancel)));
    // Killed and reaped: the stand-in's process no longer exists at all.
    const qint64 pid = tool.lastRun().value("pid").toInteger();
    QVERIFY(pid > 0);
    QVERIFY(!processAlive(pid));
}

void TestMobileBackup::cancelBeforeRunStartsNothing()
{
    Tool tool;
    backup2tool runner(nullptr, kUdid, work(), nullptr);
    runner.cancel();
    runner.run(backup2tool_op(backup2tool_op::Backup));
    QVERIFY(runner.wasCancelled());
    QVERIFY(tool.runs().isEmpty());
}

// --- the backup job ---------------------------------------------------------

void TestMobileBackup::backupIntoTempRoot()
{
    Tool tool;
    tool.set({{"durationMs", 500}});
    const QString volume = work().filePath("volume");
    QDir().mkpath(volume);
    tempbackup::setVolumeSource(
            [volume] {
                return QList<BackupVolume> {{volume, 1000}};
            },
            work().filePath("default"));

    // A phone with 1 MiB in use: the estimate of 0 s is over at once, and
    // the bar shows 99 until the tool ends.
    const QJsonObject usage {{"TotalDataCapacity", 2.0 * 1024 * 1024},
                             {"AmountDataAvailable", 1.0 * 1024 * 1024}};
    QVERIFY(iphonesim::setScenario(
            QJsonObject {{"devices",
                          QJsonArray {QJsonObject {
                                  {"udid", "SIM"},
                                  {"attached", true},
                                  {"values", QJsonObject {{"com.apple.disk_usage", usage}}}}}}}));
    IOSDevice phone;
    phone.UniqueDeviceID = kUdid;
    phone.ProductVersion = kVersion;
    phone.deviceHandle = iphonesim::device("SIM");
    QVERIFY(phone.deviceHandle);

    ProgressForm form(ids("IDS_BACKING_UP_IOS"));
    IOSMobileBackupThread job(&phone, &form);
    const QDir root(volume + "/__quillmarsh_iosbk_temp");
    QCOMPARE(job.backupRoot().absolutePath(), root.absolutePath());
    const Outcome out = runJob(job, form);
    QVERIFY(out.ok);
    QVERIFY2(out.boxes.isEmpty(), qPrintable(out.boxes.join("|")));
    QVERIFY(out.stuck.isEmpty());

    // The marker remembers the choice; the tool got the root's path.
    QCOMPARE(readFile(dataFolder().filePath(kTempBackupMarkerName)), volume.toUtf8());
    QCOMPARE(tool.lastRun().value("args").toVariant().toStringList(),
             backup2tool::arguments(0, kUdid, root));
    const QDir folder(root.filePath(kUdid));
    QVERIFY(isReusableBackup(root, kUdid, kVersion));
    QVERIFY(folder.exists(sha1Name("HomeDomain", "Library/SMS/sms.db")));
    QVERIFY(root.exists(kTempBackupOwnerFile));
    QVERIFY(!QFileInfo::exists(pendingMarkerPath(root, kUdid)));
    QCOMPARE(form.findChild<QProgressBar *>()->value(), 99);
}

void TestMobileBackup::earlierBackupReuse_data()
{
    QTest::addColumn<QString>("version"); // of the earlier backup
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("kept");
    QTest::newRow("finished, same version") << kVersion << "" << true;
    QTest::newRow("phone updated since") << "6.1.3"
                                         << "" << false;
    QTest::newRow("no Manifest.mbdb") << kVersion << "drop Manifest.mbdb" << false;
    QTest::newRow("no Manifest.plist") << kVersion << "drop Manifest.plist" << false;
    QTest::newRow("no Status.plist") << kVersion << "drop Status.plist" << false;
    QTest::newRow("snapshot not finished") << kVersion << "status new" << false;
    QTest::newRow("snapshot state in capitals") << kVersion << "status FINISHED" << false;
    QTest::newRow("Status.plist garbage") << kVersion << "status garbage" << false;
    QTest::newRow("an earlier run never ended") << kVersion << "pending" << false;
}

void TestMobileBackup::earlierBackupReuse()
{
    QFETCH(QString, version);
    QFETCH(QString, change);
    QFETCH(bool, kept);
    Tool tool;
    const QDir root(work().filePath("root"));
    earlierBackup(root, version);
    const QDir folder(root.filePath(kUdid));
    if (change.startsWith("drop "))
        QVERIFY(QFile::remove(folder.filePath(change.mid(5))));
    else if (change == "status garbage")
        writeFile(folder.filePath("Status.plist"), "\x01\x02not a plist");
    else if (change.startsWith("status "))
        writeFile(folder.filePath("Status.plist"), statusPlistXml(change.mid(7)));
    else if (change == "pending")
        writeFile(pendingMarkerPath(root, kUdid), "running\n");
    QCOMPARE(isReusableBackup(root, kUdid, kVersion), kept);

    const Outcome out = backupInto(root, &tool);
    QVERIFY2(out.ok, qPrintable(out.boxes.join("|")));
    QCOMPARE(folder.exists("sentinel"), kept);
    QCOMPARE(tool.lastRun().value("incremental").toBool(), kept);
    QVERIFY(isReusableBackup(root, kUdid, kVersion));
}

void TestMobileBackup::cancelledBackupIsNoBase()
{
    // A finished earlier backup is being updated when the user cancels: its
    // old Status.plist still says "finished", yet the folder is half old,
    // half new and must not be built on.
    Tool tool;
    const QDir root(work().filePath("root"));
    earlierBackup(root, kVersion);
    tool.set({{"stall", true}, {"markStart", false}});
    const Outcome cancelled = backupInto(root, &tool, 200);
    QVERIFY(!cancelled.ok);
    QVERIFY(cancelled.boxes.isEmpty());
    QVERIFY(!processAlive(tool.lastRun().value("pid").toInteger()));
    QVERIFY(root.exists(kUdid + "/Status.plist"));
    QVERIFY(root.exists(kUdid + "/sentinel"));
    QVERIFY(!isReusableBackup(root, kUdid, kVersion));

    tool.set({});
    const Outcome again = backupInto(root, &tool);
    QVERIFY(again.ok);
    QCOMPARE(tool.lastRun().value("incremental").toBool(), false);
    QVERIFY(!root.exists(kUdid + "/sentinel"));
    QVERIFY(isReusableBackup(root, kUdid, kVersion));
}

void TestMobileBackup::failedBackupIsDeleted_data()
{
    QTest::addColumn<QJsonObject>("scenario");
    QTest::addColumn<QString>("box");
    QTest::newRow("error in the output")
            << QJsonObject {{"stderr", "Error: <b>locked</b> & \"busy\""}}
            << "Error: &lt;b&gt;locked&lt;/b&gt; &amp; &quot;busy&quot;";
    QTest::newRow("tool ended without a finished backup")
            << QJsonObject {{"unfinished", true}} << "The backup of your device is incomplete.";
    QTest::newRow("tool crashed") << QJsonObject {{"crash", true}}
                                  << "AppleMobileBackup process ended abnormally.";
}

void TestMobileBackup::failedBackupIsDeleted()
{
    QFETCH(QJsonObject, scenario);
    QFETCH(QString, box);
    Tool tool;
    tool.set(scenario);
    const QDir root(work().filePath("root"));
    earlierBackup(root, kVersion);
    const Outcome out = backupInto(root, &tool);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.at(0).contains(box), qPrintable(out.boxes.at(0)));
    QVERIFY(out.boxes.at(0).contains(kNote));
    QVERIFY(!out.boxes.at(0).contains("<b>"));
    QVERIFY(!root.exists(kUdid));
    QVERIFY(!QFileInfo::exists(pendingMarkerPath(root, kUdid)));
}

void TestMobileBackup::unusableDeviceIdTouchesNothing()
{
    // An identifier that names the root itself, or a folder beside it, must
    // never make the job delete anything.
    Tool tool;
    const QDir root(work().filePath("root"));
    writeFile(work().filePath("outside/keep"), "x");
    writeFile(root.filePath("other/keep"), "x");
    for (const QString &udid : {QString(), QString(".."), QString("../outside"), QString("a/b")}) {
        BackupDevice d = device();
        d.UniqueDeviceID = udid;
        const Outcome out = backupInto(root, &tool, -1, d);
        QVERIFY(!out.ok);
        QCOMPARE(out.boxes.size(), 1);
    }
    QVERIFY(QFileInfo::exists(work().filePath("outside/keep")));
    QVERIFY(QFileInfo::exists(root.filePath("other/keep")));
    QVERIFY(tool.runs().isEmpty());
}

// --- the restore job --------------------------------------------------------

void TestMobileBackup::restoreSucceeds()
{
    Tool tool;
    const QDir root(work().filePath("root"));
    QVERIFY(backupInto(root, &tool).ok);
    tool.set({{"durationMs", 400}});
    const Outcome out = restoreFrom(root, &tool);
    QVERIFY(out.ok);
    QVERIFY(out.boxes.isEmpty());
    const QJsonObject run = tool.lastRun();
    QCOMPARE(run.value("op").toString(), QString("restore"));
    QCOMPARE(run.value("args").toVariant().toStringList(), backup2tool::arguments(1, kUdid, root));
    QVERIFY(run.value("restoredFiles").toInt() > 3);
}

void TestMobileBackup::restoreMessages_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("toolText");
    QTest::addColumn<QString>("message");
    const QString fmi = QStringLiteral("Find My iPhone must be disabled");
    QTest::newRow("find my iphone, with host")
            << "127.0.0.1:8080"
            << "Error: " + fmi.toUpper() + " <now>"
            << "Please follow <a href=\"http://127.0.0.1:8080/guides/"
               "how-to-disable-find-my-iphone.html\"> this tutorial</a> to disable \"Find my "
               "iPhone\" first and then restart your iPhone to try again.<br/><br/>";
    QTest::newRow("find my iphone, no host")
            << ""
            << "Error: " + fmi
            << "Please disable \"Find my iPhone\" first and then restart your iPhone to try "
               "again.<br/><br/>";
    const QString space = QStringLiteral("%1 GB free disk space on your device is required "
                                         "restore data.  Please remove some camera roll videos "
                                         "from your device to computer to free up disk space "
                                         "first and then try again.");
    QTest::newRow("2 GiB required")
            << ""
            << "Error: Insufficient free disk space on device to restore (1024 of 2147483648)"
            << space.arg("2");
    QTest::newRow("12 GiB required, any case")
            << ""
            << "error: INSUFFICIENT FREE DISK SPACE ON DEVICE TO RESTORE (5 bytes, need "
               "12884901888)"
            << space.arg("1e+01");
    QTest::newRow("both: find my iphone first")
            << ""
            << "Error: Insufficient free disk space on device to restore (1 of 2147483648) " + fmi
            << "Please disable \"Find my iPhone\" first and then restart your iPhone to try "
               "again.<br/><br/>";
    QTest::newRow("anything else, escaped") << ""
                                            << "Error: <script>&"
                                            << "Error: &lt;script&gt;&amp;" + kNote;
}

void TestMobileBackup::restoreMessages()
{
    QFETCH(QString, host);
    QFETCH(QString, toolText);
    QFETCH(QString, message);
    qputenv("PELICORDE_SERVICE_HOST", host.toUtf8());
    QCOMPARE(restoreErrorMessage(toolText), message);
}

void TestMobileBackup::restoreFailureThroughTheJob()
{
    Tool tool;
    const QDir root(work().filePath("root"));
    QVERIFY(backupInto(root, &tool).ok);
    tool.set({{"stderr",
               "Error: Insufficient free disk space on device to restore (10 of "
               "2147483648)"}});
    const Outcome out = restoreFrom(root, &tool);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.at(0).contains("2 GB free disk space"), qPrintable(out.boxes.at(0)));
    // The backup folder stays as it was.
    QVERIFY(isReusableBackup(root, kUdid, kVersion));

    qputenv("PELICORDE_MOBILEBACKUP_TOOL", work().filePath("missing").toLocal8Bit());
    const Outcome missing = restoreFrom(root, &tool);
    QVERIFY(!missing.ok);
    QCOMPARE(missing.boxes.size(), 1);
    QVERIFY(missing.boxes.at(0).contains("can not start AppleMobileBackup process." + kNote));
}

void TestMobileBackup::restoreRefusesAnUnfinishedBackup()
{
    Tool tool;
    const QDir root(work().filePath("root"));
    earlierBackup(root, kVersion);
    writeFile(pendingMarkerPath(root, kUdid), "running\n");
    Outcome out = restoreFrom(root, &tool);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY(out.boxes.at(0).contains("incomplete"));

    QFile::remove(pendingMarkerPath(root, kUdid));
    QFile::remove(root.filePath(kUdid + "/Manifest.mbdb"));
    out = restoreFrom(root, &tool);
    QVERIFY(!out.ok);
    QVERIFY(tool.runs().isEmpty());
}

void TestMobileBackup::restoreCancel()
{
    Tool tool;
    const QDir root(work().filePath("root"));
    QVERIFY(backupInto(root, &tool).ok);
    tool.set({{"stall", true}});
    QElapsedTimer t;
    t.start();
    const Outcome out = restoreFrom(root, &tool, 200);
    QVERIFY(!out.ok);
    QVERIFY(out.boxes.isEmpty());
    QVERIFY(out.stuck.isEmpty());
    QVERIFY(t.elapsed() < 20000);
    QVERIFY(!processAlive(tool.lastRun().value("pid").toInteger()));
    // The backup stays.
    QVERIFY(isReusableBackup(root, kUdid, kVersion));
}

void TestMobileBackup::cancelInTheToolsLastPoll_data()
{
    QTest::addColumn<bool>("restore");
    QTest::newRow("backup") << false;
    QTest::newRow("restore") << true;
}

void TestMobileBackup::cancelInTheToolsLastPoll()
{
    // Cancel pressed during the poll in which the tool ends on its own: the
    // tool has done its work (the phone holds the restored backup), and the
    // job reports just that, never a failure the caller would undo.
    QFETCH(bool, restore);
    Tool tool;
    const QDir root(work().filePath("root"));
    if (restore)
        QVERIFY(backupInto(root, &tool).ok);
    tool.set({{"durationMs", 600}});
    const int poll = backup2tool::pollIntervalMs;
    backup2tool::pollIntervalMs = 30000; // one poll covers the whole run
    const Outcome out = restore ? restoreFrom(root, &tool, 100) : backupInto(root, &tool, 100);
    backup2tool::pollIntervalMs = poll;
    QCOMPARE(tool.lastRun().value("op").toString(), QString(restore ? "restore" : "backup"));
    QVERIFY(out.stuck.isEmpty());
    QVERIFY(out.boxes.isEmpty());
    QVERIFY(out.ok);
    QVERIFY(isReusableBackup(root, kUdid, kVersion));
}

// --- the temporary backup root ------------------------------------------------

void TestMobileBackup::markerChoice_data()
{
    QTest::addColumn<QString>("marker"); // "@" stands for the remembered volume
    QTest::addColumn<bool>("kept");
    QTest::newRow("remembered volume") << "@" << true;
    QTest::newRow("no marker") << "<none>" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("relative path") << "some/where" << false;
    QTest::newRow("not clean") << "@/../x" << false;
    QTest::newRow("with line end") << "@\n" << false;
    QTest::newRow("folder gone") << "@/gone" << false;
    QTest::newRow("drive letter") << "D:/" << false;
}

void TestMobileBackup::markerChoice()
{
    QFETCH(QString, marker);
    QFETCH(bool, kept);
    const QString remembered = work().filePath("remembered");
    const QString best = work().filePath("best");
    QDir().mkpath(remembered);
    QDir().mkpath(best);
    tempbackup::setVolumeSource(
            [best] {
                return QList<BackupVolume> {{best, 5}};
            },
            work().filePath("default"));
    const QString markerFile = dataFolder().filePath(kTempBackupMarkerName);
    if (marker != "<none>")
        writeFile(markerFile, QString(marker).replace("@", remembered).toUtf8());

    const QString expectedRoot = kept ? remembered : best;
    QCOMPARE(tempBackupRoot().absolutePath(), expectedRoot + "/__quillmarsh_iosbk_temp");
    QCOMPARE(readFile(markerFile), QString(kept ? marker : best).replace("@", remembered).toUtf8());
    QVERIFY(!QFileInfo::exists(expectedRoot + "/__quillmarsh_iosbk_temp"));
}

void TestMobileBackup::volumeChoice()
{
    const QString a = work().filePath("a"), b = work().filePath("b"), c = work().filePath("c");
    for (const QString &p : {a, b, c})
        QDir().mkpath(p);
    const QString file = work().filePath("plain-file");
    writeFile(file, "x");
    const QString def = work().filePath("default");
    const quint64 failed = std::numeric_limits<quint64>::max();

    QCOMPARE(chooseBackupVolume({{a, 10}, {b, 30}, {c, 20}}, def), b);
    QCOMPARE(chooseBackupVolume({{a, 30}, {b, 30}}, def), a); // ties keep the earlier
    QCOMPARE(chooseBackupVolume({{a, 10}, {work().filePath("none"), 99}, {file, 98}}, def), a);
    QCOMPARE(chooseBackupVolume({{b, 10}, {a, failed}}, def), b); // unknown free space
    QCOMPARE(chooseBackupVolume({}, def), def);
    QCOMPARE(chooseBackupVolume({{a, 0}}, def), def);
    // The write test leaves nothing behind, and the volume's folder stays.
    for (const QString &p : {a, b, c}) {
        QVERIFY(QFileInfo(p).isDir());
        QVERIFY(QDir(p).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                        .isEmpty());
    }
}

void TestMobileBackup::removeTempRoot()
{
    Tool tool;
    const QString volume = work().filePath("volume");
    QDir().mkpath(volume);
    tempbackup::setVolumeSource(
            [volume] {
                return QList<BackupVolume> {{volume, 1}};
            },
            work().filePath("default"));
    // After a backup: folder and marker go.
    {
        ProgressForm form(ids("IDS_BACKING_UP_IOS"));
        IOSMobileBackupThread job(device(), &form);
        QVERIFY(runJob(job, form).ok);
    }
    const QString markerFile = dataFolder().filePath(kTempBackupMarkerName);
    const QString folder = volume + "/__quillmarsh_iosbk_temp";
    QVERIFY(QFileInfo::exists(folder + "/" + kUdid + "/Manifest.plist"));
    removeTempBackupRoot();
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(!QFileInfo::exists(markerFile));
    QVERIFY(QFileInfo(volume).isDir());

    // Without a marker: a choice is made and written, and then removed with
    // the folder.
    QVERIFY(claimTempBackupRoot(QDir(folder)));
    removeTempBackupRoot();
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(!QFileInfo::exists(markerFile));
}

void TestMobileBackup::removeLeavesForeignFolders()
{
    const QString volume = work().filePath("volume");
    const QString elsewhere = work().filePath("elsewhere");
    writeFile(elsewhere + "/precious", "keep me");
    tempbackup::setVolumeSource(
            [volume] {
                return QList<BackupVolume> {{volume, 1}};
            },
            work().filePath("default"));
    QDir().mkpath(volume);
    const QString markerFile = dataFolder().filePath(kTempBackupMarkerName);
    const QString folder = volume + "/__quillmarsh_iosbk_temp";

    // A folder of that name that this program never marked as its own.
    writeFile(folder + "/user-file", "keep me");
    removeTempBackupRoot();
    QVERIFY(QFileInfo::exists(folder + "/user-file"));
    QVERIFY(!QFileInfo::exists(markerFile));
    removeFolderRecursively(folder);

    // A link in its place: neither the link's target nor its files go.
    QVERIFY(QFile::link(elsewhere, folder));
    writeFile(elsewhere + "/" + kTempBackupOwnerFile, "");
    removeTempBackupRoot();
    QVERIFY(QFileInfo::exists(elsewhere + "/precious"));
    QVERIFY(!claimTempBackupRoot(QDir(folder)));
}

QTEST_MAIN(TestMobileBackup)
#include "tst_mobilebackup.moc"
