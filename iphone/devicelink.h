#pragma once

#include "iphone/cftype.h"

#include <QString>

#include <initializer_list>

// DeviceLink, the message layer of the phone's backup and sync services:
// every message is a property-list array whose element 0 is its name; the
// link's own messages have names beginning "DL". The layer keeps no state
// and neither opens nor closes the socket; every send and receive has the
// service time limit (mobiledevice::serviceTimeoutMs). Failures throw
// std::runtime_error.

namespace devicelink {

// Stands in an element whose text or value is empty.
inline constexpr char kEmptyParameter[] = "___EmptyParameterString___";

// Element index of a message, empty when it is no array or too short.
CFType element(const CFType &message, qsizetype index);
// Element 0 as text; empty for anything that is no array of a name.
QString messageName(const CFType &message);
// True for the names of link messages: those beginning "DL" in any letter
// case.
bool isLinkMessageName(const QString &name);
// The value, or the placeholder text when it holds none.
CFType valueOrPlaceholder(const CFType &value);
// A message: an array of the elements, in order.
CFType message(std::initializer_list<CFType> elements);
// The value as an XML property list, for failure texts and logs, cut to
// its first kXmlTextCharacters characters: what a phone sends may be large.
inline constexpr qsizetype kXmlTextCharacters = 2000;
QString xmlText(const CFType &value);

} // namespace devicelink

// Opens the link on a freshly started service socket: answers the phone's
// version message with "DLMessageVersionExchange", "DLVersionsOk" until it
// says "DLMessageDeviceReady".
void mobiledevice_link_version_exchange(int socket);
// Sends "DLMessageProcessMessage", body (binary); an independent copy of
// the array sent.
CFType mobiledevice_link_sc_send_process_message(int socket, const CFType &body);
// Receives one link message: the whole array and its name. request (may be
// empty) is shown in the text of a receive failure.
void mobiledevice_link_sc_recv_dlmessaeg(int socket, CFType &message, QString &name,
                                         CFType request);
// Receives "DLMessageProcessMessage" and gives an independent copy of its
// body; whole, when given, gets the received array.
CFType mobiledevice_link_sc_recv_process_message(int socket, CFType request, CFType *whole);
// Sends "DLMessageDisconnect", text (the placeholder when empty).
void mobiledevice_link_sc_send_disconnect(int socket, const QString &text);
