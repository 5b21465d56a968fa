// Connecting an Android phone: the USB job through the fake adb and the
// simulated companion app, the Wi-Fi job against the simulated app on
// 127.0.0.1, cancelling, the device record and the Wi-Fi dialog.

#include "android/androidconnect.h"
#include "android/androiddevice.h"
#include "android/androidwifiform.h"
#include "android/simpleprotocol.h"
#include "standins/companionpeer.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/screenshot.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTranslator>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString kSerial = QStringLiteral("0123ABCD");

// What a job run under its dialog came to.
struct Outcome
{
    bool ok = false;
    QStringList boxes; // texts of the message boxes shown, in order
    QStringList stuck;
    AndroidDevice device;
    qint64 ms = 0;
};

// Runs a connection job under a progress dialog, pressing OK on every box.
// prepare may queue answers of its own (a Cancel, for one).
template<typename Job>
Outcome runJob(const std::function<Job *(ProgressForm *)> &make,
               const std::function<void(ModalAnswerer &, ProgressForm &)> &prepare = {})
{
    Outcome out;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    ProgressForm form(ids("IDS_CONNECTING_ANDROID_DEVICE"));
    std::unique_ptr<Job> job(make(&form));
    if (prepare)
        prepare(answerer, form);
    QElapsedTimer timer;
    timer.start();
    out.ok = form.runJob(job.get());
    out.ms = timer.elapsed();
    QTest::qWait(20); // boxes of late reports, if any
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == QLatin1String("QMessageBox"))
            out.boxes << s.text;
    out.stuck = answerer.stuck();
    out.device = job->device;
    return out;
}

Outcome runUsb(const std::function<void(ModalAnswerer &, ProgressForm &)> &prepare = {})
{
    return runJob<AndroidConnectWithUSBThread>(
            [](ProgressForm *form) {
                auto *job = new AndroidConnectWithUSBThread(kSerial, form);
                job->setInstallSettleTime(0);
                return job;
            },
            prepare);
}

Outcome runWifi(int controlPort,
                const std::function<void(ModalAnswerer &, ProgressForm &)> &prepare = {})
{
    return runJob<AndroidConnectWithWiFiThread>(
            [controlPort](ProgressForm *form) {
                auto *job = new AndroidConnectWithWiFiThread(QStringLiteral("127.0.0.1"), form);
                job->device.port = controlPort;
                return job;
            },
            prepare);
}

// Presses Cancel on the progress dialog once ready() holds.
std::function<void(ModalAnswerer &, ProgressForm &)> cancelWhen(std::function<bool()> ready)
{
    return [ready](ModalAnswerer &answerer, ProgressForm &) {
        answerer.act(QStringLiteral("ProgressForm"), [ready](QWidget *w) {
            QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
            QTest::qWait(200);
            QVERIFY(ModalAnswerer::clickButton(w, QStringLiteral("btnCancel")));
        });
    };
}

// A TCP port on 127.0.0.1 on which nothing listens.
quint16 closedPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QByteArray resourceBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString helpStart()
{
    return ids("IDS_ANDROID_CONNECT_HELP");
}

} // namespace

class TestAndroidConn : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void parseHello_data();
    void parseHello();
    void nameAndId();
    void cacheFolder_data();
    void cacheFolder();

    void usbConnect_data();
    void usbConnect();
    void usbInstallsMissingApp();
    void usbInstallsOnTwoPhonesAtOnce();
    void usbAppNeverAnswers();
    void usbCancelWhileOpening();
    void usbCancelDuringInstall();
    void usbCancelDuringForward();

    void wifiConnect_data();
    void wifiConnect();
    void wifiEndlessControlReply();
    void wifiSessionPortUnreachable();
    void wifiCancelWhileWaitingForHello();

    void dialogRefusesBadAddresses_data();
    void dialogRefusesBadAddresses();
    void dialogConnects();
    void dialogCancelKeepsItOpen();

private:
    std::unique_ptr<TestEnv> m_env;
    QTranslator m_translator;
};

void TestAndroidConn::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    qputenv("PELICORDE_SERVICE_HOST", "");
    registerAndroidDeviceMetaType();
    QVERIFY2(QFileInfo(FakeAdb::programPath()).isExecutable(), "the fakeadb program is not built");
}

