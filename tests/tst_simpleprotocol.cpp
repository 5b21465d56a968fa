#include "android/simpleprotocol.h"
#include "tests/support/socketpair.h"

#include <QElapsedTimer>
#include <QTime>
#include <QtTest>

#include <thread>

using namespace simpleprotocol;

namespace {

// What an operation ended in, as one comparable text.
template<typename F> QString outcome(F &&f)
{
    try {
        return QStringLiteral("ok:") + f();
    } catch (const LocalException &e) {
        return QStringLiteral("local:") + QString::fromUtf8(e.what());
    } catch (const RemoteException &e) {
        return QStringLiteral("remote:") + QString::fromUtf8(e.what());
    } catch (const SocketDataTransferException &e) {
        return QStringLiteral("transfer:") + QString::fromUtf8(e.what());
    }
}

QByteArray b64(const QString &text)
{
    return text.toUtf8().toBase64();
}

} // namespace

class TestSimpleProtocol : public QObject
{
    Q_OBJECT
private slots:
    void linesAreReadByteByByte_data();
    void linesAreReadByteByByte();
    void commandsAndErrors_data();
    void commandsAndErrors();
    void mismatchedCommandTellsThePeerFirst();
    void writtenLinesAreUtf8();
    void appendedFieldsMatchEncodedText_data();
    void appendedFieldsMatchEncodedText();
    void peerClosingMidLineEndsTheWait();
    void silentPeerTimesOut();
    void overLongLineIsRejected();
    void cancelCutsABlockedReadShort();
    void flushWaitsForASlowReader();
    void writeToAPeerThatNeverReadsFails();
    void sessionPorts_data();
    void sessionPorts();
    void sessionPortCounterWraps();
};

void TestSimpleProtocol::linesAreReadByteByByte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("CR inside a line is dropped") << QByteArray("A\rB\n") << QStringList {"AB"};
    QTest::newRow("CR LF ending") << QByteArray("$count:12\r\n") << QStringList {"$count:12"};
    QTest::newRow("only CR LF") << QByteArray("\r\n") << QStringList {""};
    QTest::newRow("Latin-1 byte") << QByteArray("caf\xe9\n")
                                  << QStringList {QString::fromUtf8("café")};
    // UTF-8 on the wire is not decoded: each byte is a character of its own.
    QTest::newRow("UTF-8 bytes stay bytes")
            << QByteArray("\xc3\xa9\n") << QStringList {QString::fromLatin1("\xc3\xa9")};
    QTest::newRow("two lines in one write")
            << QByteArray("$batch:\n$sms:1,0\n") << QStringList {"$batch:", "$sms:1,0"};
    QTest::newRow("long data line") << QByteArray(100000, 'Q') + "\n"
                                    << QStringList {QString(100000, QLatin1Char('Q'))};
    // Runs and CRs across the pieces a long line is read in, a CR as the
    // first and last byte, and an empty line after it.
    QTest::newRow("CRs all through a long line")
            << "\r" + QByteArray("ab\r").repeated(5000) + "\r\n\n"
            << QStringList {QString("ab").repeated(5000), ""};
}

void TestSimpleProtocol::linesAreReadByteByByte()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    SocketPair pair;
    QVERIFY(pair.isValid());
    pair.sendFromFar(bytes);
    for (const QString &expected : lines)
        QCOMPARE(readLine(pair.nearSide(), 5000), expected);
    QCOMPARE(pair.nearSide()->bytesAvailable(), 0);
}

void TestSimpleProtocol::commandsAndErrors_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QString foreign = QString::fromUtf8("Échec d'écriture: 短信 – Grüße");
    QTest::newRow("command") << QByteArray("$count:5\n") << "ok:$count:5";
    QTest::newRow("empty line") << QByteArray("\r\n") << "transfer:Null command.";
    QTest::newRow("error with non-ASCII text") << "$error:" + b64(foreign) + "\r\n"
                                               << QStringLiteral("remote:") + foreign;
    QTest::newRow("error without text") << QByteArray("$error:\n") << "remote:";
    // The prefix is case-sensitive: this is an ordinary line.
    QTest::newRow("not an error prefix") << QByteArray("$Error:eA==\n") << "ok:$Error:eA==";
}

void TestSimpleProtocol::commandsAndErrors()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    SocketPair pair;
    QVERIFY(pair.isValid());
    pair.sendFromFar(bytes);
    QCOMPARE(outcome([&] { return readCommand(pair.nearSide(), 5000); }), expected);
}

