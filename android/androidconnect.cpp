#include "android/androidconnect.h"

#include "android/adbclient.h"
#include "store/datafolder.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QUrl>

using namespace simpleprotocol;

namespace {

constexpr int kAdbListTimeout = 60000;
// Installing goes over USB to a phone that may be slow to check the package.
constexpr int kAdbInstallTimeout = 300000;
// The app sends its hello right after "$ready:".
constexpr int kHelloTimeout = 60000;
constexpr int kByeTimeout = 10000;

// The session socket of a job: detached from the canceller before it is
// closed, so that a late cancel never reaches a descriptor used again.
class SessionSocket
{
public:
    SessionSocket(QTcpSocket *socket, SessionCanceller *canceller)
        : m_socket(socket)
        , m_canceller(canceller)
    { }
    ~SessionSocket() { close(); }
    SessionSocket(const SessionSocket &) = delete;
    SessionSocket &operator=(const SessionSocket &) = delete;

    QTcpSocket *get() const { return m_socket; }
    void close()
    {
        if (!m_socket)
            return;
        m_canceller->detach();
        closeSessionSocket(m_socket);
        m_socket = nullptr;
    }

private:
    QTcpSocket *m_socket;
    SessionCanceller *m_canceller;
};

QString deviceManagerHelp()
{
    const QString tool = QDir(QCoreApplication::applicationDirPath())
                                 .absoluteFilePath(QStringLiteral("QuillmarshDeviceManager.exe"));
    if (QFileInfo::exists(tool))
        return ids("IDS_ANDROID_CONNECT_HELP_TOOL_%1")
                .arg(QUrl::fromLocalFile(tool).toString(QUrl::FullyEncoded));
    return ids("IDS_ANDROID_CONNECT_HELP_RESTART");
}

} // namespace

AndroidConnectThread::AndroidConnectThread(ProgressForm *form, QObject *parent)
    : QThread(parent)
    , form(form)
{
    // Cancel comes from the GUI thread while this job may block on the
    // phone: shut its connection down there and then.
    connect(
            form, &ProgressForm::userCacel, this, [this] { canceller.cancel(); },
            Qt::DirectConnection);
}

AndroidConnectThread::~AndroidConnectThread() = default;

bool AndroidConnectThread::stopped() const
{
    return form->failed || form->hasEnded() || canceller.isCancelled();
}

void AndroidConnectThread::helloExchange()
{
    form->postUpdateProgress(ids("IDS_GET_ANDROID_DEVICE_INFO"), 99, QString());
    const QString url = QStringLiteral("device2://127.0.0.1:%1").arg(freeSessionPort());
    SessionSocket socket(device.openSession(url, kSessionOpenTimeout, &canceller), &canceller);
    const QString line = readCommand(socket.get(), kHelloTimeout, kMaxShortLine);
    try {
        sendCommand(socket.get(), QStringLiteral("$bye:"), QString(), true, kByeTimeout);
    } catch (const SocketDataTransferException &e) {
        // The hello has arrived: an app that went away without waiting for
        // the goodbye has still told who the phone is.
        if (stopped())
            throw;
        qDebug("hello: the goodbye did not reach the phone: %s", e.what());
    }
    socket.close();
    // The prefix is not compared; the values are UTF-8 as the app writes them.
    device.parseHello(QString::fromUtf8(line.mid(7).toLatin1()));
    if (stopped())
        return;
    if (device.version >= kMinCompanionVersion)
        form->postSucceed(QString());
    else
        form->postErrorOccurred(
                ids("IDS_ANDROID_APP_TOO_OLD_%1").arg(QLatin1String(kRequiredCompanionRelease)));
}

AndroidConnectWithUSBThread::AndroidConnectWithUSBThread(const QString &serial, ProgressForm *form,
                                                         QObject *parent)
    : AndroidConnectThread(form, parent)
{
    device.serial = serial;
    device.viaWifi = false;
}

void AndroidConnectWithUSBThread::installCompanion()
{
    // A file of this job's own: two phones connecting at once must not
    // remove or rewrite the package the other's adb is reading. Removed
    // when the install is over. adb wants the ".apk" ending.
    const QString resourceName
            = QFileInfo(QString::fromLatin1(kCompanionPackageResource)).completeBaseName();
    QTemporaryFile package(
            dataFolder().absoluteFilePath(resourceName + QStringLiteral("-XXXXXX.apk")));
    auto cannotWrite = [&package](const QString &detail) {
        return std::runtime_error(QStringLiteral("can not write %1. %2")
                                          .arg(QDir::toNativeSeparators(package.fileName()), detail)
                                          .trimmed()
                                          .toStdString());
    };
    if (!package.open())
        throw std::runtime_error(QStringLiteral("can not write %1. %2")
                                         .arg(QDir::toNativeSeparators(package.fileTemplate()),
                                              package.errorString())
                                         .toStdString());
    QFile resource {QString::fromLatin1(kCompanionPackageResource)};
    if (!resource.open(QIODevice::ReadOnly))
        throw cannotWrite(resource.errorString());
    const QByteArray bytes = resource.readAll();
    if (package.write(bytes) != bytes.size() || !package.flush())
        throw cannotWrite(package.errorString());
    package.close();
    package.setPermissions(QFileDevice::ReadUser | QFileDevice::WriteUser);
    adbInstall(device.serial, package.fileName(), kAdbInstallTimeout, [this] { return stopped(); });
}

void AndroidConnectWithUSBThread::run()
{
    try {
        form->postUpdateProgress(ids("IDS_CHECKING_APK_INSTALL"), -1, QString());
        const QSet<QString> packages
                = adbListPackages(device.serial, kAdbListTimeout, [this] { return stopped(); });
        // An empty list (adb or the package manager failed) skips the
        // install: the session opening then tells what is wrong.
        if (!packages.isEmpty() && !packages.contains(QLatin1String(kCompanionPackage))) {
            if (stopped())
                return;
            try {
                installCompanion();
            } catch (const std::exception &e) {
                if (!stopped())
                    form->postErrorOccurred(
                            ids("IDS_ANDROID_INSTALL_APP_FAILED_%1")
                                    .arg(boxTextOf(e)));
                return;
            }
            // The new app settles before it is woken.
            QDeadlineTimer settle(m_installSettleMs);
            while (!settle.hasExpired() && !stopped())
                QThread::msleep(50);
        }
        if (stopped())
            return;
        helloExchange();
    } catch (const std::exception &e) {
        if (stopped())
            return;
        form->postErrorOccurred(ids("IDS_ANDROID_CONNECT_HELP") + deviceManagerHelp()
                                + boxTextOf(e));
    }
}

AndroidConnectWithWiFiThread::AndroidConnectWithWiFiThread(const QString &host, ProgressForm *form,
                                                           QObject *parent)
    : AndroidConnectThread(form, parent)
{
    device.viaWifi = true;
    device.host = host;
    device.port = kWifiControlPort;
}

void AndroidConnectWithWiFiThread::run()
{
    try {
        helloExchange();
    } catch (const std::exception &e) {
        if (stopped())
            return;
        form->postErrorOccurred(boxTextOf(e));
    }
}
