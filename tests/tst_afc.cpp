// The AFC file client and house_arrest container access against the
// simulated phones of the Apple stand-ins: file round trips (large, empty,
// missing), the chunking of reads and writes on the wire, app containers
// and refused apps, and a phone that lies, fails or falls silent.

#include "iphone/afc.h"
#include "iphone/housearrest.h"
#include "iphone/mobiledevice.h"
#include "tests/support/iphonesim.h"
#include "tests/support/testenv.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace {

const QString kUdid = QStringLiteral("AFC1");

bool scenario(const QJsonObject &extra)
{
    QJsonObject d {{"udid", kUdid}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        d.insert(it.key(), it.value());
    return iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {d}}});
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32 *>(b.data()), size / 4);
    for (qsizetype i = size / 4 * 4; i < size; ++i)
        b[i] = char(gen.bounded(256));
    return b;
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

// The AFC requests the phone saw, as "afc <operation> ...".
QStringList afcRequests(const QString &prefix = QStringLiteral("afc "))
{
    QStringList seen;
    for (const QJsonValue &r : iphonesim::report(kUdid).value("requests").toArray())
        if (r.toString().startsWith(prefix))
            seen.append(r.toString());
    return seen;
}

// The format of each property list the phone received: "binary" or "xml".
QStringList formats()
{
    QStringList all;
    for (const QJsonValue &f : iphonesim::report(kUdid).value("formats").toArray())
        all.append(f.toString());
    return all;
}

// A fault whose answer is the payload given, of the operation given.
QJsonObject answerFault(int op, const QString &path, int answerOp, const QByteArray &payload)
{
    QJsonObject f {{"op", op},
                   {"kind", "answer"},
                   {"answerOp", answerOp},
                   {"payload", QString::fromLatin1(payload.toBase64())}};
    if (!path.isEmpty())
        f.insert("path", path);
    return f;
}

QByteArray zeroEnded(const QStringList &strings)
{
    QByteArray b;
    for (const QString &s : strings)
        b += s.toUtf8() + '\0';
    return b;
}

int openServices()
{
    return iphonesim::report(kUdid).value("openServices").toInt(-1);
}

QByteArray readAll(AfcConnection &afc, const QString &path, int bufferSize)
{
    AfcFile file;
    if (!afc.openForReading(path, file))
        return "<not opened: " + afc.lastError().toUtf8() + ">";
    QByteArray all;
    QByteArray buffer(bufferSize, Qt::Uninitialized);
    for (;;) {
        const int n = file.read(buffer.data(), bufferSize);
        if (n < 0)
            return "<read failed: " + file.lastError().toUtf8() + ">";
        all.append(buffer.constData(), n);
        if (n < bufferSize)
            return all;
    }
}

bool writeAll(AfcConnection &afc, const QString &path, const QByteArray &bytes)
{
    AfcFile file;
    return afc.openForWriting(path, file)
            && file.write(bytes.constData(), int(bytes.size())) == bytes.size();
}

QStringList namesOf(const QList<AfcFileInfo> &entries)
{
    QStringList names;
    for (const AfcFileInfo &e : entries)
        names.append(e.name + (e.isDir() ? "/" : ""));
    return names;
}

} // namespace

class TestAfc : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void packetsOnTheWire();
    void payloadStrings_data();
    void payloadStrings();
    void fileRoundTrips();
    void largeAndEmptyFiles();
    void missingPaths();
    void appContainers();
    void refusedApps_data();
    void refusedApps();
    void faults_data();
    void faults();
    void stringCounts_data();
    void stringCounts();
    void outOfStep_data();
    void outOfStep();
    void listingNames_data();
    void listingNames();
    void filesOfAClosedConnection();

private:
    TestEnv m_env;
    long m_baseline = 0;
};

void TestAfc::initTestCase()
{
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    m_baseline = iphonesim::liveObjects();
}

void TestAfc::init()
{
    mobiledevice::setServiceTimeoutMs(20000);
    mobiledevice::setLengthTimeoutMs(20000);
}

void TestAfc::cleanup()
{
    // Every socket the test opened was closed again: no far end still serves.
    QTRY_VERIFY(openServices() <= 0);
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}});
}

void TestAfc::cleanupTestCase()
{
    QTRY_COMPARE(iphonesim::liveObjects(), m_baseline);
    iphonesim::shutdown();
}

