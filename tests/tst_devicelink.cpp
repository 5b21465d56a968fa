// The DeviceLink message layer and the backup and sync clients over it,
// against the simulated phones of the Apple stand-ins: the handshake, each
// kind of link message, "Hello" and a backup driven by a scripted phone, a
// sync session of one data class, a cancelled one, and a phone that lies
// about lengths, falls silent or hangs up.

#include "iphone/devicelink.h"
#include "iphone/mobilebackup2.h"
#include "iphone/mobiledevice.h"
#include "iphone/mobilesync.h"
#include "iphone/plistexpansion.h"
#include "tests/support/bplistfixture.h"
#include "tests/support/iphonesim.h"
#include "tests/support/testenv.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>
#include <thread>

namespace {

const QString kUdid = QStringLiteral("LINK1");
const QString kContacts = QStringLiteral("com.apple.Contacts");

bool scenario(const QJsonObject &extra)
{
    QJsonObject d {{"udid", kUdid}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        d.insert(it.key(), it.value());
    return iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {d}}});
}

AMDeviceRef phone()
{
    return iphonesim::device(kUdid);
}

template<typename F> QString thrown(F &&f)
{
    try {
        f();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// What the phone received, as XML property lists.
QStringList received()
{
    QStringList all;
    for (const QJsonValue &r : iphonesim::report(kUdid).value("requests").toArray())
        all.append(r.toString());
    return all;
}

// The format of each property list the phone received: "binary" or "xml".
QStringList formats()
{
    QStringList all;
    for (const QJsonValue &f : iphonesim::report(kUdid).value("formats").toArray())
        all.append(f.toString());
    return all;
}

int openServices()
{
    return iphonesim::report(kUdid).value("openServices").toInt(-1);
}

// A message's text without the XML around it: "<string>a</string>" pieces
// and the like, with white space removed, for comparisons.
QString compact(const QString &xml)
{
    QString s = xml;
    s.remove(QRegularExpression("<\\?xml[^>]*>|<!DOCTYPE[^>]*>|<plist[^>]*>|</plist>|\\s"));
    return s;
}

// A socket closed on every way out of a test.
struct Socket
{
    ~Socket()
    {
        if (fd)
            mobiledevice_close_socket(fd);
    }
    int fd = 0;
};

CFType dictionary(std::initializer_list<std::pair<const char *, CFType>> entries)
{
    CFType d = CFType::newDictionary();
    for (const auto &e : entries)
        d.setValue(QString::fromLatin1(e.first), e.second);
    return d;
}

CFType text(const char *s)
{
    return CFType::fromString(QString::fromUtf8(s));
}

} // namespace

class TestDeviceLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void handshake_data();
    void handshake();
    void linkMessages_data();
    void linkMessages();
    void whatGoesOnTheWire();
    void hello_data();
    void hello();
    void backupDrivenByThePhone();
    void requestBodies();
    void cloudBackupSwitch();
    void syncSession();
    void syncOfAnEmptyClass();
    void refusedAndCancelledSync_data();
    void refusedAndCancelledSync();
    void syncLimits_data();
    void syncLimits();
    void tetheredSwitch();
    void faults_data();
    void faults();
    void announcedLengthIsNotAllocated();
    void expansion_data();
    void expansion();
    void sharedValues_data();
    void sharedValues();
    void failureTextsAreCut();
    void finishTimeoutOfLongServiceLimits();

private:
    TestEnv m_env;
    long m_baseline = 0;
};

void TestDeviceLink::initTestCase()
{
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    m_baseline = iphonesim::liveObjects();
}

void TestDeviceLink::init()
{
    mobilesync::setLimits({});
    mobiledevice::setMessageLimits({});
    mobiledevice::setServiceTimeoutMs(20000);
    mobiledevice::setLengthTimeoutMs(20000);
}

void TestDeviceLink::cleanup()
{
    QTRY_VERIFY(openServices() <= 0);
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}});
}

void TestDeviceLink::cleanupTestCase()
{
    QTRY_COMPARE(iphonesim::liveObjects(), m_baseline);
    iphonesim::shutdown();
}

void TestDeviceLink::handshake_data()
{
    QTest::addColumn<QJsonObject>("link");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("sent");

    const QString versionsOk = "<array><string>DLMessageVersionExchange</string><string>"
                               "DLVersionsOk</string></array>";
    QTest::newRow("version exchange") << QJsonObject() << "" << QStringList {versionsOk};
    QTest::newRow("ready at once")
            << QJsonObject {{"deviceReadyFirst", true}} << "" << QStringList();
    QTest::newRow("not ready after the answer")
            << QJsonObject {{"readyName", "DLMessageNotReady"}}
            << "invalid feedback after send DLMessageVersionExchange.\n<?xml"
            << QStringList {versionsOk};
}

void TestDeviceLink::handshake()
{
    QFETCH(QJsonObject, link);
    QFETCH(QString, error);
    QFETCH(QStringList, sent);
    QVERIFY(scenario({{"mobilebackup2", link}}));
    Socket s;
    const QString text = thrown([&] { mobiledevice_backup2_start(phone(), &s.fd); });
    if (error.isEmpty()) {
        QCOMPARE(text, QString());
        QVERIFY(s.fd != 0);
    } else {
        QVERIFY2(text.startsWith(error) && text.contains("DLMessageNotReady"), qPrintable(text));
        // A failed start leaves no socket open.
        QCOMPARE(s.fd, 0);
        QTRY_COMPARE(openServices(), 0);
    }
    QStringList got;
    for (const QString &r : received())
        got.append(compact(r));
    QCOMPARE(got, sent);
    // The version answer goes out as XML.
    QCOMPARE(formats(), QStringList(sent.size(), "xml"));
}

