// Manifest.mbdb reader: any input either reads or fails with an error, and
// whatever reads writes back into bytes that read as the same records.
#include "backup/mbdbrecord.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // No copy: the sanitizer then sees any read past the fuzzer's buffer.
    const QByteArray bytes
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    MbdbRecordSet records;
    try {
        records = parseMbdb(bytes);
    } catch (const std::runtime_error &) {
        return 0;
    }
    const QByteArray written = serializeMbdb(records.values());
    if (parseMbdb(written) != records)
        std::abort();
    return 0;
}
