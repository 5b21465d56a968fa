// The simulated companion app and the fake adb that wakes it: the stand-ins
// on which the connection, load and restore jobs are tested. Here the
// system's side of each session is played by hand with the line protocol.

#include "android/adbclient.h"
#include "android/simpleprotocol.h"
#include "standins/companionpeer.h"
#include "standins/fakeadb.h"

#include "buildconfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QRandomGenerator>
#include <QtTest>

#include <functional>
#include <memory>

using namespace simpleprotocol;

namespace {

const QString kComponent = QStringLiteral("com.quillmarsh.smssync/.AdbSyncBroadcastReceiver");

QString outcome(const std::function<QString()> &f)
{
    try {
        return QStringLiteral("ok:") + f();
    } catch (const LocalException &e) {
        return QStringLiteral("local:") + QString::fromUtf8(e.what());
    } catch (const RemoteException &e) {
        return QStringLiteral("remote:") + QString::fromUtf8(e.what());
    } catch (const SocketDataTransferException &e) {
        return QStringLiteral("transfer:") + QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        return QStringLiteral("error:") + QString::fromUtf8(e.what());
    }
}

// Asks the peer for a session over its control port, as a Wi-Fi connection
// does; returns its reply.
QString askForSession(quint16 controlPort, const QString &url)
{
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, controlPort);
    if (!control.waitForConnected(5000))
        return QStringLiteral("no control connection");
    sendCommand(&control, url, QString(), true, 5000);
    return readCommand(&control, 20000);
}

std::unique_ptr<QTcpSocket> connectSession(const QString &url)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, quint16(QUrl(url).port()));
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

// A session URL whose port is free right now.
QString freeUrl(const QString &pattern)
{
    for (int i = 0; i < 200; ++i) {
        const int port = nextSessionPort();
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, quint16(port)))
            return pattern.arg(port);
    }
    return QString();
}

PhoneMessage message(qint64 dateMs, bool sent, const QString &address, const QString &name,
                     const QString &text, const QList<PhoneAttachment> &attachments = {})
{
    PhoneMessage m;
    m.dateMs = dateMs;
    m.sent = sent;
    m.address = address;
    m.contactName = name;
    m.text = text;
    m.attachments = attachments;
    return m;
}

} // namespace

class TestCompanionPeer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void helloThroughAdbBroadcast();
    void controlPortRefusal();
    void loadSession();
    void restoreSession();
    void faults_data();
    void faults();
    void peerAsAProgram();
};

void TestCompanionPeer::initTestCase()
{
    // Other test programs running beside this one draw session ports from
    // the same clock with their own counter from 1: start elsewhere in the
    // counter's cycle so that two programs rarely ask for the same port.
    for (int i = QRandomGenerator::global()->bounded(1, 99); i > 0; --i)
        nextSessionPort();
}

void TestCompanionPeer::helloThroughAdbBroadcast()
{
    CompanionPeer peer;
    QVERIFY(peer.start());
    FakeAdb adb;
    QVERIFY(adb.isValid());
    adb.setCompanion(peer.controlPort());

    QVERIFY(adbListPackages("0123ABCD").contains("com.quillmarsh.smssync"));
    const QString url = freeUrl(QStringLiteral("device2://127.0.0.1:%1"));
    const int port = QUrl(url).port();
    adbActivityManager("0123ABCD", "broadcast", kComponent, {}, url, {}, {});
    adbForward("0123ABCD", port, port);
    auto socket = connectSession(url);
    QVERIFY(socket);
    QCOMPARE(expectCommand(socket.get(), "$ready:", 5000), QStringLiteral("$ready:"));
    const QString hello = readCommand(socket.get(), 5000);
    QVERIFY(hello.startsWith("$hello:"));
    QVERIFY(hello.contains("version=10;"));
    QVERIFY(hello.contains("imei=356938035643809;"));
    sendCommand(socket.get(), "$bye:", QString(), true, 5000);
    QVERIFY(peer.waitForSessions(1, 10000));
    const CompanionRecord record = peer.record();
    QCOMPARE(record.sessions, QStringList {url});
    QCOMPARE(record.endings, QStringList {"bye"});
    QCOMPARE(adb.calls().mid(1),
             (QList<QStringList> {
                     {"-s", "0123ABCD", "shell", "am", "broadcast", "-n", kComponent, "-d", url},
                     {"-s", "0123ABCD", "forward", QStringLiteral("tcp:%1").arg(port),
                      QStringLiteral("tcp:%1").arg(port)},
             }));
}

