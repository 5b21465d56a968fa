#pragma once

#include <QString>
#include <QUrl>

// The host (optionally "host:port") of the maker's web service: the
// environment variable PELICORDE_SERVICE_HOST when it is set (even to an
// empty value), else the build setting PEL_SERVICE_HOST. Empty means that
// nothing is ever sent.
QString serviceHost();

// The address users may write to for help: the environment variable
// PELICORDE_SUPPORT_ADDRESS when it is set (even to an empty value), else the
// build setting PEL_SUPPORT_ADDRESS. Empty when there is none.
QString supportAddress();

// http://<serviceHost><path>, or an empty URL when there is no host.
QUrl serviceUrl(const QString &path);

// Base64 of the UTF-8 text with "/" written "!" and "=" written "-".
QString urlSafeBase64(const QString &text);

// The form body of an error report: prod, ver and err, each the
// urlSafeBase64 of its value, percent-encoded for the form. Line-break tags
// in the message become CR LF, then "<" and ">" become "&lt;" and "&gt;".
QByteArray errorReportBody(const QString &message);

// Posts one error report to "/err_report.php" of the web service and returns
// at once; no reply is read and no failure reaches the user. Returns whether
// a request went out (false when there is no host or no application object).
// Called from another thread, the request goes out from the GUI thread.
bool sendErrorReport(const QString &message);
