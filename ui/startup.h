#pragma once

#include <QString>

class MainWindow;

// The steps of the program's start that main() strings together.

// False, after the error box "invalid libsqlite_qt.", when the database
// library reports another interface version than 5.
bool checkDatabaseLibrary(int version);

// The warning shown when Apple's libraries did not load: the catalogue's
// text with a link to the help page of the maker's web site, or the plain
// word without a link when no service host is set.
QString appleLibraryWarningText();

// Whether a first-level folder of "local_databases" or of the data folder's
// old "data" folder still holds a database of an older release ("mms.db").
bool hasOldLocalDatabase();

// Converts every old database under a progress dialog that cannot be
// cancelled; true when the conversion succeeded.
bool convertOldLocalDatabases();

// Steps after the checks: loads Apple's libraries, builds and shows the
// window, warns when the libraries are missing, converts old databases and
// runs the event loop. Returns the exit code.
int runMainWindow();
