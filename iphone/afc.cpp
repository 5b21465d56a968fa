#include "iphone/afc.h"

#include "iphone/housearrest.h"

#include <QDebug>
#include <QtEndian>

#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

// A failure that leaves the socket out of step.
[[noreturn]] void broken(const QString &text)
{
    throw afc::ProtocolError(text.toUtf8().toStdString());
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

// An answer of another kind than the request calls for belongs to another
// request (or to none): the socket is out of step.
void checkKind(const AfcHeader &answer, quint64 expected, quint64 operation)
{
    if (answer.operation != expected)
        broken(QStringLiteral("read AFC failed, an answer of operation %1 to a request of "
                              "operation %2.")
                       .arg(answer.operation)
                       .arg(operation));
}

// Sends a request whose parameters are its whole body and reads its answer,
// which must be of the kind expected (a status: its code 0); a non-zero
// status is thrown.
QByteArray request(int socket, quint64 operation, const QByteArray &parameters,
                   quint64 expected = afc::OpStatus)
{
    AfcHeader header(socket, operation);
    header.entireLength = header.thisLength = quint64(afc::kHeaderSize + parameters.size());
    mobiledevice_afc_send_packet(socket, header, parameters.constData(), int(parameters.size()));
    AfcHeader answer;
    const QByteArray payload = mobiledevice_afc_receive_packet(socket, answer, nullptr);
    checkKind(answer, expected, operation);
    return payload;
}

QString errorText(const std::exception &e)
{
    return QString::fromUtf8(e.what());
}

// The record of path from its file information; st_mtime is in
// nanoseconds since 1970. A size that is no number, negative or absurd is
// a damaged answer: the empty record.
AfcFileInfo recordOf(const QString &path, const QMap<QString, QString> &values)
{
    AfcFileInfo info(path);
    const auto size = values.constFind(QStringLiteral("st_size"));
    if (size != values.constEnd()) {
        bool ok = false;
        info.size = size->toLongLong(&ok);
        if (!ok || info.size < 0 || info.size > afc::kMaxFileSize) {
            qWarning("AFC file information of %s is damaged: the size \"%s\".",
                     qUtf8Printable(path.left(300)), qUtf8Printable(size->left(40)));
            return AfcFileInfo();
        }
    }
    info.type = values.value(QStringLiteral("st_ifmt"));
    const auto mtime = values.constFind(QStringLiteral("st_mtime"));
    if (mtime != values.constEnd())
        info.modified = QDateTime::fromMSecsSinceEpoch(qint64(mtime->toULongLong() / 1000000),
                                                       Qt::UTC);
    return info;
}

} // namespace

