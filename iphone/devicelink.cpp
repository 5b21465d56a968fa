#include "iphone/devicelink.h"

#include "iphone/mobiledevice.h"

#include <QDebug>

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

} // namespace

namespace devicelink {

CFType element(const CFType &message, qsizetype index)
{
    if (!message.isArray() || index < 0 || index >= message.arrayCount())
        return CFType();
    return message.at(index);
}

QString messageName(const CFType &message)
{
    return element(message, 0).toQString();
}

bool isLinkMessageName(const QString &name)
{
    // The link's own messages and those the phone sends while it drives a
    // backup or restore over the link; which of them a caller handles is
    // for it to say by the exact name.
    return name.startsWith(QLatin1String("DL"), Qt::CaseInsensitive);
}

CFType valueOrPlaceholder(const CFType &value)
{
    return value.isEmpty() ? CFType::fromString(QString::fromLatin1(kEmptyParameter)) : value;
}

CFType message(std::initializer_list<CFType> elements)
{
    CFType array = CFType::newArray();
    for (const CFType &e : elements)
        array.append(e);
    return array;
}

QString xmlText(const CFType &value)
{
    return mobiledevice::shortXml(value, kXmlTextCharacters);
}

} // namespace devicelink

void mobiledevice_link_version_exchange(int socket)
{
    const CFType first = mobiledevice_recmsg(socket, CFType(), timeoutMs());
    if (devicelink::messageName(first) == QLatin1String("DLMessageDeviceReady"))
        return;
    const CFType answer = devicelink::message({CFType::fromString(QStringLiteral("DLMessageVersionExchange")),
                                   CFType::fromString(QStringLiteral("DLVersionsOk"))});
    mobiledevice_sendmsg(socket, answer, false, timeoutMs());
    const CFType ready = mobiledevice_recmsg(socket, answer, timeoutMs());
    if (devicelink::messageName(ready) != QLatin1String("DLMessageDeviceReady"))
        fail(QStringLiteral("invalid feedback after send DLMessageVersionExchange.\n%1")
                     .arg(devicelink::xmlText(ready)));
}

CFType mobiledevice_link_sc_send_process_message(int socket, const CFType &body)
{
    const CFType message
            = devicelink::message({CFType::fromString(QStringLiteral("DLMessageProcessMessage")), body});
    mobiledevice_sendmsg(socket, message, true, timeoutMs());
    return CFType::deepCopy(message);
}

void mobiledevice_link_sc_recv_dlmessaeg(int socket, CFType &message, QString &name,
                                         CFType request)
{
    const CFType received = mobiledevice_recmsg(socket, request, timeoutMs());
    const QString receivedName = devicelink::messageName(received);
    if (!devicelink::isLinkMessageName(receivedName)) {
        qDebug("mobiledevice_link_sc_recv_dlmessaeg recv invalid msg:\n%s",
               devicelink::xmlText(received).toUtf8().constData());
        fail(QStringLiteral("Did not receive a DL* message as expected."));
    }
    message = received;
    name = receivedName;
}

CFType mobiledevice_link_sc_recv_process_message(int socket, CFType request, CFType *whole)
{
    CFType message;
    QString name;
    mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, request);
    if (name != QLatin1String("DLMessageProcessMessage")) {
        qDebug("mobiledevice_link_sc_recv_process_message recv invalid msg:\n%s",
               devicelink::xmlText(message).toUtf8().constData());
        fail(QStringLiteral("Did not receive DLMessageProcessMessage as expected."));
    }
    if (whole)
        *whole = message;
    const CFType body = devicelink::element(message, 1);
    return body.isEmpty() ? CFType() : CFType::deepCopy(body);
}

void mobiledevice_link_sc_send_disconnect(int socket, const QString &text)
{
    const CFType message = devicelink::message({CFType::fromString(QStringLiteral("DLMessageDisconnect")),
                                    text.isEmpty() ? devicelink::valueOrPlaceholder(CFType())
                                                   : CFType::fromString(text)});
    mobiledevice_sendmsg(socket, message, true, timeoutMs());
}