void TestAndroidConn::parseHello_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    // version|model|manufacturer|imei|uid|sdk|sdk_id|root|storage1|mmc
    QTest::addColumn<QString>("fields");

    QTest::newRow("every key")
            << "version=10;model=Pixel 7;manufacturer=Google;imei=356938035643809;uid=a1b2;"
               "sdk=13;sdk_id=33;root=0;storage1=/storage/emulated/0;mmc=310"
            << QString()
            << "10|Pixel 7|Google|356938035643809|a1b2|13|33|0|/storage/emulated/0|310";
    QTest::newRow("unknown key, root 2, sdk_id not a number")
            << "colour=blue;root=2;sdk_id=abc;version=12" << QString() << "12|||||||1||";
    QTest::newRow("a key twice keeps the last")
            << "model=A;model=B;" << QString() << "0|B||||||0||";
    QTest::newRow("later hello keeps fields it does not give") << "model=A;imei=1;version=9"
                                                               << "version=11;root=1"
                                                               << "11|A||1||||1||";
    QTest::newRow("no trailing semicolon, empty value skipped")
            << "model=;imei=77;mmc=262" << QString() << "0|||77||||0||262";
    QTest::newRow("not a hello at all") << "garbage without pairs" << QString() << "0|||||||0||";
}

void TestAndroidConn::parseHello()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, fields);
    AndroidDevice d;
    d.parseHello(first);
    if (!second.isEmpty())
        d.parseHello(second);
    const QString got = QStringList {QString::number(d.version),
                                     d.model,
                                     d.manufacturer,
                                     d.imei,
                                     d.uid,
                                     d.sdk,
                                     d.sdk_id ? QString::number(d.sdk_id) : QString(),
                                     d.root ? "1" : "0",
                                     d.storage1,
                                     d.mmc}
                                .join('|');
    QCOMPARE(got, fields);
    QVERIFY(d.tag.isEmpty());
    QVERIFY(d.dateTime.isNull());
}

void TestAndroidConn::nameAndId()
{
    AndroidDevice d;
    d.manufacturer = QStringLiteral("  Samsung  ");
    QCOMPARE(d.displayName(), QStringLiteral("Samsung"));
    d.model = QStringLiteral("SM-G991B");
    QCOMPARE(d.displayName(), QStringLiteral("Samsung   SM-G991B"));
    d.manufacturer.clear();
    QCOMPARE(d.displayName(), QStringLiteral("SM-G991B"));

    d.serial = kSerial;
    d.uid = QStringLiteral("u-1");
    QCOMPARE(d.deviceId(), kSerial);
    d.viaWifi = true;
    QCOMPARE(d.deviceId(), QStringLiteral("u-1"));
}

void TestAndroidConn::cacheFolder_data()
{
    QTest::addColumn<QString>("imei");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("uid");
    QTest::addColumn<bool>("wifi");
    QTest::addColumn<QString>("folder"); // "#" + key: the hashed form of key

    QTest::newRow("an IMEI names the folder")
            << "356938035643809" << kSerial << QString() << false << "356938035643809";
    QTest::newRow("a path in the IMEI stays inside")
            << "../../outside" << kSerial << QString() << false << "#../../outside";
    QTest::newRow("an absolute path in the IMEI")
            << "/tmp/x" << kSerial << QString() << false << "#/tmp/x";
    QTest::newRow("dot-dot alone") << ".." << kSerial << QString() << false << "#..";
    QTest::newRow("no IMEI over USB: the serial")
            << QString() << "192.168.1.5:5555" << QString() << false << "#192.168.1.5:5555";
    QTest::newRow("no IMEI over Wi-Fi: the uid")
            << QString() << QString() << "a1b2c3" << true << "a1b2c3";
    QTest::newRow("nothing at all") << QString() << QString() << QString() << true << "unknown";
}

