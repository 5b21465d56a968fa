// Transfers into connected Android phones.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "android/androidloadsmsthread.h"
#include "android/androidrestoresmsthread.h"
#include "store/exportmessagesdb.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "ui/datasourceselform.h"

#include <optional>

namespace {

// What the phone can take: one-to-one messages with a correspondent in a
// known conversation (the restore job leaves the others out).
bool phoneCanTake(const _MsgMessage *m)
{
    return m && m->item_type == 0 && m->handle && m->chat
            && m->chat->ROWID > ExportMessagesDb::kUnknownChatRowid;
}

} // namespace

// The three families share the operation: they differ only in the source
// they are offered for.
void MainWindow::miI2ASel() { transferToAndroid(collectSelectedMessages()); }
void MainWindow::miI2AChat() { transferToAndroid(shownMessages()); }
void MainWindow::miI2AAll()
{
    const MsgMessageList list = collectNodeMessages();
    if (!list.isEmpty())
        transferToAndroid(list);
}
void MainWindow::miA2ASel() { transferToAndroid(collectSelectedMessages()); }
void MainWindow::miA2AChat() { transferToAndroid(shownMessages()); }
void MainWindow::miA2AAll()
{
    const MsgMessageList list = collectNodeMessages();
    if (!list.isEmpty())
        transferToAndroid(list);
}
void MainWindow::miDb2ASel() { transferToAndroid(collectSelectedMessages()); }
void MainWindow::miDb2AChat() { transferToAndroid(shownMessages()); }
void MainWindow::miDb2AAll()
{
    const MsgMessageList list = collectNodeMessages();
    if (!list.isEmpty())
        transferToAndroid(list);
}

void MainWindow::transferToAndroid(const MsgMessageList &messages)
{
    if (!currentNode())
        return;
    _AbsDBItemNode *source = currentSourceNode();
    const TreeNodeRef sourceRef = nodeRef(source);
    // The records stay alive while the job reads them, whatever happens to
    // the source's node meanwhile.
    const MsgDataSet keepRecords = source ? source->dataSet : MsgDataSet();
    std::optional<AndroidDevice> sourcePhone;
    if (source && source->kind == kNodeAndroidDevice)
        sourcePhone = static_cast<_AndroidDeviceItemNode *>(source)->device;

    if (std::none_of(messages.cbegin(), messages.cend(), phoneCanTake)) {
        showInfo(ids("IDS_NOTHING_TO_TRANSFER_TO_ANDROID"));
        return;
    }

    // Attached phones only, never the one the messages come from.
    QList<DataSourceEntry> entries;
    QList<TreeNodeRef> targets;
    for (AbsTreeItemModel::_ItemNode *n : std::as_const(treeModel->devicesRoot->children)) {
        if (n->kind != kNodeAndroidDevice || !ItemModelMain::isConnectedDevice(n))
            continue;
        const AndroidDevice &d = static_cast<_AndroidDeviceItemNode *>(n)->device;
        if (sourcePhone && samePhone(d, *sourcePhone))
            continue;
        entries.append({QStringLiteral(":/res/android.png"), d.displayName(),
                        QString::number(targets.size())});
        targets.append(nodeRef(n));
    }
    if (entries.isEmpty()) {
        showInfo(ids("IDS_NO_ANDROID_TARGET"));
        return;
    }

    QString key;
    {
        DataSourceSelForm chooser(this);
        key = chooser.chooseDataSource(ids("IDS_SEL_ONE_ANDROID_DEVICE"), entries);
    }
    if (key.isEmpty())
        return;
    // The tree may have changed while the dialog was open.
    auto gone = [&]() -> bool {
        if (source && !sourceRef.resolve()) {
            showWarning(ids("IDS_ANDROID_TRANSFER_SOURCE_GONE"));
            return true;
        }
        return false;
    };
    auto target = [&] { return targets.value(key.toInt()).resolveAs<_AndroidDeviceItemNode>(); };
    if (gone())
        return;
    if (!target()) {
        showWarning(ids("IDS_ANDROID_TRANSFER_TARGET_GONE"));
        return;
    }
    // The job works on a copy: the node may go while it runs.
    AndroidDevice device = target()->device;

    // The transfer leaves out what the cache says the phone holds. A cache
    // that holds no load of the phone (cleared meanwhile) knows nothing of
    // it, and the app cannot say what it holds: load the phone first.
    if (!androidCacheHoldsLoad(device)) {
        if (_AndroidDeviceItemNode *t = target())
            t->db->close();
        ProgressForm form(QString(), this);
        AndroidLoadSMSThread job(&device, &form, this);
        if (!form.runJob(&job))
            return;
        if (gone())
            return;
    }

    if (_AndroidDeviceItemNode *t = target())
        t->db->close(); // the job's connection is the only one while it runs
    bool done = false;
    {
        ProgressForm form(QString(), this);
        AndroidRestoreSMSThread job(&device, messages, &form, this);
        done = form.runJob(&job);
    }
    if (!done)
        return;

    _AndroidDeviceItemNode *t = target();
    if (!t)
        return; // disconnected meanwhile: its next load shows the messages
    if (m_shownSet == t->dataSet.data())
        clearMessageView();
    treeModel->removeChildren(t);
    try {
        t->dataSet.reset();
        t->db->chats(t->dataSet);
        treeModel->rebuildChatSessions(t);
        selectTreeNode(t);
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
    }
}
