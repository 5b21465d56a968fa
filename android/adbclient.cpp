#include "android/adbclient.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>

#include <atomic>
#include <stdexcept>

namespace {

constexpr int kStartTimeout = 10000;
// kill-server runs at shutdown: it must not hold the program up.
constexpr int kKillServerTimeout = 10000;
// Removing a forward at a session's end answers at once or not at all.
constexpr int kForwardRemoveTimeout = 5000;

// How often a run with a cancel check looks at it.
constexpr int kCancelPollMs = 25;

const QString kRunFailed = QStringLiteral("run adb failed.");

std::atomic<bool> serverStartedHere {false};

// adb writes this when a command had to start the server first.
bool saysServerStarted(const QString &text)
{
    return text.contains(QLatin1String("daemon started successfully"), Qt::CaseInsensitive);
}

QString textUpToNul(const QByteArray &bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? bytes : bytes.left(nul));
}

// The error text without the notes adb writes on standard error when it
// starts or replaces its server as a side effect of a command that succeeds.
QString realErrors(const QString &errorText)
{
    static const QRegularExpression note(
            QStringLiteral("^(\\* daemon not running.*|\\* daemon started successfully.*"
                           "|adb server version .*killing.*)$"));
    QStringList kept;
    const QStringList lines = errorText.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (!line.isEmpty() && !note.match(line).hasMatch())
            kept << line;
    }
    return kept.join(QLatin1Char('\n'));
}

QStringList outputLines(const QString &text)
{
    return text.split(QLatin1Char('\n'));
}

bool hasSuccessLine(const QString &text)
{
    const QStringList lines = outputLines(text);
    for (const QString &line : lines)
        if (line.trimmed().compare(QLatin1String("Success"), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

bool AdbDevice::isReady() const
{
    return state.compare(QLatin1String("device"), Qt::CaseInsensitive) == 0;
}

bool AdbDevice::isOfflineOrUnauthorized() const
{
    return state.compare(QLatin1String("offline"), Qt::CaseInsensitive) == 0
            || state.compare(QLatin1String("unauthorized"), Qt::CaseInsensitive) == 0;
}

void registerAdbDeviceMetaType()
{
    qRegisterMetaType<AdbDevice>("AdbDevice");
}

QString adbProgram()
{
    return QStringLiteral("adb");
}

AdbResult runAdbProcess(const QStringList &arguments, int timeoutMs,
                        const AdbCancelCheck &cancelled)
{
    AdbResult result;
    QProcess process;
    process.start(adbProgram(), arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(kStartTimeout)) {
        process.kill();
        process.waitForFinished(1000);
        return result;
    }
    result.started = true;
    // adb forwards its standard input to "shell" commands: give them an end.
    process.closeWriteChannel();
    if (!cancelled) {
        result.finished = process.waitForFinished(timeoutMs);
    } else {
        const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                      : QDeadlineTimer(timeoutMs);
        for (;;) {
            if (process.state() == QProcess::NotRunning) {
                result.finished = true;
                break;
            }
            if (cancelled()) {
                result.cancelled = true;
                break;
            }
            if (deadline.hasExpired())
                break;
            const qint64 left = deadline.remainingTime();
            const int slice = int(left < 0 ? kCancelPollMs : qMin<qint64>(left, kCancelPollMs));
            if (process.waitForFinished(qMax(1, slice))) {
                result.finished = true;
                break;
            }
        }
    }
    if (!result.finished) {
        process.kill();
        process.waitForFinished(1000);
    }
    result.errorText = textUpToNul(process.readAllStandardError());
    result.output = textUpToNul(process.readAllStandardOutput());
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    if (saysServerStarted(result.errorText) || saysServerStarted(result.output))
        serverStartedHere = true;
    return result;
}

QString runAdb(const QStringList &arguments, bool throwOnError, int timeoutMs,
               const AdbCancelCheck &cancelled)
{
    const AdbResult r = runAdbProcess(arguments, timeoutMs, cancelled);
    if (!r.started) {
        if (throwOnError)
            throw std::runtime_error(kRunFailed.toStdString());
        return kRunFailed;
    }
    QString failure = realErrors(r.errorText);
    if (r.cancelled)
        failure = QStringLiteral("cancelled.");
    else if (!r.finished)
        failure = QStringLiteral("adb did not end within %1 ms.").arg(timeoutMs);
    else if (failure.isEmpty() && (r.crashed || r.exitCode != 0))
        failure = QStringLiteral("adb ended with code %1.").arg(r.exitCode);
    if (throwOnError && !failure.isEmpty()) {
        const QString text = r.output.trimmed().isEmpty() || !r.finished
                ? failure
                : failure + QLatin1Char('\n') + r.output;
        throw std::runtime_error(text.toStdString());
    }
    if (!r.finished)
        return failure + QLatin1Char('\n') + r.output;
    if (r.errorText.isEmpty())
        return r.output;
    return r.errorText + QLatin1Char('\n') + r.output;
}

QList<AdbDevice> parseAdbDevices(const QString &output)
{
    QList<AdbDevice> devices;
    bool header = false;
    const QStringList lines = outputLines(output);
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (!header) {
            header = line.compare(QLatin1String("List of devices attached"), Qt::CaseInsensitive)
                    == 0;
            continue;
        }
        // Blank lines, and the server's notes when it starts ("* daemon ...").
        if (line.isEmpty() || line.startsWith(QLatin1Char('*')))
            continue;
        // adb writes the serial, a tab and the state. A serial may hold any
        // character but white space ("192.168.1.5:5555", "emulator-5554").
        qsizetype split = line.indexOf(QLatin1Char('\t'));
        if (split < 0) {
            split = 0;
            while (split < line.size() && !line.at(split).isSpace())
                ++split;
        }
        const QString serial = line.left(split);
        const QString state = line.mid(split).trimmed();
        if (serial.isEmpty() || state.isEmpty())
            continue;
        devices.append(AdbDevice {line, serial, state});
    }
    return devices;
}

QList<AdbDevice> adbDevices(int timeoutMs, const AdbCancelCheck &cancelled)
{
    return parseAdbDevices(runAdb({QStringLiteral("devices")}, true, timeoutMs, cancelled));
}

QSet<QString> adbListPackages(const QString &serial, int timeoutMs,
                              const AdbCancelCheck &cancelled)
{
    const QString text = runAdb({QStringLiteral("-s"), serial, QStringLiteral("shell"),
                                 QStringLiteral("pm"), QStringLiteral("-l")},
                                false, timeoutMs, cancelled);
    QSet<QString> packages;
    static const QString prefix = QStringLiteral("package:");
    const QStringList lines = outputLines(text);
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(prefix)) {
            const QString name = line.mid(prefix.size()).trimmed();
            if (!name.isEmpty())
                packages.insert(name);
        }
    }
    return packages;
}