void TestAndroidConn::cacheFolder()
{
    QFETCH(QString, imei);
    QFETCH(QString, serial);
    QFETCH(QString, uid);
    QFETCH(bool, wifi);
    QFETCH(QString, folder);
    AndroidDevice d;
    d.imei = imei;
    d.serial = serial;
    d.uid = uid;
    d.viaWifi = wifi;
    if (folder.startsWith('#'))
        folder = "id-"
                + QString::fromLatin1(
                         QCryptographicHash::hash(folder.mid(1).toUtf8(), QCryptographicHash::Md5)
                                 .toHex());
    QCOMPARE(androidCacheFolderName(d), folder);
    const QString root = dataFolder().absoluteFilePath("android_cache");
    const QDir dir = androidCacheDir(d);
    QVERIFY(dir.exists());
    QCOMPARE(dir.absolutePath(), root + '/' + folder);
    QCOMPARE(androidCacheDir(d).absolutePath(), dir.absolutePath());
}

void TestAndroidConn::usbConnect_data()
{
    QTest::addColumn<QString>("hello"); // empty: the peer's own
    QTest::addColumn<int>("faultKind"); // -1: none
    QTest::addColumn<int>("faultLine");
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<QString>("packages"); // "pm -l" output; "-": the fake adb's own
    QTest::addColumn<bool>("unauthorized");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("boxParts"); // the error box holds each of these

    const QString none = QString();
    QTest::newRow("app present") << none << -1 << 0 << none << "-" << false << true
                                 << QStringList();
    QTest::newRow("package list empty: no install")
            << none << -1 << 0 << none << "" << false << true << QStringList();
    QTest::newRow("unauthorized phone") << none << -1 << 0 << none << "-" << true << false
                                        << QStringList {helpStart(), "adb: device unauthorized."};
    QTest::newRow("app too old")
            << "version=9;imei=1;uid=u" << -1 << 0 << none << "-" << false << false
            << QStringList {"Quillmarsh SMS Sync on Android is too old. 3.1.10 needed."};
    QTest::newRow("app reports an error, markup shown as text")
            << none << int(CompanionFault::Error) << 1 << "<b>Storage</b> full"
            << "-" << false << false
            << QStringList {helpStart(), "&lt;b&gt;Storage&lt;/b&gt; full"};
    QTest::newRow("app closes before the hello")
            << none << int(CompanionFault::Close) << 1 << none << "-" << false << false
            << QStringList {helpStart(), "The remote host closed the connection"};
    QTest::newRow("app closes in the middle of the hello")
            << none << int(CompanionFault::CloseMidLine) << 1 << none << "-" << false << false
            << QStringList {helpStart(), "The remote host closed the connection"};
    QTest::newRow("endless hello line")
            << QString(100 * 1024, QLatin1Char('x')) << -1 << 0 << none << "-" << false << false
            << QStringList {helpStart(), "line longer than"};
    QTest::newRow("wrong first line")
            << none << int(CompanionFault::RawLine) << 0 << "$hello:version=10"
            << "-" << false << false
            << QStringList {helpStart(), "invalid feedback [$hello:version=10], must be [$ready:]"};
}

void TestAndroidConn::usbConnect()
{
    QFETCH(QString, hello);
    QFETCH(int, faultKind);
    QFETCH(int, faultLine);
    QFETCH(QString, faultText);
    QFETCH(QString, packages);
    QFETCH(bool, unauthorized);
    QFETCH(bool, ok);
    QFETCH(QStringList, boxParts);

    CompanionScenario scenario;
    if (!hello.isEmpty())
        scenario.hello = hello;
    if (faultKind >= 0)
        scenario.faults = {{"device2", faultLine, CompanionFault::Kind(faultKind), faultText}};
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setCompanion(peer.controlPort());
    if (packages != QLatin1String("-"))
        adb.on({"-s", kSerial, "shell", "pm", "-l"}, FakeAdbReply {packages});
    if (unauthorized)
        adb.on({"-s", kSerial, "**"},
               FakeAdbReply {{},
                             "adb: device unauthorized.\nThis adb server's $ADB_VENDOR_KEYS is "
                             "not set\n",
                             1});

    const Outcome out = runUsb();
    QCOMPARE(out.ok, ok);
    QVERIFY2(out.stuck.isEmpty(), qPrintable(out.stuck.join('\n')));
    QVERIFY2(out.ms < 15000, qPrintable(QString::number(out.ms)));
    QVERIFY(adb.calls({"-s", "*", "install", "**"}).isEmpty());
    if (ok) {
        QCOMPARE(out.boxes, QStringList());
        QCOMPARE(out.device.serial, kSerial);
        QVERIFY(!out.device.viaWifi);
        QCOMPARE(out.device.imei, QStringLiteral("356938035643809"));
        QCOMPARE(out.device.version, 10);
        QCOMPARE(out.device.displayName(), QStringLiteral("Google Pixel 7"));
        QCOMPARE(out.device.deviceId(), kSerial);
        QVERIFY(peer.waitForSessions(1, 5000));
        QCOMPARE(peer.record().endings, QStringList {"bye"});
        QVERIFY(peer.record().sessions.value(0).startsWith("device2://127.0.0.1:"));
        // The session's port was forwarded to itself.
        const QString port = QString::number(QUrl(peer.record().sessions.value(0)).port());
        QCOMPARE(adb.calls({"-s", kSerial, "forward", "tcp:" + port, "tcp:" + port}).size(), 1);
        // ... and the forward went with the session.
        QCOMPARE(adb.calls({"-s", kSerial, "forward", "--remove", "tcp:" + port}).size(), 1);
    } else {
        QCOMPARE(out.boxes.size(), 1);
        for (const QString &part : boxParts)
            QVERIFY2(out.boxes.first().contains(part), qPrintable(out.boxes.first()));
        // Markup from outside is never shown as markup.
        QVERIFY(!out.boxes.first().contains("<b>Storage"));
    }
}

