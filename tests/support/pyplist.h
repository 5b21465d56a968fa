#pragma once

#include <QByteArray>
#include <QString>

// Property lists made and read by Python's plistlib, a route apart from our own
// wrapper, so that tests compare against an independent implementation.
namespace PyPlist {

enum Format { Xml, Binary };

// Serialises the value of a Python expression (plistlib and datetime are
// imported) in the given format. Fails the calling test's QVERIFY through an
// empty result when Python is missing or the expression is wrong.
QByteArray dump(const QString &pythonExpression, Format format);

// Loads the bytes with plistlib and compares them with the value of the
// expression; returns an empty text when equal, else a description of both.
QString compare(const QByteArray &plistBytes, const QString &pythonExpression);

// A Python text literal for the given text.
QString quote(const QString &text);

} // namespace PyPlist
