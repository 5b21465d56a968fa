// Browsing: what selecting a tree node or a list row shows, sorting and
// searching the list, and the commands on the data folder.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "android/androidmonitor.h"
#include "iphone/iosmobilebackup.h"
#include "store/datafolder.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/msgutil.h"
#include "store/texts.h"
#include "ui/itemmodelsms.h"
#include "ui/updatecheck.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHeaderView>

namespace {

// " <a href=...>How to</a>?" for a page of the web site; nothing without one.
QString howToLink(const QString &path)
{
    const QUrl page = webSitePage(path);
    if (page.isEmpty())
        return {};
    return QStringLiteral(" <a href=\"%1\">How to</a>?")
            .arg(QString::fromUtf8(page.toEncoded()).toHtmlEscaped());
}

} // namespace

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
        showError(boxTextOf(e));
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

void MainWindow::onSMSSortIndicatorChanged(int section, Qt::SortOrder)
{
    if (section != 0) {
        // Only the date column sorts; this fires the slot again for it.
        ui->treeViewSMS->header()->setSortIndicator(0, Qt::AscendingOrder);
        return;
    }
    showNodeMessages(shownMessages(), currentChat);
}

const QStringList &MainWindow::shownSearchTexts()
{
    // The kept copy shares the model's list until that list is replaced or
    // changed, so comparing the data pointers tells whether the texts are
    // still those of the shown rows.
    const MsgMessageList &shown = smsModel->messages();
    if (m_searchList.constData() != shown.constData() || m_searchList.size() != shown.size()) {
        m_searchList = shown;
        m_searchTexts.clear();
        m_searchTexts.reserve(shown.size());
        for (const _MsgMessage *m : shown)
            m_searchTexts.append(m ? messagePlainText(*m) : QString());
    }
    return m_searchTexts;
}

void MainWindow::searchMessages()
{
    const QString keyword = ui->txtSMSKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const qsizetype count = smsModel->messages().size();
    if (count == 0) {
        showInfo(ids("IDS_CAN_NOT_FOUND_AND_MESSAGES"));
        return;
    }
    const QStringList &texts = shownSearchTexts();
    const QModelIndex current = ui->treeViewSMS->currentIndex();
    const qsizetype start = current.isValid() ? current.row() + 1 : 0;
    // From the row after the current one to the end, then from the top: the
    // current row is tried last.
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype row = (start + i) % count;
        if (texts.at(row).contains(keyword, Qt::CaseInsensitive)) {
            ui->treeViewSMS->setCurrentIndex(smsModel->rowIndex(int(row)));
            return;
        }
    }
    showInfo(ids("IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0").arg(keyword.toHtmlEscaped()));
}

void MainWindow::searchCotnact()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!node)
        return;
    _AbsDBItemNode *source = ItemModelMain::sourceNodeOf(node);
    if (!source)
        return;
    // From a conversation, the search goes on from the one after it.
    const qsizetype start = node == source ? 0 : source->children.indexOf(node) + 1;
    const QString keyword = ui->txtHandleKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const qsizetype count = source->children.size();
    for (qsizetype i = 0; i < count; ++i) {
        AbsTreeItemModel::_ItemNode *chat = source->children.at((start + i) % count);
        if (chat->text.contains(keyword, Qt::CaseInsensitive)) {
            ui->treeViewDS->setCurrentIndex(treeModel->indexForNode(chat));
            return;
        }
    }
    showInfo(ids("IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0").arg(keyword.toHtmlEscaped()));
}

void MainWindow::androidUsbTips()
{
    if (m_usbTipsShown)
        return;
    m_usbTipsShown = true;
    // Any listed serial, even one not yet allowed, means adb sees a phone.
    if (androidMonitor && !androidMonitor->seenSerials().isEmpty())
        return;

    QString text = QStringLiteral("<b>Android device not found.</b><br/><br/>"
                                  "Want to connect Android device? If yes, please follow these "
                                  "steps:<br/><br/>");
#ifdef Q_OS_WIN
    const QString debugging = howToLink(QStringLiteral("/tutorial/enable-usb-debugging-on-android.html"));
    const QString driver = howToLink(QStringLiteral("/install-usb-driver-software-for-android.html"));
    text += QStringLiteral("* Enable USB debugging on your Android device.%1<br/><br/>").arg(debugging);
    text += QStringLiteral("* Install USB driver software on your computer.%1<br/><br/>").arg(driver);
    const QString tool = QDir(QCoreApplication::applicationDirPath())
                                 .absoluteFilePath(QStringLiteral("QuillmarshDeviceManager.exe"));
    text += QStringLiteral("* Click <a href=\"file:///%1\">HERE</a> to run Quillmarsh Device "
                           "Manager to try again.<br/><br/>")
                    .arg(tool.toHtmlEscaped());
#else
    text += ids("IDS_ANDROID_TIPS_DEBUGGING_%1")
                    .arg(howToLink(QStringLiteral("/tutorial/enable-usb-debugging-on-android.html")));
    text += ids("IDS_ANDROID_TIPS_AUTHORIZE");
    text += ids("IDS_ANDROID_TIPS_UDEV");
#endif
    showInfo(text);
}

