// Backup of messages into local databases, and the imports.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/loaditunesbackupdlg.h"
#include "backup/passcodedlg.h"
#include "jobs/backupsmsthread.h"
#include "store/datafolder.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "ui/localdbselform.h"

#include <QDir>

void MainWindow::backupToLocalDb(QString defaultName, const MsgMessageList &list)
{
    if (!confirmNotEmpty(list))
        return;

    QStringList names;
    for (const AbsTreeItemModel::_ItemNode *n : std::as_const(treeModel->localDbRoot->children))
        names.append(n->text);
    LocalDbSelForm dialog(names, defaultName, this);
    const QString name = dialog.chooseDatabase();
    if (name.isEmpty())
        return;
    // The form refuses these too; a name that is no folder of its own must
    // never reach the file system.
    if (const char *reason = LocalDbSelForm::invalidNameReason(name)) {
        showWarning(LocalDbSelForm::tr(reason));
        return;
    }

    // The tree may have changed while the dialog was open: look again.
    _LocalDBItemNode *target = nullptr;
    for (AbsTreeItemModel::_ItemNode *n : std::as_const(treeModel->localDbRoot->children)) {
        if (n->text.compare(name, Qt::CaseInsensitive) == 0) {
            target = static_cast<_LocalDBItemNode *>(n);
            break;
        }
    }

    QDir folder(localDatabasesFolder().absoluteFilePath(name));
    TreeNodeRef targetRef;
    if (target) {
        if (auto *db = dynamic_cast<IOS6MessageDb *>(target->db.data()))
            folder = db->dataDir();
        // The job's connection is the only one that writes.
        target->db->close();
        targetRef = nodeRef(target);
    }

    ProgressForm form(QString(), this);
    BackupSMSThread job(list, folder, QString(), &form, this);
    if (!form.runJob(&job))
        return; // reported by the form; a database the job made is gone again

    try {
        if (targetRef.isNull()) {
            // A new database gets its node only now that it holds the
            // messages.
            target = treeModel->addLocalDbNode(
                    QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(folder, QString(), true)),
                    name);
            if (!target)
                return;
        } else {
            target = targetRef.resolveAs<_LocalDBItemNode>();
            if (!target)
                return;
            treeModel->removeChildren(target);
        }
        // Reading adds the new rows to the records already loaded; nothing
        // the panes may show is freed.
        target->db->messages(target->dataSet, 0);
        treeModel->rebuildChatSessions(target);
        selectTreeNode(target);
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
    }
}

void MainWindow::backupNodeMessages(const MsgMessageList &list)
{
    _AbsDBItemNode *src = currentSourceNode();
    if (!src)
        return;
    // The records stay alive while the dialogs and the job run, even when
    // the device leaves meanwhile.
    const MsgDataSet keep = src->dataSet;
    backupToLocalDb(src->text + QStringLiteral("_Backup"), list);
}

void MainWindow::miBackupSel()
{
    backupNodeMessages(collectSelectedMessages());
}

void MainWindow::miBackupChat()
{
    backupNodeMessages(shownMessages());
}

void MainWindow::miBackupAll()
{
    const MsgMessageList list = collectNodeMessages();
    if (!list.isEmpty())
        backupNodeMessages(list);
}

void MainWindow::importITunesBackup(QString &name)
{
    QSharedPointer<BackupManifest> manifest;
    {
        LoadItunesBackupDlg picker(this);
        if (picker.exec() != QDialog::Accepted || !picker.selectedBackup)
            return;
        manifest = picker.selectedBackup;
    }
    bool unlocked = false;
    auto unlock = [&] {
        PasscodeDlg passcode(manifest.data(), this);
        unlocked = passcode.exec() == QDialog::Accepted;
        return unlocked;
    };
    if (manifest->deviceInfo.IsEncrypted && !unlock())
        return;
    try {
        manifest->loadManifestMbdb();
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
        return;
    }
    // Records with file keys say the backup is encrypted even when
    // Manifest.plist did not.
    if (manifest->isEncrypted() && !unlocked && !unlock())
        return;

    QDir cache;
    {
        ProgressForm form(QString(), this);
        ITunesCacheSMSThread job(manifest.data(), &form, this);
        if (!form.runJob(&job))
            return;
        cache = job.cacheDir();
    }

    try {
        // The backup's database is read as it is.
        const QSharedPointer<AbsIOSMessageDb> db = AbsIOSMessageDb::openPhoneCopy(cache, QString());
        MsgDataSet set;
        db->messages(set, 0);
        if (name.isEmpty())
            name = sanitizeFileName(manifest->deviceInfo.DeviceName) + QStringLiteral("_Backup");
        backupToLocalDb(name, set.data()->messages.values());
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(boxTextOf(e));
    }
}

void MainWindow::miImportItunes()
{
    QString name;
    importITunesBackup(name);
}

void MainWindow::miImportToLocalDb()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!node || node->kind != kNodeLocalDb)
        return;
    QString name = node->text;
    importITunesBackup(name);
}
