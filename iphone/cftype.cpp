#include "iphone/cftype.h"

#include "iphone/applelibrary.h"

#include <QDate>
#include <QFile>
#include <QTime>

#include <atomic>
#include <cstdint>
#include <vector>

namespace {

using CFAllocatorRef = const void *;
using CFErrorRef = void *;
using Boolean = unsigned char;

struct CFRange
{
    CFIndex location;
    CFIndex length;
};

struct CFGregorianDate
{
    int32_t year;
    int8_t month;
    int8_t day;
    int8_t hour;
    int8_t minute;
    double second;
};

constexpr uint32_t kCFStringEncodingUTF8 = 0x08000100;

template<typename Fn> Fn cf(const char *name)
{
    return mobiledevice_cf_function<Fn>(name);
}

void release(CFTypeRef ref)
{
    if (auto fn = cf<void (*)(CFTypeRef)>("CFRelease"))
        fn(ref);
}

// A call-back table of the library, looked up on first use and kept for the
// life of the process. A lookup that finds nothing (the library not loaded
// yet) is not kept, so a later use after loading still finds the table.
const void *callBackTable(std::atomic<const void *> &slot, const char *name)
{
    const void *table = slot.load(std::memory_order_acquire);
    if (!table) {
        table = mobiledevice_resolve_cf(name);
        if (table)
            slot.store(table, std::memory_order_release);
    }
    return table;
}

const void *dictionaryKeyCallBacks()
{
    static std::atomic<const void *> slot {nullptr};
    return callBackTable(slot, "kCFTypeDictionaryKeyCallBacks");
}

const void *dictionaryValueCallBacks()
{
    static std::atomic<const void *> slot {nullptr};
    return callBackTable(slot, "kCFTypeDictionaryValueCallBacks");
}

const void *arrayCallBacks()
{
    static std::atomic<const void *> slot {nullptr};
    return callBackTable(slot, "kCFTypeArrayCallBacks");
}

CFType number(int type, const void *value)
{
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, CFIndex, const void *)>("CFNumberCreate");
    return fn ? CFType(fn(nullptr, type, value), true) : CFType();
}

} // namespace

CFRefHolder::~CFRefHolder()
{
    if (owned && ref)
        release(ref);
}

CFType::CFType(CFTypeRef ref, bool owned)
    : holder(QSharedPointer<CFRefHolder>::create(ref, owned))
{ }

CFType::~CFType() = default;

CFType CFType::retained(CFTypeRef ref)
{
    if (!ref)
        return {};
    auto retain = cf<CFTypeRef (*)(CFTypeRef)>("CFRetain");
    if (!retain)
        return CFType(ref, false);
    return CFType(retain(ref), true);
}

CFType CFType::fromString(const QString &text)
{
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, const uint8_t *, CFIndex, uint32_t, Boolean)>(
            "CFStringCreateWithBytes");
    if (!fn)
        return {};
    const QByteArray utf8 = text.toUtf8();
    return CFType(fn(nullptr, reinterpret_cast<const uint8_t *>(utf8.constData()), utf8.size(),
                     kCFStringEncodingUTF8, false),
                  true);
}

CFType CFType::fromByteArray(const QByteArray &bytes)
{
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, const uint8_t *, CFIndex)>("CFDataCreate");
    if (!fn)
        return {};
    return CFType(fn(nullptr, reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size()),
                  true);
}

CFType CFType::fromNumber(qint8 value)
{
    return number(1, &value);
}
CFType CFType::fromNumber(qint16 value)
{
    return number(2, &value);
}
CFType CFType::fromNumber(qint32 value)
{
    return number(3, &value);
}
CFType CFType::fromNumber(qint64 value)
{
    return number(4, &value);
}
CFType CFType::fromNumber(float value)
{
    return number(5, &value);
}
CFType CFType::fromNumber(double value)
{
    return number(6, &value);
}
CFType CFType::fromNumber(long value)
{
    return number(14, &value);
}

