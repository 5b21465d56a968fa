// Transfers into attached iPhones and into iTunes backups.
#include "ui/mainwindow.h"

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/loaditunesbackupdlg.h"
#include "iphone/iosdevice.h"
#include "iphone/iosmobilebackup.h"
#include "jobs/ios6restoremessagesthread.h"
#include "store/errorreport.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "ui/datasourceselform.h"

#include <QDir>

namespace {

// False, after telling the user, when the list holds nothing that a merge
// could put on a phone: no job is worth starting then.
bool hasTransferableMessages(const MsgMessageList &messages)
{
    int transferable = 0;
    int unknown = 0;
    for (const _MsgMessage *m : messages) {
        if (!m)
            continue;
        if (restoreMergeHasContactNumber(m->chat))
            ++transferable;
        else
            ++unknown;
    }
    if (transferable > 0)
        return true;
    if (unknown == 0)
        showInfo(ids("IDS_NO_MESSAGES_TO_TRANSFER"));
    else
        showInfo(ids("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG").arg(unknown));
    return false;
}

// The link to the guide on turning Find My iPhone off, when there is a
// service host to hold it.
QString findMyIPhoneGuide()
{
    const QUrl url = serviceUrl(QStringLiteral("/find-my-iphone-off.html"));
    if (url.isEmpty())
        return QString();
    return ids("IDS_FIND_MY_IPHONE_GUIDE_LINK_%1").arg(url.toString().toHtmlEscaped());
}

// What is said when the restore step of a transfer did not end well, and
// which files of the backup could not be put back.
QString restoreFailureText(bool cancelled, const QStringList &notPutBack)
{
    if (notPutBack.isEmpty())
        return ids(cancelled ? "IDS_TRANSFER_CANCELLED_AT_RESTORE"
                             : "IDS_TRANSFER_FAILED_AT_RESTORE");
    QStringList paths;
    for (const QString &path : notPutBack)
        paths << escapeForBox(QDir::toNativeSeparators(path));
    return ids(cancelled ? "IDS_TRANSFER_CANCELLED_AT_RESTORE_NOT_PUT_BACK_%1"
                         : "IDS_TRANSFER_FAILED_AT_RESTORE_NOT_PUT_BACK_%1")
            .arg(paths.join(QStringLiteral("<br/>")));
}

void reportMerged(int merged, int skipped)
{
    if (skipped > 0)
        showInfo(ids("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER")
                         .arg(QString::number(merged), QString::number(skipped)));
    else
        showInfo(ids("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(QString::number(merged)));
}

// The backup's file list must be one this program reads, and its files
// plain: a merge puts a plain database among them.
bool readMergeableBackup(BackupManifest &manifest, const char *encryptedText)
{
    if (isManifestDbBackupFolder(manifest.folder)) {
        showWarning(ids("IDS_IOS_BACKUP_KIND_NOT_SUPPORTED"));
        return false;
    }
    try {
        manifest.loadManifestPlist();
        if (!manifest.isEncrypted())
            manifest.loadManifestMbdb();
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
        return false;
    }
    if (manifest.isEncrypted()) {
        showWarning(ids(encryptedText));
        return false;
    }
    return true;
}

} // namespace

void MainWindow::transferToIPhone(const MsgMessageList &messages)
{
    // The records belong to the source's data set: held here, they outlive
    // the source's node should it go while the jobs run.
    const MsgDataSet records = currentSourceNode() ? currentSourceNode()->dataSet : MsgDataSet();
    if (!hasTransferableMessages(messages))
        return;

    QList<DataSourceEntry> entries;
    for (const _IOSDeviceItemNode *phone : treeModel->attachedIPhones())
        entries.append({QStringLiteral(":/res/iphone.png"), phone->device.DeviceName,
                        phone->device.UniqueDeviceID});
    QString chosen;
    {
        DataSourceSelForm select(this);
        chosen = select.chooseDataSource(ids("IDS_SEL_ONE_IOS_DEVICE"), entries);
    }
    if (chosen.isEmpty())
        return;
    _IOSDeviceItemNode *target = nullptr;
    for (_IOSDeviceItemNode *phone : treeModel->attachedIPhones())
        if (phone->device.UniqueDeviceID == chosen)
            target = phone;
    if (!target)
        return; // it left while the dialog was open
    // Copies: the node may go while the jobs run.
    const IOSDevice device = target->device;
    const QSharedPointer<AbsIOSMessageDb> targetDb = target->db;
    target = nullptr;

    int version = 0;
    try {
        version = targetDb->iosVersion();
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
        return;
    }
    if (version != 6) {
        showWarning(ids("IDS_CANT_RESTORE_IOS_VERSION_BELOW_60"));
        return;
    }
    if (!device.checkTransferAllowed(true, true))
        return;
    if (!device.ProductType.startsWith(QLatin1String("iPhone"), Qt::CaseInsensitive)
        && !askQuestion(QStringLiteral(
                "You can recover iMessage only to an iPad/iPod. Want to continue?")))
        return;
    if (!askQuestion(ids("IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF").arg(findMyIPhoneGuide())))
        return;

    ProgressForm backupForm(QString(), this);
    IOSMobileBackupThread backupJob(&device, &backupForm, this);
    // A backup that finished although the user pressed Cancel is kept, but
    // the transfer stops there.
    if (!backupForm.runJob(&backupJob) || backupForm.cancelPressed())
        return;

    BackupManifest manifest(backupJob.backupRoot().absoluteFilePath(device.UniqueDeviceID), this);
    if (!readMergeableBackup(manifest, "IDS_TRANSFER_TURN_OFF_BACKUP_ENCRYPTION"))
        return;

    ProgressForm cacheForm(QString(), this);
    ITunesCacheSMSThread cacheJob(&manifest, &cacheForm, this);
    if (!cacheForm.runJob(&cacheJob))
        return;

    IOS6MessageDb cached(cacheJob.cacheDir(), device.MobileSubscriberCountryCode, false);
    ProgressForm mergeForm(QString(), this);
    IOS6RestoreMessagesThread mergeJob(device.MobileSubscriberCountryCode, &messages, &cached,
                                       manifest.folder, &mergeForm, this);
    if (!mergeForm.runJob(&mergeJob))
        return;

    ProgressForm restoreForm(QString(), this);
    IOSMobileRestoreThread restoreJob(&device, backupJob.backupRoot(), &restoreForm, this);
    // A cancel stops the tool part-way: what the phone holds then is not
    // known, unlike after a failure the tool reported.
    bool restoreCancelled = false;
    connect(&restoreForm, &ProgressForm::userCacel, this, [&restoreCancelled] {
        restoreCancelled = true;
    });
    if (!restoreForm.runJob(&restoreJob)) {
        // The restore did not end well: the backup on this computer goes
        // back to what the phone held before.
        const QStringList notPutBack = mergeJob.revertBackupFolder();
        showWarning(restoreFailureText(restoreCancelled, notPutBack));
        return;
    }
    reportMerged(mergeJob.mergedCount, mergeJob.skippedCount);
}

void MainWindow::exportToITunesBackup(const MsgMessageList &messages)
{
    const MsgDataSet records = currentSourceNode() ? currentSourceNode()->dataSet : MsgDataSet();
    if (!hasTransferableMessages(messages))
        return;

    QSharedPointer<BackupManifest> manifest;
    {
        LoadItunesBackupDlg picker(this);
        if (picker.exec() != QDialog::Accepted)
            return;
        manifest = picker.selectedBackup;
    }
    if (!manifest)
        return;
    if (!readMergeableBackup(*manifest, "IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT"))
        return;

    ProgressForm cacheForm(QString(), this);
    ITunesCacheSMSThread cacheJob(manifest.data(), &cacheForm, this);
    if (!cacheForm.runJob(&cacheJob))
        return;

    IOS6MessageDb cached(cacheJob.cacheDir(), QString(), false);
    ProgressForm mergeForm(QString(), this);
    IOS6RestoreMessagesThread mergeJob(QString(), &messages, &cached, manifest->folder, &mergeForm,
                                       this);
    if (!mergeForm.runJob(&mergeJob))
        return;
    reportMerged(mergeJob.mergedCount, mergeJob.skippedCount);
}

void MainWindow::miI2ISel()
{
    transferToIPhone(collectSelectedMessages());
}

void MainWindow::miI2IChat()
{
    transferToIPhone(shownMessages());
}

void MainWindow::miI2IAll()
{
    const MsgMessageList all = collectNodeMessages();
    if (!all.isEmpty())
        transferToIPhone(all);
}

void MainWindow::miDb2ISel()
{
    transferToIPhone(collectSelectedMessages());
}

void MainWindow::miDb2IChat()
{
    transferToIPhone(shownMessages());
}

void MainWindow::miDb2IAll()
{
    const MsgMessageList all = collectNodeMessages();
    if (!all.isEmpty())
        transferToIPhone(all);
}

void MainWindow::miA2ISel()
{
    transferToIPhone(collectSelectedMessages());
}

void MainWindow::miA2IChat()
{
    transferToIPhone(shownMessages());
}

void MainWindow::miA2IAll()
{
    const MsgMessageList all = collectNodeMessages();
    if (!all.isEmpty())
        transferToIPhone(all);
}

void MainWindow::miExport2ITunesBKSel()
{
    exportToITunesBackup(collectSelectedMessages());
}

void MainWindow::miExport2ITunesBKChat()
{
    exportToITunesBackup(shownMessages());
}

void MainWindow::miExport2ITunesBKAll()
{
    const MsgMessageList all = collectNodeMessages();
    if (!all.isEmpty())
        exportToITunesBackup(all);
}
