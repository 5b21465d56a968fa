#include "android/adbclient.h"
#include "android/androidmonitor.h"
#include "standins/fakeadb.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>

namespace {

QString outcome(const std::function<QString()> &f)
{
    try {
        return QStringLiteral("ok:") + f();
    } catch (const std::exception &e) {
        return QStringLiteral("throws:") + QString::fromUtf8(e.what());
    }
}

QString describe(const QList<AdbDevice> &devices)
{
    QStringList parts;
    for (const AdbDevice &d : devices)
        parts << d.serial + QLatin1Char('/') + d.state;
    return parts.join(QLatin1Char('|'));
}

// PATH with no adb on it, for the life of the object.
class NoAdbOnPath
{
public:
    NoAdbOnPath()
        : m_old(qgetenv("PATH"))
    {
        qputenv("PATH", QFile::encodeName(m_empty.path()));
    }
    ~NoAdbOnPath() { qputenv("PATH", m_old); }

private:
    QTemporaryDir m_empty;
    QByteArray m_old;
};

// Collects the monitor's reports in the test's thread, where they arrive queued.
class Reports : public QObject
{
    Q_OBJECT
public:
    QStringList events;
    QList<Qt::HANDLE> threads;
public slots:
    void connected(const AdbDevice &device)
    {
        events << QStringLiteral("+%1/%2").arg(device.serial, device.state);
        threads << QThread::currentThreadId();
    }
    void disconnected(const QString &serial) { events << QStringLiteral("-") + serial; }
};

std::unique_ptr<AndroidMonitor> startMonitor(Reports *reports, int interval = 20)
{
    auto monitor = std::make_unique<AndroidMonitor>();
    QObject::connect(monitor.get(), &AndroidMonitor::deviceConnected, reports, &Reports::connected);
    QObject::connect(monitor.get(), &AndroidMonitor::deviceDisconnected, reports,
                     &Reports::disconnected);
    monitor->setPollInterval(interval);
    monitor->start();
    return monitor;
}

QString listing(const QList<QPair<QString, QString>> &devices)
{
    return FakeAdb::listing(devices);
}

} // namespace

class TestAdb : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void commandLinesAreArgumentLists();
    void listingParse_data();
    void listingParse();
    void devicesThroughAdb();
    void repliesOfTheOperations();
    void missingAdbProgram();
    void hungAdbIsKilled();
    void realAdbWithoutPhones();
    void deviceStates();

    void monitorReportsArrivalsAndDepartures();
    void monitorFailingPassReportsNothingGone();
    void monitorReportsUnauthorizedPhoneAgainWhenAllowed();
    void monitorStopsWithinOnePass();
    void monitorTakesANewIntervalAtOnce();
    void monitorsLeaveQtsThreadPoolFree();
    void monitorLeavesTheUsersServerRunning();
    void monitorGoesOnWhenTheServerDoesNotStart();
    void monitorStopsAtOnceWhileAdbStalls_data();
    void monitorStopsAtOnceWhileAdbStalls();
    void monitorLeavesTheGlobalPoolFree();
};

void TestAdb::initTestCase()
{
    QVERIFY2(QFileInfo(FakeAdb::programPath()).isExecutable(), "the fakeadb program is not built");
}

