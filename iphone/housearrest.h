#pragma once

#include <QString>

// The phone's house_arrest service: after one request naming an app, its
// socket speaks AFC (iphone/afc.h) on that app's container.

// Sends {"Command": "VendContainer", "Identifier": identifier} and checks
// the answer; throws std::runtime_error ("can not find <identifier>." when
// the phone answers with "Error", or a framing error).
void mobiledevice_house_arrest_vend_container(int socket, const QString &identifier);