void TestSimpleProtocol::mismatchedCommandTellsThePeerFirst()
{
    SocketPair pair;
    QVERIFY(pair.isValid());
    pair.sendFromFar("$hello:version=10\n$ready:\n");
    const QString message
            = QStringLiteral("invalid feedback [$hello:version=10], must be [$ready:]");
    QCOMPARE(outcome([&] { return expectCommand(pair.nearSide(), "$ready:", 5000); }),
             QStringLiteral("local:") + message);
    QCOMPARE(pair.receivedByFar(), "$error:" + b64(message) + "\n");
    // The next line is still there and matches.
    QCOMPARE(outcome([&] { return expectCommand(pair.nearSide(), "$ready:", 5000); }),
             QStringLiteral("ok:$ready:"));

    // A rejection that cannot reach the peer throws the transfer failure.
    SocketPair gone;
    QVERIFY(gone.isValid());
    gone.sendFromFar("$bye:\n");
    QCOMPARE(readLine(gone.nearSide(), 5000), QStringLiteral("$bye:"));
    gone.nearSide()->abort();
    QVERIFY(outcome([&] {
                LocalException(gone.nearSide(), "rejected");
                return QString();
            }).startsWith("transfer:"));
}

void TestSimpleProtocol::writtenLinesAreUtf8()
{
    SocketPair pair;
    QVERIFY(pair.isValid());
    const QString text = QString::fromUtf8("Grüße, 你好 👋");
    sendCommand(pair.nearSide(), "$sms:", encodeText(text), true, 5000);
    const QByteArray wire = pair.receivedByFar();
    QCOMPARE(wire, "$sms:" + b64(text) + "\n");
    QCOMPARE(decodeText(QString::fromLatin1(wire.mid(5).trimmed())), text);

    // Unflushed lines wait in the buffer; an empty write neither writes nor flushes.
    sendCommand(pair.nearSide(), "$atta:", "image/png,a.png", false, 5000);
    writeAll(pair.nearSide(), "x", 0, true, 5000);
    QVERIFY(pair.nearSide()->bytesToWrite() > 0);
    writeString(pair.nearSide(), QString::fromUtf8("é\n"), true, 5000);
    QCOMPARE(pair.nearSide()->bytesToWrite(), 0);
    QCOMPARE(pair.receivedByFar(), QByteArray("$atta:image/png,a.png\n\xc3\xa9\n"));
}

void TestSimpleProtocol::appendedFieldsMatchEncodedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    // Every length modulo 3, so that each padding shows.
    QTest::newRow("one byte") << QStringLiteral("a");
    QTest::newRow("two bytes") << QStringLiteral("ab");
    QTest::newRow("three bytes") << QStringLiteral("abc");
    QTest::newRow("number") << QStringLiteral("+12025550101");
    QTest::newRow("accents") << QStringLiteral("Grüße, ça va?");
    QTest::newRow("emoji") << QStringLiteral("ok \U0001F600");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + QStringLiteral("x");
    QTest::newRow("long") << QString(5000, QChar(0x4E2D));
}

void TestSimpleProtocol::appendedFieldsMatchEncodedText()
{
    QFETCH(QString, text);
    // Appended after bytes already there, with a scratch buffer that holds
    // an earlier, longer field.
    QByteArray out("$sms:1,");
    QByteArray scratch(20000, 'z');
    appendEncodedText(out, text, scratch);
    QCOMPARE(out, "$sms:1," + encodeText(text).toLatin1());
    QCOMPARE(decodeText(QString::fromLatin1(out.mid(7))), QString::fromUtf8(text.toUtf8()));
}

void TestSimpleProtocol::peerClosingMidLineEndsTheWait()
{
    SocketPair pair;
    QVERIFY(pair.isValid());
    pair.sendFromFar("$hel");
    pair.farSide()->disconnectFromHost();
    QElapsedTimer timer;
    timer.start();
    QVERIFY(outcome([&] { return readLine(pair.nearSide(), -1); }).startsWith("transfer:"));
    QVERIFY2(timer.elapsed() < 3000, "the closed connection was not noticed");

    // readExact likewise, with bytes missing.
    SocketPair pair2;
    QVERIFY(pair2.isValid());
    pair2.sendFromFar("abc");
    pair2.farSide()->disconnectFromHost();
    char buffer[8];
    QVERIFY(outcome([&] {
                readExact(pair2.nearSide(), buffer, sizeof buffer, -1);
                return QString();
            }).startsWith("transfer:"));
}

void TestSimpleProtocol::silentPeerTimesOut()
{
    SocketPair pair;
    QVERIFY(pair.isValid());
    pair.sendFromFar("$rea");
    QElapsedTimer timer;
    timer.start();
    QVERIFY(outcome([&] { return readLine(pair.nearSide(), 300); }).startsWith("transfer:"));
    QVERIFY(timer.elapsed() >= 250);
    QVERIFY(timer.elapsed() < 5000);
}

void TestSimpleProtocol::overLongLineIsRejected()
{
    QCOMPARE(kMaxLineLength, qint64(64) * 1024 * 1024);
    SocketPair pair;
    QVERIFY(pair.isValid());
    pair.sendFromFar(QByteArray(20000, 'A') + "\n");
    QCOMPARE(outcome([&] { return readLine(pair.nearSide(), 5000, 10000); }),
             QStringLiteral("local:line longer than 10000 bytes."));
    QCOMPARE(pair.receivedByFar(), "$error:" + b64("line longer than 10000 bytes.") + "\n");

    // A line exactly at the limit passes, CRs not counted.
    SocketPair pair2;
    QVERIFY(pair2.isValid());
    pair2.sendFromFar(QByteArray(10000, 'B') + "\r\r\n");
    QCOMPARE(readLine(pair2.nearSide(), 5000, 10000).size(), 10000);
}

