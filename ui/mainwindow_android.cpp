// Android arrival and removal, Wi-Fi connection and disconnection.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "android/androidconnect.h"
#include "android/androidloadsmsthread.h"
#include "android/androidwifiform.h"
#include "store/countrylibdb.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "ui/countryselform.h"

struct MainWindow::AndroidArrival
{
    AndroidArrival(MainWindow *window, const QString &id)
        : window(window)
        , id(id)
    {
        window->m_androidArrivals.append(this);
    }
    ~AndroidArrival() { window->m_androidArrivals.removeOne(this); }
    AndroidArrival(const AndroidArrival &) = delete;
    AndroidArrival &operator=(const AndroidArrival &) = delete;

    MainWindow *window;
    QString id; // AndroidDevice::deviceId of the phone
    bool gone = false; // removed while the arrival ran
    bool again = false; // arrived again meanwhile (latest holds the listing)
    AdbDevice latest;
};

namespace {

// The warning for a phone that has not allowed this computer yet.
QString usbDebuggingWarning(const AdbDevice &device)
{
    return QStringLiteral("If you are presented with the pop up to allow debugging with the "
                          "computer on your Android device screen. Please tick \"Always allow "
                          "from this computer\" and press \"OK\" on your phone, then press OK "
                          "here.<br/>(%1)")
            .arg(escapeForBox(device.line));
}

// Whether the country library knows the mobile country code; a library that
// cannot be read keeps the phone's own code.
bool knownMcc(const QString &mcc)
{
    try {
        CountryLibDb library((QString()));
        bool found = false;
        countryByMcc(library, mcc, &found);
        return found;
    } catch (const std::exception &e) {
        qDebug("country lookup of %s failed: %s", qUtf8Printable(mcc), e.what());
        return true;
    }
}

} // namespace

void MainWindow::androidDeviceConnected(AdbDevice device)
{
    // The watcher reports an unauthorised phone again once it is allowed;
    // while its first arrival still runs, that one goes on and the new
    // report is kept for the case that it fails.
    for (AndroidArrival *running : std::as_const(m_androidArrivals)) {
        if (running->id == device.serial && !running->gone) {
            running->again = true;
            running->latest = device;
            return;
        }
    }

    AndroidArrival arrival(this, device.serial);
    bool shown = false;
    [&] {
        if (!device.isReady()) {
            showWarning(usbDebuggingWarning(device));
            if (arrival.gone)
                return;
        }
        AndroidDevice phone;
        {
            ProgressForm form(QString(), this);
            AndroidConnectWithUSBThread job(device.serial, &form, this);
            if (!form.runJob(&job))
                return;
            phone = job.device;
        }
        if (arrival.gone)
            return;
        shown = loadAndroidPhone(phone);
    }();

    if (!shown && arrival.again && !arrival.gone) {
        const AdbDevice again = arrival.latest;
        QMetaObject::invokeMethod(
                this, [this, again] { androidDeviceConnected(again); }, Qt::QueuedConnection);
    }
}

void MainWindow::androidDeviceDisconnected(QString serial)
{
    if (serial.isEmpty())
        return;
    for (AndroidArrival *running : std::as_const(m_androidArrivals))
        if (running->id == serial)
            running->gone = true;
    for (AbsTreeItemModel::_ItemNode *n : std::as_const(treeModel->devicesRoot->children)) {
        if (n->kind != kNodeAndroidDevice || !ItemModelMain::isConnectedDevice(n))
            continue;
        auto *phone = static_cast<_AndroidDeviceItemNode *>(n);
        if (phone->device.deviceId() == serial) {
            removeSourceNode(phone);
            return;
        }
    }
}

void MainWindow::androidDeviceLoad(AndroidDevice device)
{
    loadAndroidPhone(device);
}

bool MainWindow::loadAndroidPhone(AndroidDevice device)
{
    AndroidArrival arrival(this, device.deviceId());

    if (device.mmc.isEmpty() || !knownMcc(device.mmc)) {
        if (device.mmc.isEmpty()) {
            QString text = ids("IDS_ANDROID_%1_CANT_READ_MMC_NUMBER");
            if (text.contains(QLatin1String("%1")))
                text = text.arg(escapeForBox(device.displayName()));
            showInfo(text);
            if (arrival.gone)
                return false;
        }
        CountrySelForm countries(this);
        // Without a choice the phone's own code stays.
        if (countries.exec() == QDialog::Accepted && !countries.chosenMcc().isEmpty())
            device.mmc = countries.chosenMcc();
        if (arrival.gone)
            return false;
    }

    {
        ProgressForm form(QString(), this);
        AndroidLoadSMSThread job(&device, &form, this);
        if (!form.runJob(&job))
            return false;
    }
    // A phone taken away during its own load gets no node.
    if (arrival.gone)
        return false;

    // Only now does the new node take the place of the phone's older one.
    const QList<AbsTreeItemModel::_ItemNode *> devices = treeModel->devicesRoot->children;
    for (AbsTreeItemModel::_ItemNode *n : devices) {
        if (n->kind != kNodeAndroidDevice || !ItemModelMain::isConnectedDevice(n))
            continue;
        auto *older = static_cast<_AndroidDeviceItemNode *>(n);
        if (samePhone(older->device, device))
            removeSourceNode(older);
    }

    try {
        // The load job wrote the cache; the window only reads it.
        QSharedPointer<AbsIOSMessageDb> db
                = AbsIOSMessageDb::phoneCopyReader(androidCacheDir(device), device.mmc);
        _AndroidDeviceItemNode *node = treeModel->addAndroidDeviceNode(db, device);
        node->db->chats(node->dataSet);
        treeModel->rebuildChatSessions(node);
        selectTreeNode(node);
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
    }
    return true;
}

void MainWindow::miConnectWifi()
{
    AndroidDevice phone;
    {
        AndroidWIFIForm form(this);
        if (form.exec() != QDialog::Accepted)
            return;
        phone = form.device;
    }
    // The phone's node from an earlier connection stays until this load has
    // succeeded: a failed load leaves it as it was.
    loadAndroidPhone(phone);
}

void MainWindow::miUnmoutDevice()
{
    QItemSelectionModel *selection = ui->treeViewDS->selectionModel();
    if (!selection)
        return;
    const QModelIndexList rows = selection->selectedRows(0);
    if (rows.isEmpty())
        return;
    AbsTreeItemModel::_ItemNode *node = AbsTreeItemModel::nodeOf(rows.first());
    // Saved copies are no attached phones; conversations, databases and the
    // roots are no devices.
    if (!ItemModelMain::isConnectedDevice(node))
        return;
    removeSourceNode(static_cast<_AbsDBItemNode *>(node));
}
