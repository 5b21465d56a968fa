// Message commands: export, print, attachment extraction and deletion.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "jobs/attachmentextractthread.h"
#include "jobs/deletemmsthread.h"
#include "jobs/exportmessagesthread.h"
#include "jobs/mmsprinter.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "ui/exporttarget.h"
#include "ui/itemmodelsms.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QSet>

namespace {

// The export's save dialog. Before the dialog's own check of the chosen
// file, the chosen filter decides what that file is: for text, doc and CSV
// the filter's suffix is added to a name without one, so that the question
// about replacing a file is asked about the file that will be written; the
// PDF and HTML exports write into a new folder of a free name, so nothing
// is replaced and nothing is asked.
class ExportFileDialog : public QFileDialog
{
public:
    ExportFileDialog(QWidget *parent, const QString &title, const QString &path)
        : QFileDialog(parent, title, path, exportFilterTexts().join(QStringLiteral(";;")))
    {
        setObjectName(QStringLiteral("exportFileDialog"));
        setAcceptMode(QFileDialog::AcceptSave);
        setFileMode(QFileDialog::AnyFile);
        // The widget dialog on every platform: the suffix rule above needs
        // accept() to run before the file is checked.
        setOption(QFileDialog::DontUseNativeDialog);
    }

    int filterIndex() const { return int(exportFilterTexts().indexOf(selectedNameFilter())); }

    void accept() override
    {
        const int filter = filterIndex();
        setDefaultSuffix(exportFilterSuffix(filter));
        setOption(QFileDialog::DontConfirmOverwrite,
                  filter == ExportFilterPdf || filter == ExportFilterHtml);
        QFileDialog::accept();
    }
};

} // namespace

bool MainWindow::confirmNotEmpty(const MsgMessageList &list)
{
    if (!list.isEmpty())
        return true;
    showInfo(ids("IDS_NO_MESSAGES_CHOSEN"));
    return false;
}

// ---- Export ----

