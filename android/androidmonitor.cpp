#include "android/androidmonitor.h"

#include <QCoreApplication>
#include <QDir>

#include <exception>

#ifdef Q_OS_WIN
#include <shellapi.h>
#include <windows.h>
#endif

namespace {

// adb may have to start its server first; a listing never takes this long.
constexpr int kAdbPassTimeout = 20000;
constexpr int kStartServerTimeout = 30000;

// The device-manager tool beside the program repairs the USB drivers on
// Windows; started there when the adb server does not start. Returns whether
// it was run.
bool runDeviceManagerTool()
{
#ifdef Q_OS_WIN
    const QString tool = QDir::toNativeSeparators(
            QDir(QCoreApplication::applicationDirPath())
                    .absoluteFilePath(QStringLiteral("QuillmarshDeviceManager.exe")));
    const std::wstring file = tool.toStdWString();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = GetActiveWindow();
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info) || !info.hProcess)
        return false;
    WaitForSingleObject(info.hProcess, 5000);
    CloseHandle(info.hProcess);
    return true;
#else
    return false;
#endif
}

bool serverStarted(const AdbResult &r)
{
    const QString text = r.errorText + QLatin1Char('\n') + r.output;
    return (r.started && r.finished && !r.crashed && r.exitCode == 0)
            || text.contains(QLatin1String("daemon started successfully"), Qt::CaseInsensitive);
}

} // namespace

AndroidMonitor::AndroidMonitor(QObject *parent)
    : QThread(parent)
{
    registerAdbDeviceMetaType();
}

AndroidMonitor::~AndroidMonitor()
{
    qDebug("~AndroidMonitor begin");
    {
        QMutexLocker lock(&m_pauseMutex);
        stopRequested = true;
        m_wake.wakeAll();
    }
    wait();
    // A server that was running before this program is the user's: it stays.
    if (adbServerStartedHere())
        adbKillServer();
    qDebug("~AndroidMonitor end");
}

void AndroidMonitor::start()
{
    QThread::start();
}

void AndroidMonitor::run()
{
    monitorLoop();
}

void AndroidMonitor::monitorLoop()
{
    startServer();
    while (!stopRequested) {
        pass();
        if (!pause(m_pollInterval))
            break;
    }
}

void AndroidMonitor::startServer()
{
    const AdbCancelCheck stop = [this] { return stopping(); };
    const AdbResult first
            = runAdbProcess({QStringLiteral("start-server")}, kStartServerTimeout, stop);
    if (first.cancelled)
        return;
    if (serverStarted(first))
        return;
    const QString why = !first.started
            ? QStringLiteral("run adb failed.")
            : (first.errorText + QLatin1Char('\n') + first.output).trimmed();
    if (runDeviceManagerTool()) {
        runAdbProcess({QStringLiteral("start-server")}, kStartServerTimeout, stop);
        return;
    }
    qWarning("AndroidMonitor: the adb server did not start: %s", qUtf8Printable(why));
}

void AndroidMonitor::pass()
{
    try {
        const QList<AdbDevice> devices = adbDevices(kAdbPassTimeout, [this] { return stopping(); });
        if (stopping())
            return;
        QSet<QString> seen;
        for (const AdbDevice &device : devices) {
            seen.insert(device.serial);
            const auto known = knownSerials.find(device.serial);
            if (known == knownSerials.end()) {
                emit deviceConnected(device);
                QMutexLocker lock(&m_serialsMutex);
                knownSerials.insert(device.serial, device.isReady());
            } else if (!known.value() && device.isReady()) {
                // Listed before the user allowed this computer: report it
                // again now that it can be used.
                emit deviceConnected(device);
                QMutexLocker lock(&m_serialsMutex);
                known.value() = true;
            }
        }
        QStringList gone;
        for (auto it = knownSerials.cbegin(); it != knownSerials.cend(); ++it)
            if (!seen.contains(it.key()))
                gone << it.key();
        for (const QString &serial : std::as_const(gone)) {
            {
                QMutexLocker lock(&m_serialsMutex);
                knownSerials.remove(serial);
            }
            emit deviceDisconnected(serial);
        }
        m_lastFailure.clear();
    } catch (const std::exception &e) {
        // A run cut short by the stop is no failure to note.
        if (stopping())
            return;
        // Tried again at the next pass; a failed pass reports nothing gone.
        const QString failure = QString::fromUtf8(e.what());
        if (failure != m_lastFailure)
            qDebug("AndroidMonitor: device listing failed: %s", qUtf8Printable(failure));
        m_lastFailure = failure;
    }
}

void AndroidMonitor::setPollInterval(int ms)
{
    QMutexLocker lock(&m_pauseMutex);
    m_pollInterval = qMax(0, ms);
    m_wake.wakeAll();
}

QStringList AndroidMonitor::seenSerials() const
{
    QStringList serials;
    {
        QMutexLocker lock(&m_serialsMutex);
        serials = knownSerials.keys();
    }
    serials.sort();
    return serials;
}

bool AndroidMonitor::pause(int ms)
{
    QMutexLocker lock(&m_pauseMutex);
    if (!stopRequested)
        m_wake.wait(&m_pauseMutex, ms);
    return !stopRequested;
}