void TestAdb::commandLinesAreArgumentLists()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.on({"-s", "*", "uninstall", "*"}, FakeAdbReply {"Success\n"});
    adb.on({"-s", "*", "shell", "am", "**"}, FakeAdbReply {"Broadcast completed: result=0\n"});
    // A network serial and a path that a shell would split or expand.
    const QString serial = QStringLiteral("192.168.1.5:5555");
    const QString apk = QStringLiteral("/tmp/my apk's $(rm -rf x) dir/com.quillmarsh.smssync.apk");
    const QString component = QStringLiteral("com.quillmarsh.smssync/.AdbSyncBroadcastReceiver");
    const QString url = QStringLiteral("device2://127.0.0.1:44503");

    struct Case
    {
        std::function<void()> call;
        QStringList arguments;
    };
    const QList<Case> cases {
            {[] { adbDevices(); }, {"devices"}},
            {[] { adbKillServer(); }, {"kill-server"}},
            {[&] { adbForward(serial, 44503, 44503); },
             {"-s", serial, "forward", "tcp:44503", "tcp:44503"}},
            {[&] { adbListPackages(serial); }, {"-s", serial, "shell", "pm", "-l"}},
            {[&] { adbInstall(serial, apk); }, {"-s", serial, "install", apk}},
            {[&] { adbUninstall(serial, "com.quillmarsh.smssync"); },
             {"-s", serial, "uninstall", "com.quillmarsh.smssync"}},
            {[&] { adbActivityManager(serial, "broadcast", component, {}, url, {}, {}); },
             {"-s", serial, "shell", "am", "broadcast", "-n", component, "-d", url}},
            {[&] {
                 adbActivityManager(serial, "start", component, "android.intent.action.VIEW", url,
                                    {"c.one", "c two"}, "text/plain");
             },
             {"-s", serial, "shell", "am", "start", "-n", component, "-a",
              "android.intent.action.VIEW", "-d", url, "-c", "c.one", "-c", "c two", "-t",
              "text/plain"}},
            {[&] { adbActivityManager(serial, "broadcast", {}, {}, {}, {}, {}); },
             {"-s", serial, "shell", "am", "broadcast"}},
            {[&] { adbLogcat(serial); }, {"-s", serial, "shell", "logcat", "-d"}},
            {[&] { adbForceStop(serial, "com.quillmarsh.smssync"); },
             {"-s", serial, "shell", "am", "force-stop", "com.quillmarsh.smssync"}},
    };
    for (const Case &c : cases) {
        const qsizetype before = adb.calls().size();
        c.call();
        const QList<QStringList> calls = adb.calls();
        QCOMPARE(calls.size(), before + 1);
        QCOMPARE(calls.last(), c.arguments);
    }
    QCOMPARE(runAdb({"-s", serial, "shell", "pm", "-l"}, true),
             QStringLiteral("package:com.android.phone\n"));
}

void TestAdb::listingParse_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("devices");
    QTest::newRow("empty listing") << "List of devices attached\n\n"
                                   << "";
    QTest::newRow("no header") << "0123ABCD\tdevice\n"
                               << "";
    QTest::newRow("header in other capitals") << "List Of Devices Attached\n0123ABCD\tdevice\n"
                                              << "0123ABCD/device";
    QTest::newRow("unauthorized and offline")
            << "List of devices attached\n0123ABCD\tunauthorized\nemulator-5554\toffline\n\n"
            << "0123ABCD/unauthorized|emulator-5554/offline";
    QTest::newRow("network serials")
            << "List of devices attached\n192.168.1.5:5555\tdevice\n[fe80::1]:5555\tdevice\n"
            << "192.168.1.5:5555/device|[fe80::1]:5555/device";
    QTest::newRow("blank lines and CR LF")
            << "\r\nList of devices attached\r\n\r\nR58M12ABC\tdevice\r\n\r\n   "
               "\r\nX_1-2\tdevice\r\n"
            << "R58M12ABC/device|X_1-2/device";
    QTest::newRow("daemon notes around the header")
            << "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n"
               "List of devices attached\n* daemon still not running\n0123ABCD\tdevice\n"
            << "0123ABCD/device";
    QTest::newRow("state of several words")
            << "List of devices attached\n0123ABCD\tno permissions (user in plugdev group); see "
               "[http://developer.android.com/tools/device.html]\n"
            << "0123ABCD/no permissions (user in plugdev group); see "
               "[http://developer.android.com/tools/device.html]";
    QTest::newRow("blank instead of tab") << "List of devices attached\n0123ABCD   device\n"
                                          << "0123ABCD/device";
    QTest::newRow("serial without state") << "List of devices attached\n0123ABCD\n"
                                          << "";
}

void TestAdb::listingParse()
{
    QFETCH(QString, output);
    QFETCH(QString, devices);
    const QList<AdbDevice> parsed = parseAdbDevices(output);
    QCOMPARE(describe(parsed), devices);
    for (const AdbDevice &d : parsed)
        QVERIFY(output.contains(d.line));
}

