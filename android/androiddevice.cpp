#include "android/androiddevice.h"

#include "android/adbclient.h"
#include "android/simpleprotocol.h"
#include "store/datafolder.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>

using namespace simpleprotocol;

namespace {

// adb's broadcast and forward answer at once; a run that does not end
// within this time is not going to.
constexpr int kAdbCommandTimeout = 30000;
// Each try of a USB opening: the connection to the forwarded port, then the
// app's "$ready:".
constexpr int kUsbTryLimit = 5000;
// Pause between two tries whose connection was refused at once.
constexpr int kUsbRetryPause = 100;
// The Wi-Fi control connection and the app's reply on it.
constexpr int kControlConnectTimeout = 10000;
constexpr int kControlReplyTimeout = 60000;

bool isCancelled(const SessionCanceller *canceller)
{
    return canceller && canceller->isCancelled();
}

void checkCancel(const SessionCanceller *canceller)
{
    if (isCancelled(canceller))
        throw SessionCancelled();
}

// Sleeps ms, waking early to a cancel.
void pause(int ms, const SessionCanceller *canceller)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        checkCancel(canceller);
        QThread::msleep(qMin<qint64>(20, qMax<qint64>(1, deadline.remainingTime())));
    }
    checkCancel(canceller);
}

// Where a USB session socket keeps the forward that closeSessionSocket removes.
constexpr const char *kForwardSerialProperty = "pel_adb_forward_serial";
constexpr const char *kForwardPortProperty = "pel_adb_forward_port";

AdbCancelCheck adbCancelCheck(const SessionCanceller *canceller)
{
    if (!canceller)
        return {};
    return [canceller] { return canceller->isCancelled(); };
}

int sessionUrlPort(const QString &url)
{
    const int port = QUrl(url).port();
    if (port <= 0 || port > 65535)
        throw std::runtime_error(QStringLiteral("invalid session url %1.").arg(url).toStdString());
    return port;
}

// Connects the socket within ms, following a cancel at once: a short event
// loop of this thread waits for the outcome. False when no connection came.
bool connectSocket(QTcpSocket *socket, const QString &host, quint16 port, int ms,
                   const SessionCanceller *canceller)
{
    checkCancel(canceller);
    socket->abort();
    QEventLoop loop;
    QTimer tick;
    const QDeadlineTimer deadline(qMax(1, ms));
    QObject::connect(socket, &QAbstractSocket::connected, &loop, &QEventLoop::quit);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (isCancelled(canceller) || deadline.hasExpired())
            loop.quit();
    });
    tick.start(20);
    socket->connectToHost(host, port);
    if (socket->state() != QAbstractSocket::ConnectedState
        && socket->state() != QAbstractSocket::UnconnectedState)
        loop.exec();
    tick.stop();
    QObject::disconnect(socket, nullptr, &loop, nullptr);
    if (isCancelled(canceller)) {
        socket->abort();
        throw SessionCancelled();
    }
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        return false;
    }
    return true;
}

// Waits for the app's "$ready:" on a connected socket, attached to the
// canceller meanwhile; a cut wait after a cancel becomes SessionCancelled.
void expectReady(QTcpSocket *socket, int ms, SessionCanceller *canceller)
{
    if (canceller)
        canceller->attach(socket);
    try {
        expectCommand(socket, QStringLiteral("$ready:"), qMax(1, ms));
    } catch (...) {
        if (canceller)
            canceller->detach();
        checkCancel(canceller);
        throw;
    }
}

} // namespace

SessionCancelled::SessionCancelled()
    : std::runtime_error("cancelled.")
{ }

QTcpSocket *AndroidDevice::openSession(const QString &url, int timeout,
                                       SessionCanceller *canceller) const
{
    return viaWifi ? connectWifi(url, timeout, canceller) : connectUsb(url, timeout, canceller);
}

QTcpSocket *AndroidDevice::connectUsb(const QString &url, int timeout,
                                      SessionCanceller *canceller) const
{
    const int port = sessionUrlPort(url);
    checkCancel(canceller);
    const AdbCancelCheck cancelled = adbCancelCheck(canceller);
    try {
        adbActivityManager(serial, QStringLiteral("broadcast"), QLatin1String(kCompanionReceiver),
                           {}, url, {}, {}, kAdbCommandTimeout, cancelled);
    } catch (const std::exception &) {
        checkCancel(canceller);
        throw;
    }
    checkCancel(canceller);
    auto socket = std::make_unique<QTcpSocket>();
    try {
        adbForward(serial, port, port, kAdbCommandTimeout, cancelled);
    } catch (const std::exception &) {
        // A forward cut short may still have been set.
        adbForwardRemove(serial, port);
        checkCancel(canceller);
        throw;
    }
    socket->setProperty(kForwardSerialProperty, serial);
    socket->setProperty(kForwardPortProperty, port);

    try {
        QElapsedTimer started;
        started.start();
        for (bool first = true;; first = false) {
            checkCancel(canceller);
            const qint64 left = timeout - started.elapsed();
            if (!first && left <= 0)
                throw std::runtime_error(QStringLiteral("start %1 failed.").arg(url).toStdString());
            // Every wait of a try ends with the time limit, however far it is.
            const int limit = int(qBound(qint64(1), left, qint64(kUsbTryLimit)));
            if (!connectSocket(socket.get(), QStringLiteral("127.0.0.1"), quint16(port), limit,
                               canceller)) {
                pause(kUsbRetryPause, canceller);
                continue;
            }
            try {
                expectReady(socket.get(),
                            int(qBound(qint64(1), timeout - started.elapsed(),
                                       qint64(kUsbTryLimit))),
                            canceller);
                return socket.release();
            } catch (const SocketDataTransferException &) {
                // adb accepts the forwarded connection and closes it while the
                // app is not listening yet.
                qDebug("connect %s failed, try again...", qUtf8Printable(url));
                socket->abort();
            }
        }
    } catch (...) {
        closeSessionSocket(socket.release());
        throw;
    }
}

