#include "iphone/afc.h"

#include "iphone/housearrest.h"

#include <QtEndian>

#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

int timeoutMs()
{
    return mobiledevice::serviceTimeoutMs();
}

quint64 number(const char *bytes)
{
    return qFromLittleEndian<quint64>(bytes);
}

void appendNumber(QByteArray &out, quint64 value)
{
    char bytes[8];
    qToLittleEndian(value, bytes);
    out.append(bytes, 8);
}

QByteArray pathBytes(const QString &path)
{
    // The phone reads a path up to its 0 byte: one inside the text would
    // name another file than the caller meant.
    if (path.contains(QChar(0)))
        fail(QStringLiteral("An AFC path holds a zero character."));
    QByteArray bytes = path.toUtf8();
    bytes.append('\0');
    return bytes;
}

// Sends a request whose parameters are its whole body and reads its answer;
// a non-zero status is thrown.
QByteArray request(int socket, quint64 operation, const QByteArray &parameters)
{
    AfcHeader header(socket, operation);
    header.entireLength = header.thisLength = quint64(afc::kHeaderSize + parameters.size());
    mobiledevice_afc_send_packet(socket, header, parameters.constData(), int(parameters.size()));
    AfcHeader answer;
    return mobiledevice_afc_receive_packet(socket, answer, nullptr);
}

QString errorText(const std::exception &e)
{
    return QString::fromUtf8(e.what());
}

// The record of path from its file information; st_mtime is in
// nanoseconds since 1970.
AfcFileInfo recordOf(const QString &path, const QMap<QString, QString> &values)
{
    AfcFileInfo info(path);
    info.size = values.value(QStringLiteral("st_size")).toLongLong();
    info.type = values.value(QStringLiteral("st_ifmt"));
    const auto mtime = values.constFind(QStringLiteral("st_mtime"));
    if (mtime != values.constEnd())
        info.modified = QDateTime::fromMSecsSinceEpoch(qint64(mtime->toULongLong() / 1000000),
                                                       Qt::UTC);
    return info;
}

} // namespace

namespace afc {

QStringList splitStrings(const QByteArray &payload)
{
    QStringList strings;
    qsizetype start = 0;
    for (qsizetype i = 0; i < payload.size(); ++i) {
        if (payload.at(i) == '\0') {
            strings.append(QString::fromUtf8(payload.constData() + start, i - start));
            start = i + 1;
        }
    }
    return strings;
}

QMap<QString, QString> pairsOf(const QByteArray &payload)
{
    QMap<QString, QString> pairs;
    QString key;
    bool pending = false;
    for (const QString &s : splitStrings(payload)) {
        if (!pending) {
            key = s;
            pending = true;
        } else {
            pairs.insert(key, s);
            pending = false;
        }
    }
    return pairs;
}

} // namespace afc

AfcHeader::AfcHeader(int socketHandle, quint64 operation)
    : packetNumber(socketHandle == 0 ? quint64(0xFFFFFFFFu) : quint64(quint32(socketHandle)))
    , operation(operation)
{ }

QByteArray AfcHeader::toBytes() const
{
    QByteArray bytes(afc::kHeaderSize, Qt::Uninitialized);
    writeTo(bytes.data());
    return bytes;
}

void AfcHeader::writeTo(char *bytes) const
{
    std::memcpy(bytes, magic, 8);
    qToLittleEndian(entireLength, bytes + 8);
    qToLittleEndian(thisLength, bytes + 16);
    qToLittleEndian(packetNumber, bytes + 24);
    qToLittleEndian(operation, bytes + 32);
}

AfcHeader AfcHeader::fromBytes(const char *bytes)
{
    AfcHeader h;
    if (std::memcmp(bytes, afc::kMagic, 8) != 0)
        fail(QStringLiteral("read AFC header failed: the answer does not start with the AFC "
                            "magic."));
    h.entireLength = number(bytes + 8);
    h.thisLength = number(bytes + 16);
    h.packetNumber = number(bytes + 24);
    h.operation = number(bytes + 32);
    if (h.thisLength < quint64(afc::kHeaderSize) || h.thisLength > h.entireLength)
        fail(QStringLiteral("read AFC header failed: the lengths %1 and %2 do not fit together.")
                     .arg(h.entireLength)
                     .arg(h.thisLength));
    if (h.entireLength - quint64(afc::kHeaderSize) > afc::kMaxPayload)
        fail(QStringLiteral("read AFC header failed: the answer announces %1 bytes, more than "
                            "the %2 accepted.")
                     .arg(h.entireLength - quint64(afc::kHeaderSize))
                     .arg(afc::kMaxPayload));
    return h;
}

