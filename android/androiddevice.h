#pragma once

#include <QDateTime>
#include <QDir>
#include <QMetaType>
#include <QString>

#include <stdexcept>

class QTcpSocket;

namespace simpleprotocol {
class SessionCanceller;
}

// The companion app on the phone.
inline constexpr const char *kCompanionPackage = "com.quillmarsh.smssync";
// Its broadcast receiver, which takes the URL of a session to open.
inline constexpr const char *kCompanionReceiver
        = "com.quillmarsh.smssync/.AdbSyncBroadcastReceiver";
// Its package file, carried among the resources.
inline constexpr const char *kCompanionPackageResource = ":/res/com.quillmarsh.smssync.apk";
// The port on which the app listens for session URLs over Wi-Fi.
inline constexpr int kWifiControlPort = 44441;
// The lowest app version that speaks this system's sessions, and the app
// release the user is asked to install instead of an older one.
inline constexpr int kMinCompanionVersion = 10;
inline constexpr const char *kRequiredCompanionRelease = "3.1.10";

// The longest hello or control reply accepted from the app: they are a few
// hundred bytes, and anything far longer is not one.
inline constexpr qint64 kMaxShortLine = 64 * 1024;

// The time limit of a session opening, in milliseconds.
inline constexpr int kSessionOpenTimeout = 10000;

// The user cancelled while a session was being opened.
class SessionCancelled : public std::runtime_error
{
public:
    SessionCancelled();
};

// A connected Android phone, filled by the connection jobs from the companion
// app's hello. Copied by value.
struct AndroidDevice
{
    QString tag; // free for other parts' use; the connection leaves it empty
    QString serial; // adb serial of a USB phone; empty over Wi-Fi
    QString uid; // the app's identifier of the phone
    bool viaWifi = false;
    QString host; // the phone's IPv4 address over Wi-Fi; empty over USB
    int port = 0; // the app's Wi-Fi control port
    int version = 0; // the app's version number
    QString model;
    QString manufacturer;
    QString imei; // names the phone's cache folder
    QString sdk;
    int sdk_id = 0;
    bool root = false;
    QString storage1;
    QString mmc; // mobile country code
    QDateTime dateTime; // free for other parts' use; left null

    // A connected socket on which the app has sent "$ready:": over Wi-Fi when
    // viaWifi, else over USB. The socket has no parent; the caller closes and
    // deletes it, in the thread that opened it. Throws std::runtime_error or
    // a simpleprotocol exception when no session opens within timeout ms,
    // and SessionCancelled once the canceller (when given) is cancelled; a
    // session socket is attached to the canceller while it is returned.
    QTcpSocket *openSession(const QString &url, int timeout,
                            simpleprotocol::SessionCanceller *canceller = nullptr) const;
    // USB: wakes the app with an adb broadcast of the URL, forwards the URL's
    // port through adb and connects to it until the app answers. The
    // forward belongs to the session: closeSessionSocket removes it, and a
    // failed opening removes it before it throws. A cancel also ends an adb
    // run in progress.
    QTcpSocket *connectUsb(const QString &url, int timeout,
                           simpleprotocol::SessionCanceller *canceller = nullptr) const;
    // Wi-Fi: hands the URL to the app's control port on host, then connects
    // to host at the URL's port.
    QTcpSocket *connectWifi(const QString &url, int timeout,
                            simpleprotocol::SessionCanceller *canceller = nullptr) const;

    // Fills the hello fields from the argument of a "$hello:" line: pairs
    // key=value separated by ";". Unknown keys are ignored, numbers that are
    // not numbers read as 0, fields not given keep their value.
    void parseHello(const QString &text);

    // Manufacturer and model, as the phone's name.
    QString displayName() const;
    // uid over Wi-Fi, else the adb serial.
    QString deviceId() const;
};

// Whether two records are of the same phone: the same identifier of the app;
// for phones whose app gave none, the same connection (adb serial over USB,
// address over Wi-Fi).
bool samePhone(const AndroidDevice &a, const AndroidDevice &b);
Q_DECLARE_METATYPE(AndroidDevice)

// Closes and deletes a socket that openSession returned and removes what
// the session set up besides it (the adb port forward of a USB session).
// Detach it from its canceller first.
void closeSessionSocket(QTcpSocket *socket);

// Registers AndroidDevice under the name "AndroidDevice" for queued calls.
void registerAndroidDeviceMetaType();

// The name of a phone's cache folder: its IMEI when that is a plain file
// name, else a name made from it that cannot leave the "android_cache"
// folder (a phone without IMEI is named by its uid or serial instead).
QString androidCacheFolderName(const AndroidDevice &device);
// The phone's cache folder, the data folder's "android_cache/" plus
// androidCacheFolderName; created when missing.
QDir androidCacheDir(const AndroidDevice &device);

// A session port from simpleprotocol::nextSessionPort that nothing on this
// computer is listening on right now (a forward to a busy port would fail or
// reach another program's session).
int freeSessionPort();
