#include "backup/backupcrypto.h"
#include "backup/backupextract.h"
#include "backup/backupmanifest.h"
#include "backup/keybag.h"
#include "tests/support/encryptedbackup.h"
#include "tests/support/fakebackup.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <functional>

using namespace encbackup;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray be32(quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    return QByteArray(b, 4);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Runs f and gives the text of the std::runtime_error it throws, or a null
// text when it throws nothing.
QString errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

struct Progress
{
    QList<qint64> done;
    qint64 total = -1;
    int tag = 0;
    static void report(qint64 total, qint64 done, void *user)
    {
        auto *p = static_cast<Progress *>(user);
        p->total = total;
        p->done.append(done);
    }
};

constexpr quint32 kIterations = 16;

} // namespace

class TestBackupCrypto : public QObject
{
    Q_OBJECT

    QTranslator m_tr;

private slots:
    void initTestCase()
    {
        QVERIFY(m_tr.load(":/en.qm"));
        QCoreApplication::installTranslator(&m_tr);
    }

    // RFC 3394 section 4, the examples with a 256-bit key-encryption key.
    void keyUnwrapVectors_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("wrapped");
        QTest::newRow("4.3 128-bit key")
                << hex("00112233445566778899AABBCCDDEEFF")
                << hex("64E8C3F9CE0F5BA2 63E9777905818A2A 93C8191E7D6E8AE7");
        QTest::newRow("4.5 192-bit key")
                << hex("00112233445566778899AABBCCDDEEFF0001020304050607")
                << hex("A8F9BC1612C68B3F F6E6F4FBE30E71E4 769C8B80A32CB895 8CD5D17D6B254DA1");
        QTest::newRow("4.6 256-bit key")
                << hex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F")
                << hex("28C9F404C4B810F4 CBCCB35CFB87F826 3F5786E2D80ED326 CBC7F0E71A99F43B "
                       "FB988B9B7A02DD21");
    }
    void keyUnwrapVectors()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, wrapped);
        const QByteArray kek
                = hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
        QCOMPARE(aesKeyUnwrap(kek, wrapped), key);
        // The fixtures' independent wrap agrees with the published value.
        QCOMPARE(aesKeyWrap(kek, key), wrapped);
        // Bytes past the last whole block are ignored.
        QCOMPARE(aesKeyUnwrap(kek, wrapped + "xyz"), key);

        // Any changed bit, or another key, fails the integrity check.
        for (qsizetype i = 0; i < wrapped.size(); i += 7) {
            QByteArray bad = wrapped;
            bad[i] = char(bad[i] ^ 0x10);
            QVERIFY2(aesKeyUnwrap(kek, bad).isEmpty(), qPrintable(QString::number(i)));
        }
        QByteArray otherKek = kek;
        otherKek[31] = char(otherKek[31] ^ 1);
        QVERIFY(aesKeyUnwrap(otherKek, wrapped).isEmpty());
        // Too short to hold a key, or a key-encryption key of the wrong size.
        QVERIFY(aesKeyUnwrap(kek, wrapped.left(15)).isEmpty());
        QVERIFY(aesKeyUnwrap(kek.left(16), wrapped).isEmpty());
        QVERIFY(aesKeyUnwrap(kek.left(31), wrapped).isEmpty());
    }

    // RFC 6070 test vectors, and 32-byte keys as the keybag derives them.
    void pbkdf2Vectors_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("c=1") << QByteArray("password") << QByteArray("salt") << 1
                             << hex("0c60c80f961f0e71f3a9b524af6012062fe037a6");
        QTest::newRow("c=2") << QByteArray("password") << QByteArray("salt") << 2
                             << hex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
        QTest::newRow("c=4096") << QByteArray("password") << QByteArray("salt") << 4096
                                << hex("4b007901b765489abead49d926f721d065a429c1");
        QTest::newRow("dkLen=25") << QByteArray("passwordPASSWORDpassword")
                                  << QByteArray("saltSALTsaltSALTsaltSALTsaltSALTsalt") << 4096
                                  << hex("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
        QTest::newRow("embedded NUL") << QByteArray("pass\0word", 9) << QByteArray("sa\0lt", 5)
                                      << 4096 << hex("56fa6aa75548099dcc37d7f03425e0c3");
    }
    void pbkdf2Vectors()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(int, iterations);
        QFETCH(QByteArray, expected);
        QCOMPARE(pbkdf2HmacSha1(password, salt, quint32(iterations), int(expected.size())),
                 expected);
        QCOMPARE(pbkdf2HmacSha1(password, salt, quint32(iterations), 32),
                 pbkdf2Sha1(password, salt, iterations, 32));
    }

    void cbcDecryptMatchesOpenSsl()
    {
        const QByteArray key = pseudoRandom(32, 3);
        const QByteArray plain = pseudoRandom(1000, 4);
        const QByteArray cipher = aes256CbcEncrypt(key, plain);
        QCOMPARE(cipher.size(), 1008);

        Aes256Decryptor aes;
        QVERIFY(aes256SetDecryptKey(aes, key));
        unsigned char iv[16] = {};
        // Chained over two calls, as the extraction does chunk by chunk.
        QByteArray out = aesCbcDecrypt(aes, iv, cipher.left(512));
        out += aesCbcDecrypt(aes, iv, cipher.mid(512));
        QCOMPARE(out.left(1000), plain);
        QCOMPARE(out.mid(1000), QByteArray(8, '\x08'));

        QVERIFY(aesCbcDecrypt(aes, iv, cipher.left(17)).isEmpty());
        QVERIFY(!aes256SetDecryptKey(aes, key.left(31)));
    }

    // A keybag laid out as a phone writes it.
    void parsePhoneLayout()
    {
        const KeybagFixture f
                = makeKeybag("secret", kIterations, {{1, 3, 0}, {2, 2, 1}, {3, 1, 0}, {11, 2, 0}});
        const Keybag bag = Keybag::parse(f.bytes);

        QCOMPARE(bag.attributes.keys(), QStringList({"ITER", "SALT", "UUID", "WRAP"}));
        QCOMPARE(bag.attributes.value("UUID"), pseudoRandom(16, 1));
        QCOMPARE(keybagUInt32(bag.attributes, "WRAP"), 1u);
        QCOMPARE(bag.attributes.value("SALT"), f.salt);
        QCOMPARE(keybagUInt32(bag.attributes, "ITER"), kIterations);

        QCOMPARE(bag.classes.keys(), QList<qint32>({1, 2, 3, 11}));
        for (qint32 n : {1, 2, 3, 11}) {
            const KeybagTags &c = bag.classes.value(n);
            QCOMPARE(c.keys(), QStringList({"CLAS", "KTYP", "UUID", "WPKY", "WRAP"}));
            QCOMPARE(c.value("UUID"), pseudoRandom(16, 500 + quint32(n)));
            QCOMPARE(keybagUInt32(c, "CLAS"), quint32(n));
            QCOMPARE(c.value("WPKY"), f.wrappedKeys.value(n));
        }
        QCOMPARE(keybagUInt32(bag.classes.value(1), "WRAP"), 3u);
        QCOMPARE(keybagUInt32(bag.classes.value(2), "KTYP"), 1u);
    }

    // Which record lands where: bag attributes versus class records, and a
    // class stored again after every record that belongs to it.
    void parseRules_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("attributes"); // tag=value (latin-1)
        QTest::addColumn<QStringList>("classes"); // number:tag=value,...

        const QByteArray head = KeybagWriter().add("UUID", "bag0").addUInt32("WRAP", 1).bytes();
        QTest::newRow("later CLAS replaces earlier class")
                << head
                        + KeybagWriter()
                                  .add("UUID", "c1")
                                  .addUInt32("CLAS", 5)
                                  .add("WPKY", "first")
                                  .add("UUID", "c2")
                                  .addUInt32("CLAS", 5)
                                  .add("KTYP", "k")
                                  .bytes()
                << QStringList({"UUID=bag0", "WRAP=0x00000001"})
                << QStringList({"5:CLAS=0x00000005,KTYP=k,UUID=c2"});
        QTest::newRow("class without CLAS is dropped")
                << head
                        + KeybagWriter()
                                  .add("UUID", "c1")
                                  .add("WPKY", "w")
                                  .add("UUID", "c2")
                                  .addUInt32("CLAS", 2)
                                  .bytes()
                << QStringList({"UUID=bag0", "WRAP=0x00000001"})
                << QStringList({"2:CLAS=0x00000002,UUID=c2"});
        QTest::newRow("tags after CLAS join the stored class")
                << head
                        + KeybagWriter()
                                  .add("UUID", "c1")
                                  .addUInt32("CLAS", 7)
                                  .add("WPKY", "w")
                                  .add("PBKY", "p")
                                  .bytes()
                << QStringList({"UUID=bag0", "WRAP=0x00000001"})
                << QStringList({"7:CLAS=0x00000007,PBKY=p,UUID=c1,WPKY=w"});
        QTest::newRow("other tags are attributes, even inside a class")
                << head
                        + KeybagWriter()
                                  .add("VERS", "3")
                                  .add("UUID", "c1")
                                  .addUInt32("CLAS", 1)
                                  .add("ZZ9!", "odd")
                                  .add("TKMT", "t")
                                  .bytes()
                << QStringList({"TKMT=t", "UUID=bag0", "VERS=3", "WRAP=0x00000001", "ZZ9!=odd"})
                << QStringList({"1:CLAS=0x00000001,UUID=c1"});
        QTest::newRow("only the first WRAP is the bag's")
                << KeybagWriter()
                           .addUInt32("WRAP", 1)
                           .add("UUID", "bag0")
                           .add("UUID", "c1")
                           .addUInt32("WRAP", 2)
                           .addUInt32("CLAS", 3)
                           .bytes()
                << QStringList({"UUID=bag0", "WRAP=0x00000001"})
                << QStringList({"3:CLAS=0x00000003,UUID=c1,WRAP=0x00000002"});
        QTest::newRow("repeated attribute keeps the last value")
                << head + KeybagWriter().add("SALT", "a").add("SALT", "b").bytes()
                << QStringList({"SALT=b", "UUID=bag0", "WRAP=0x00000001"}) << QStringList();
        QTest::newRow("empty") << QByteArray() << QStringList() << QStringList();
        QTest::newRow("record longer than the bytes keeps what is there")
                << head + KeybagWriter().add("UUID", "c1").addUInt32("CLAS", 4).bytes()
                        + QByteArray("WPKY\0\0\0\x28"
                                     "abc",
                                     11)
                << QStringList({"UUID=bag0", "WRAP=0x00000001"})
                << QStringList({"4:CLAS=0x00000004,UUID=c1,WPKY=abc"});
        QTest::newRow("huge length field") << head
                        + QByteArray("SALT\xff\xff\xff\xff"
                                     "xy",
                                     10) << QStringList({"SALT=xy", "UUID=bag0", "WRAP=0x00000001"})
                                           << QStringList();
        QTest::newRow("tag cut short by the end")
                << head + QByteArray("SAL", 3) << QStringList({"UUID=bag0", "WRAP=0x00000001"})
                << QStringList();
        QTest::newRow("short CLAS reads as class 0")
                << head + KeybagWriter().add("UUID", "c1").add("CLAS", "\x01").bytes()
                << QStringList({"UUID=bag0", "WRAP=0x00000001"})
                << QStringList({"0:CLAS=0x01,UUID=c1"});
    }
    void parseRules()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, attributes);
        QFETCH(QStringList, classes);
        auto flat = [](const KeybagTags &tags) {
            QStringList out;
            for (auto it = tags.cbegin(); it != tags.cend(); ++it) {
                const QByteArray &v = it.value();
                const bool printable = std::all_of(v.cbegin(), v.cend(),
                                                   [](char c) { return c >= 0x20 && c < 0x7f; });
                out << it.key() + "="
                                + (printable ? QString::fromLatin1(v) : "0x" + QString(v.toHex()));
            }
            return out;
        };
        const Keybag bag = Keybag::parse(bytes);
        QCOMPARE(flat(bag.attributes), attributes);
        QStringList got;
        for (auto it = bag.classes.cbegin(); it != bag.classes.cend(); ++it)
            got << QString::number(it.key()) + ":" + flat(it.value()).join(",");
        QCOMPARE(got, classes);
    }

    // Every prefix of a real keybag parses without reading past its end
    // (the sanitizers watch) and without failing.
    void parseTruncatedNeverOverreads()
    {
        const KeybagFixture f = makeKeybag("pw", kIterations, {{1, 2, 0}, {2, 2, 0}});
        for (qsizetype n = 0; n <= f.bytes.size(); ++n) {
            // A separate allocation of exactly n bytes, so an over-read shows.
            QByteArray cut(f.bytes.constData(), n);
            cut.squeeze();
            const Keybag bag = Keybag::parse(cut);
            QVERIFY(bag.classes.size() <= 2);
        }
    }

    void unlockRightAndWrongPassword()
    {
        const KeybagFixture f = makeKeybag("correct horse", kIterations,
                                           {{1, 3, 0}, {2, 2, 0}, {3, 1, 0}, {4, 2, 1}});
        Keybag wrong = Keybag::parse(f.bytes);
        QVERIFY(!wrong.unlock("correct hors"));
        QVERIFY(!wrong.isUnlocked());
        for (const KeybagTags &c : wrong.classes)
            QVERIFY(!c.contains("KEY"));
        QVERIFY(!wrong.unlock(""));
        QVERIFY(!wrong.unlock("Correct horse"));

        Keybag bag = Keybag::parse(f.bytes);
        QVERIFY(bag.unlock("correct horse"));
        QVERIFY(bag.isUnlocked());
        for (qint32 n : {1, 2, 4})
            QCOMPARE(bag.classes.value(n).value("KEY"), f.classKeys.value(n));
        // Not wrapped with the password: passed over.
        QVERIFY(!bag.classes.value(3).contains("KEY"));

        // A later wrong attempt leaves no key behind.
        QVERIFY(!bag.unlock("nope"));
        QVERIFY(!bag.isUnlocked());
    }

    void unlockUtf8Password()
    {
        const QByteArray pw = QString::fromUtf8("p\u00e4ss w\u00f6rd \u2603").toUtf8();
        const KeybagFixture f = makeKeybag(pw, kIterations, {{1, 2, 0}});
        Keybag bag = Keybag::parse(f.bytes);
        QVERIFY(!bag.unlock(QString::fromUtf8("p\u00e4ss w\u00f6rd \u2603").toLatin1()));
        QVERIFY(bag.unlock(pw));
    }

    // Keybags that no password can unlock fail with a clear error, and before
    // any key is derived (an absurd iteration count would otherwise hang).
    void unlockRefusesUnusableKeybag_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("mentions");

        const KeybagFixture f = makeKeybag("pw", kIterations, {{1, 2, 0}});
        auto head = [&](QByteArray iter) {
            KeybagWriter w;
            w.add("UUID", "bag0").addUInt32("WRAP", 1).add("SALT", f.salt);
            if (!iter.isNull())
                w.add("ITER", iter);
            return w;
        };
        const QByteArray cls = KeybagWriter()
                                       .add("UUID", "c1")
                                       .addUInt32("CLAS", 1)
                                       .addUInt32("WRAP", 2)
                                       .add("WPKY", f.wrappedKeys.value(1))
                                       .bytes();
        QTest::newRow("no ITER") << head(QByteArray()).addRaw(cls).bytes() << "iteration count";
        QTest::newRow("ITER 0") << head(be32(0)).addRaw(cls).bytes() << "iteration count";
        QTest::newRow("ITER short")
                << head(QByteArray("\x10\x00", 2)).addRaw(cls).bytes() << "iteration count";
        QTest::newRow("ITER above limit")
                << head(be32(10'000'001)).addRaw(cls).bytes() << "10000001";
        QTest::newRow("ITER 2^32-1") << head(be32(0xffffffffu)).addRaw(cls).bytes() << "4294967295";
        QTest::newRow("empty keybag") << QByteArray() << "iteration count";
        QTest::newRow("no class") << head(be32(kIterations)).bytes() << "no key";
        QTest::newRow("class not wrapped with the password")
                << head(be32(kIterations))
                           .add("UUID", "c1")
                           .addUInt32("CLAS", 1)
                           .addUInt32("WRAP", 1)
                           .add("WPKY", f.wrappedKeys.value(1))
                           .bytes()
                << "no key";
        QTest::newRow("class without WPKY") << head(be32(kIterations))
                                                       .add("UUID", "c1")
                                                       .addUInt32("CLAS", 1)
                                                       .addUInt32("WRAP", 2)
                                                       .bytes()
                                            << "no key";
        QTest::newRow("WPKY of 24 bytes") << head(be32(kIterations))
                                                     .add("UUID", "c1")
                                                     .addUInt32("CLAS", 1)
                                                     .addUInt32("WRAP", 2)
                                                     .add("WPKY", f.wrappedKeys.value(1).left(24))
                                                     .bytes()
                                          << "class 1";
        QTest::newRow("WPKY of 8 bytes") << head(be32(kIterations))
                                                    .add("UUID", "c1")
                                                    .addUInt32("CLAS", 9)
                                                    .addUInt32("WRAP", 2)
                                                    .add("WPKY", f.wrappedKeys.value(1).left(8))
                                                    .bytes()
                                         << "class 9";
        QTest::newRow("keybag cut inside WPKY") << f.bytes.left(f.bytes.size() - 3) << "class 1";
    }
    void unlockRefusesUnusableKeybag()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, mentions);
        Keybag bag = Keybag::parse(bytes);
        QElapsedTimer timer;
        timer.start();
        const QString error = errorOf([&] { bag.unlock("pw"); });
        QVERIFY2(!error.isNull(), "unlock did not fail");
        QVERIFY2(error.contains(mentions), qPrintable(error));
        QVERIFY2(!error.startsWith("IDS_"), qPrintable(error));
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(!bag.isUnlocked());
    }

    void unwrapFileKey()
    {
        const KeybagFixture f = makeKeybag("pw", kIterations, {{1, 2, 0}, {3, 1, 0}, {4, 2, 0}});
        const EncryptedFile file = encryptFile("x", f.classKeys.value(4), 4, 42);
        const EncryptedFile locked = encryptFile("x", f.classKeys.value(3), 3, 43);
        Keybag bag = Keybag::parse(f.bytes);
        QVERIFY(bag.unwrapFileKey(4, file.storedKey.mid(4)).isEmpty()); // not unlocked yet
        QVERIFY(bag.unlock("pw"));

        QCOMPARE(bag.unwrapFileKey(4, file.storedKey.mid(4)), file.fileKey);
        QVERIFY(bag.unwrapFileKey(4, file.storedKey).isEmpty()); // 44 bytes as stored
        QVERIFY(bag.unwrapFileKey(4, file.storedKey.mid(4, 39)).isEmpty());
        QVERIFY(bag.unwrapFileKey(1, file.storedKey.mid(4)).isEmpty()); // another class's key
        QVERIFY(bag.unwrapFileKey(7, file.storedKey.mid(4)).isEmpty()); // no such class
        QVERIFY(bag.unwrapFileKey(3, locked.storedKey.mid(4)).isEmpty()); // class not unlocked
    }

    // Every size from empty to a few blocks past 8 KiB, so that the padding
    // lands in every position relative to the block ends.
    void extractEverySize()
    {
        QTemporaryDir dir;
        const KeybagFixture f = makeKeybag("pw", kIterations, {{1, 2, 0}, {2, 2, 0}});
        Keybag bag = Keybag::parse(f.bytes);
        QVERIFY(bag.unlock("pw"));
        const QByteArray all = pseudoRandom(8192 + 80, 77);
        const QString src = dir.filePath("src");
        const QString dst = dir.filePath("out");
        for (qsizetype size = 0; size <= all.size(); ++size) {
            const qint32 cls = 1 + qint32(size % 2);
            const EncryptedFile file
                    = encryptFile(all.left(size), f.classKeys.value(cls), cls, quint32(size));
            QVERIFY(writeFile(src, file.cipher));
            BackupFileSpec spec {"id" + QString::number(size), cls, file.storedKey, size,
                                 1'300'000'000u + quint32(size), {}};
            Progress p;
            extractBackupFileData(src, dst, spec, &bag, &p, &Progress::report);
            const QByteArray out = readFile(dst);
            if (out != file.plain)
                QFAIL(qPrintable(QString("size %1: got %2 bytes").arg(size).arg(out.size())));
            QCOMPARE(p.total, qint64(file.cipher.size()));
            QCOMPARE(p.done.size(),
                     int((file.cipher.size() + kExtractChunkSize - 1) / kExtractChunkSize));
            QCOMPARE(p.done.last(), p.total);
        }
    }

    // Sizes around the chunk edges, where reading ahead, writing behind and
    // the CBC chaining from one chunk to the next meet the padding.
    void extractAroundChunkEdges()
    {
        QTemporaryDir dir;
        const KeybagFixture f = makeKeybag("pw", kIterations, {{1, 2, 0}});
        Keybag bag = Keybag::parse(f.bytes);
        QVERIFY(bag.unlock("pw"));
        const qint64 c = kExtractChunkSize;
        QList<qint64> sizes;
        for (qint64 s = c - 40; s <= c + 40; ++s)
            sizes << s;
        sizes << 2 * c - 16 << 2 * c - 1 << 2 * c << 3 * c + 5;
        const QByteArray all = pseudoRandom(3 * c + 5, 78);
        const QString src = dir.filePath("src"), dst = dir.filePath("out");
        for (qint64 size : sizes) {
            const EncryptedFile file
                    = encryptFile(all.left(size), f.classKeys.value(1), 1, quint32(size));
            QVERIFY(writeFile(src, file.cipher));
            Progress p;
            extractBackupFileData(src, dst, {"big", 1, file.storedKey, size, 1'500'000'000u, {}}, &bag,
                                  &p, &Progress::report);
            if (readFile(dst) != file.plain)
                QFAIL(qPrintable(QString("size %1 differs").arg(size)));
            QList<qint64> expected;
            for (qint64 d = c; d < file.cipher.size(); d += c)
                expected << d;
            expected << file.cipher.size();
            QCOMPARE(p.done, expected);
            QCOMPARE(QFileInfo(dst).lastModified().toSecsSinceEpoch(), 1'500'000'000);
        }
        // A plain copy over several chunks.
        QVERIFY(writeFile(src, all));
        extractBackupFileData(src, dst, {"big", 0, {}, all.size(), 0, {}}, nullptr, nullptr, nullptr);
        QCOMPARE(readFile(dst), all);
        // Nothing but the target is left in the folder.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"out", "src"}));
    }

    void extractPlainCopyAndTimes()
    {
        QTemporaryDir dir;
        const QString src = dir.filePath("src");
        const QString dst = dir.filePath("out");
        for (qsizetype size : {0, 1, 100, 8192, 8193, 20000}) {
            const QByteArray plain = pseudoRandom(size, 5);
            QVERIFY(writeFile(src, plain));
            BackupFileSpec spec {"plain", 0, QByteArray(), size, 1'234'567'890u, {}};
            Progress p;
            extractBackupFileData(src, dst, spec, nullptr, &p, &Progress::report);
            // Times first: reading the file may move its access time.
            const QFileInfo info(dst);
            QCOMPARE(info.lastModified().toSecsSinceEpoch(), 1'234'567'890);
            QCOMPARE(info.lastRead().toSecsSinceEpoch(), 1'234'567'890);
            QCOMPARE(readFile(dst), plain);
            QCOMPARE(p.done.size(), size == 0 ? 0 : 1); // no report for an empty file
        }
        // No progress function at all.
        QVERIFY(writeFile(src, "abc"));
        extractBackupFileData(src, dst, {"plain", 0, {}, 3, 0, {}}, nullptr, nullptr, nullptr);
        QCOMPARE(readFile(dst), QByteArray("abc"));
        QCOMPARE(QFileInfo(dst).lastModified().toSecsSinceEpoch(), 0);
    }

    void extractEncryptedSetsTimeAndPadding_data()
    {
        QTest::addColumn<int>("recordSize");
        QTest::addColumn<int>("plainSize");
        QTest::newRow("100 in 112") << 100 << 100;
        QTest::newRow("4096 in 4112") << 4096 << 4096;
        QTest::newRow("8192 in 8208") << 8192 << 8192;
        QTest::newRow("0 in 16") << 0 << 0;
        // A record that says more than the contents hold: written whole.
        QTest::newRow("record longer than contents") << 500 << 100;
    }
    void extractEncryptedSetsTimeAndPadding()
    {
        QFETCH(int, recordSize);
        QFETCH(int, plainSize);
        QTemporaryDir dir;
        const KeybagFixture f = makeKeybag("pw", kIterations, {{3, 2, 0}});
        Keybag bag = Keybag::parse(f.bytes);
        QVERIFY(bag.unlock("pw"));
        const EncryptedFile file
                = encryptFile(pseudoRandom(plainSize, 8), f.classKeys.value(3), 3, 9);
        const QString src = dir.filePath("src"), dst = dir.filePath("out");
        QVERIFY(writeFile(src, file.cipher));
        extractBackupFileData(src, dst, {"f", 3, file.storedKey, recordSize, 987'654'321u, {}}, &bag,
                              nullptr, nullptr);
        const QByteArray out = readFile(dst);
        if (recordSize == plainSize)
            QCOMPARE(out, file.plain);
        else
            QCOMPARE(out.left(plainSize), file.plain);
        QCOMPARE(QFileInfo(dst).lastModified().toUTC(),
                 QDateTime::fromSecsSinceEpoch(987'654'321, Qt::UTC));
    }

    void extractFailures()
    {
        QTemporaryDir dir;
        const KeybagFixture f = makeKeybag("pw", kIterations, {{1, 2, 0}, {2, 1, 0}});
        Keybag unlocked = Keybag::parse(f.bytes);
        QVERIFY(unlocked.unlock("pw"));
        const Keybag locked = Keybag::parse(f.bytes);
        const EncryptedFile file = encryptFile(pseudoRandom(300, 1), f.classKeys.value(1), 1, 2);
        const EncryptedFile other = encryptFile(pseudoRandom(300, 1), f.classKeys.value(2), 2, 3);
        const QString src = dir.filePath("src"), dst = dir.filePath("out");
        const QString otherSrc = dir.filePath("src2");
        QVERIFY(writeFile(src, file.cipher));
        QVERIFY(writeFile(otherSrc, other.cipher));
        const BackupFileSpec spec {"0123abcd", 1, file.storedKey, 300, 0, {}};

        struct Case
        {
            const char *name;
            QString source;
            BackupFileSpec spec;
            const Keybag *keybag;
            QString mentions;
        };
        BackupFileSpec wrongClass = spec;
        wrongClass.protectionClass = 5;
        BackupFileSpec keyWithoutPrefix = spec;
        keyWithoutPrefix.encryptionKey = file.storedKey.mid(4);
        BackupFileSpec noKey = spec;
        noKey.encryptionKey.clear();
        BackupFileSpec lockedClass = spec;
        lockedClass.protectionClass = 2;
        lockedClass.encryptionKey = other.storedKey;
        BackupFileSpec corruptKey = spec;
        corruptKey.encryptionKey[20] = char(corruptKey.encryptionKey[20] ^ 4);
        const QList<Case> cases = {
                {"keybag not unlocked", src, spec, &locked, "0123abcd"},
                {"class missing", src, wrongClass, &unlocked, "0123abcd"},
                {"stored key without prefix", src, keyWithoutPrefix, &unlocked, "0123abcd"},
                {"no stored key", src, noKey, &unlocked, "0123abcd"},
                {"class not unlocked", otherSrc, lockedClass, &unlocked, "0123abcd"},
                {"corrupt stored key", src, corruptKey, &unlocked, "0123abcd"},
        };
        for (const Case &c : cases) {
            QFile::remove(dst);
            const QString error = errorOf([&] {
                extractBackupFileData(c.source, dst, c.spec, c.keybag, nullptr, nullptr);
            });
            QVERIFY2(error.contains(c.mentions) && !error.startsWith("IDS_"),
                     qPrintable(QString("%1: %2").arg(c.name, error)));
            // The ciphertext is never handed on as the file.
            QVERIFY2(!QFile::exists(dst), c.name);
        }

        // Ciphertext that does not end on a block boundary; an existing
        // target is left as it was.
        QVERIFY(writeFile(dst, "previous"));
        QVERIFY(writeFile(src, file.cipher + "abc"));
        QCOMPARE(errorOf([&] {
                     extractBackupFileData(src, dst, spec, &unlocked, nullptr, nullptr);
                 }),
                 QString("0123abcd, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH."));
        QCOMPARE(readFile(dst), QByteArray("previous"));
        QVERIFY(writeFile(src, QByteArray(2 * kExtractChunkSize + 5, 'x')));
        QCOMPARE(errorOf([&] {
                     extractBackupFileData(src, dst, spec, &unlocked, nullptr, nullptr);
                 }),
                 QString("0123abcd, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH."));

        QCOMPARE(readFile(dst), QByteArray("previous"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"out", "src", "src2"}));

        // An empty source in an encrypted backup has nothing to decrypt.
        QVERIFY(writeFile(src, QByteArray()));
        extractBackupFileData(src, dst, noKey, &unlocked, nullptr, nullptr);
        QCOMPARE(QFileInfo(dst).size(), 0);

        // Source or target that cannot be opened.
        QVERIFY(!errorOf([&] {
                     extractBackupFileData(dir.filePath("missing"), dst, spec, nullptr, nullptr,
                                           nullptr);
                 }).isEmpty());
        QVERIFY(writeFile(src, "abc"));
        QVERIFY(!errorOf([&] {
                     extractBackupFileData(src, dir.filePath("no/such/dir/out"), spec, nullptr,
                                           nullptr, nullptr);
                 }).isEmpty());
    }

    // A whole encrypted backup folder: the manifest unlocks with the right
    // password only, and its files come out decrypted with their times.
    void encryptedBackupFolder()
    {
        QTemporaryDir dir;
        const KeybagFixture f
                = makeKeybag("hunter2", kIterations, {{1, 3, 0}, {2, 3, 0}, {3, 3, 0}, {4, 3, 0}});
        FakeBackup backup(dir.filePath("backup"));
        backup.device.encrypted = true;
        backup.device.keybag = f.bytes;
        struct Plain
        {
            QString path;
            qint32 cls;
            QByteArray bytes;
            quint32 time;
        };
        const QList<Plain> files = {
                {"Library/SMS/sms.db", 4, pseudoRandom(3 * 8192 + 7, 1), 1'370'000'000},
                {"Library/AddressBook/AddressBook.sqlitedb", 3, pseudoRandom(4096, 2),
                 1'370'000'100},
                {"Library/AddressBook/AddressBookImages.sqlitedb", 2, QByteArray(), 1'370'000'200},
        };
        backup.addFolder("HomeDomain", "Library/SMS");
        backup.addFolder("HomeDomain", "Library/AddressBook");
        for (const Plain &p : files) {
            const EncryptedFile e = encryptFile(p.bytes, f.classKeys.value(p.cls), p.cls,
                                                quint32(p.bytes.size()));
            FakeBackup::Entry &entry = backup.addFile("HomeDomain", p.path, e.cipher);
            entry.size = p.bytes.size();
            entry.dataHash = QCryptographicHash::hash(p.bytes, QCryptographicHash::Sha1);
            entry.encryptionKey = e.storedKey;
            entry.protectionClass = quint8(p.cls);
            entry.lastModified = p.time;
        }
        backup.write();

        BackupManifest manifest(backup.folder());
        manifest.loadManifestPlist();
        QVERIFY(manifest.deviceInfo.IsEncrypted);
        manifest.loadManifestMbdb();
        QVERIFY(manifest.smsDbNode && manifest.addressBookNode && manifest.addressBookImagesNode);
        const BackupFileNode *nodes[]
                = {manifest.smsDbNode, manifest.addressBookNode, manifest.addressBookImagesNode};
        const QString target = dir.filePath("out");

        // Locked: nothing comes out, not even the ciphertext.
        QVERIFY(errorOf([&] {
                    manifest.extractBackupFile(nodes[0], target, nullptr, nullptr);
                }).contains(nodes[0]->record.fileId()));
        QVERIFY(!QFile::exists(target));
        QVERIFY(!manifest.unlockBackup("hunter3"));
        QVERIFY(!manifest.unlockBackup(""));
        QVERIFY(!errorOf([&] {
                     manifest.extractBackupFile(nodes[0], target, nullptr, nullptr);
                 }).isNull());

        QVERIFY(manifest.unlockBackup("hunter2"));
        for (int i = 0; i < 3; ++i) {
            Progress p;
            manifest.extractBackupFile(nodes[i], target, &p, &Progress::report);
            QCOMPARE(QFileInfo(target).lastModified().toSecsSinceEpoch(), qint64(files[i].time));
            QCOMPARE(readFile(target), files[i].bytes);
            QCOMPARE(p.done.last(),
                     QFileInfo(backup.folder() + "/" + nodes[i]->record.fileId()).size());
        }

        // A wrong password afterwards replaces the unlocked keybag.
        QVERIFY(!manifest.unlockBackup("hunter"));
        QVERIFY(!errorOf([&] {
                     manifest.extractBackupFile(nodes[0], target, nullptr, nullptr);
                 }).isNull());
    }

    void plainBackupFolder()
    {
        QTemporaryDir dir;
        FakeBackup backup(dir.filePath("backup"));
        backup.addTypicalPhone();
        backup.write();
        BackupManifest manifest(backup.folder());
        manifest.loadManifestPlist();
        QVERIFY(!manifest.deviceInfo.IsEncrypted);
        manifest.loadManifestMbdb();
        QVERIFY(manifest.smsDbNode);
        const QString target = dir.filePath("sms.db");
        manifest.extractBackupFile(manifest.smsDbNode, target, nullptr, nullptr);
        QCOMPARE(readFile(target),
                 readFile(backup.folder() + "/" + manifest.smsDbNode->record.fileId()));
        QCOMPARE(QFileInfo(target).lastModified().toSecsSinceEpoch(),
                 qint64(manifest.smsDbNode->record.lastModified));
    }
};

QTEST_GUILESS_MAIN(TestBackupCrypto)
#include "tst_backupcrypto.moc"
