#include "iphone/iosloadfilerelaythread.h"

#include "iphone/filerelay.h"
#include "iphone/iosdevice.h"
#include "iphone/servicesocket.h"
#include "store/datafolder.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <stdexcept>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::atomic<int> noDataTimeout {60000};

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

// Swaps the names of two existing folders in one step; false where the
// system or the file system cannot (the caller then renames twice).
bool exchangePaths(const QString &a, const QString &b)
{
#if defined(Q_OS_LINUX) && defined(RENAME_EXCHANGE)
    if (!QFileInfo(a).isDir() || !QFileInfo(b).isDir() || QFileInfo(b).isSymLink())
        return false;
    return ::renameat2(AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD,
                       QFile::encodeName(b).constData(), RENAME_EXCHANGE)
            == 0;
#else
    Q_UNUSED(a);
    Q_UNUSED(b);
    return false;
#endif
}

bool existsOrLink(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Removes a folder (never following links) or a file at path.
void removePath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        removeFolderRecursively(path);
    else if (existsOrLink(path))
        QFile::remove(path);
}

// Removes the folder being unpacked into unless the job got to keep it.
class UnpackFolderGuard
{
public:
    explicit UnpackFolderGuard(const QString &path)
        : m_path(path)
    { }
    ~UnpackFolderGuard()
    {
        if (!m_kept)
            removePath(m_path);
    }
    void keep() { m_kept = true; }

private:
    QString m_path;
    bool m_kept = false;
};

} // namespace

IOSLoadFileRelayThread::IOSLoadFileRelayThread(IOSDevice *device, ProgressForm *progress,
                                               QObject *parent)
    : QThread(parent)
    , device(device)
    , progress(progress)
{
    // Cancel is pressed in the GUI thread: the job must notice at once, not
    // after the phone's next byte.
    connect(
            progress, &ProgressForm::userCacel, this, [this] { cancel(); }, Qt::DirectConnection);
}

int IOSLoadFileRelayThread::noDataTimeoutMs()
{
    return noDataTimeout.load();
}

void IOSLoadFileRelayThread::setNoDataTimeoutMs(int ms)
{
    noDataTimeout.store(ms);
}

void IOSLoadFileRelayThread::run()
{
    try {
        m_skipped = 0;
        const bool done = pull();
        closeSocket();
        if (done)
            progress->postSucceed(m_skipped > 0
                                          ? ids("IDS_FILE_RELAY_ENTRIES_SKIPPED_%1").arg(m_skipped)
                                          : QString());
    } catch (const std::exception &e) {
        closeSocket();
        // A cancel wakes the waits on the phone, which then fail: the user
        // cancelled and there is nothing to tell.
        if (isCancelled())
            return;
        qWarning("%s", e.what());
        progress->postErrorOccurred(boxTextOf(e));
    }
}

