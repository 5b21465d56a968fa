#pragma once

#include <QList>
#include <QtGlobal>

#include <algorithm>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

// An ordered map kept as one sorted array of key/value pairs: the part of
// QMap's interface the record tables use, with the same order (K's
// operator<) and the same rule for a key inserted twice (the later value
// stays). An entry costs its key and value and nothing else, and a walk
// reads memory in order.
//
// insert() places one entry with a binary search; an entry that goes in
// the middle moves the ones after it, so a table filled in no particular
// order is filled with appendUnsorted() and then finishAppending(): the
// entries are kept in the runs they came in (a run ends where a key is not
// above the one before) and the runs are merged once. Until
// finishAppending() the map may be walked and counted but not searched.
// Iterators and references are valid until the map is next changed.
template<typename K, typename V>
class FlatMap
{
    using Entry = std::pair<K, V>;

public:
    template<bool Const>
    class Iterator
    {
        using EntryPtr = std::conditional_t<Const, const Entry *, Entry *>;

    public:
        using iterator_category = std::random_access_iterator_tag;
        using difference_type = qsizetype;
        using value_type = V;
        using pointer = std::conditional_t<Const, const V *, V *>;
        using reference = std::conditional_t<Const, const V &, V &>;

        Iterator() = default;
        explicit Iterator(EntryPtr p)
            : m_p(p)
        { }
        template<bool C = Const, typename = std::enable_if_t<!C>>
        operator Iterator<true>() const
        {
            return Iterator<true>(m_p);
        }

        const K &key() const { return m_p->first; }
        reference value() const { return m_p->second; }
        reference operator*() const { return m_p->second; }
        pointer operator->() const { return &m_p->second; }
        reference operator[](difference_type n) const { return m_p[n].second; }