void TestAfc::packetsOnTheWire()
{
    // Handle 0 numbers its packets 4294967295; others by the handle.
    AfcHeader zero(0, afc::OpReadDirectory);
    zero.entireLength = zero.thisLength = 43;
    const QByteArray bytes = zero.toBytes();
    QCOMPARE(bytes.size(), 40);
    QCOMPARE(bytes.left(8), QByteArray("CFA6LPAA"));
    QCOMPARE(bytes.mid(8, 8), QByteArray::fromHex("2b00000000000000"));
    QCOMPARE(bytes.mid(24, 8), QByteArray::fromHex("ffffffff00000000"));
    QCOMPARE(bytes.mid(32, 8), QByteArray::fromHex("0300000000000000"));
    QCOMPARE(AfcHeader(7, 15).packetNumber, quint64(7));

    const AfcHeader back = AfcHeader::fromBytes(bytes.constData());
    QCOMPARE(back.entireLength, quint64(43));
    QCOMPARE(back.operation, quint64(afc::OpReadDirectory));
}

void TestAfc::payloadStrings_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("strings");
    QTest::addColumn<QString>("pairs"); // key=value;...

    QTest::newRow("trailing fragment ignored")
            << QByteArray("a\0b\0tail", 8) << QStringList {"a", "b"} << "a=b";
    QTest::newRow("empty") << QByteArray() << QStringList() << "";
    QTest::newRow("empty strings kept")
            << QByteArray("\0\0", 2) << QStringList {"", ""} << "=";
    QTest::newRow("key without value dropped")
            << QByteArray("st_size\0" "12\0" "st_ifmt\0", 19)
            << QStringList {"st_size", "12", "st_ifmt"} << "st_size=12";
    QTest::newRow("utf-8") << QByteArray("Zo\xc3\xab\0", 5) << QStringList {QString::fromUtf8("Zoë")}
                           << "";
}

void TestAfc::payloadStrings()
{
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, strings);
    QFETCH(QString, pairs);
    QCOMPARE(afc::splitStrings(payload), strings);
    QStringList got;
    const QMap<QString, QString> map = afc::pairsOf(payload);
    for (auto it = map.begin(); it != map.end(); ++it)
        got.append(it.key() + "=" + it.value());
    QCOMPARE(got.join(";"), pairs);
}

void TestAfc::fileRoundTrips()
{
    QVERIFY(scenario({{"afc", QJsonObject {{"files", QJsonObject {{"/DCIM/a.txt", "hello"}}},
                                          {"dirs", QJsonArray {"/Books"}}}}}));
    AfcConnection afc(iphonesim::device(kUdid));
    afc.connect();
    QVERIFY(afc.isConnected());
    QCOMPARE(iphonesim::report(kUdid).value("services").toArray(),
             QJsonArray {"com.apple.afc"});

    QCOMPARE(namesOf(afc.listDirectory("/")), (QStringList {"/Books/", "/DCIM/"}));
    QCOMPARE(namesOf(afc.listDirectory("/DCIM/")), QStringList {"/DCIM/a.txt"});
    QCOMPARE(readAll(afc, "/DCIM/a.txt", 4096), QByteArray("hello"));

    QVERIFY2(afc.makeDirectory("/New/Sub"), qPrintable(afc.lastError()));
    const QByteArray data = randomBytes(70000, 1);
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    QVERIFY(writeAll(afc, "/New/Sub/f.bin", data));
    // Writes go in chunks of 32768 bytes, each answered.
    QCOMPARE(afcRequests("afc 16"), (QStringList {"afc 16 32768", "afc 16 32768", "afc 16 4464"}));

    const AfcFileInfo info = AfcFileInfo::fromPath(afc, "/New/Sub/f.bin");
    QVERIFY(info.isFile());
    QVERIFY(!info.isDir());
    QCOMPARE(info.name, QString("/New/Sub/f.bin"));
    QCOMPARE(info.size, qint64(70000));
    QVERIFY(info.modified >= before && info.modified <= QDateTime::currentDateTimeUtc());
    QVERIFY(AfcFileInfo::fromPath(afc, "/New").isDir());

    QCOMPARE(readAll(afc, "/New/Sub/f.bin", 1 << 20), data);

    // Rename moves a folder with what it holds.
    QVERIFY2(afc.renamePath("/New", "/Moved"), qPrintable(afc.lastError()));
    QVERIFY(!AfcFileInfo::fromPath(afc, "/New/Sub/f.bin").isValid());
    QCOMPARE(readAll(afc, "/Moved/Sub/f.bin", 1 << 20), data);

    // A folder that is not empty stays; empty ones and files go.
    QVERIFY(!afc.removePath("/Moved/Sub"));
    QVERIFY(afc.removePath("/Moved/Sub/f.bin"));
    QVERIFY(afc.removePath("/Moved/Sub"));
    QCOMPARE(namesOf(afc.listDirectory("/Moved")), QStringList());

    // Locking answers with the phone's status.
    AfcFile file;
    QVERIFY(afc.openForReading("/DCIM/a.txt", file));
    QCOMPARE(mobiledevice_afc_file_lock(afc.socket(), file.handle(), 2), quint32(0));
    QCOMPARE(mobiledevice_afc_file_lock(afc.socket(), 999, 2), quint32(7));
    file.close();
    QVERIFY(!file.isOpen());

    afc.close();
    QVERIFY(!afc.isConnected());
    QVERIFY(!afc.makeDirectory("/x"));
}

