#include "iphone/plistexpansion.h"

#include <algorithm>
#include <vector>

namespace plistexpansion {

namespace {

// A binary list: "bplist" and two version bytes, the objects, the table of
// their offsets and a 32-byte trailer (the sizes of an offset and of a
// reference, the count of objects, the top object, where the table starts).
class BinaryList
{
public:
    explicit BinaryList(const QByteArray &bytes)
        : m_data(reinterpret_cast<const uchar *>(bytes.constData()))
        , m_size(quint64(bytes.size()))
    { }

    bool readTrailer()
    {
        if (m_size < 8 + 32)
            return false;
        const quint64 t = m_size - 32;
        m_offsetSize = m_data[t + 6];
        m_refSize = m_data[t + 7];
        m_count = number(t + 8, 8);
        m_top = number(t + 16, 8);
        m_table = number(t + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8)
            return false;
        // Every object takes a byte at least, so there are never more
        // objects than bytes; that keeps the products below from overflowing.
        if (m_count < 1 || m_count > m_size || m_top >= m_count)
            return false;
        return m_table >= 8 && m_table <= t && m_count * m_offsetSize <= t - m_table;
    }

    quint64 count() const { return m_count; }
    quint64 top() const { return m_top; }

    // What one object is: its own bytes, and where its references lie.
    struct Object
    {
        qint64 bytes = 0;
        quint64 refs = 0; // count of references
        quint64 refsAt = 0;
    };

    // False when the object does not lie inside the list.
    bool object(quint64 index, Object &o) const
    {
        const quint64 at = number(m_table + index * m_offsetSize, m_offsetSize);
        if (at < 8 || at >= m_size)
            return false;
        const uchar marker = m_data[at];
        const int type = marker >> 4;
        const int info = marker & 0x0F;
        quint64 content = at + 1;
        quint64 length = quint64(info);
        const bool counted = type == 0x4 || type == 0x5 || type == 0x6 || type == 0x7 || type == 0xA
                || type == 0xB || type == 0xC || type == 0xD;
        if (counted && info == 0x0F) {
            // The length follows as an integer object of 1, 2, 4 or 8 bytes.
            if (content >= m_size || (m_data[content] & 0xF0) != 0x10)
                return false;
            const int width = 1 << (m_data[content] & 0x0F);
            if (width > 8 || content + 1 + quint64(width) > m_size)
                return false;
            length = number(content + 1, width);
            content += 1 + quint64(width);
        }
        // No length may run past the list: checked before any product.
        if (length > m_size)
            return false;
        quint64 own = 1;
        switch (type) {
        case 0x1: // integer
        case 0x2: // real
            own = quint64(1) << info;
            break;
        case 0x3: // date
            own = 8;
            break;
        case 0x4: // data
        case 0x5: // ASCII text
        case 0x7: // UTF-8 text
            own = length;
            break;
        case 0x6: // UTF-16 text
            own = 2 * length;
            break;
        case 0x8: // uid
            own = quint64(info) + 1;
            break;
        case 0xA: // array
        case 0xB: // ordered set
        case 0xC: // set
            o.refs = length;
            own = length * m_refSize;
            break;
        case 0xD: // dictionary: the keys' references, then the values'
            o.refs = 2 * length;
            own = 2 * length * m_refSize;
            break;
        default: // null, booleans, fill and the unknown: the marker alone
            own = 0;
            content = at;
            break;
        }
        if (own > m_size || content + own > m_size)
            return false;
        o.refsAt = content;
        o.bytes = o.refs ? 0 : qint64(own ? own : 1);
        return true;
    }

    // The index of the ith reference of an object; count() when it points
    // outside the list.
    quint64 reference(const Object &o, quint64 i) const
    {
        const quint64 ref = number(o.refsAt + i * m_refSize, m_refSize);
        return ref < m_count ? ref : m_count;
    }

private:
    quint64 number(quint64 at, int width) const
    {
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = v << 8 | m_data[at + quint64(i)];
        return v;
    }

    const uchar *m_data;
    quint64 m_size;
    int m_offsetSize = 0;
    int m_refSize = 0;
    quint64 m_count = 0;
    quint64 m_top = 0;
    quint64 m_table = 0;
};

Size unreadable()
{
    Size s;
    s.readable = false;
    return s;
}

} // namespace

Size measure(const QByteArray &bytes, qint64 maxValues, qint64 maxBytes)
{
    if (!bytes.startsWith("bplist")) {
        Size s;
        s.values = bytes.count('<');
        s.bytes = bytes.size();
        return s;
    }
    BinaryList list(bytes);
    if (!list.readTrailer())
        return unreadable();

    // Counts past a limit are kept at limit + 1: nothing overflows, and the
    // walk ends as soon as any value is known to be too large.
    const qint64 valueCap = std::max<qint64>(maxValues, 0) + 1;
    const qint64 byteCap = std::max<qint64>(maxBytes, 0) + 1;
    const auto add = [](qint64 a, qint64 b, qint64 cap) { return std::min(cap, a + b); };

    // A writer puts every object it writes in the list's tree, where each
    // counts once at least: a list of more objects than values allowed is
    // too large whatever its references say. This also bounds what the
    // walk below keeps per object.
    if (list.count() >= quint64(valueCap)) {
        Size s;
        s.values = valueCap;
        return s;
    }
    enum : uchar { Unseen, Open, Done };
    const quint64 n = list.count();
    std::vector<uchar> state(n, Unseen);
    std::vector<qint64> values(n, 0);
    std::vector<qint64> sizes(n, 0);

    struct Frame
    {
        quint64 index;
        BinaryList::Object object;
        quint64 next = 0;
        qint64 values = 1;
        qint64 bytes = 0;
    };
    std::vector<Frame> stack;

    // Enters an object: a leaf is done at once, a container is walked.
    const auto enter = [&](quint64 index) -> bool {
        BinaryList::Object o;
        if (!list.object(index, o))
            return false;
        if (o.refs == 0) {
            state[index] = Done;
            values[index] = 1;
            sizes[index] = std::min(byteCap, o.bytes);
            return true;
        }
        state[index] = Open;
        stack.push_back(Frame {index, o});
        return true;
    };

    if (!enter(list.top()))
        return unreadable();
    Size total;
    if (stack.empty()) {
        total.values = values[list.top()];
        total.bytes = sizes[list.top()];
        return total;
    }
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next < f.object.refs) {
            const quint64 child = list.reference(f.object, f.next++);
            if (child >= n || state[child] == Open)
                return unreadable(); // outside the list, or inside itself
            if (state[child] == Unseen) {
                if (!enter(child))
                    return unreadable();
                if (state[child] == Open)
                    continue; // f may have moved with the stack
            }
            f.values = add(f.values, values[child], valueCap);
            f.bytes = add(f.bytes, sizes[child], byteCap);
            if (f.values >= valueCap || f.bytes >= byteCap) {
                total.values = f.values;
                total.bytes = f.bytes;
                return total;
            }
            continue;
        }
        const Frame done = f;
        stack.pop_back();
        state[done.index] = Done;
        values[done.index] = done.values;
        sizes[done.index] = done.bytes;
        if (!stack.empty()) {
            Frame &parent = stack.back();
            parent.values = add(parent.values, done.values, valueCap);
            parent.bytes = add(parent.bytes, done.bytes, byteCap);
            if (parent.values >= valueCap || parent.bytes >= byteCap) {
                total.values = parent.values;
                total.bytes = parent.bytes;
                return total;
            }
        } else {
            total.values = done.values;
            total.bytes = done.bytes;
        }
    }
    return total;
}

} // namespace plistexpansion
