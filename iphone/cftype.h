#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSharedPointer>
#include <QString>

// Our view of CoreFoundation's C types; the library is loaded at run time.
using CFTypeRef = const void *;
struct OpaqueCFTimeZone;
using CFTimeZoneRef = const OpaqueCFTimeZone *;
using CFTypeID = unsigned long;
using CFIndex = long;

// Property-list formats of CFType::toPropertyListData.
enum : int { kCFPropertyListXMLFormat = 100, kCFPropertyListBinaryFormat = 200 };

// One CoreFoundation reference; releases it when destroyed if it owns it.
// Never changed once made.
struct CFRefHolder
{
    CFRefHolder(CFTypeRef ref, bool owned)
        : ref(ref)
        , owned(owned)
    { }
    ~CFRefHolder();
    CFRefHolder(const CFRefHolder &) = delete;
    CFRefHolder &operator=(const CFRefHolder &) = delete;

    const CFTypeRef ref;
    const bool owned;
};

// A CoreFoundation value: copies share one reference, and the last copy to
// go releases it when it was owned. Every operation calls its
// CoreFoundation function by name at that call; with the library missing,
// or on a value of the wrong kind, an operation gives its default (0, the
// empty text, a null byte array, an invalid date-time or an empty value)
// and never throws.
//
// Values read out of a container (value, at, keys) hold a reference of
// their own, so they stay valid after the container has gone.
class CFType
{
public:
    CFType() = default;
    // Wraps ref; releases it at the end when owned.
    CFType(CFTypeRef ref, bool owned);
    virtual ~CFType();
    CFType(const CFType &) = default;
    CFType &operator=(const CFType &) = default;

    static CFType fromString(const QString &text);
    static CFType fromByteArray(const QByteArray &bytes);
    static CFType fromNumber(qint8 value);
    static CFType fromNumber(qint16 value);
    static CFType fromNumber(qint32 value);
    static CFType fromNumber(qint64 value);
    static CFType fromNumber(float value);
    static CFType fromNumber(double value);
    static CFType fromNumber(long value); // CFIndex
    static CFType fromBool(bool value);
    // The date-time's own fields, read as they stand (no zone conversion).
    static CFType fromDateTime(const QDateTime &dateTime);
    static CFType newDictionary();
    static CFType newArray();
    // A property list of any format; empty when the bytes are none.
    static CFType fromPropertyListBytes(const QByteArray &bytes);
    static CFType fromPropertyListFile(const QString &path);
    // An independent copy, made through an XML property list.
    static CFType deepCopy(const CFType &value);

    CFTypeRef ref() const;
    bool isEmpty() const { return ref() == nullptr; }
    CFTypeID typeId() const;
    bool isNumber() const;
    bool isBool() const;
    bool isString() const;
    bool isData() const;
    bool isDate() const;
    bool isDictionary() const;
    bool isArray() const;

    int toInt(int defaultValue = 0) const;
    qint64 toInt64(qint64 defaultValue = 0) const;
    double toDouble(double defaultValue = 0) const;
    bool toBool(bool defaultValue = false) const;
    CFIndex length() const; // UTF-16 units of a string
    QString toQString() const;
    CFIndex dataLength() const;
    QByteArray toByteArray() const;
    // The date's fields in the time zone (null: the library's default),
    // as a local date-time to the whole second.
    QDateTime toDateTime(CFTimeZoneRef zone = nullptr) const;
    QDateTime toDateTime(int offsetFromGmtSeconds) const;
    QDateTime toDateTime(const QString &zoneName) const;
    // Any scalar as text; containers and empty values give the empty text.
    QString toString() const;
    CFType toPropertyListData(int format) const;
    QByteArray toPropertyListBytes(int format) const;

    // Dictionaries.
    CFType value(const CFType &key) const;
    CFType value(const QString &key) const;
    CFIndex count() const;
    QList<CFType> keys() const;
    CFType &setValue(const CFType &key, const CFType &value);
    CFType &setValue(const QString &key, const CFType &value);

    // Arrays.
    CFIndex arrayCount() const;
    CFType at(CFIndex index) const; // empty outside the array
    CFType &append(const CFType &value);

private:
    bool hasType(const char *typeIdFunction) const;
    QDateTime dateIn(CFTimeZoneRef zone) const;
    static CFType retained(CFTypeRef ref);

    QSharedPointer<CFRefHolder> holder;
    // Shares of every key and value put into this dictionary, by key holder.
    QMap<const CFRefHolder *, QPair<QSharedPointer<CFRefHolder>, QSharedPointer<CFRefHolder>>>
            keptEntries;
    // Copies of every element put into this array.
    QList<CFType> keptElements;
};