bool IOSLoadFileRelayThread::pull()
{
    progress->postUpdateProgress(ids("IDS_LOADING_IOS_DATABASES"), 0, QString());
    const QDir cache = device->cacheDir();

    int socket = 0;
    mobiledevice_file_relay_start(device->deviceHandle, &socket);
    setSocket(socket);
    if (isCancelled())
        return false;
    mobiledevice_file_relay_request(socket, {QStringLiteral("UserDatabases")});

    if (!cache.exists())
        QDir().mkpath(cache.absolutePath());
    const QString streamPath = cache.absoluteFilePath(QStringLiteral("file-relay.cpio"));
    if (!download(socket, streamPath))
        return false;
    closeSocket();
    const QString finalDir = cache.absoluteFilePath(QStringLiteral("file-relay"));
    const QString newDir = cache.absoluteFilePath(QStringLiteral("file-relay.new"));
    const QString oldDir = cache.absoluteFilePath(QStringLiteral("file-relay.old"));
    // An earlier pull stopped between the two renames of its swap.
    if (!existsOrLink(finalDir) && QFileInfo(oldDir).isDir())
        QDir().rename(oldDir, finalDir);
    removePath(newDir);
    if (!QDir().mkpath(newDir))
        fail(QStringLiteral("create %1 failed.").arg(newDir));
    UnpackFolderGuard guard(newDir);

    QByteArray buffer;
    filerelay::UnpackHooks hooks;
    hooks.cancelled = [this] { return isCancelled(); };
    hooks.progress = [this](const QString &status, int value, const QString &text) {
        progress->postUpdateProgress(status, value, text);
    };
    int skipped = 0;
    QStringList made;
    if (!filerelay::unpackArchive(streamPath, newDir, buffer, hooks, &skipped, &made))
        return false;

    // The unpacked files reach the disk before any of them is swapped in:
    // each file and folder made, not the whole file system (whose other
    // writes, the stored stream among them, are none of this job's).
    if (!filerelay::syncUnpacked(made, newDir))
        fail(QStringLiteral("write %1 failed. The unpacked files cannot be flushed to the disk.")
                     .arg(newDir));
    killPoint("relay-unpacked");
    // The swap goes to its end: a Cancel that came first keeps the old copy,
    // one that comes later is refused.
    if (!progress->beginCommit())
        return false;
    // Swap the new copy in; the old one goes only once the new one is there.
    // Where the file system can, both folders trade places in one step (a
    // kill leaves the old or the new folder in place, and the next pull
    // removes what is left under the staging name).
    removePath(oldDir);
    if (exchangePaths(newDir, finalDir)) {
        syncPath(cache.absolutePath());
        killPoint("relay-exchanged");
        guard.keep();
        removePath(newDir);
        m_skipped = skipped;
        QFile::remove(streamPath);
        return true;
    }
    const bool hadOld = existsOrLink(finalDir);
    if (hadOld && !QDir().rename(finalDir, oldDir))
        fail(QStringLiteral("replace %1 failed.").arg(finalDir));
    killPoint("relay-old-aside");
    if (!QDir().rename(newDir, finalDir)) {
        if (hadOld)
            QDir().rename(oldDir, finalDir);
        fail(QStringLiteral("replace %1 failed.").arg(finalDir));
    }
    syncPath(cache.absolutePath());
    guard.keep();
    m_skipped = skipped;
    removePath(oldDir);
    QFile::remove(streamPath);
    return true;
}

bool IOSLoadFileRelayThread::download(int socket, const QString &streamPath)
{
    QFile out(streamPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(QStringLiteral("create %1 failed. %2").arg(streamPath, out.errorString()));
    QByteArray buffer(filerelay::kChunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const int n = receiveChunk(socket, buffer.data(), int(buffer.size()));
        if (n < 0 || isCancelled())
            return false;
        if (n == 0)
            break;
        total += n;
        progress->postUpdateProgress(QString(), 99, ids("Received:%L1KB").arg(total / 1024));
        if (out.write(buffer.constData(), n) != n)
            fail(QStringLiteral("write %1 failed. %2").arg(streamPath, out.errorString()));
    }
    if (!out.flush())
        fail(QStringLiteral("write %1 failed. %2").arg(streamPath, out.errorString()));
    out.close();
    return !isCancelled();
}

int IOSLoadFileRelayThread::receiveChunk(int socket, char *buffer, int length)
{
    // Short waits, so that a cancel is seen while the phone is silent.
    constexpr int kSliceMs = 200;
    const int limit = noDataTimeoutMs();
    QElapsedTimer silent;
    silent.start();
    int received = 0;
    while (received < length) {
        if (isCancelled())
            return -1;
        // What has arrived is taken at once; the wait is for what has not.
        long n = servicesocket::receiveNow(socket, buffer + received, length - received);
        if (n == servicesocket::kWouldBlock) {
            const int left = int(limit - silent.elapsed());
            if (left <= 0)
                break;
            const int ready = mobiledevice_wait_socket(socket, qMin(kSliceMs, left), true);
            if (ready < 0)
                break;
            if (ready == 0) {
                // A quiet moment hands over what has come so far.
                if (received > 0)
                    break;
                continue;
            }
            n = servicesocket::receiveSome(socket, buffer + received, length - received);
        }
        if (n <= 0)
            break;
        received += int(n);
        silent.restart();
    }
    return isCancelled() ? -1 : received;
}

bool IOSLoadFileRelayThread::isCancelled() const
{
    return m_cancelled || progress->failed;
}

void IOSLoadFileRelayThread::cancel()
{
    m_cancelled = true;
    std::lock_guard lock(m_socketMutex);
    if (m_socket != 0)
        servicesocket::interrupt(m_socket);
}

void IOSLoadFileRelayThread::setSocket(int socket)
{
    std::lock_guard lock(m_socketMutex);
    m_socket = socket;
    if (m_cancelled && m_socket != 0)
        servicesocket::interrupt(m_socket);
}

void IOSLoadFileRelayThread::closeSocket()
{
    std::lock_guard lock(m_socketMutex);
    if (m_socket != 0)
        mobiledevice_close_socket(m_socket);
    m_socket = 0;
}
