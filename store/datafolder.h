#pragma once

#include <QDir>
#include <QHash>
#include <QString>

// The fixed identifier that names the data folder and the redirect file.
inline constexpr const char *kProductId = "A4E1C07B95D2368F0B7C4E19D3A5F826";
// The brand folder below the roaming application-data folder.
inline constexpr const char *kBrandFolder = "Quillmarsh";

// The roaming application-data folder: on Windows the home folder's
// "AppData/Roaming" (else "Application Data"); elsewhere the XDG data home.
QString roamingAppDataFolder();
// The brand folder's absolute path (nothing is created).
QString defaultBaseFolder();
// The redirect file's absolute path.
QString redirectFilePath();
// The path held by the redirect file when it is the absolute path of an
// existing folder, else an empty text.
QString readRedirectFolder();
// Stores path in the redirect file (the brand folder must exist).
void writeRedirectFolder(const QString &path);

// The per-user data folder, created when missing; its path is fixed by the
// first call of the process.
QDir dataFolder();
// Forgets the cached data-folder path so that the next dataFolder call
// looks again (tests only; the program never calls it).
void resetDataFolderCache();
// The data folder's "local_databases", created when missing.
QDir localDatabasesFolder();

// path itself when nothing exists there, else the first free "base(n).suffix"
// beside it.
QString uniqueFilePath(const QString &path);

// uniqueFilePath for the many files one job writes: the next number is
// remembered per name, so that a name that repeats thousands of times
// (attachments all called "image.jpg") does not try every number taken
// before again for each file. A name handed out counts as taken from then
// on, whether or not its file is made.
class UniqueFileNames
{
public:
    QString path(const QString &path);
    // Names looked at in the file system so far.
    qint64 probes() const { return m_probes; }

private:
    QHash<QString, qint64> m_next; // by the wanted path
    qint64 m_probes = 0;
};
// name without \ / : * ? " < > | and trimmed.
QString sanitizeFileName(const QString &name);
// Lower-case hex MD5 of the UTF-8 bytes of text.
QString md5Hex(const QString &text);
// Deletes the folder and everything in it, hidden entries included, as far
// as it can. Symbolic links are removed, never followed: nothing outside the
// folder is touched. Failures are not reported.
void removeFolderRecursively(const QString &path);
// Shows the folder in the desktop's file manager.
void openInExplorer(const QString &folder);
// Opens a URL or file with the desktop's default handler.
void shellOpen(const QString &target);
