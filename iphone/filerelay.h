#pragma once

#include "iphone/mobiledevice.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// The phone's file_relay service: asked for sources such as
// "UserDatabases", it answers {"Status": "Acknowledged"} and then streams a
// cpio archive of those files until it closes the connection.

// Starts "com.apple.mobile.file_relay"; throws as mobiledevice_start_service.
void mobiledevice_file_relay_start(AMDeviceRef device, int *socket);
// Sends {"Sources": sources} and checks that the reply acknowledges it;
// throws "invalid feedback.\n<reply>" (or a framing error) otherwise.
void mobiledevice_file_relay_request(int socket, const QStringList &sources);

namespace filerelay {

// The transfer buffer: received chunks, archive reads and file writes.
inline constexpr int kChunkSize = 524288;

// What unpacking reports and asks while it runs.
struct UnpackHooks
{
    // True when the user has cancelled: unpacking stops at once.
    std::function<bool()> cancelled;
    // (status, value, text) as the progress dialog takes them.
    std::function<void(const QString &, int, const QString &)> progress;
};

// Unpacks the archive at archivePath below folder, which exists. The
// archive is read as a cpio archive, gzip-compressed or not, and as nothing
// else: no other format or compression, and no outside program. It comes
// from the phone and is not trusted: only folders and regular files are
// made, and only inside folder. A hard link to a file made before becomes a
// file of its own with the data of its set (which the archive carries with
// one of the names only), copied to every name of the set. A symbolic link,
// a hard link to nothing made here, a device or any other kind of entry is
// skipped with a log line, and their count goes to *skipped (when given) on
// success. A name that climbs out (".." components, an absolute path), an
// entry larger than the free disk space, a damaged or cut-off archive, an
// archive of another format and an archive without a single file are
// failures, thrown as std::runtime_error with the text for the user. False
// when cancelled. buffer is the transfer buffer (grown to kChunkSize when
// smaller). The disk writes of every file are started as it is written but
// not waited for; made (when given) receives the files and folders made
// below folder, each after the folder that holds it, for the caller to
// flush with syncUnpacked.
bool unpackArchive(const QString &archivePath, const QString &folder, QByteArray &buffer,
                   const UnpackHooks &hooks, int *skipped = nullptr,
                   QStringList *made = nullptr);

// Flushes the paths an unpack made and then folder itself to the disk,
// contents before the folder that holds them; false when one of them
// cannot be.
bool syncUnpacked(const QStringList &made, const QString &folder);

// The entry name as it is stored: a leading "./" and the characters
// : * ? " < > | removed. Folder separators stay.
QString cleanEntryName(const QString &name);

} // namespace filerelay