void TestAndroidConn::usbInstallsMissingApp()
{
    struct Case
    {
        const char *name;
        FakeAdbReply install;
        bool ok;
        QString boxPart;
    };
    const QList<Case> cases {
            {"install succeeds", FakeAdbReply {"Performing Streamed Install\nSuccess\n"}, true, {}},
            {"install fails",
             FakeAdbReply {"Performing Streamed Install\n",
                           "adb: failed to install: Failure [INSTALL_FAILED_VERSION_DOWNGRADE]\n",
                           1},
             false, "Failure [INSTALL_FAILED_VERSION_DOWNGRADE]"},
            {"install says nothing useful", FakeAdbReply {"Performing Streamed Install\n"}, false,
             "Performing Streamed Install"},
    };
    for (const Case &c : cases) {
        CompanionPeer peer;
        QVERIFY(peer.start());
        FakeAdb adb;
        QVERIFY(adb.isValid());
        adb.setCompanion(peer.controlPort());
        adb.on({"-s", kSerial, "shell", "pm", "-l"},
               FakeAdbReply {"package:com.android.phone\npackage:com.android.settings\n"});
        adb.on({"-s", kSerial, "install", "*"}, c.install);
        // A file of the package's usual name, left by an older version, is
        // neither used nor touched.
        const QString stale = dataFolder().absoluteFilePath("com.quillmarsh.smssync.apk");
        {
            QFile f(stale);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("stale");
        }

        const Outcome out = runUsb();
        QVERIFY2(out.ok == c.ok, c.name);
        const auto installs = adb.calls({"-s", kSerial, "install", "*"});
        QCOMPARE(installs.size(), 1);
        // The job's own package file in the data folder, gone afterwards.
        const QFileInfo apk(installs.first().at(3));
        QCOMPARE(apk.absolutePath(), dataFolder().absolutePath());
        QVERIFY2(apk.fileName().startsWith("com.quillmarsh.smssync-"), qPrintable(apk.fileName()));
        QCOMPARE(apk.suffix(), QStringLiteral("apk"));
        QVERIFY(!apk.exists());
        QCOMPARE(resourceBytes(stale), QByteArray("stale"));
        QFile::remove(stale);
        const QByteArray package = resourceBytes(kCompanionPackageResource);
        QVERIFY(!package.isEmpty());
        if (c.ok)
            QCOMPARE(adb.installedPackage(kSerial), package);
        const auto broadcasts = adb.calls({"-s", kSerial, "shell", "am", "broadcast", "**"});
        if (c.ok) {
            QCOMPARE(out.boxes, QStringList());
            QCOMPARE(broadcasts.size(), 1);
            QCOMPARE(out.device.imei, QStringLiteral("356938035643809"));
        } else {
            QCOMPARE(out.boxes.size(), 1);
            QVERIFY2(out.boxes.first().contains("download and install Quillmarsh SMS Sync first"),
                     c.name);
            QVERIFY2(out.boxes.first().contains(c.boxPart), qPrintable(out.boxes.first()));
            QVERIFY(!out.boxes.first().contains(helpStart()));
            QVERIFY2(broadcasts.isEmpty(), c.name); // no hello after a failed install
        }
    }
}

