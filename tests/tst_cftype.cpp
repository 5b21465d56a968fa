#include "iphone/applelibrary.h"
#include "iphone/cftype.h"
#include "tests/support/iphonesim.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {

CFTypeID typeIdOf(const char *function)
{
    auto fn = mobiledevice_cf_function<CFTypeID (*)()>(function);
    return fn ? fn() : 0;
}

long retainCount(const CFType &v)
{
    auto fn = mobiledevice_cf_function<long (*)(CFTypeRef)>("CFGetRetainCount");
    return fn ? fn(v.ref()) : -1;
}

// Which of the kind tests answer yes, as one comparable text.
QString kinds(const CFType &v)
{
    QStringList k;
    if (v.isNumber())
        k << "number";
    if (v.isBool())
        k << "bool";
    if (v.isString())
        k << "string";
    if (v.isData())
        k << "data";
    if (v.isDate())
        k << "date";
    if (v.isDictionary())
        k << "dictionary";
    if (v.isArray())
        k << "array";
    return k.join(',');
}

enum Maker { Int8, Int16, Int32, Int64, Float, Double, Index, True, False };

CFType make(int maker, double value)
{
    switch (maker) {
    case Int8:
        return CFType::fromNumber(qint8(value));
    case Int16:
        return CFType::fromNumber(qint16(value));
    case Int32:
        return CFType::fromNumber(qint32(value));
    case Int64:
        return CFType::fromNumber(qint64(value));
    case Float:
        return CFType::fromNumber(float(value));
    case Double:
        return CFType::fromNumber(value);
    case Index:
        return CFType::fromNumber(long(value));
    case True:
        return CFType::fromBool(true);
    default:
        return CFType::fromBool(false);
    }
}

// A binary property list {"a": 1} written byte by byte.
QByteArray handMadeBinaryPlist()
{
    QByteArray b("bplist00");
    b += QByteArray::fromHex("d10102"); // dictionary of one: key object 1, value object 2
    b += QByteArray::fromHex("5161"); // ASCII string "a"
    b += QByteArray::fromHex("1001"); // integer 1
    b += QByteArray::fromHex("080b0d"); // offsets of the three objects
    b += QByteArray(6, '\0');
    b += QByteArray::fromHex("0101"); // offset size, reference size
    b += QByteArray::fromHex("0000000000000003"); // object count
    b += QByteArray::fromHex("0000000000000000"); // top object
    b += QByteArray::fromHex("000000000000000f"); // offset table at 15
    return b;
}

const char *const kHandMadeXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                 "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                 "<plist version=\"1.0\">\n"
                                 "<dict>\n"
                                 "\t<key>DeviceName</key>\n"
                                 "\t<string>Zoë’s iPhone</string>\n"
                                 "\t<key>TotalDataCapacity</key>\n"
                                 "\t<integer>30000000000</integer>\n"
                                 "\t<key>WillEncrypt</key>\n"
                                 "\t<true/>\n"
                                 "\t<key>Ratio</key>\n"
                                 "\t<real>0.25</real>\n"
                                 "\t<key>Blob</key>\n"
                                 "\t<data>AAEC/w==</data>\n"
                                 "\t<key>When</key>\n"
                                 "\t<date>2013-05-01T10:20:30Z</date>\n"
                                 "\t<key>List</key>\n"
                                 "\t<array><string>a</string><integer>-7</integer></array>\n"
                                 "</dict>\n"
                                 "</plist>\n";

} // namespace

class TestCFType : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void emptyValueGivesDefaults();
    void strings_data();
    void strings();
    void numbersAndBooleans_data();
    void numbersAndBooleans();
    void numbersAtTheEdgesOf64Bits();
    void data();
    void dates();
    void dictionaries();
    void arrays();
    void containerReadsOutliveTheirContainer();
    void propertyListRoundTrip_data();
    void propertyListRoundTrip();
    void propertyListsWrittenElsewhereAreRead();
    void badPropertyListsGiveEmptyValues();
    void stringWithNulByteEndsThere();
    void datesBeyondThirtyTwoBitsAreWritten();
    void deepCopyIsIndependent();
    void ownership();

private:
    long m_baseline = 0;
};

void TestCFType::initTestCase()
{
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    m_baseline = iphonesim::liveObjects();
    QVERIFY(m_baseline >= 0);
}