void TestAfc::largeAndEmptyFiles()
{
    QVERIFY(scenario({}));
    AfcConnection afc(iphonesim::device(kUdid));
    afc.connect();

    const QByteArray big = randomBytes(10 << 20, 2);
    QVERIFY(writeAll(afc, "/big.bin", big));
    QCOMPARE(afcRequests("afc 16").size(), (10 << 20) / 32768);
    QCOMPARE(AfcFileInfo::fromPath(afc, "/big.bin").size, qint64(10 << 20));

    // Reading 100000 bytes asks for 65536, then 34464.
    AfcFile file;
    QVERIFY(afc.openForReading("/big.bin", file));
    QByteArray part(100000, Qt::Uninitialized);
    QCOMPARE(file.read(part.data(), 100000), 100000);
    QCOMPARE(part, big.left(100000));
    QCOMPARE(afcRequests("afc 15"), (QStringList {"afc 15 65536", "afc 15 34464"}));
    file.close();

    QCOMPARE(readAll(afc, "/big.bin", 3 << 20), big);

    // An empty file: nothing is sent for a write of 0 bytes, and reading
    // gives 0 bytes.
    const int writesBefore = afcRequests("afc 16").size();
    QVERIFY(afc.openForWriting("/empty", file));
    QCOMPARE(file.write("", 0), 0);
    file.close();
    QCOMPARE(afcRequests("afc 16").size(), writesBefore);
    const AfcFileInfo info = AfcFileInfo::fromPath(afc, "/empty");
    QVERIFY(info.isFile());
    QCOMPARE(info.size, qint64(0));
    QCOMPARE(readAll(afc, "/empty", 4096), QByteArray());

    // Writing over a file empties it first.
    QVERIFY(writeAll(afc, "/big.bin", "short"));
    QCOMPARE(readAll(afc, "/big.bin", 4096), QByteArray("short"));
}

void TestAfc::missingPaths()
{
    QVERIFY(scenario({{"afc", QJsonObject {{"files", QJsonObject {{"/a.txt", "x"}}}}}}));
    AfcConnection afc(iphonesim::device(kUdid));
    afc.connect();
    AfcFile file;
    QVERIFY(!afc.openForReading("/nope.txt", file));
    QVERIFY(!file.isOpen());
    QCOMPARE(afc.lastError(), QString("read AFC failed, received AFC_OP_STATUS, param1=8."));
    QVERIFY(!afc.openForWriting("/no/folder/f.txt", file));
    QVERIFY(!afc.removePath("/nope.txt"));
    QVERIFY(!afc.renamePath("/nope.txt", "/b.txt"));
    QVERIFY(afc.listDirectory("/nope").isEmpty());
    QVERIFY(!AfcFileInfo::fromPath(afc, "/nope.txt").isValid());
    QCOMPARE(thrown([&] { mobiledevice_afc_read_directory(afc.socket(), "/nope"); }),
             QString("read AFC failed, received AFC_OP_STATUS, param1=8."));
    // A path with a zero character inside never reaches the phone.
    const int before = afcRequests().size();
    QVERIFY(!afc.removePath(QString("/a.txt") + QChar(0) + "x"));
    QVERIFY(afc.lastError().contains("zero character"));
    QCOMPARE(afcRequests().size(), before);
    QCOMPARE(readAll(afc, "/a.txt", 16), QByteArray("x"));
}

