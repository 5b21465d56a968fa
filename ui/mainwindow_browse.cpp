// Browsing: what selecting a tree node or a list row shows, sorting and
// searching the list, and the commands on the data folder.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "store/messagebox.h"
#include "ui/itemmodelsms.h"

void MainWindow::onMainTreeSelected(const QItemSelection &selected, const QItemSelection &)
{
    updateActions();
    if (selected.isEmpty() || selected.first().indexes().isEmpty()) {
        clearMessageView();
        return;
    }
    AbsTreeItemModel::_ItemNode *node = AbsTreeItemModel::nodeOf(selected.first().indexes().first());
    if (!node) {
        clearMessageView();
        return;
    }
    try {
        switch (node->kind) {
        case kNodeIOSDevice:
        case kNodeAndroidDevice: {
            auto *src = static_cast<_AbsDBItemNode *>(node);
            src->db->messages(src->dataSet, 0);
            showNodeMessages(src->dataSet.data()->messages.values(), nullptr);
            break;
        }
        case kNodeLocalDb: {
            auto *src = static_cast<_AbsDBItemNode *>(node);
            if (!src->children.isEmpty()) {
                showNodeMessages(src->dataSet.data()->messages.values(), nullptr);
                break;
            }
            loadSourceChats(src);
            const QPersistentModelIndex index(treeModel->indexForNode(src));
            QMetaObject::invokeMethod(
                    this,
                    [this, index] {
                        if (ui && index.isValid())
                            ui->treeViewDS->expand(index);
                    },
                    Qt::QueuedConnection);
            if (!src->children.isEmpty()) {
                src->db->messages(src->dataSet, 0);
                showNodeMessages(src->dataSet.data()->messages.values(), nullptr);
            }
            break;
        }
        case kNodeChatSession: {
            const auto *chat = static_cast<_ChatSessionItemNode *>(node);
            if (chat->chats.isEmpty()) {
                clearMessageView();
                break;
            }
            MsgMessageList list;
            for (const _MsgChat *c : chat->chats)
                list += c->messages.values();
            showNodeMessages(list, chat->chats.first());
            break;
        }
        default:
            clearMessageView();
            break;
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return;
    }
    // The current index may lag behind the selection: the panes show the
    // records of the selected node's source.
    if (!smsModel->messages().isEmpty()) {
        if (_AbsDBItemNode *src = ItemModelMain::sourceNodeOf(node))
            m_shownSet = src->dataSet.data();
    }
}

void MainWindow::onSMSItemSelected(const QItemSelection &selected, const QItemSelection &)
{
    if (selected.isEmpty() || selected.first().indexes().isEmpty())
        return;
    const QModelIndex first = selected.first().indexes().first();
    if (smsModel->messageAt(first))
        bubbleMgr.scrollToPos(first.row());
}

void MainWindow::onSMSSortIndicatorChanged(int, Qt::SortOrder)
{
    // Sorting by the header: to be built.
}

void MainWindow::searchMessages()
{
    // Search of the shown messages: to be built.
}

void MainWindow::searchCotnact()
{
    // Search of the conversations of the current source: to be built.
}

void MainWindow::androidUsbTips()
{
    // Tips about connecting Android phones: to be built.
}

void MainWindow::miDelAll()
{
    // Deleting a local database: to be built.
}

void MainWindow::miClearCache()
{
    // Clearing the cache folders: to be built.
}

void MainWindow::miViewCache()
{
    // Opening a device's store folder: to be built.
}

void MainWindow::miOpenDbFolder()
{
    // Opening the local databases' folder: to be built.
}
