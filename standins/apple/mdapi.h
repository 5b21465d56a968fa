#pragma once

// The C interface of our MobileDevice stand-in. It simulates attached
// iPhones from a scenario: devices arrive and leave on the library's own
// thread through the notification call-back, and connect, pair, open
// lockdown sessions, answer and store lockdown values and start services
// whose far end a thread of the library serves over a socket pair.
//
// The scenario is JSON, read from the file named by the environment
// variable PELICORDE_IPHONE_SCENARIO when the first notification
// subscription is made, or handed over with AMStandinSetScenario:
//
// {"devices": [{
//     "udid": "…",                 identifier (required)
//     "attached": true,            there from the start
//     "arriveAfterMs": 0,          arrives this long after being scheduled
//     "leaveAfterMs": -1,          leaves this long after arriving (-1 never)
//     "paired": true,              already paired with this computer
//     "pairable": true,            false: AMDevicePair always fails
//     "errors": {"AMDeviceConnect": -402653083, …},   a call that always fails
//     "values": {"": {"DeviceName": "…", …}, "com.apple.mobile.backup": {…}},
//     "fileRelay": {
//         "archive": "/path/file.cpio",   bytes streamed after the reply
//         "status": "Acknowledged",        the reply's Status
//         "sources": ["UserDatabases"],    sources answered (others: Error)
//         "replyLength": 12,               announce a length that lies
//         "stallBeforeReply": false,       never answer the request
//         "stallAfterBytes": -1            stop sending (without closing)
//     },
//     "afc": {...}, "houseArrest": {...},       see afcservice.cpp
//     "mobilebackup2": {...}, "mobilesync": {...}   see devicelinkservice.cpp
//     }]}
//
// Values in JSON become strings, booleans, numbers (integers when whole),
// dictionaries and arrays; {"$data": base64} becomes a data value and
// {"$date": "2013-05-01T10:00:00Z"} a date.

#include "standins/apple/cfapi.h"

extern "C" {

typedef void *AMDeviceRef;

struct AMDeviceNotificationInfo
{
    AMDeviceRef device;
    unsigned int message; // 1 connected, 2 disconnected
};

typedef void (*AMDeviceNotificationCallback)(AMDeviceNotificationInfo *info, void *context);

// Codes of the stand-in's own failures (a scenario may inject any code).
enum : int {
    kAMStandinNotAttached = -402653164, // the device has left
    kAMStandinNotConnected = -402653171, // no AMDeviceConnect before
    kAMStandinNotPaired = -402653173, // session without pairing
    kAMStandinNoSession = -402653157, // a call that needs a session
    kAMStandinPairingRefused = -402653158, // the user never trusts this computer
    kAMStandinUnknownService = -402653154, // no such service
    kAMStandinSocketFailed = -402653160, // socket pair not made
};

int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int unused0,
                                  unsigned int unused1, void *context, void **notification);
int AMDeviceConnect(AMDeviceRef device);
int AMDeviceIsPaired(AMDeviceRef device);
int AMDevicePair(AMDeviceRef device);
int AMDeviceValidatePairing(AMDeviceRef device);
int AMDeviceStartSession(AMDeviceRef device);
int AMDeviceStopSession(AMDeviceRef device);
int AMDeviceDisconnect(AMDeviceRef device);
CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key);
int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value);
CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device);
int AMDeviceStartService(AMDeviceRef device, CFStringRef name, int *socket, void *unused);

// Stand-in only. Replaces the scenario (0, or -1 for JSON that does not
// parse). Devices keep their references across scenarios (matched by
// udid); their counters start again from 0. Arrivals and departures that
// the change makes are announced to the subscribers.
int AMStandinSetScenario(const char *json);
// Attaches (1) or detaches (0) a device of the scenario; -1 when unknown.
int AMStandinAttach(const char *udid, int attached);
// The device reference of a udid (also of a detached device), or null.
AMDeviceRef AMStandinDevice(const char *udid);
// A JSON report of every device: "connections" and "sessions" open now,
// the calls counted ("connects", "disconnects", "pairs", "validations",
// "sessionStarts", "sessionStops", "copyValues", "setValues"), the
// services started, "openServices" (far ends not yet ended: their socket
// is still open at the near end) and the requests their far ends received
// (XML; AFC requests as "afc <operation> <paths>").
// Valid until the next call on the same thread.
const char *AMStandinReport(void);
// Ends the library's threads (notifications, services) for good.
void AMStandinShutdown(void);
}
