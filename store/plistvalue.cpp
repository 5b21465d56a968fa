#include "store/plistvalue.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

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

// libplist walks trees recursively when it parses, copies, writes and frees
// them, and it expands an object of a binary list once for every reference to
// it. A hostile list could thus exhaust the stack with deep nesting or memory
// with a small web of shared references. Before a buffer reaches libplist its
// shape is checked against these limits, far above any real list.
constexpr int kMaxDepth = 512;
constexpr quint64 kMaxNodes = quint64(1) << 21;

// Nesting depth of the <array> and <dict> elements of an XML list.
bool xmlShapeIsSafe(const QByteArray &data)
{
    // XML has no NUL character; libplist would keep one inside a text and
    // later overrun its buffers on it.
    if (data.contains('\0'))
        return false;
    const char *p = data.constData();
    const char *end = p + data.size();
    int depth = 0;
    auto startsWith = [&](const char *at, const char *word) {
        const qsizetype n = qsizetype(std::strlen(word));
        return end - at >= n && std::memcmp(at, word, size_t(n)) == 0;
    };
    while ((p = static_cast<const char *>(std::memchr(p, '<', size_t(end - p))))) {
        ++p;
        const bool closing = p < end && *p == '/';
        const char *name = closing ? p + 1 : p;
        const char *word = startsWith(name, "array") ? "array"
                : startsWith(name, "dict")           ? "dict"
                                                     : nullptr;
        if (!word)
            continue;
        const char *after = name + std::strlen(word);
        if (after < end && *after != '>' && *after != '/' && !std::isspace(uchar(*after)))
            continue; // another element whose name begins the same way
        const char *close = static_cast<const char *>(std::memchr(after, '>', size_t(end - after)));
        if (!close)
            break;
        if (closing)
            --depth;
        else if (close[-1] != '/' && ++depth > kMaxDepth)
            return false;
        p = close + 1;
    }
    return true;
}

// Depth and expanded size of the object graph of a binary list ("bplist00"),
// walked without recursion. Anything that cannot be read is refused here:
// libplist would refuse it too.
bool binaryShapeIsSafe(const QByteArray &data)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    const quint64 size = quint64(data.size());
    if (size < 8 + 32)
        return false;
    auto bigEndian = [&](quint64 at, int width, quint64 *out) {
        if (width < 1 || width > 8 || at > size || size - at < quint64(width))
            return false;
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | bytes[at + quint64(i)];
        *out = v;
        return true;
    };
    const uchar *trailer = bytes + size - 32;
    const int offsetSize = trailer[6];
    const int refSize = trailer[7];
    quint64 objects = 0, top = 0, tableAt = 0;
    if (!bigEndian(size - 24, 8, &objects) || !bigEndian(size - 16, 8, &top)
        || !bigEndian(size - 8, 8, &tableAt))
        return false;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objects == 0
        || top >= objects || tableAt >= size || objects > (size - tableAt) / quint64(offsetSize))
        return false;

    // Where an object starts, its type and its count (of elements, entries,
    // characters or bytes), and where its contents begin.
    struct Object
    {
        int kind = 0;
        quint64 count = 0;
        quint64 contents = 0;
    };
    auto object = [&](quint64 index, Object *o) {
        quint64 at = 0;
        if (!bigEndian(tableAt + index * quint64(offsetSize), offsetSize, &at) || at >= size)
            return false;
        const uchar marker = bytes[at];
        o->kind = marker >> 4;
        o->count = marker & 0x0F;
        ++at;
        if (o->count == 0x0F && o->kind >= 0x4) {
            if (at >= size || (bytes[at] >> 4) != 0x1 || (bytes[at] & 0x0F) > 3)
                return false;
            const int width = 1 << (bytes[at] & 0x0F);
            if (!bigEndian(at + 1, width, &o->count))
                return false;
            at += 1 + quint64(width);
        }
        o->contents = at;
        return true;
    };
    // A text with a NUL character: libplist keeps its full length but reads
    // it as a C string in places, and overruns its buffers then.
    auto textHasNul = [&](const Object &o) {
        const quint64 unit = o.kind == 0x6 ? 2 : 1;
        if (o.count > size || o.contents > size || o.count * unit > size - o.contents)
            return true; // unreadable; refused all the same
        for (quint64 i = 0; i < o.count; ++i) {
            const uchar *c = bytes + o.contents + i * unit;
            if (c[0] == 0 && (unit == 1 || c[1] == 0))
                return true;
        }
        return false;
    };
    auto isText = [](int kind) { return kind == 0x5 || kind == 0x6 || kind == 0x7; };

    // The references an object holds: none for a scalar. Dictionary keys
    // must be texts without NUL (values with one are cut after parsing).
    auto children = [&](quint64 index, std::vector<quint64> *out) {
        out->clear();
        Object o;
        if (!object(index, &o))
            return false;
        if (o.kind != 0xA && o.kind != 0xC && o.kind != 0xD)
            return true;
        const quint64 refs = o.kind == 0xD ? o.count * 2 : o.count;
        if (o.count > size || refs > (size - qMin(o.contents, size)) / quint64(refSize))
            return false;
        out->reserve(size_t(refs));
        for (quint64 i = 0; i < refs; ++i) {
            quint64 ref = 0;
            if (!bigEndian(o.contents + i * quint64(refSize), refSize, &ref) || ref >= objects)
                return false;
            if (o.kind == 0xD && i < o.count) {
                Object key;
                if (!object(ref, &key) || (isText(key.kind) && textHasNul(key)))
                    return false;
            }
            out->push_back(ref);
        }
        return true;
    };

    enum : uchar { Unseen, Open, Done };
    std::vector<uchar> state(size_t(objects), Unseen);
    std::vector<int> depthOf(size_t(objects), 0);
    std::vector<quint64> nodesOf(size_t(objects), 0);
    struct Frame
    {
        quint64 object;
        std::vector<quint64> refs;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({top, {}});
    if (!children(top, &stack.back().refs))
        return false;
    state[size_t(top)] = Open;
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next < f.refs.size()) {
            const quint64 child = f.refs[f.next++];
            if (state[size_t(child)] == Open)
                return false; // a container that holds itself
            if (state[size_t(child)] == Unseen) {
                if (stack.size() >= size_t(kMaxDepth))
                    return false;
                Frame next {child, {}};
                if (!children(child, &next.refs))
                    return false;
                state[size_t(child)] = Open;
                stack.push_back(std::move(next));
            }
            continue;
        }
        int depth = 0;
        quint64 nodes = 1;
        for (quint64 ref : f.refs) {
            depth = qMax(depth, depthOf[size_t(ref)]);
            nodes += nodesOf[size_t(ref)];
            if (nodes > kMaxNodes)
                return false;
        }
        depthOf[size_t(f.object)] = depth + 1;
        nodesOf[size_t(f.object)] = nodes;
        state[size_t(f.object)] = Done;
        stack.pop_back();
    }
    return true;
}