void TestDeviceLink::linkMessages_data()
{
    QTest::addColumn<QString>("message"); // JSON of what the phone sends
    QTest::addColumn<QString>("anyMessage"); // the name, or !error
    QTest::addColumn<QString>("processMessage"); // the body's MessageName, or !error

    const QString notDL = "!Did not receive a DL* message as expected.";
    const QString notProcess = "!Did not receive DLMessageProcessMessage as expected.";
    QTest::newRow("process message") << R"(["DLMessageProcessMessage", {"MessageName": "X"}])"
                                     << "DLMessageProcessMessage" << "X";
    QTest::newRow("process message without body")
            << R"(["DLMessageProcessMessage"])" << "DLMessageProcessMessage" << "";
    QTest::newRow("disconnect") << R"(["DLMessageDisconnect", "bye"])" << "DLMessageDisconnect"
                                << notProcess;
    QTest::newRow("free disk space") << R"(["DLMessageGetFreeDiskSpace"])"
                                     << "DLMessageGetFreeDiskSpace" << notProcess;
    QTest::newRow("contents of directory") << R"(["DLContentsOfDirectory", "/x"])"
                                           << "DLContentsOfDirectory" << notProcess;
    // Any name beginning "DL" in any letter case is a link message; only
    // the exact "DLMessageProcessMessage" is a process message.
    QTest::newRow("lower-case dl") << R"(["dlMessageProcessMessage", {}])"
                                   << "dlMessageProcessMessage" << notProcess;
    QTest::newRow("other letter case") << R"(["DLMESSAGEPROCESSMESSAGE", {}])"
                                       << "DLMESSAGEPROCESSMESSAGE" << notProcess;
    QTest::newRow("mixed letter case") << R"(["dLx"])"
                                       << "dLx" << notProcess;
    QTest::newRow("unknown DL name") << R"(["DLMessageWhatever"])"
                                     << "DLMessageWhatever" << notProcess;
    QTest::newRow("DL alone") << R"(["DL"])"
                              << "DL" << notProcess;
    QTest::newRow("D alone") << R"(["D"])" << notDL << notDL;
    QTest::newRow("DL not at the start") << R"(["xDLMessagePing"])" << notDL << notDL;
    QTest::newRow("sync name") << R"(["SDMessageProcessChanges"])" << notDL << notDL;
    QTest::newRow("dictionary") << R"({"a": 1})" << notDL << notDL;
    QTest::newRow("empty array") << "[]" << notDL << notDL;
    QTest::newRow("name not a string") << "[7]" << notDL << notDL;
}

void TestDeviceLink::linkMessages()
{
    QFETCH(QString, message);
    QFETCH(QString, anyMessage);
    QFETCH(QString, processMessage);
    const QJsonValue m = QJsonDocument::fromJson("[" + message.toUtf8() + "]").array().at(0);
    QVERIFY(scenario({{"mobilebackup2",
                       QJsonObject {{"scripts", QJsonObject {{"Probe", QJsonArray {m, m}}}}}}}));
    Socket s;
    mobiledevice_backup2_start(phone(), &s.fd);
    mobiledevice_backup2_send_message(s.fd, "Probe", CFType::newDictionary());

    CFType whole;
    QString name;
    QString text = thrown([&] { mobiledevice_link_sc_recv_dlmessaeg(s.fd, whole, name, CFType()); });
    QCOMPARE(text.isEmpty() ? name : "!" + text, anyMessage);
    if (text.isEmpty())
        QVERIFY(whole.isArray());

    CFType body;
    CFType received;
    text = thrown([&] {
        body = mobiledevice_link_sc_recv_process_message(s.fd, CFType(), &received);
    });
    QCOMPARE(text.isEmpty() ? body.value("MessageName").toQString() : "!" + text, processMessage);
    if (text.isEmpty())
        QCOMPARE(devicelink::messageName(received), QString("DLMessageProcessMessage"));
}

void TestDeviceLink::whatGoesOnTheWire()
{
    QVERIFY(scenario({}));
    Socket s;
    mobiledevice_backup2_start(phone(), &s.fd);

    // The copy returned is what was sent, whatever happens to the body later.
    CFType body = dictionary({{"MessageName", text("Nothing")}, {"k", text("before")}});
    const CFType sent = mobiledevice_link_sc_send_process_message(s.fd, body);
    body.setValue("k", text("after"));
    QCOMPARE(sent.at(1).value("k").toQString(), QString("before"));
    QCOMPARE(devicelink::messageName(sent), QString("DLMessageProcessMessage"));
    int code = -1;
    mobiledevice_backup2_recv_response(s.fd, &code, sent, nullptr);
    QCOMPARE(code, 2); // the phone does not know "Nothing"

    const CFType status = mobiledevice_backup2_send_status_response(s.fd, -3, QString(), CFType());
    QCOMPARE(status.arrayCount(), CFIndex(4));
    mobiledevice_backup2_send_status_response(s.fd, 0, "done", CFType::fromNumber(qint64(1) << 40));
    mobiledevice_link_sc_send_disconnect(s.fd, QString());
    QTRY_COMPARE(received().size(), 5);
    const QStringList r = received();
    QCOMPARE(compact(r.at(1)), QString("<array><string>DLMessageProcessMessage</string><dict><key>"
                                       "MessageName</key><string>Nothing</string><key>k</key>"
                                       "<string>before</string></dict></array>"));
    QCOMPARE(compact(r.at(2)), QString("<array><string>DLMessageStatusResponse</string><integer>-3"
                                       "</integer><string>___EmptyParameterString___</string>"
                                       "<string>___EmptyParameterString___</string></array>"));
    QCOMPARE(compact(r.at(3)), QString("<array><string>DLMessageStatusResponse</string><integer>0"
                                       "</integer><string>done</string><integer>1099511627776"
                                       "</integer></array>"));
    QCOMPARE(compact(r.at(4)), QString("<array><string>DLMessageDisconnect</string><string>"
                                       "___EmptyParameterString___</string></array>"));
    // The version answer as XML; the envelope, the status responses and the
    // disconnect as binary lists.
    QCOMPARE(formats(), (QStringList {"xml", "binary", "binary", "binary", "binary"}));
}

