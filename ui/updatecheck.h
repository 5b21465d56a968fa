#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// The pieces of the update check and the status-bar link line that do not
// need the window: the once-a-day rule, the checks on what the web service
// answers, and the pages of the maker's web site.

// The build number sent as "ver" with the update check and the update page.
inline constexpr int kUpdateCheckBuild = 31;
// The version the About box shows.
inline constexpr const char *kAboutVersion = "3.2.11";
// A check answered less than this many seconds ago is not repeated.
inline constexpr quint32 kUpdateCheckInterval = 86400;
// The colour of the status-bar link.
inline constexpr const char *kAdvLinkColour = "#2762DA";

// Seconds since 1970-01-01 00:00 UTC; tests may set the clock.
qint64 updateCheckNow();
// Replaces the clock (an empty function restores the system clock).
void setUpdateCheckClock(std::function<qint64()> clock);

// The bytes up to the first zero byte.
QByteArray untilNul(const QByteArray &bytes);

// Whether the start-up requests are due, given the content of the
// "last-check-version-time" file (nullopt when it could not be read): not
// when it holds a non-zero number and now minus that number, taken as an
// unsigned 32-bit difference, is at most kUpdateCheckInterval.
bool updateCheckDue(const std::optional<QByteArray> &stamp, qint64 now);

// The download address of an update-check reply body, or an empty URL when
// the body names none: the text up to its first zero byte, read as Latin-1
// and trimmed, must be an http or https address with a host.
QUrl updateDownloadUrl(const QByteArray &body);

// Whether a reply came from where the request was meant to go: same scheme,
// host and port as the service address (so never through a redirect to
// another place).
bool isFromService(const QUrl &replyUrl, const QUrl &serviceUrl);

// The status-bar line made from a link reply or the saved "last-adv" text,
// or an empty text when it is not acceptable. Accepted is a text that
// starts with "<a" (any case) holding one anchor whose href is an http or
// https address; the result keeps only that address and draws the link in
// kAdvLinkColour without underline. Whatever the anchor encloses, and any
// text after it, is shown as plain text (markup escaped).
QString sanitizeAdvLink(const QString &text);

// A page of the maker's web site (path and optional query), or an empty URL
// when no web site is configured.
QUrl webSitePage(const QString &path, const QList<QPair<QString, QString>> &query = {});

// The serial number of the volume of the current folder (the number the
// update page asks for), or nullopt where it cannot be read.
std::optional<quint32> currentVolumeSerial();
