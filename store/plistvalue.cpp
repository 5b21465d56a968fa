#include "store/plistvalue.h"

#include <cstdlib>
#include <limits>

namespace {

// Seconds from 1970-01-01 to 2001-01-01, both 00:00:00 UTC.
constexpr qint64 kAppleEpochOffset = 978307200;

QString takeUtf8(char *text)
{
    if (!text)
        return {};
    QString result = QString::fromUtf8(text);
    std::free(text);
    return result;
}

} // namespace

PlistNode::PlistNode(plist_t node, bool owned, QSharedPointer<PlistNode> owner)
    : m_node(node)
    , m_owned(owned)
    , m_owner(std::move(owner))
{ }

PlistNode::~PlistNode()
{
    if (m_owned && m_node)
        plist_free(m_node);
    m_node = nullptr;
}

void PlistNode::free()
{
    if (m_node)
        plist_free(m_node);
    m_node = nullptr;
}

PlistValue::PlistValue()
    : m_d(new PlistNode(nullptr, true))
{ }

PlistValue::PlistValue(plist_t node, bool owned)
    : m_d(new PlistNode(node, owned))
{ }

PlistValue PlistValue::nullValue(bool owned)
{
    return PlistValue(nullptr, owned);
}

PlistValue PlistValue::fromBool(bool value, bool owned)
{
    return PlistValue(plist_new_bool(value ? 1 : 0), owned);
}

PlistValue PlistValue::fromUInt64(quint64 value, bool owned)
{
    return PlistValue(plist_new_uint(value), owned);
}

PlistValue PlistValue::fromDouble(double value, bool owned)
{
    return PlistValue(plist_new_real(value), owned);
}

PlistValue PlistValue::fromByteArray(const QByteArray &value, bool owned)
{
    return PlistValue(plist_new_data(value.constData(), quint64(value.size())), owned);
}

PlistValue PlistValue::fromDateTime(const QDateTime &value, bool owned)
{
    if (!value.isValid())
        return nullValue(owned);
    qint64 seconds = value.toSecsSinceEpoch() - kAppleEpochOffset;
    // The node holds 32-bit seconds: clamp instead of wrapping around.
    seconds = qBound(qint64(std::numeric_limits<qint32>::min()), seconds,
                     qint64(std::numeric_limits<qint32>::max()));
    return PlistValue(plist_new_date(qint32(seconds), 0), owned);
}

PlistValue PlistValue::fromString(const QString &value, bool owned)
{
    return PlistValue(plist_new_string(value.toUtf8().constData()), owned);
}

PlistValue PlistValue::fromKey(const QString &value, bool owned)
{
    const QByteArray utf8 = value.toUtf8();
    plist_t node = plist_new_string(utf8.constData());
    plist_set_key_val(node, utf8.constData());
    return PlistValue(node, owned);
}

PlistValue PlistValue::newArray(bool owned)
{
    return PlistValue(plist_new_array(), owned);
}

PlistValue PlistValue::newDict(bool owned)
{
    return PlistValue(plist_new_dict(), owned);
}

PlistValue PlistValue::copy(const PlistValue &other, bool owned)
{
    return PlistValue(other.node() ? plist_copy(other.node()) : nullptr, owned);
}

plist_type PlistValue::type() const
{
    return node() ? plist_get_node_type(node()) : PLIST_NONE;
}

bool PlistValue::isNull() const
{
    return type() == PLIST_NONE;
}

bool PlistValue::toBool() const
{
    if (!isBool())
        return false;
    uint8_t v = 0;
    plist_get_bool_val(node(), &v);
    return v != 0;
}

quint64 PlistValue::toUInt64() const
{
    if (!isUInt())
        return 0;
    uint64_t v = 0;
    plist_get_uint_val(node(), &v);
    return v;
}

double PlistValue::toDouble() const
{
    if (!isReal())
        return 0.0;
    double v = 0.0;
    plist_get_real_val(node(), &v);
    return v;
}

QString PlistValue::toString() const
{
    if (!isString())
        return {};
    char *text = nullptr;
    plist_get_string_val(node(), &text);
    return takeUtf8(text);
}

QString PlistValue::toKey() const
{
    if (!isKey())
        return {};
    char *text = nullptr;
    plist_get_key_val(node(), &text);
    return takeUtf8(text);
}

