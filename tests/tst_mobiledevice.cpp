#include "iphone/applelibrary.h"
#include "iphone/cftype.h"
#include "iphone/mobiledevice.h"
#include "tests/support/cpiofixture.h"
#include "tests/support/iphonesim.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace {

const QString kAdvice = QStringLiteral(
        "Please restart your iPhone and computer to try again. If a prompt message pops out on "
        "your iPhone, please click \"Trust\".");

// Two connected stream sockets: `near` for the code under test, `far` for
// the simulated peer.
struct Pair
{
    Pair()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            nearFd = fds[0];
            farFd = fds[1];
        }
    }
    ~Pair()
    {
        closeNear();
        closeFar();
    }
    void closeNear()
    {
        if (nearFd >= 0)
            ::close(nearFd);
        nearFd = -1;
    }
    void closeFar()
    {
        if (farFd >= 0)
            ::close(farFd);
        farFd = -1;
    }
    void send(const QByteArray &bytes) const
    {
        QCOMPARE(::send(farFd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL),
                 ssize_t(bytes.size()));
    }
    // What the far side has received within waitMs.
    QByteArray received(int waitMs = 1000) const
    {
        QByteArray all;
        char buf[65536];
        QElapsedTimer t;
        t.start();
        for (;;) {
            const ssize_t n = ::recv(farFd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                all.append(buf, n);
                continue;
            }
            if (n == 0 || t.elapsed() > waitMs)
                break;
            QThread::msleep(10);
        }
        return all;
    }
    int nearFd = -1;
    int farFd = -1;
};