namespace afc {

void Session::shut()
{
    if (socket != 0) {
        mobiledevice_close_socket(socket);
        socket = 0;
    }
}

bool isEntryName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/'));
}

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
        broken(QStringLiteral("read AFC header failed: the answer does not start with the AFC "
                              "magic."));
    h.entireLength = number(bytes + 8);
    h.thisLength = number(bytes + 16);
    h.packetNumber = number(bytes + 24);
    h.operation = number(bytes + 32);
    if (h.thisLength < quint64(afc::kHeaderSize) || h.thisLength > h.entireLength)
        broken(QStringLiteral("read AFC header failed: the lengths %1 and %2 do not fit together.")
                       .arg(h.entireLength)
                       .arg(h.thisLength));
    if (h.entireLength - quint64(afc::kHeaderSize) > afc::kMaxPayload)
        broken(QStringLiteral("read AFC header failed: the answer announces %1 bytes, more than "
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
        broken(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
    if (sent < afc::kHeaderSize + qMax(length, 0))
        broken(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
    return qMax(length, 0);
}

namespace {

AfcHeader receiveHeader(int socket)
{
    char head[afc::kHeaderSize];
    if (mobiledevice_receive_data(socket, head, afc::kHeaderSize, timeoutMs())
        != afc::kHeaderSize)
        broken(QStringLiteral("read AFC header failed."));
    return AfcHeader::fromBytes(head);
}

QByteArray receivePayload(int socket, const AfcHeader &header, quint32 *status)
{
    const quint64 size = header.entireLength - quint64(afc::kHeaderSize);
    const QByteArray payload = mobiledevice::receiveAnnounced(socket, qint64(size), timeoutMs());
    if (quint64(payload.size()) != size)
        broken(QStringLiteral("read AFC file block data failed."));
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
            broken(QStringLiteral("read AFC failed, received AFC_OP_STATUS of %1 bytes.")
                           .arg(payload.size()));
        const quint64 code = number(payload.constData());
        if (status)
            *status = quint32(code);
        else if (code != 0)
            fail(QStringLiteral("read AFC failed, received AFC_OP_STATUS, param1=%1.").arg(code));
        return payload;
    }
    default:
        broken(QStringLiteral("read AFC failed, Unknown operation code received %1, param1=%2.")
                       .arg(header.operation)
                       .arg(payload.size() >= 8 ? number(payload.constData()) : 0));
    }
}

quint64 mobiledevice_afc_file_open(int socket, const QString &path, int mode)
{
    QByteArray parameters;
    appendNumber(parameters, quint64(mode));
    parameters.append(pathBytes(path));
    const QByteArray payload = request(socket, afc::OpFileOpen, parameters, afc::OpFileOpenResult);
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
            broken(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
        if (sent < int(sizeof packet))
            broken(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
        const AfcHeader answer = receiveHeader(socket);
        const quint64 size = answer.entireLength - quint64(afc::kHeaderSize);
        if (answer.operation == afc::OpFileOpenResult || answer.operation == afc::OpPositionResult)
            broken(QStringLiteral("read AFC file failed, an answer of operation %1 to a read.")
                           .arg(answer.operation));
        if (answer.operation != afc::OpData) {
            // A status instead of data: thrown unless it says success,
            // which is the end of the file; it carries its code alone.
            // Anything else breaks the framing.
            if (receivePayload(socket, answer, nullptr).size() > 8)
                broken(QStringLiteral("read AFC file failed, a status answer of %1 bytes to a "
                                      "read.")
                               .arg(size));
            break;
        }
        // More than was asked for would run past the caller's buffer.
        if (size > quint64(ask))
            broken(QStringLiteral("read AFC file failed: %1 bytes received for %2 asked.")
                           .arg(size)
                           .arg(ask));
        if (size == 0)
            break;
        // The data goes straight into the caller's buffer.
        if (mobiledevice_receive_data(socket, buffer + done, int(size), timeoutMs()) != int(size))
            broken(QStringLiteral("read AFC file block data failed."));
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
            broken(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
        if (sent < kHead)
            broken(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
        if (sent < kHead + chunk)
            broken(QStringLiteral("write AFC file error."));
        done += chunk;
        AfcHeader answer;
        mobiledevice_afc_receive_packet(socket, answer, nullptr);
        checkKind(answer, afc::OpStatus, afc::OpFileWrite);
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
    checkKind(answer, afc::OpStatus, afc::OpFileLock);
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
    return afc::splitStrings(
            countedStrings(request(socket, afc::OpReadDirectory, pathBytes(path), afc::OpData),
                           afc::kMaxDirectoryNames, "directory"));
}

QMap<QString, QString> mobiledevice_afc_get_file_info(int socket, const QString &path)
{
    return afc::pairsOf(
            countedStrings(request(socket, afc::OpGetFileInfo, pathBytes(path), afc::OpData),
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
    m_session = std::make_shared<afc::Session>();
    m_session->socket = socket;
}

void AfcConnection::close()
{
    if (m_session)
        m_session->shut();
    m_session.reset();
}

template<typename F> bool AfcConnection::attempt(F &&f)
{
    if (!isConnected()) {
        m_lastError = QStringLiteral("The AFC connection is not open.");
        return false;
    }
    try {
        f();
        m_lastError.clear();
        return true;
    } catch (const afc::ProtocolError &e) {
        m_lastError = errorText(e);
        close();
        return false;
    } catch (const std::exception &e) {
        m_lastError = errorText(e);
        return false;
    }
}

bool AfcConnection::makeDirectory(const QString &path)
{
    return attempt([&] { mobiledevice_afc_make_directory(socket(), path); });
}

bool AfcConnection::removePath(const QString &path)
{
    return attempt([&] { mobiledevice_afc_remove_path(socket(), path); });
}

bool AfcConnection::renamePath(const QString &from, const QString &to)
{
    return attempt([&] { mobiledevice_afc_rename_path(socket(), from, to); });
}

bool AfcConnection::openFile(const QString &path, int mode, AfcFile &file)
{
    file.close();
    quint64 handle = 0;
    if (!attempt([&] { handle = mobiledevice_afc_file_open(socket(), path, mode); }))
        return false;
    if (handle == 0) {
        m_lastError = QStringLiteral("open AFC file failed: no handle for %1.").arg(path);
        return false;
    }
    file.m_session = m_session;
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
    constexpr qsizetype kLoggedNames = 10;
    QStringList names;
    if (!attempt([&] { names = mobiledevice_afc_read_directory(socket(), path); }))
        return {};
    const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
    QList<AfcFileInfo> entries;
    QString failed;
    qsizetype leftOut = 0;
    for (const QString &name : std::as_const(names)) {
        if (!afc::isEntryName(name)) {
            // "." and ".." are in every listing; anything else would name
            // the folder itself or a path outside it. The first few are
            // logged, the rest counted.
            if (name != QLatin1String(".") && name != QLatin1String("..")
                && ++leftOut <= kLoggedNames)
                qWarning("AFC listing of %s: the name \"%s\" is no entry of the folder and is "
                         "left out.",
                         qUtf8Printable(path.left(300)), qUtf8Printable(name.left(300)));
            continue;
        }
        const QString entryPath = prefix + name;
        AfcFileInfo info;
        if (!attempt([&] {
                info = recordOf(entryPath, mobiledevice_afc_get_file_info(socket(), entryPath));
            })) {
            // The connection is gone: nothing of the listing can be trusted.
            if (!isConnected())
                return {};
            // This entry alone cannot be read.
            failed = m_lastError;
            continue;
        }
        if (info.isFile() || info.isDir())
            entries.append(info);
    }
    if (leftOut > kLoggedNames)
        qWarning("AFC listing of %s: %lld names in all are no entries of the folder and are left "
                 "out.",
                 qUtf8Printable(path.left(300)), qlonglong(leftOut));
    m_lastError = failed;
    return entries;
}

AfcFile::~AfcFile()
{
    close();
}

bool AfcFile::usable()
{
    if (m_handle == 0) {
        m_lastError = QStringLiteral("The AFC file is not open.");
        return false;
    }
    if (socket() == 0) {
        m_lastError = QStringLiteral("The AFC connection of the file is closed.");
        return false;
    }
    return true;
}

void AfcFile::close()
{
    if (m_handle != 0 && socket() != 0) {
        try {
            mobiledevice_afc_file_close(socket(), m_handle);
        } catch (const afc::ProtocolError &e) {
            m_lastError = errorText(e);
            m_session->shut();
        } catch (const std::exception &e) {
            m_lastError = errorText(e);
        }
    }
    m_handle = 0;
    m_session.reset();
}

int AfcFile::read(char *buffer, int length)
{
    if (!usable())
        return -1;
    try {
        return mobiledevice_afc_file_read(socket(), m_handle, buffer, length);
    } catch (const afc::ProtocolError &e) {
        m_lastError = errorText(e);
        m_session->shut();
    } catch (const std::exception &e) {
        m_lastError = errorText(e);
    }
    return -1;
}

int AfcFile::write(const char *data, int length)
{
    if (!usable())
        return -1;
    try {
        return mobiledevice_afc_file_write(socket(), m_handle, data, length);
    } catch (const afc::ProtocolError &e) {
        m_lastError = errorText(e);
        m_session->shut();
    } catch (const std::exception &e) {
        m_lastError = errorText(e);
    }
    return -1;
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
    } catch (const afc::ProtocolError &) {
        // The connection is out of step: no later request may read this
        // request's answer.
        connection.m_session->shut();
        return AfcFileInfo();
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