void TestDeviceLink::hello_data()
{
    QTest::addColumn<QList<double>>("offered");
    QTest::addColumn<QJsonObject>("link");
    QTest::addColumn<QString>("result"); // the version, or the error

    QTest::newRow("highest common") << QList<double> {2.0, 2.1, 3.0} << QJsonObject() << "2.1";
    QTest::newRow("one in common") << QList<double> {2.0} << QJsonObject() << "2";
    QTest::newRow("none in common")
            << QList<double> {1.0, 1.5} << QJsonObject()
            << "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION";
    QTest::newRow("none offered")
            << QList<double>() << QJsonObject()
            << "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION";
    const auto scripted = [](const QJsonObject &body) {
        return QJsonObject {{"scripts",
                             QJsonObject {{"Hello", QJsonArray {QJsonArray {
                                                            "DLMessageProcessMessage", body}}}}}};
    };
    QTest::newRow("refused")
            << QList<double> {2.0} << scripted({{"MessageName", "Response"}, {"ErrorCode", 17}})
            << "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK";
    QTest::newRow("no error code, no version")
            << QList<double> {2.0} << scripted({{"MessageName", "Response"}}) << "0";
    QTest::newRow("not a response")
            << QList<double> {2.0} << scripted({{"MessageName", "Other"}})
            << "Did not receive a message(\"Message Name\" is \"Response\").\n<?xml";
}

void TestDeviceLink::hello()
{
    QFETCH(QList<double>, offered);
    QFETCH(QJsonObject, link);
    QFETCH(QString, result);
    QVERIFY(scenario({{"mobilebackup2", link}}));
    Socket s;
    mobiledevice_backup2_start(phone(), &s.fd);
    double version = -1;
    const QString text = thrown([&] {
        version = mobiledevice_backup2_version_exchange(s.fd, offered.constData(),
                                                        qint8(offered.size()));
    });
    QVERIFY2(text.isEmpty() ? QString::number(version) == result : text.startsWith(result),
             qPrintable(text.isEmpty() ? QString::number(version) : text));
    // The versions went out as real numbers, in the caller's order.
    const QString hello = compact(received().value(1));
    const QString list = hello.section("<key>SupportedProtocolVersions</key>", 1)
                                 .section("</array>", 0, 0);
    QVERIFY2(!list.contains("<integer>"), qPrintable(hello));
    QList<double> sent;
    static const QRegularExpression real("<real>([^<]*)</real>");
    for (const QRegularExpressionMatch &m : real.globalMatch(list))
        sent.append(m.captured(1).toDouble());
    QCOMPARE(sent, offered);
}

void TestDeviceLink::backupDrivenByThePhone()
{
    // After "Backup" the phone asks for the free disk space, then reports
    // the end; the caller answers and hangs up.
    QVERIFY(scenario({}));
    Socket s;
    mobiledevice_backup2_start(phone(), &s.fd);
    const double versions[] = {2.0, 2.1};
    QCOMPARE(mobiledevice_backup2_version_exchange(s.fd, versions, 2), 2.1);
    mobiledevice_backup2_request_backup(s.fd, kUdid, true);

    QStringList seen;
    bool done = false;
    while (!done) {
        CFType message;
        QString name;
        mobiledevice_backup2_recv_message(s.fd, message, name);
        seen.append(name);
        if (name == "DLMessageGetFreeDiskSpace") {
            mobiledevice_backup2_send_status_response(s.fd, 0, QString(),
                                                      CFType::fromNumber(qint64(5) << 30));
        } else if (name == "DLMessageProcessMessage") {
            const CFType body = devicelink::element(message, 1);
            QCOMPARE(body.value("MessageName").toQString(), QString("Response"));
            QCOMPARE(body.value("ErrorCode").toInt(-1), 0);
            done = true;
        } else {
            QFAIL(qPrintable("unexpected " + name));
        }
    }
    mobiledevice_link_sc_send_disconnect(s.fd, "done");
    QCOMPARE(seen, (QStringList {"DLMessageGetFreeDiskSpace", "DLMessageProcessMessage"}));
    QTRY_COMPARE(openServices(), 0); // the phone hung up on the disconnect
    const QStringList r = received();
    QCOMPARE(r.size(), 5);
    QVERIFY(compact(r.at(2)).contains("<key>Options</key><dict><key>ForceFullBackup</key><true/>"));
    QVERIFY(compact(r.at(3)).contains("<integer>5368709120</integer>"));
}