QByteArray bigEndian(quint32 n)
{
    const char bytes[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return QByteArray(bytes, 4);
}

template<typename F> QString thrown(F &&f)
{
    try {
        f();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("(nothing thrown)");
}

QJsonObject phone(const QString &udid, const QJsonObject &extra = {})
{
    QJsonObject main {{"UniqueDeviceID", udid},
                      {"DeviceName", QString::fromUtf8("Zoë’s iPhone")},
                      {"MobileSubscriberCountryCode", "310"},
                      {"ProductVersion", "6.1.3"},
                      {"ProductType", "iPhone5,1"}};
    QJsonObject d {
            {"udid", udid},
            {"values",
             QJsonObject {{"", main},
                          {"com.apple.mobile.backup",
                           QJsonObject {{"CloudBackupEnabled", true}, {"WillEncrypt", false}}},
                          {"com.apple.disk_usage",
                           QJsonObject {{"TotalDataCapacity", 30000000000.0},
                                        {"AmountDataAvailable", 12000000000.0}}}}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        d.insert(it.key(), it.value());
    return d;
}

bool scenario(const QList<QJsonObject> &devices)
{
    QJsonArray list;
    for (const QJsonObject &d : devices)
        list.append(d);
    return iphonesim::setScenario(QJsonObject {{"devices", list}});
}

// Nothing of a device is left connected or in a session.
bool idle(const QString &udid)
{
    const QJsonObject r = iphonesim::report(udid);
    return r.value("connections").toInt(-1) == 0 && r.value("sessions").toInt(-1) == 0;
}

} // namespace

class Receiver : public QObject
{
    Q_OBJECT
public slots:
    void iosDeviceConnected(void *device) { record(1, device); }
    void iosDeviceDisconnected(void *device) { record(2, device); }

public:
    QList<QPair<int, void *>> events;
    bool allInOwnThread = true;

private:
    void record(int message, void *device)
    {
        events.append({message, device});
        allInOwnThread = allInOwnThread && QThread::currentThread() == thread();
    }
};

class TestMobileDevice : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void notificationsAreQueuedToTheReceiversSlots();
    void clearedTargetHearsNothing();
    void receiverLeavingWhileDevicesComeAndGo();
    void callBackInTheReceiversOwnThreadIsQueued();

    void sessions_data();
    void sessions();
    void copyValues();
    void copyValueWithoutSessionThrows();
    void sessionsFromSeveralThreads();
    void setValue();
    void deviceIdentifier();
    void fileRelayServiceOverItsSocket();
    void serviceStartFailures();
    void fileRelayFaults_data();
    void fileRelayFaults();

    void sentMessagesAreFramed();
    void emptyMessageSendsNothing();
    void receivedFraming_data();
    void receivedFraming();
    void lengthPrefixWaitsItsOwnTime();
    void stalledPeerEndsTheBodyWait();
    void receiveErrorShowsTheRequest();
    void sendToAPeerThatStopsReading();
    void sendToAClosedPeer();
    void sendPartsArriveAsOneStream_data();
    void sendPartsArriveAsOneStream();
    void sendPartsToAPeerThatStopsReading();

private:
    QTemporaryDir m_dir;
    long m_baseline = 0;
};

void TestMobileDevice::initTestCase()
{
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    m_baseline = iphonesim::liveObjects();
}

void TestMobileDevice::init()
{
    mobiledevice::setLengthTimeoutMs(60000);
}

void TestMobileDevice::cleanupTestCase()
{
    mobiledevice_set_target(&deviceNotifyTarget, nullptr, nullptr, nullptr);
    QVERIFY(scenario({}));
    QCOMPARE(iphonesim::liveObjects(), m_baseline);
    iphonesim::shutdown();
}

void TestMobileDevice::notificationsAreQueuedToTheReceiversSlots()
{
    QVERIFY(scenario(
            {phone("AAA"), phone("BBB", {{"arriveAfterMs", 100}, {"leaveAfterMs", 150}})}));
    Receiver receiver;
    mobiledevice_set_target(&deviceNotifyTarget, &receiver, "iosDeviceConnected",
                            "iosDeviceDisconnected");
    mobiledevice_subscribe(&deviceNotifyTarget);

    void *a = iphonesim::device("AAA");
    void *b = iphonesim::device("BBB");
    QVERIFY(a && b && a != b);
    using Events = QList<QPair<int, void *>>;
    QTRY_COMPARE(receiver.events, (Events {{1, a}, {1, b}, {2, b}}));
    QVERIFY(iphonesim::attach("AAA", false));
    QTRY_COMPARE(receiver.events.size(), 4);
    QCOMPARE(receiver.events.last(), qMakePair(2, a));
    QVERIFY(receiver.allInOwnThread);

    // A message other than 1 and 2 is ignored; so is a null record.
    AMDeviceNotificationInfo other {a, 3};
    std::thread([&] {
        mobiledevice_notification_callback(&other, &deviceNotifyTarget);
        mobiledevice_notification_callback(nullptr, &deviceNotifyTarget);
    }).join();
    QTest::qWait(50);
    QCOMPARE(receiver.events.size(), 4);
    mobiledevice_set_target(&deviceNotifyTarget, nullptr, nullptr, nullptr);
}

void TestMobileDevice::clearedTargetHearsNothing()
{
    Receiver receiver;
    mobiledevice_set_target(&deviceNotifyTarget, &receiver, "iosDeviceConnected",
                            "iosDeviceDisconnected");
    QVERIFY(scenario({phone("CCC")}));
    QTRY_COMPARE(receiver.events.size(), 1);
    mobiledevice_set_target(&deviceNotifyTarget, nullptr, "iosDeviceConnected",
                            "iosDeviceDisconnected");
    QVERIFY(iphonesim::attach("CCC", false));
    QVERIFY(iphonesim::attach("CCC", true));
    QTest::qWait(200);
    QCOMPARE(receiver.events.size(), 1);

    // Empty slot names: nothing is invoked.
    mobiledevice_set_target(&deviceNotifyTarget, &receiver, "", nullptr);
    QVERIFY(iphonesim::attach("CCC", false));
    QTest::qWait(100);
    QCOMPARE(receiver.events.size(), 1);
    mobiledevice_set_target(&deviceNotifyTarget, nullptr, nullptr, nullptr);
}

void TestMobileDevice::receiverLeavingWhileDevicesComeAndGo()
{
    QVERIFY(scenario({phone("DDD")}));
    std::atomic<bool> stop {false};
    std::thread churn([&] {
        bool on = false;
        while (!stop) {
            iphonesim::attach("DDD", on);
            on = !on;
        }
    });
    // Receivers come and go while call-backs are in flight; each clears the
    // target before it is destroyed.
    for (int i = 0; i < 3000; ++i) {
        auto *receiver = new Receiver;
        mobiledevice_set_target(&deviceNotifyTarget, receiver, "iosDeviceConnected",
                                "iosDeviceDisconnected");
        if (i % 100 == 0)
            QCoreApplication::processEvents();
        mobiledevice_set_target(&deviceNotifyTarget, nullptr, nullptr, nullptr);
        delete receiver;
    }
    stop = true;
    churn.join();
    QCoreApplication::processEvents();
}

void TestMobileDevice::callBackInTheReceiversOwnThreadIsQueued()
{
    // The window's slots run modal dialogs: even a call-back that comes in
    // the receiver's own thread must not run them inside itself.
    Receiver receiver;
    DeviceNotifyTarget target;
    mobiledevice_set_target(&target, &receiver, "iosDeviceConnected", "iosDeviceDisconnected");
    AMDeviceNotificationInfo info {&receiver, 1};
    mobiledevice_notification_callback(&info, &target);
    QVERIFY(receiver.events.isEmpty());
    QTRY_COMPARE(receiver.events, (QList<QPair<int, void *>> {{1, &receiver}}));

    // A receiver cleared and gone before the queued call is delivered hears
    // nothing of it.
    auto *gone = new Receiver;
    mobiledevice_set_target(&target, gone, "iosDeviceConnected", "iosDeviceDisconnected");
    mobiledevice_notification_callback(&info, &target);
    mobiledevice_set_target(&target, nullptr, nullptr, nullptr);
    delete gone;
    QCoreApplication::processEvents();
    QCOMPARE(receiver.events.size(), 1);
}

void TestMobileDevice::sessions_data()
{
    QTest::addColumn<QJsonObject>("overrides");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("pairs");
    QTest::addColumn<int>("connects");

    QTest::newRow("paired: straight to validation") << QJsonObject() << 0 << QString() << 0 << 1;
    QTest::newRow("unpaired: paired first")
            << QJsonObject {{"paired", false}} << 0 << QString() << 1 << 1;
    QTest::newRow("connect fails")
            << QJsonObject {{"errors", QJsonObject {{"AMDeviceConnect", -402653083}}}} << -402653083
            << "AMDeviceConnect(-402653083)" << 0 << 1;
    QTest::newRow("never trusted: pairing fails")
            << QJsonObject {{"paired", false}, {"pairable", false}} << -402653158
            << "AMDevicePair(-402653158)" << 1 << 1;
    QTest::newRow("validation fails")
            << QJsonObject {{"errors", QJsonObject {{"AMDeviceValidatePairing", 17}}}} << 17
            << "AMDeviceValidatePairing(17)" << 0 << 1;
    QTest::newRow("session start fails")
            << QJsonObject {{"errors", QJsonObject {{"AMDeviceStartSession", -402653171}}}}
            << -402653171 << "AMDeviceStartSession(-402653171)" << 0 << 1;
}

void TestMobileDevice::sessions()
{
    QFETCH(QJsonObject, overrides);
    QFETCH(int, code);
    QFETCH(QString, call);
    QFETCH(int, pairs);
    QFETCH(int, connects);
    QVERIFY(scenario({phone("S1", overrides)}));
    AMDeviceRef device = iphonesim::device("S1");

    QString error;
    QCOMPARE(mobiledevice_open_session(device, error), code);
    if (code == 0) {
        QVERIFY(error.isEmpty());
        QCOMPARE(iphonesim::report("S1").value("sessions").toInt(), 1);
        mobiledevice_close_session(device);
    } else {
        QCOMPARE(error, kAdvice + QStringLiteral("<br/><br/>Error code: ") + call);
    }
    const QJsonObject r = iphonesim::report("S1");
    QVERIFY2(idle("S1"), QJsonDocument(r).toJson().constData());
    QCOMPARE(r.value("pairs").toInt(), pairs);
    QCOMPARE(r.value("connects").toInt(), connects);
    // Every connect that succeeded was answered by one disconnect.
    QCOMPARE(r.value("disconnects").toInt(), code == -402653083 ? 0 : 1);

    // A session user throws the same text and leaves nothing open.
    const QString text = thrown([&] { mobiledevice_copy_value(device, {"DeviceName"}, {}); });
    QCOMPARE(text, code == 0 ? QStringLiteral("(nothing thrown)") : error);
    QVERIFY(idle("S1"));
}

void TestMobileDevice::copyValues()
{
    QVERIFY(scenario({phone("V1")}));
    AMDeviceRef device = iphonesim::device("V1");
    const QList<CFType> values = mobiledevice_copy_value(
            device,
            {"UniqueDeviceID", "DeviceName", "MobileSubscriberCountryCode", "ProductVersion",
             "ProductType", "NoSuchKey"},
            QString());
    QCOMPARE(values.size(), 6);
    QStringList texts;
    for (const CFType &v : values)
        texts << v.toQString();
    QCOMPARE(texts,
             (QStringList {"V1", QString::fromUtf8("Zoë’s iPhone"), "310", "6.1.3", "iPhone5,1",
                           ""}));
    QVERIFY(values.last().isEmpty());
    QCOMPARE(iphonesim::report("V1").value("sessionStarts").toInt(), 1);

    // An empty key asks for the whole domain.
    const QList<CFType> backup
            = mobiledevice_copy_value(device, {QString()}, "com.apple.mobile.backup");
    QCOMPARE(backup.size(), 1);
    QVERIFY(backup[0].isDictionary());
    QCOMPARE(backup[0].value("CloudBackupEnabled").toBool(false), true);
    QCOMPARE(backup[0].value("WillEncrypt").toBool(true), false);
    const CFType disk
            = mobiledevice_copy_value(device, {QString()}, "com.apple.disk_usage").value(0);
    QCOMPARE(disk.value("TotalDataCapacity").toInt64()
                     - disk.value("AmountDataAvailable").toInt64(),
             qint64(18000000000LL));
    // A domain the phone does not have: an empty value, no failure.
    QVERIFY(mobiledevice_copy_value(device, {"x"}, "com.example.none").value(0).isEmpty());
    QVERIFY(idle("V1"));
    QCOMPARE(iphonesim::report("V1").value("sessionStops").toInt(), 4);
}

void TestMobileDevice::copyValueWithoutSessionThrows()
{
    QVERIFY(scenario({phone("V2", {{"attached", false}})}));
    const QString text
            = thrown([] { mobiledevice_copy_value(iphonesim::device("V2"), {"DeviceName"}, {}); });
    QCOMPARE(text, kAdvice + QStringLiteral("<br/><br/>Error code: AMDeviceConnect(-402653164)"));
    QVERIFY(idle("V2"));
}

void TestMobileDevice::sessionsFromSeveralThreads()
{
    // Nothing serialises sessions on one device: the GUI thread and jobs may
    // read values at the same time.
    QVERIFY(scenario({phone("T1")}));
    AMDeviceRef device = iphonesim::device("T1");
    std::atomic<int> good {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                const QList<CFType> v = mobiledevice_copy_value(device, {"ProductVersion"}, {});
                if (v.value(0).toQString() == QLatin1String("6.1.3"))
                    ++good;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    QCOMPARE(good.load(), 100);
    QVERIFY(idle("T1"));
    QCOMPARE(iphonesim::report("T1").value("sessionStarts").toInt(), 100);
}

void TestMobileDevice::setValue()
{
    QVERIFY(scenario({phone("W1")}));
    AMDeviceRef device = iphonesim::device("W1");
    QCOMPARE(mobiledevice_set_value(device, "com.apple.mobile.backup", "CloudBackupEnabled",
                                    CFType::fromBool(false)),
             0);
    CFType list = CFType::newArray();
    list.append(CFType::fromString("a"));
    QCOMPARE(mobiledevice_set_value(device, "com.apple.mobile.sync_data_class", "Anchors", list),
             0);
    QVERIFY(idle("W1"));
    QCOMPARE(mobiledevice_copy_value(device, {"CloudBackupEnabled"}, "com.apple.mobile.backup")
                     .value(0)
                     .toBool(true),
             false);
    QCOMPARE(mobiledevice_copy_value(device, {"Anchors"}, "com.apple.mobile.sync_data_class")
                     .value(0)
                     .at(0)
                     .toQString(),
             QStringLiteral("a"));

    // The call's own failure is returned, not thrown; a session failure throws.
    QVERIFY(scenario({phone("W1", {{"errors", QJsonObject {{"AMDeviceSetValue", -9}}}})}));
    QCOMPARE(mobiledevice_set_value(device, "d", "k", CFType::fromNumber(1)), -9);
    QVERIFY(idle("W1"));
    QVERIFY(scenario({phone("W1", {{"errors", QJsonObject {{"AMDeviceConnect", -3}}}})}));
    QCOMPARE(thrown([&] { mobiledevice_set_value(device, "d", "k", CFType::fromNumber(1)); }),
             kAdvice + QStringLiteral("<br/><br/>Error code: AMDeviceConnect(-3)"));
}

void TestMobileDevice::deviceIdentifier()
{
    QVERIFY(scenario({phone("0123456789abcdef0123456789abcdef01234567")}));
    QCOMPARE(mobiledevice_copy_device_identifier(
                     iphonesim::device("0123456789abcdef0123456789abcdef01234567")),
             QStringLiteral("0123456789abcdef0123456789abcdef01234567"));
    QVERIFY(idle("0123456789abcdef0123456789abcdef01234567"));
}

void TestMobileDevice::fileRelayServiceOverItsSocket()
{
    QByteArray database(300000, '\0');
    QRandomGenerator gen(7);
    for (char &c : database)
        c = char(gen.bounded(256));
    CpioFixture cpio;
    cpio.addFolder("./var/mobile/Library/SMS");
    cpio.addFile("./var/mobile/Library/SMS/sms.db", database);
    const QByteArray archive = cpio.bytes();
    const QString path = m_dir.filePath("stream.cpio");
    QVERIFY(cpio.writeTo(path));
    QVERIFY(scenario({phone("F1", {{"fileRelay", QJsonObject {{"archive", path}}}})}));
    AMDeviceRef device = iphonesim::device("F1");

    int socket = 0;
    mobiledevice_start_service(device, "com.apple.mobile.file_relay", &socket);
    QVERIFY(socket > 0);
    // The session is closed; the socket goes on working without it.
    QVERIFY(idle("F1"));

    CFType sources = CFType::newArray();
    sources.append(CFType::fromString("UserDatabases"));
    CFType request = CFType::newDictionary();
    request.setValue("Sources", sources);
    mobiledevice_sendmsg(socket, request, false, 60000);
    const CFType reply = mobiledevice_recmsg(socket, request, 10000);
    QCOMPARE(reply.value("Status").toQString(), QStringLiteral("Acknowledged"));
    QByteArray stream;
    QByteArray chunk(524288, '\0');
    for (;;) {
        const int n = mobiledevice_receive_data(socket, chunk.data(), int(chunk.size()), 5000);
        if (n < 1)
            break;
        stream.append(chunk.constData(), n);
    }
    mobiledevice_close_socket(socket);
    QCOMPARE(stream.size(), archive.size());
    QVERIFY(stream == archive);
    const QJsonObject r = iphonesim::report("F1");
    QCOMPARE(r.value("services").toArray().first().toString(),
             QStringLiteral("com.apple.mobile.file_relay"));
    QVERIFY(r.value("requests")
                    .toArray()
                    .first()
                    .toString()
                    .contains("<string>UserDatabases</string>"));
}

void TestMobileDevice::serviceStartFailures()
{
    QVERIFY(scenario({phone("F2")}));
    AMDeviceRef device = iphonesim::device("F2");
    int socket = 0;
    const QString text
            = thrown([&] { mobiledevice_start_service(device, "com.apple.nothing", &socket); });
    QCOMPARE(text,
             QStringLiteral("Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  "
                            "Launch iTunes -&gt; Connect your device -&gt; Go Summary -&gt; "
                            "Options -&gt; Uncheck Sync with this device over Wi-Fi.<br/><br/>"
                            "Error code: AMDeviceStartService(com.apple.nothing)=-402653154"));
    QCOMPARE(socket, 0);
    QVERIFY(idle("F2"));

    QVERIFY(scenario(
            {phone("F2", {{"errors", QJsonObject {{"AMDeviceStartSession", -402653171}}}})}));
    QCOMPARE(thrown([&] {
                 mobiledevice_start_service(device, "com.apple.mobile.file_relay", &socket);
             }),
             kAdvice + QStringLiteral("<br/><br/>Error code: AMDeviceStartSession(-402653171)"));
    QVERIFY(idle("F2"));
    QCOMPARE(iphonesim::report("F2").value("services").toArray().size(), 0);
}

void TestMobileDevice::fileRelayFaults_data()
{
    QTest::addColumn<QJsonObject>("fileRelay");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("answered") << QJsonObject() << "UserDatabases"
                              << "Status=Acknowledged";
    QTest::newRow("another status") << QJsonObject {{"status", "Busy"}} << "UserDatabases"
                                    << "Status=Busy";
    QTest::newRow("source not offered") << QJsonObject() << "Secrets"
                                        << "Error=InvalidSource";
    QTest::newRow("never answers") << QJsonObject {{"stallBeforeReply", true}} << "UserDatabases"
                                   << "mobiledevice_recmsg(msg-length) error, received length: 0.";
    QTest::newRow("reply length lies") << QJsonObject {{"replyLength", 5000}} << "UserDatabases"
                                       << "mobiledevice_recmsg(msg) error, received length: ";
}

void TestMobileDevice::fileRelayFaults()
{
    QFETCH(QJsonObject, fileRelay);
    QFETCH(QString, source);
    QFETCH(QString, outcome);
    mobiledevice::setLengthTimeoutMs(300);
    QVERIFY(scenario({phone("F3", {{"fileRelay", fileRelay}})}));
    int socket = 0;
    mobiledevice_start_service(iphonesim::device("F3"), "com.apple.mobile.file_relay", &socket);
    QVERIFY(socket > 0);
    CFType sources = CFType::newArray();
    sources.append(CFType::fromString(source));
    CFType request = CFType::newDictionary();
    request.setValue("Sources", sources);
    mobiledevice_sendmsg(socket, request, false, 1000);
    QString got;
    try {
        const CFType reply = mobiledevice_recmsg(socket, request, 300);
        for (const CFType &k : reply.keys())
            got += k.toQString() + QLatin1Char('=') + reply.value(k).toQString();
    } catch (const std::runtime_error &e) {
        got = QString::fromUtf8(e.what());
        // A receive failure shows what was asked.
        QVERIFY(got.contains(QStringLiteral("<string>%1</string>").arg(source)));
    }
    mobiledevice_close_socket(socket);
    QVERIFY2(got.startsWith(outcome), qPrintable(got));
    QVERIFY(idle("F3"));
}

void TestMobileDevice::sentMessagesAreFramed()
{
    for (bool binary : {false, true}) {
        Pair pair;
        CFType message = CFType::newDictionary();
        message.setValue("Command", CFType::fromString("VendContainer"));
        mobiledevice_sendmsg(pair.nearFd, message, binary, 1000);
        const QByteArray wire = pair.received(200);
        QVERIFY(wire.size() > 4);
        const quint32 n = quint32(uchar(wire[0])) << 24 | quint32(uchar(wire[1])) << 16
                | quint32(uchar(wire[2])) << 8 | uchar(wire[3]);
        QCOMPARE(qsizetype(n), wire.size() - 4);
        const QByteArray body = wire.mid(4);
        QVERIFY(body.startsWith(binary ? QByteArray("bplist00") : QByteArray("<?xml")));
        QCOMPARE(CFType::fromPropertyListBytes(body).value("Command").toQString(),
                 QStringLiteral("VendContainer"));
        // And our own receiving side reads it back.
        pair.send(wire);
        QCOMPARE(mobiledevice_recmsg(pair.nearFd, {}, 1000).value("Command").toQString(),
                 QStringLiteral("VendContainer"));
    }
}

void TestMobileDevice::emptyMessageSendsNothing()
{
    Pair pair;
    mobiledevice_sendmsg(pair.nearFd, CFType(), false, 1000);
    QVERIFY(pair.received(100).isEmpty());
    QCOMPARE(mobiledevice_send_data(pair.nearFd, "x", 0, 100), 0);
    char c;
    QCOMPARE(mobiledevice_receive_data(pair.nearFd, &c, 0, 100), 0);
}

void TestMobileDevice::receivedFraming_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QString>("outcome");

    const QByteArray plist
            = CFType::fromString("hello").toPropertyListBytes(kCFPropertyListBinaryFormat);
    QTest::newRow("whole message")
            << bigEndian(quint32(plist.size())) + plist << false << "value:hello";
    QTest::newRow("length 0: empty value, no error") << bigEndian(0) << false << "value:";
    QTest::newRow("body that is no property list") << bigEndian(3) + "abc" << false << "value:";
    QTest::newRow("negative length") << bigEndian(0xFFFFFFF0u) << true
                                     << "mobiledevice_recmsg(msg) error, received length: 0.";
    QTest::newRow("prefix cut short")
            << QByteArray("\0\0", 2) << true
            << "mobiledevice_recmsg(msg-length) error, received length: 2.";
    QTest::newRow("nothing at all")
            << QByteArray() << true << "mobiledevice_recmsg(msg-length) error, received length: 0.";
    QTest::newRow("length lies: fewer bytes, then closed")
            << bigEndian(100) + QByteArray(10, 'x') << true
            << "mobiledevice_recmsg(msg) error, received length: 10.";
    QTest::newRow("length beyond any message: nothing allocated")
            << bigEndian(0x7FFFFFFFu) << false
            << "mobiledevice_recmsg(msg) error, announced length: 2147483647.";
}

void TestMobileDevice::receivedFraming()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, closeAfter);
    QFETCH(QString, outcome);
    Pair pair;
    if (!bytes.isEmpty())
        pair.send(bytes);
    if (closeAfter)
        pair.closeFar();
    QElapsedTimer t;
    t.start();
    QString got;
    try {
        got = QStringLiteral("value:") + mobiledevice_recmsg(pair.nearFd, {}, 5000).toString();
    } catch (const std::runtime_error &e) {
        got = QString::fromUtf8(e.what());
    }
    QCOMPARE(got, outcome);
    QVERIFY(t.elapsed() < 3000);
}