void TestAfc::appContainers()
{
    const QJsonObject notes {{"files", QJsonObject {{"/Documents/n.txt", "note"}}},
                             {"dirs", QJsonArray {"/Library/Caches"}}};
    QVERIFY(scenario({{"afc", QJsonObject {{"files", QJsonObject {{"/media.txt", "m"}}}}},
                      {"houseArrest", QJsonObject {{"apps", QJsonObject {{"com.example.notes",
                                                                          notes}}}}}}));
    {
        AfcConnection app(iphonesim::device(kUdid));
        app.connect("com.example.notes");
        QCOMPARE(iphonesim::report(kUdid).value("services").toArray(),
                 QJsonArray {"com.apple.mobile.house_arrest"});
        const QString request = iphonesim::report(kUdid).value("requests").toArray().at(0).toString();
        QVERIFY2(request.contains("<key>Command</key>") && request.contains("VendContainer")
                         && request.contains("<string>com.example.notes</string>"),
                 qPrintable(request));
        // The request goes out as XML.
        QCOMPARE(formats(), QStringList {"xml"});

        QCOMPARE(namesOf(app.listDirectory("/")), (QStringList {"/Documents/", "/Library/"}));
        QCOMPARE(readAll(app, "/Documents/n.txt", 64), QByteArray("note"));
        QVERIFY(writeAll(app, "/Documents/new.txt", "written"));
        // A path that climbs stays inside the container.
        QCOMPARE(readAll(app, "/../../Documents/new.txt", 64), QByteArray("written"));
        QVERIFY(!AfcFileInfo::fromPath(app, "/media.txt").isValid());
    }
    {
        // An empty identifier is the phone's media area; no container is asked for.
        AfcConnection media(iphonesim::device(kUdid));
        media.connect(QString());
        QCOMPARE(readAll(media, "/media.txt", 64), QByteArray("m"));
        QVERIFY(!AfcFileInfo::fromPath(media, "/Documents/new.txt").isValid());
        QCOMPARE(iphonesim::report(kUdid).value("services").toArray().last().toString(),
                 QString("com.apple.afc"));
    }
    {
        // The container keeps what was written; "VendDocuments" opens its
        // Documents folder.
        int socket = 0;
        mobiledevice_start_service(iphonesim::device(kUdid), "com.apple.mobile.house_arrest",
                                   &socket);
        CFType request = CFType::newDictionary();
        request.setValue("Command", CFType::fromString("VendDocuments"));
        request.setValue("Identifier", CFType::fromString("com.example.notes"));
        mobiledevice_sendmsg(socket, request, false, 5000);
        const CFType answer = mobiledevice_recmsg(socket, request, 5000);
        QCOMPARE(answer.value("Status").toQString(), QString("Complete"));
        QCOMPARE(mobiledevice_afc_read_directory(socket, "/"),
                 (QStringList {".", "..", "n.txt", "new.txt"}));
        mobiledevice_close_socket(socket);
    }
}

void TestAfc::refusedApps_data()
{
    QTest::addColumn<QString>("vendFault");
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("error");

    QTest::newRow("not installed") << "" << "com.example.missing"
                                   << "can not find com.example.missing.";
    QTest::newRow("answer not a property list")
            << "garbage" << "com.example.notes" << "can not find com.example.notes.";
    QTest::newRow("phone closes")
            << "close" << "com.example.notes"
            << "mobiledevice_recmsg(msg-length) error, received length: 0.";
    QTest::newRow("phone silent")
            << "stall" << "com.example.notes"
            << "mobiledevice_recmsg(msg-length) error, received length: 0.";
}

