#pragma once

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QString>

// Reading the file of an attachment, wherever it is read (views, exports,
// printing, extraction, copies into a local database, conversions): only a
// regular file is read, and never through a symbolic link. A pipe, socket
// or device where a file should be would block the reader or never end;
// a link in a store (a copied phone file system or backup may hold one)
// can lead to any file of this computer.

// Whether path names such a file now. The name itself is looked at, not
// what a link there points to.
bool isAttachmentFile(const QString &path);

// Opens file on path for reading when path names a regular file that is no
// link. The open never blocks and never follows a link, so that a file
// swapped for a pipe or a link after a check is refused all the same.
// Returns false, with the reason in *error, when the file is refused or
// cannot be opened.
bool openAttachmentFile(QFile &file, const QString &path, QString *error = nullptr);

// At most maxBytes of the attachment file at path (all of it when maxBytes
// is negative); a null array when it is refused or cannot be read.
// *complete tells whether that was all of it.
QByteArray readAttachmentFile(const QString &path, qint64 maxBytes, bool *complete = nullptr);

// The JPEG or PNG picture in the attachment file at path (JPEG tried
// first), or a null image; *format receives "JPEG" or "PNG".
QImage loadAttachmentPicture(const QString &path, QByteArray *format = nullptr);

// Copies the attachment file source to target, which must not exist yet
// (nothing is ever replaced). A copy that fails leaves no file at target;
// the reason is in *error.
bool copyAttachmentFile(const QString &source, const QString &target, QString *error = nullptr);