void TestMobileDevice::lengthPrefixWaitsItsOwnTime()
{
    // The caller's short timeout is for the body; the prefix has its own.
    mobiledevice::setLengthTimeoutMs(400);
    Pair pair;
    QElapsedTimer t;
    t.start();
    QCOMPARE(thrown([&] { mobiledevice_recmsg(pair.nearFd, {}, 20); }),
             QStringLiteral("mobiledevice_recmsg(msg-length) error, received length: 0."));
    QVERIFY(t.elapsed() >= 380);
    QVERIFY(t.elapsed() < 3000);

    // And a long body timeout does not lengthen the prefix wait.
    t.restart();
    thrown([&] { mobiledevice_recmsg(pair.nearFd, {}, 3600000); });
    QVERIFY(t.elapsed() < 3000);
}

void TestMobileDevice::stalledPeerEndsTheBodyWait()
{
    // Announces 100 bytes, sends 10 and then neither sends nor closes.
    Pair pair;
    pair.send(bigEndian(100) + QByteArray(10, 'x'));
    QElapsedTimer t;
    t.start();
    QCOMPARE(thrown([&] { mobiledevice_recmsg(pair.nearFd, {}, 300); }),
             QStringLiteral("mobiledevice_recmsg(msg) error, received length: 10."));
    QVERIFY(t.elapsed() >= 280);
    QVERIFY(t.elapsed() < 3000);
}

