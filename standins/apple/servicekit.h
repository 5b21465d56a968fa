#pragma once

// What the far ends of the MobileDevice stand-in's services share: the
// simulated phone's stored files and sync records, socket reads and writes
// that end when the library shuts down, framed property-list messages and
// CoreFoundation helpers. Internal to the stand-in.

#include "standins/apple/cfapi.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace standin {

// ---- the phone's stores --------------------------------------------------

struct AfcNode
{
    bool dir = false;
    QByteArray data;
    qint64 mtimeNs = 0;
};

// One file tree: the phone's media area or one app's container. Paths are
// absolute and clean ("/", "/a/b").
struct AfcTree
{
    std::mutex mutex;
    std::map<QString, AfcNode> nodes;
};

struct DeviceStore
{
    std::shared_ptr<AfcTree> media;
    std::map<QString, std::shared_ptr<AfcTree>> apps; // by bundle identifier
};

// The stores a device of the scenario starts with (its "afc" and
// "houseArrest" entries).
std::shared_ptr<DeviceStore> makeStore(const QJsonObject &device);

// One started service's far end.
struct ServiceCall
{
    int fd = -1;
    QJsonObject device; // the device's scenario entry
    std::shared_ptr<DeviceStore> store;
    std::function<void(const QString &)> record; // a request the phone received
    // The format of a property-list message the phone received: "binary"
    // or "xml".
    std::function<void(const QString &)> recordFormat;
};

void serveAfc(const ServiceCall &call);
void serveHouseArrest(const ServiceCall &call);
void serveBackup2(const ServiceCall &call);
void serveSync(const ServiceCall &call);
// True when the scenario wants the near end's send buffer small (a phone
// that stops reading shows at once as a short write).
bool wantsSmallBuffers(const QJsonObject &device, const QString &service);

// ---- sockets -----------------------------------------------------------

// True once the library shuts down (defined with the runtime).
bool stopping();
// Reads and drops whatever arrives until the near end closes.
void stall(int fd);
// Neither reads nor answers until the near end closes.
void stallSilently(int fd);
// Exactly len bytes within 30 s; false on close, time-out or shutdown.
bool readExactly(int fd, char *buf, size_t len);
// Like readExactly, but waits without a time limit for the first byte.
bool readNext(int fd, char *buf, size_t len);
bool sendAll(int fd, const char *buf, size_t len);
// head and then body, as one stream of bytes, without joining them first.
bool sendAll(int fd, const char *head, size_t headLen, const char *body, size_t bodyLen);

// ---- messages ----------------------------------------------------------

// A framed property list (4-byte big-endian length) in the format given;
// announced >= 0 puts that length in front instead of the true one.
bool sendMessage(int fd, CFTypeRef message, qint64 announced = -1,
                 CFIndex format = kCFPropertyListXMLFormat_v1_0);
// The next framed property list (any format), owned; null on close, a
// length of 0 or above 1 MiB, or bytes that do not parse. Waits for it
// without a time limit. format, when given, gets "binary" or "xml".
CFTypeRef receiveMessage(int fd, QString *format = nullptr);

// ---- values ------------------------------------------------------------

CFStringRef makeString(const QString &text);
QString stringOf(CFTypeRef ref);
// JSON as values: strings, booleans, numbers (integers when whole),
// dictionaries, arrays; {"$data": base64} data, {"$date": ISO} a date,
// {"$real": n} a real even when whole.
CFTypeRef fromJson(const QJsonValue &v);
CFTypeRef deepCopy(CFTypeRef v);
QString xmlOf(CFTypeRef v);
CFTypeRef dictionaryWith(const char *key, const QString &value);
// A dictionary's value by text key, borrowed; null when absent.
CFTypeRef valueOf(CFTypeRef dictionary, const QString &key);
// An array's element, borrowed; null outside the array or for no array.
CFTypeRef elementOf(CFTypeRef array, CFIndex index);
bool isReal(CFTypeRef number);
bool isInteger(CFTypeRef number);

// Releases an owned value at the end of a scope.
struct Owned
{
    explicit Owned(CFTypeRef r = nullptr)
        : ref(r)
    { }
    ~Owned()
    {
        if (ref)
            CFRelease(ref);
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    void reset(CFTypeRef r)
    {
        if (ref)
            CFRelease(ref);
        ref = r;
    }
    CFTypeRef ref;
};

} // namespace standin
