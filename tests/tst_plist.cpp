#include "store/plistvalue.h"
#include "tests/support/pyplist.h"

#include <QtTest>

// Property lists read and written through the wrapper, checked against lists
// made and read by Python's plistlib.
class TestPlist : public QObject
{
    Q_OBJECT

    // One dictionary with a value of every node type that plistlib writes.
    static QString everyTypeExpr()
    {
        return "{'yes': True, 'no': False, 'small': 7, 'big': 2**63 - 1, 'zero': 0,"
               " 'real': 2.5, 'text': 'h\\u00e9llo \\U0001F600', 'empty': '',"
               " 'data': b'\\x00\\x01\\xffbinary', 'nodata': b'',"
               " 'when': datetime.datetime(2013, 5, 17, 8, 30, 12),"
               " 'list': [1, 'two', [3], {'four': 4}], 'nolist': [], 'nodict': {},"
               " 'nested': {'Lockdown': {'DeviceName': 'Work Phone'}}}";
    }

    // A binary list whose objects are all arrays: object i holds references
    // to the objects listed in graph[i]; object 0 is the root.
    static QByteArray arrayGraph(const QList<QList<quint32>> &graph)
    {
        auto be = [](quint64 v, int width) {
            QByteArray b(width, '\0');
            for (int i = width - 1; i >= 0; --i, v >>= 8)
                b[i] = char(v & 0xFF);
            return b;
        };
        QByteArray out("bplist00");
        QList<quint32> offsets;
        for (const QList<quint32> &refs : graph) {
            offsets.append(quint32(out.size()));
            if (refs.size() < 15)
                out += char(0xA0 | refs.size());
            else
                out += QByteArray("\xAF\x12", 2) + be(quint64(refs.size()), 4);
            for (quint32 r : refs)
                out += be(r, 4);
        }
        const quint64 table = quint64(out.size());
        for (quint32 o : offsets)
            out += be(o, 4);
        out += QByteArray(6, '\0') + char(4) + char(4) + be(quint64(graph.size()), 8) + be(0, 8)
                + be(table, 8);
        return out;
    }

private slots:
    void initTestCase()
    {
        // PEL_FUZZ_SEED_DIR=fuzz/corpus refreshes the fuzzer's seeds.
        const QString seedRoot = qEnvironmentVariable("PEL_FUZZ_SEED_DIR");
        if (seedRoot.isEmpty())
            return;
        const QList<QPair<QString, QByteArray>> seeds = {
                {"every-type.xml", PyPlist::dump(everyTypeExpr(), PyPlist::Xml)},
                {"every-type.bin", PyPlist::dump(everyTypeExpr(), PyPlist::Binary)},
                {"shared.bin", arrayGraph({{1, 1, 2}, {2}, {}})},
                {"manifest.bin",
                 PyPlist::dump("{'Lockdown': {'DeviceName': 'Work Phone', 'UniqueDeviceID': 'abc'},"
                               " 'Date': datetime.datetime(2013, 6, 2), 'IsEncrypted': True,"
                               " 'BackupKeyBag': b'VERS\\x00\\x00\\x00\\x04'}",
                               PyPlist::Binary)},
        };
        for (const auto &[name, bytes] : seeds) {
            QFile f(seedRoot + "/plist/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
    }

    void readsEveryNodeType_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("xml") << int(PyPlist::Xml);
        QTest::newRow("binary") << int(PyPlist::Binary);
    }
    void readsEveryNodeType()
    {
        QFETCH(int, format);
        const QByteArray bytes = PyPlist::dump(everyTypeExpr(), PyPlist::Format(format));
        QVERIFY(!bytes.isEmpty());
        const PlistValue v = parsePlistBuffer(bytes);
        QVERIFY(v.isDict());
        QCOMPARE(v.dictSize(), 15u);
        QVERIFY(v.dictItem("yes").isBool());
        QCOMPARE(v.dictItem("yes").toBool(), true);
        QCOMPARE(v.dictItem("no").toBool(), false);
        QVERIFY(v.dictItem("small").isUInt());
        QCOMPARE(v.dictItem("small").toUInt64(), quint64(7));
        QCOMPARE(v.dictItem("big").toUInt64(), quint64(9223372036854775807ULL));
        QCOMPARE(v.dictItem("zero").toUInt64(), quint64(0));
        QVERIFY(v.dictItem("real").isReal());
        QCOMPARE(v.dictItem("real").toDouble(), 2.5);
        QCOMPARE(v.dictItem("text").toString(), QString::fromUtf8("h\xc3\xa9llo \xf0\x9f\x98\x80"));
        QVERIFY(v.dictItem("empty").isString());
        QCOMPARE(v.dictItem("empty").toString(), QString());
        QCOMPARE(v.dictItem("data").toByteArray(),
                 QByteArray("\x00\x01\xff"
                            "binary",
                            9));
        QVERIFY(v.dictItem("nodata").isData());
        QCOMPARE(v.dictItem("nodata").toByteArray(), QByteArray());
        QVERIFY(v.dictItem("when").isDate());
        QCOMPARE(v.dictItem("when").toDateTime(),
                 QDateTime(QDate(2013, 5, 17), QTime(8, 30, 12), Qt::UTC));
        const PlistValue list = v.dictItem("list");
        QCOMPARE(list.arraySize(), 4u);
        QCOMPARE(list.arrayItem(0).toUInt64(), quint64(1));
        QCOMPARE(list.arrayItem(1).toString(), QString("two"));
        QCOMPARE(list.arrayItem(2).arrayItem(0).toUInt64(), quint64(3));
        QCOMPARE(list.arrayItem(3).dictItem("four").toUInt64(), quint64(4));
        QVERIFY(list.arrayItem(4).isNull());
        QVERIFY(list.arrayItem(-1).isNull());
        QVERIFY(v.dictItem("nolist").isArray());
        QCOMPARE(v.dictItem("nolist").arraySize(), 0u);
        QVERIFY(v.dictItem("nodict").isDict());
        QVERIFY(v.dictItem("nodict").toMap().isEmpty());
        QCOMPARE(v.dictItem("nested").dictItem("Lockdown").dictItem("DeviceName").toString(),
                 QString("Work Phone"));

        const QMap<QString, PlistValue> map = v.toMap();
        QCOMPARE(map.size(), 15);
        QVERIFY(map.value("when").owned());
        QCOMPARE(map.value("text").toString(), v.dictItem("text").toString());
    }

    // Values built with the makers come out of both serialisers in a form that
    // plistlib reads back as the same value.
    void writesWhatPythonReads_data()
    {
        QTest::addColumn<bool>("binary");
        QTest::newRow("xml") << false;
        QTest::newRow("binary") << true;
    }
    void writesWhatPythonReads()
    {
        QFETCH(bool, binary);
        PlistValue root = PlistValue::newDict();
        root.dictSet("yes", PlistValue::fromBool(true));
        root.dictSet("n", PlistValue::fromUInt64(4294967296ULL));
        root.dictSet("real", PlistValue::fromDouble(-0.25));
        root.dictSet("text", PlistValue::fromString(QString::fromUtf8("gr\xc3\xbc\xc3\x9f <&>")));
        root.dictSet("data", PlistValue::fromByteArray(QByteArray("\x00zz", 3)));
        root.dictSet("when",
                     PlistValue::fromDateTime(
                             QDateTime(QDate(2001, 1, 1), QTime(0, 0, 0, 700), Qt::UTC)));
        root.dictSet("later",
                     PlistValue::fromDateTime(
                             QDateTime(QDate(2020, 2, 29), QTime(23, 59, 59), Qt::UTC)));
        PlistValue list = PlistValue::newArray();
        list.arrayAppend(PlistValue::fromString("a"));
        list.arrayAppend(PlistValue::newDict());
        root.dictSet("list", list);
        // The list now belongs to root; changing it through its old wrapper
        // changes root's copy.
        list.arrayAppend(PlistValue::fromUInt64(3));
        QVERIFY(!list.owned());

        const QString want = "{'yes': True, 'n': 4294967296, 'real': -0.25,"
                             " 'text': 'gr\\u00fc\\u00df <&>', 'data': b'\\x00zz',"
                             " 'when': datetime.datetime(2001, 1, 1),"
                             " 'later': datetime.datetime(2020, 2, 29, 23, 59, 59),"
                             " 'list': ['a', {}, 3]}";
        const QByteArray bytes = binary ? root.toBinary() : root.toXml().toUtf8();
        QCOMPARE(PyPlist::compare(bytes, want), QString());
        // And our parser reads our own output back.
        QCOMPARE(parsePlistBuffer(bytes).dictItem("list").arraySize(), 3u);
    }

    void datesAroundTheAppleEpoch()
    {
        // plistlib writes binary dates as floating-point seconds since 2001.
        const QByteArray half = PyPlist::dump(
                "[datetime.datetime(2001, 1, 1, 0, 0, 0, 500000), datetime.datetime(2001, 1, 1),"
                " datetime.datetime(1999, 12, 31, 23, 59, 59)]",
                PyPlist::Binary);
        const PlistValue v = parsePlistBuffer(half);
        QCOMPARE(v.arrayItem(0).toDateTime(),
                 QDateTime(QDate(2001, 1, 1), QTime(0, 0, 0, 500), Qt::UTC));
        QCOMPARE(v.arrayItem(1).toDateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
        QCOMPARE(v.arrayItem(1).toDateTime().toSecsSinceEpoch(), qint64(978307200));
        QCOMPARE(v.arrayItem(2).toDateTime(),
                 QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59), Qt::UTC));

        // Our own date node of 2001-01-01 is zero seconds on the wire.
        const PlistValue epoch = PlistValue::fromDateTime(
                QDateTime(QDate(2001, 1, 1), QTime(0, 0, 0, 999), Qt::UTC));
        int32_t sec = -1, usec = -1;
        plist_get_date_val(epoch.node(), &sec, &usec);
        QCOMPARE(sec, 0);
        QCOMPARE(usec, 0);
        QVERIFY(PlistValue::fromDateTime(QDateTime()).isNull());
        QVERIFY(PlistValue::fromString("x").toDateTime().isNull());
    }

