// Property lists from untrusted files (Manifest.plist, message bodies): any
// input parses or gives a null value, and what parses can be walked, copied
// and written out again.
#include "store/plistvalue.h"

#include <cstdint>

namespace {

void walk(const PlistValue &v, int depth)
{
    if (depth > 8)
        return;
    (void)v.toString();
    (void)v.toByteArray();
    (void)v.toDateTime();
    for (unsigned i = 0; i < v.arraySize() && i < 16; ++i)
        walk(v.arrayItem(int(i)), depth + 1);
    const QMap<QString, PlistValue> map = v.toMap();
    for (auto it = map.begin(); it != map.end(); ++it)
        walk(v.dictItem(it.key()), depth + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const PlistValue v = parsePlistBuffer(bytes);
    if (v.isNull())
        return 0;
    walk(v, 0);
    (void)v.dictItem(QStringLiteral("Lockdown")).dictItem(QStringLiteral("DeviceName")).toString();
    PlistValue copy = PlistValue::copy(v);
    copy.dictSet(QStringLiteral("k"), v.dictItem(QStringLiteral("Date")));
    (void)parsePlistBuffer(copy.toBinary());
    (void)parsePlistBuffer(copy.toXml().toUtf8());
    return 0;
}
