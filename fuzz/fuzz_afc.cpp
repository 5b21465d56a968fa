// Answers of a hostile phone to the AFC file client: the first byte picks
// the operation, the rest is what the phone sends back (then it hangs up).
// Every answer is read or refused with an error; nothing reads past what
// arrived or allocates what an answer merely announces.
#include "fuzz/hostilepeer.h"
#include "iphone/afc.h"

#include <QByteArray>

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const HostilePeer peer(reinterpret_cast<const char *>(data + 1), size - 1);
    if (!peer.isOpen())
        return 0;
    mobiledevice::setServiceTimeoutMs(1000);
    const int socket = peer.socket();
    try {
        switch (data[0] % 8) {
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
        default:
            (void)mobiledevice_afc_file_lock(socket, 1, 2);
            break;
        }
    } catch (const std::exception &) {
    }
    return 0;
}
