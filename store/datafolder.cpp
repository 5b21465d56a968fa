#include "store/datafolder.h"

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>

namespace {
// Filled by the first dataFolder call, fixed afterwards.
QString g_dataFolderPath;
QMutex g_dataFolderLock;
} // namespace

QString roamingAppDataFolder()
{
#ifdef Q_OS_WIN
    QDir home = QDir::home();
    if (home.exists(QStringLiteral("AppData/Roaming")))
        return home.absoluteFilePath(QStringLiteral("AppData/Roaming"));
    return home.absoluteFilePath(QStringLiteral("Application Data"));
#else
    // The XDG data home, read at each call (tests point it elsewhere).
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    return QDir::home().absoluteFilePath(QStringLiteral(".local/share"));
#endif
}

QString defaultBaseFolder()
{
    return QDir(roamingAppDataFolder()).absoluteFilePath(QLatin1String(kBrandFolder));
}

QString redirectFilePath()
{
    return QDir(defaultBaseFolder())
            .absoluteFilePath(QLatin1String(kProductId) + QStringLiteral(".redirect"));
}

QString readRedirectFolder()
{
    QFile f(redirectFilePath());
    if (!f.exists() || !f.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = f.readAll();
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString path = QString::fromUtf8(bytes);
    // Only an absolute path of an existing folder: a file could never hold
    // the data folder, and a relative path would depend on the working folder.
    if (path.isEmpty() || !QDir::isAbsolutePath(path) || !QFileInfo(path).isDir())
        return QString();
    return path;
}

void writeRedirectFolder(const QString &path)
{
    QFile f(redirectFilePath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    f.write(path.toUtf8());
    f.flush();
    f.close();
}

QDir dataFolder()
{
    QString path;
    {
        QMutexLocker lock(&g_dataFolderLock);
        if (g_dataFolderPath.isEmpty()) {
            QString base = readRedirectFolder();
            if (base.isEmpty())
                base = defaultBaseFolder();
            g_dataFolderPath = QDir(base).absoluteFilePath(QLatin1String(kProductId));
        }
        path = g_dataFolderPath;
    }
    QDir().mkpath(path);
    return QDir(path);
}

void resetDataFolderCache()
{
    QMutexLocker lock(&g_dataFolderLock);
    g_dataFolderPath.clear();
}

QDir localDatabasesFolder()
{
    const QString path = dataFolder().absoluteFilePath(QStringLiteral("local_databases"));
    QDir dir(path);
    if (!dir.exists())
        QDir().mkpath(path);
    return dir;
}

namespace {

// The first free "base(n).suffix" beside path, trying n from *next on; *next
// is left at the number after the one handed out. probes counts the names
// looked at.
QString numberedFreePath(const QFileInfo &info, qint64 *next, qint64 *probes)
{
    const QString name = info.fileName();
    const qsizetype firstDot = name.indexOf(QLatin1Char('.'));
    const qsizetype lastDot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = firstDot < 0 ? name : name.left(firstDot);
    const QString suffix = lastDot < 0 ? QString() : name.mid(lastDot + 1);
    const QDir folder = info.absoluteDir();
    for (qint64 n = std::max<qint64>(*next, 1);; ++n) {
        // The number is put in on its own: a name holding "%1" keeps it.
        QString candidate = base + QStringLiteral("(%1)").arg(n);
        if (!suffix.isEmpty())
            candidate += QLatin1Char('.') + suffix;
        const QFileInfo c(folder.absoluteFilePath(candidate));
        if (probes)
            ++*probes;
        if (!c.exists() && !c.isSymLink()) {
            *next = n + 1;
            return c.absoluteFilePath();
        }
    }
}

} // namespace

QString uniqueFilePath(const QString &path)
{
    const QFileInfo info(path);
    // A dangling link counts as taken, too.
    if (!info.exists() && !info.isSymLink())
        return path;
    qint64 next = 1;
    return numberedFreePath(info, &next, nullptr);
}

QString UniqueFileNames::path(const QString &path)
{
    const QFileInfo info(path);
    ++m_probes;
    if (!info.exists() && !info.isSymLink())
        return path;
    const QString key = QDir::cleanPath(info.absoluteFilePath());
    auto it = m_next.find(key);
    if (it == m_next.end())
        it = m_next.insert(key, 1);
    return numberedFreePath(info, &it.value(), &m_probes);
}

QString sanitizeFileName(const QString &name)
{
    static const QRegularExpression forbidden(QStringLiteral("[\\\\/:*?\"<>|]"));
    QString s = name;
    s.remove(forbidden);
    return s.trimmed();
}

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(
            QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

namespace {
void removeEntries(const QString &folder)
{
    QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &e : entries) {
        if (e.isSymLink() || e.isJunction()) {
            // The link itself goes; what it points at stays.
            if (!QFile::remove(e.absoluteFilePath()))
                QDir().rmdir(e.absoluteFilePath());
        } else if (e.isDir()) {
            removeEntries(e.absoluteFilePath());
            QDir().rmdir(e.absoluteFilePath());
        } else {
            QFile::remove(e.absoluteFilePath());
        }
    }
}
} // namespace

void removeFolderRecursively(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction()) {
        // A link given as the folder: remove the link, not its target.
        QFile::remove(info.absoluteFilePath());
        return;
    }
    if (!info.isDir())
        return;
    removeEntries(info.absoluteFilePath());
    QDir().rmdir(info.absoluteFilePath());
}

void openInExplorer(const QString &folder)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir(folder).absolutePath()));
}

void shellOpen(const QString &target)
{
    const QUrl url(target);
    if (url.isValid() && !url.scheme().isEmpty() && url.scheme().size() > 1)
        QDesktopServices::openUrl(url);
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(target));
}
