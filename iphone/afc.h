#pragma once

#include "iphone/mobiledevice.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <stdexcept>

// A client of the phone's AFC file service ("com.apple.afc", or an app's
// container reached through house_arrest). Every request and answer is a
// 40-byte header (magic, entire length, this length, packet number,
// operation; each number a 64-bit little-endian integer) followed by the
// operation's parameters and then its data. Strictly one request, one
// answer, on one socket at a time.

namespace afc {

inline constexpr int kHeaderSize = 40;
// The eight bytes every packet starts with.
inline constexpr char kMagic[] = "CFA6LPAA";

enum Operation : quint64 {
    OpStatus = 1,
    OpData = 2,
    OpReadDirectory = 3,
    OpRemovePath = 8,
    OpMakeDirectory = 9,
    OpGetFileInfo = 10,
    OpFileOpen = 13,
    OpFileOpenResult = 14,
    OpFileRead = 15,
    OpFileWrite = 16,
    OpPositionResult = 19,
    OpFileClose = 20,
    OpRenamePath = 24,
    OpFileLock = 27,
};

enum OpenMode : int { ModeRead = 1, ModeWrite = 3 };

// Bytes asked for by one read request, and sent by one write request.
inline constexpr int kReadChunk = 65536;
inline constexpr int kWriteChunk = 32768;
// The largest answer payload believed: a header announcing more is an
// error before anything is allocated or waited for.
inline constexpr quint64 kMaxPayload = quint64(mobiledevice::kMaxMessageLength);

// The most names a folder listing, and the most strings a file's
// information, is believed to hold: each string of a payload costs far
// more memory than its bytes, so a larger count is an error before any of
// them is read.
inline constexpr qsizetype kMaxDirectoryNames = 1000000;
inline constexpr qsizetype kMaxInfoStrings = 4096;

// The largest file size believed: a phone that gives a negative size, or
// one beyond this, has sent a damaged answer.
inline constexpr qint64 kMaxFileSize = qint64(1) << 48;

// A failure after which the requests and answers of the socket may be out
// of step (a time-out, a short read or send, an answer that breaks the
// framing or is of the wrong kind): a late answer would be taken for the
// answer to the next request, so the connection is closed. Every other
// failure (the phone's refusal with a status, a path that cannot be sent)
// leaves the socket usable.
class ProtocolError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The socket of one connection, shared with the files opened on it: once
// it is closed (socket 0) nothing more is sent through it, even when a new
// connection gets the same descriptor.
struct Session
{
    int socket = 0;
    // Closes the socket, once.
    void shut();
};

// A name of a folder listing that stands for an entry of that folder: not
// empty, not "." or "..", no "/" inside.
bool isEntryName(const QString &name);

// The strings of a payload, each ended by a 0 byte, read as UTF-8; bytes
// after the last 0 byte are ignored.
QStringList splitStrings(const QByteArray &payload);
// The strings of a payload taken as key, value, key, value ...; a key
// without a value is dropped.
QMap<QString, QString> pairsOf(const QByteArray &payload);

} // namespace afc

struct AfcHeader
{
    AfcHeader() = default;
    // Magic, the packet number of the socket handle (4294967295 for
    // handle 0) and the operation; the lengths are the request's to set.
    AfcHeader(int socketHandle, quint64 operation);

    QByteArray toBytes() const;
    // The same 40 bytes written at bytes.
    void writeTo(char *bytes) const;
    // The header in 40 bytes; throws when the magic is wrong or the lengths
    // do not fit together (this length below 40 or above the entire
    // length, a payload beyond afc::kMaxPayload).
    static AfcHeader fromBytes(const char *bytes);

    char magic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
    quint64 entireLength = 0;
    quint64 thisLength = 0;
    quint64 packetNumber = 0;
    quint64 operation = 0;
};

// Packet layer; both throw std::runtime_error on failure.
// Sends the header, then length parameter bytes; the count of them sent.
int mobiledevice_afc_send_packet(int socket, const AfcHeader &header, const char *parameters,
                                 int length);
// One answer into header; its payload. With status, a status answer's code
// is stored there instead of a non-zero code being thrown.
QByteArray mobiledevice_afc_receive_packet(int socket, AfcHeader &header, quint32 *status);
// What an answer of header and payload gives the caller (the last step of
// mobiledevice_afc_receive_packet).
QByteArray mobiledevice_afc_answer_payload(const AfcHeader &header, const QByteArray &payload,
                                           quint32 *status);