void TestCFType::cleanupTestCase()
{
    // Every value the tests made has been released, and only once.
    QCOMPARE(iphonesim::liveObjects(), m_baseline);
}

void TestCFType::emptyValueGivesDefaults()
{
    const CFType none;
    const CFType nullRef(nullptr, true);
    for (const CFType &v : {none, nullRef}) {
        QVERIFY(v.isEmpty());
        QCOMPARE(v.typeId(), typeIdOf("CFNullGetTypeID"));
        QCOMPARE(kinds(v), QString());
        QCOMPARE(v.toInt(3), 3);
        QCOMPARE(v.toInt64(-4), qint64(-4));
        QCOMPARE(v.toDouble(1.5), 1.5);
        QCOMPARE(v.toBool(true), true);
        QCOMPARE(v.toQString(), QString());
        QCOMPARE(v.toString(), QString());
        QVERIFY(v.toByteArray().isNull());
        QVERIFY(!v.toDateTime().isValid());
        QCOMPARE(v.count(), CFIndex(0));
        QVERIFY(v.keys().isEmpty());
        QCOMPARE(v.arrayCount(), CFIndex(0));
        QVERIFY(v.at(0).isEmpty());
        QVERIFY(v.value(QStringLiteral("x")).isEmpty());
        QVERIFY(v.toPropertyListBytes(kCFPropertyListXMLFormat).isEmpty());
    }
    // Changes on a value of the wrong kind do nothing.
    CFType text = CFType::fromString(QStringLiteral("x"));
    text.setValue(QStringLiteral("k"), CFType::fromString(QStringLiteral("v")));
    text.append(CFType::fromBool(true));
    QCOMPARE(text.toQString(), QStringLiteral("x"));
    QCOMPARE(text.count(), CFIndex(0));
}

void TestCFType::strings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("utf16Length");
    QTest::newRow("ascii") << QStringLiteral("iPhone") << 6;
    QTest::newRow("empty text is a string of length 0") << QString() << 0;
    QTest::newRow("accents and curly quote") << QString::fromUtf8("Zoë’s") << 5;
    QTest::newRow("outside the BMP") << QString::fromUtf8("hi 😀") << 5;
    QTest::newRow("markup stays") << QStringLiteral("<b>&amp;</b>") << 12;
}

void TestCFType::strings()
{
    QFETCH(QString, text);
    QFETCH(int, utf16Length);
    const CFType v = CFType::fromString(text);
    QVERIFY(!v.isEmpty());
    QCOMPARE(kinds(v), QStringLiteral("string"));
    QCOMPARE(v.typeId(), typeIdOf("CFStringGetTypeID"));
    QCOMPARE(v.length(), CFIndex(utf16Length));
    QCOMPARE(v.toQString(), text);
    QCOMPARE(v.toString(), text);
    // A string is no number, boolean or data value.
    QCOMPARE(v.toInt(9), 9);
    QCOMPARE(v.toBool(true), true);
    QVERIFY(v.toByteArray().isNull());
    QCOMPARE(v.dataLength(), CFIndex(0));
}

void TestCFType::numbersAndBooleans_data()
{
    QTest::addColumn<int>("maker");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("asInt");
    QTest::addColumn<qint64>("asInt64");
    QTest::addColumn<double>("asDouble");
    QTest::addColumn<bool>("asBool");
    QTest::addColumn<QString>("text");
    // Defaults used below: toInt(-1), toInt64(-1), toDouble(-1), toBool(true)
    // for values that are numbers, toBool(false) for booleans' opposite check.
    QTest::newRow("8-bit") << int(Int8) << -5.0 << "number" << -5 << qint64(-5) << -5.0 << true
                           << "-5";
    QTest::newRow("16-bit") << int(Int16) << 30000.0 << "number" << 30000 << qint64(30000)
                            << 30000.0 << true << "30000";
    QTest::newRow("32-bit minimum")
            << int(Int32) << -2147483648.0 << "number" << int(-2147483648LL)
            << qint64(-2147483648LL) << -2147483648.0 << true << "-2147483648";
    QTest::newRow("64-bit beyond 32 bits: toInt gives the default")
            << int(Int64) << 5000000000.0 << "number" << -1 << qint64(5000000000LL) << 5000000000.0
            << true << "5000000000";
    QTest::newRow("float with a fraction: no integer")
            << int(Float) << 1.5 << "number" << -1 << qint64(-1) << 1.5 << true << "1.5";
    QTest::newRow("double 0.1") << int(Double) << 0.1 << "number" << -1 << qint64(-1) << 0.1 << true
                                << "0.1";
    QTest::newRow("whole double") << int(Double) << 2.0 << "number" << 2 << qint64(2) << 2.0 << true
                                  << "2";
    QTest::newRow("CFIndex") << int(Index) << 42.0 << "number" << 42 << qint64(42) << 42.0 << true
                             << "42";
    QTest::newRow("true is no number")
            << int(True) << 0.0 << "bool" << -1 << qint64(-1) << -1.0 << true << "1";
    QTest::newRow("false is no number")
            << int(False) << 0.0 << "bool" << -1 << qint64(-1) << -1.0 << false << "0";
}