void TestDeviceLink::requestBodies()
{
    // The phone answers unknown requests; what matters here is the body sent.
    QVERIFY(scenario({{"mobilebackup2",
                       QJsonObject {{"scripts", QJsonObject {{"Backup", QJsonArray()}}}}}}));
    Socket s;
    mobiledevice_backup2_start(phone(), &s.fd);
    const auto bodyOf = [](const CFType &sent) {
        QStringList keys;
        const CFType body = sent.at(1);
        for (const CFType &k : body.keys())
            keys.append(k.toQString());
        keys.sort();
        return keys;
    };
    const CFType options = dictionary({{"Password", text("secret")},
                                       {"CloudBackupState", CFType::fromBool(true)}});

    mobiledevice_backup2_request_backup(s.fd, kUdid, false);
    QTRY_COMPARE(received().size(), 2);
    const CFType incremental = CFType::fromPropertyListBytes(received().last().toUtf8());
    QCOMPARE(bodyOf(incremental),
             (QStringList {"MessageName", "SourceIdentifier", "TargetIdentifier"}));

    CFType sent = mobiledevice_backup2_send_request(s.fd, "Unback", "T", "", options);
    QCOMPARE(bodyOf(sent), (QStringList {"MessageName", "Options", "Password", "TargetIdentifier"}));
    QCOMPARE(sent.at(1).value("Password").toQString(), QString("secret"));
    int code = 0;
    mobiledevice_backup2_recv_response(s.fd, &code, sent, nullptr);

    sent = mobiledevice_backup2_send_request(s.fd, "Restore", "T", "S", options);
    QCOMPARE(bodyOf(sent),
             (QStringList {"MessageName", "Options", "SourceIdentifier", "TargetIdentifier"}));
    mobiledevice_backup2_recv_response(s.fd, &code, sent, nullptr);

    sent = mobiledevice_backup2_send_request(s.fd, "Unback", "", "", CFType());
    QCOMPARE(bodyOf(sent), (QStringList {"MessageName", "TargetIdentifier"}));
    QCOMPARE(sent.at(1).value("TargetIdentifier").toQString(), QString(""));
    QVERIFY(sent.at(1).value("TargetIdentifier").isString());
}

void TestDeviceLink::cloudBackupSwitch()
{
    for (int phoneCode : {0, 3}) {
        QVERIFY(scenario({{"mobilebackup2", QJsonObject {{"cloudErrorCode", phoneCode}}}}));
        Socket s;
        mobiledevice_backup2_start(phone(), &s.fd);
        const QString text
                = thrown([&] { mobiledevice_backup2_set_cloud_backup(s.fd, kUdid, true); });
        QCOMPARE(text, phoneCode ? QString("Set EnableCloudBackup error code: 3") : QString());
        const QString body = compact(received().value(1));
        QVERIFY2(body.contains("<key>CloudBackupState</key><true/>")
                         && body.contains("<key>Options</key><dict><key>CloudBackupState</key>"),
                 qPrintable(body));
    }
}

void TestDeviceLink::syncSession()
{
    const QJsonArray batches {QJsonObject {{"r1", QJsonObject {{"name", "Ann"}}}},
                              "not a record dictionary",
                              QJsonObject {{"r2", QJsonObject {{"name", "Bo"}}},
                                           {"r3", QJsonObject {{"name", "Cy"}}}}};
    QVERIFY(scenario({{"mobilesync",
                       QJsonObject {{"classes", QJsonObject {{kContacts,
                                                              QJsonObject {{"batches", batches}}}}}}}}));
    Socket s;
    mobiledevice_sync_start(phone(), mobiledevice_sync_anchors(kContacts, "", "c-anchor"), &s.fd,
                            true);
    const QList<CFType> records = mobiledevice_sync_get_all_records(s.fd, kContacts);
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.at(0).value("r1").value("name").toQString(), QString("Ann"));
    QCOMPARE(records.at(1).count(), CFIndex(2));
    QCOMPARE(records.at(1).value("r3").value("name").toQString(), QString("Cy"));

    const CFType entities = dictionary({{"new1", dictionary({{"name", text("Di")}})}});
    const CFType remap = mobiledevice_sync_process_changes(s.fd, entities, kContacts,
                                                           CFType::newDictionary());
    QCOMPARE(remap.value("new1").toQString(), QString("phone/new1"));
    mobiledevice_sync_clear_all_records(s.fd, kContacts);
    mobiledevice_sync_finish(s.fd, kContacts);

    QStringList r;
    for (const QString &x : received())
        r.append(compact(x));
    QCOMPARE(r.size(), 10);
    // The version is the integer 106; empty anchors go as empty strings.
    QCOMPARE(r.at(1), "<array><string>SDMessageSyncDataClassWithDevice</string><string>" + kContacts
                     + "</string><string></string><string>c-anchor</string><integer>106</integer>"
                       "</array>");
    QCOMPARE(r.at(2), QString("<array><string>DLMessagePing</string><string>Preparingtogetchanges"
                              "fordevice</string></array>"));
    QCOMPARE(r.at(3), "<array><string>SDMessageGetAllRecordsFromDevice</string><string>" + kContacts
                     + "</string></array>");
    // Every batch is acknowledged, the one without records too.
    for (int i = 4; i < 7; ++i)
        QCOMPARE(r.at(i), "<array><string>SDMessageAcknowledgeChangesFromDevice</string><string>"
                         + kContacts + "</string></array>");
    QVERIFY(r.at(7).contains("<string>SDMessageProcessChanges</string><string>" + kContacts
                             + "</string><dict><key>new1</key>"));
    QVERIFY(r.at(7).contains("</dict><false/><dict/></array>"));
    QCOMPARE(r.at(8), "<array><string>SDMessageClearAllRecordsOnDevice</string><string>" + kContacts
                     + "</string><string>___EmptyParameterString___</string></array>");
    QCOMPARE(r.at(9), "<array><string>SDMessageFinishSessionOnDevice</string><string>" + kContacts
                     + "</string></array>");
    // Every message of the sync client goes as XML, the ping included.
    QCOMPARE(formats(), QStringList(10, "xml"));
}

