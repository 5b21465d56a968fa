// The values a device sends, as CFType reads them: any bytes are taken as a
// property list (XML or binary), and whatever comes out is walked with every
// reading call. Nothing crashes; what is read stays consistent (counts match
// the keys and elements handed out, a copy through XML reads back the same);
// the bytes and texts put in come back unchanged; and once the values are
// gone the library holds no object more than before.
#include "fuzz/servicefuzz.h"
#include "iphone/cftype.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

long liveObjects()
{
    auto fn = mobiledevice_cf_function<long (*)()>("CFStandinLiveObjectCount");
    return fn ? fn() : 0;
}

// Every reading call on the value and, within a depth, on what it holds;
// a text of what was read, for comparing two values.
QString walk(const CFType &v, int depth)
{
    QString out = QString::number(qulonglong(v.typeId())) + QLatin1Char(':');
    // The scalar readers answer on any kind of value.
    out += QString::number(v.toInt()) + QLatin1Char(',') + QString::number(v.toInt64())
            + QLatin1Char(',') + QString::number(v.toBool());
    (void)v.toDouble();
    (void)v.length();
    const QString text = v.toQString();
    const QByteArray bytes = v.toByteArray();
    if (bytes.size() != v.dataLength())
        std::abort();
    out += QLatin1Char(',') + text + QLatin1Char(',') + QString::fromLatin1(bytes.toHex());
    const QString asText = v.toString();
    if (!v.isDate())
        out += QLatin1Char(',') + asText;
    if (v.isDate()) {
        // A property list keeps a date's seconds in 32 bits from 2001; one
        // beyond them is written as the nearest it holds, so it is not
        // compared.
        const QDateTime at = v.toDateTime(0);
        const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
        const qint64 seconds = epoch.secsTo(QDateTime(at.date(), at.time(), Qt::UTC));
        out += seconds > -2147483647 && seconds < 2147483647 ? at.toString(Qt::ISODate)
                                                              : QStringLiteral("far");
        (void)v.toDateTime(-5 * 3600);
        (void)v.toDateTime(QStringLiteral("Europe/Berlin"));
    }
    if (depth > 32)
        return out;
    if (v.isDictionary()) {
        const QList<CFType> keys = v.keys();
        if (keys.size() != v.count())
            std::abort();
        QStringList entries;
        for (const CFType &k : keys) {
            const CFType value = v.value(k);
            if (value.isEmpty())
                std::abort();
            // Looking up by the key's text finds the same entry.
            if (k.isString() && v.value(k.toQString()).ref() != value.ref())
                std::abort();
            entries << walk(k, depth + 1) + QLatin1Char('=') + walk(value, depth + 1);
        }
        entries.sort();
        out += QLatin1Char('{') + entries.join(QLatin1Char(';')) + QLatin1Char('}');
    }
    if (v.isArray()) {
        const CFIndex n = v.arrayCount();
        out += QLatin1Char('[');
        for (CFIndex i = 0; i < n; ++i) {
            const CFType e = v.at(i);
            if (e.isEmpty())
                std::abort();
            out += walk(e, depth + 1) + QLatin1Char(';');
        }
        out += QLatin1Char(']');
        if (!v.at(n).isEmpty() || !v.at(-1).isEmpty())
            std::abort();
    }
    return out;
}

void run(const QByteArray &bytes)
{
    // Raw bytes and texts come back as they were put in.
    if (!bytes.isEmpty() && CFType::fromByteArray(bytes).toByteArray() != bytes)
        std::abort();
    const QString text = QString::fromUtf8(bytes);
    if (!text.isEmpty() && CFType::fromString(text).toQString() != text)
        std::abort();

    const CFType value = CFType::fromPropertyListBytes(bytes);
    if (value.isEmpty())
        return;
    const QString read = walk(value, 0);

    // Built into new containers as the program builds its requests.
    CFType dict = CFType::newDictionary();
    dict.setValue(QStringLiteral("Value"), value);
    CFType list = CFType::newArray();
    list.append(value).append(dict);
    if (dict.value(QStringLiteral("Value")).ref() != value.ref() || list.arrayCount() != 2)
        std::abort();

    // A value the library can write reads back the same from both formats.
    for (const int format : {kCFPropertyListXMLFormat, kCFPropertyListBinaryFormat}) {
        const QByteArray written = value.toPropertyListBytes(format);
        if (written.isEmpty())
            continue;
        const CFType again = CFType::fromPropertyListBytes(written);
        if (again.isEmpty() || walk(again, 0) != read)
            std::abort();
    }
    const CFType copy = CFType::deepCopy(value);
    if (!value.toPropertyListBytes(kCFPropertyListXMLFormat).isEmpty() && walk(copy, 0) != read)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    loadCoreFoundationStandIn();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const long before = liveObjects();
    run(bytes);
    if (liveObjects() != before)
        std::abort();
    return 0;
}