void TestMobileDevice::receiveErrorShowsTheRequest()
{
    CFType request = CFType::newDictionary();
    request.setValue("Sources", CFType::fromString(QString(2000, QLatin1Char('s'))));
    Pair pair;
    pair.closeFar();
    const QString text = thrown([&] { mobiledevice_recmsg(pair.nearFd, request, 100); });
    const QString head
            = QStringLiteral("mobiledevice_recmsg(msg-length) error, received length: 0.\n");
    QVERIFY(text.startsWith(head));
    const QString shown = text.mid(head.size());
    QCOMPARE(shown.size(), 800);
    QVERIFY(shown.startsWith(QLatin1String("<?xml")));
    QVERIFY(QString::fromUtf8(request.toPropertyListBytes(kCFPropertyListXMLFormat))
                    .startsWith(shown));
}

void TestMobileDevice::sendToAPeerThatStopsReading()
{
    // More than the socket buffers hold; the peer never reads.
    Pair pair;
    CFType message = CFType::newDictionary();
    message.setValue("Data", CFType::fromByteArray(QByteArray(8 << 20, 'd')));
    QElapsedTimer t;
    t.start();
    const QString text = thrown([&] { mobiledevice_sendmsg(pair.nearFd, message, true, 300); });
    QVERIFY2(text.startsWith(QLatin1String("mobiledevice_sendmsg(msg) error.\n<?xml")),
             qPrintable(text.left(100)));
    QCOMPARE(text.size(), QStringLiteral("mobiledevice_sendmsg(msg) error.\n").size() + 800);
    QVERIFY(t.elapsed() < 5000);
}