void TestAfc::refusedApps()
{
    QFETCH(QString, vendFault);
    QFETCH(QString, identifier);
    QFETCH(QString, error);
    mobiledevice::setLengthTimeoutMs(300);
    QJsonObject houseArrest {{"apps", QJsonObject {{"com.example.notes", QJsonObject()}}}};
    if (!vendFault.isEmpty())
        houseArrest.insert("vendFault", vendFault);
    QVERIFY(scenario({{"houseArrest", houseArrest}}));
    AfcConnection afc(iphonesim::device(kUdid));
    const QString text = thrown([&] { afc.connect(identifier); });
    QVERIFY2(text.startsWith(error), qPrintable(text));
    // The socket of the refused request is closed at once.
    QVERIFY(!afc.isConnected());
    QTRY_COMPARE(openServices(), 0);
}

void TestAfc::faults_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("op"); // the request that meets the fault
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("waits"); // the error comes only after the time limit

    QTest::newRow("short header") << "shortHeader" << 10 << "read AFC header failed." << false;
    QTest::newRow("wrong magic")
            << "badMagic" << 10
            << "read AFC header failed: the answer does not start with the AFC magic." << false;
    QTest::newRow("length beyond what follows")
            << "lengthBeyond" << 10 << "read AFC file block data failed." << true;
    QTest::newRow("length above the cap")
            << "overCap" << 10
            << "read AFC header failed: the answer announces 1099511627776 bytes, more than the "
               "67108864 accepted."
            << false;
    QTest::newRow("this length beyond entire")
            << "lengthsCrossed" << 10
            << "read AFC header failed: the lengths 48 and 64 do not fit together." << false;
    QTest::newRow("status not 0")
            << "status" << 8 << "read AFC failed, received AFC_OP_STATUS, param1=1." << false;
    QTest::newRow("status too short")
            << "shortStatus" << 8 << "read AFC failed, received AFC_OP_STATUS of 4 bytes." << false;
    QTest::newRow("closed mid-answer")
            << "closeMidAnswer" << 10 << "read AFC file block data failed." << false;
    QTest::newRow("closed") << "close" << 10 << "read AFC header failed." << false;
    QTest::newRow("silent") << "stall" << 10 << "read AFC header failed." << true;
    QTest::newRow("read answer too long")
            << "tooMuchData" << 15 << "read AFC file failed: 20016 bytes received for 20000 asked."
            << false;
    QTest::newRow("unknown answer")
            << "unknownOp" << 10 << "read AFC failed, Unknown operation code received 99, param1=5."
            << false;
    QTest::newRow("short write") << "stopReading" << 16 << "write AFC file error." << true;
}

void TestAfc::faults()
{
    QFETCH(QString, kind);
    QFETCH(int, op);
    QFETCH(QString, error);
    QFETCH(bool, waits);
    const int limit = 600;
    mobiledevice::setServiceTimeoutMs(limit);
    const QJsonObject files {{"/f.bin", QJsonObject {{"$fill", 300000}}}};
    const QJsonArray faults {QJsonObject {{"op", op}, {"kind", kind}}};
    QVERIFY(scenario({{"afc", QJsonObject {{"files", files}, {"faults", faults}}}}));
    AfcConnection conn(iphonesim::device(kUdid));
    conn.connect();
    const int socket = conn.socket();
    quint64 handle = 0;
    if (op == afc::OpFileRead || op == afc::OpFileWrite)
        handle = mobiledevice_afc_file_open(socket, "/f.bin", op == afc::OpFileRead ? 1 : 3);
    const QByteArray data = randomBytes(200000, 3);
    QByteArray buffer(20000, Qt::Uninitialized);

    QElapsedTimer timer;
    timer.start();
    const QString text = thrown([&] {
        switch (op) {
        case afc::OpGetFileInfo:
            mobiledevice_afc_get_file_info(socket, "/f.bin");
            break;
        case afc::OpRemovePath:
            mobiledevice_afc_remove_path(socket, "/f.bin");
            break;
        case afc::OpFileRead:
            mobiledevice_afc_file_read(socket, handle, buffer.data(), int(buffer.size()));
            break;
        case afc::OpFileWrite:
            mobiledevice_afc_file_write(socket, handle, data.constData(), int(data.size()));
            break;
        }
    });
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(text, error);
    if (waits)
        QVERIFY2(elapsed >= limit - 50, qPrintable(QString::number(elapsed)));
    else
        QVERIFY2(elapsed < limit, qPrintable(QString::number(elapsed)));
    conn.close();
}