    // Each typed getter answers only for its own type and gives the empty
    // result for every other one, a missing node included.
    void gettersAreTotal()
    {
        const QList<QPair<const char *, PlistValue>> values = {
                {"bool", PlistValue::fromBool(true)},
                {"uint", PlistValue::fromUInt64(5)},
                {"real", PlistValue::fromDouble(1.5)},
                {"string", PlistValue::fromString("s")},
                {"array", PlistValue::newArray()},
                {"dict", PlistValue::newDict()},
                {"date",
                 PlistValue::fromDateTime(QDateTime(QDate(2010, 1, 1), QTime(0, 0), Qt::UTC))},
                {"data", PlistValue::fromByteArray("d")},
                {"key", PlistValue::fromKey("k")},
                {"null", PlistValue()},
        };
        for (const auto &[name, v] : values) {
            const QByteArray n(name);
            QCOMPARE(v.isNull(), n == "null");
            QCOMPARE(v.isBool(), n == "bool");
            QCOMPARE(v.isUInt(), n == "uint");
            QCOMPARE(v.isReal(), n == "real");
            QCOMPARE(v.isString(), n == "string");
            QCOMPARE(v.isArray(), n == "array");
            QCOMPARE(v.isDict(), n == "dict");
            QCOMPARE(v.isDate(), n == "date");
            QCOMPARE(v.isData(), n == "data");
            QCOMPARE(v.isKey(), n == "key");
            QCOMPARE(v.toBool(), n == "bool");
            QCOMPARE(v.toUInt64(), n == "uint" ? 5u : 0u);
            QCOMPARE(v.toDouble(), n == "real" ? 1.5 : 0.0);
            QCOMPARE(v.toString(), n == "string" ? QString("s") : QString());
            QCOMPARE(v.toKey(), n == "key" ? QString("k") : QString());
            QCOMPARE(v.toByteArray(), n == "data" ? QByteArray("d") : QByteArray());
            QCOMPARE(v.toDateTime().isNull(), n != "date");
            QVERIFY(v.dictItem("k").isNull());
            QVERIFY(v.dictItem("k").toString().isEmpty());
            QVERIFY(v.arrayItem(0).isNull());
            QVERIFY(v.toMap().isEmpty());
            QCOMPARE(v.toXml().isEmpty(), n == "null");
            QCOMPARE(v.toBinary().isEmpty(), n == "null");
            // Containers ignore inserts into a value of another type.
            PlistValue target = v;
            target.arrayAppend(PlistValue::fromUInt64(1));
            target.dictSet("x", PlistValue::fromUInt64(1));
            QCOMPARE(target.arraySize(), n == "array" ? 1u : 0u);
            QCOMPARE(target.dictSize(), n == "dict" ? 1u : 0u);
        }
    }