// Cuts every text value of a parsed tree at its first NUL character, so that
// libplist's own length and its C-string view of the text agree.
void cutTextsAtNul(plist_t root)
{
    std::vector<plist_t> pending {root};
    while (!pending.empty()) {
        plist_t node = pending.back();
        pending.pop_back();
        switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            uint64_t length = 0;
            const char *text = plist_get_string_ptr(node, &length);
            if (text && std::strlen(text) != length)
                plist_set_string_val(node, std::string(text).c_str());
            break;
        }
        case PLIST_ARRAY:
            for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
                pending.push_back(plist_array_get_item(node, i));
            break;
        case PLIST_DICT: {
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            for (char *key = nullptr; iter;) {
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, &key, &value);
                if (!key)
                    break;
                std::free(key);
                key = nullptr;
                if (value)
                    pending.push_back(value);
            }
            std::free(iter);
            break;
        }
        default:
            break;
        }
    }
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
    // Not plist_get_string_val: libplist asserts there that the string holds
    // no NUL byte, which a list from outside may well do. The text ends at
    // the first NUL, as a C string would.
    uint64_t length = 0;
    const char *text = plist_get_string_ptr(node(), &length);
    if (!text)
        return {};
    const qsizetype n
            = qsizetype(qMin<uint64_t>(length, uint64_t(std::numeric_limits<qsizetype>::max())));
    const char *nul = static_cast<const char *>(std::memchr(text, '\0', size_t(n)));
    return QString::fromUtf8(text, nul ? qsizetype(nul - text) : n);
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
    if (data.size() >= 9 && data.startsWith("bplist00")) {
        if (binaryShapeIsSafe(data))
            plist_from_bin(data.constData(), length, &root);
        if (root)
            cutTextsAtNul(root);
    } else if (xmlShapeIsSafe(data)) {
        plist_from_xml(data.constData(), length, &root);
    }
    return PlistValue(root, owned);
}