void TestAfc::stringCounts_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error"); // empty: read
    QTest::addColumn<int>("strings"); // read

    const auto names = [](qsizetype n) {
        QByteArray b;
        b.reserve(2 * n);
        for (qsizetype i = 0; i < n; ++i)
            b.append("a\0", 2);
        return b;
    };
    const QString dirError = "read AFC directory failed: the answer holds %1 strings, more than "
                             "the 1000000 accepted.";
    QTest::newRow("listing") << int(afc::OpReadDirectory) << names(1000) << "" << 1000;
    QTest::newRow("listing at the limit")
            << int(afc::OpReadDirectory) << names(afc::kMaxDirectoryNames) << ""
            << int(afc::kMaxDirectoryNames);
    QTest::newRow("listing beyond the limit")
            << int(afc::OpReadDirectory) << names(afc::kMaxDirectoryNames + 1)
            << dirError.arg(afc::kMaxDirectoryNames + 1) << 0;
    // Empty names cost a string each for one byte: 64 MiB of them would
    // take gigabytes.
    QTest::newRow("listing of empty names")
            << int(afc::OpReadDirectory) << QByteArray(8 << 20, '\0') << dirError.arg(8 << 20)
            << 0;
    QTest::newRow("file info") << int(afc::OpGetFileInfo)
                               << QByteArray("st_size\0" "5\0st_ifmt\0S_IFREG\0", 26) << "" << 2;
    QTest::newRow("file info beyond the limit")
            << int(afc::OpGetFileInfo) << names(afc::kMaxInfoStrings + 2)
            << "read AFC file info failed: the answer holds 4098 strings, more than the 4096 "
               "accepted."
            << 0;
}