    void malformedBuffersGiveNull_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("bare binary magic") << QByteArray("bplist00");
        QTest::newRow("binary magic and garbage")
                << QByteArray("bplist00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"
                              "\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"
                              "\xff\xff\xff\xff");
        QTest::newRow("zeros") << QByteArray(64, '\0');
        QTest::newRow("text") << QByteArray("hello, world");
        QTest::newRow("other xml") << QByteArray("<?xml version=\"1.0\"?><html><body/></html>");
        QTest::newRow("unclosed dict")
                << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>");
        QTest::newRow("key without value")
                << QByteArray("<plist version=\"1.0\"><dict><key>a</key></dict></plist>");
        QTest::newRow("bad integer")
                << QByteArray("<plist version=\"1.0\"><integer>12x</integer></plist>");
    }
    void malformedBuffersGiveNull()
    {
        QFETCH(QByteArray, data);
        const PlistValue v = parsePlistBuffer(data);
        if (!v.isNull()) {
            // A lenient parse is acceptable as long as nothing reads past the
            // buffer; what it gives must still be a usable value.
            QVERIFY(!v.toXml().isEmpty());
        }
        if (data.startsWith("bplist00") || data.isEmpty() || data.startsWith('\0'))
            QVERIFY(v.isNull());
    }

    // Every prefix of a valid list: binary prefixes lose the trailer and never
    // parse; XML prefixes must not crash whatever the parser makes of them.
    void truncatedListsAreSafe_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("xml") << int(PyPlist::Xml);
        QTest::newRow("binary") << int(PyPlist::Binary);
    }
    void truncatedListsAreSafe()
    {
        QFETCH(int, format);
        const QByteArray full = PyPlist::dump(everyTypeExpr(), PyPlist::Format(format));
        QVERIFY(parsePlistBuffer(full).isDict());
        for (qsizetype n = 0; n < full.size(); ++n) {
            // A detached copy, so that the sanitizer sees reads past its end.
            const QByteArray prefix(full.constData(), n);
            const PlistValue v = parsePlistBuffer(prefix);
            if (format == PyPlist::Binary)
                QVERIFY2(v.isNull(), qPrintable(QString("prefix of %1 bytes parsed").arg(n)));
            else
                (void)v.toBinary();
        }
    }

    // Shapes that would make the parser, or freeing the tree, recurse past
    // the stack or expand past memory are refused; ordinary nesting parses.
    void hostileShapesGiveNull()
    {
        auto nestedXml = [](int depth) {
            return "<?xml version=\"1.0\"?><plist version=\"1.0\">"
                    + QByteArray("<array>").repeated(depth) + QByteArray("<dict/><array/>")
                    + QByteArray("</array>").repeated(depth) + "</plist>";
        };
        QVERIFY(parsePlistBuffer(nestedXml(300)).isArray());
        QVERIFY(parsePlistBuffer(nestedXml(1000000)).isNull());

        // Shared references: [[x], [x]] is fine and reads as plistlib reads it.
        const QByteArray shared = arrayGraph({{1, 1}, {2}, {}});
        QCOMPARE(PyPlist::compare(shared, "[[[]], [[]]]"), QString());
        QCOMPARE(parsePlistBuffer(shared).arrayItem(1).arraySize(), 1u);

        QList<QList<quint32>> chain, laughs;
        for (quint32 i = 0; i < 100000; ++i)
            chain.append(QList<quint32> {i + 1});
        chain.append(QList<quint32>());
        QVERIFY(parsePlistBuffer(arrayGraph(chain)).isNull());
        // 64 levels of two references each to the next level: 2^64 nodes once expanded.
        for (quint32 i = 0; i < 64; ++i)
            laughs.append(QList<quint32> {i + 1, i + 1});
        laughs.append(QList<quint32>());
        QVERIFY(parsePlistBuffer(arrayGraph(laughs)).isNull());
        QVERIFY(parsePlistBuffer(arrayGraph({{1}, {0}})).isNull()); // holds itself
        QVERIFY(parsePlistBuffer(arrayGraph({{7}})).isNull()); // no such object
        QList<QList<quint32>> wide = {QList<quint32>()};
        for (quint32 i = 1; i <= 200; ++i) {
            wide[0].append(i);
            wide.append(QList<quint32>());
        }
        QCOMPARE(parsePlistBuffer(arrayGraph(wide)).arraySize(), 200u);
    }

    // libplist keeps the full length of a text with a NUL in it but reads it
    // as a C string in places (asserting, or overrunning its buffers). Such
    // values are cut at the NUL; such keys, and XML with a NUL byte, make
    // the list unreadable.
    void textsWithNul()
    {
        const QByteArray bin
                = PyPlist::dump("{'v': 'a\\x00b', 'w': '\\u00e9\\x00\\u00e9', 'list': ['x\\x00y']}",
                                PyPlist::Binary);
        const PlistValue v = parsePlistBuffer(bin);
        QVERIFY(v.isDict());
        QCOMPARE(v.dictItem("v").toString(), QString("a"));
        QCOMPARE(v.dictItem("w").toString(), QString::fromUtf8("\xc3\xa9"));
        QCOMPARE(v.dictItem("list").arrayItem(0).toString(), QString("x"));
        QCOMPARE(PyPlist::compare(v.toBinary(), "{'v': 'a', 'w': '\\u00e9', 'list': ['x']}"),
                 QString());
        QVERIFY(v.toXml().contains("<string>a</string>"));

        QVERIFY(parsePlistBuffer(PyPlist::dump("{'k\\x00ey': 1}", PyPlist::Binary)).isNull());
        QVERIFY(parsePlistBuffer(
                        QByteArray("<plist><array><string>a\0b</string></array></plist>", 50))
                        .isNull());
    }

    void dictSetReplacesAndFreesOldValue()
    {
        PlistValue d = PlistValue::newDict();
        d.dictSet("k", PlistValue::fromString("old"));
        d.dictSet("k", PlistValue::fromString("new"));
        QCOMPARE(d.dictSize(), 1u);
        QCOMPARE(d.dictItem("k").toString(), QString("new"));
        // Setting a key to its own value copies before the old one is freed.
        d.dictSet("k", d.dictItem("k"));
        QCOMPARE(d.dictItem("k").toString(), QString("new"));
    }

    // A node that already sits in a tree is copied, not moved, into another
    // tree: otherwise both trees would free it.
    void borrowedItemsAreCopiedOnInsert()
    {
        PlistValue source = parsePlistBuffer(
                PyPlist::dump("{'inner': {'a': 1}, 'list': ['x']}", PyPlist::Binary));
        QVERIFY(source.isDict());
        PlistValue a = PlistValue::newArray();
        PlistValue d = PlistValue::newDict();
        const PlistValue inner = source.dictItem("inner");
        a.arrayAppend(inner);
        a.arrayAppend(inner);
        d.dictSet("copy", inner);
        d.dictSet("again", a.arrayItem(0));
        QCOMPARE(a.arraySize(), 2u);
        QCOMPARE(a.arrayItem(1).dictItem("a").toUInt64(), quint64(1));
        QVERIFY(a.arrayItem(0).node() != inner.node());
        QVERIFY(d.dictItem("again").node() != a.arrayItem(0).node());

        // An owned value inserted twice: moved the first time, copied after.
        PlistValue owned = PlistValue::fromString("once");
        a.arrayAppend(owned);
        a.arrayAppend(owned);
        d.dictSet("owned", owned);
        QCOMPARE(a.arrayItem(2).node(), owned.node());
        QVERIFY(a.arrayItem(3).node() != owned.node());
        QCOMPARE(d.dictItem("owned").toString(), QString("once"));

        // A tree appended to itself is copied and cannot loop.
        a.arrayAppend(a);
        QCOMPARE(a.arrayItem(4).arraySize(), 4u);
        source = PlistValue();
        QCOMPARE(a.arrayItem(0).dictItem("a").toUInt64(), quint64(1));
        // The sanitizer's leak and double-free checks do the rest at exit.
    }

    // A borrowed value keeps the tree it was taken from alive.
    void borrowedValuesOutliveTheirRoot()
    {
        PlistValue lockdown
                = parsePlistBuffer(
                          PyPlist::dump("{'Lockdown': {'DeviceName': 'Work Phone'}}", PyPlist::Xml))
                          .dictItem("Lockdown");
        QCOMPARE(lockdown.dictItem("DeviceName").toString(), QString("Work Phone"));
        QVERIFY(!lockdown.owned());

        PlistValue moved;
        {
            PlistValue root = PlistValue::newDict();
            moved = PlistValue::fromString("inside");
            root.dictSet("m", moved);
        }
        QCOMPARE(moved.toString(), QString("inside"));
    }

    void keysAndCopies()
    {
        const PlistValue key = PlistValue::fromKey(QString::fromUtf8("cl\xc3\xa9"));
        QVERIFY(key.isKey());
        QCOMPARE(key.toKey(), QString::fromUtf8("cl\xc3\xa9"));
        QCOMPARE(key.toString(), QString());

        PlistValue d = PlistValue::newDict();
        d.dictSet("a", PlistValue::fromUInt64(1));
        const PlistValue c = PlistValue::copy(d);
        d.dictSet("a", PlistValue::fromUInt64(2));
        QCOMPARE(c.dictItem("a").toUInt64(), quint64(1));
        QVERIFY(PlistValue::copy(PlistValue()).isNull());

        // Borrowed wrappers never free; the explicit free does.
        plist_t raw = plist_new_string("raw");
        {
            PlistValue borrowed(raw, false);
        }
        QCOMPARE(plist_get_node_type(raw), PLIST_STRING);
        PlistNode holder(raw, false);
        holder.free();
        QVERIFY(holder.node() == nullptr);
    }
};

QTEST_GUILESS_MAIN(TestPlist)
#include "tst_plist.moc"
