#include "android/simpleprotocol.h"

#include <QAbstractSocket>
#include <QIODevice>
#include <QStringEncoder>
#include <QTime>

#include <algorithm>
#include <atomic>
#include <cstring>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace simpleprotocol {

namespace {

int effectiveTimeout(int timeout)
{
    return timeout < 0 ? kDefaultTimeout : timeout;
}

[[noreturn]] void throwTransferFailure(QIODevice *device)
{
    QString text = device->errorString();
    if (text.isEmpty())
        text = QStringLiteral("Unknown error");
    throw SocketDataTransferException(text);
}

// Lines quoted in an error text are cut, so that a rejected data line does
// not make a rejection of many megabytes.
QString quoted(const QString &line)
{
    constexpr int kMaxQuoted = 256;
    if (line.size() <= kMaxQuoted)
        return line;
    return line.left(kMaxQuoted) + QStringLiteral("...");
}

std::atomic<int> sessionCounter {1};

} // namespace

LocalException::LocalException(QIODevice *peer, const QString &message)
    : std::runtime_error(message.toStdString())
{
    if (peer)
        sendCommand(peer, QStringLiteral("$error:"), encodeText(message), true, kDefaultTimeout);
}

RemoteException::RemoteException(const QString &message)
    : std::runtime_error(message.toStdString())
{ }

SocketDataTransferException::SocketDataTransferException(const QString &message)
    : std::runtime_error(message.toStdString())
{ }

QString readLine(QIODevice *device, int timeout, qint64 maxLength)
{
    const int wait = effectiveTimeout(timeout);
    QByteArray line;
    char chunk[4096];
    for (;;) {
        const qint64 n
                = device->bytesAvailable() > 0 ? device->readLine(chunk, sizeof chunk) : qint64(0);
        if (n <= 0) {
            if (!device->waitForReadyRead(wait))
                throwTransferFailure(device);
            continue;
        }
        // A piece ends at the LF, if it holds one, as its last byte; the
        // runs between CRs go over whole.
        const bool ended = chunk[n - 1] == '\n';
        const char *from = chunk;
        const char *const end = chunk + (ended ? n - 1 : n);
        while (from < end) {
            const void *cr = std::memchr(from, '\r', size_t(end - from));
            const char *stop = cr ? static_cast<const char *>(cr) : end;
            line.append(from, stop - from);
            from = stop + (cr ? 1 : 0);
        }
        if (line.size() > maxLength)
            throw LocalException(device,
                                 QStringLiteral("line longer than %1 bytes.").arg(maxLength));
        if (ended)
            return QString::fromLatin1(line);
    }
}

QString readCommand(QIODevice *device, int timeout, qint64 maxLength)
{
    const QString line = readLine(device, timeout, maxLength);
    if (line.isEmpty())
        throw SocketDataTransferException(QStringLiteral("Null command."));
    static const QString errorPrefix = QStringLiteral("$error:");
    if (line.startsWith(errorPrefix))
        throw RemoteException(decodeText(line.mid(errorPrefix.size())));
    return line;
}

QString expectCommand(QIODevice *device, const QString &prefix, int timeout)
{
    const QString line = readCommand(device, timeout);
    if (line.startsWith(prefix))
        return line;
    throw LocalException(
            device,
            QStringLiteral("invalid feedback [%1], must be [%2]").arg(quoted(line), prefix));
}

void sendCommand(QIODevice *device, const QString &command, const QString &argument, bool flush,
                 int timeout)
{
    // A line feed would end the line early and the peer would read the rest
    // as a line of its own: refused before anything leaves. Callers clean
    // or encode what they put in a line.
    if (command.contains(QLatin1Char('\n')) || argument.contains(QLatin1Char('\n')))
        throw LocalException(
                nullptr,
                QStringLiteral("a line break in the line [%1]")
                        .arg(quoted(command + argument)
                                     .replace(QLatin1Char('\n'), QLatin1String("\\n"))));
    writeString(device, command + argument + QLatin1Char('\n'), flush, timeout);
}