void TestAdb::devicesThroughAdb()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    const QString list = listing({{"0123ABCD", "device"}, {"192.168.1.5:5555", "device"}});
    // The server's start-up notes on standard error are no failure.
    adb.on({"devices"},
           QList<FakeAdbReply> {
                   {list,
                    "* daemon not running; starting now at tcp:5037\n"
                    "* daemon started successfully\n"},
                   {{}, "error: protocol fault (couldn't read status): Connection reset\n", 1},
                   {{}, {}, 1},
                   {list, "adb server version (40) doesn't match this client (41); killing...\n"},
           });
    QCOMPARE(outcome([] { return describe(adbDevices()); }),
             QStringLiteral("ok:0123ABCD/device|192.168.1.5:5555/device"));
    QCOMPARE(outcome([] { return describe(adbDevices()); }),
             QStringLiteral(
                     "throws:error: protocol fault (couldn't read status): Connection reset"));
    QCOMPARE(outcome([] { return describe(adbDevices()); }),
             QStringLiteral("throws:adb ended with code 1."));
    QCOMPARE(outcome([] { return describe(adbDevices()); }),
             QStringLiteral("ok:0123ABCD/device|192.168.1.5:5555/device"));
}

void TestAdb::repliesOfTheOperations()
{
    struct Case
    {
        const char *name;
        QStringList pattern;
        FakeAdbReply reply;
        std::function<QString()> call;
        QString expected;
    };
    const QString s = QStringLiteral("0123ABCD");
    auto packages = [s] {
        QStringList list = adbListPackages(s).values();
        list.sort();
        return list.join(QLatin1Char(','));
    };
    const QList<Case> cases {
            {"packages",
             {"-s", "*", "shell", "pm", "-l"},
             {"package:com.android.phone\r\npackage: com.quillmarsh.smssync \njunk\npackage:\n"},
             packages,
             "ok:com.android.phone,com.quillmarsh.smssync"},
            {"package manager error",
             {"-s", "*", "shell", "pm", "-l"},
             {"Error: java.lang.SecurityException\n", {}, 1},
             packages,
             "ok:"},
            {"install success in any case",
             {"-s", "*", "install", "*"},
             {"Performing Streamed Install\n  success  \n"},
             [s] { return adbInstall(s, "/tmp/a.apk"), QString(); },
             "ok:"},
            {"install failure",
             {"-s", "*", "install", "*"},
             {"Performing Streamed Install\n",
              "adb: failed to install /tmp/a.apk: Failure "
              "[INSTALL_FAILED_INSUFFICIENT_STORAGE]\n",
              1},
             [s] { return adbInstall(s, "/tmp/a.apk"), QString(); },
             "throws:adb: failed to install /tmp/a.apk: Failure "
             "[INSTALL_FAILED_INSUFFICIENT_STORAGE]\n\nPerforming Streamed Install\n"},
            {"uninstall without Success",
             {"-s", "*", "uninstall", "*"},
             {"Failure [DELETE_FAILED_INTERNAL_ERROR]\n"},
             [s] { return adbUninstall(s, "com.x"), QString(); },
             "throws:Failure [DELETE_FAILED_INTERNAL_ERROR]\n"},
            {"forward refused",
             {"-s", "*", "forward", "**"},
             {{}, "adb: error: cannot bind listener: Address already in use\n", 1},
             [s] { return adbForward(s, 1, 1), QString(); },
             "throws:adb: error: cannot bind listener: Address already in use"},
            {"activity manager error",
             {"-s", "*", "shell", "am", "**"},
             {"Starting: Intent { cmp=x/.Y }\nError: Activity class {x/x.Y} does not exist.\n"},
             [s] { return adbActivityManager(s, "start", "x/.Y", {}, {}, {}, {}), QString(); },
             "throws:Starting: Intent { cmp=x/.Y }\nError: Activity class {x/x.Y} does not exist."},
            {"device gone during a broadcast",
             {"-s", "*", "shell", "am", "**"},
             {{}, "adb: error: device '0123ABCD' not found\n", 1},
             [s] { return adbActivityManager(s, "broadcast", "x/.Y", {}, "u", {}, {}), QString(); },
             "throws:adb: error: device '0123ABCD' not found"},
            {"logcat whole",
             {"-s", "*", "shell", "logcat", "-d"},
             {"line 1\nline 2\n"},
             [s] { return adbLogcat(s); },
             "ok:line 1\nline 2\n"},
            {"NUL ends the text",
             {"-s", "*", "shell", "logcat", "-d"},
             {QString::fromLatin1("before\0after", 12)},
             [s] { return adbLogcat(s); },
             "ok:before"},
    };
    for (const Case &c : cases) {
        FakeAdb adb;
        QVERIFY(adb.isValid());
        adb.on(c.pattern, c.reply);
        QCOMPARE(outcome(c.call), c.expected);
        QVERIFY2(adb.calls(c.pattern).size() == 1, c.name);
    }
}