        Iterator &operator++()
        {
            ++m_p;
            return *this;
        }
        Iterator operator++(int) { return Iterator(m_p++); }
        Iterator &operator--()
        {
            --m_p;
            return *this;
        }
        Iterator operator--(int) { return Iterator(m_p--); }
        Iterator &operator+=(difference_type n)
        {
            m_p += n;
            return *this;
        }
        Iterator &operator-=(difference_type n)
        {
            m_p -= n;
            return *this;
        }
        friend Iterator operator+(Iterator it, difference_type n) { return it += n; }
        friend Iterator operator+(difference_type n, Iterator it) { return it += n; }
        friend Iterator operator-(Iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(Iterator a, Iterator b) { return a.m_p - b.m_p; }
        friend bool operator==(Iterator a, Iterator b) { return a.m_p == b.m_p; }
        friend bool operator!=(Iterator a, Iterator b) { return a.m_p != b.m_p; }
        friend bool operator<(Iterator a, Iterator b) { return a.m_p < b.m_p; }
        friend bool operator>(Iterator a, Iterator b) { return a.m_p > b.m_p; }
        friend bool operator<=(Iterator a, Iterator b) { return a.m_p <= b.m_p; }
        friend bool operator>=(Iterator a, Iterator b) { return a.m_p >= b.m_p; }

    private:
        friend class FlatMap;
        EntryPtr m_p = nullptr;
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;
    using key_type = K;
    using mapped_type = V;
    using size_type = qsizetype;

    qsizetype size() const { return m_entries.size(); }
    qsizetype count() const { return m_entries.size(); }
    bool isEmpty() const { return m_entries.isEmpty(); }
    bool empty() const { return m_entries.isEmpty(); }
    void clear()
    {
        m_entries.clear();
        m_runs.clear();
    }
    void reserve(qsizetype n) { m_entries.reserve(n); }
    void squeeze() { m_entries.squeeze(); }

    iterator begin() { return iterator(m_entries.data()); }
    iterator end() { return iterator(m_entries.data() + m_entries.size()); }
    const_iterator begin() const { return cbegin(); }
    const_iterator end() const { return cend(); }
    const_iterator cbegin() const { return const_iterator(m_entries.constData()); }
    const_iterator cend() const
    {
        return const_iterator(m_entries.constData() + m_entries.size());
    }
    const_iterator constBegin() const { return cbegin(); }
    const_iterator constEnd() const { return cend(); }

    const_iterator lowerBound(const K &key) const
    {
        Q_ASSERT(isSorted());
        return const_iterator(lowerEntry(key));
    }
    iterator lowerBound(const K &key) { return toMutable(std::as_const(*this).lowerBound(key)); }
    const_iterator upperBound(const K &key) const
    {
        Q_ASSERT(isSorted());
        return const_iterator(std::upper_bound(
                m_entries.constData(), m_entries.constData() + m_entries.size(), key,
                [](const K &k, const Entry &e) { return k < e.first; }));
    }
    iterator upperBound(const K &key) { return toMutable(std::as_const(*this).upperBound(key)); }

    const_iterator constFind(const K &key) const
    {
        const Entry *e = lowerEntry(key);
        return isAt(e, key) ? const_iterator(e) : cend();
    }
    const_iterator find(const K &key) const { return constFind(key); }
    iterator find(const K &key) { return toMutable(constFind(key)); }
    bool contains(const K &key) const { return isAt(lowerEntry(key), key); }
    V value(const K &key, const V &defaultValue = V()) const
    {
        const Entry *e = lowerEntry(key);
        return isAt(e, key) ? e->second : defaultValue;
    }

    // The first and last entries in key order; the map must not be empty.
    const V &first() const { return m_entries.constFirst().second; }
    const V &last() const { return m_entries.constLast().second; }
    const K &firstKey() const { return m_entries.constFirst().first; }
    const K &lastKey() const { return m_entries.constLast().first; }

    QList<K> keys() const
    {
        QList<K> list;
        list.reserve(m_entries.size());
        for (const Entry &e : m_entries)
            list.append(e.first);
        return list;
    }
    QList<V> values() const
    {
        QList<V> list;
        list.reserve(m_entries.size());
        for (const Entry &e : m_entries)
            list.append(e.second);
        return list;
    }

    // Puts value under key, in place of the value there if any.
    iterator insert(const K &key, const V &value)
    {
        Q_ASSERT(isSorted());
        const Entry *at = lowerEntry(key);
        const qsizetype i = at - m_entries.constData();
        if (isAt(at, key)) {
            m_entries[i].second = value;
        } else if (i == m_entries.size()) {
            m_entries.emplaceBack(key, value);
        } else {
            m_entries.emplace(i, key, value);
        }
        return iterator(m_entries.data() + i);
    }
    V &operator[](const K &key)
    {
        Q_ASSERT(isSorted());
        const qsizetype i = lowerEntry(key) - m_entries.constData();
        if (!isAt(m_entries.constData() + i, key))
            m_entries.emplace(i, key, V());
        return m_entries[i].second;
    }

    iterator erase(const_iterator it)
    {
        const qsizetype i = it.m_p - m_entries.constData();
        m_entries.remove(i);
        return iterator(m_entries.data() + i);
    }
    iterator erase(iterator it) { return erase(const_iterator(it)); }
    // The number of entries removed (0 or 1).
    qsizetype remove(const K &key)
    {
        const const_iterator it = constFind(key);
        if (it == cend())
            return 0;
        erase(it);
        return 1;
    }
    V take(const K &key)
    {
        const const_iterator it = constFind(key);
        if (it == cend())
            return V();
        V v = std::move(m_entries[it.m_p - m_entries.constData()].second);
        erase(it);
        return v;
    }

    // Searches the first count entries alone, which are in order while
    // appending when they were in the map before it began.
    const_iterator findInFirst(qsizetype count, const K &key) const
    {
        Q_ASSERT(count >= 0 && count <= m_entries.size());
        const Entry *end = m_entries.constData() + count;
        const Entry *e = std::lower_bound(m_entries.constData(), end, key,
                                          [](const Entry &x, const K &k) { return x.first < k; });
        return e != end && !(key < e->first) ? const_iterator(e) : cend();
    }

    // Adds an entry at the end without searching; finishAppending() puts
    // the map in order afterwards. A key appended again replaces the
    // earlier entry then, as with insert().
    void appendUnsorted(const K &key, const V &value)
    {
        if (!m_entries.isEmpty() && !(m_entries.constLast().first < key))
            m_runs.push_back(m_entries.size());
        m_entries.emplaceBack(key, value);
    }
    // Whether the map is in order: nothing appended since the last
    // finishAppending() out of order.
    bool isSorted() const { return m_runs.empty(); }
    // Merges what was appended into the map's order.
    void finishAppending()
    {
        if (m_runs.empty())
            return;
        Entry *const data = m_entries.data();
        const auto byKey = [](const Entry &a, const Entry &b) { return a.first < b.first; };
        std::vector<qsizetype> bounds;
        bounds.reserve(m_runs.size() + 2);
        bounds.push_back(0);
        bounds.insert(bounds.end(), m_runs.begin(), m_runs.end());
        bounds.push_back(m_entries.size());
        m_runs = {};
        // Neighbouring runs merged pairwise, stable: of equal keys, the one
        // appended later stays after the one before.
        while (bounds.size() > 2) {
            std::vector<qsizetype> merged;
            merged.reserve(bounds.size() / 2 + 2);
            size_t i = 0;
            for (; i + 2 < bounds.size(); i += 2) {
                std::inplace_merge(data + bounds[i], data + bounds[i + 1], data + bounds[i + 2],
                                   byKey);
                merged.push_back(bounds[i]);
            }
            for (; i < bounds.size(); ++i)
                merged.push_back(bounds[i]);
            bounds.swap(merged);
        }
        // Of equal keys the last one stays.
        qsizetype kept = 0;
        for (qsizetype i = 0; i < m_entries.size(); ++i) {
            if (kept > 0 && !(data[kept - 1].first < data[i].first))
                data[kept - 1] = std::move(data[i]);
            else if (kept != i)
                data[kept++] = std::move(data[i]);
            else
                ++kept;
        }
        m_entries.resize(kept);
    }

    friend bool operator==(const FlatMap &a, const FlatMap &b) { return a.m_entries == b.m_entries; }
    friend bool operator!=(const FlatMap &a, const FlatMap &b) { return !(a == b); }

private:
    const Entry *lowerEntry(const K &key) const
    {
        Q_ASSERT(isSorted());
        return std::lower_bound(m_entries.constData(), m_entries.constData() + m_entries.size(),
                                key, [](const Entry &e, const K &k) { return e.first < k; });
    }
    bool isAt(const Entry *e, const K &key) const
    {
        return e != m_entries.constData() + m_entries.size() && !(key < e->first);
    }
    iterator toMutable(const_iterator it)
    {
        const qsizetype i = it.m_p - m_entries.constData();
        return iterator(m_entries.data() + i);
    }

    QList<Entry> m_entries;
    // Where each run after the first begins, while entries appended with
    // appendUnsorted() wait to be merged.
    std::vector<qsizetype> m_runs;
};