void TestDeviceLink::syncOfAnEmptyClass()
{
    QVERIFY(scenario({{"mobilesync",
                       QJsonObject {{"classes", QJsonObject {{kContacts, QJsonObject()}}},
                                    {"finishReply", "SDMessageSomethingElse"}}}}));
    Socket s;
    mobiledevice_sync_start(phone(), mobiledevice_sync_anchors(kContacts, "d", "c"), &s.fd, false);
    QVERIFY(mobiledevice_sync_get_all_records(s.fd, kContacts).isEmpty());
    // Whatever the phone answers to the finish ends the sync.
    mobiledevice_sync_finish(s.fd, kContacts);
    QStringList names;
    for (const QString &x : received())
        names.append(compact(x).section("<string>", 1, 1).section("</string>", 0, 0));
    QCOMPARE(names, (QStringList {"DLMessageVersionExchange", "SDMessageSyncDataClassWithDevice",
                                  "SDMessageGetAllRecordsFromDevice",
                                  "SDMessageFinishSessionOnDevice"}));
}

void TestDeviceLink::refusedAndCancelledSync_data()
{
    QTest::addColumn<QJsonObject>("sync");
    QTest::addColumn<QString>("dataClass");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("phoneSaid");

    const QJsonObject classes {{kContacts, QJsonObject {{"batches", QJsonArray {QJsonObject()}}}}};
    QTest::newRow("unknown class")
            << QJsonObject {{"classes", classes}} << "com.example.Nothing"
            << "invalid feedback after send SDMessageSyncDataClassWithDevice.\n"
            << "SDMessageRefuseToSyncDataClassWithComputer";
    QTest::newRow("cancelled while fetching")
            << QJsonObject {{"classes", classes}, {"cancelAt", "SDMessageGetAllRecordsFromDevice"}}
            << kContacts << "invalid feedback after send SDMessageGetAllRecordsFromDevice.\n"
            << "SDMessageCancelSession";
    QTest::newRow("cancelled on changes")
            << QJsonObject {{"classes", classes}, {"cancelAt", "SDMessageProcessChanges"}}
            << kContacts << "invalid feedback after send SDMessageProcessChanges.\n"
            << "SDMessageCancelSession";
    QTest::newRow("cancelled on clearing")
            << QJsonObject {{"classes", classes},
                            {"cancelAt", "SDMessageClearAllRecordsOnDevice"}}
            << kContacts << "invalid feedback after send SDMessageClearAllRecordsOnDevice.\n"
            << "SDMessageCancelSession";
}

void TestDeviceLink::refusedAndCancelledSync()
{
    QFETCH(QJsonObject, sync);
    QFETCH(QString, dataClass);
    QFETCH(QString, error);
    QFETCH(QString, phoneSaid);
    QVERIFY(scenario({{"mobilesync", sync}}));
    Socket s;
    const QString text = thrown([&] {
        mobiledevice_sync_start(phone(), mobiledevice_sync_anchors(dataClass, "", ""), &s.fd,
                                false);
        mobiledevice_sync_get_all_records(s.fd, dataClass);
        mobiledevice_sync_process_changes(s.fd, CFType::newDictionary(), dataClass,
                                          CFType::newDictionary());
        mobiledevice_sync_clear_all_records(s.fd, dataClass);
    });
    QVERIFY2(text.startsWith(error) && text.contains("<string>" + phoneSaid + "</string>"),
             qPrintable(text));
}

void TestDeviceLink::syncLimits_data()
{
    QTest::addColumn<QJsonObject>("syncClass"); // batches and repeat
    QTest::addColumn<QString>("error"); // a part of it; empty: fetched
    QTest::addColumn<int>("batches"); // fetched

    // Limits lowered for the test: 40 batches, 1000 records, records of
    // 50000 bytes, 400000 bytes in all.
    const auto batchOf = [](int records, int noteBytes, const QString &prefix = "r") {
        QJsonObject b;
        for (int i = 0; i < records; ++i)
            b.insert(prefix + QString::number(i),
                     QJsonObject {{"note", QString(noteBytes, QLatin1Char('n'))}});
        return b;
    };
    const auto cls = [](const QJsonObject &batch, int repeat) {
        return QJsonObject {{"batches", QJsonArray {batch}}, {"repeat", repeat}};
    };
    QTest::newRow("at every limit")
            << QJsonObject {{"batches", QJsonArray {batchOf(250, 10), batchOf(249, 10, "s"),
                                                    QJsonObject {{"big", QJsonObject {{"note",
                                                            QString(49500, 'n')}}}}}},
                            {"repeat", 2}}
            << "" << 6;
    QTest::newRow("endless batches") << cls(batchOf(1, 10), -1) << "more than 40 batches" << 0;
    QTest::newRow("endless empty batches") << cls(QJsonObject(), -1) << "more than 40 batches"
                                           << 0;
    QTest::newRow("one batch of too many records")
            << cls(batchOf(1001, 1), 1) << "more than 1000 records" << 0;
    QTest::newRow("too many records in all")
            << cls(batchOf(300, 1), 4) << "more than 1000 records" << 0;
    QTest::newRow("a record too large")
            << cls(QJsonObject {{"r0", QJsonObject {{"a", 1}}},
                                {"huge", QJsonObject {{"note", QString(60000, 'n')}}}},
                   1)
            << "the record huge of " << 0;
    QTest::newRow("too many bytes in all")
            << cls(batchOf(2, 40000), -1) << "more than 400000 bytes of records" << 0;
}