void TestAdb::missingAdbProgram()
{
    NoAdbOnPath noAdb;
    const QString failed = QStringLiteral("run adb failed.");
    QCOMPARE(runAdb({"devices"}, false), failed);
    QCOMPARE(outcome([] { return describe(adbDevices()); }), "throws:" + failed);
    QCOMPARE(outcome([] { return adbForward("s", 1, 1), QString(); }), "throws:" + failed);
    QCOMPARE(outcome([] { return adbUninstall("s", "p"), QString(); }), "throws:" + failed);
    QCOMPARE(outcome([] { return adbInstall("s", "/tmp/a.apk"), QString(); }), "throws:" + failed);
    QCOMPARE(outcome([] {
                 return adbActivityManager("s", "broadcast", "c/.R", {}, "u", {}, {}), QString();
             }),
             "throws:" + failed);
    QVERIFY(adbListPackages("s").isEmpty());
    QCOMPARE(adbLogcat("s"), failed);
    adbKillServer();
    adbForceStop("s", "p");
}

void TestAdb::hungAdbIsKilled()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.on({"devices"}, FakeAdbReply {listing({}), {}, 0, 20000});
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(outcome([] { return describe(adbDevices(500)); }),
             QStringLiteral("throws:adb did not end within 500 ms."));
    QVERIFY(timer.elapsed() < 5000);
}

void TestAdb::realAdbWithoutPhones()
{
    if (QStandardPaths::findExecutable("adb").isEmpty())
        QSKIP("adb is not installed");
    // A server of our own, on a free port, so that no other adb user is disturbed.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QByteArray port = QByteArray::number(probe.serverPort());
    probe.close();
    const QByteArray oldPort = qgetenv("ANDROID_ADB_SERVER_PORT");
    qputenv("ANDROID_ADB_SERVER_PORT", port);
    auto restore = qScopeGuard([&] {
        adbKillServer();
        if (oldPort.isNull())
            qunsetenv("ANDROID_ADB_SERVER_PORT");
        else
            qputenv("ANDROID_ADB_SERVER_PORT", oldPort);
    });

    // The first listing starts the server and notes so on standard error.
    QCOMPARE(outcome([] { return describe(adbDevices(60000)); }), QStringLiteral("ok:"));
    const QString started = runAdb({"start-server"}, false, 60000);
    QVERIFY2(!started.contains("error", Qt::CaseInsensitive), qPrintable(started));
    QCOMPARE(outcome([] { return describe(adbDevices(60000)); }), QStringLiteral("ok:"));
    adbKillServer();
    // A command for a phone that is not there fails clearly.
    QVERIFY(outcome([] {
                return adbForward("no-such-phone", 40001, 40001), QString();
            }).startsWith("throws:"));
}

void TestAdb::deviceStates()
{
    struct Case
    {
        QString state;
        bool ready;
        bool offlineOrUnauthorized;
    };
    const QList<Case> cases {{"device", true, false},       {"DEVICE", true, false},
                             {"unauthorized", false, true}, {"Offline", false, true},
                             {"recovery", false, false},    {"no permissions", false, false}};
    for (const Case &c : cases) {
        const AdbDevice d {"x\t" + c.state, "x", c.state};
        QCOMPARE(d.isReady(), c.ready);
        QCOMPARE(d.isOfflineOrUnauthorized(), c.offlineOrUnauthorized);
    }
    registerAdbDeviceMetaType();
    QCOMPARE(QMetaType::fromName("AdbDevice"), QMetaType::fromType<AdbDevice>());
}

void TestAdb::monitorReportsArrivalsAndDepartures()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setListings({
            listing({}),
            listing({{"0123ABCD", "device"}, {"192.168.1.5:5555", "device"}}),
            listing({{"0123ABCD", "device"}, {"192.168.1.5:5555", "device"}}),
            listing({{"0123ABCD", "device"}}),
            listing({{"0123ABCD", "device"}, {"192.168.1.5:5555", "device"}}),
            listing({{"192.168.1.5:5555", "device"}}),
    });
    Reports reports;
    auto monitor = startMonitor(&reports);
    const QStringList expected {"+0123ABCD/device", "+192.168.1.5:5555/device", "-192.168.1.5:5555",
                                "+192.168.1.5:5555/device", "-0123ABCD"};
    QTRY_COMPARE_WITH_TIMEOUT(reports.events, expected, 20000);
    QVERIFY(!reports.threads.isEmpty());
    QCOMPARE(reports.threads.first(), QThread::currentThreadId());
    monitor.reset();
    QCOMPARE(reports.events, expected);
    const QList<QStringList> calls = adb.calls();
    QCOMPARE(calls.first(), QStringList {"start-server"});
    QCOMPARE(calls.last(), QStringList {"kill-server"});
}

