// Manifest.mbdb reader and file tree: any input either reads or fails with an
// error; whatever reads writes back into bytes that read as the same records,
// and its tree holds only plain names.
#include "backup/backupmanifest.h"
#include "backup/mbdbrecord.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
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

    BackupManifest manifest(QStringLiteral("/nonexistent"));
    manifest.buildFileTree(records);
    std::function<void(const BackupFileNode *)> check = [&](const BackupFileNode *node) {
        for (const BackupFileNode *child : node->children) {
            if (child->parent != node || child->name.isEmpty() || child->name == "."
                || child->name == ".." || child->name.contains('/'))
                std::abort();
            check(child);
        }
    };
    check(&manifest.root);
    return 0;
}