void TestDeviceLink::syncLimits()
{
    QFETCH(QJsonObject, syncClass);
    QFETCH(QString, error);
    QFETCH(int, batches);
    mobilesync::Limits limits;
    limits.batches = 40;
    limits.records = 1000;
    limits.recordBytes = 50000;
    limits.totalBytes = 400000;
    mobilesync::setLimits(limits);
    QVERIFY(scenario({{"mobilesync", QJsonObject {{"classes", QJsonObject {{kContacts,
                                                                          syncClass}}}}}}));
    Socket s;
    QElapsedTimer timer;
    timer.start();
    QList<CFType> records;
    const QString text = thrown([&] {
        mobiledevice_sync_start(phone(), mobiledevice_sync_anchors(kContacts, "", ""), &s.fd,
                                false);
        records = mobiledevice_sync_get_all_records(s.fd, kContacts);
    });
    if (error.isEmpty()) {
        QVERIFY2(text.isEmpty(), qPrintable(text));
        QCOMPARE(records.size(), batches);
        QCOMPARE(records.at(2).value("big").value("note").toQString().size(), 49500);
    } else {
        QVERIFY2(text.startsWith("The iPhone sent ") && text.contains(error)
                         && text.contains(kContacts),
                 qPrintable(text));
    }
    // Stopped at the limit, not by a time limit.
    QVERIFY2(timer.elapsed() < 15000, qPrintable(QString::number(timer.elapsed())));
}

void TestDeviceLink::tetheredSwitch()
{
    QVERIFY(scenario({}));
    QCOMPARE(mobiledevice_sync_set_tethered(phone(), "Contacts", true), 0);
    const QList<CFType> v
            = mobiledevice_copy_value(phone(), {"Contacts"}, "com.apple.mobile.tethered_sync");
    QVERIFY(v.at(0).value("DisableTethered").toBool(false));
    // A refused write is the phone's code, not an exception.
    QVERIFY(scenario({{"errors", QJsonObject {{"AMDeviceSetValue", -5}}}}));
    QCOMPARE(mobiledevice_sync_set_tethered(phone(), "Contacts", false), -5);
}

void TestDeviceLink::faults_data()
{
    QTest::addColumn<QString>("service"); // "backup" or "sync"
    QTest::addColumn<QString>("at");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("error"); // the start of the text
    QTest::addColumn<bool>("waits"); // the error comes only after the time limit

    const QString shortLength = "mobiledevice_recmsg(msg-length) error, received length: ";
    const QString shortBody = "mobiledevice_recmsg(msg) error, received length: ";
    QTest::newRow("short length at the start")
            << "backup" << "start" << "shortPrefix" << shortLength + "2." << false;
    QTest::newRow("closed at the start") << "backup" << "start" << "close" << shortLength + "0."
                                         << false;
    QTest::newRow("silent at the start") << "sync" << "start" << "stall" << shortLength + "0."
                                         << true;
    QTest::newRow("closed after the version answer")
            << "sync" << "DLMessageVersionExchange" << "close" << shortLength + "0." << false;
    QTest::newRow("length beyond what follows")
            << "backup" << "Hello" << "lengthBeyond" << shortBody << true;
    QTest::newRow("length above the cap")
            << "backup" << "Hello" << "overCap"
            << "mobiledevice_recmsg(msg) error, announced length: 268435456." << false;
    QTest::newRow("negative length")
            << "backup" << "Hello" << "negativeLength" << shortBody + "0." << false;
    QTest::newRow("closed mid-answer") << "backup" << "Hello" << "closeMidAnswer" << shortBody
                                       << false;
    QTest::newRow("no property list")
            << "backup" << "Hello" << "garbage" << "Did not receive a DL* message as expected."
            << false;
    QTest::newRow("silent after hello") << "backup" << "Hello" << "stall" << shortLength + "0."
                                        << true;
    QTest::newRow("silent while fetching")
            << "sync" << "SDMessageGetAllRecordsFromDevice" << "stall" << shortLength + "0."
            << true;
    QTest::newRow("dropped between batches")
            << "sync" << "SDMessageAcknowledgeChangesFromDevice" << "close" << shortLength + "0."
            << false;
    QTest::newRow("cut short on finishing")
            << "sync" << "SDMessageFinishSessionOnDevice" << "closeMidAnswer" << shortBody << false;
}

void TestDeviceLink::faults()
{
    QFETCH(QString, service);
    QFETCH(QString, at);
    QFETCH(QString, kind);
    QFETCH(QString, error);
    QFETCH(bool, waits);
    const int limit = 600;
    mobiledevice::setServiceTimeoutMs(limit);
    mobiledevice::setLengthTimeoutMs(limit);
    const QJsonArray faults {QJsonObject {{"at", at}, {"kind", kind}}};
    const QJsonArray batches {QJsonObject {{"a", 1}}, QJsonObject {{"b", 2}}};
    if (service == "backup")
        QVERIFY(scenario({{"mobilebackup2", QJsonObject {{"faults", faults}}}}));
    else
        QVERIFY(scenario({{"mobilesync",
                           QJsonObject {{"faults", faults},
                                        {"classes", QJsonObject {{kContacts, QJsonObject {{"batches",
                                                                                          batches}}}}}}}}));
    Socket s;
    QElapsedTimer timer;
    qint64 elapsed = 0;
    const QString text = thrown([&] {
        if (service == "backup") {
            mobiledevice_backup2_start(phone(), &s.fd);
            const double v = 2.0;
            timer.start();
            mobiledevice_backup2_version_exchange(s.fd, &v, 1);
        } else {
            timer.start();
            mobiledevice_sync_start(phone(), mobiledevice_sync_anchors(kContacts, "", ""), &s.fd,
                                    false);
            timer.start();
            mobiledevice_sync_get_all_records(s.fd, kContacts);
            timer.start();
            mobiledevice_sync_finish(s.fd, kContacts);
        }
    });
    elapsed = timer.elapsed();
    QVERIFY2(text.startsWith(error), qPrintable(text));
    if (waits)
        QVERIFY2(elapsed >= limit - 50, qPrintable(QString::number(elapsed)));
    else
        QVERIFY2(elapsed < limit, qPrintable(QString::number(elapsed)));
    // A start that failed closed its socket; after a later failure the
    // socket is the caller's (closed here by Socket).
    if (at == "start" || at == "DLMessageVersionExchange")
        QCOMPARE(s.fd, 0);
}