void TestCompanionPeer::controlPortRefusal()
{
    CompanionScenario scenario;
    scenario.refusal = QString::fromUtf8("Keine Berechtigung für SMS");
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    const QString reply = askForSession(peer.controlPort(), "device2://127.0.0.1:40001");
    QCOMPARE(reply.left(1), QStringLiteral("0"));
    QCOMPARE(decodeText(reply.mid(1)), scenario.refusal);
    QVERIFY(peer.waitForSessions(1, 5000));
    QCOMPARE(peer.record().endings, QStringList {"refused"});
}

void TestCompanionPeer::loadSession()
{
    const QByteArray picture = QByteArray(7000, '\x89') + QByteArray("PNG tail");
    CompanionScenario scenario;
    scenario.chunkSize = 4096;
    scenario.batches = {
            {message(1700000000123, false, "+1 555 0100", QString::fromUtf8("Zoë"),
                     QString::fromUtf8("Hällo 👋")),
             message(1700000001000, true, "+1 555 0100", QString::fromUtf8("Zoë"), "look",
                     {{"image/png", "cat.png", picture}, {"text/plain", "t.txt", "hi"}})},
            {message(1700000002000, false, "a@b.example", QString(), "again",
                     {{"image/jpeg", "x.jpg", "jpeg"}})},
    };
    // The phone's own id of a message follows its part count.
    scenario.batches[1][0].phoneId = QStringLiteral("mms:17");
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    const QString url = freeUrl(QStringLiteral("backup2://127.0.0.1:%1/mms/"));
    QCOMPARE(askForSession(peer.controlPort(), url), QStringLiteral("1"));
    auto socket = connectSession(url);
    QVERIFY(socket);
    QTcpSocket *s = socket.get();

    QStringList texts;
    QList<QByteArray> files;
    int count = -1;
    int answered = 0;
    const QString result = outcome([&] {
        expectCommand(s, "$ready:", 5000);
        for (;;) {
            const QString line = readCommand(s, 5000);
            if (line.startsWith("$count:")) {
                count = line.mid(7).toInt();
            } else if (line.startsWith("$batch:")) {
                for (;;) {
                    const QString item = readCommand(s, 5000);
                    if (item.startsWith("$end:"))
                        break;
                    const QStringList f = item.mid(5).split(',');
                    texts << f.value(0) + "|" + f.value(1) + "|" + decodeText(f.value(2)) + "|"
                                    + decodeText(f.value(3)) + "|" + decodeText(f.value(4)) + "|"
                                    + f.value(6) + (f.size() > 7 ? "|" + f.value(7) : QString());
                    if (f.value(6).toInt() <= 0)
                        continue;
                    // The first message with attachments is new, the second known.
                    const bool wanted = answered++ == 0;
                    sendCommand(s, wanted ? "1" : "0", QString(), true, 5000);
                    if (!wanted)
                        continue;
                    for (int i = 0; i < f.value(6).toInt(); ++i) {
                        const QString head = expectCommand(s, "$atta:", 5000);
                        QByteArray data;
                        for (QString d = readCommand(s, 5000); !d.startsWith('.');
                             d = readCommand(s, 5000))
                            data += QByteArray::fromBase64(d.toLatin1());
                        sendCommand(s, ".", QString(), true, 5000);
                        files << head.mid(6).toUtf8() + "=" + data;
                    }
                }
                sendCommand(s, "$batch:", QString(), true, 5000);
            } else if (line.startsWith("$bye:")) {
                sendCommand(s, "$bye:", QString(), true, 5000);
                return QString();
            }
        }
    });
    QCOMPARE(result, QStringLiteral("ok:"));
    QCOMPARE(count, 3);
    QCOMPARE(texts,
             (QStringList {QString::fromUtf8("1700000000123|0|+1 555 0100|Zoë|Hällo 👋|0"),
                           QString::fromUtf8("1700000001000|1|+1 555 0100|Zoë|look|2"),
                           "1700000002000|0|a@b.example||again|1|mms:17"}));
    QCOMPARE(files, (QList<QByteArray> {"image/png,cat.png=" + picture, "text/plain,t.txt=hi"}));
    QVERIFY(peer.waitForSessions(1, 5000));
    QCOMPARE(peer.record().answers, (QStringList {"1", "0"}));
    QCOMPARE(peer.record().endings, QStringList {"bye"});
}