void TestAfc::stringCounts()
{
    QFETCH(int, op);
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    QFETCH(int, strings);
    // A peer on the other end of a socket pair: it answers with the
    // payload whatever it is asked.
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    AfcHeader header(fds[1], afc::OpData);
    header.thisLength = afc::kHeaderSize;
    header.entireLength = afc::kHeaderSize + quint64(payload.size());
    const QByteArray answer = header.toBytes() + payload;
    std::thread peer([fd = fds[1], &answer] {
        for (qsizetype sent = 0; sent < answer.size();) {
            const ssize_t n = ::send(fd, answer.constData() + sent, size_t(answer.size() - sent),
                                     MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
    });
    qsizetype read = -1;
    const QString text = thrown([&] {
        if (op == afc::OpReadDirectory)
            read = mobiledevice_afc_read_directory(fds[0], "/").size();
        else
            read = mobiledevice_afc_get_file_info(fds[0], "/f").size();
    });
    ::close(fds[0]);
    peer.join();
    ::close(fds[1]);
    QCOMPARE(text, error);
    if (error.isEmpty())
        QCOMPARE(read, qsizetype(strings));
}

void TestAfc::outOfStep_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("call"); // info, read, remove or list
    QTest::addColumn<QString>("error"); // the failing call's text

    const QByteArray handle = QByteArray::fromHex("0100000000000000");
    QTest::newRow("late answer to file information")
            << QJsonObject {{"op", 10}, {"path", "/slow"}, {"kind", "late"}, {"value", 1500}}
            << "info"
            << "";
    QTest::newRow("late answer to a read")
            << QJsonObject {{"op", 15}, {"kind", "late"}, {"value", 1500}} << "read"
            << "read AFC header failed.";
    QTest::newRow("late listing") << QJsonObject {{"op", 3}, {"kind", "late"}, {"value", 1500}}
                                  << "list"
                                  << "read AFC header failed.";
    QTest::newRow("entry information cut short")
            << QJsonObject {{"op", 10}, {"path", "/d/a"}, {"kind", "closeMidAnswer"}} << "list"
            << "read AFC file block data failed.";
    QTest::newRow("short header") << QJsonObject {{"op", 8}, {"kind", "shortHeader"}} << "remove"
                                  << "read AFC header failed.";
    QTest::newRow("wrong magic")
            << QJsonObject {{"op", 8}, {"kind", "badMagic"}} << "remove"
            << "read AFC header failed: the answer does not start with the AFC magic.";
    QTest::newRow("unknown answer")
            << QJsonObject {{"op", 8}, {"kind", "unknownOp"}} << "remove"
            << "read AFC failed, Unknown operation code received 99, param1=5.";
    QTest::newRow("data answering a remove")
            << answerFault(8, "", 2, "") << "remove"
            << "read AFC failed, an answer of operation 2 to a request of operation 8.";
    QTest::newRow("read answered with an open result")
            << answerFault(15, "", 14, handle) << "read"
            << "read AFC file failed, an answer of operation 14 to a read.";
    QTest::newRow("read answered with a position result")
            << answerFault(15, "", 19, handle) << "read"
            << "read AFC file failed, an answer of operation 19 to a read.";
    QTest::newRow("read answered with a status 0 carrying data")
            << answerFault(15, "", 1, QByteArray(8, '\0') + "data") << "read"
            << "read AFC file failed, a status answer of 12 bytes to a read.";
}

void TestAfc::outOfStep()
{
    // After a time-out or an answer that breaks the framing, the socket may
    // be out of step: the connection is closed, and every later call fails
    // plainly instead of reading another request's answer.
    QFETCH(QJsonObject, fault);
    QFETCH(QString, call);
    QFETCH(QString, error);
    mobiledevice::setServiceTimeoutMs(600);
    const QJsonObject files {
            {"/slow", QJsonObject {{"$fill", 1000}}}, {"/other", "other"}, {"/d/a", "a"}};
    QVERIFY(scenario({{"afc", QJsonObject {{"files", files}, {"faults", QJsonArray {fault}}}}}));
    AfcConnection conn(iphonesim::device(kUdid));
    conn.connect();

    AfcFile file;
    char buffer[100];
    if (call == "info") {
        QVERIFY(!AfcFileInfo::fromPath(conn, "/slow").isValid());
    } else if (call == "read") {
        QVERIFY(conn.openForReading("/slow", file));
        QCOMPARE(file.read(buffer, 100), -1);
        QCOMPARE(file.lastError(), error);
        QVERIFY(!file.isOpen());
    } else if (call == "remove") {
        QVERIFY(!conn.removePath("/other"));
        QCOMPARE(conn.lastError(), error);
    } else {
        QCOMPARE(namesOf(conn.listDirectory("/d")), QStringList());
        QCOMPARE(conn.lastError(), error);
    }
    QVERIFY(!conn.isConnected());
    // Nothing more is asked of the phone, and its end of the socket closes.
    const int asked = afcRequests().size();
    const AfcFileInfo other = AfcFileInfo::fromPath(conn, "/other");
    QVERIFY2(!other.isValid(), qPrintable(QString::number(other.size)));
    QVERIFY(!conn.makeDirectory("/new"));
    QCOMPARE(conn.lastError(), QString("The AFC connection is not open."));
    QCOMPARE(file.read(buffer, 100), -1);
    QCOMPARE(afcRequests().size(), asked);
    QTRY_COMPARE(openServices(), 0);
}

void TestAfc::listingNames_data()
{
    QTest::addColumn<QJsonArray>("faults");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("logged"); // the names or sizes in the log's warnings

    const auto names = [](const QStringList &n) {
        return answerFault(3, "/d", 2, zeroEnded(QStringList {".", ".."} + n));
    };
    const auto info = [](const QString &size) {
        return answerFault(10, "/d/a.txt", 2, zeroEnded({"st_size", size, "st_ifmt", "S_IFREG"}));
    };
    const QStringList all {"/d/a.txt", "/d/b.txt", "/d/sub/"};
    const QStringList partOf {"/d/b.txt", "/d/sub/"};
    QTest::newRow("as the phone lists them") << QJsonArray() << all << QStringList();
    QTest::newRow("one entry unreadable") << QJsonArray {QJsonObject {
            {"op", 10}, {"path", "/d/a.txt"}, {"kind", "status"}, {"value", 8}}}
                                          << partOf << QStringList();
    QTest::newRow("empty name") << QJsonArray {names({"", "a.txt"})} << QStringList {"/d/a.txt"}
                                << QStringList {"\"\""};
    QTest::newRow("climbing names")
            << QJsonArray {names({"..", "../x", "../../x", "a.txt", "."})}
            << QStringList {"/d/a.txt"} << QStringList {"\"../x\"", "\"../../x\""};
    QTest::newRow("name holding a slash")
            << QJsonArray {names({"sub/y", "/x", "b.txt"})} << QStringList {"/d/b.txt"}
            << QStringList {"\"sub/y\"", "\"/x\""};
    QTest::newRow("negative size") << QJsonArray {info("-5")} << partOf << QStringList {"\"-5\""};
    QTest::newRow("absurd size") << QJsonArray {info("1152921504606846976")} << partOf
                                 << QStringList {"\"1152921504606846976\""};
    QTest::newRow("size that is no number")
            << QJsonArray {info("12kB")} << partOf << QStringList {"\"12kB\""};
    QTest::newRow("largest size believed")
            << QJsonArray {info("281474976710656")} << all << QStringList();
    // The first ten names left out are logged one by one, the rest counted.
    QStringList many;
    QStringList firstTen;
    for (int i = 0; i < 30; ++i) {
        many.append("../" + QString::number(i));
        if (i < 10)
            firstTen.append("\"../" + QString::number(i) + "\"");
    }
    QTest::newRow("many names left out")
            << QJsonArray {names(many + QStringList {"a.txt"})} << QStringList {"/d/a.txt"}
            << firstTen + QStringList {"30 names in all"};
}

void TestAfc::listingNames()
{
    // Names that are no entry of the folder, and entries the phone cannot
    // describe, are left out; the rest of the listing stands.
    QFETCH(QJsonArray, faults);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, logged);
    // Each is logged once (the test fails on a warning that does not come).
    for (const QString &l : logged)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^AFC (listing|file information) of /d.*"
                                                + QRegularExpression::escape(l)));
    const QJsonObject files {{"/x", "x"}, {"/d/a.txt", "a"}, {"/d/b.txt", "b"}, {"/d/sub/y", "y"}};
    QVERIFY(scenario({{"afc", QJsonObject {{"files", files}, {"faults", faults}}}}));
    AfcConnection conn(iphonesim::device(kUdid));
    conn.connect();
    QCOMPARE(namesOf(conn.listDirectory("/d")), entries);
    // These are answers of the phone, not broken framing: the connection
    // goes on.
    QVERIFY(conn.isConnected());
    QCOMPARE(readAll(conn, "/d/b.txt", 16), QByteArray("b"));
}

