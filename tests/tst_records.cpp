#include "store/msgdataset.h"
#include "store/msgutil.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QtTest>

#include <limits>
#include <memory>
#include <vector>

namespace {

// Owns the records a test builds.
struct Fixture
{
    std::vector<std::unique_ptr<_MsgMessage>> messages;
    std::vector<std::unique_ptr<_MsgHandle>> handles;
    std::vector<std::unique_ptr<_MsgAttachment>> attachments;

    _MsgMessage *msg(qint64 key, qint32 date)
    {
        messages.push_back(std::make_unique<_MsgMessage>());
        messages.back()->orderKey = key;
        messages.back()->date = date;
        return messages.back().get();
    }
    _MsgHandle *handle(qint64 rowid, const QString &id, const QString &name = QString())
    {
        handles.push_back(std::make_unique<_MsgHandle>());
        handles.back()->ROWID = rowid;
        handles.back()->id = id;
        handles.back()->contactName = name;
        return handles.back().get();
    }
    _MsgAttachment *attach(_MsgMessage *m, qint64 rowid, const QString &filename,
                           const QString &mime = QString())
    {
        attachments.push_back(std::make_unique<_MsgAttachment>());
        _MsgAttachment *a = attachments.back().get();
        a->ROWID = rowid;
        a->filename = filename;
        a->mime_type = mime;
        m->attachments.insert(QString::number(rowid), a);
        return a;
    }
};

// The order keys of a list.
QList<qint64> keys(const MsgMessageList &list)
{
    QList<qint64> out;
    for (const _MsgMessage *m : list)
        out.append(m->orderKey);
    return out;
}


// Drives a FlatMap and a QMap with the same random operations (single
// inserts, removals, batches appended out of order and then put in order)
// and compares every look-up and the whole walk after each step.
template<typename K>
void compareFlatMapWithQMap(quint32 seed, qint64 keyRange, int steps, K (*key)(qint64))
{
    QRandomGenerator rng(seed);
    FlatMap<K, int> flat;
    QMap<K, int> map;
    int next = 0;
    const auto randomKey = [&] { return key(rng.bounded(keyRange * 2 + 1) - keyRange); };
    const auto same = [&](const char *after) {
        QVERIFY2(flat.isSorted(), after);
        QCOMPARE(flat.size(), map.size());
        QCOMPARE(flat.keys(), map.keys());
        QCOMPARE(flat.values(), map.values());
        auto m = map.cbegin();
        for (auto f = flat.cbegin(); f != flat.cend(); ++f, ++m) {
            QCOMPARE(f.key(), m.key());
            QCOMPARE(*f, m.value());
        }
        if (!map.isEmpty()) {
            QCOMPARE(flat.firstKey(), map.firstKey());
            QCOMPARE(flat.lastKey(), map.lastKey());
            QCOMPARE(flat.first(), map.first());
            QCOMPARE(flat.last(), map.last());
        }
        for (int probe = 0; probe < 20; ++probe) {
            const K k = randomKey();
            QCOMPARE(flat.contains(k), map.contains(k));
            QCOMPARE(flat.value(k, -1), map.value(k, -1));
            const auto fl = flat.lowerBound(k);
            const auto ml = map.lowerBound(k);
            QCOMPARE(fl == flat.cend(), ml == map.cend());
            if (ml != map.cend())
                QCOMPARE(fl.key(), ml.key());
            const auto fu = flat.upperBound(k);
            const auto mu = map.upperBound(k);
            QCOMPARE(fu == flat.cend(), mu == map.cend());
            if (mu != map.cend())
                QCOMPARE(fu.key(), mu.key());
            QCOMPARE(flat.findInFirst(flat.size(), k) == flat.cend(), !map.contains(k));
        }
    };
    for (int step = 0; step < steps; ++step) {
        const int op = int(rng.bounded(10));
        if (op < 4) {
            const K k = randomKey();
            const int v = next++;
            QCOMPARE(flat.insert(k, v).key(), map.insert(k, v).key());
            same("insert");
        } else if (op < 6) {
            const K k = randomKey();
            QCOMPARE(flat.remove(k), map.remove(k));
            same("remove");
        } else if (op < 7) {
            const K k = randomKey();
            QCOMPARE(flat.take(k), map.take(k));
            same("take");
        } else if (op < 9) {
            // A batch: ascending runs, a key met twice, or no order at all.
            const int n = int(rng.bounded(60));
            const int shape = int(rng.bounded(3));
            qint64 base = rng.bounded(keyRange * 2 + 1) - keyRange;
            for (int i = 0; i < n; ++i) {
                const K k = shape == 0 ? randomKey()
                        : shape == 1   ? key(base + i % 7)
                                       : key(base + i);
                const int v = next++;
                flat.appendUnsorted(k, v);
                map.insert(k, v);
            }
            flat.finishAppending();
            same("append");
        } else if (!map.isEmpty()) {
            const qsizetype at = qsizetype(rng.bounded(quint32(map.size())));
            auto f = flat.begin() + at;
            auto m = std::next(map.begin(), at);
            QCOMPARE(f.key(), m.key());
            const auto fAfter = flat.erase(f);
            const auto mAfter = map.erase(m);
            QCOMPARE(fAfter == flat.end(), mAfter == map.end());
            if (mAfter != map.end())
                QCOMPARE(fAfter.key(), mAfter.key());
            same("erase");
        }
        if (QTest::currentTestFailed())
            return;
    }
    flat.clear();
    map.clear();
    same("clear");
}

QString decimalKey(qint64 n)
{
    return messageKey(n);
}

qint64 numberKey(qint64 n)
{
    return n;
}
} // namespace

