#pragma once

#include <QString>

#include <stdexcept>

// A name that is safe as one file name directly inside an output folder on
// any file system: the characters no file name may hold and control
// characters removed, no leading dots (no hidden files, never "." or ".."),
// no trailing dots or blanks, no device name of Windows, at most 200 UTF-8
// bytes (the suffix kept where it can be). fallback is used when nothing of
// name is left.
QString safeOutputFileName(const QString &name, const QString &fallback);

// Whether name (before its first dot) is one of the names Windows keeps for
// devices (CON, PRN, AUX, NUL, COM0-9, LPT0-9), in any letter case.
bool isWindowsDeviceName(const QString &name);

// name cut to at most 200 UTF-8 bytes, keeping a short suffix and never
// leaving half of a surrogate pair.
QString shortenedFileName(const QString &name);

// Whether path names an entry directly inside folder (both taken as absolute,
// cleaned paths).
bool isDirectlyInside(const QString &path, const QString &folder);

// The error of an output file that could not be written: its name and the
// reason ("the disk may be full" when the device lost the reason).
std::runtime_error writeFailure(const QString &path, const QString &reason);
