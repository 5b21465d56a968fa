#pragma once

#include <QByteArray>
#include <QtGlobal>

// What a property list received from a phone becomes once it is read. A
// binary list may point many entries at one shared value, so a message of a
// few hundred kilobytes can stand for gigabytes of values; this walks the
// list's object table without building any value and counts every value
// and its bytes as often as it is referred to.

namespace plistexpansion {

struct Size
{
    // Values (strings, numbers, containers, keys included) and the bytes
    // they hold (text, data, numbers), every reference counted in full.
    // Once a count passes its limit the walk stops: the counts are then
    // only known to be above it.
    qint64 values = 0;
    qint64 bytes = 0;
    // False for a binary list whose tables do not hold together (an offset
    // or a reference outside the list, a value inside itself): no reader
    // makes anything of it.
    bool readable = true;

    bool within(qint64 maxValues, qint64 maxBytes) const
    {
        return readable && values <= maxValues && bytes <= maxBytes;
    }
};

// The size of the list in bytes, counted up to the limits. An XML list has
// no shared values: its values are counted as its tags (an upper bound)
// and its bytes as its length.
Size measure(const QByteArray &bytes, qint64 maxValues, qint64 maxBytes);

} // namespace plistexpansion