void TestCFType::numbersAndBooleans()
{
    QFETCH(int, maker);
    QFETCH(double, value);
    QFETCH(QString, kind);
    QFETCH(int, asInt);
    QFETCH(qint64, asInt64);
    QFETCH(double, asDouble);
    QFETCH(bool, asBool);
    QFETCH(QString, text);
    const CFType v = make(maker, value);
    QCOMPARE(kinds(v), kind);
    QCOMPARE(v.toInt(-1), asInt);
    QCOMPARE(v.toInt64(-1), asInt64);
    QCOMPARE(v.toDouble(-1), asDouble);
    if (kind == QLatin1String("bool")) {
        QCOMPARE(v.toBool(!asBool), asBool);
    } else {
        // toBool on a number gives the default, either way.
        QCOMPARE(v.toBool(true), true);
        QCOMPARE(v.toBool(false), false);
    }
    QCOMPARE(v.toString(), text);
    QCOMPARE(v.toQString(), QString());
}

// Values at the edge of the 64-bit range convert exactly or give the default,
// never a value that merely wrapped around.
void TestCFType::numbersAtTheEdgesOf64Bits()
{
    const qint64 max = std::numeric_limits<qint64>::max();
    const CFType largest = CFType::fromNumber(max);
    QCOMPARE(largest.toInt64(-1), max);
    QCOMPARE(largest.toDouble(-1), -1.0); // 2^63 - 1 is no double
    QCOMPARE(largest.toString(), QString::number(max));
    const CFType odd = CFType::fromNumber((qint64(1) << 53) + 1);
    QCOMPARE(odd.toDouble(-1), -1.0);
    QCOMPARE(CFType::fromNumber(qint64(1) << 53).toDouble(-1), 9007199254740992.0);

    const CFType twoTo63 = CFType::fromNumber(9223372036854775808.0);
    QCOMPARE(twoTo63.toInt64(-1), qint64(-1));
    QCOMPARE(twoTo63.toInt(-1), -1);
    QCOMPARE(twoTo63.toDouble(-1), 9223372036854775808.0);
    const CFType lowest = CFType::fromNumber(-9223372036854775808.0);
    QCOMPARE(lowest.toInt64(-1), std::numeric_limits<qint64>::min());
}

void TestCFType::data()
{
    const QByteArray bytes("\x00\x01zoë\xff", 7);
    const CFType v = CFType::fromByteArray(bytes);
    QCOMPARE(kinds(v), QStringLiteral("data"));
    QCOMPARE(v.dataLength(), CFIndex(7));
    QCOMPARE(v.toByteArray(), bytes);
    QCOMPARE(CFType::fromByteArray("text").toString(), QStringLiteral("text"));

    const CFType empty = CFType::fromByteArray(QByteArray());
    QCOMPARE(kinds(empty), QStringLiteral("data"));
    QCOMPARE(empty.dataLength(), CFIndex(0));
    QVERIFY(empty.toByteArray().isNull());
}

