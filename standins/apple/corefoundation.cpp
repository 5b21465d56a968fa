// Our CoreFoundation stand-in: a small reference-counted value library with
// property-list serialisation through libplist. Values are C++ objects behind
// opaque pointers; Create and Copy results start with one reference.

#include "standins/apple/cfapi.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringDecoder>
#include <QTimeZone>

#include <plist/plist.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace {

enum TypeId : CFTypeID {
    NullType = 1,
    BooleanType = 21,
    NumberType = 22,
    StringType = 7,
    DataType = 20,
    DateType = 42,
    TimeZoneType = 43,
    DictionaryType = 18,
    ArrayType = 19,
};

constexpr uint32_t kMagic = 0x43465354; // "CFST"

std::atomic<CFIndex> liveObjects {0};

struct Object
{
    explicit Object(CFTypeID t, bool immortal = false)
        : type(t)
        , immortal(immortal)
    {
        if (!immortal)
            ++liveObjects;
    }
    virtual ~Object()
    {
        magic = 0;
        if (!immortal)
            --liveObjects;
    }
    uint32_t magic = kMagic;
    std::atomic<long> refs {1};
    CFTypeID type;
    bool immortal;
};

struct Boolean_ : Object
{
    explicit Boolean_(bool v)
        : Object(BooleanType, true)
        , value(v)
    { }
    bool value;
};

struct Number : Object
{
    Number()
        : Object(NumberType)
    { }
    CFNumberType declared = 4;
    bool isFloat = false;
    int64_t i = 0;
    double d = 0;
};

struct String : Object
{
    explicit String(QString t)
        : Object(StringType)
        , text(std::move(t))
    { }
    QString text;
};

struct Data : Object
{
    explicit Data(QByteArray b)
        : Object(DataType)
        , bytes(std::move(b))
    { }
    QByteArray bytes;
};

struct Date : Object
{
    explicit Date(double at)
        : Object(DateType)
        , at(at)
    { }
    double at;
};

struct TimeZone : Object
{
    TimeZone()
        : Object(TimeZoneType)
    { }
    QTimeZone zone;
};

struct Dictionary : Object
{
    Dictionary()
        : Object(DictionaryType)
    { }
    ~Dictionary() override
    {
        for (auto &e : entries) {
            if (keyCb.release)
                keyCb.release(nullptr, e.first);
            if (valueCb.release)
                valueCb.release(nullptr, e.second);
        }
    }
    CFCallBacks keyCb {};
    CFCallBacks valueCb {};
    std::vector<std::pair<const void *, const void *>> entries;
};

struct Array : Object
{
    Array()
        : Object(ArrayType)
    { }
    ~Array() override
    {
        for (const void *v : values) {
            if (cb.release)
                cb.release(nullptr, v);
        }
    }
    CFCallBacks cb {};
    std::vector<const void *> values;
};

Boolean_ trueValue(true);
Boolean_ falseValue(false);

// A reference that is one of our live objects of the given type, else null.
template<typename T> const T *as(CFTypeRef ref, CFTypeID type)
{
    auto *o = static_cast<const Object *>(ref);
    if (!o || o->magic != kMagic || o->type != type)
        return nullptr;
    return static_cast<const T *>(o);
}

const void *retainCb(CFAllocatorRef, const void *v)
{
    return CFRetain(v);
}

void releaseCb(CFAllocatorRef, const void *v)
{
    CFRelease(v);
}

Boolean equalCb(const void *a, const void *b)
{
    return CFEqual(a, b);
}

bool sameKey(const CFCallBacks &cb, const void *a, const void *b)
{
    if (a == b)
        return true;
    return cb.equal ? cb.equal(a, b) : false;
}