void TestAndroidConn::usbInstallsOnTwoPhonesAtOnce()
{
    // Two phones without the app connect at once: the second job prepares
    // its package while the first one's install is still reading its own.
    // Repeated, since the two jobs meet at a different moment each time.
    const QByteArray package = resourceBytes(kCompanionPackageResource);
    QVERIFY(!package.isEmpty());
    auto runFor = [](const QString &serial,
                     const std::function<void(ModalAnswerer &, ProgressForm &)> &prepare) {
        return runJob<AndroidConnectWithUSBThread>(
                [serial](ProgressForm *form) {
                    auto *job = new AndroidConnectWithUSBThread(serial, form);
                    job->setInstallSettleTime(0);
                    return job;
                },
                prepare);
    };
    for (int round = 0; round < 3; ++round) {
        CompanionPeer peer;
        QVERIFY(peer.start());
        FakeAdb adb;
        QVERIFY(adb.isValid());
        adb.setCompanion(peer.controlPort());
        adb.on({"-s", "*", "shell", "pm", "-l"}, FakeAdbReply {"package:com.android.phone\n"});
        adb.on({"-s", "*", "install", "*"},
               FakeAdbReply {"Performing Streamed Install\nSuccess\n", {}, 0, 1500});
        const QString first = QStringLiteral("PHONE-A%1").arg(round);
        const QString second = QStringLiteral("PHONE-B%1").arg(round);
        Outcome inner;
        const Outcome outer = runFor(first, [&](ModalAnswerer &answerer, ProgressForm &) {
            answerer.act(QStringLiteral("ProgressForm"), [&](QWidget *) {
                QTRY_VERIFY_WITH_TIMEOUT(!adb.calls({"-s", first, "install", "*"}).isEmpty(),
                                         20000);
                inner = runFor(second, {});
            });
        });
        QVERIFY2(outer.ok, qPrintable(outer.boxes.join('\n')));
        QVERIFY2(inner.ok, qPrintable(inner.boxes.join('\n')));
        QCOMPARE(adb.installedPackage(first), package);
        QCOMPARE(adb.installedPackage(second), package);
        const auto installs = adb.calls({"-s", "*", "install", "*"});
        QCOMPARE(installs.size(), 2);
        QVERIFY(installs.at(0).at(3) != installs.at(1).at(3));
        // Both package files are gone again.
        QCOMPARE(dataFolder().entryList({"*.apk"}, QDir::Files), QStringList());
    }
}

void TestAndroidConn::usbAppNeverAnswers()
{
    // The app never sends "$ready:": the opening tries for about ten
    // seconds, then gives up.
    CompanionScenario scenario;
    scenario.faults = {{"device2", 0, CompanionFault::Silence, {}}};
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setCompanion(peer.controlPort());

    const Outcome out = runUsb();
    QVERIFY(!out.ok);
    QVERIFY2(out.ms >= 9000 && out.ms < 16000, qPrintable(QString::number(out.ms)));
    QCOMPARE(out.boxes.size(), 1);
    const QString url = peer.record().sessions.value(0);
    QVERIFY(url.startsWith("device2://"));
    QVERIFY2(out.boxes.first().contains(QStringLiteral("start %1 failed.").arg(url)),
             qPrintable(out.boxes.first()));
}

void TestAndroidConn::usbCancelWhileOpening()
{
    CompanionScenario scenario;
    scenario.faults = {{"device2", 0, CompanionFault::Silence, {}}};
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setCompanion(peer.controlPort());

    const Outcome out = runUsb(cancelWhen([&] { return !peer.record().sessions.isEmpty(); }));
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes, QStringList()); // a cancel shows nothing
    QVERIFY2(out.ms < 5000, qPrintable(QString::number(out.ms)));
    QVERIFY(out.stuck.isEmpty());
}