void TestDeviceLink::announcedLengthIsNotAllocated()
{
    // A peer announcing 60 MiB and sending 10 bytes costs what arrived, not
    // what was announced.
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    QCOMPARE(::send(fds[1], "0123456789", 10, 0), ssize_t(10));
    ::close(fds[1]);
    const QByteArray got = mobiledevice::receiveAnnounced(fds[0], qint64(60) << 20, 5000);
    ::close(fds[0]);
    QCOMPARE(got, QByteArray("0123456789"));
    QVERIFY2(got.capacity() < (4 << 20), qPrintable(QString::number(got.capacity())));
}

void TestDeviceLink::expansion_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<qint64>("maxValues");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<QString>("size"); // "values/bytes", or "unreadable"

    const qint64 many = qint64(1) << 40;
    {
        BplistFixture b;
        QTest::newRow("flat") << b.bytes(b.array({b.string("ab"), b.string("cde")})) << many << many
                              << "3/5";
    }
    {
        BplistFixture b;
        const int s = b.string("abc");
        QTest::newRow("one text shared") << b.bytes(b.array({s, s, s})) << many << many << "4/9";
    }
    {
        BplistFixture b;
        QTest::newRow("keys count")
                << b.bytes(b.dictionary({{b.string("k"), b.integer(7)}})) << many << many << "3/9";
    }
    {
        BplistFixture b;
        int level = b.string("x");
        for (int i = 0; i < 40; ++i)
            level = b.array({level, level, level});
        QTest::newRow("sharing beyond the values allowed")
                << b.bytes(level) << qint64(1000) << many << "1001/";
        QTest::newRow("sharing beyond the bytes allowed")
                << b.bytes(level) << many << qint64(5000) << "/5001";
    }
    {
        BplistFixture b;
        const int top = b.array({b.string("a")});
        for (int i = 0; i < 5; ++i)
            b.string("unreferenced");
        QTest::newRow("more objects than values allowed")
                << b.bytes(top) << qint64(4) << many << "5/";
    }
    {
        BplistFixture b;
        QTest::newRow("inside itself") << b.bytes(b.array({0})) << many << many << "unreadable";
        BplistFixture c;
        QTest::newRow("reference outside") << c.bytes(c.array({9})) << many << many << "unreadable";
        BplistFixture d;
        QTest::newRow("text past the end")
                << d.bytes(d.raw(QByteArray::fromHex("5f1064") + "short")) << many << many
                << "unreadable";
        QByteArray cut = d.bytes(0);
        cut.chop(1);
        QTest::newRow("trailer cut") << cut << many << many << "unreadable";
    }
    QTest::newRow("xml: its tags")
            << QByteArray("<plist><array><string>a</string><true/></array></plist>") << many << many
            << "7/55";
}

void TestDeviceLink::expansion()
{
    QFETCH(QByteArray, list);
    QFETCH(qint64, maxValues);
    QFETCH(qint64, maxBytes);
    QFETCH(QString, size);
    const plistexpansion::Size s = plistexpansion::measure(list, maxValues, maxBytes);
    if (size == "unreadable") {
        QVERIFY(!s.readable);
        return;
    }
    QVERIFY(s.readable);
    const QString values = size.section('/', 0, 0);
    const QString bytes = size.section('/', 1, 1);
    if (!values.isEmpty())
        QCOMPARE(s.values, values.toLongLong());
    if (!bytes.isEmpty())
        QCOMPARE(s.bytes, bytes.toLongLong());
    QCOMPARE(s.within(maxValues, maxBytes),
             values.toLongLong() <= maxValues && bytes.toLongLong() <= maxBytes);
}

void TestDeviceLink::sharedValues_data()
{
    QTest::addColumn<QByteArray>("message"); // framed, as the phone sends it
    QTest::addColumn<bool>("records"); // fetched as a batch, else as a process message
    QTest::addColumn<QString>("error"); // the start of it; empty: read

    const auto link = [](BplistFixture &b, int body) {
        return b.framed(b.array({b.string("DLMessageProcessMessage"), body}));
    };
    {
        // A batch of 1000 records that all point at one string of 256 KiB:
        // 275 kB on the wire, 256 MiB once read.
        BplistFixture b;
        const int shared = b.string(QByteArray(256 << 10, 's'));
        QList<QPair<int, int>> records;
        for (int i = 0; i < 1000; ++i)
            records.append({b.string("record" + QByteArray::number(i)), shared});
        const int batch = b.array({b.string("SDMessageProcessChanges"), b.string("c"),
                                   b.dictionary(records), b.boolean(false), b.dictionary({})});
        QTest::newRow("batch of one shared string")
                << b.framed(batch) << true
                << "mobiledevice_recmsg(msg) error, the message holds more than 67108864 bytes "
                   "of values.";
    }
    {
        // Arrays of two references to the array below, 24 deep: 2^24
        // values from 300 bytes.
        BplistFixture b;
        int level = b.string("x");
        for (int i = 0; i < 24; ++i)
            level = b.array({level, level});
        QTest::newRow("nested sharing")
                << link(b, b.dictionary({{b.string("MessageName"), level}})) << false
                << "mobiledevice_recmsg(msg) error, the message holds more than 4194304 values.";
    }
    {
        // Sharing itself is no fault: a value referred to a few times is read
        // as often.
        BplistFixture b;
        const int name = b.string("MessageName");
        const int shared = b.string("Response");
        QTest::newRow("shared within the limits") << link(
                b,
                b.dictionary({{name, shared}, {b.string("a"), b.array({shared, shared, shared})}}))
                                                  << false << "";
    }
    {
        BplistFixture b;
        b.string("DLMessageProcessMessage");
        const int self = b.array({0, 1});
        QTest::newRow("an array inside itself")
                << b.framed(self) << false << "Did not receive a DL* message as expected.";
    }
    {
        BplistFixture b;
        QTest::newRow("reference outside the list")
                << b.framed(b.array({b.string("DLMessageProcessMessage"), 77})) << false
                << "Did not receive a DL* message as expected.";
    }
}