// Number conversions: the value is kept as a 64-bit integer or a double;
// asking for another type converts and reports whether nothing was lost.
template<typename T> bool storeInt(const Number *n, void *out)
{
    T v;
    bool exact;
    if (n->isFloat) {
        const double d = n->d;
        // max() + 1 is a power of two, so exact as a double even where max()
        // itself is not (64 bits): every d below it truncates into range.
        if (!(d >= double(std::numeric_limits<T>::min())
              && d < double(std::numeric_limits<T>::max()) + 1.0)) {
            v = 0;
            exact = false;
        } else {
            v = T(d);
            exact = double(v) == d;
        }
    } else {
        v = T(n->i);
        exact = int64_t(v) == n->i;
    }
    std::memcpy(out, &v, sizeof v);
    return exact;
}

template<typename T> bool storeFloat(const Number *n, void *out)
{
    const T v = n->isFloat ? T(n->d) : T(n->i);
    std::memcpy(out, &v, sizeof v);
    if (n->isFloat)
        return std::isnan(n->d) || double(v) == n->d;
    // A large integer rounds up to 2^63, which is no 64-bit integer.
    const double back = double(v);
    return back < 9223372036854775808.0 && int64_t(back) == n->i;
}

// The canonical type a number reports for the type it was made with.
CFNumberType canonicalType(CFNumberType t)
{
    switch (t) {
    case 1:
    case 7:
        return 1; // SInt8, Char
    case 2:
    case 8:
        return 2; // SInt16, Short
    case 3:
    case 9:
        return 3; // SInt32, Int
    case 5:
    case 12:
        return 5; // Float32, Float
    case 6:
    case 13:
    case 16:
        return 6; // Float64, Double, CGFloat
    default:
        return 4; // SInt64, Long, LongLong, CFIndex, NSInteger
    }
}

// Seconds between 1970-01-01 and 2001-01-01.
constexpr double kEpoch2001 = 978307200.0;

QTimeZone zoneOf(CFTimeZoneRef tz)
{
    if (auto *z = as<TimeZone>(tz, TimeZoneType))
        return z->zone;
    return QTimeZone::utc();
}