CFType CFType::fromBool(bool value)
{
    auto datum = static_cast<const CFTypeRef *>(
            mobiledevice_resolve_cf(value ? "kCFBooleanTrue" : "kCFBooleanFalse"));
    return datum ? CFType(*datum, false) : CFType();
}

CFType CFType::fromDateTime(const QDateTime &dateTime)
{
    auto toAbsolute
            = cf<double (*)(CFGregorianDate, CFTimeZoneRef)>("CFGregorianDateGetAbsoluteTime");
    auto create = cf<CFTypeRef (*)(CFAllocatorRef, double)>("CFDateCreate");
    if (!toAbsolute || !create || !dateTime.isValid())
        return {};
    const QDate d = dateTime.date();
    const QTime t = dateTime.time();
    const CFGregorianDate g {int32_t(d.year()), int8_t(d.month()),  int8_t(d.day()),
                             int8_t(t.hour()),  int8_t(t.minute()), double(t.second())};
    return CFType(create(nullptr, toAbsolute(g, nullptr)), true);
}

CFType CFType::newDictionary()
{
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, CFIndex, const void *, const void *)>(
            "CFDictionaryCreateMutable");
    const void *keys = dictionaryKeyCallBacks();
    const void *values = dictionaryValueCallBacks();
    // Without the library's tables the dictionary would not keep its entries.
    if (!fn || !keys || !values)
        return {};
    return CFType(fn(nullptr, 0, keys, values), true);
}

CFType CFType::newArray()
{
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, CFIndex, const void *)>("CFArrayCreateMutable");
    const void *callBacks = arrayCallBacks();
    if (!fn || !callBacks)
        return {};
    return CFType(fn(nullptr, 0, callBacks), true);
}

CFType CFType::fromPropertyListBytes(const QByteArray &bytes)
{
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, CFTypeRef, unsigned long, CFIndex *, CFErrorRef *)>(
            "CFPropertyListCreateWithData");
    const CFType data = fromByteArray(bytes);
    if (!fn || data.isEmpty())
        return {};
    CFIndex format = 0;
    CFErrorRef error = nullptr;
    CFType result(fn(nullptr, data.ref(), 0, &format, &error), true);
    if (error)
        release(error);
    return result;
}

CFType CFType::fromPropertyListFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return fromPropertyListBytes(file.readAll());
}

CFType CFType::deepCopy(const CFType &value)
{
    return fromPropertyListBytes(value.toPropertyListBytes(kCFPropertyListXMLFormat));
}

CFTypeRef CFType::ref() const
{
    return holder ? holder->ref : nullptr;
}

CFTypeID CFType::typeId() const
{
    if (isEmpty()) {
        auto null = cf<CFTypeID (*)()>("CFNullGetTypeID");
        return null ? null() : 0;
    }
    auto fn = cf<CFTypeID (*)(CFTypeRef)>("CFGetTypeID");
    return fn ? fn(ref()) : 0;
}

bool CFType::hasType(const char *typeIdFunction) const
{
    if (isEmpty())
        return false;
    auto fn = cf<CFTypeID (*)()>(typeIdFunction);
    return fn && typeId() == fn();
}

bool CFType::isNumber() const
{
    return hasType("CFNumberGetTypeID");
}
bool CFType::isBool() const
{
    return hasType("CFBooleanGetTypeID");
}
bool CFType::isString() const
{
    return hasType("CFStringGetTypeID");
}
bool CFType::isData() const
{
    return hasType("CFDataGetTypeID");
}
bool CFType::isDate() const
{
    return hasType("CFDateGetTypeID");
}
bool CFType::isDictionary() const
{
    return hasType("CFDictionaryGetTypeID");
}
bool CFType::isArray() const
{
    return hasType("CFArrayGetTypeID");
}

namespace {

template<typename T> T numberValue(const CFType &v, int type, T defaultValue)
{
    if (!v.isNumber())
        return defaultValue;
    auto fn = cf<Boolean (*)(CFTypeRef, CFIndex, void *)>("CFNumberGetValue");
    T out {};
    return fn && fn(v.ref(), type, &out) ? out : defaultValue;
}

} // namespace

