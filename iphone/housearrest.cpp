#include "iphone/housearrest.h"

#include "iphone/mobiledevice.h"

#include <stdexcept>

void mobiledevice_house_arrest_vend_container(int socket, const QString &identifier)
{
    CFType request = CFType::newDictionary();
    request.setValue(QStringLiteral("Command"), CFType::fromString(QStringLiteral("VendContainer")));
    request.setValue(QStringLiteral("Identifier"), CFType::fromString(identifier));
    const int timeout = mobiledevice::serviceTimeoutMs();
    mobiledevice_sendmsg(socket, request, false, timeout);
    const CFType answer = mobiledevice_recmsg(socket, request, timeout);
    // An answer that is no dictionary (bytes that do not parse included)
    // grants nothing either.
    if (!answer.isDictionary() || !answer.value(QStringLiteral("Error")).isEmpty())
        throw std::runtime_error(
                QStringLiteral("can not find %1.").arg(identifier).toUtf8().toStdString());
}
