// Keybag parsing, unlocking and file-key unwrapping over arbitrary bytes.
#include "backup/keybag.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    Keybag bag = Keybag::parse(bytes);
    // Unlock only where the key derivation stays short.
    if (keybagUInt32(bag.attributes, QStringLiteral("ITER")) <= 64) {
        try {
            bag.unlock("password");
        } catch (const std::runtime_error &) { }
    }
    for (auto it = bag.classes.cbegin(); it != bag.classes.cend(); ++it)
        bag.unwrapFileKey(it.key(), bytes.right(40));
    return 0;
}