void TestCFType::dates()
{
    // The date-time's own fields are taken as they stand; milliseconds go.
    const QDateTime when(QDate(2013, 5, 1), QTime(10, 20, 30, 999), Qt::LocalTime);
    const CFType v = CFType::fromDateTime(when);
    QCOMPARE(kinds(v), QStringLiteral("date"));
    const QDateTime back = v.toDateTime();
    QCOMPARE(back, QDateTime(QDate(2013, 5, 1), QTime(10, 20, 30), Qt::LocalTime));
    QCOMPARE(back.timeSpec(), Qt::LocalTime);
    QCOMPARE(v.toDateTime(QString()), back);
    QCOMPARE(v.toDateTime(3600), QDateTime(QDate(2013, 5, 1), QTime(11, 20, 30), Qt::LocalTime));
    QCOMPARE(v.toDateTime(-5 * 3600 - 1800),
             QDateTime(QDate(2013, 5, 1), QTime(4, 50, 30), Qt::LocalTime));
    QCOMPARE(v.toDateTime(QStringLiteral("Asia/Tokyo")),
             QDateTime(QDate(2013, 5, 1), QTime(19, 20, 30), Qt::LocalTime));
    QCOMPARE(v.toString(), back.toString());

    // A date before 2001 and one across a year end.
    const CFType old = CFType::fromDateTime(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)));
    QCOMPARE(old.toDateTime(3600), QDateTime(QDate(2000, 1, 1), QTime(0, 59, 59)));

    QVERIFY(!CFType::fromString(QStringLiteral("2013")).toDateTime().isValid());
    QVERIFY(!CFType::fromNumber(5).toDateTime(3600).isValid());
    QVERIFY(CFType::fromDateTime(QDateTime()).isEmpty());
}

void TestCFType::dictionaries()
{
    CFType dict = CFType::newDictionary();
    QCOMPARE(kinds(dict), QStringLiteral("dictionary"));
    QCOMPARE(dict.count(), CFIndex(0));
    QVERIFY(dict.keys().isEmpty());

    dict.setValue(QStringLiteral("DeviceName"), CFType::fromString(QStringLiteral("Phone")))
            .setValue(CFType::fromString(QStringLiteral("Count")), CFType::fromNumber(3))
            .setValue(QStringLiteral("On"), CFType::fromBool(true));
    QCOMPARE(dict.count(), CFIndex(3));
    QCOMPARE(dict.value(QStringLiteral("DeviceName")).toQString(), QStringLiteral("Phone"));
    QCOMPARE(dict.value(CFType::fromString(QStringLiteral("Count"))).toInt(), 3);
    QCOMPARE(dict.value(QStringLiteral("On")).toBool(false), true);
    QVERIFY(dict.value(QStringLiteral("Missing")).isEmpty());
    QVERIFY(dict.value(CFType()).isEmpty());

    QStringList keys;
    for (const CFType &k : dict.keys())
        keys << k.toQString();
    keys.sort();
    QCOMPARE(keys, (QStringList {"Count", "DeviceName", "On"}));

    // Setting one key twice, with the same key value, keeps one entry
    // holding the second value.
    const CFType key = CFType::fromString(QStringLiteral("Mode"));
    dict.setValue(key, CFType::fromString(QStringLiteral("first")));
    dict.setValue(key, CFType::fromString(QStringLiteral("second")));
    QCOMPARE(dict.count(), CFIndex(4));
    QCOMPARE(dict.value(QStringLiteral("Mode")).toQString(), QStringLiteral("second"));

    // Empty keys and values are refused rather than handed to the library.
    dict.setValue(CFType(), CFType::fromNumber(1));
    dict.setValue(QStringLiteral("Nothing"), CFType());
    QCOMPARE(dict.count(), CFIndex(4));
}

void TestCFType::arrays()
{
    CFType array = CFType::newArray();
    QCOMPARE(kinds(array), QStringLiteral("array"));
    array.append(CFType::fromString(QStringLiteral("UserDatabases")))
            .append(CFType::fromNumber(qint64(7)))
            .append(CFType::newDictionary());
    QCOMPARE(array.arrayCount(), CFIndex(3));
    QCOMPARE(array.at(0).toQString(), QStringLiteral("UserDatabases"));
    QCOMPARE(array.at(1).toInt64(), qint64(7));
    QVERIFY(array.at(2).isDictionary());
    // Outside the array: an empty value, nothing read.
    QVERIFY(array.at(3).isEmpty());
    QVERIFY(array.at(-1).isEmpty());
    array.append(CFType());
    QCOMPARE(array.arrayCount(), CFIndex(3));
}

