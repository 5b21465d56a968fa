#include "jobs/outputfilename.h"

#include "store/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {
// Longest file name written, in UTF-8 bytes (file systems allow 255).
constexpr int kMaxNameBytes = 200;

QString cleaned(const QString &raw)
{
    QString name = sanitizeFileName(raw);
    name.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
    name = name.trimmed();
    while (!name.isEmpty() && name.front() == QLatin1Char('.'))
        name.remove(0, 1);
    while (!name.isEmpty() && (name.back() == QLatin1Char('.') || name.back().isSpace()))
        name.chop(1);
    name = name.trimmed();
    if (name.isEmpty())
        return name;
    if (isWindowsDeviceName(name))
        name.prepend(QLatin1Char('_'));
    return shortenedFileName(name);
}
} // namespace

bool isWindowsDeviceName(const QString &name)
{
    static const QRegularExpression device(QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])$"),
                                           QRegularExpression::CaseInsensitiveOption);
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    return device.match((dot < 0 ? name : name.left(dot)).trimmed()).hasMatch();
}

QString shortenedFileName(const QString &name)
{
    if (name.toUtf8().size() <= kMaxNameBytes)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    QString suffix = dot > 0 ? name.mid(dot) : QString();
    if (suffix.toUtf8().size() > kMaxNameBytes / 4)
        suffix.clear();
    QString base = dot > 0 && !suffix.isEmpty() ? name.left(dot) : name;
    while (!base.isEmpty() && (base + suffix).toUtf8().size() > kMaxNameBytes) {
        base.chop(1);
        if (!base.isEmpty() && base.back().isHighSurrogate())
            base.chop(1);
    }
    return base + suffix;
}

QString safeOutputFileName(const QString &name, const QString &fallback)
{
    const QString out = cleaned(name);
    if (!out.isEmpty())
        return out;
    const QString other = cleaned(fallback);
    return other.isEmpty() ? QStringLiteral("file") : other;
}

bool isDirectlyInside(const QString &path, const QString &folder)
{
    const QString dir = QDir::cleanPath(QDir(folder).absolutePath());
    const QString p = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return QFileInfo(p).fileName() != QLatin1String("..")
            && QDir::cleanPath(QFileInfo(p).absolutePath()) == dir && p != dir;
}

std::runtime_error writeFailure(const QString &path, const QString &reason)
{
    // A device that lost the cause of its error says "Unknown error"; what
    // is left to fail at this point is the disk.
    const QString unknown = QFile().errorString();
    const QString why = reason.isEmpty() || reason == unknown
            ? QStringLiteral("the disk may be full")
            : reason;
    return std::runtime_error(QStringLiteral("Writing %1 failed: %2.")
                                      .arg(QDir::toNativeSeparators(path), why)
                                      .toUtf8()
                                      .toStdString());
}