void TestSimpleProtocol::cancelCutsABlockedReadShort()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    SessionCanceller canceller;
    QString result;
    std::atomic<bool> attached {false};
    std::thread worker([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!socket.waitForConnected(5000)) {
            result = "no connection";
            return;
        }
        canceller.attach(&socket);
        attached = true;
        result = outcome([&] { return readLine(&socket, -1); });
        canceller.detach();
    });
    QVERIFY(server.waitForNewConnection(5000));
    std::unique_ptr<QTcpSocket> far(server.nextPendingConnection());
    QTRY_VERIFY(attached.load());
    QTest::qWait(100);
    QElapsedTimer timer;
    timer.start();
    canceller.cancel();
    worker.join();
    QVERIFY2(result.startsWith("transfer:"), qPrintable(result));
    QVERIFY(timer.elapsed() < 3000);
    QVERIFY(canceller.isCancelled());

    // A session opened after the cancel is cut at once.
    SocketPair pair;
    QVERIFY(pair.isValid());
    canceller.attach(pair.nearSide());
    QVERIFY(outcome([&] { return readLine(pair.nearSide(), 5000); }).startsWith("transfer:"));
    canceller.detach();
}

void TestSimpleProtocol::flushWaitsForASlowReader()
{
    // Far more than the connection buffers hold: the flush has to go on
    // writing while the peer takes the data, not stop at the first part.
    const QByteArray line = QByteArray(24 * 1024 * 1024, 'z');
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    qint64 received = -1;
    std::thread peer([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!socket.waitForConnected(5000))
            return;
        QThread::msleep(300);
        qint64 n = 0;
        QByteArray tail;
        while (!tail.endsWith('\n') && socket.waitForReadyRead(5000)) {
            tail = socket.readAll();
            n += tail.size();
        }
        received = n;
        socket.write("done\n");
        socket.waitForBytesWritten(5000);
        socket.waitForDisconnected(5000);
    });
    QVERIFY(server.waitForNewConnection(5000));
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    // Once a flushed write returns, every byte has been handed to the connection.
    const QString result = outcome([&] {
        writeAll(socket.get(), line.constData(), line.size(), false, 10000);
        sendCommand(socket.get(), "", "", true, 10000);
        return QString::number(socket->bytesToWrite());
    });
    const QString reply = outcome([&] { return readLine(socket.get(), 10000); });
    socket->disconnectFromHost();
    peer.join();
    QCOMPARE(result, QStringLiteral("ok:0"));
    QCOMPARE(reply, QStringLiteral("ok:done"));
    QCOMPARE(received, line.size() + 1);
}

void TestSimpleProtocol::writeToAPeerThatNeverReadsFails()
{
    SocketPair pair;
    QVERIFY(pair.isValid());
    const QByteArray data(64 * 1024 * 1024, 'x');
    QElapsedTimer timer;
    timer.start();
    const QString result = outcome([&] {
        writeAll(pair.nearSide(), data.constData(), data.size(), true, 500);
        return QString();
    });
    QVERIFY2(result.startsWith("transfer:"), qPrintable(result));
    QVERIFY(timer.elapsed() < 10000);
}

void TestSimpleProtocol::sessionPorts_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<int>("counter");
    QTest::addColumn<int>("port");
    QTest::newRow("12:07:45, 3") << QTime(12, 7, 45) << 3 << 44503;
    QTest::newRow("midnight, 1") << QTime(0, 0, 0) << 1 << 10001;
    QTest::newRow("minute 4 starts again") << QTime(9, 4, 0) << 50 << 10050;
    QTest::newRow("highest") << QTime(23, 59, 59) << 99 << 45999;
}

void TestSimpleProtocol::sessionPorts()
{
    QFETCH(QTime, time);
    QFETCH(int, counter);
    QFETCH(int, port);
    QCOMPARE(sessionPort(time, counter), port);
}

void TestSimpleProtocol::sessionPortCounterWraps()
{
    // The counter is the port's last two digits: 1 to 99, then 1 again.
    int previous = nextSessionPort() % 100;
    QVERIFY(previous >= 1 && previous <= 99);
    int wraps = 0;
    for (int i = 0; i < 250; ++i) {
        const int port = nextSessionPort();
        QVERIFY(port >= 10001 && port <= 45999);
        const int counter = port % 100;
        QCOMPARE(counter, previous == 99 ? 1 : previous + 1);
        wraps += counter == 1;
        previous = counter;
    }
    QVERIFY(wraps >= 2);
}

QTEST_GUILESS_MAIN(TestSimpleProtocol)
#include "tst_simpleprotocol.moc"