// Values to libplist nodes and back.
plist_t toNode(CFTypeRef ref)
{
    auto *o = static_cast<const Object *>(ref);
    if (!o || o->magic != kMagic)
        return nullptr;
    switch (o->type) {
    case StringType:
        return plist_new_string(static_cast<const String *>(o)->text.toUtf8().constData());
    case BooleanType:
        return plist_new_bool(static_cast<const Boolean_ *>(o)->value);
    case NumberType: {
        auto *n = static_cast<const Number *>(o);
        return n->isFloat ? plist_new_real(n->d) : plist_new_uint(uint64_t(n->i));
    }
    case DataType: {
        const QByteArray &b = static_cast<const Data *>(o)->bytes;
        return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    case DateType: {
        // A property list holds whole seconds in 32 bits: a date beyond
        // them is written as the nearest it can hold.
        const double at = static_cast<const Date *>(o)->at;
        const double lowest = double(std::numeric_limits<int32_t>::min());
        const double highest = double(std::numeric_limits<int32_t>::max());
        if (!(at >= lowest))
            return plist_new_date(std::numeric_limits<int32_t>::min(), 0);
        if (!(at < highest))
            return plist_new_date(std::numeric_limits<int32_t>::max(), 0);
        const double sec = std::floor(at);
        return plist_new_date(int32_t(sec), int32_t(std::lround((at - sec) * 1e6)));
    }
    case DictionaryType: {
        plist_t dict = plist_new_dict();
        for (auto &e : static_cast<const Dictionary *>(o)->entries) {
            auto *k = as<String>(e.first, StringType);
            plist_t v = k ? toNode(e.second) : nullptr;
            if (!v) {
                plist_free(dict);
                return nullptr;
            }
            plist_dict_set_item(dict, k->text.toUtf8().constData(), v);
        }
        return dict;
    }
    case ArrayType: {
        plist_t array = plist_new_array();
        for (const void *e : static_cast<const Array *>(o)->values) {
            plist_t v = toNode(e);
            if (!v) {
                plist_free(array);
                return nullptr;
            }
            plist_array_append_item(array, v);
        }
        return array;
    }
    default:
        return nullptr;
    }
}

CFTypeRef fromNode(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        // Not plist_get_string_val: libplist asserts there that the string
        // holds no NUL byte, which a list from a device may well do. The text
        // ends at the first NUL, as a C string would.
        uint64_t length = 0;
        const char *text = plist_get_string_ptr(node, &length);
        const qsizetype n = text ? qsizetype(qMin<uint64_t>(length, uint64_t(INT32_MAX))) : 0;
        const void *nul = n > 0 ? std::memchr(text, '\0', size_t(n)) : nullptr;
        return new String(QString::fromUtf8(
                text, nul ? qsizetype(static_cast<const char *>(nul) - text) : n));
    }
    case PLIST_KEY: {
        char *s = nullptr;
        plist_get_key_val(node, &s);
        auto *r = new String(QString::fromUtf8(s ? s : ""));
        free(s);
        return r;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return b ? kCFBooleanTrue : kCFBooleanFalse;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        auto *n = new Number;
        n->i = int64_t(v);
        return n;
    }
    case PLIST_REAL: {
        auto *n = new Number;
        n->isFloat = true;
        n->declared = 6;
        plist_get_real_val(node, &n->d);
        return n;
    }
    case PLIST_DATA: {
        char *p = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &p, &len);
        auto *r = new Data(QByteArray(p, qsizetype(len)));
        free(p);
        return r;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return new Date(double(sec) + double(usec) / 1e6);
    }
    case PLIST_DICT: {
        auto *d = static_cast<Dictionary *>(CFDictionaryCreateMutable(
                nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char *key = nullptr;
            plist_t v = nullptr;
            plist_dict_next_item(node, it, &key, &v);
            if (!v) {
                free(key);
                break;
            }
            CFTypeRef value = fromNode(v);
            if (!value) {
                free(key);
                free(it);
                CFRelease(d);
                return nullptr;
            }
            CFTypeRef k = new String(QString::fromUtf8(key));
            free(key);
            CFDictionarySetValue(d, k, value);
            CFRelease(k);
            CFRelease(value);
        }
        free(it);
        return d;
    }
    case PLIST_ARRAY: {
        auto *a = static_cast<Array *>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            CFTypeRef value = fromNode(plist_array_get_item(node, i));
            if (!value) {
                CFRelease(a);
                return nullptr;
            }
            CFArrayAppendValue(a, value);
            CFRelease(value);
        }
        return a;
    }
    default:
        return nullptr;
    }
}

} // namespace