void TestCFType::containerReadsOutliveTheirContainer()
{
    CFType fromDict, fromArray;
    QList<CFType> keys;
    {
        CFType dict = CFType::newDictionary();
        dict.setValue(QStringLiteral("Name"), CFType::fromString(QStringLiteral("kept")));
        CFType array = CFType::newArray();
        array.append(CFType::fromString(QStringLiteral("element")));
        fromDict = dict.value(QStringLiteral("Name"));
        fromArray = array.at(0);
        keys = dict.keys();
    }
    // The containers are gone; what was read from them is still there.
    QCOMPARE(fromDict.toQString(), QStringLiteral("kept"));
    QCOMPARE(fromArray.toQString(), QStringLiteral("element"));
    QCOMPARE(keys.size(), 1);
    QCOMPARE(keys.first().toQString(), QStringLiteral("Name"));
}

void TestCFType::propertyListRoundTrip_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QByteArray>("prefix");
    QTest::newRow("XML") << int(kCFPropertyListXMLFormat) << QByteArray("<?xml");
    QTest::newRow("binary") << int(kCFPropertyListBinaryFormat) << QByteArray("bplist00");
}

void TestCFType::propertyListRoundTrip()
{
    QFETCH(int, format);
    QFETCH(QByteArray, prefix);
    const QDateTime when(QDate(2014, 2, 3), QTime(4, 5, 6));
    CFType inner = CFType::newDictionary();
    inner.setValue(QStringLiteral("CloudBackupEnabled"), CFType::fromBool(false));
    CFType list = CFType::newArray();
    list.append(CFType::fromString(QStringLiteral("UserDatabases"))).append(inner);
    CFType dict = CFType::newDictionary();
    dict.setValue(QStringLiteral("text"), CFType::fromString(QString::fromUtf8("Zoë 😀 <&>")))
            .setValue(QStringLiteral("empty"), CFType::fromString(QString()))
            .setValue(QStringLiteral("small"), CFType::fromNumber(12))
            .setValue(QStringLiteral("negative"), CFType::fromNumber(-12))
            .setValue(QStringLiteral("big"), CFType::fromNumber(qint64(64000000000LL)))
            .setValue(QStringLiteral("real"), CFType::fromNumber(0.1))
            .setValue(QStringLiteral("yes"), CFType::fromBool(true))
            .setValue(QStringLiteral("bytes"), CFType::fromByteArray(QByteArray("\0\x80\xff", 3)))
            .setValue(QStringLiteral("when"), CFType::fromDateTime(when))
            .setValue(QStringLiteral("list"), list);

    const QByteArray bytes = dict.toPropertyListBytes(format);
    QVERIFY(bytes.startsWith(prefix));
    QVERIFY(dict.toPropertyListData(format).isData());
    const CFType back = CFType::fromPropertyListBytes(bytes);
    QVERIFY(back.isDictionary());
    QCOMPARE(back.count(), dict.count());
    QCOMPARE(back.value(QStringLiteral("text")).toQString(), QString::fromUtf8("Zoë 😀 <&>"));
    QVERIFY(back.value(QStringLiteral("empty")).isString());
    QCOMPARE(back.value(QStringLiteral("empty")).toQString(), QString());
    QCOMPARE(back.value(QStringLiteral("small")).toInt(), 12);
    QCOMPARE(back.value(QStringLiteral("negative")).toInt(), -12);
    QCOMPARE(back.value(QStringLiteral("big")).toInt64(), qint64(64000000000LL));
    QCOMPARE(back.value(QStringLiteral("big")).toString(), QStringLiteral("64000000000"));
    QCOMPARE(back.value(QStringLiteral("real")).toDouble(), 0.1);
    QCOMPARE(back.value(QStringLiteral("yes")).toBool(false), true);
    QCOMPARE(back.value(QStringLiteral("bytes")).toByteArray(), QByteArray("\0\x80\xff", 3));
    QCOMPARE(back.value(QStringLiteral("when")).toDateTime(), when);
    const CFType backList = back.value(QStringLiteral("list"));
    QCOMPARE(backList.arrayCount(), CFIndex(2));
    QCOMPARE(backList.at(0).toQString(), QStringLiteral("UserDatabases"));
    QVERIFY(backList.at(1).value(QStringLiteral("CloudBackupEnabled")).isBool());
    QCOMPARE(backList.at(1).value(QStringLiteral("CloudBackupEnabled")).toBool(true), false);

    // Scalars and arrays stand alone as property lists too.
    QCOMPARE(CFType::fromPropertyListBytes(CFType::fromNumber(5).toPropertyListBytes(format))
                     .toInt(),
             5);
    QCOMPARE(CFType::fromPropertyListBytes(list.toPropertyListBytes(format)).arrayCount(),
             CFIndex(2));
}