// One function per operation; each sends one request and reads its
// answers; all throw std::runtime_error on failure. An answer must be of the
// kind its request calls for (data for a listing or file information, an
// open result for an open, a status otherwise); one of another kind, like
// every time-out and framing error, is an afc::ProtocolError.
quint64 mobiledevice_afc_file_open(int socket, const QString &path, int mode);
void mobiledevice_afc_file_close(int socket, quint64 handle);
// Up to length bytes into buffer, in requests of afc::kReadChunk; fewer at
// the end of the file (empty data, or a status of code 0 and nothing else).
int mobiledevice_afc_file_read(int socket, quint64 handle, char *buffer, int length);
// All length bytes in requests of afc::kWriteChunk; a chunk the socket does
// not take whole is an error.
int mobiledevice_afc_file_write(int socket, quint64 handle, const char *data, int length);
quint32 mobiledevice_afc_file_lock(int socket, quint64 handle, int operation);
void mobiledevice_afc_remove_path(int socket, const QString &path);
void mobiledevice_afc_rename_path(int socket, const QString &from, const QString &to);
void mobiledevice_afc_make_directory(int socket, const QString &path);
QStringList mobiledevice_afc_read_directory(int socket, const QString &path);
QMap<QString, QString> mobiledevice_afc_get_file_info(int socket, const QString &path);

class AfcFile;
class AfcFileInfo;

// The file service of one device, on the whole phone or in one app's
// container. Apart from connect nothing throws: failures become false, an
// empty list or an invalid record, with the text in lastError. A failure
// after which the socket may be out of step (afc::ProtocolError) closes the
// connection: every later call fails with "The AFC connection is not
// open.".
class AfcConnection
{
public:
    explicit AfcConnection(AMDeviceRef device);
    ~AfcConnection();
    AfcConnection(const AfcConnection &) = delete;
    AfcConnection &operator=(const AfcConnection &) = delete;

    // An empty identifier opens "com.apple.afc"; otherwise the container of
    // that app through house_arrest. Throws the errors of the service start
    // and of the container request; the socket is closed again then.
    void connect(const QString &applicationId = QString());
    void close();
    bool isConnected() const { return socket() != 0; }
    int socket() const { return m_session ? m_session->socket : 0; }
    AMDeviceRef device() const { return m_device; }
    QString lastError() const { return m_lastError; }

    bool makeDirectory(const QString &path);
    bool removePath(const QString &path);
    bool renamePath(const QString &from, const QString &to);
    // False when the file does not open (or the phone gives handle 0).
    bool openFile(const QString &path, int mode, AfcFile &file);
    bool openForReading(const QString &path, AfcFile &file);
    bool openForWriting(const QString &path, AfcFile &file);
    // The files and folders in a folder, in the phone's order; empty when
    // the folder cannot be read. An entry whose information cannot be read,
    // or that is no file or folder, is left out, and so is a name that is
    // no entry of the folder (isEntryName). After a failure that breaks the
    // connection the list is empty.
    QList<AfcFileInfo> listDirectory(const QString &path);

private:
    friend class AfcFileInfo;
    // Runs f on the socket; false with lastError on failure. A
    // ProtocolError closes the connection.
    template<typename F> bool attempt(F &&f);

    AMDeviceRef m_device;
    std::shared_ptr<afc::Session> m_session;
    QString m_lastError;
};

// An open file of a connection. It keeps the connection's socket it was
// opened on: once that connection is closed (or has failed, or is gone),
// the file refuses every read and write and its close sends nothing.
// Closed when destroyed.
class AfcFile
{
public:
    AfcFile() = default;
    ~AfcFile();
    AfcFile(const AfcFile &) = delete;
    AfcFile &operator=(const AfcFile &) = delete;

    void close();
    // Opened, and its connection still open.
    bool isOpen() const { return m_handle != 0 && socket() != 0; }
    // Bytes read or written; -1 on failure (see lastError). A ProtocolError
    // closes the connection of the file.
    int read(char *buffer, int length);
    int write(const char *data, int length);
    QString lastError() const { return m_lastError; }
    int socket() const { return m_session ? m_session->socket : 0; }
    quint64 handle() const { return m_handle; }

private:
    friend class AfcConnection;
    // True when the file may send; otherwise false with lastError.
    bool usable();

    std::shared_ptr<afc::Session> m_session;
    quint64 m_handle = 0;
    QString m_lastError;
};

// What the phone says of one path.
class AfcFileInfo
{
public:
    AfcFileInfo() = default;
    explicit AfcFileInfo(const QString &name);

    // The record of path; an invalid record when it cannot be read or the
    // phone's answer is damaged (a size that is no number, negative or
    // beyond afc::kMaxFileSize). An afc::ProtocolError closes the
    // connection, as the connection's own calls do.
    static AfcFileInfo fromPath(const AfcConnection &connection, const QString &path);

    bool isFile() const;
    bool isDir() const;
    bool isValid() const { return !type.isEmpty(); }

    QString name; // the path described
    qint64 size = 0;
    QDateTime modified; // null when unknown
    QString type; // "st_ifmt": "S_IFREG", "S_IFDIR" ...
};