extern "C" {

const CFBooleanRef kCFBooleanTrue = &trueValue;
const CFBooleanRef kCFBooleanFalse = &falseValue;
const CFCallBacks kCFTypeDictionaryKeyCallBacks
        = {0, retainCb, releaseCb, nullptr, equalCb, nullptr};
const CFCallBacks kCFTypeDictionaryValueCallBacks
        = {0, retainCb, releaseCb, nullptr, equalCb, nullptr};
const CFCallBacks kCFTypeArrayCallBacks = {0, retainCb, releaseCb, nullptr, equalCb, nullptr};

CFTypeID CFGetTypeID(CFTypeRef cf)
{
    auto *o = static_cast<const Object *>(cf);
    return o && o->magic == kMagic ? o->type : 0;
}

CFTypeRef CFRetain(CFTypeRef cf)
{
    auto *o = const_cast<Object *>(static_cast<const Object *>(cf));
    if (o && !o->immortal)
        ++o->refs;
    return cf;
}

void CFRelease(CFTypeRef cf)
{
    auto *o = const_cast<Object *>(static_cast<const Object *>(cf));
    if (!o || o->immortal)
        return;
    if (--o->refs == 0)
        delete o;
}

CFIndex CFGetRetainCount(CFTypeRef cf)
{
    auto *o = static_cast<const Object *>(cf);
    return o ? CFIndex(o->refs.load()) : 0;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b)
{
    if (a == b)
        return true;
    const CFTypeID t = CFGetTypeID(a);
    if (!t || t != CFGetTypeID(b))
        return false;
    switch (t) {
    case StringType:
        return as<String>(a, t)->text == as<String>(b, t)->text;
    case DataType:
        return as<Data>(a, t)->bytes == as<Data>(b, t)->bytes;
    case DateType:
        return as<Date>(a, t)->at == as<Date>(b, t)->at;
    case NumberType: {
        auto *x = as<Number>(a, t);
        auto *y = as<Number>(b, t);
        if (x->isFloat || y->isFloat)
            return (x->isFloat ? x->d : double(x->i)) == (y->isFloat ? y->d : double(y->i));
        return x->i == y->i;
    }
    case ArrayType: {
        auto &x = as<Array>(a, t)->values;
        auto &y = as<Array>(b, t)->values;
        if (x.size() != y.size())
            return false;
        for (size_t i = 0; i < x.size(); ++i) {
            if (!CFEqual(x[i], y[i]))
                return false;
        }
        return true;
    }
    case DictionaryType: {
        auto *x = as<Dictionary>(a, t);
        auto *y = as<Dictionary>(b, t);
        if (x->entries.size() != y->entries.size())
            return false;
        for (auto &e : x->entries) {
            const void *other = CFDictionaryGetValue(y, e.first);
            if (!other || !CFEqual(e.second, other))
                return false;
        }
        return true;
    }
    default:
        return false;
    }
}

CFTypeID CFNullGetTypeID(void)
{
    return NullType;
}
CFTypeID CFBooleanGetTypeID(void)
{
    return BooleanType;
}
CFTypeID CFNumberGetTypeID(void)
{
    return NumberType;
}
CFTypeID CFStringGetTypeID(void)
{
    return StringType;
}
CFTypeID CFDataGetTypeID(void)
{
    return DataType;
}
CFTypeID CFDateGetTypeID(void)
{
    return DateType;
}
CFTypeID CFTimeZoneGetTypeID(void)
{
    return TimeZoneType;
}
CFTypeID CFDictionaryGetTypeID(void)
{
    return DictionaryType;
}
CFTypeID CFArrayGetTypeID(void)
{
    return ArrayType;
}

Boolean CFBooleanGetValue(CFBooleanRef b)
{
    auto *v = as<Boolean_>(b, BooleanType);
    return v && v->value;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void *valuePtr)
{
    if (!valuePtr)
        return nullptr;
    auto *n = new Number;
    n->declared = canonicalType(type);
    switch (type) {
    case 1:
    case 7: {
        int8_t v;
        std::memcpy(&v, valuePtr, 1);
        n->i = v;
        break;
    }
    case 2:
    case 8: {
        int16_t v;
        std::memcpy(&v, valuePtr, 2);
        n->i = v;
        break;
    }
    case 3:
    case 9: {
        int32_t v;
        std::memcpy(&v, valuePtr, 4);
        n->i = v;
        break;
    }
    case 4:
    case 11: {
        int64_t v;
        std::memcpy(&v, valuePtr, 8);
        n->i = v;
        break;
    }
    case 10:
    case 14:
    case 15: {
        long v;
        std::memcpy(&v, valuePtr, sizeof v);
        n->i = v;
        break;
    }
    case 5:
    case 12: {
        float v;
        std::memcpy(&v, valuePtr, 4);
        n->isFloat = true;
        n->d = v;
        break;
    }
    case 6:
    case 13:
    case 16: {
        double v;
        std::memcpy(&v, valuePtr, 8);
        n->isFloat = true;
        n->d = v;
        break;
    }
    default:
        delete n;
        return nullptr;
    }
    return n;
}

CFNumberType CFNumberGetType(CFNumberRef number)
{
    auto *n = as<Number>(number, NumberType);
    return n ? n->declared : 0;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void *valuePtr)
{
    auto *n = as<Number>(number, NumberType);
    if (!n || !valuePtr)
        return false;
    switch (type) {
    case 1:
    case 7:
        return storeInt<int8_t>(n, valuePtr);
    case 2:
    case 8:
        return storeInt<int16_t>(n, valuePtr);
    case 3:
    case 9:
        return storeInt<int32_t>(n, valuePtr);
    case 4:
    case 11:
        return storeInt<int64_t>(n, valuePtr);
    case 10:
    case 14:
    case 15:
        return storeInt<long>(n, valuePtr);
    case 5:
    case 12:
        return storeFloat<float>(n, valuePtr);
    case 6:
    case 13:
    case 16:
        return storeFloat<double>(n, valuePtr);
    default:
        return false;
    }
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const uint8_t *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean)
{
    if (numBytes < 0 || (!bytes && numBytes > 0))
        return nullptr;
    const QByteArrayView view(reinterpret_cast<const char *>(bytes), numBytes);
    if (encoding == kCFStringEncodingASCII) {
        for (char c : view) {
            if (uchar(c) > 0x7f)
                return nullptr;
        }
        return new String(QString::fromLatin1(view));
    }
    if (encoding != kCFStringEncodingUTF8)
        return nullptr;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(view);
    if (decoder.hasError())
        return nullptr;
    return new String(text);
}

CFIndex CFStringGetLength(CFStringRef string)
{
    auto *s = as<String>(string, StringType);
    return s ? s->text.size() : 0;
}

CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding,
                         uint8_t lossByte, Boolean, uint8_t *buffer, CFIndex maxBufLen,
                         CFIndex *usedBufLen)
{
    auto *s = as<String>(string, StringType);
    CFIndex used = 0;
    CFIndex converted = 0;
    if (s && range.location >= 0 && range.length >= 0
        && range.location + range.length <= s->text.size()
        && (encoding == kCFStringEncodingUTF8 || encoding == kCFStringEncodingASCII)) {
        const QChar *p = s->text.constData() + range.location;
        const CFIndex n = range.length;
        CFIndex i = 0;
        while (i < n) {
            char out[4];
            int outLen = 0;
            int units = 1;
            char32_t cp = p[i].unicode();
            if (QChar::isHighSurrogate(cp) && i + 1 < n && p[i + 1].isLowSurrogate()) {
                cp = QChar::surrogateToUcs4(p[i], p[i + 1]);
                units = 2;
            } else if (QChar::isSurrogate(cp)) {
                cp = 0xFFFFFFFF;
            }
            if (encoding == kCFStringEncodingASCII && cp > 0x7f)
                cp = 0xFFFFFFFF;
            if (cp == 0xFFFFFFFF) {
                if (!lossByte)
                    break;
                out[outLen++] = char(lossByte);
            } else if (cp < 0x80) {
                out[outLen++] = char(cp);
            } else if (cp < 0x800) {
                out[outLen++] = char(0xC0 | (cp >> 6));
                out[outLen++] = char(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                out[outLen++] = char(0xE0 | (cp >> 12));
                out[outLen++] = char(0x80 | ((cp >> 6) & 0x3F));
                out[outLen++] = char(0x80 | (cp & 0x3F));
            } else {
                out[outLen++] = char(0xF0 | (cp >> 18));
                out[outLen++] = char(0x80 | ((cp >> 12) & 0x3F));
                out[outLen++] = char(0x80 | ((cp >> 6) & 0x3F));
                out[outLen++] = char(0x80 | (cp & 0x3F));
            }
            if (buffer) {
                if (used + outLen > maxBufLen)
                    break;
                std::memcpy(buffer + used, out, size_t(outLen));
            }
            used += outLen;
            converted += units;
            i += units;
        }
    }
    if (usedBufLen)
        *usedBufLen = used;
    return converted;
}

CFDataRef CFDataCreate(CFAllocatorRef, const uint8_t *bytes, CFIndex length)
{
    if (length < 0 || (!bytes && length > 0))
        return nullptr;
    return new Data(QByteArray(reinterpret_cast<const char *>(bytes), length));
}

CFIndex CFDataGetLength(CFDataRef data)
{
    auto *d = as<Data>(data, DataType);
    return d ? d->bytes.size() : 0;
}

void CFDataGetBytes(CFDataRef data, CFRange range, uint8_t *buffer)
{
    auto *d = as<Data>(data, DataType);
    if (!d || !buffer || range.location < 0 || range.length < 0
        || range.location + range.length > d->bytes.size())
        return;
    std::memcpy(buffer, d->bytes.constData() + range.location, size_t(range.length));
}

const uint8_t *CFDataGetBytePtr(CFDataRef data)
{
    auto *d = as<Data>(data, DataType);
    return d ? reinterpret_cast<const uint8_t *>(d->bytes.constData()) : nullptr;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at)
{
    return new Date(at);
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date)
{
    auto *d = as<Date>(date, DateType);
    return d ? d->at : 0;
}

CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef tz)
{
    // Within about 290 million years: beyond that no 64-bit count of
    // milliseconds holds the date.
    constexpr double kFarthest = 9e15;
    const double whole = std::isfinite(at) ? std::clamp(std::floor(at), -kFarthest, kFarthest) : 0;
    const QDateTime utc = QDateTime::fromSecsSinceEpoch(qint64(whole + kEpoch2001), Qt::UTC);
    const QDateTime local = utc.toTimeZone(zoneOf(tz));
    CFGregorianDate g {};
    g.year = local.date().year();
    g.month = int8_t(local.date().month());
    g.day = int8_t(local.date().day());
    g.hour = int8_t(local.time().hour());
    g.minute = int8_t(local.time().minute());
    g.second = local.time().second() + (whole == std::floor(at) ? at - whole : 0.0);
    return g;
}

CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate g, CFTimeZoneRef tz)
{
    const double whole = std::floor(g.second);
    const QDateTime dt(QDate(g.year, g.month, g.day), QTime(g.hour, g.minute, int(whole)),
                       zoneOf(tz));
    return double(dt.toSecsSinceEpoch()) - kEpoch2001 + (g.second - whole);
}

CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(CFAllocatorRef, CFTimeInterval ti)
{
    if (std::fabs(ti) > 18 * 3600)
        return nullptr;
    auto *z = new TimeZone;
    z->zone = QTimeZone(int(ti));
    return z;
}

CFTimeZoneRef CFTimeZoneCreateWithName(CFAllocatorRef, CFStringRef name, Boolean)
{
    auto *s = as<String>(name, StringType);
    if (!s)
        return nullptr;
    QTimeZone zone(s->text.toUtf8());
    if (!zone.isValid())
        return nullptr;
    auto *z = new TimeZone;
    z->zone = zone;
    return z;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFCallBacks *keyCallBacks,
                                                 const CFCallBacks *valueCallBacks)
{
    auto *d = new Dictionary;
    if (keyCallBacks)
        d->keyCb = *keyCallBacks;
    if (valueCallBacks)
        d->valueCb = *valueCallBacks;
    return d;
}

const void *CFDictionaryGetValue(CFDictionaryRef dict, const void *key)
{
    auto *d = as<Dictionary>(dict, DictionaryType);
    if (!d)
        return nullptr;
    for (auto &e : d->entries) {
        if (sameKey(d->keyCb, e.first, key))
            return e.second;
    }
    return nullptr;
}

