#pragma once

#include "iphone/cftype.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class QObject;

// MobileDevice's opaque reference to one attached iPhone. It arrives with a
// device notification and is neither retained nor released here.
using AMDeviceRef = void *;

// Where device notifications go: the receiver's slot connectedSlot (a device
// arrived) or disconnectedSlot (a device left) is invoked by name with the
// device reference as its one "void*" argument, queued into the receiver's
// thread.
struct DeviceNotifyTarget
{
    DeviceNotifyTarget();
    DeviceNotifyTarget(QObject *receiver, const char *connectedSlot, const char *disconnectedSlot);

    QObject *receiver;
    const char *connectedSlot;
    const char *disconnectedSlot;
    // Kept by the call-back under the notification lock: the devices
    // announced as arrived and not yet as left, and whether the target has
    // its subscription. Read them through the functions below.
    QSet<AMDeviceRef> attached;
    bool subscribed = false;
};

// The process-wide target, empty until the main window fills it.
extern DeviceNotifyTarget deviceNotifyTarget;

// MobileDevice's notification record: the device, then the message.
struct AMDeviceNotificationInfo
{
    AMDeviceRef device;
    unsigned int message; // 1 connected, 2 disconnected
};

// Changes the target while notifications may be arriving. A receiver that
// goes away before the process ends clears the target first with a null
// receiver: afterwards no call-back reaches it.
void mobiledevice_set_target(DeviceNotifyTarget *target, QObject *receiver,
                             const char *connectedSlot, const char *disconnectedSlot);

// Loads Apple's libraries when needed and subscribes to device
// notifications for target; throws std::runtime_error when the libraries
// cannot be loaded. A target is subscribed once: a later call announces the
// devices attached now to the target's current receiver instead.
void mobiledevice_subscribe(DeviceNotifyTarget *target);
// Whether the device has arrived and not left, as far as the notifications
// for target have told. Known as soon as the library reports it, before the
// queued slot runs: a slot busy with a device can ask whether it is still
// there.
bool mobiledevice_is_attached(DeviceNotifyTarget *target, AMDeviceRef device);
// The call-back given to MobileDevice; context is the DeviceNotifyTarget.
void mobiledevice_notification_callback(AMDeviceNotificationInfo *info, void *context);

// A lockdown session: connect, pair when needed, validate the pairing,
// start the session. 0 when the session is open; otherwise the failing
// call's code, with error holding the text for the user. On failure the
// device is left disconnected.
int mobiledevice_open_session(AMDeviceRef device, QString &error);
void mobiledevice_close_session(AMDeviceRef device);

// One session for the whole list; one value per key in key order, empty
// when the device has none. An empty domain or key is passed as null (a
// null key asks for the whole domain as a dictionary). Throws the session
// error.
QList<CFType> mobiledevice_copy_value(AMDeviceRef device, const QStringList &keys,
                                      const QString &domain);
// AMDeviceSetValue's code; throws only when no session opens.
int mobiledevice_set_value(AMDeviceRef device, const QString &domain, const QString &key,
                           const CFType &value);
QString mobiledevice_copy_device_identifier(AMDeviceRef device);
// Starts a device service and writes its socket through socket; the socket
// outlives the session and is closed with mobiledevice_close_socket.
void mobiledevice_start_service(AMDeviceRef device, const char *serviceName, int *socket);

// Service sockets. A timeout below 1 ms waits without limit.
int mobiledevice_wait_socket(int socket, int timeoutMs, bool forReading);
int mobiledevice_send_data(int socket, const char *data, int length, int timeoutMs);
// head and then data, as mobiledevice_send_data of the two joined, without
// joining them: the count of both sent together.
int mobiledevice_send_parts(int socket, const char *head, int headLength, const char *data,
                            int length, int timeoutMs);
int mobiledevice_receive_data(int socket, char *buffer, int length, int timeoutMs);
void mobiledevice_close_socket(int socket);

// Service messages: a 4-byte big-endian length, then a property list.
void mobiledevice_sendmsg(int socket, const CFType &message, bool binary, int timeoutMs);
// request (may be empty) is only shown in the text of a failure. A message
// beyond mobiledevice::messageLimits() is a failure; one whose binary
// tables do not hold together is read as no value, like any other bytes
// that do not parse.
CFType mobiledevice_recmsg(int socket, const CFType &request, int timeoutMs);

namespace mobiledevice {
// The largest message body accepted from a device.
inline constexpr qint32 kMaxMessageLength = 64 * 1024 * 1024;
// What one received message may hold once read, every shared value counted
// as often as it is referred to (a binary property list may point any
// number of entries at one value): more values, or more bytes of text,
// data and numbers, than this is refused before anything is read out of
// it. Sized well above any message a phone's services send.
struct MessageLimits
{
    qint64 values = qint64(1) << 22;
    qint64 bytes = kMaxMessageLength;
};
MessageLimits messageLimits();
// Tests and fuzz targets lower them.
void setMessageLimits(const MessageLimits &limits);
// The value as an XML property list, cut to its first maxCharacters
// characters: what a failure text or a log line shows of a message.
QString shortXml(const CFType &value, qsizetype maxCharacters = 2000);
// Receives length bytes (fewer when the peer closes or stays silent for
// timeoutMs), growing the buffer with what arrives: a peer that announces
// more than it sends never makes the whole announced size allocated.
QByteArray receiveAnnounced(int socket, qint64 length, int timeoutMs);
// The wait for a message's length prefix, whatever the caller's timeout
// (60000 ms; tests shorten it).
int lengthTimeoutMs();
void setLengthTimeoutMs(int ms);
// The time limit of each send and receive of the service clients (AFC,
// house_arrest, DeviceLink and the services over it): 60000 ms; tests
// shorten it.
int serviceTimeoutMs();
void setServiceTimeoutMs(int ms);
} // namespace mobiledevice