void MainWindow::miDelAll()
{
    AbsTreeItemModel::_ItemNode *current = currentNode();
    if (!current || current->kind != kNodeLocalDb)
        return;
    const TreeNodeRef ref = nodeRef(current);
    if (!askQuestion(ids("IDS_CONFIRM_DEL_THIS_LOCALDB")))
        return;
    // The node may have gone while the question was open.
    auto *node = ref.resolveAs<_AbsDBItemNode>();
    if (!node)
        return;
    const QString name = node->text;
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return; // not a folder of the local databases
    const QString folder = localDatabasesFolder().absoluteFilePath(name);

    node->db->close();
    removeFolderRecursively(folder);
    if (QFileInfo::exists(folder)) {
        // Kept in the tree, so that the user can try again.
        showWarning(ids("IDS_DEL_LOCALDB_FAILED_%1_%2")
                            .arg(name.toHtmlEscaped(), QDir::toNativeSeparators(folder).toHtmlEscaped()));
        return;
    }
    removeSourceNode(node);
    showInfo(ids("IDS_DEL_LOCALDB_SUC").arg(name.toHtmlEscaped()));
}

QStringList MainWindow::cacheFolders()
{
    const QDir data = dataFolder();
    return {data.absoluteFilePath(QStringLiteral("ios_cache")),
            data.absoluteFilePath(QStringLiteral("itunes_cache")),
            data.absoluteFilePath(QStringLiteral("android_cache"))};
}

bool MainWindow::isUnderFolder(const QString &path, const QString &folder)
{
    if (path.isEmpty() || folder.isEmpty())
        return false;
    const QString p = QDir::cleanPath(path);
    const QString f = QDir::cleanPath(folder);
    return p == f || p.startsWith(f + QLatin1Char('/'));
}

void MainWindow::miClearCache()
{
    const QStringList folders = cacheFolders();

    // Sources whose store lies in a cache folder go first: their connections
    // are closed and their records leave the panes before the files go.
    QList<_AbsDBItemNode *> affected;
    for (AbsTreeItemModel::_ItemNode *n : treeModel->allNodes()) {
        _AbsDBItemNode *src = ItemModelMain::sourceNodeOf(n);
        if (!src || src != n)
            continue; // conversations are covered by their source
        const QString store = ItemModelMain::storeFolderOf(src);
        for (const QString &folder : folders) {
            if (isUnderFolder(store, folder)) {
                affected.append(src);
                break;
            }
        }
    }
    for (_AbsDBItemNode *src : std::as_const(affected)) {
        src->db->close();
        removeSourceNode(src);
    }

    QStringList left;
    for (const QString &folder : folders) {
        removeFolderRecursively(folder);
        if (QFileInfo::exists(folder))
            left.append(QDir::toNativeSeparators(folder).toHtmlEscaped());
    }
    removeTempBackupRoot();

    if (left.isEmpty())
        showInfo(ids("IDS_SUC_CLEAR_CACHE"));
    else
        showWarning(ids("IDS_CLEAR_CACHE_FAILED_%1").arg(left.join(QStringLiteral("<br/>"))));
}

void MainWindow::miViewCache()
{
    _AbsDBItemNode *node = nullptr;
    if (AbsTreeItemModel::_ItemNode *current = currentNode();
        current && (current->kind == kNodeIOSDevice || current->kind == kNodeAndroidDevice))
        node = static_cast<_AbsDBItemNode *>(current);
    if (!node)
        return;
    // The folder the node's database reads: the phone's cache folder, or the
    // saved copy's own folder.
    QString folder = ItemModelMain::storeFolderOf(node);
    if (folder.isEmpty()) {
        folder = node->kind == kNodeIOSDevice
                ? static_cast<_IOSDeviceItemNode *>(node)->device.cacheDir().absolutePath()
                : androidCacheDir(static_cast<_AndroidDeviceItemNode *>(node)->device).absolutePath();
    }
    QDir().mkpath(folder);
    openInExplorer(folder);
}

void MainWindow::miOpenDbFolder()
{
    openInExplorer(localDatabasesFolder().absolutePath());
}