void CFDictionarySetValue(CFMutableDictionaryRef dict, const void *key, const void *value)
{
    auto *d = const_cast<Dictionary *>(as<Dictionary>(dict, DictionaryType));
    if (!d)
        return;
    if (d->valueCb.retain)
        value = d->valueCb.retain(nullptr, value);
    for (auto &e : d->entries) {
        if (sameKey(d->keyCb, e.first, key)) {
            if (d->valueCb.release)
                d->valueCb.release(nullptr, e.second);
            e.second = value;
            return;
        }
    }
    if (d->keyCb.retain)
        key = d->keyCb.retain(nullptr, key);
    d->entries.emplace_back(key, value);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dict)
{
    auto *d = as<Dictionary>(dict, DictionaryType);
    return d ? CFIndex(d->entries.size()) : 0;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void **keys, const void **values)
{
    auto *d = as<Dictionary>(dict, DictionaryType);
    if (!d)
        return;
    for (size_t i = 0; i < d->entries.size(); ++i) {
        if (keys)
            keys[i] = d->entries[i].first;
        if (values)
            values[i] = d->entries[i].second;
    }
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFCallBacks *callBacks)
{
    auto *a = new Array;
    if (callBacks)
        a->cb = *callBacks;
    return a;
}

void CFArrayAppendValue(CFMutableArrayRef array, const void *value)
{
    auto *a = const_cast<Array *>(as<Array>(array, ArrayType));
    if (!a)
        return;
    a->values.push_back(a->cb.retain ? a->cb.retain(nullptr, value) : value);
}

