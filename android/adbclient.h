#pragma once

#include <QList>
#include <QMetaType>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// The client over the external adb program. Every operation starts one adb
// process with its arguments as a list (never through a shell), blocks its
// caller until adb has ended and keeps no state.

// One line of adb's "devices" listing.
struct AdbDevice
{
    QString line; // the whole listing line, trimmed
    QString serial; // the device serial, e.g. "0123ABCD" or "192.168.1.5:5555"
    QString state; // "device" when ready; "offline", "unauthorized" and others

    // state is "device" (any letter case).
    bool isReady() const;
    // state is "offline" or "unauthorized" (any letter case).
    bool isOfflineOrUnauthorized() const;

    friend bool operator==(const AdbDevice &, const AdbDevice &) = default;
};
Q_DECLARE_METATYPE(AdbDevice)

// Registers AdbDevice under the name "AdbDevice" for queued signals.
void registerAdbDeviceMetaType();

// No limit for the wait of adb's end.
inline constexpr int kAdbNoTimeLimit = -1;

// The program name: "adb", found on the search path.
QString adbProgram();

// Polled while adb runs (from the thread that runs it): true ends the run
// at once, adb being killed, instead of waiting out its time limit.
using AdbCancelCheck = std::function<bool()>;

// One run of adb, as it ended.
struct AdbResult
{
    bool started = false; // the program could be started
    bool finished = false; // it ended within the time limit
    bool cancelled = false; // the cancel check ended it
    bool crashed = false;
    int exitCode = 0;
    QString output; // standard output, up to the first NUL byte, Latin-1
    QString errorText; // standard error, likewise
};

// Runs adb once and waits at most timeoutMs for its end (kAdbNoTimeLimit:
// no limit); an adb that does not end in time, or whose run the cancel check
// ends, is killed.
AdbResult runAdbProcess(const QStringList &arguments, int timeoutMs = kAdbNoTimeLimit,
                        const AdbCancelCheck &cancelled = {});

// Runs adb once. When adb cannot be started the text is "run adb failed.";
// when adb failed (error text other than the server's start-up notes, or a
// non-zero exit) throwOnError throws std::runtime_error with the error text.
// Without throwOnError the result is the output, preceded by the error text
// and a line feed when adb wrote any. A cancelled run is a failure.
QString runAdb(const QStringList &arguments, bool throwOnError, int timeoutMs = kAdbNoTimeLimit,
               const AdbCancelCheck &cancelled = {});

// The devices of a "devices" listing, in listing order: every line after the
// header "List of devices attached" split at white space into serial and state.
QList<AdbDevice> parseAdbDevices(const QString &output);

// The attached devices; throws when adb fails or the cancel check ends its run.
QList<AdbDevice> adbDevices(int timeoutMs = kAdbNoTimeLimit, const AdbCancelCheck &cancelled = {});
// The package names installed on the phone; empty when adb or the package
// manager fails.
QSet<QString> adbListPackages(const QString &serial, int timeoutMs = kAdbNoTimeLimit,
                              const AdbCancelCheck &cancelled = {});
// Installs a package file; throws adb's text unless it reports "Success".
void adbInstall(const QString &serial, const QString &apkPath, int timeoutMs = kAdbNoTimeLimit,
                const AdbCancelCheck &cancelled = {});
// Removes a package; throws adb's text unless it reports "Success".
void adbUninstall(const QString &serial, const QString &packageName);
// Forwards a TCP port of this computer to a TCP port of the phone; throws on failure.
void adbForward(const QString &serial, int localPort, int remotePort,
                int timeoutMs = kAdbNoTimeLimit, const AdbCancelCheck &cancelled = {});
// Removes the forward of a TCP port of this computer; failures are ignored
// (the phone may be gone, taking its forwards with it).
void adbForwardRemove(const QString &serial, int localPort);
// Runs the phone's activity manager ("am" command, then each non-empty
// option in the order -n, -a, -d, -c per category, -t); throws when adb
// cannot run, reports an error or does not end within timeoutMs.
void adbActivityManager(const QString &serial, const QString &command, const QString &component,
                        const QString &action, const QString &data, const QStringList &categories,
                        const QString &mimeType, int timeoutMs = kAdbNoTimeLimit,
                        const AdbCancelCheck &cancelled = {});
// Stops the adb server.
void adbKillServer();
// Whether a run of adb by this program started the adb server (adb said so)
// since the last adbKillServer: only then is the server this program's to
// stop. A server the user had running is left alone.
bool adbServerStartedHere();
// The phone's log, dumped once.
QString adbLogcat(const QString &serial);
// Stops an app on the phone.
void adbForceStop(const QString &serial, const QString &packageName);