QString MainWindow::askExportPath(int *filter)
{
    const QString proposed = QDir::home().absoluteFilePath(
            QStringLiteral("messages(%1)")
                    .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"))));
    ExportFileDialog dialog(this, ids("IDS_SEL_EXPORT_MESSAGES_PATH"), proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    *filter = dialog.filterIndex();
    return dialog.selectedFiles().first();
}

void MainWindow::exportMessages(const MsgMessageList &list)
{
    if (!confirmNotEmpty(list))
        return;
    // The records belong to the data set of their source, which a device
    // leaving during the dialogs would take away: hold it.
    const MsgDataSet keep = holdRecords(list);
    int filter = -1;
    const QString chosen = askExportPath(&filter);
    if (chosen.isEmpty())
        return;
    const ExportTarget target = exportTargetFor(chosen, filter);
    if (target.format < 0)
        return;
    ProgressForm form(QString(), this);
    ExportMessagesThread job(list, target.path, target.format, &form, this);
    form.runJob(&job);
}

void MainWindow::miExportSel()
{
    exportMessages(collectSelectedMessages());
}

void MainWindow::miExportChat()
{
    exportMessages(shownMessages());
}

void MainWindow::miExportAll()
{
    const MsgMessageList list = collectNodeMessages();
    if (!list.isEmpty())
        exportMessages(list);
}

// ---- Print ----

void MainWindow::printMessages(const MsgMessageList &list)
{
    if (!confirmNotEmpty(list))
        return;
    const MsgDataSet keep = holdRecords(list);
    MMSPrinter printer(this);
    printer.printPreview(list);
}

void MainWindow::miPrintSel()
{
    printMessages(collectSelectedMessages());
}

void MainWindow::miPrintChat()
{
    printMessages(shownMessages());
}

void MainWindow::miPrintAll()
{
    const MsgMessageList list = collectNodeMessages();
    if (!list.isEmpty())
        printMessages(list);
}

// ---- Attachment extraction ----

QString MainWindow::askExtractParentFolder()
{
    QFileDialog dialog(this, ids("IDS_TITLE_SEL_OUTPUT_FOLDER_EXTRACT_MEDIA_FILES"),
                       QDir::home().absolutePath());
    dialog.setObjectName(QStringLiteral("extractFolderDialog"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

void MainWindow::extractMedia(const MsgMessageList &list)
{
    if (!confirmNotEmpty(list))
        return;
    const MsgDataSet keep = holdRecords(list);
    const QString parent = askExtractParentFolder();
    if (parent.isEmpty())
        return;
    const QString folder = attachmentFolderFor(parent, QDateTime::currentDateTime());
    ProgressForm form(ids("IDS_TITLE_EXTRACT_MEDIA_FILES"), this);
    AttachmentExtractThread job(&form, list, folder);
    form.runJob(&job);
}

void MainWindow::miExtractMediaSel()
{
    extractMedia(collectSelectedMessages());
}

void MainWindow::miExtractMediaChat()
{
    extractMedia(shownMessages());
}

void MainWindow::miExtractMediaAll()
{
    const MsgMessageList list = collectNodeMessages();
    if (!list.isEmpty())
        extractMedia(list);
}

// ---- Deletion ----

bool MainWindow::runDeleteJob(_AbsDBItemNode *dbNode, MsgMessageList &list)
{
    // The job reads the records while the form's loop runs, in which a
    // device may leave: the data set and the database stay alive with us.
    const MsgDataSet keepSet = dbNode->dataSet;
    const QSharedPointer<AbsIOSMessageDb> keepDb = dbNode->db;
    const QString store = ItemModelMain::storeFolderOf(dbNode);
    QDir folder(store.isEmpty() ? localDatabasesFolder().absoluteFilePath(dbNode->text) : store);
    ProgressForm form(QString(), this);
    // The job's connection is the only one that writes; ours reopens by
    // itself at its next use.
    dbNode->db->close();
    DeleteMMSThread job(&folder, &list, &form, this);
    return form.runJob(&job);
}

void MainWindow::clearTreeSelection()
{
    // The panes are emptied before any record they show goes away.
    clearMessageView();
    if (QItemSelectionModel *sel = ui->treeViewDS->selectionModel()) {
        sel->clearSelection();
        sel->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
    // Clearing the selection ran the selection handler while the node was
    // still current: the actions follow the node that is current now.
    updateActions();
}

void MainWindow::pruneMessages(_AbsDBItemNode *dbNode, const MsgMessageList &list)
{
    _MsgDataSet *set = dbNode->dataSet.data();
    if (!set)
        return;
    QSet<_MsgMessage *> gone;
    for (_MsgMessage *m : list)
        if (m && set->messages.value(m->ROWID) == m)
            gone.insert(m); // not a record of another set
    if (gone.isEmpty())
        return;
    // A message filed in more than one conversation (a join row per chat)
    // leaves every one of them, not only the chat it names last.
    auto prune = [&gone](_MsgChat *c) {
        const bool listsOne = std::any_of(c->messages.cbegin(), c->messages.cend(),
                                          [&gone](_MsgMessage *m) { return gone.contains(m); });
        if (!listsOne)
            return;
        FlatMap<QString, _MsgMessage *> kept;
        for (auto it = c->messages.cbegin(); it != c->messages.cend(); ++it)
            if (!gone.contains(it.value()))
                kept.insert(it.key(), it.value()); // in key order: appended
        c->messages = std::move(kept);
    };
    for (_MsgChat *c : std::as_const(set->chats))
        prune(c);
    for (_MsgMessage *m : std::as_const(gone))
        if (m->chat && set->chats.value(m->chat->ROWID) != m->chat)
            prune(m->chat); // a chat the set does not list
    for (_MsgMessage *m : list) {
        if (!gone.remove(m))
            continue; // listed twice
        set->messages.remove(m->ROWID);
        set->discardMessage(m);
    }
}

void MainWindow::miDelSel()
{
    if (!currentSourceNode())
        return;
    if (!confirmNotEmpty(collectSelectedMessages()))
        return;
    if (!askQuestion(ids("IDS_CONFIRM_DEL_SEL_MMS")))
        return;
    // Taken after the question: the selection is what the user confirmed.
    MsgMessageList list = collectSelectedMessages();
    if (!confirmNotEmpty(list))
        return;
    // The rows are deleted from the database they were read from, which
    // need not be the current node's: a node that shows nothing new, or
    // fails to load, leaves the list as it was. Rows of a source that has
    // left the tree are deleted from nowhere.
    _AbsDBItemNode *dbNode = sourceOfRecords(list);
    if (!dbNode) {
        showWarning(ids("IDS_DELETE_SOURCE_GONE"));
        return;
    }
    const TreeNodeRef ref = nodeRef(dbNode);
    const bool ok = runDeleteJob(dbNode, list);
    dbNode = ref.resolveAs<_AbsDBItemNode>();
    if (!ok || !dbNode)
        return;
    clearTreeSelection();
    pruneMessages(dbNode, list);
    selectTreeNode(dbNode);
}

void MainWindow::miDelChat()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!node || node->kind != kNodeChatSession)
        return;
    const TreeNodeRef chatRef = nodeRef(node);
    if (!askQuestion(ids("IDS_CONFIRM_DEL_CHAT_MMS")))
        return;
    auto *chatNode = chatRef.resolveAs<_ChatSessionItemNode>();
    _AbsDBItemNode *dbNode = chatNode ? ItemModelMain::sourceNodeOf(chatNode) : nullptr;
    if (!dbNode)
        return;
    // Every message of the conversation's chats: the chats themselves go
    // below, so no message of theirs may stay behind.
    MsgMessageList list;
    for (const _MsgChat *c : std::as_const(chatNode->chats))
        list += c->messages.values();
    if (!confirmNotEmpty(list))
        return;
    const TreeNodeRef dbRef = nodeRef(dbNode);
    const bool ok = runDeleteJob(dbNode, list);
    chatNode = chatRef.resolveAs<_ChatSessionItemNode>();
    dbNode = dbRef.resolveAs<_AbsDBItemNode>();
    if (!ok || !chatNode || !dbNode)
        return;
    clearTreeSelection();
    pruneMessages(dbNode, list);
    _MsgDataSet *set = dbNode->dataSet.data();
    const QList<_MsgChat *> chats = chatNode->chats;
    chatNode->chats.clear();
    for (_MsgChat *c : chats) {
        if (set && set->chats.value(c->ROWID) == c) {
            set->chats.remove(c->ROWID);
            delete c;
        }
    }
    treeModel->removeNode(chatNode);
}
