// Messages of a hostile phone to the DeviceLink layer and the backup and
// sync clients over it: the first byte picks the operation, the rest is
// what the phone sends (framed property lists or not), then it hangs up.
// Values are read through our CoreFoundation stand-in, built instrumented
// beside the target. A binary list may share one value among any number of
// entries: the run's memory limit (tools/fuzz.sh) is far below what such a
// message expands to, so a message read before it is measured fails it.
#include "fuzz/hostilepeer.h"
#include "iphone/applelibrary.h"
#include "iphone/devicelink.h"
#include "iphone/mobilebackup2.h"
#include "iphone/mobilesync.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    coreFoundationLibrary.setFileName(QStringLiteral(PEL_FUZZ_CF_LIBRARY));
    if (!coreFoundationLibrary.load()) {
        std::fprintf(stderr, "cannot load %s: %s\n", PEL_FUZZ_CF_LIBRARY,
                     qPrintable(coreFoundationLibrary.errorString()));
        std::abort();
    }
    // Reads end at the hang-up; these only bound a stuck run.
    mobiledevice::setServiceTimeoutMs(1000);
    mobiledevice::setLengthTimeoutMs(1000);
    // A sixteenth of the program's limits: a message at them costs the
    // instrumented reader, its copies and their XML some 100 MB, well
    // within the run's memory limit.
    mobiledevice::MessageLimits limits;
    limits.values /= 16;
    limits.bytes /= 16;
    mobiledevice::setMessageLimits(limits);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const HostilePeer peer(reinterpret_cast<const char *>(data + 1), size - 1);
    if (!peer.isOpen())
        return 0;
    const int socket = peer.socket();
    try {
        switch (data[0] % 8) {
        case 0: {
            CFType message;
            QString name;
            mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, CFType());
            (void)devicelink::element(message, 3).toString();
            break;
        }
        case 1: {
            CFType whole;
            const CFType body = mobiledevice_link_sc_recv_process_message(socket, CFType(), &whole);
            (void)body.value(QStringLiteral("MessageName")).toQString();
            break;
        }
        case 2:
            mobiledevice_link_version_exchange(socket);
            break;
        case 3: {
            const double versions[] = {2.0, 2.1};
            (void)mobiledevice_backup2_version_exchange(socket, versions, 2);
            break;
        }
        case 4: {
            const QList<CFType> records
                    = mobiledevice_sync_get_all_records(socket, QStringLiteral("c"));
            for (const CFType &r : records)
                (void)r.keys();
            break;
        }
        case 5:
            (void)mobiledevice_sync_process_changes(socket, CFType::newDictionary(),
                                                    QStringLiteral("c"), CFType::newDictionary())
                    .count();
            break;
        case 6: {
            int code = 0;
            CFType whole;
            (void)mobiledevice_backup2_recv_response(socket, &code, CFType(), &whole);
            break;
        }
        default:
            mobiledevice_sync_clear_all_records(socket, QStringLiteral("c"));
            mobiledevice_sync_finish(socket, QStringLiteral("c"));
            break;
        }
    } catch (const std::exception &) {
    }
    return 0;
}
