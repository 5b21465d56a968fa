// Recovery of deleted messages: the scan command, the loading of what
// earlier scans salvaged, and giving a number to salvaged messages.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "recovery/recoverdeletedthread.h"
#include "recovery/setmsgnumdialog.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/messagerecycledb.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <QFileInfo>

void MainWindow::loadSourceChats(_AbsDBItemNode *node)
{
    node->db->chats(node->dataSet);
    // Reading the recycle store would create it: only a store that was
    // scanned before has salvaged messages to show.
    if (MessageRecycleDb *recycle = recycleStoreOf(node->db.data());
        recycle && QFileInfo(recycle->filePath()).isFile()) {
        if (auto *six = dynamic_cast<IOS6MessageDb *>(node->db.data()))
            six->loadRecycledChats(node->dataSet);
        else if (auto *five = dynamic_cast<IOS5MessageDb *>(node->db.data()))
            five->loadRecycledChats(node->dataSet);
    }
    treeModel->rebuildChatSessions(node);
}

void MainWindow::reloadSourceNode(_AbsDBItemNode *node)
{
    {
        // Removing the conversation nodes moves the current index; what that
        // would show is read from the set being replaced: keep the
        // selection handler out until the new set stands.
        const QSignalBlocker blocker(ui->treeViewDS);
        // The panes and the conversation nodes point into the set: let go
        // of them before it goes.
        if (m_shownSet == node->dataSet.data()
            || ItemModelMain::sourceNodeOf(currentNode()) == node)
            clearMessageView();
        treeModel->removeChildren(node);
        node->dataSet.reset();
        loadSourceChats(node);
        node->db->messages(node->dataSet, 0);
    }
    updateActions();
    if (currentNode() == node)
        showNodeMessages(node->dataSet.data()->messages.values(), nullptr);
    else
        selectTreeNode(node);
}

void MainWindow::miRecoverDeleted()
{
    _AbsDBItemNode *src = currentSourceNode();
    if (!src || (src->kind != kNodeIOSDevice && src->kind != kNodeLocalDb)
        || !recycleStoreOf(src->db.data())) {
        showWarning(ids("IDS_CHOOSE_IPHONE_OR_DB_TO_RECOVER"));
        return;
    }
    const TreeNodeRef ref = nodeRef(src);
    ProgressForm form(ids("Recover Deleted Messages"), this);
    RecoverDeletedThread run(src->db, &form);
    if (!form.runJob(&run))
        return; // the dialog told of a failure; a cancelled scan kept nothing

    // The source may have gone while the dialog ran.
    if (auto *node = ref.resolveAs<_AbsDBItemNode>()) {
        try {
            reloadSourceNode(node);
        } catch (const std::exception &e) {
            showError(boxTextOf(e));
            return;
        }
    }
    if (run.messagesRecovered() == 0 && run.handlesRecovered() == 0)
        showInfo(ids("IDS_NO_DELETED_MESSAGES_FOUND"));
    else
        showInfo(ids("IDS_RECOVERED_%1_MESSAGES_%2_HANDLES")
                         .arg(run.messagesRecovered())
                         .arg(run.handlesRecovered()));
}

void MainWindow::miAssignNumber()
{
    auto *chatNode = dynamic_cast<_ChatSessionItemNode *>(currentNode());
    _AbsDBItemNode *src = ItemModelMain::sourceNodeOf(chatNode);
    if (!chatNode || !src || chatNode->chats.isEmpty()
        || !isRecoveredChat(chatNode->chats.first()->ROWID))
        return;
    MessageRecycleDb *recycle = recycleStoreOf(src->db.data());
    if (!recycle)
        return;
    MsgMessageList messages;
    for (const _MsgChat *c : std::as_const(chatNode->chats))
        for (_MsgMessage *m : c->messages)
            if (m->highlight)
                messages.append(m);
    const QList<_MsgHandle *> handles = src->dataSet.data()->handles.values();

    const TreeNodeRef ref = nodeRef(src);
    // The dialog reads the records and writes the store while it runs: keep
    // both alive even when the source node goes meanwhile.
    const MsgDataSet keepRecords = src->dataSet;
    const QSharedPointer<AbsIOSMessageDb> keepDb = src->db;
    SetMsgNumDialog dlg(messages, handles, recycle, this);
    if (dlg.exec() != QDialog::Accepted)
        return;
    auto *node = ref.resolveAs<_AbsDBItemNode>();
    if (!node)
        return; // the source went meanwhile: nothing to show the change in
    try {
        reloadSourceNode(node);
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
    }
}