void TestDeviceLink::sharedValues()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, records);
    QFETCH(QString, error);
    // The phone: the message, then it hangs up. What the client sends stays
    // unread in the socket.
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread peer([fd = fds[1], &message] {
        for (qsizetype sent = 0; sent < message.size();) {
            const ssize_t n = ::send(fd, message.constData() + sent, size_t(message.size() - sent),
                                     MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
        ::shutdown(fd, SHUT_WR);
    });
    QElapsedTimer timer;
    timer.start();
    CFType body;
    const QString text = thrown([&] {
        if (records)
            mobiledevice_sync_get_all_records(fds[0], kContacts);
        else
            body = mobiledevice_link_sc_recv_process_message(fds[0], CFType(), nullptr);
    });
    const qint64 elapsed = timer.elapsed();
    ::close(fds[0]);
    peer.join();
    ::close(fds[1]);
    QVERIFY2(error.isEmpty() ? text.isEmpty() : text.startsWith(error), qPrintable(text));
    // Refused before anything was expanded: at once.
    QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    if (error.isEmpty()) {
        QCOMPARE(body.value("MessageName").toQString(), QString("Response"));
        QCOMPARE(body.value("a").arrayCount(), CFIndex(3));
        QCOMPARE(body.value("a").at(2).toQString(), QString("Response"));
    }
}

void TestDeviceLink::failureTextsAreCut()
{
    // What a phone sends is shown in failure texts and debug lines only as
    // far as the first 2000 characters of its XML.
    const QString big(1 << 20, QLatin1Char('b'));
    const QJsonArray refusal {"SDMessageRefuseToSyncDataClassWithComputer", big};
    QVERIFY(scenario(
            {{"mobilesync",
              QJsonObject {{"classes", QJsonObject {{kContacts, QJsonObject()}}},
                           {"faults",
                            QJsonArray {QJsonObject {{"at", "SDMessageSyncDataClassWithDevice"},
                                                     {"kind", "reply"},
                                                     {"message", refusal}}}}}},
             {"mobilebackup2",
              QJsonObject {
                      {"scripts",
                       QJsonObject {{"Probe", QJsonArray {QJsonArray {"SDNotALink", big}}}}}}}}));
    Socket s;
    const QString text = thrown([&] {
        mobiledevice_sync_start(phone(), mobiledevice_sync_anchors(kContacts, "", ""), &s.fd,
                                false);
    });
    QVERIFY2(text.startsWith("invalid feedback after send SDMessageSyncDataClassWithDevice.\n<?xml")
                     && text.contains("SDMessageRefuseToSyncDataClassWithComputer"),
             qPrintable(text.left(300)));
    QVERIFY2(text.size() < 2100, qPrintable(QString::number(text.size())));

    static qsizetype longest;
    longest = 0;
    const QtMessageHandler previous
            = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &m) {
                  longest = qMax(longest, m.size());
              });
    Socket b;
    const QString linkText = thrown([&] {
        mobiledevice_backup2_start(phone(), &b.fd);
        mobiledevice_backup2_send_message(b.fd, "Probe", CFType::newDictionary());
        CFType message;
        QString name;
        mobiledevice_backup2_recv_message(b.fd, message, name);
    });
    qInstallMessageHandler(previous);
    QCOMPARE(linkText, QString("Did not receive a DL* message as expected."));
    QVERIFY2(longest > 1000 && longest < 2200, qPrintable(QString::number(longest)));
}

void TestDeviceLink::finishTimeoutOfLongServiceLimits()
{
    // Sixty times a service limit of eleven hours does not fit an int: the
    // finish waits as long as an int holds, never without limit (nor
    // overflows).
    mobiledevice::setServiceTimeoutMs(40000000);
    QCOMPARE(mobilesync::finishTimeoutMs(), INT_MAX);
    mobiledevice::setServiceTimeoutMs(1000);
    QCOMPARE(mobilesync::finishTimeoutMs(), 60000);
    mobiledevice::setServiceTimeoutMs(0);
    QCOMPARE(mobilesync::finishTimeoutMs(), 0);

    mobiledevice::setServiceTimeoutMs(40000000);
    QVERIFY(scenario(
            {{"mobilesync", QJsonObject {{"classes", QJsonObject {{kContacts, QJsonObject()}}}}}}));
    Socket s;
    mobiledevice_sync_start(phone(), mobiledevice_sync_anchors(kContacts, "", ""), &s.fd, false);
    mobiledevice_sync_finish(s.fd, kContacts);
}

QTEST_MAIN(TestDeviceLink)
#include "tst_devicelink.moc"