void TestAdb::monitorFailingPassReportsNothingGone()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    const QString one = listing({{"0123ABCD", "device"}});
    adb.on({"devices"},
           QList<FakeAdbReply> {
                   {one},
                   {{}, "error: cannot connect to daemon\n", 1},
                   {"garbage without a header\n", {}, 0},
                   {{}, {}, 1},
                   {one},
                   {one},
                   {listing({})},
           });
    Reports reports;
    auto monitor = startMonitor(&reports);
    QTRY_COMPARE_WITH_TIMEOUT(reports.events, (QStringList {"+0123ABCD/device", "-0123ABCD"}),
                              20000);
}

void TestAdb::monitorReportsUnauthorizedPhoneAgainWhenAllowed()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setListings({
            listing({{"0123ABCD", "unauthorized"}}),
            listing({{"0123ABCD", "unauthorized"}}),
            listing({{"0123ABCD", "device"}}),
            listing({{"0123ABCD", "offline"}}),
            listing({{"0123ABCD", "device"}}),
            listing({{"0123ABCD", "device"}}),
    });
    Reports reports;
    auto monitor = startMonitor(&reports);
    QTRY_VERIFY_WITH_TIMEOUT(adb.calls({"devices"}).size() >= 7, 20000);
    QTest::qWait(100);
    // Reported when it appears and again once usable; a short drop to
    // offline is no new phone.
    QCOMPARE(reports.events, (QStringList {"+0123ABCD/unauthorized", "+0123ABCD/device"}));
}

void TestAdb::monitorStopsWithinOnePass()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    Reports reports;
    auto monitor = startMonitor(&reports, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(adb.calls({"devices"}).size() == 1, 20000);
    QElapsedTimer timer;
    timer.start();
    monitor.reset();
    QVERIFY2(timer.elapsed() < 15000, "the destructor waited for the pause between passes");
    QCOMPARE(adb.calls().last(), QStringList {"kill-server"});
    QCOMPARE(adb.calls({"devices"}).size(), 1);

    // Destroyed before it was started: no server of its own to stop.
    const qsizetype before = adb.calls().size();
    {
        AndroidMonitor idle;
    }
    QCOMPARE(adb.calls().mid(before), QList<QStringList>());
}