class TestRecords : public QObject
{
    Q_OBJECT
private slots:
    void newRecordsHaveTheirDefaults()
    {
        const _MsgMessage m;
        QCOMPARE(m.version, 10);
        QCOMPARE(m.other_handle, -1);
        QCOMPARE(m.orderKey, 0);
        QCOMPARE(m.item_type, 0);
        QVERIFY(!m.highlight && !m.handle && !m.chat && !m.otherHandle && m.attachments.isEmpty());
        const _MsgChat c;
        QCOMPARE(c.style, 45);
        QCOMPARE(c.state, 3);
        QCOMPARE(c.service_name, QString("SMS"));
        QCOMPARE(c.account_login, QString("E:"));
        QCOMPARE(c.is_archived, 0);
        QCOMPARE(_MsgHandle().service, QString("SMS"));
        const _MsgAttachment a;
        QCOMPARE(a.transfer_state, 5);
        QCOMPARE(a.start_date, 0);
        QCOMPARE(a.total_bytes, 0);
        registerRecordMetaTypes();
        QCOMPARE(QMetaType::fromName("HandleItem"), QMetaType::fromType<HandleItem>());
    }

    void dataSetIsSharedAndOwnsItsRecords()
    {
        MsgDataSet a;
        QVERIFY(a.isNull());
        QVERIFY(a.chatSessions().isEmpty());
        a.reset();
        QVERIFY(a.chatSessions().isEmpty());
        // Records of every table; ASan reports a leak or a double delete.
        auto *chat = new _MsgChat;
        auto *handle = new _MsgHandle;
        auto *msg = new _MsgMessage;
        auto *att = new _MsgAttachment;
        chat->ROWID = 1;
        handle->ROWID = 1;
        msg->ROWID = 1;
        att->ROWID = 1;
        msg->chat = chat;
        msg->handle = handle;
        msg->attachments.insert("1", att);
        chat->handles.insert("1", handle);
        chat->messages.insert("1", msg);
        a.data()->chats.insert(1, chat);
        a.data()->handles.insert(1, handle);
        a.data()->messages.insert(1, msg);
        a.data()->attachments.insert(1, att);
        MsgDataSet b = a;
        a.reset(); // b still holds the old set
        QVERIFY(a.data()->chats.isEmpty());
        QCOMPARE(b.data()->messages.value(1)->chat->handles.value("1"), handle);
    }