void TestCFType::propertyListsWrittenElsewhereAreRead()
{
    const CFType bin = CFType::fromPropertyListBytes(handMadeBinaryPlist());
    QVERIFY(bin.isDictionary());
    QCOMPARE(bin.value(QStringLiteral("a")).toInt(), 1);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("values.plist"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(kHandMadeXml);
    f.close();
    const CFType xml = CFType::fromPropertyListFile(path);
    QVERIFY(xml.isDictionary());
    QCOMPARE(xml.value(QStringLiteral("DeviceName")).toQString(),
             QString::fromUtf8("Zoë’s iPhone"));
    QCOMPARE(xml.value(QStringLiteral("TotalDataCapacity")).toInt64(), qint64(30000000000LL));
    QCOMPARE(xml.value(QStringLiteral("TotalDataCapacity")).toInt(-1), -1);
    QCOMPARE(xml.value(QStringLiteral("WillEncrypt")).toBool(false), true);
    QCOMPARE(xml.value(QStringLiteral("Ratio")).toString(), QStringLiteral("0.25"));
    QCOMPARE(xml.value(QStringLiteral("Blob")).toByteArray(), QByteArray::fromHex("000102ff"));
    QCOMPARE(xml.value(QStringLiteral("When")).toDateTime(),
             QDateTime(QDate(2013, 5, 1), QTime(10, 20, 30), Qt::LocalTime));
    QCOMPARE(xml.value(QStringLiteral("List")).at(1).toInt(), -7);
}

void TestCFType::badPropertyListsGiveEmptyValues()
{
    QVERIFY(CFType::fromPropertyListBytes(QByteArray()).isEmpty());
    QVERIFY(CFType::fromPropertyListBytes("not a property list").isEmpty());
    QVERIFY(CFType::fromPropertyListBytes("<?xml version=\"1.0\"?><plist><dict><key>a").isEmpty());
    QByteArray truncated = handMadeBinaryPlist();
    truncated.chop(10);
    QVERIFY(CFType::fromPropertyListBytes(truncated).isEmpty());
    // An offset table pointing past the end.
    QByteArray lying = handMadeBinaryPlist();
    lying[15] = char(0x7f);
    QVERIFY(CFType::fromPropertyListBytes(lying).isEmpty());
    QVERIFY(CFType::fromPropertyListFile(QStringLiteral("/nonexistent/x.plist")).isEmpty());
}

// A device's binary list whose string holds a NUL byte: read up to it, no
// abort inside the property-list library.
void TestCFType::stringWithNulByteEndsThere()
{
    // {"a": "b", NUL, "c"}, the value a UTF-16 string.
    QByteArray b("bplist00");
    b += QByteArray::fromHex("d10102"); // dictionary of one: key object 1, value object 2
    b += QByteArray::fromHex("5161"); // ASCII string "a"
    b += QByteArray::fromHex("63006200000063"); // UTF-16 string of three: "b", NUL, "c"
    b += QByteArray::fromHex("080b0d"); // offsets of the three objects
    b += QByteArray(6, '\0');
    b += QByteArray::fromHex("0101"); // offset size, reference size
    b += QByteArray::fromHex("0000000000000003"); // object count
    b += QByteArray::fromHex("0000000000000000"); // top object
    b += QByteArray::fromHex("0000000000000014"); // offset table at 20
    const CFType v = CFType::fromPropertyListBytes(b);
    QVERIFY(v.isDictionary());
    QCOMPARE(v.value(QStringLiteral("a")).toQString(), QString("b"));

    // {"k", NUL, "x": "v"}: the key a UTF-16 string with a NUL.
    QByteArray k("bplist00");
    k += QByteArray::fromHex("d10102");
    k += QByteArray::fromHex("63006b00000078"); // UTF-16 string of three: "k", NUL, "x"
    k += QByteArray::fromHex("5176"); // ASCII string "v"
    k += QByteArray::fromHex("080b12"); // offsets of the three objects
    k += QByteArray(6, '\0');
    k += QByteArray::fromHex("0101");
    k += QByteArray::fromHex("0000000000000003");
    k += QByteArray::fromHex("0000000000000000");
    k += QByteArray::fromHex("0000000000000014");
    const CFType withKey = CFType::fromPropertyListBytes(k);
    QVERIFY(withKey.isDictionary());
    QCOMPARE(withKey.value(QStringLiteral("k")).toQString(), QString("v"));
}

// A binary list's date is a double; written again, a date before the
// lowest 32-bit second becomes that second rather than a wrapped value.
void TestCFType::datesBeyondThirtyTwoBitsAreWritten()
{
    for (const char *when : {"c1e0000000100000", "c1e0000000000000", "41dfffffffc00000"}) {
        QByteArray b("bplist00");
        b += QByteArray::fromHex("33") + QByteArray::fromHex(when); // a date of 8 bytes
        b += QByteArray::fromHex("08"); // offset of the object
        b += QByteArray(6, '\0');
        b += QByteArray::fromHex("0101");
        b += QByteArray::fromHex("0000000000000001");
        b += QByteArray::fromHex("0000000000000000");
        b += QByteArray::fromHex("0000000000000011"); // offset table at 17
        const CFType v = CFType::fromPropertyListBytes(b);
        QVERIFY2(v.isDate(), when);
        const CFType again = CFType::fromPropertyListBytes(v.toPropertyListBytes(kCFPropertyListXMLFormat));
        QVERIFY2(again.isDate(), when);
        QVERIFY(v.toDateTime(0).isValid());
    }
}

void TestCFType::deepCopyIsIndependent()
{
    CFType dict = CFType::newDictionary();
    dict.setValue(QStringLiteral("k"), CFType::fromString(QStringLiteral("before")));
    const CFType copy = CFType::deepCopy(dict);
    dict.setValue(QStringLiteral("k"), CFType::fromString(QStringLiteral("after")));
    dict.setValue(QStringLiteral("extra"), CFType::fromNumber(1));
    QVERIFY(copy.ref() != dict.ref());
    QCOMPARE(copy.count(), CFIndex(1));
    QCOMPARE(copy.value(QStringLiteral("k")).toQString(), QStringLiteral("before"));
    QVERIFY(CFType::deepCopy(CFType()).isEmpty());
}

void TestCFType::ownership()
{
    const long before = iphonesim::liveObjects();
    {
        // A copy outlives the value it was copied from; one release, at the end.
        CFType copy;
        {
            const CFType original = CFType::fromString(QStringLiteral("shared"));
            copy = original;
            QCOMPARE(copy.ref(), original.ref());
            QCOMPARE(retainCount(original), 1L);
        }
        QCOMPARE(copy.toQString(), QStringLiteral("shared"));
        QCOMPARE(retainCount(copy), 1L);

        // A borrowed wrapper never releases.
        {
            const CFType borrowed(copy.ref(), false);
            const CFType again = borrowed;
            QCOMPARE(again.toQString(), QStringLiteral("shared"));
        }
        QCOMPARE(retainCount(copy), 1L);

        // Container reads hold their own reference and give it back.
        CFType dict = CFType::newDictionary();
        dict.setValue(QStringLiteral("v"), copy);
        const long held = retainCount(copy);
        {
            const CFType read = dict.value(QStringLiteral("v"));
            QCOMPARE(retainCount(copy), held + 1);
        }
        QCOMPARE(retainCount(copy), held);

        // Values built, serialised, parsed and copied, many times over.
        for (int i = 0; i < 50; ++i) {
            CFType array = CFType::newArray();
            array.append(CFType::fromNumber(i))
                    .append(CFType::fromDateTime(QDateTime::currentDateTime()));
            CFType d = CFType::newDictionary();
            d.setValue(QStringLiteral("a"), array).setValue(QStringLiteral("b"), array);
            const CFType parsed = CFType::fromPropertyListBytes(d.toPropertyListBytes(
                    i % 2 ? kCFPropertyListBinaryFormat : kCFPropertyListXMLFormat));
            QCOMPARE(parsed.value(QStringLiteral("b")).at(0).toInt(), i);
            const CFType deep = CFType::deepCopy(parsed);
            QCOMPARE(deep.keys().size(), 2);
            QVERIFY(d.value(QStringLiteral("a")).at(1).toDateTime(QStringLiteral("UTC")).isValid());
        }
        QVERIFY(iphonesim::liveObjects() > before);
    }
    QCOMPARE(iphonesim::liveObjects(), before);
}

QTEST_GUILESS_MAIN(TestCFType)
#include "tst_cftype.moc"