void adbInstall(const QString &serial, const QString &apkPath, int timeoutMs,
                const AdbCancelCheck &cancelled)
{
    const QString text = runAdb({QStringLiteral("-s"), serial, QStringLiteral("install"), apkPath},
                                false, timeoutMs, cancelled);
    if (!hasSuccessLine(text))
        throw std::runtime_error(text.toStdString());
}

void adbUninstall(const QString &serial, const QString &packageName)
{
    const QString text = runAdb(
            {QStringLiteral("-s"), serial, QStringLiteral("uninstall"), packageName}, true);
    if (!hasSuccessLine(text))
        throw std::runtime_error(text.toStdString());
}

void adbForward(const QString &serial, int localPort, int remotePort, int timeoutMs,
                const AdbCancelCheck &cancelled)
{
    runAdb({QStringLiteral("-s"), serial, QStringLiteral("forward"),
            QStringLiteral("tcp:%1").arg(localPort), QStringLiteral("tcp:%1").arg(remotePort)},
           true, timeoutMs, cancelled);
}

void adbForwardRemove(const QString &serial, int localPort)
{
    runAdb({QStringLiteral("-s"), serial, QStringLiteral("forward"), QStringLiteral("--remove"),
            QStringLiteral("tcp:%1").arg(localPort)},
           false, kForwardRemoveTimeout);
}

void adbActivityManager(const QString &serial, const QString &command, const QString &component,
                        const QString &action, const QString &data, const QStringList &categories,
                        const QString &mimeType, int timeoutMs,
                        const AdbCancelCheck &cancelled)
{
    QStringList args {QStringLiteral("-s"), serial, QStringLiteral("shell"), QStringLiteral("am"),
                      command};
    if (!component.isEmpty())
        args << QStringLiteral("-n") << component;
    if (!action.isEmpty())
        args << QStringLiteral("-a") << action;
    if (!data.isEmpty())
        args << QStringLiteral("-d") << data;
    for (const QString &category : categories)
        if (!category.isEmpty())
            args << QStringLiteral("-c") << category;
    if (!mimeType.isEmpty())
        args << QStringLiteral("-t") << mimeType;

    const AdbResult r = runAdbProcess(args, timeoutMs, cancelled);
    if (!r.started)
        throw std::runtime_error(kRunFailed.toStdString());
    if (r.cancelled)
        throw std::runtime_error("cancelled.");
    if (!r.finished)
        throw std::runtime_error(
                QStringLiteral("adb did not end within %1 ms.").arg(timeoutMs).toStdString());
    const QString text
            = r.errorText.isEmpty() ? r.output : r.errorText + QLatin1Char('\n') + r.output;
    // adb's own failures ("adb: error: device not found") end with a non-zero
    // code; the activity manager reports its own with a line "Error: ...".
    const bool adbFailed = r.crashed || (r.exitCode != 0 && !realErrors(r.errorText).isEmpty());
    bool reported = false;
    const QStringList lines = outputLines(text);
    for (const QString &line : lines) {
        const QString l = line.trimmed().toLower();
        if (l.startsWith(QLatin1String("error:")) || l.startsWith(QLatin1String("adb: error:")))
            reported = true;
    }
    if (adbFailed || reported)
        throw std::runtime_error(text.trimmed().toStdString());
}

void adbKillServer()
{
    runAdb({QStringLiteral("kill-server")}, false, kKillServerTimeout);
    serverStartedHere = false;
}

bool adbServerStartedHere()
{
    return serverStartedHere;
}

QString adbLogcat(const QString &serial)
{
    return runAdb({QStringLiteral("-s"), serial, QStringLiteral("shell"), QStringLiteral("logcat"),
                   QStringLiteral("-d")},
                  false);
}

void adbForceStop(const QString &serial, const QString &packageName)
{
    runAdb({QStringLiteral("-s"), serial, QStringLiteral("shell"), QStringLiteral("am"),
            QStringLiteral("force-stop"), packageName},
           false);
}
