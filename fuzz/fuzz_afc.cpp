// Answers of a hostile phone to the AFC file client and to the house_arrest
// request before it: the first byte picks the operation, the rest is what
// the phone sends back (then it hangs up). Every answer is read or refused
// with an error; nothing reads past what arrived or allocates what an
// answer merely announces, and the property list of a house_arrest answer
// (read through our CoreFoundation stand-in, built instrumented beside the
// target) is measured before it is read: the run's memory limit
// (tools/fuzz.sh) is far below what a list of shared values expands to.
#include "fuzz/hostilepeer.h"
#include "iphone/afc.h"
#include "iphone/applelibrary.h"
#include "iphone/housearrest.h"

#include <QByteArray>

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
    // As in fuzz_devicelink: a sixteenth of the program's limits.
    mobiledevice::MessageLimits limits;
    limits.values /= 16;
    limits.bytes /= 16;
    mobiledevice::setMessageLimits(limits);
    return 0;
}

namespace {

// Requests one after another on the same socket, as a caller goes on after
// a refusal: each answer is read or refused on its own.
void several(int socket)
{
    const auto quietly = [](auto &&f) {
        try {
            f();
        } catch (const std::exception &) { }
    };
    quietly([&] { (void)mobiledevice_afc_read_directory(socket, QStringLiteral("/")); });
    quietly([&] { (void)mobiledevice_afc_get_file_info(socket, QStringLiteral("/f")); });
    quietly([&] {
        const quint64 handle = mobiledevice_afc_file_open(socket, QStringLiteral("/f"), 1);
        char buffer[200];
        (void)mobiledevice_afc_file_read(socket, handle, buffer, int(sizeof buffer));
        mobiledevice_afc_file_close(socket, handle);
    });
    quietly([&] { mobiledevice_afc_remove_path(socket, QStringLiteral("/f")); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const HostilePeer peer(reinterpret_cast<const char *>(data + 1), size - 1);
    if (!peer.isOpen())
        return 0;
    const int socket = peer.socket();
    try {
        switch (data[0] % 10) {
        case 0: {
            AfcHeader header;
            const QByteArray payload = mobiledevice_afc_receive_packet(socket, header, nullptr);
            (void)afc::pairsOf(payload);
            break;
        }
        case 1: {
            AfcHeader header;
            quint32 status = 0;
            (void)mobiledevice_afc_receive_packet(socket, header, &status);
            break;
        }
        case 2: {
            char buffer[300];
            (void)mobiledevice_afc_file_read(socket, 1, buffer, int(sizeof buffer));
            break;
        }
        case 3:
            (void)mobiledevice_afc_read_directory(socket, QStringLiteral("/"));
            break;
        case 4:
            (void)mobiledevice_afc_get_file_info(socket, QStringLiteral("/f"));
            break;
        case 5:
            (void)mobiledevice_afc_file_open(socket, QStringLiteral("/f"), 1);
            break;
        case 6: {
            const char bytes[100] = {};
            (void)mobiledevice_afc_file_write(socket, 1, bytes, int(sizeof bytes));
            break;
        }
        case 7:
            (void)mobiledevice_afc_file_lock(socket, 1, 2);
            break;
        case 8:
            mobiledevice_house_arrest_vend_container(socket, QStringLiteral("com.example.app"));
            several(socket);
            break;
        default:
            several(socket);
            break;
        }
    } catch (const std::exception &) {
    }
    return 0;
}