void TestAdb::monitorsLeaveQtsThreadPoolFree()
{
    // Qt's drawing hands work to its global pool and waits for it: with two
    // threads there (a two-core machine) two running monitors, two windows,
    // must not hold them.
    QThreadPool *global = QThreadPool::globalInstance();
    const int threads = global->maxThreadCount();
    global->setMaxThreadCount(2);
    FakeAdb adb;
    QVERIFY(adb.isValid());
    Reports reports;
    auto first = startMonitor(&reports, 60000);
    auto second = startMonitor(&reports, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(adb.calls({"devices"}).size() >= 2, 20000);
    std::atomic_bool ran {false};
    global->start([&ran] { ran = true; });
    const bool done = global->waitForDone(10000);
    first.reset();
    second.reset();
    global->setMaxThreadCount(threads);
    QVERIFY(done);
    QVERIFY(ran);
}

void TestAdb::monitorTakesANewIntervalAtOnce()
{
    FakeAdb adb;
    QVERIFY(adb.isValid());
    Reports reports;
    auto monitor = startMonitor(&reports, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(adb.calls({"devices"}).size() == 1, 20000);
    // Changed from another thread during the long pause: the pause ends,
    // and the passes follow at the new pace.
    adb.setListings({listing({{"0123ABCD", "device"}}), listing({})});
    monitor->setPollInterval(20);
    QTRY_COMPARE_WITH_TIMEOUT(reports.events, (QStringList {"+0123ABCD/device", "-0123ABCD"}),
                              15000);
}

void TestAdb::monitorLeavesTheUsersServerRunning()
{
    // A server that was running already: start-server says nothing.
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.on({"start-server"}, FakeAdbReply());
    adb.setListings({listing({{"0123ABCD", "device"}})});
    Reports reports;
    auto monitor = startMonitor(&reports);
    QTRY_COMPARE_WITH_TIMEOUT(reports.events, QStringList {"+0123ABCD/device"}, 20000);
    monitor.reset();
    QVERIFY(!adbServerStartedHere());
    QCOMPARE(adb.calls({"kill-server"}).size(), 0);

    // A command that had to start the server (the user's went away) makes
    // it this program's to stop.
    adb.on({"devices"}, FakeAdbReply(listing({}), "* daemon not running; starting now at "
                                                  "tcp:5037\n* daemon started successfully\n"));
    adbDevices();
    QVERIFY(adbServerStartedHere());
    {
        AndroidMonitor idle;
    }
    QCOMPARE(adb.calls({"kill-server"}).size(), 1);
    QVERIFY(!adbServerStartedHere());
}

void TestAdb::monitorGoesOnWhenTheServerDoesNotStart()
{
    {
        FakeAdb adb;
        QVERIFY(adb.isValid());
        adb.on({"start-server"},
               FakeAdbReply {{},
                             "* daemon not running; starting now at tcp:5037\n"
                             "could not install *smartsocket* listener\n* failed to start daemon\n",
                             1});
        adb.setListings({listing({{"0123ABCD", "device"}})});
        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression("(?s)adb server did not start.*failed to start daemon"));
        Reports reports;
        auto monitor = startMonitor(&reports);
        QTRY_COMPARE_WITH_TIMEOUT(reports.events, QStringList {"+0123ABCD/device"}, 20000);
    }
    {
        // A server that was already running says nothing, and that is no failure.
        FakeAdb adb;
        QVERIFY(adb.isValid());
        adb.on({"start-server"}, FakeAdbReply {});
        QTest::failOnWarning(QRegularExpression("adb server did not start"));
        Reports reports;
        auto monitor = startMonitor(&reports);
        QTRY_VERIFY_WITH_TIMEOUT(adb.calls({"devices"}).size() >= 1, 20000);
    }
    {
        NoAdbOnPath noAdb;
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("adb server did not start.*run adb failed"));
        Reports reports;
        auto monitor = startMonitor(&reports);
        QTest::qWait(200);
        QElapsedTimer timer;
        timer.start();
        monitor.reset();
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(reports.events.isEmpty());
    }
}

void TestAdb::monitorStopsAtOnceWhileAdbStalls_data()
{
    QTest::addColumn<QStringList>("stalled");
    QTest::newRow("start-server") << QStringList {"start-server"};
    QTest::newRow("devices") << QStringList {"devices"};
}

void TestAdb::monitorStopsAtOnceWhileAdbStalls()
{
    // The program quits through the monitor's destructor: an adb that hangs
    // (a server slow to start, a listing that never comes) must not hold
    // the quit up for its time limit.
    QFETCH(QStringList, stalled);
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.on({"start-server"}, FakeAdbReply {});
    adb.on(stalled, FakeAdbReply {listing({}), {}, 0, 60000});
    Reports reports;
    auto monitor = startMonitor(&reports);
    QTRY_VERIFY_WITH_TIMEOUT(adb.calls(stalled).size() == 1, 20000);
    QTest::qWait(100); // well inside the run
    QElapsedTimer timer;
    timer.start();
    monitor.reset();
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(reports.events.isEmpty());
    // The server was the user's (start-server said nothing): it stays.
    QCOMPARE(adb.calls({"kill-server"}).size(), 0);
}

void TestAdb::monitorLeavesTheGlobalPoolFree()
{
    // Qt's painting hands work to the global thread pool and waits for it;
    // on a one-CPU machine that pool has a single thread, which the
    // monitor's endless loop must not take.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int oldMax = pool->maxThreadCount();
    pool->setMaxThreadCount(1);
    auto restore = qScopeGuard([&] { pool->setMaxThreadCount(oldMax); });
    FakeAdb adb;
    QVERIFY(adb.isValid());
    Reports reports;
    auto monitor = startMonitor(&reports);
    QTRY_VERIFY_WITH_TIMEOUT(adb.calls({"devices"}).size() >= 2, 20000);
    std::atomic<bool> ran {false};
    pool->start([&ran] { ran = true; });
    QTRY_VERIFY_WITH_TIMEOUT(ran.load(), 20000);
    monitor.reset();
    QVERIFY(pool->waitForDone(20000));
}

QTEST_GUILESS_MAIN(TestAdb)
#include "tst_adb.moc"