void writeString(QIODevice *device, const QString &text, bool flush, int timeout)
{
    const QByteArray bytes = text.toUtf8();
    writeAll(device, bytes.constData(), bytes.size(), flush, timeout);
}

void writeAll(QIODevice *device, const char *data, qint64 length, bool flush, int timeout)
{
    if (length <= 0)
        return;
    const int wait = effectiveTimeout(timeout);
    qint64 written = 0;
    while (written < length) {
        const qint64 n = device->write(data + written, length - written);
        if (n < 0)
            throwTransferFailure(device);
        if (n > 0) {
            written += n;
            continue;
        }
        if (!device->waitForBytesWritten(wait))
            throwTransferFailure(device);
    }
    if (!flush)
        return;
    // A socket may take only part of its buffer at a time when the peer
    // reads slowly: wait until all of it has gone, not just the first part.
    while (device->bytesToWrite() > 0) {
        if (!device->waitForBytesWritten(wait))
            throwTransferFailure(device);
    }
}

void readExact(QIODevice *device, char *buffer, qint64 length, int timeout)
{
    const int wait = effectiveTimeout(timeout);
    qint64 got = 0;
    while (got < length) {
        const qint64 n = device->bytesAvailable() > 0 ? device->read(buffer + got, length - got)
                                                      : qint64(0);
        if (n > 0) {
            got += n;
            continue;
        }
        if (!device->waitForReadyRead(wait))
            throwTransferFailure(device);
    }
}

int sessionPort(const QTime &time, int counter)
{
    return (time.minute() % 4 + 1) * 10000 + time.second() * 100 + counter;
}

int nextSessionPort()
{
    int current = sessionCounter.load();
    int use;
    do {
        use = current % 100 == 0 ? 1 : current;
    } while (!sessionCounter.compare_exchange_weak(current, use + 1));
    return sessionPort(QTime::currentTime(), use);
}

QString encodeText(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

QString decodeText(const QString &base64)
{
    return QString::fromUtf8(QByteArray::fromBase64(base64.toLatin1()));
}

void appendEncodedText(QByteArray &out, QStringView text, QByteArray &scratch)
{
    if (text.isEmpty())
        return;
    // Surrogates (paired or not) take toUtf8's way, which writes "?" for an
    // unpaired one where the encoder would write U+FFFD.
    const bool plain = std::none_of(text.begin(), text.end(),
                                    [](QChar c) { return c.isSurrogate(); });
    qsizetype length;
    if (plain) {
        QStringEncoder encoder(QStringEncoder::Utf8);
        const qsizetype room = encoder.requiredSpace(text.size());
        if (scratch.size() < room)
            scratch.resize(room);
        length = encoder.appendToBuffer(scratch.data(), text) - scratch.constData();
    } else {
        scratch = text.toUtf8();
        length = scratch.size();
    }
    const auto *in = reinterpret_cast<const unsigned char *>(scratch.constData());
    static constexpr char kAlphabet[]
            = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const qsizetype start = out.size();
    out.resize(start + (length + 2) / 3 * 4);
    char *o = out.data() + start;
    qsizetype i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (i < length) {
        const bool two = i + 1 < length;
        const unsigned v = (unsigned(in[i]) << 16) | (two ? unsigned(in[i + 1]) << 8 : 0u);
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = two ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
}

void SessionCanceller::attach(QAbstractSocket *socket)
{
    QMutexLocker lock(&m_mutex);
    m_descriptor = socket ? socket->socketDescriptor() : -1;
    if (m_cancelled && m_descriptor != -1)
        ::shutdown(m_descriptor, 2 /* both directions */);
}

void SessionCanceller::detach()
{
    QMutexLocker lock(&m_mutex);
    m_descriptor = -1;
}

void SessionCanceller::cancel()
{
    QMutexLocker lock(&m_mutex);
    m_cancelled = true;
    if (m_descriptor != -1)
        ::shutdown(m_descriptor, 2 /* both directions */);
}

bool SessionCanceller::isCancelled() const
{
    QMutexLocker lock(&m_mutex);
    return m_cancelled;
}

} // namespace simpleprotocol