CFIndex CFArrayGetCount(CFArrayRef array)
{
    auto *a = as<Array>(array, ArrayType);
    return a ? CFIndex(a->values.size()) : 0;
}

const void *CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index)
{
    auto *a = as<Array>(array, ArrayType);
    if (!a || index < 0 || size_t(index) >= a->values.size())
        return nullptr;
    return a->values[size_t(index)];
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef plist,
                                   CFPropertyListFormat format, CFOptionFlags, CFErrorRef *error)
{
    if (error)
        *error = nullptr;
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0)
        return nullptr;
    plist_t node = toNode(plist);
    if (!node)
        return nullptr;
    char *out = nullptr;
    uint32_t len = 0;
    if (format == kCFPropertyListXMLFormat_v1_0)
        plist_to_xml(node, &out, &len);
    else
        plist_to_bin(node, &out, &len);
    plist_free(node);
    if (!out)
        return nullptr;
    auto *d = new Data(QByteArray(out, qsizetype(len)));
    if (format == kCFPropertyListXMLFormat_v1_0)
        plist_to_xml_free(out);
    else
        plist_to_bin_free(out);
    return d;
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags,
                                               CFPropertyListFormat *format, CFErrorRef *error)
{
    if (error)
        *error = nullptr;
    auto *d = as<Data>(data, DataType);
    if (!d || d->bytes.isEmpty() || d->bytes.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    const bool binary = d->bytes.startsWith("bplist00");
    plist_t node = nullptr;
    if (binary) {
        plist_from_bin(d->bytes.constData(), uint32_t(d->bytes.size()), &node);
        // libplist asserts when it hands out a dictionary key that holds a
        // NUL byte, as a binary list may: the tree goes through XML first,
        // where every text ends at its first NUL.
        char *xml = nullptr;
        uint32_t length = 0;
        if (node)
            plist_to_xml(node, &xml, &length);
        plist_free(node);
        node = nullptr;
        if (xml)
            plist_from_xml(xml, length, &node);
        plist_to_xml_free(xml);
    } else
        plist_from_xml(d->bytes.constData(), uint32_t(d->bytes.size()), &node);
    if (!node)
        return nullptr;
    CFTypeRef result = fromNode(node);
    plist_free(node);
    if (result && format)
        *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
    return result;
}

CFIndex CFStandinLiveObjectCount(void)
{
    return liveObjects.load();
}

} // extern "C"
