#pragma once

#include "iphone/cftype.h"
#include "iphone/mobiledevice.h"

#include <QString>

// A client of the phone's backup service "com.apple.mobilebackup2" over
// DeviceLink (iphone/devicelink.h). Messages of the service travel as
// "DLMessageProcessMessage", body, where the body is a dictionary named by
// its "MessageName". The socket is the caller's; every operation throws
// std::runtime_error on failure. Nothing in the program drives a backup
// through it: backups run the maker's backup tool.

// Starts the service and opens the link; on failure nothing stays open.
void mobiledevice_backup2_start(AMDeviceRef device, int *socket);
// "Hello" with the versions offered (as doubles); the version the phone
// chose.
double mobiledevice_backup2_version_exchange(int socket, const double *versions, qint8 count);
// A request with "TargetIdentifier", "SourceIdentifier" (when not empty) and
// "Options" (when they hold a value); the copy of the message sent.
CFType mobiledevice_backup2_send_request(int socket, const QString &request,
                                         const QString &target, const QString &source,
                                         CFType options);
// Asks for a full or an incremental backup; reads no reply.
void mobiledevice_backup2_request_backup(int socket, const QString &identifier, bool full);
void mobiledevice_backup2_set_cloud_backup(int socket, const QString &identifier, bool enable);
// Sets "MessageName" of body (the caller's dictionary) and sends it.
CFType mobiledevice_backup2_send_message(int socket, const QString &name, CFType body);
// The phone's "Response": errorCode gets its "ErrorCode" (0 when absent);
// whole, when given, the received array; a copy of the body.
CFType mobiledevice_backup2_recv_response(int socket, int *errorCode, CFType request,
                                          CFType *whole);
// Any link message, with its name.
void mobiledevice_backup2_recv_message(int socket, CFType &message, QString &name);
// "DLMessageStatusResponse", code, text, value (the placeholder for an
// empty text or value); a copy of the array sent.
CFType mobiledevice_backup2_send_status_response(int socket, int code, const QString &text,
                                                 CFType value);