void TestAfc::filesOfAClosedConnection()
{
    QVERIFY(scenario(
            {{"afc",
              QJsonObject {{"files", QJsonObject {{"/a.txt", "aaaa"}, {"/b.txt", "bbbb"}}}}}}));
    char buffer[16];
    // A file never opened sends nothing anywhere.
    AfcFile never;
    QCOMPARE(never.read(buffer, 16), -1);
    QCOMPARE(never.lastError(), QString("The AFC file is not open."));
    QCOMPARE(never.write("x", 1), -1);

    // A file of a closed connection sends nothing, even when a new
    // connection has its socket's number and a file of the same handle.
    AfcConnection first(iphonesim::device(kUdid));
    first.connect();
    AfcFile stale;
    QVERIFY(first.openForReading("/a.txt", stale));
    first.close();
    QVERIFY(!stale.isOpen());
    AfcConnection second(iphonesim::device(kUdid));
    second.connect();
    AfcFile current;
    QVERIFY(second.openForReading("/b.txt", current));
    QCOMPARE(current.handle(), stale.handle());
    QCOMPARE(stale.read(buffer, 16), -1);
    QCOMPARE(stale.lastError(), QString("The AFC connection of the file is closed."));
    QCOMPARE(stale.write("x", 1), -1);
    stale.close();
    QCOMPARE(current.read(buffer, 16), 4);
    QCOMPARE(QByteArray(buffer, 4), QByteArray("bbbb"));
    QCOMPARE(afcRequests("afc 20"), QStringList());

    // A file that outlives its connection object.
    AfcFile outliving;
    {
        AfcConnection third(iphonesim::device(kUdid));
        third.connect();
        QVERIFY(third.openForReading("/a.txt", outliving));
    }
    QCOMPARE(outliving.read(buffer, 16), -1);
    QCOMPARE(outliving.lastError(), QString("The AFC connection of the file is closed."));
    outliving.close();
    QCOMPARE(afcRequests("afc 20"), QStringList());
}

QTEST_MAIN(TestAfc)
#include "tst_afc.moc"