int CFType::toInt(int defaultValue) const
{
    return numberValue<int32_t>(*this, 3, defaultValue);
}

qint64 CFType::toInt64(qint64 defaultValue) const
{
    return numberValue<int64_t>(*this, 4, defaultValue);
}

double CFType::toDouble(double defaultValue) const
{
    return numberValue<double>(*this, 6, defaultValue);
}

bool CFType::toBool(bool defaultValue) const
{
    if (!isBool())
        return defaultValue;
    // The library's true is one shared value.
    auto datum = static_cast<const CFTypeRef *>(mobiledevice_resolve_cf("kCFBooleanTrue"));
    return datum && *datum == ref();
}

CFIndex CFType::length() const
{
    if (!isString())
        return 0;
    auto fn = cf<CFIndex (*)(CFTypeRef)>("CFStringGetLength");
    return fn ? fn(ref()) : 0;
}

QString CFType::toQString() const
{
    if (!isString())
        return {};
    auto fn = cf<CFIndex (*)(CFTypeRef, CFRange, uint32_t, uint8_t, Boolean, uint8_t *, CFIndex,
                             CFIndex *)>("CFStringGetBytes");
    if (!fn)
        return {};
    const CFIndex n = length();
    CFIndex bytes = 0;
    if (fn(ref(), {0, n}, kCFStringEncodingUTF8, '?', false, nullptr, 0, &bytes) <= 0 || bytes <= 0)
        return {};
    std::vector<uint8_t> buffer(static_cast<size_t>(bytes));
    CFIndex used = 0;
    if (fn(ref(), {0, n}, kCFStringEncodingUTF8, '?', false, buffer.data(), bytes, &used) <= 0)
        return {};
    return QString::fromUtf8(reinterpret_cast<const char *>(buffer.data()), qsizetype(used));
}

CFIndex CFType::dataLength() const
{
    if (!isData())
        return 0;
    auto fn = cf<CFIndex (*)(CFTypeRef)>("CFDataGetLength");
    return fn ? fn(ref()) : 0;
}

QByteArray CFType::toByteArray() const
{
    const CFIndex n = dataLength();
    auto fn = cf<void (*)(CFTypeRef, CFRange, uint8_t *)>("CFDataGetBytes");
    if (n <= 0 || !fn)
        return {};
    QByteArray bytes(qsizetype(n), '\0');
    fn(ref(), {0, n}, reinterpret_cast<uint8_t *>(bytes.data()));
    return bytes;
}

QDateTime CFType::dateIn(CFTimeZoneRef zone) const
{
    if (!isDate())
        return {};
    auto absolute = cf<double (*)(CFTypeRef)>("CFDateGetAbsoluteTime");
    auto gregorian
            = cf<CFGregorianDate (*)(double, CFTimeZoneRef)>("CFAbsoluteTimeGetGregorianDate");
    if (!absolute || !gregorian)
        return {};
    const CFGregorianDate g = gregorian(absolute(ref()), zone);
    return QDateTime(QDate(g.year, g.month, g.day), QTime(g.hour, g.minute, int(g.second)),
                     Qt::LocalTime);
}

QDateTime CFType::toDateTime(CFTimeZoneRef zone) const
{
    return dateIn(zone);
}

QDateTime CFType::toDateTime(int offsetFromGmtSeconds) const
{
    if (!isDate())
        return {};
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, double)>("CFTimeZoneCreateWithTimeIntervalFromGMT");
    const CFType zone = fn ? CFType(fn(nullptr, double(offsetFromGmtSeconds)), true) : CFType();
    return dateIn(static_cast<CFTimeZoneRef>(zone.ref()));
}

QDateTime CFType::toDateTime(const QString &zoneName) const
{
    if (!isDate())
        return {};
    if (zoneName.isEmpty())
        return dateIn(nullptr);
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, CFTypeRef, Boolean)>("CFTimeZoneCreateWithName");
    const CFType name = fromString(zoneName);
    const CFType zone
            = fn && !name.isEmpty() ? CFType(fn(nullptr, name.ref(), true), true) : CFType();
    return dateIn(static_cast<CFTimeZoneRef>(zone.ref()));
}

