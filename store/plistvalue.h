#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QSharedPointer>
#include <QString>

#include <plist/plist.h>

// One libplist node handle with its ownership. An owned node is the root of a
// tree that this holder frees; a borrowed node lives inside a tree that some
// other holder owns. A borrowed holder keeps that owning holder alive, so a
// value taken out of a tree stays valid for as long as it is kept.
class PlistNode
{
public:
    explicit PlistNode(plist_t node = nullptr, bool owned = true,
                       QSharedPointer<PlistNode> owner = {});
    ~PlistNode();
    PlistNode(const PlistNode &) = delete;
    PlistNode &operator=(const PlistNode &) = delete;

    plist_t node() const { return m_node; }
    bool owned() const { return m_owned; }
    // Frees a non-null node whatever the owned flag says and clears the handle.
    void free();

private:
    friend class PlistValue;
    plist_t m_node = nullptr;
    bool m_owned = true;
    QSharedPointer<PlistNode> m_owner;
};

// A shared, total wrapper over one property-list node: copies share the node,
// the last copy of an owned value frees its tree, and every accessor asked for
// the wrong type answers with an empty or zero result.
class PlistValue
{
public:
    PlistValue();
    explicit PlistValue(plist_t node, bool owned = true);

    static PlistValue nullValue(bool owned = true);
    static PlistValue fromBool(bool value, bool owned = true);
    static PlistValue fromUInt64(quint64 value, bool owned = true);
    static PlistValue fromDouble(double value, bool owned = true);
    static PlistValue fromByteArray(const QByteArray &value, bool owned = true);
    // Whole seconds since 2001-01-01 00:00:00 UTC; fractions of a second are dropped.
    static PlistValue fromDateTime(const QDateTime &value, bool owned = true);
    static PlistValue fromString(const QString &value, bool owned = true);
    static PlistValue fromKey(const QString &value, bool owned = true);
    static PlistValue newArray(bool owned = true);
    static PlistValue newDict(bool owned = true);
    // A deep copy of the other value's node, owned by the result.
    static PlistValue copy(const PlistValue &other, bool owned = true);

    plist_t node() const { return m_d->node(); }
    bool owned() const { return m_d->owned(); }
    plist_type type() const;

    bool isNull() const;
    bool isBool() const { return type() == PLIST_BOOLEAN; }
    bool isUInt() const { return type() == PLIST_UINT; }
    bool isReal() const { return type() == PLIST_REAL; }
    bool isString() const { return type() == PLIST_STRING; }
    bool isArray() const { return type() == PLIST_ARRAY; }
    bool isDict() const { return type() == PLIST_DICT; }
    bool isDate() const { return type() == PLIST_DATE; }
    bool isData() const { return type() == PLIST_DATA; }
    bool isKey() const { return type() == PLIST_KEY; }

    bool toBool() const;
    quint64 toUInt64() const;
    double toDouble() const;
    QString toString() const;
    QString toKey() const;
    QByteArray toByteArray() const;
    // The moment as a UTC date-time; a null date-time for another type.
    QDateTime toDateTime() const;

    unsigned arraySize() const;
    // Borrowed item; a borrowed null value when not an array or out of range.
    PlistValue arrayItem(int index) const;
    // The array takes the item's node when the item owns a tree of its own;
    // a node that already belongs to a tree is deep-copied first.
    void arrayAppend(const PlistValue &item);

    unsigned dictSize() const;
    // Borrowed item; a borrowed null value when not a dictionary or no such key.
    PlistValue dictItem(const QString &key) const;
    // Replaces any value under the key; ownership of the item as for arrayAppend.
    void dictSet(const QString &key, const PlistValue &item);
    // Every entry of a dictionary as owned deep copies.
    QMap<QString, PlistValue> toMap() const;

    QString toXml() const;
    QByteArray toBinary() const;

private:
    explicit PlistValue(QSharedPointer<PlistNode> d)
        : m_d(std::move(d))
    { }
    PlistValue borrowed(plist_t child) const;
    plist_t adoptForInsert(const PlistValue &item) const;
    QSharedPointer<PlistNode> treeOwner() const;

    QSharedPointer<PlistNode> m_d;
};

// Parses a binary property list (at least 9 bytes beginning "bplist00") or an
// XML one (anything else). A buffer that does not parse gives a null value.
PlistValue parsePlistBuffer(const QByteArray &data, bool owned = true);