void TestAndroidConn::usbCancelDuringInstall()
{
    CompanionPeer peer;
    QVERIFY(peer.start());
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setCompanion(peer.controlPort());
    adb.on({"-s", kSerial, "shell", "pm", "-l"}, FakeAdbReply {"package:com.android.phone\n"});
    adb.on({"-s", kSerial, "install", "*"}, FakeAdbReply {"Success\n", {}, 0, 60000});

    const Outcome out = runUsb(cancelWhen([&] {
        return !adb.calls({"-s", kSerial, "install", "*"}).isEmpty();
    }));
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes, QStringList());
    // The cancel ended the install instead of waiting for adb's end; no
    // session was asked for afterwards.
    QVERIFY2(out.ms < 10000, qPrintable(QString::number(out.ms)));
    QCOMPARE(adb.calls({"-s", kSerial, "install", "*"}).size(), 1);
    QVERIFY(adb.calls({"-s", kSerial, "shell", "am", "broadcast", "**"}).isEmpty());
    QVERIFY(peer.record().sessions.isEmpty());
}

void TestAndroidConn::usbCancelDuringForward()
{
    CompanionPeer peer;
    QVERIFY(peer.start());
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setCompanion(peer.controlPort());
    // A forward that hangs (a phone that stopped answering); its removal
    // answers at once.
    adb.on({"-s", kSerial, "forward", "*", "*"}, FakeAdbReply {{}, {}, 0, 60000});
    adb.on({"-s", kSerial, "forward", "--remove", "*"}, FakeAdbReply());
    auto forwards = [&] {
        QList<QStringList> set;
        for (const QStringList &call : adb.calls({"-s", kSerial, "forward", "*", "*"}))
            if (call.at(3) != "--remove")
                set << call;
        return set;
    };

    const Outcome out = runUsb(cancelWhen([&] { return !forwards().isEmpty(); }));
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes, QStringList());
    QVERIFY2(out.ms < 10000, qPrintable(QString::number(out.ms)));
    // Whatever the cut-short forward did is undone.
    QCOMPARE(forwards().size(), 1);
    QCOMPARE(adb.calls({"-s", kSerial, "forward", "--remove", "*"}),
             (QList<QStringList> {{"-s", kSerial, "forward", "--remove", forwards().first().at(3)}}));
}

void TestAndroidConn::wifiConnect_data()
{
    QTest::addColumn<QString>("hello"); // empty: the peer's own
    QTest::addColumn<int>("faultKind");
    QTest::addColumn<int>("faultLine");
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<bool>("closedControlPort");
    QTest::addColumn<QString>("box"); // empty: success; "*" ends a prefix match

    const QString none;
    QTest::newRow("connects") << none << -1 << 0 << none << none << false << none;
    QTest::newRow("names beyond ASCII") << QString::fromUtf8("version=11;manufacturer=Ünal;"
                                                             "model=Téléphone;uid=w1;imei=42")
                                        << -1 << 0 << none << none << false << none;
    QTest::newRow("first line other than a hello is read as one")
            << none << int(CompanionFault::RawLine) << 1 << "$hallo:version=10;uid=w2;imei=7"
            << none << false << none;
    QTest::newRow("control port closed")
            << none << -1 << 0 << none << none << true << "can not connect 127.0.0.1:%1.";
    QTest::newRow("app refuses") << none << -1 << 0 << none << "Busy <now>" << false
                                 << "start device2://127.0.0.1:*failed.Busy &lt;now&gt;";
    QTest::newRow("app reports an error")
            << none << int(CompanionFault::Error) << 1 << QString::fromUtf8("Kein Zugriff – 拒绝")
            << none << false << QString::fromUtf8("Kein Zugriff – 拒绝");
    QTest::newRow("app too old") << "version=3;uid=x" << -1 << 0 << none << none << false
                                 << "Quillmarsh SMS Sync on Android is too old. 3.1.10 needed.*";
}