int mobiledevice_afc_send_packet(int socket, const AfcHeader &header, const char *parameters,
                                 int length)
{
    // Header and parameters leave in one send.
    char head[afc::kHeaderSize];
    header.writeTo(head);
    const int sent = mobiledevice_send_parts(socket, head, afc::kHeaderSize, parameters,
                                             qMax(length, 0), timeoutMs());
    if (sent < afc::kHeaderSize)
        fail(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
    if (sent < afc::kHeaderSize + qMax(length, 0))
        fail(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
    return qMax(length, 0);
}

namespace {

AfcHeader receiveHeader(int socket)
{
    char head[afc::kHeaderSize];
    if (mobiledevice_receive_data(socket, head, afc::kHeaderSize, timeoutMs())
        != afc::kHeaderSize)
        fail(QStringLiteral("read AFC header failed."));
    return AfcHeader::fromBytes(head);
}

QByteArray receivePayload(int socket, const AfcHeader &header, quint32 *status)
{
    const quint64 size = header.entireLength - quint64(afc::kHeaderSize);
    const QByteArray payload = mobiledevice::receiveAnnounced(socket, qint64(size), timeoutMs());
    if (quint64(payload.size()) != size)
        fail(QStringLiteral("read AFC file block data failed."));
    return mobiledevice_afc_answer_payload(header, payload, status);
}

} // namespace

QByteArray mobiledevice_afc_receive_packet(int socket, AfcHeader &header, quint32 *status)
{
    header = receiveHeader(socket);
    return receivePayload(socket, header, status);
}

QByteArray mobiledevice_afc_answer_payload(const AfcHeader &header, const QByteArray &payload,
                                           quint32 *status)
{
    switch (header.operation) {
    case afc::OpData:
    case afc::OpFileOpenResult:
    case afc::OpPositionResult:
        return payload;
    case afc::OpStatus: {
        // A status answer without its code says nothing: not a success.
        if (payload.size() < 8)
            fail(QStringLiteral("read AFC failed, received AFC_OP_STATUS of %1 bytes.")
                         .arg(payload.size()));
        const quint64 code = number(payload.constData());
        if (status)
            *status = quint32(code);
        else if (code != 0)
            fail(QStringLiteral("read AFC failed, received AFC_OP_STATUS, param1=%1.").arg(code));
        return payload;
    }
    default:
        fail(QStringLiteral("read AFC failed, Unknown operation code received %1, param1=%2.")
                     .arg(header.operation)
                     .arg(payload.size() >= 8 ? number(payload.constData()) : 0));
    }
}

quint64 mobiledevice_afc_file_open(int socket, const QString &path, int mode)
{
    QByteArray parameters;
    appendNumber(parameters, quint64(mode));
    parameters.append(pathBytes(path));
    const QByteArray payload = request(socket, afc::OpFileOpen, parameters);
    if (payload.isEmpty())
        return 0;
    if (payload.size() < 8)
        fail(QStringLiteral("open AFC file failed: the handle has %1 bytes.").arg(payload.size()));
    return number(payload.constData());
}

void mobiledevice_afc_file_close(int socket, quint64 handle)
{
    QByteArray parameters;
    appendNumber(parameters, handle);
    request(socket, afc::OpFileClose, parameters);
}

int mobiledevice_afc_file_read(int socket, quint64 handle, char *buffer, int length)
{
    // One request: the header, the handle and the count, 56 bytes built in
    // place; only the count changes from one request to the next.
    char packet[afc::kHeaderSize + 16];
    AfcHeader header(socket, afc::OpFileRead);
    header.entireLength = header.thisLength = quint64(sizeof packet);
    header.writeTo(packet);
    qToLittleEndian(handle, packet + afc::kHeaderSize);
    int done = 0;
    while (done < length) {
        const int ask = qMin(length - done, afc::kReadChunk);
        qToLittleEndian(quint64(ask), packet + afc::kHeaderSize + 8);
        const int sent = mobiledevice_send_data(socket, packet, int(sizeof packet), timeoutMs());
        if (sent < afc::kHeaderSize)
            fail(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
        if (sent < int(sizeof packet))
            fail(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
        const AfcHeader answer = receiveHeader(socket);
        const quint64 size = answer.entireLength - quint64(afc::kHeaderSize);
        if (answer.operation != afc::OpData) {
            // A status (or anything else) instead of data: thrown unless
            // it says success, which then counts as no data.
            receivePayload(socket, answer, nullptr);
            break;
        }
        // More than was asked for would run past the caller's buffer.
        if (size > quint64(ask))
            fail(QStringLiteral("read AFC file failed: %1 bytes received for %2 asked.")
                         .arg(size)
                         .arg(ask));
        if (size == 0)
            break;
        // The data goes straight into the caller's buffer.
        if (mobiledevice_receive_data(socket, buffer + done, int(size), timeoutMs()) != int(size))
            fail(QStringLiteral("read AFC file block data failed."));
        done += int(size);
    }
    return done;
}

int mobiledevice_afc_file_write(int socket, quint64 handle, const char *data, int length)
{
    if (length <= 0)
        return 0;
    // Header, handle and chunk leave in one send; the chunk is sent from
    // the caller's bytes.
    constexpr int kHead = afc::kHeaderSize + 8;
    char head[kHead];
    AfcHeader header(socket, afc::OpFileWrite);
    header.thisLength = quint64(kHead);
    qToLittleEndian(handle, head + afc::kHeaderSize);
    int done = 0;
    while (done < length) {
        const int chunk = qMin(length - done, afc::kWriteChunk);
        header.entireLength = header.thisLength + quint64(chunk);
        header.writeTo(head);
        // The header announced the whole chunk: anything less leaves the
        // phone waiting for the rest, and the file short.
        const int sent
                = mobiledevice_send_parts(socket, head, kHead, data + done, chunk, timeoutMs());
        if (sent < afc::kHeaderSize)
            fail(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
        if (sent < kHead)
            fail(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
        if (sent < kHead + chunk)
            fail(QStringLiteral("write AFC file error."));
        done += chunk;
        AfcHeader answer;
        mobiledevice_afc_receive_packet(socket, answer, nullptr);
    }
    return done;
}

quint32 mobiledevice_afc_file_lock(int socket, quint64 handle, int operation)
{
    QByteArray parameters;
    appendNumber(parameters, handle);
    appendNumber(parameters, quint64(qint64(operation)));
    AfcHeader header(socket, afc::OpFileLock);
    header.entireLength = header.thisLength = quint64(afc::kHeaderSize + parameters.size());
    mobiledevice_afc_send_packet(socket, header, parameters.constData(), int(parameters.size()));
    AfcHeader answer;
    quint32 status = 0;
    mobiledevice_afc_receive_packet(socket, answer, &status);
    return status;
}

void mobiledevice_afc_remove_path(int socket, const QString &path)
{
    request(socket, afc::OpRemovePath, pathBytes(path));
}

void mobiledevice_afc_rename_path(int socket, const QString &from, const QString &to)
{
    request(socket, afc::OpRenamePath, pathBytes(from) + pathBytes(to));
}

void mobiledevice_afc_make_directory(int socket, const QString &path)
{
    request(socket, afc::OpMakeDirectory, pathBytes(path));
}

namespace {

// The payload, once its count of strings is known to stay within limit.
QByteArray countedStrings(const QByteArray &payload, qsizetype limit, const char *what)
{
    const qsizetype strings = payload.count('\0');
    if (strings > limit)
        fail(QStringLiteral("read AFC %1 failed: the answer holds %2 strings, more than the %3 "
                            "accepted.")
                     .arg(QLatin1String(what))
                     .arg(strings)
                     .arg(limit));
    return payload;
}

} // namespace

QStringList mobiledevice_afc_read_directory(int socket, const QString &path)
{
    return afc::splitStrings(countedStrings(request(socket, afc::OpReadDirectory, pathBytes(path)),
                                            afc::kMaxDirectoryNames, "directory"));
}

QMap<QString, QString> mobiledevice_afc_get_file_info(int socket, const QString &path)
{
    return afc::pairsOf(countedStrings(request(socket, afc::OpGetFileInfo, pathBytes(path)),
                                       afc::kMaxInfoStrings, "file info"));
}

// ---- value classes ------------------------------------------------------

AfcConnection::AfcConnection(AMDeviceRef device)
    : m_device(device)
{ }

AfcConnection::~AfcConnection()
{
    close();
}

void AfcConnection::connect(const QString &applicationId)
{
    close();
    int socket = 0;
    if (applicationId.isEmpty()) {
        mobiledevice_start_service(m_device, "com.apple.afc", &socket);
    } else {
        mobiledevice_start_service(m_device, "com.apple.mobile.house_arrest", &socket);
        try {
            mobiledevice_house_arrest_vend_container(socket, applicationId);
        } catch (...) {
            mobiledevice_close_socket(socket);
            throw;
        }
    }
    m_socket = socket;
}

void AfcConnection::close()
{
    if (m_socket != 0) {
        mobiledevice_close_socket(m_socket);
        m_socket = 0;
    }
}

template<typename F> bool AfcConnection::attempt(F &&f)
{
    if (m_socket == 0) {
        m_lastError = QStringLiteral("The AFC connection is not open.");
        return false;
    }
    try {
        f();
        m_lastError.clear();
        return true;
    } catch (const std::exception &e) {
        m_lastError = errorText(e);
        return false;
    }
}

bool AfcConnection::makeDirectory(const QString &path)
{
    return attempt([&] { mobiledevice_afc_make_directory(m_socket, path); });
}

bool AfcConnection::removePath(const QString &path)
{
    return attempt([&] { mobiledevice_afc_remove_path(m_socket, path); });
}

bool AfcConnection::renamePath(const QString &from, const QString &to)
{
    return attempt([&] { mobiledevice_afc_rename_path(m_socket, from, to); });
}

bool AfcConnection::openFile(const QString &path, int mode, AfcFile &file)
{
    file.close();
    quint64 handle = 0;
    if (!attempt([&] { handle = mobiledevice_afc_file_open(m_socket, path, mode); }))
        return false;
    if (handle == 0) {
        m_lastError = QStringLiteral("open AFC file failed: no handle for %1.").arg(path);
        return false;
    }
    file.m_socket = m_socket;
    file.m_handle = handle;
    file.m_lastError.clear();
    return true;
}

bool AfcConnection::openForReading(const QString &path, AfcFile &file)
{
    return openFile(path, afc::ModeRead, file);
}

bool AfcConnection::openForWriting(const QString &path, AfcFile &file)
{
    return openFile(path, afc::ModeWrite, file);
}

QList<AfcFileInfo> AfcConnection::listDirectory(const QString &path)
{
    QStringList names;
    QList<AfcFileInfo> entries;
    const bool ok = attempt([&] {
        names = mobiledevice_afc_read_directory(m_socket, path);
        const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
        for (const QString &name : std::as_const(names)) {
            if (name == QLatin1String(".") || name == QLatin1String(".."))
                continue;
            const QString entryPath = prefix + name;
            const AfcFileInfo info
                    = recordOf(entryPath, mobiledevice_afc_get_file_info(m_socket, entryPath));
            if (info.isFile() || info.isDir())
                entries.append(info);
        }
    });
    return ok ? entries : QList<AfcFileInfo>();
}

AfcFile::~AfcFile()
{
    close();
}

void AfcFile::close()
{
    if (m_handle == 0)
        return;
    try {
        mobiledevice_afc_file_close(m_socket, m_handle);
    } catch (const std::exception &e) {
        m_lastError = errorText(e);
    }
    m_handle = 0;
}

int AfcFile::read(char *buffer, int length)
{
    try {
        return mobiledevice_afc_file_read(m_socket, m_handle, buffer, length);
    } catch (const std::exception &e) {
        m_lastError = errorText(e);
        return -1;
    }
}

int AfcFile::write(const char *data, int length)
{
    try {
        return mobiledevice_afc_file_write(m_socket, m_handle, data, length);
    } catch (const std::exception &e) {
        m_lastError = errorText(e);
        return -1;
    }
}

AfcFileInfo::AfcFileInfo(const QString &name)
    : name(name)
{ }

AfcFileInfo AfcFileInfo::fromPath(const AfcConnection &connection, const QString &path)
{
    if (!connection.isConnected())
        return AfcFileInfo();
    try {
        return recordOf(path, mobiledevice_afc_get_file_info(connection.socket(), path));
    } catch (const std::exception &) {
        return AfcFileInfo();
    }
}

bool AfcFileInfo::isFile() const
{
    return type.compare(QLatin1String("S_IFREG"), Qt::CaseInsensitive) == 0;
}

bool AfcFileInfo::isDir() const
{
    return type.compare(QLatin1String("S_IFDIR"), Qt::CaseInsensitive) == 0;
}