QTcpSocket *AndroidDevice::connectWifi(const QString &url, int timeout,
                                       SessionCanceller *canceller) const
{
    const int sessionPort = sessionUrlPort(url);
    QString reply;
    {
        auto control = std::make_unique<QTcpSocket>();
        if (port <= 0 || port > 65535
            || !connectSocket(control.get(), host, quint16(port), kControlConnectTimeout,
                              canceller))
            throw std::runtime_error(
                    QStringLiteral("can not connect %1:%2.").arg(host).arg(port).toStdString());
        if (canceller)
            canceller->attach(control.get());
        try {
            sendCommand(control.get(), url, QString(), true, kControlReplyTimeout);
            reply = readCommand(control.get(), kControlReplyTimeout, kMaxShortLine);
        } catch (...) {
            if (canceller)
                canceller->detach();
            checkCancel(canceller);
            throw;
        }
        if (canceller)
            canceller->detach();
        control->abort();
    }
    if (reply.startsWith(QLatin1Char('0')))
        throw std::runtime_error(QStringLiteral("start %1 failed.%2")
                                         .arg(url, decodeText(reply.mid(1)))
                                         .toStdString());

    auto socket = std::make_unique<QTcpSocket>();
    if (!connectSocket(socket.get(), host, quint16(sessionPort), timeout, canceller))
        throw std::runtime_error(QStringLiteral("connec %1 failed.").arg(url).toStdString());
    expectReady(socket.get(), timeout, canceller);
    return socket.release();
}

void AndroidDevice::parseHello(const QString &text)
{
    static const QRegularExpression pair(QStringLiteral("([^=;]+)=([^=;]+);?"));
    QRegularExpressionMatchIterator it = pair.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const QString key = m.captured(1);
        const QString value = m.captured(2);
        if (key == QLatin1String("version"))
            version = value.toInt();
        else if (key == QLatin1String("model"))
            model = value;
        else if (key == QLatin1String("manufacturer"))
            manufacturer = value;
        else if (key == QLatin1String("imei"))
            imei = value;
        else if (key == QLatin1String("uid"))
            uid = value;
        else if (key == QLatin1String("sdk"))
            sdk = value;
        else if (key == QLatin1String("sdk_id"))
            sdk_id = value.toInt();
        else if (key == QLatin1String("root"))
            root = value.toInt() != 0;
        else if (key == QLatin1String("storage1"))
            storage1 = value;
        else if (key == QLatin1String("mmc"))
            mmc = value;
    }
}

QString AndroidDevice::displayName() const
{
    QString name = manufacturer;
    if (!model.isEmpty())
        name += QLatin1Char(' ') + model;
    return name.trimmed();
}

QString AndroidDevice::deviceId() const
{
    return viaWifi ? uid : serial;
}

bool samePhone(const AndroidDevice &a, const AndroidDevice &b)
{
    if (!a.uid.isEmpty() || !b.uid.isEmpty())
        return a.uid == b.uid;
    if (a.viaWifi != b.viaWifi)
        return false;
    const QString connection = a.viaWifi ? a.host : a.serial;
    return !connection.isEmpty() && connection == (b.viaWifi ? b.host : b.serial);
}

void closeSessionSocket(QTcpSocket *socket)
{
    if (!socket)
        return;
    const QString serial = socket->property(kForwardSerialProperty).toString();
    const int port = socket->property(kForwardPortProperty).toInt();
    socket->disconnectFromHost();
    socket->abort();
    delete socket;
    if (!serial.isEmpty() && port > 0)
        adbForwardRemove(serial, port);
}

void registerAndroidDeviceMetaType()
{
    qRegisterMetaType<AndroidDevice>("AndroidDevice");
}

QString androidCacheFolderName(const AndroidDevice &device)
{
    // A plain name: no separator, no "." or "..", nothing a file system
    // treats specially.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
    for (const QString &key : {device.imei, device.deviceId()}) {
        if (key.isEmpty())
            continue;
        if (plain.match(key).hasMatch())
            return key;
        return QStringLiteral("id-") + md5Hex(key);
    }
    return QStringLiteral("unknown");
}

QDir androidCacheDir(const AndroidDevice &device)
{
    const QString path = dataFolder().absoluteFilePath(QStringLiteral("android_cache/")
                                                       + androidCacheFolderName(device));
    QDir dir(path);
    if (!dir.exists())
        dir.mkpath(QStringLiteral("."));
    return dir;
}

int freeSessionPort()
{
    for (int i = 0; i < 100; ++i) {
        const int port = nextSessionPort();
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, quint16(port)))
            return port;
    }
    return nextSessionPort();
}