void TestCompanionPeer::restoreSession()
{
    CompanionPeer peer; // not yet the default messaging app
    QVERIFY(peer.start());
    const QString url = freeUrl(QStringLiteral("restore2://127.0.0.1:%1/mms/"));
    QCOMPARE(askForSession(peer.controlPort(), url), QStringLiteral("1"));
    auto socket = connectSession(url);
    QVERIFY(socket);
    QTcpSocket *s = socket.get();
    const QByteArray file(600000, 'F');
    const QString result = outcome([&] {
        expectCommand(s, "$ready:", 5000);
        const QString ask = expectCommand(s, "$defsmsapp:", 5000);
        if (ask.mid(11).toInt() != 0)
            sendCommand(s, "$defsmsapp:", QString(), true, 5000);
        for (int batch = 0; batch < 2; ++batch) {
            sendCommand(s, "$batch:", QString(), true, 5000);
            for (int i = 0; i < (batch == 0 ? 3 : 1); ++i) {
                const bool withFile = batch == 1;
                sendCommand(s, "$sms:",
                            QStringLiteral("%1,%2,%3,%4,%5,%6")
                                    .arg(1700000000000 + i)
                                    .arg(i % 2)
                                    .arg(encodeText("+44 7700 900123"),
                                         encodeText(QString::fromUtf8("Ça va? №%1").arg(i)),
                                         encodeText(QString()))
                                    .arg(withFile ? 1 : 0),
                            false, 5000);
                if (withFile) {
                    sendCommand(s, "$atta:", "application/pdf,doc, with comma.pdf", true, 5000);
                    for (qsizetype at = 0; at < file.size(); at += 524288)
                        sendCommand(s, QString::fromLatin1(file.mid(at, 524288).toBase64()),
                                    QString(), false, 5000);
                    sendCommand(s, ".", QString(), true, 5000);
                    expectCommand(s, ".", 5000);
                }
            }
            sendCommand(s, "$end:", QString(), true, 5000);
            expectCommand(s, "$batch:", 5000);
        }
        sendCommand(s, "$bye:", QString(), true, 5000);
        return QString();
    });
    QCOMPARE(result, QStringLiteral("ok:"));
    QVERIFY(peer.waitForSessions(1, 10000));
    const CompanionRecord record = peer.record();
    QVERIFY(record.defaultAppConfirmed);
    QCOMPARE(record.restoreBatches, (QList<int> {3, 1}));
    QCOMPARE(record.restored.size(), 4);
    QCOMPARE(record.restored.at(1).text, QString::fromUtf8("Ça va? №1"));
    QCOMPARE(record.restored.at(1).dateMs, 1700000000001);
    QVERIFY(record.restored.at(1).sent);
    QCOMPARE(record.restored.at(0).address, QStringLiteral("+44 7700 900123"));
    QCOMPARE(record.restored.at(3).attachments.size(), 1);
    QCOMPARE(record.restored.at(3).attachments.at(0).name, QStringLiteral("doc, with comma.pdf"));
    QCOMPARE(record.restored.at(3).attachments.at(0).data, file);
    QCOMPARE(record.endings, QStringList {"bye"});
}