QString CFType::toString() const
{
    if (isString())
        return toQString();
    if (isNumber()) {
        auto fn = cf<CFIndex (*)(CFTypeRef)>("CFNumberGetType");
        switch (fn ? fn(ref()) : 0) {
        case 4:
        case 11:
            return QString::number(toInt64(0));
        case 5:
        case 6:
        case 12:
        case 13:
            return QString::number(toDouble(0), 'g', 6);
        default:
            return QString::number(toInt(0));
        }
    }
    if (isBool())
        return toBool(false) ? QStringLiteral("1") : QStringLiteral("0");
    if (isDate())
        return toDateTime().toString();
    if (isData())
        return QString::fromUtf8(toByteArray());
    return {};
}

CFType CFType::toPropertyListData(int format) const
{
    auto fn = cf<CFTypeRef (*)(CFAllocatorRef, CFTypeRef, CFIndex, unsigned long, CFErrorRef *)>(
            "CFPropertyListCreateData");
    if (!fn || isEmpty())
        return {};
    CFErrorRef error = nullptr;
    CFType data(fn(nullptr, ref(), format, 0, &error), true);
    if (error)
        release(error);
    return data;
}

QByteArray CFType::toPropertyListBytes(int format) const
{
    return toPropertyListData(format).toByteArray();
}

CFType CFType::value(const CFType &key) const
{
    if (!isDictionary() || key.isEmpty())
        return {};
    auto fn = cf<CFTypeRef (*)(CFTypeRef, CFTypeRef)>("CFDictionaryGetValue");
    return fn ? retained(fn(ref(), key.ref())) : CFType();
}

CFType CFType::value(const QString &key) const
{
    return value(fromString(key));
}

CFIndex CFType::count() const
{
    if (!isDictionary())
        return 0;
    auto fn = cf<CFIndex (*)(CFTypeRef)>("CFDictionaryGetCount");
    return fn ? fn(ref()) : 0;
}

QList<CFType> CFType::keys() const
{
    const CFIndex n = count();
    auto fn = cf<void (*)(CFTypeRef, const void **, const void **)>("CFDictionaryGetKeysAndValues");
    if (n <= 0 || !fn)
        return {};
    std::vector<const void *> refs(size_t(n), nullptr);
    fn(ref(), refs.data(), nullptr);
    QList<CFType> result;
    result.reserve(n);
    for (const void *k : refs)
        result.append(retained(k));
    return result;
}

CFType &CFType::setValue(const CFType &key, const CFType &value)
{
    auto fn = cf<void (*)(CFTypeRef, CFTypeRef, CFTypeRef)>("CFDictionarySetValue");
    if (!fn || !isDictionary() || key.isEmpty() || value.isEmpty())
        return *this;
    keptEntries.insert(key.holder.data(), qMakePair(key.holder, value.holder));
    fn(ref(), key.ref(), value.ref());
    return *this;
}

CFType &CFType::setValue(const QString &key, const CFType &value)
{
    return setValue(fromString(key), value);
}

CFIndex CFType::arrayCount() const
{
    if (!isArray())
        return 0;
    auto fn = cf<CFIndex (*)(CFTypeRef)>("CFArrayGetCount");
    return fn ? fn(ref()) : 0;
}

CFType CFType::at(CFIndex index) const
{
    if (index < 0 || index >= arrayCount())
        return {};
    auto fn = cf<CFTypeRef (*)(CFTypeRef, CFIndex)>("CFArrayGetValueAtIndex");
    return fn ? retained(fn(ref(), index)) : CFType();
}

CFType &CFType::append(const CFType &value)
{
    auto fn = cf<void (*)(CFTypeRef, CFTypeRef)>("CFArrayAppendValue");
    if (!fn || !isArray() || value.isEmpty())
        return *this;
    keptElements.append(value);
    fn(ref(), value.ref());
    return *this;
}
