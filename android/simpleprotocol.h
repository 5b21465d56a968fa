#pragma once

#include <QMutex>
#include <QString>

#include <stdexcept>

class QAbstractSocket;
class QIODevice;
class QTime;

// The line protocol spoken with the companion app on an Android phone.
//
// A line is a run of bytes ended by LF. Lines are written as UTF-8; they are
// read byte by byte, CR dropped, each byte one Latin-1 character, so text
// beyond ASCII travels only inside base64 arguments. A command line is a
// prefix such as "$hello:" followed directly by its argument; data lines
// (base64 chunks, "0", "1", ".") carry no prefix.
//
// Every operation blocks the calling thread (a worker without an event loop)
// and works with the socket's own blocking waits.
namespace simpleprotocol {

// The longest wait, in milliseconds, for the peer to send or take any data.
// A time-out below zero in the operations below means this limit: no read or
// write of a session waits for ever.
inline constexpr int kDefaultTimeout = 300000;

// The longest line accepted from the peer, CRs and the LF not counted.
// Attachment data lines are the longest; the app sends them far shorter.
inline constexpr qint64 kMaxLineLength = 64 * 1024 * 1024;

// This side rejects what the peer sent. Building one first tells the peer,
// with an "$error:" line carrying the message; when that send fails, the
// SocketDataTransferException of the send leaves the constructor instead.
class LocalException : public std::runtime_error
{
public:
    LocalException(QIODevice *peer, const QString &message);
};

// The peer sent an "$error:" line; the message is its decoded text.
class RemoteException : public std::runtime_error
{
public:
    explicit RemoteException(const QString &message);
};

// A read or write failed (time-out, connection closed or broken), or an
// empty line arrived where a command was expected.
class SocketDataTransferException : public std::runtime_error
{
public:
    explicit SocketDataTransferException(const QString &message);
};

// One line without its LF and without CRs. Throws
// SocketDataTransferException when no data comes within the time-out or the
// connection ends, and LocalException when the line grows beyond maxLength.
QString readLine(QIODevice *device, int timeout, qint64 maxLength = kMaxLineLength);

// One non-empty line that is not an "$error:" line, prefix included; a line
// longer than maxLength throws as readLine does.
QString readCommand(QIODevice *device, int timeout, qint64 maxLength = kMaxLineLength);

// One command line that begins with prefix (case-sensitive), returned whole.
QString expectCommand(QIODevice *device, const QString &prefix, int timeout);

// Writes command + argument + LF. Throws LocalException (telling the peer
// nothing) when either holds a line feed.
void sendCommand(QIODevice *device, const QString &command, const QString &argument, bool flush,
                 int timeout);

// Writes the text as UTF-8.
void writeString(QIODevice *device, const QString &text, bool flush, int timeout);

// Writes all bytes; with flush, waits until the device has handed every
// buffered byte to the connection.
void writeAll(QIODevice *device, const char *data, qint64 length, bool flush, int timeout);

// Fills buffer with exactly length bytes.
void readExact(QIODevice *device, char *buffer, qint64 length, int timeout);

// The TCP port of a new session: (minute mod 4 + 1) * 10000 + second * 100 +
// a process-wide counter that runs from 1 to 99 and then starts again.
int nextSessionPort();

// The port nextSessionPort gives at the local time with the counter's value.
int sessionPort(const QTime &time, int counter);

// Base64 of the UTF-8 bytes of text, as arguments carry names and texts.
QString encodeText(const QString &text);
// The UTF-8 text of a base64 argument.
QString decodeText(const QString &base64);

// Appends what encodeText gives for text to out, as bytes, without making a
// text of its own; scratch is a buffer the caller keeps for the next call.
void appendEncodedText(QByteArray &out, QStringView text, QByteArray &scratch);

// Lets another thread (the GUI thread, when the user cancels) cut a blocked
// session short. The worker attaches its session socket after connecting and
// detaches it before closing it; cancel shuts the connection down, so that a
// wait in progress ends at once with SocketDataTransferException. A socket
// attached after cancel is shut down at once.
class SessionCanceller
{
public:
    void attach(QAbstractSocket *socket);
    void detach();
    void cancel();
    bool isCancelled() const;

private:
    mutable QMutex m_mutex;
    qintptr m_descriptor = -1;
    bool m_cancelled = false;
};

} // namespace simpleprotocol