QByteArray PlistValue::toByteArray() const
{
    if (!isData())
        return {};
    char *bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node(), &bytes, &length);
    if (!bytes)
        return {};
    QByteArray result;
    if (length <= uint64_t(std::numeric_limits<qsizetype>::max()))
        result = QByteArray(bytes, qsizetype(length));
    std::free(bytes);
    return result;
}

QDateTime PlistValue::toDateTime() const
{
    if (!isDate())
        return {};
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(node(), &seconds, &micros);
    const qint64 msecs = qint64(seconds) * 1000 + micros / 1000;
    return QDateTime::fromMSecsSinceEpoch(kAppleEpochOffset * 1000 + msecs, Qt::UTC);
}

QSharedPointer<PlistNode> PlistValue::treeOwner() const
{
    return m_d->m_owned ? m_d : m_d->m_owner;
}

PlistValue PlistValue::borrowed(plist_t child) const
{
    return PlistValue(QSharedPointer<PlistNode>(new PlistNode(child, false, treeOwner())));
}

unsigned PlistValue::arraySize() const
{
    return isArray() ? plist_array_get_size(node()) : 0;
}

PlistValue PlistValue::arrayItem(int index) const
{
    if (!isArray() || index < 0 || unsigned(index) >= arraySize())
        return borrowed(nullptr);
    return borrowed(plist_array_get_item(node(), uint32_t(index)));
}

plist_t PlistValue::adoptForInsert(const PlistValue &item) const
{
    plist_t child = item.node();
    if (!child)
        return nullptr;
    // Only a free-standing owned root can move into this tree as it is; it must
    // not be this tree's own root either, or the tree would contain itself.
    bool movable = item.m_d->m_owned && !plist_get_parent(child);
    if (movable) {
        plist_t root = node();
        while (plist_t up = plist_get_parent(root))
            root = up;
        movable = root != child;
    }
    if (!movable)
        return plist_copy(child);
    item.m_d->m_owned = false;
    item.m_d->m_owner = treeOwner();
    return child;
}

void PlistValue::arrayAppend(const PlistValue &item)
{
    if (!isArray())
        return;
    if (plist_t child = adoptForInsert(item))
        plist_array_append_item(node(), child);
}

unsigned PlistValue::dictSize() const
{
    return isDict() ? plist_dict_get_size(node()) : 0;
}

PlistValue PlistValue::dictItem(const QString &key) const
{
    if (!isDict())
        return borrowed(nullptr);
    return borrowed(plist_dict_get_item(node(), key.toUtf8().constData()));
}

void PlistValue::dictSet(const QString &key, const PlistValue &item)
{
    if (!isDict())
        return;
    if (plist_t child = adoptForInsert(item))
        plist_dict_set_item(node(), key.toUtf8().constData(), child);
}

QMap<QString, PlistValue> PlistValue::toMap() const
{
    QMap<QString, PlistValue> result;
    if (!isDict())
        return result;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node(), &iter);
    if (!iter)
        return result;
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node(), iter, &key, &value);
        if (!key)
            break;
        result.insert(QString::fromUtf8(key),
                      PlistValue(value ? plist_copy(value) : nullptr, true));
        std::free(key);
    }
    std::free(iter);
    return result;
}

QString PlistValue::toXml() const
{
    if (!node())
        return {};
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node(), &xml, &length);
    if (!xml)
        return {};
    QString result = QString::fromUtf8(xml, qsizetype(length));
    plist_to_xml_free(xml);
    return result;
}

QByteArray PlistValue::toBinary() const
{
    if (!node())
        return {};
    char *bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node(), &bin, &length);
    if (!bin)
        return {};
    QByteArray result(bin, qsizetype(length));
    plist_to_bin_free(bin);
    return result;
}

PlistValue parsePlistBuffer(const QByteArray &data, bool owned)
{
    if (data.isEmpty() || quint64(data.size()) > std::numeric_limits<uint32_t>::max())
        return PlistValue::nullValue(owned);
    plist_t root = nullptr;
    const auto length = uint32_t(data.size());
    if (data.size() >= 9 && data.startsWith("bplist00"))
        plist_from_bin(data.constData(), length, &root);
    else
        plist_from_xml(data.constData(), length, &root);
    return PlistValue(root, owned);
}
