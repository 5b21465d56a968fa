#pragma once

#include <QDir>
#include <QStringList>
#include <QThread>

class ProgressForm;

// Converts the local message databases of older releases: a folder holding
// "mms.db" (with its attachment files in "attachments" beside it) becomes a
// local message database of the same name under "local_databases". The old
// file is only read; once its messages are committed in the new database it
// is renamed "mms.db-bak" so that it is not converted again. A conversion
// that fails leaves the old file under its name and the new database as it
// was before (no database at all when the conversion would have created it).
class UpdateLocalDbThread : public QThread
{
    Q_OBJECT
public:
    explicit UpdateLocalDbThread(ProgressForm *form, QObject *parent = nullptr);
    ~UpdateLocalDbThread() override;

    // The folders directly in "local_databases", then those directly in the
    // data folder's old "data" folder, that hold an "mms.db": the ones run
    // converts, in its order.
    static QStringList oldDatabaseFolders();

    // Converts the "mms.db" of oldFolder into the local database whose store
    // folder is targetFolder (created when missing; an existing one gets the
    // messages it lacks). Nothing happens without "mms.db". Failures throw
    // std::runtime_error after everything written was taken back. Progress
    // goes to the form given at construction, when there is one.
    void convertOldLocalDb(const QDir &oldFolder, const QDir &targetFolder);

protected:
    void run() override;

private:
    ProgressForm *m_form;
};
