#include "ui/startup.h"

#include "iphone/applelibrary.h"
#include "jobs/updatelocaldbthread.h"
#include "store/errorreport.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QMetaObject>

bool checkDatabaseLibrary(int version)
{
    if (version == 5)
        return true;
    showError(QStringLiteral("invalid libsqlite_qt."));
    return false;
}

QString appleLibraryWarningText()
{
    const QUrl help = serviceUrl(
            QStringLiteral("/tutorial/how-to-connect-ios-device-to-quillmarsh-successfully.html"));
    // Without a web site there is nothing to click: the sentence is left out.
    if (help.isEmpty())
        return ids("IDS_NONE_INSTALL_ITUNES_NO_HELP");
    return ids("IDS_NONE_INSTALL_ITUNES")
            .arg(QStringLiteral("<a href=\"%1\">HERE</a>")
                         .arg(escapeForBox(help.toString(QUrl::FullyEncoded))));
}

bool hasOldLocalDatabase()
{
    return !UpdateLocalDbThread::oldDatabaseFolders().isEmpty();
}

bool convertOldLocalDatabases()
{
    ProgressForm form {QString()};
    form.setCancelEnabled(false);
    UpdateLocalDbThread job(&form);
    return form.runJob(&job);
}

int runMainWindow()
{
    QString appleError;
    mobiledevice_load_frameworks(appleError);

    MainWindow window;
    window.show();

    if (!mobiledevice_frameworks_loaded())
        showWarning(appleLibraryWarningText());

    if (hasOldLocalDatabase() && convertOldLocalDatabases()) {
        // The job's success box has asked the user to start the program
        // again: the loop ends as soon as it runs.
        QMetaObject::invokeMethod(&window, "close", Qt::QueuedConnection);
    }
    return QApplication::exec();
}