    // Messages of the set's own storage beside ones made with new: all go
    // with the set, a discarded one of either kind at once (ASan reports a
    // leak, a double free or a use after free), and a set that made many
    // keeps every record where it was made.
    void setStorageAndDiscardedMessages()
    {
        MsgDataSet set;
        set.reset();
        _MsgDataSet *ds = set.data();
        std::vector<_MsgMessage *> made;
        for (int i = 1; i <= 5000; ++i) {
            _MsgMessage *m = i % 100 == 0 ? new _MsgMessage : ds->newMessage();
            m->ROWID = i;
            m->text = QStringLiteral("message %1").arg(i);
            ds->messages.insert(i, m);
            made.push_back(m);
        }
        for (int i = 1; i <= 5000; ++i) {
            QCOMPARE(ds->messages.value(i), made[i - 1]);
            QCOMPARE(made[i - 1]->text, QStringLiteral("message %1").arg(i));
        }
        for (qint64 id : {1, 100, 2500, 4000, 5000}) {
            _MsgMessage *m = ds->messages.take(id);
            ds->discardMessage(m);
        }
        ds->discardMessage(nullptr);
        QCOMPARE(ds->messages.size(), 4995);
        QCOMPARE(ds->messages.value(4999)->text, QStringLiteral("message 4999"));
        // A new set's storage starts over.
        set.reset();
        QVERIFY(set.data()->newMessage()->text.isNull());
    }

    // The sorted table of the data set walks and answers as QMap does:
    // decimal texts in their text order ("10" before "9"), numbers in
    // theirs, a key given twice keeps the later value.
    void flatMapMatchesQMap_data()
    {
        QTest::addColumn<bool>("decimal");
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<qint64>("keyRange");
        QTest::newRow("numbers, few keys") << false << 1u << qint64(20);
        QTest::newRow("numbers, many keys") << false << 2u << qint64(100000);
        QTest::newRow("decimal texts, few keys") << true << 3u << qint64(30);
        QTest::newRow("decimal texts, many keys") << true << 4u << qint64(1000000);
        QTest::newRow("decimal texts, digits change") << true << 5u << qint64(1200);
    }
    void flatMapMatchesQMap()
    {
        QFETCH(bool, decimal);
        QFETCH(quint32, seed);
        QFETCH(qint64, keyRange);
        if (decimal)
            compareFlatMapWithQMap<QString>(seed, keyRange, 600, decimalKey);
        else
            compareFlatMapWithQMap<qint64>(seed, keyRange, 600, numberKey);
    }