void TestCompanionPeer::faults_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("ending");
    const QString why = QString::fromUtf8("Speicher voll – 存储已满");
    QTest::newRow("error instead of the hello")
            << int(CompanionFault::Error) << 1 << why << "remote:" + why << "fault";
    QTest::newRow("closed before the hello") << int(CompanionFault::Close) << 1 << QString()
                                             << "transfer:The remote host closed the connection"
                                             << "fault";
    QTest::newRow("closed in the middle of the hello")
            << int(CompanionFault::CloseMidLine) << 1 << QString()
            << "transfer:The remote host closed the connection"
            << "fault";
    QTest::newRow("wrong first line")
            << int(CompanionFault::RawLine) << 0 << "$hello:version=10"
            << "local:invalid feedback [$hello:version=10], must be [$ready:]"
            << "error";
    QTest::newRow("never ready") << int(CompanionFault::Silence) << 0 << QString()
                                 << "transfer:Network operation timed out"
                                 << "fault";
}

void TestCompanionPeer::faults()
{
    QFETCH(int, kind);
    QFETCH(int, line);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QFETCH(QString, ending);
    CompanionScenario scenario;
    scenario.faults = {{"device2", line, CompanionFault::Kind(kind), text},
                       {"backup2", 0, CompanionFault::Error, "not this session"}};
    CompanionPeer peer(scenario);
    QVERIFY(peer.start());
    const QString url = freeUrl(QStringLiteral("device2://127.0.0.1:%1"));
    QCOMPARE(askForSession(peer.controlPort(), url), QStringLiteral("1"));
    auto socket = connectSession(url);
    QVERIFY(socket);
    const QString result = outcome([&] {
        expectCommand(socket.get(), "$ready:", 1000);
        return readCommand(socket.get(), 1000);
    });
    QCOMPARE(result, expected);
    socket->disconnectFromHost();
    QVERIFY(peer.waitForSessions(1, 10000));
    QCOMPARE(peer.record().endings, QStringList {ending});
    if (ending == QLatin1String("error"))
        QCOMPARE(peer.record().errors, QStringList {expected.mid(6)});
}

void TestCompanionPeer::peerAsAProgram()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CompanionScenario scenario;
    scenario.hello = QStringLiteral("version=9;model=Old;imei=1");
    QFile file(dir.filePath("scenario.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(scenario.toJson()).toJson());
    file.close();
    QCOMPARE(CompanionScenario::fromJson(scenario.toJson()).toJson(), scenario.toJson());

    QProcess program;
    program.start(QStringLiteral(PEL_BINARY_DIR "/bin/companionpeer"),
                  {"--scenario", file.fileName(), "--record", dir.filePath("record.json")});
    QVERIFY(program.waitForStarted(5000));
    auto stop = qScopeGuard([&] {
        program.kill();
        program.waitForFinished(5000);
    });
    QVERIFY(program.waitForReadyRead(10000));
    const QByteArray first = program.readLine().trimmed();
    QVERIFY2(first.startsWith("control "), first.constData());
    const quint16 port = quint16(first.mid(8).toUInt());

    const QString url = freeUrl(QStringLiteral("device2://127.0.0.1:%1"));
    QCOMPARE(askForSession(port, url), QStringLiteral("1"));
    auto socket = connectSession(url);
    QVERIFY(socket);
    expectCommand(socket.get(), "$ready:", 5000);
    QCOMPARE(readCommand(socket.get(), 5000), "$hello:" + scenario.hello);
    sendCommand(socket.get(), "$bye:", QString(), true, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("record.json")), 10000);
    QFile record(dir.filePath("record.json"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(record.readAll()).object();
    QCOMPARE(json.value("sessions").toArray().first().toString(), url);
    QCOMPARE(json.value("endings").toArray().first().toString(), QStringLiteral("bye"));
}

QTEST_GUILESS_MAIN(TestCompanionPeer)
#include "tst_companionpeer.moc"
