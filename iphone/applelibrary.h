#pragma once

#include <QLibrary>
#include <QString>

// Apple's MobileDevice ("iTunesMobileDevice") and CoreFoundation
// ("CoreFoundation") libraries are never linked: they are loaded at run time
// and every function is looked up by name right before it is called.

// The two process-wide library objects; loaded libraries stay loaded.
extern QLibrary mobileDeviceLibrary;
extern QLibrary coreFoundationLibrary;

// The folders Apple's installer put the two libraries in.
struct AppleInstallFolders
{
    QString mobileDeviceSupport;
    QString applicationSupport;
};

// On Windows: the registry values "InstallDir" of Apple's two products,
// else the matching subfolders of the Common Files folder. Elsewhere: the
// folders "Mobile Device Support" and "Apple Application Support" below
// the folder named by PELICORDE_APPLE_LIB_DIR, else below the folder
// "Apple" beside the program.
AppleInstallFolders mobiledevice_install_folders();

// Windows: the text of a value under HKEY_LOCAL_MACHINE in the registry's
// 32-bit view, empty when it cannot be read. Empty on other systems.
QString mobiledevice_read_install_dir(const QString &keyPath, const QString &valueName);

// Finds the folders and loads both libraries; true when both are loaded.
// On false, error holds what failed (and is left alone on true).
bool mobiledevice_load_frameworks(QString &error);
bool mobiledevice_frameworks_loaded();

// The address of a symbol of MobileDevice (AM…) or CoreFoundation (CF…,
// kCF…), null when it is missing or the library is not loaded. For a data
// symbol the result is the address of the datum.
void *mobiledevice_resolve_am(const char *name);
void *mobiledevice_resolve_cf(const char *name);

// The name, cast to a function type; null when missing.
template<typename Fn> Fn mobiledevice_am_function(const char *name)
{
    return reinterpret_cast<Fn>(mobiledevice_resolve_am(name));
}

template<typename Fn> Fn mobiledevice_cf_function(const char *name)
{
    return reinterpret_cast<Fn>(mobiledevice_resolve_cf(name));
}