void TestMobileDevice::sendToAClosedPeer()
{
    Pair pair;
    pair.closeFar();
    // No signal ends the process; the send fails with a text.
    QCOMPARE(thrown([&] {
                 mobiledevice_sendmsg(pair.nearFd, CFType::fromNumber(5), false, 300);
             }).section(QLatin1Char('\n'), 0, 0),
             QStringLiteral("mobiledevice_sendmsg(msg-length) error."));
}

void TestMobileDevice::sendPartsArriveAsOneStream_data()
{
    QTest::addColumn<int>("headSize");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<bool>("smallBuffers");
    QTest::newRow("header and chunk") << 48 << 32768 << false;
    QTest::newRow("no header") << 0 << 5000 << false;
    QTest::newRow("no data") << 56 << 0 << false;
    // The socket takes a few KiB at a time: sends end inside the header,
    // at its end and inside the data.
    QTest::newRow("small buffers, big header") << 10000 << 70000 << true;
    QTest::newRow("small buffers") << 48 << 200000 << true;
}

void TestMobileDevice::sendPartsArriveAsOneStream()
{
    QFETCH(int, headSize);
    QFETCH(int, dataSize);
    QFETCH(bool, smallBuffers);
    Pair pair;
    if (smallBuffers) {
        const int size = 4096;
        ::setsockopt(pair.nearFd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::setsockopt(pair.farFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    QByteArray head(headSize, Qt::Uninitialized);
    QByteArray data(dataSize, Qt::Uninitialized);
    for (int i = 0; i < headSize; ++i)
        head[i] = char('a' + i % 26);
    for (int i = 0; i < dataSize; ++i)
        data[i] = char(i * 7 + (i >> 8));
    // The far end reads in small pieces, with pauses.
    QByteArray got;
    std::thread reader([&] {
        char buf[3000];
        while (got.size() < headSize + dataSize) {
            const ssize_t n = ::recv(pair.farFd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            got.append(buf, n);
            if (smallBuffers)
                QThread::usleep(200);
        }
    });
    const int sent = mobiledevice_send_parts(pair.nearFd, head.constData(), headSize,
                                             data.constData(), dataSize, 5000);
    reader.join();
    QCOMPARE(sent, headSize + dataSize);
    QCOMPARE(got, head + data);
}

void TestMobileDevice::sendPartsToAPeerThatStopsReading()
{
    Pair pair;
    const QByteArray head(48, 'h');
    const QByteArray data(8 << 20, 'd');
    QElapsedTimer t;
    t.start();
    const int sent = mobiledevice_send_parts(pair.nearFd, head.constData(), int(head.size()),
                                             data.constData(), int(data.size()), 300);
    QVERIFY(sent > int(head.size()));
    QVERIFY(sent < int(head.size() + data.size()));
    QVERIFY(t.elapsed() < 5000);
    QCOMPARE(pair.received(100).size(), qsizetype(sent));
}

QTEST_MAIN(TestMobileDevice)
#include "tst_mobiledevice.moc"
