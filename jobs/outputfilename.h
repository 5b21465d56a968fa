#pragma once

#include <QString>

// A name that is safe as one file name directly inside an output folder on
// any file system: the characters no file name may hold and control
// characters removed, no leading dots (no hidden files, never "." or ".."),
// no trailing dots or blanks, no device name of Windows, at most 200 UTF-8
// bytes (the suffix kept where it can be). fallback is used when nothing of
// name is left.
QString safeOutputFileName(const QString &name, const QString &fallback);

// Whether path names an entry directly inside folder (both taken as absolute,
// cleaned paths).
bool isDirectlyInside(const QString &path, const QString &folder);
