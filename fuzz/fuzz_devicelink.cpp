// Messages of a hostile phone to the DeviceLink layer and the backup and
// sync clients over it: the first byte picks the operation, the rest is
// what the phone sends (framed property lists or not), then it hangs up.
// Values are read through our CoreFoundation stand-in, built instrumented
// beside the target.
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
        switch (data[0] % 6) {
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
        default:
            (void)mobiledevice_sync_process_changes(socket, CFType::newDictionary(),
                                                    QStringLiteral("c"), CFType::newDictionary())
                    .count();
            break;
        }
    } catch (const std::exception &) {
    }
    return 0;
}