    // Chat keys are the decimal row ids, whichever way they are made.
    void messageKeys()
    {
        for (qint64 id : {0LL, 1LL, 9LL, 10LL, 99999LL, 100000LL, 65535LL, 65536LL, 1000000LL,
                          16777215LL, 16777216LL, 4294967296LL, -1LL, -12LL,
                          std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max()})
            QCOMPARE(messageKey(id), QString::number(id));
        // Keys made in several threads at once are the same.
        std::vector<QString> fromThreads(8);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back(QThread::create([&fromThreads, t] {
                QString all;
                for (qint64 id = 16777215 - t * 65536; id > 16777215 - t * 65536 - 2000; --id)
                    all += messageKey(id);
                fromThreads[t] = all;
            }));
            threads.back()->start();
        }
        for (int t = 0; t < 8; ++t) {
            QVERIFY(threads[t]->wait(10000));
            QString all;
            for (qint64 id = 16777215 - t * 65536; id > 16777215 - t * 65536 - 2000; --id)
                all += QString::number(id);
            QCOMPARE(fromThreads[t], all);
        }
    }

    void chatSessionsGroupByExactIdentifier()
    {
        MsgDataSet set;
        set.reset();
        const struct
        {
            qint64 rowid;
            const char *ident;
            qint32 last;
        } chats[] = {
                {1, "+123", 500},  {2, "+123", 900}, {3, "a@b.c", 700},
                {4, "A@b.c", 700}, {5, "+999", 900},
        };
        for (const auto &c : chats) {
            auto *chat = new _MsgChat;
            chat->ROWID = c.rowid;
            chat->chat_identifier = c.ident;
            chat->lastDate = c.last;
            set.data()->chats.insert(c.rowid, chat);
        }
        QList<ChatSession> sessions = set.chatSessions();
        QCOMPARE(sessions.size(), 4);
        std::sort(sessions.begin(), sessions.end(), sessionNewerFirst);
        QStringList order;
        for (const ChatSession &s : sessions)
            order << QString("%1:%2:%3")
                             .arg(s.chats.first()->chat_identifier)
                             .arg(s.lastDate)
                             .arg(s.chats.size());
        // Ties on the date are broken by identifier, the same in every run.
        QCOMPARE(order, QStringList({"+123:900:2", "+999:900:1", "A@b.c:700:1", "a@b.c:700:1"}));
        // A strict order: nothing sorts before itself.
        for (const ChatSession &s : sessions)
            QVERIFY(!sessionNewerFirst(s, s));
        const _MsgChat *c1 = set.data()->chats.value(3), *c2 = set.data()->chats.value(4);
        QVERIFY(!chatNewerFirst(c1, c1));
        QVERIFY(chatNewerFirst(c1, c2) != chatNewerFirst(c2, c1));
    }

    void messageOrder_data()
    {
        QTest::addColumn<qint64>("keyA");
        QTest::addColumn<int>("dateA");
        QTest::addColumn<qint64>("keyB");
        QTest::addColumn<int>("dateB");
        QTest::addColumn<int>("expected"); // -1 a first, 1 b first, 0 equivalent
        QTest::newRow("close keys keep source order") << 5LL << 1000 << 10LL << 900 << -1;
        QTest::newRow("far keys go by date") << 5LL << 1000 << 30LL << 900 << 1;
        QTest::newRow("keys 20 apart still close") << 5LL << 1000 << 25LL << 900 << -1;
        QTest::newRow("dates far apart go by date") << 5LL << 1121 << 10LL << 1000 << 1;
        QTest::newRow("dates 120 apart still close") << 5LL << 1120 << 10LL << 1000 << -1;
        QTest::newRow("equal keys close dates") << 7LL << 1000 << 7LL << 1100 << 0;
        QTest::newRow("extreme keys do not overflow")
                << std::numeric_limits<qint64>::min() << 2 << std::numeric_limits<qint64>::max()
                << 1 << 1;
        QTest::newRow("extreme dates do not overflow")
                << 1LL << std::numeric_limits<qint32>::max() << 2LL
                << std::numeric_limits<qint32>::min() << 1;
    }
    void messageOrder()
    {
        QFETCH(qint64, keyA);
        QFETCH(int, dateA);
        QFETCH(qint64, keyB);
        QFETCH(int, dateB);
        QFETCH(int, expected);
        _MsgMessage a, b;
        a.orderKey = keyA;
        a.date = dateA;
        b.orderKey = keyB;
        b.date = dateB;
        QCOMPARE(messageLessThan(a, b), expected < 0);
        QCOMPARE(messageLessThan(b, a), expected > 0);
        QCOMPARE(messageNotLessThan(a, b), expected > 0);
        QVERIFY(!messageLessThan(a, a) && !messageNotLessThan(a, a));
    }

    void sortKeepsOrderOnConsistentLists()
    {
        Fixture f;
        // Two bursts far apart in the source: within a burst the source order
        // wins over the dates; between bursts the dates decide.
        MsgMessageList list {f.msg(102, 5000), f.msg(1, 100), f.msg(101, 5050),
                             f.msg(2, 60),     f.msg(3, 110), f.msg(100, 5100)};
        sortMessages(list);
        QCOMPARE(keys(list), QList<qint64>({1, 2, 3, 100, 101, 102}));
        sortMessagesNewestFirst(list);
        QCOMPARE(keys(list), QList<qint64>({102, 101, 100, 3, 2, 1}));
        // Equivalent messages keep their list order.
        MsgMessageList same {f.msg(7, 10), f.msg(7, 20), f.msg(7, 0)};
        const MsgMessageList before = same;
        sortMessages(same);
        QCOMPARE(same, before);
        MsgMessageList empty;
        sortMessages(empty);
        QVERIFY(empty.isEmpty());
    }

    void sortStaysInBoundsWithAnyComparator()
    {
        // messageLessThan is not transitive: a < b and b < c by order key,
        // but c < a by date. Long lists of such cycles, and comparators that
        // answer anything at all, must still give a permutation of the list.
        Fixture f;
        MsgMessageList cyclic;
        for (int i = 0; i < 600; ++i) {
            const qint64 base = qint64(i / 3) * 1000;
            cyclic << f.msg(base, 200) << f.msg(base + 15, 100) << f.msg(base + 30, 0);
        }
        _MsgMessage &a = *cyclic[0], &b = *cyclic[1], &c = *cyclic[2];
        QVERIFY(messageLessThan(a, b) && messageLessThan(b, c) && messageLessThan(c, a));

        QRandomGenerator rng(42);
        MsgMessageList random;
        for (int i = 0; i < 2000; ++i)
            random << f.msg(rng.bounded(60), int(rng.bounded(400)));

        static QRandomGenerator noise(7);
        const MessageLess comparators[] = {
                messageLessThan,
                [](const _MsgMessage &, const _MsgMessage &) { return true; },
                [](const _MsgMessage &, const _MsgMessage &) { return noise.bounded(2) == 1; },
        };
        for (const MsgMessageList &input : {cyclic, random}) {
            for (MessageLess less : comparators) {
                MsgMessageList list = input;
                sortMessages(list, less);
                QCOMPARE(list.size(), input.size());
                QCOMPARE(QSet<_MsgMessage *>(list.begin(), list.end()),
                         QSet<_MsgMessage *>(input.begin(), input.end()));
            }
        }
    }

    void sortGivesTheOrderOfItsComparisons()
    {
        // The two message orders sort on copies of their fields; the result
        // must be the very one the same comparisons give on the messages,
        // cycles and ties included (a wrapper of the order takes the plain
        // path).
        Fixture f;
        QRandomGenerator rng(11);
        MsgMessageList cycles, random, sorted;
        for (int i = 0; i < 300; ++i) {
            const qint64 base = qint64(i / 3) * 1000;
            const int k = 2 - i % 3; // a < b and b < c by order key, c < a by date
            cycles << f.msg(base + 15 * k, 200 - 100 * k);
        }
        for (int i = 0; i < 3000; ++i)
            random << f.msg(rng.bounded(80), int(rng.bounded(600)));
        for (int i = 0; i < 500; ++i)
            sorted << f.msg(i, 10 * i);
        const MessageLess oldest = [](const _MsgMessage &a, const _MsgMessage &b) {
            return messageLessThan(a, b);
        };
        const MessageLess newest = [](const _MsgMessage &a, const _MsgMessage &b) {
            return messageLessThan(b, a);
        };
        for (const MsgMessageList &input : {cycles, random, sorted}) {
            MsgMessageList fast = input, plain = input;
            sortMessages(fast);
            sortMessages(plain, oldest);
            QCOMPARE(fast, plain);
            fast = input;
            plain = input;
            sortMessagesNewestFirst(fast);
            sortMessages(plain, newest);
            QCOMPARE(fast, plain);
        }
    }

    void logicHash_data()
    {
        QTest::addColumn<QString>("handleId"); // empty: no handle
        QTest::addColumn<int>("isFromMe");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("expected");
        const QString plain = "9fff26b5dfe81633013ce54d41c74cd8";
        const QString withFiles = "76c252a90da54c2c8de964ae63cbfa54";
        QTest::newRow("worked example") << "+123" << 1 << "abc" << QStringList() << plain;
        QTest::newRow("object replacement ignored")
                << "+123" << 1 << QString("a\uFFFCb\uFFFCc") << QStringList() << plain;
        QTest::newRow("empty file names ignored")
                << "+123" << 1 << "abc" << QStringList({"", ""}) << plain;
        QTest::newRow("two attachments")
                << "+123" << 1 << "abc"
                << QStringList({"~/Library/SMS/Attachments/x/B.png", "a.jpg"}) << withFiles;
        QTest::newRow("folders, case and order ignored")
                << "+123" << 1 << "abc" << QStringList({"C:\\files\\A.JPG", "/y/b.PNG", ""})
                << withFiles;
        // Text and handle beyond ASCII hash as their UTF-8 (vectors worked
        // out apart: MD5 of id, little-endian date, sender flag, body).
        QTest::newRow("text beyond ASCII")
                << "+123" << 1 << QString::fromUtf8("\u00e9\u2192\U0001F600\uFFFC x")
                << QStringList() << "4f374350bf8f210fd5f6a41377882bc1";
        QTest::newRow("handle beyond ASCII")
                << QString::fromUtf8("+12\u00e9") << 1 << "abc" << QStringList()
                << "d357eb7e4626b0984be501c148a1b0d8";
        QTest::newRow("received differs") << "+123" << 0 << "abc" << QStringList() << QString();
        QTest::newRow("no handle differs") << "" << 1 << "abc" << QStringList() << QString();
    }
    void logicHash()
    {
        QFETCH(QString, handleId);
        QFETCH(int, isFromMe);
        QFETCH(QString, text);
        QFETCH(QStringList, files);
        QFETCH(QString, expected);
        Fixture f;
        _MsgMessage *m = f.msg(0, 1);
        _MsgHandle *h = f.handle(1, handleId);
        if (!handleId.isEmpty())
            m->handle = h;
        m->is_from_me = isFromMe;
        m->text = text;
        for (int i = 0; i < files.size(); ++i)
            f.attach(m, 10 - i, files[i]);
        const QString hash = ::logicHash(*m);
        QCOMPARE(hash.size(), 32);
        if (expected.isEmpty())
            QVERIFY(hash != "9fff26b5dfe81633013ce54d41c74cd8");
        else
            QCOMPARE(hash, expected);
    }

    void systemItemsHashTheirGuid()
    {
        _MsgMessage a, b;
        a.item_type = 2;
        a.guid = "abc";
        a.text = "ignored";
        b.item_type = 7;
        b.guid = "abc";
        b.date = 99;
        QCOMPARE(::logicHash(a), QString("900150983cd24fb0d6963f7d28e17f72"));
        QCOMPARE(::logicHash(b), ::logicHash(a));
    }

    void identifiers()
    {
        QCOMPARE(md5Guid("abc"), QString("90015098-3CD2-4FB0-D696-3F7D28E17F72"));
        QCOMPARE(md5Guid(""), QString("D41D8CD9-8F00-B204-E980-0998ECF8427E"));
        QCOMPARE(newGroupChatId("abc"), QString("chat126849043410737461"));
        QCOMPARE(newGroupChatId("abc"), newGroupChatId("abc"));
        QCOMPARE(absDecimal(std::numeric_limits<qint32>::min()), QString("2147483648"));
        QCOMPARE(absDecimal(-5), QString("5"));
        QCOMPARE(absDecimal(std::numeric_limits<qint32>::max()), QString("2147483647"));
        for (const QString &seed :
             {QString(), QString("+4915112345678"), QString("\u00e9\U0001F604")}) {
            const QString id = newGroupChatId(seed);
            QCOMPARE(id.size(), 22);
            QVERIFY(QRegularExpression("^chat[0-9]{18}$").match(id).hasMatch());
        }
        const QString g = newGuid();
        QVERIFY2(QRegularExpression(
                         "^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}$")
                         .match(g)
                         .hasMatch(),
                 qPrintable(g));
        QVERIFY(newGuid() != g);
        // The guid's length is the last byte before it in the archive.
        const QByteArray body = attachmentAttributedBody(g);
        const qsizetype at = body.indexOf(g.toLatin1());
        QVERIFY(at > 0);
        QCOMPARE(int(quint8(body.at(at - 1))), 36);
        QVERIFY(body.startsWith(QByteArray::fromHex("040B73747265616D74797065")));
        QVERIFY(body.endsWith(QByteArray::fromHex("849B9B00868686")));
    }

    void iosDates()
    {
        QCOMPARE(iosDateToDateTime(0).toUTC(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
        // The largest dates lie beyond 2038 and must not wrap.
        QCOMPARE(iosDateToDateTime(std::numeric_limits<qint32>::max()).toUTC().date().year(), 2069);
        QCOMPARE(iosDateToDateTime(std::numeric_limits<qint32>::min()).toUTC().date().year(), 1932);
        const QDateTime t(QDate(2013, 5, 6), QTime(15, 5, 0), Qt::UTC);
        QCOMPARE(iosDateToDateTime(dateTimeToIosDate(t)), t);
        QCOMPARE(dateTimeToIosDate(QDateTime(QDate(2200, 1, 1), QTime(0, 0), Qt::UTC)),
                 std::numeric_limits<qint32>::max());
    }

    void labels()
    {
        Fixture f;
        _MsgHandle *ann = f.handle(9, "+111", "Ann");
        _MsgHandle *bob = f.handle(10, "+222");
        QCOMPARE(handleDisplayName(*ann, true), QString("Ann (+111)"));
        QCOMPARE(handleDisplayName(*ann, false), QString("Ann"));
        QCOMPARE(handleDisplayName(*bob, true), QString("+222"));

        _MsgChat chat;
        QCOMPARE(chatDisplayName(chat, true), QString("Unknown"));
        chat.handles.insert("10", bob); // "10" before "9" in key order
        chat.handles.insert("9", ann);
        QCOMPARE(chatDisplayName(chat, true), QString("Ann (+111), +222"));
        QCOMPARE(chatDisplayName(chat, false), QString("Ann, +222"));

        _MsgMessage *m = f.msg(0, 0);
        QCOMPARE(messageChatTitle(*m), QString("unknown"));
        m->chat = &chat;
        m->handle = ann;
        QCOMPARE(messageChatTitle(*m), QString("Ann (+111), +222 (Ann)"));
        m->handle = bob;
        QCOMPARE(messageChatTitle(*m), QString("Ann (+111), +222 (+222)"));
        chat.display_name = "Team";
        QCOMPARE(messageChatTitle(*m), QString("Team (+222)"));
        chat.handles.remove("9");
        QCOMPARE(messageChatTitle(*m), QString("Team"));
    }

    void displayText_data()
    {
        QTest::addColumn<int>("itemType");
        QTest::addColumn<bool>("withSender");
        QTest::addColumn<int>("shareStatus");
        QTest::addColumn<QString>("expected");
        // 2013-05-06 15:05 UTC; TZ is UTC in the tests.
        QTest::newRow("added") << 1 << true << 0
                               << "Ann Added +222 to the conversation.\n06 May 2013 3:05 PM";
        QTest::newRow("named, no sender")
                << 2 << false << 0 << "You named the conversation \"Trip\".\n06 May 2013 3:05 PM";
        QTest::newRow("left") << 3 << true << 0 << "Ann left the conversation.\n06 May 2013 3:05 PM";
        QTest::newRow("sharing started")
                << 4 << true << 0 << "Ann started sharing location with +222.\n06 May 2013 3:05 PM";
        QTest::newRow("sharing stopped")
                << 4 << true << 1 << "Ann stopped sharing location with +222.\n06 May 2013 3:05 PM";
        QTest::newRow("other notice")
                << 9 << true << 0 << "System Information.\n06 May 2013 3:05 PM";
    }
    void displayText()
    {
        QFETCH(int, itemType);
        QFETCH(bool, withSender);
        QFETCH(int, shareStatus);
        QFETCH(QString, expected);
        Fixture f;
        _MsgMessage *m
                = f.msg(0, dateTimeToIosDate(QDateTime(QDate(2013, 5, 6), QTime(15, 5), Qt::UTC)));
        m->item_type = itemType;
        m->share_status = shareStatus;
        m->group_title = "Trip";
        if (withSender)
            m->handle = f.handle(1, "+111", "Ann");
        m->otherHandle = f.handle(2, "+222");
        QCOMPARE(messageDisplayText(*m), expected);
        QCOMPARE(messagePlainText(*m), expected);
    }

    void attachmentTags()
    {
        Fixture f;
        _MsgMessage *m = f.msg(0, 0);
        m->text = QString("\uFFFC");
        f.attach(m, 1, "", "image/jpeg");
        QCOMPARE(messageDisplayText(*m), QString("[IMAGE]"));
        // Tags in ROWID order whatever the table's keys; an empty file name
        // still gets its tag.
        m->text = QString(" Hi \U0001F604\uFFFC");
        f.attach(m, 10, "", "IMAGE/PNG");
        f.attach(m, 2, "x", "video/mp4");
        f.attach(m, 3, "x", "audio/amr");
        f.attach(m, 4, "x", "text/VCARD");
        f.attach(m, 5, "x", "text/x-vCard");
        f.attach(m, 6, "x", "text/x-vcard-extra");
        f.attach(m, 7, "x", "");
        const QString tags = "[IMAGE] [VIDEO] [AUDIO] [VCARD] [VCARD] [ATTA] [ATTA] [IMAGE]";
        QCOMPARE(messageDisplayText(*m), QString("Hi \U0001F604 ") + tags);
        QCOMPARE(messagePlainText(*m), QString("Hi [EMOJI] ") + tags);
        QCOMPARE(messageBodyText(*m), QString(" Hi \U0001F604"));
        QCOMPARE(sortedAttachments(*m).first()->ROWID, 1);
        QCOMPARE(sortedAttachments(*m).last()->ROWID, 10);
    }

    void thumbnails()
    {
        TestEnv env;
        const QString dir = env.makeDir("att");
        QImage tall(30, 60, QImage::Format_RGB32);
        tall.fill(Qt::red);
        QVERIFY(tall.save(dir + "/tall.png", "PNG"));
        QImage wide(300, 100, QImage::Format_RGB32);
        wide.fill(Qt::blue);
        QVERIFY(wide.save(dir + "/wide.jpg", "JPEG"));
        QFile junk(dir + "/junk.jpg");
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not an image");
        junk.close();

        _MsgAttachment a;
        a.localPath = dir + "/tall.png";
        const QString path = makeThumbnail(a);
        // In the private cache folder, never in the shared temp folder.
        QVERIFY2(path.startsWith(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)),
                 qPrintable(path));
        QVERIFY(path.startsWith(env.home()));
        QVERIFY(path.endsWith(QString::fromLatin1(QCryptographicHash::hash(a.localPath.toUtf8(),
                                                                           QCryptographicHash::Md5)
                                                          .toHex())
                              + ".thumb"));
        QImageReader png(path);
        QCOMPARE(png.format(), QByteArray("png"));
        QCOMPARE(png.size(), QSize(60, 120));
        QCOMPARE(makeThumbnail(a), path); // an existing file is reused

        a.localPath = dir + "/wide.jpg";
        QImageReader jpg(makeThumbnail(a));
        QCOMPARE(jpg.format(), QByteArray("jpeg"));
        QCOMPARE(jpg.size(), QSize(120, 40));

        a.localPath = dir + "/junk.jpg";
        const QString none = makeThumbnail(a);
        QVERIFY(!none.isEmpty());
        QVERIFY(!QFile::exists(none));
        a.localPath = dir + "/missing.png";
        QVERIFY(!QFile::exists(makeThumbnail(a)));
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