void TestAndroidConn::wifiConnect()
{
    QFETCH(QString, hello);
    QFETCH(int, faultKind);
    QFETCH(int, faultLine);
    QFETCH(QString, faultText);
    QFETCH(QString, refusal);
    QFETCH(bool, closedControlPort);
    QFETCH(QString, box);

    CompanionScenario scenario;
    if (!hello.isEmpty())
        scenario.hello = hello;
    if (faultKind >= 0)
        scenario.faults = {{"device2", faultLine, CompanionFault::Kind(faultKind), faultText}};
    scenario.refusal = refusal;
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    const quint16 port = closedControlPort ? closedPort() : peer.controlPort();

    const Outcome out = runWifi(port);
    QVERIFY2(out.stuck.isEmpty(), qPrintable(out.stuck.join('\n')));
    if (box.isEmpty()) {
        QVERIFY(out.ok);
        QCOMPARE(out.boxes, QStringList());
        AndroidDevice expected;
        expected.parseHello(faultKind == int(CompanionFault::RawLine) ? faultText.mid(7)
                                                                      : scenario.hello);
        QVERIFY(out.device.viaWifi);
        QCOMPARE(out.device.host, QStringLiteral("127.0.0.1"));
        QCOMPARE(out.device.port, int(port));
        QVERIFY(out.device.serial.isEmpty());
        QCOMPARE(out.device.uid, expected.uid);
        QCOMPARE(out.device.deviceId(), expected.uid);
        QCOMPARE(out.device.displayName(), expected.displayName());
        QCOMPARE(out.device.imei, expected.imei);
        QVERIFY(peer.waitForSessions(1, 5000));
        QCOMPARE(peer.record().endings, QStringList {"bye"});
        return;
    }
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    const QString shown = out.boxes.first();
    if (box.contains(QLatin1String("%1")))
        box = box.arg(port);
    const QStringList pieces = box.split('*');
    qsizetype at = 0;
    for (const QString &piece : pieces) {
        at = shown.indexOf(piece, at);
        QVERIFY2(at >= 0, qPrintable(shown));
        at += piece.size();
    }
    // The Wi-Fi job reports the failure alone, without the USB help.
    QVERIFY(!shown.contains(helpStart()));
}

void TestAndroidConn::wifiEndlessControlReply()
{
    // A refusal far longer than any reply: cut short, not shown whole.
    CompanionScenario scenario;
    scenario.refusal = QString(200 * 1024, QLatin1Char('r'));
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    const Outcome out = runWifi(peer.controlPort());
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().size() < 4096, qPrintable(out.boxes.first().left(300)));
    QVERIFY(!out.boxes.first().contains("rrrrrrrr"));
}

void TestAndroidConn::wifiSessionPortUnreachable()
{
    // An app that accepts the session on its control port but never listens
    // on the session's port.
    QTcpServer control;
    QVERIFY(control.listen(QHostAddress::LocalHost, 0));
    QString asked;
    connect(&control, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *s = control.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [&, s] {
            if (!s->canReadLine())
                return;
            asked = QString::fromLatin1(s->readLine()).trimmed();
            s->write("1\n");
            s->disconnectFromHost();
        });
    });
    const Outcome out = runWifi(control.serverPort());
    QVERIFY(!out.ok);
    QVERIFY(asked.startsWith("device2://127.0.0.1:"));
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().contains(QStringLiteral("connec %1 failed.").arg(asked)),
             qPrintable(out.boxes.first()));
}

void TestAndroidConn::wifiCancelWhileWaitingForHello()
{
    CompanionScenario scenario;
    scenario.faults = {{"device2", 1, CompanionFault::Silence, {}}};
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    const Outcome out = runWifi(peer.controlPort(),
                                cancelWhen([&] { return !peer.record().sessions.isEmpty(); }));
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes, QStringList());
    QVERIFY2(out.ms < 5000, qPrintable(QString::number(out.ms)));
    QVERIFY(peer.waitForSessions(1, 10000));
}

void TestAndroidConn::dialogRefusesBadAddresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("three parts") << "10.0.0";
    QTest::newRow("a host name") << "phone.local";
    QTest::newRow("empty") << "";
    QTest::newRow("with a port") << "127.0.0.1:44441";
    QTest::newRow("four digits") << "1000.0.0.1";
    QTest::newRow("blank inside") << "127.0. 0.1";
}

