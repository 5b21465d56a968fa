// iPhone arrival and removal.
#include "ui/mainwindow.h"

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/passcodedlg.h"
#include "iphone/iosdevice.h"
#include "iphone/iosloadfilerelaythread.h"
#include "iphone/iosmobilebackup.h"
#include "iphone/mobiledevice.h"
#include "store/countrylibdb.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "ui/countryselform.h"

#include <QDir>

namespace {

const char kPasscodeNote[] = "<p><b>Notes:</b> If your iPhone is protected with a passcode, please "
                             "enter your passcode on iPhone first.</p>";

// The failures of an arrival that are no job's: logged, then shown.
void reportArrivalError(const std::exception &e)
{
    qWarning("%s", e.what());
    showError(boxTextOf(e));
}

// Whether the phone's code names a country of the country library. A library
// that cannot be asked leaves the phone's code as it is.
bool isKnownCountryCode(const QString &mcc)
{
    if (mcc.isEmpty())
        return false;
    try {
        CountryLibDb library {QString()};
        bool found = false;
        countryByMcc(library, mcc, &found);
        return found;
    } catch (const std::exception &) {
        return true;
    }
}

} // namespace

bool MainWindow::iosDeviceAttached(const IOSDevice &device)
{
    return mobiledevice_is_attached(&deviceNotifyTarget, device.deviceHandle);
}

void MainWindow::iosDeviceConnected(void *handle)
{
    // A phone that has left again before its turn came is not touched.
    if (!mobiledevice_is_attached(&deviceNotifyTarget, handle))
        return;

    IOSDevice device;
    try {
        device = IOSDevice::fromLockdown(handle);
    } catch (const std::exception &e) {
        reportArrivalError(e);
        return;
    }
    if (device.UniqueDeviceID.isEmpty()) {
        // Without its identifier the phone has no store folder of its own.
        qWarning("iosDeviceConnected: the phone reported no UniqueDeviceID");
        showWarning(ids("IDS_IOS_NO_DEVICE_ID"));
        return;
    }

    // The passcode note is shown the first time a phone arrives in a run:
    // a phone plugged in again is known to its owner by then.
    if (!m_passcodeNoteShown.contains(device.UniqueDeviceID)) {
        m_passcodeNoteShown.insert(device.UniqueDeviceID);
        showInfo(QString::fromLatin1(kPasscodeNote));
        if (!iosDeviceAttached(device))
            return;
    }

    if (!isKnownCountryCode(device.MobileSubscriberCountryCode)) {
        if (device.MobileSubscriberCountryCode.isEmpty()) {
            // The catalogue's text may not name the phone.
            QString text = ids("IDS_ANDROID_%1_CANT_READ_MMC_NUMBER");
            if (text.contains(QLatin1String("%1")))
                text = text.arg(escapeForBox(device.DeviceName));
            showInfo(text);
        }
        CountrySelForm countries(this);
        // Cancel keeps the phone's own code.
        if (countries.exec() == QDialog::Accepted && !countries.chosenMcc().isEmpty())
            device.MobileSubscriberCountryCode = countries.chosenMcc();
        if (!iosDeviceAttached(device))
            return;
    }

    try {
        if (!loadIOSDeviceStore(device))
            return;
    } catch (const std::exception &e) {
        reportArrivalError(e);
        return;
    }
    // The phone may have left while the jobs ran: it gets no node.
    if (!iosDeviceAttached(device)) {
        qInfo("iosDeviceConnected: %s left while it was being loaded",
              qUtf8Printable(device.UniqueDeviceID));
        return;
    }
    addLoadedIOSDevice(device);
}

bool MainWindow::loadIOSDeviceStore(IOSDevice &device)
{
    const QList<int> version = device.versionNumbers();
    const bool fileRelay = version.isEmpty() || (version.first() >= 5 && version.first() <= 7);
    if (!fileRelay)
        return loadIOSDeviceThroughBackup(device);
    ProgressForm form(QString(), this);
    IOSLoadFileRelayThread job(&device, &form, this);
    return form.runJob(&job);
}

bool MainWindow::loadIOSDeviceThroughBackup(IOSDevice &device)
{
    if (!device.checkTransferAllowed(true, false))
        return false;
    ProgressForm backupForm(QString(), this);
    IOSMobileBackupThread backupJob(&device, &backupForm, this);
    // A backup that finished although the user pressed Cancel is kept for
    // the next arrival; this one stops.
    if (!backupForm.runJob(&backupJob) || backupForm.cancelPressed() || !iosDeviceAttached(device))
        return false;

    ProgressForm cacheForm(QString(), this);
    const QDir folder(backupJob.backupRoot().absoluteFilePath(device.UniqueDeviceID));
    if (isManifestDbBackupFolder(folder)) {
        showWarning(ids("IDS_IOS_BACKUP_KIND_NOT_SUPPORTED"));
        return false;
    }
    BackupManifest manifest(folder.absolutePath(), this);
    try {
        manifest.loadManifestPlist();
        bool unlocked = false;
        auto unlock = [&] {
            PasscodeDlg passcode(&manifest, this);
            unlocked = passcode.exec() == QDialog::Accepted;
            return unlocked && iosDeviceAttached(device);
        };
        if (manifest.deviceInfo.IsEncrypted && !unlock())
            return false;
        manifest.loadManifestMbdb();
        // Records with file keys say the backup is encrypted even when
        // Manifest.plist did not.
        if (manifest.isEncrypted() && !unlocked && !unlock())
            return false;
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
        return false;
    }

    ITunesCacheSMSThread cacheJob(&manifest, device.cacheDir(), &cacheForm, this);
    return cacheForm.runJob(&cacheJob);
}

void MainWindow::addLoadedIOSDevice(const IOSDevice &device)
{
    const QDir store = device.cacheDir();
    QSharedPointer<AbsIOSMessageDb> db;
    try {
        // The phone's copy is only shown: it stays as the phone left it.
        db = AbsIOSMessageDb::openPhoneCopy(store, device.MobileSubscriberCountryCode);
    } catch (const std::exception &e) {
        reportArrivalError(e);
        return;
    }

    // One node per phone: a node of an earlier arrival goes first.
    for (_IOSDeviceItemNode *old : treeModel->attachedIPhones())
        if (old->device.UniqueDeviceID == device.UniqueDeviceID)
            removeSourceNode(old);

    _IOSDeviceItemNode *node = treeModel->addIOSDeviceNode(db, device);
    const TreeNodeRef ref = nodeRef(node);
    try {
        db->chats(node->dataSet);
        treeModel->rebuildChatSessions(node);
    } catch (const std::exception &e) {
        reportArrivalError(e);
    }
    // The error box above ran an event loop: the node may be gone.
    if (AbsTreeItemModel::_ItemNode *still = ref.resolve())
        selectTreeNode(still);
    updateActions();
}

void MainWindow::iosDeviceDisconnected(void *handle)
{
    if (!handle)
        return;
    for (_IOSDeviceItemNode *node : treeModel->attachedIPhones())
        if (node->device.deviceHandle == handle)
            removeSourceNode(node);
    updateActions();
}
