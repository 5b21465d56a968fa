#include "iphone/mobilebackup2.h"

#include "iphone/devicelink.h"

#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

} // namespace

void mobiledevice_backup2_start(AMDeviceRef device, int *socket)
{
    mobiledevice_start_service(device, "com.apple.mobilebackup2", socket);
    try {
        mobiledevice_link_version_exchange(*socket);
    } catch (...) {
        mobiledevice_close_socket(*socket);
        *socket = 0;
        throw;
    }
}

double mobiledevice_backup2_version_exchange(int socket, const double *versions, qint8 count)
{
    CFType body = CFType::newDictionary();
    CFType list = CFType::newArray();
    for (qint8 i = 0; i < count; ++i)
        list.append(CFType::fromNumber(double(versions[i])));
    body.setValue(QStringLiteral("SupportedProtocolVersions"), list);
    const CFType sent = mobiledevice_backup2_send_message(socket, QStringLiteral("Hello"), body);
    int code = 0;
    const CFType response = mobiledevice_backup2_recv_response(socket, &code, sent, nullptr);
    if (code == 1)
        fail(QStringLiteral(
                "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION"));
    if (code != 0)
        fail(QStringLiteral("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK"));
    return response.value(QStringLiteral("ProtocolVersion")).toDouble(0);
}

CFType mobiledevice_backup2_send_request(int socket, const QString &request,
                                         const QString &target, const QString &source,
                                         CFType options)
{
    CFType body = CFType::newDictionary();
    body.setValue(QStringLiteral("TargetIdentifier"), CFType::fromString(target));
    if (!source.isEmpty())
        body.setValue(QStringLiteral("SourceIdentifier"), CFType::fromString(source));
    if (!options.isEmpty()) {
        body.setValue(QStringLiteral("Options"), options);
        const auto copyOption = [&](const char *name) {
            const CFType v = options.value(QString::fromLatin1(name));
            if (!v.isEmpty())
                body.setValue(QString::fromLatin1(name), v);
        };
        if (request == QLatin1String("Unback"))
            copyOption("Password");
        if (request == QLatin1String("EnableCloudBackup"))
            copyOption("CloudBackupState");
    }
    return mobiledevice_backup2_send_message(socket, request, body);
}

void mobiledevice_backup2_request_backup(int socket, const QString &identifier, bool full)
{
    qDebug("Requesting backup from device, %s",
           full ? "Full backup mode" : "Incremental backup mode");
    CFType options;
    if (full) {
        options = CFType::newDictionary();
        options.setValue(QStringLiteral("ForceFullBackup"), CFType::fromBool(true));
    }
    mobiledevice_backup2_send_request(socket, QStringLiteral("Backup"), identifier, identifier,
                                      options);
}

void mobiledevice_backup2_set_cloud_backup(int socket, const QString &identifier, bool enable)
{
    qDebug("Set EnableCloudBackup: %d", enable ? 1 : 0);
    CFType options = CFType::newDictionary();
    options.setValue(QStringLiteral("CloudBackupState"), CFType::fromBool(enable));
    mobiledevice_backup2_send_request(socket, QStringLiteral("EnableCloudBackup"), identifier,
                                      identifier, options);
    int code = 0;
    mobiledevice_backup2_recv_response(socket, &code, CFType(), nullptr);
    if (code != 0)
        fail(QStringLiteral("Set EnableCloudBackup error code: %1").arg(code));
}

CFType mobiledevice_backup2_send_message(int socket, const QString &name, CFType body)
{
    body.setValue(QStringLiteral("MessageName"), CFType::fromString(name));
    return mobiledevice_link_sc_send_process_message(socket, body);
}

CFType mobiledevice_backup2_recv_response(int socket, int *errorCode, CFType request,
                                          CFType *whole)
{
    CFType message;
    const CFType body = mobiledevice_link_sc_recv_process_message(socket, request, &message);
    if (body.value(QStringLiteral("MessageName")).toQString() != QLatin1String("Response"))
        fail(QStringLiteral("Did not receive a message(\"Message Name\" is \"Response\").\n%1")
                     .arg(devicelink::xmlText(message)));
    if (errorCode)
        *errorCode = body.value(QStringLiteral("ErrorCode")).toInt(0);
    if (whole)
        *whole = message;
    return body;
}

void mobiledevice_backup2_recv_message(int socket, CFType &message, QString &name)
{
    mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, CFType());
}

CFType mobiledevice_backup2_send_status_response(int socket, int code, const QString &text,
                                                 CFType value)
{
    const CFType message = devicelink::message(
            {CFType::fromString(QStringLiteral("DLMessageStatusResponse")),
             CFType::fromNumber(qint32(code)),
             text.isEmpty() ? devicelink::valueOrPlaceholder(CFType()) : CFType::fromString(text),
             devicelink::valueOrPlaceholder(value)});
    mobiledevice_sendmsg(socket, message, true, mobiledevice::serviceTimeoutMs());
    return CFType::deepCopy(message);
}
