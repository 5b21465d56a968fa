#include "iphone/applelibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <shlobj.h>
#include <string>
#include <windows.h>
#endif

QLibrary mobileDeviceLibrary;
QLibrary coreFoundationLibrary;

#ifdef Q_OS_WIN

namespace {

const char *const kMobileDeviceKey = "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support";
const char *const kApplicationSupportKey = "SOFTWARE\\Apple Inc.\\Apple Application Support";

} // namespace

QString mobiledevice_read_install_dir(const QString &keyPath, const QString &valueName)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t *>(keyPath.utf16()), 0,
                      KEY_READ | KEY_WOW64_32KEY, &key)
        != ERROR_SUCCESS)
        return {};
    wchar_t buffer[256] = {};
    DWORD size = 256; // bytes: a longer value counts as absent
    const LONG rc = RegQueryValueExW(key, reinterpret_cast<const wchar_t *>(valueName.utf16()),
                                     nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return {};
    return QString::fromWCharArray(buffer);
}

AppleInstallFolders mobiledevice_install_folders()
{
    AppleInstallFolders f;
    f.mobileDeviceSupport = mobiledevice_read_install_dir(QString::fromLatin1(kMobileDeviceKey),
                                                          QStringLiteral("InstallDir"));
    f.applicationSupport = mobiledevice_read_install_dir(
            QString::fromLatin1(kApplicationSupportKey), QStringLiteral("InstallDir"));
    if (f.mobileDeviceSupport.isEmpty() || f.applicationSupport.isEmpty()) {
        wchar_t common[MAX_PATH] = {};
        SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
        const QDir commonDir(QString::fromWCharArray(common));
        if (f.mobileDeviceSupport.isEmpty())
            f.mobileDeviceSupport = QDir::toNativeSeparators(
                    commonDir.absoluteFilePath(QStringLiteral("Apple/Mobile Device Support")));
        if (f.applicationSupport.isEmpty())
            f.applicationSupport = QDir::toNativeSeparators(
                    commonDir.absoluteFilePath(QStringLiteral("Apple/Apple Application Support")));
    }
    return f;
}

// Puts both folders in front of PATH so that the system's library search
// finds the libraries and what they depend on.
static bool prefixPath(const AppleInstallFolders &f, QString &error)
{
    // Read through the system call: the C run time's copy of the
    // environment does not see what an earlier load set.
    QString old;
    const DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (needed > 0) {
        std::wstring buffer(needed, L'\0');
        const DWORD got = GetEnvironmentVariableW(L"PATH", buffer.data(), needed);
        if (got > 0 && got < needed)
            old = QString::fromWCharArray(buffer.data(), int(got));
    }
    const QString value = f.mobileDeviceSupport + QLatin1Char(';') + f.applicationSupport
            + QLatin1Char(';') + old;
    if (!SetEnvironmentVariableW(L"PATH", reinterpret_cast<const wchar_t *>(value.utf16()))) {
        error = QStringLiteral("SetEnvironmentVariable(PATH=%1) failed.").arg(value);
        return false;
    }
    return true;
}

static QString libraryFile(const QString &, const char *name)
{
    return QString::fromLatin1(name);
}

#else

QString mobiledevice_read_install_dir(const QString &, const QString &)
{
    return {};
}

AppleInstallFolders mobiledevice_install_folders()
{
    QString base = qEnvironmentVariable("PELICORDE_APPLE_LIB_DIR");
    if (base.isEmpty()) {
        const QString program = QCoreApplication::instance()
                ? QCoreApplication::applicationDirPath()
                : QDir::currentPath();
        base = QDir(program).filePath(QStringLiteral("Apple"));
    }
    const QDir dir(base);
    return {dir.absoluteFilePath(QStringLiteral("Mobile Device Support")),
            dir.absoluteFilePath(QStringLiteral("Apple Application Support"))};
}

// The dynamic loader reads its search path once at start: the libraries
// are loaded from their folders by path instead.
static bool prefixPath(const AppleInstallFolders &, QString &)
{
    return true;
}

static QString libraryFile(const QString &folder, const char *name)
{
    return QDir(folder).filePath(QString::fromLatin1(name));
}

#endif

// Gives the library its file name and loads it. A library that is loaded
// already under that name only answers yes: renaming a loaded QLibrary
// would drop its handle without unloading it.
static bool loadLibrary(QLibrary &library, QString &requested, const QString &file)
{
    if (!library.isLoaded() || requested != file) {
        library.setFileName(file);
        requested = file;
    }
    return library.load();
}

bool mobiledevice_load_frameworks(QString &error)
{
    const AppleInstallFolders folders = mobiledevice_install_folders();
    if (!prefixPath(folders, error))
        return false;
    static QString mobileDeviceFile;
    static QString coreFoundationFile;
    if (!loadLibrary(mobileDeviceLibrary, mobileDeviceFile,
                     libraryFile(folders.mobileDeviceSupport, "iTunesMobileDevice"))) {
        error = QStringLiteral("Failed to load (Mobile Device) framework.");
        return false;
    }
    if (!loadLibrary(coreFoundationLibrary, coreFoundationFile,
                     libraryFile(folders.applicationSupport, "CoreFoundation"))) {
        error = QStringLiteral("Failed to load (CoreFoundation) framework.");
        return false;
    }
    return true;
}

bool mobiledevice_frameworks_loaded()
{
    return mobileDeviceLibrary.isLoaded() && coreFoundationLibrary.isLoaded();
}

void *mobiledevice_resolve_am(const char *name)
{
    if (!mobileDeviceLibrary.isLoaded())
        return nullptr;
    return reinterpret_cast<void *>(mobileDeviceLibrary.resolve(name));
}

void *mobiledevice_resolve_cf(const char *name)
{
    if (!coreFoundationLibrary.isLoaded())
        return nullptr;
    return reinterpret_cast<void *>(coreFoundationLibrary.resolve(name));
}