void TestAndroidConn::dialogRefusesBadAddresses()
{
    QFETCH(QString, text);
    CompanionPeer peer;
    QVERIFY(peer.start());
    AndroidWIFIForm form;
    form.setControlPort(peer.controlPort());
    form.show();
    form.txtWifiSocket->setText(text);
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    QTest::mouseClick(form.btnConnect, Qt::LeftButton);
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Warning));
    QCOMPARE(answerer.seen().first().text, ids("IDS_WIFI_SOCK_WRONG_FOR_EXAMPLE"));
    QCOMPARE(form.result(), int(QDialog::Rejected));
    QVERIFY(form.device.uid.isEmpty());
    QVERIFY(peer.record().sessions.isEmpty());
    QCOMPARE(form.txtWifiSocket->text(), text);
}

void TestAndroidConn::dialogConnects()
{
    // First the app refuses, then it accepts: the dialog stays open after
    // the failure and takes the phone of the second attempt only.
    CompanionScenario refusing;
    refusing.refusal = QStringLiteral("Not now");
    refusing.hello = QStringLiteral("version=10;uid=first;imei=111");
    CompanionPeer peer(refusing);
    QVERIFY(peer.start());

    AndroidWIFIForm form;
    QCOMPARE(form.objectName(), QStringLiteral("AndroidWIFIForm"));
    QVERIFY(form.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(form.btnConnect->text(), ids("IDS_WIFI_FORM_CONNECT"));
    form.setControlPort(peer.controlPort());
    form.show();
    // The grey footer holds its whole text, inside the dialog.
    QLabel *footer = form.lbTipsDownloadWifiConnection;
    QVERIFY2(footer->heightForWidth(footer->width()) <= footer->height(),
             qPrintable(QString::number(footer->heightForWidth(footer->width()))));
    QVERIFY(form.rect().contains(footer->geometry()));
    saveShot(&form, "androidwifiform");
    form.txtWifiSocket->setText(QStringLiteral("  127.0.0.1 "));

    {
        ModalAnswerer answerer;
        answerer.press("QMessageBox", "btnOk");
        QTest::mouseClick(form.btnConnect, Qt::LeftButton);
        QCOMPARE(answerer.seen().size(), 1);
        QVERIFY2(answerer.seen().first().text.contains("failed.Not now"),
                 qPrintable(answerer.seen().first().text));
        QVERIFY(form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Rejected));
        QVERIFY(form.device.uid.isEmpty());
    }

    CompanionScenario accepting;
    accepting.hello = QStringLiteral("version=10;uid=second;imei=222;manufacturer=Acme");
    peer.setScenario(accepting);
    {
        ModalAnswerer answerer;
        QTest::mouseClick(form.btnConnect, Qt::LeftButton);
        QVERIFY(answerer.stuck().isEmpty());
        QCOMPARE(answerer.seen().size(), 0);
    }
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QVERIFY(!form.isVisible());
    QCOMPARE(form.device.uid, QStringLiteral("second"));
    QCOMPARE(form.device.imei, QStringLiteral("222"));
    QCOMPARE(form.device.host, QStringLiteral("127.0.0.1"));
    QVERIFY(form.device.viaWifi);
    QCOMPARE(peer.record().sessions.size(), 2);
}

void TestAndroidConn::dialogCancelKeepsItOpen()
{
    CompanionScenario scenario;
    scenario.faults = {{"device2", 1, CompanionFault::Silence, {}}};
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    AndroidWIFIForm form;
    form.setControlPort(peer.controlPort());
    form.show();
    form.txtWifiSocket->setText(QStringLiteral("127.0.0.1"));
    {
        ModalAnswerer answerer;
        answerer.act(QStringLiteral("ProgressForm"), [&](QWidget *w) {
            QTRY_VERIFY_WITH_TIMEOUT(!peer.record().sessions.isEmpty(), 20000);
            QVERIFY(ModalAnswerer::clickButton(w, QStringLiteral("btnCancel")));
        });
        QTest::mouseClick(form.btnConnect, Qt::LeftButton);
        QCOMPARE(answerer.seen().size(), 1); // the Cancel, and no box after it
    }
    QVERIFY(form.isVisible());
    QVERIFY(form.device.uid.isEmpty());

    // Cancel of the dialog itself closes it rejected.
    QTest::mouseClick(form.btnClose, Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.result(), int(QDialog::Rejected));
}

QTEST_MAIN(TestAndroidConn)
#include "tst_androidconn.moc"
