#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "android/androidmonitor.h"
#include "iphone/applelibrary.h"
#include "iphone/mobiledevice.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/msgutil.h"
#include "store/stylesheet.h"
#include "store/texts.h"
#include "ui/itemmodelsms.h"
#include "ui/updatecheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

namespace {

// The Date column shows the service icon and the date in the short format
// of the user's locale: it is made as wide as the widest of those dates
// (two-digit days and hours, every month's name) at the list's own font.
int dateColumnWidth(QTreeView *view)
{
    view->ensurePolished();
    const QFontMetrics metrics(view->font());
    const QLocale locale = QLocale::system();
    int text = 0;
    for (int month = 1; month <= 12; ++month) {
        for (int hour : {11, 23}) {
            const QDateTime when(QDate(2028, month, 28), QTime(hour, 58, 58));
            text = std::max(text,
                            metrics.horizontalAdvance(locale.toString(when, QLocale::ShortFormat)));
        }
    }
    // The view's indentation, the 18-pixel icon, the item's margins around
    // icon and text, and a little air.
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    return view->indentation() + 18 + text + 4 * margin + 8;
}

// The subfolders of a folder: directories only, without "." and "..".
QStringList subfolders(const QDir &dir)
{
    return dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
}

// A local database: the program's own archive, upgraded to the columns it
// writes when first opened.
QSharedPointer<AbsIOSMessageDb> storeFolderDb(const QString &path)
{
    return QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(QDir(path), QString(), true));
}

// A saved copy of a phone's database is shown as it is: any write into it
// could reuse the free pages where "Recover Deleted Messages" finds deleted
// messages. The jobs that change it open it themselves.
QSharedPointer<AbsIOSMessageDb> savedCopyDb(const QString &path)
{
    return AbsIOSMessageDb::phoneCopyReader(QDir(path), QString());
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , bubbleMgr(this)
{
    ui->setupUi(this);
    setStyleSheet(appStyleSheet());
    ui->lbSMSCount->setFixedHeight(24);
    ui->lbConversation->setFixedHeight(36);

    connect(ui->treeViewDS, &MyTreeView::onSelectionChanged, this, &MainWindow::onMainTreeSelected);
    connect(ui->treeViewDS, &MyTreeView::createContextMenu, this, &MainWindow::onMainTreeContextMenu);
    connect(ui->treeViewSMS, &MyTreeView::onSelectionChanged, this, &MainWindow::onSMSItemSelected);
    connect(ui->treeViewSMS, &MyTreeView::createContextMenu, this, &MainWindow::onSMSContextMenu);
    connect(ui->btnSearchHandle, &QToolButton::pressed, this, &MainWindow::searchCotnact);
    connect(ui->txtHandleKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchCotnact);
    connect(ui->btnSearchSMS, &QToolButton::pressed, this, &MainWindow::searchMessages);
    connect(ui->txtSMSKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchMessages);

    ui->splitter->setSizes({200, 450, 350});

    // Attaching a model announces an empty selection: nothing to show yet,
    // and the slots' objects do not all exist.
    treeModel = new ItemModelMain(this);
    {
        const QSignalBlocker blocker(ui->treeViewDS);
        ui->treeViewDS->setModel(treeModel);
    }
    ui->treeViewDS->expandAll();

    smsModel = new ItemModelSms(this);
    {
        const QSignalBlocker blocker(ui->treeViewSMS);
        ui->treeViewSMS->setModel(smsModel);
    }
    ui->treeViewSMS->setSortingEnabled(true);
    QHeaderView *header = ui->treeViewSMS->header();
    header->setSectionsMovable(false);
    header->setSortIndicator(0, Qt::AscendingOrder);
    connect(header, &QHeaderView::sortIndicatorChanged, this,
            &MainWindow::onSMSSortIndicatorChanged);
    header->resizeSection(0, dateColumnWidth(ui->treeViewSMS));
    header->resizeSection(1, 50);
    header->resizeSection(2, 120);

    bubbleMgr.setWebView(ui->webViewSMS);

    createMenus();
    setWindowTitle(productName());

    advLinkLabel = new QLabel(ui->statusBar);
    advLinkLabel->setObjectName(QStringLiteral("advLinkLabel"));
    advLinkLabel->setOpenExternalLinks(true);
    ui->statusBar->setStyleSheet(QStringLiteral("QStatusBar::item{border: 0px}"));
    ui->statusBar->addWidget(advLinkLabel, 0);
    advLinkLabel->setTextFormat(Qt::RichText);
    showSavedAdvLink();

    if (mobiledevice_frameworks_loaded()) {
        try {
            mobiledevice_set_target(&deviceNotifyTarget, this, "iosDeviceConnected",
                                    "iosDeviceDisconnected");
            mobiledevice_subscribe(&deviceNotifyTarget);
        } catch (const std::exception &e) {
            qWarning().noquote() << QStringLiteral("MainWindow, iPhone notifications: %1")
                                            .arg(QString::fromUtf8(e.what()));
            showError(boxTextOf(e));
        }
    }

    registerAdbDeviceMetaType();
    androidMonitor = new AndroidMonitor(this);
    connect(androidMonitor, &AndroidMonitor::deviceConnected, this,
            &MainWindow::androidDeviceConnected);
    connect(androidMonitor, &AndroidMonitor::deviceDisconnected, this,
            &MainWindow::androidDeviceDisconnected);
    androidMonitor->start();

    QTimer::singleShot(10000, this, &MainWindow::androidUsbTips);

    addLocalDatabases();
    sendStartupRequests();
    addSavedDevices();
}

MainWindow::~MainWindow()
{
    // Notifications that arrive from now on find no receiver.
    if (deviceNotifyTarget.receiver == this)
        mobiledevice_set_target(&deviceNotifyTarget, nullptr, nullptr, nullptr);
    // Replies still on their way must not reach a window being taken apart.
    abandonServiceRequests();
    // The panes hold pointers into the tree's data sets: empty them before
    // the tree goes.
    bubbleMgr.showBubble({});
    smsModel->clear();
    delete ui;
    ui = nullptr;
    delete androidMonitor;
    androidMonitor = nullptr;
}

void MainWindow::addLocalDatabases()
{
    const QDir root = localDatabasesFolder();
    for (const QString &name : subfolders(root)) {
        // Nothing is read now: the database opens when its node is chosen.
        treeModel->addLocalDbNode(storeFolderDb(root.absoluteFilePath(name)), name);
    }
    ui->treeViewDS->expand(treeModel->indexForNode(treeModel->localDbRoot));
}

void MainWindow::addSavedDevices()
{
    auto readChats = [this](_AbsDBItemNode *node, const QString &folder) {
        // A folder without a database has nothing to show (and a copy is
        // read as it is: no database is made in it).
        if (!QFileInfo::exists(QDir(folder).absoluteFilePath(
                    QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"))))
            return;
        try {
            loadSourceChats(node);
        } catch (const std::exception &e) {
            showError(boxTextOf(e));
        }
    };

    const QDir iosRoot(dataFolder().absoluteFilePath(QStringLiteral("virtual_ios")));
    if (iosRoot.exists()) {
        for (const QString &name : subfolders(iosRoot)) {
            IOSDevice device;
            device.DeviceName = name;
            device.UniqueDeviceID = iosRoot.absoluteFilePath(name);
            readChats(treeModel->addIOSDeviceNode(savedCopyDb(device.UniqueDeviceID), device),
                      device.UniqueDeviceID);
        }
    }

    const QDir androidRoot(dataFolder().absoluteFilePath(QStringLiteral("virtual_android")));
    if (androidRoot.exists()) {
        for (const QString &name : subfolders(androidRoot)) {
            AndroidDevice device;
            device.model = name;
            device.uid = androidRoot.absoluteFilePath(name);
            readChats(treeModel->addAndroidDeviceNode(savedCopyDb(device.uid), device), device.uid);
        }
    }
}

AbsTreeItemModel::_ItemNode *MainWindow::currentNode() const
{
    return AbsTreeItemModel::nodeOf(ui->treeViewDS->currentIndex());
}

_AbsDBItemNode *MainWindow::currentSourceNode() const
{
    return ItemModelMain::sourceNodeOf(currentNode());
}

TreeNodeRef MainWindow::nodeRef(AbsTreeItemModel::_ItemNode *node) const
{
    return TreeNodeRef(treeModel, node);
}

MsgMessageList MainWindow::collectNodeMessages()
{
    // A source node itself, not one of its conversations.
    AbsTreeItemModel::_ItemNode *node = currentNode();
    _AbsDBItemNode *src = ItemModelMain::sourceNodeOf(node);
    if (!src || src != node)
        return {};
    // The panes show this whole source: its records were read when it was
    // chosen, and the window keeps them in step with what it writes (a
    // deletion prunes them, an import reads the new rows in). Reading the
    // database again would only find the same records, so the list shown
    // is taken as it is.
    const _MsgDataSet *set = src->dataSet.data();
    if (set && m_shownSet == set && !currentChat
        && smsModel->messages().size() == set->messages.size())
        return set->messages.values();
    try {
        src->db->messages(src->dataSet, 0);
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
        return {};
    }
    return src->dataSet.data()->messages.values();
}

MsgMessageList MainWindow::collectSelectedMessages() const
{
    MsgMessageList list;
    QItemSelectionModel *sel = ui->treeViewSMS->selectionModel();
    if (!sel)
        return list;
    const QModelIndexList rows = sel->selectedRows(0);
    for (const QModelIndex &index : rows) {
        if (_MsgMessage *m = smsModel->messageAt(index))
            list.append(m);
    }
    return list;
}

MsgMessageList MainWindow::shownMessages() const
{
    return smsModel->messages();
}

void MainWindow::selectTreeNode(AbsTreeItemModel::_ItemNode *node)
{
    const QModelIndex index = treeModel->indexForNode(node);
    if (!index.isValid())
        return;
    ui->treeViewDS->expand(index);
    // The node may be gone (or rows above it) by the time the call arrives.
    const QPersistentModelIndex target(index);
    const TreeNodeRef ref = nodeRef(node);
    QMetaObject::invokeMethod(
            this,
            [this, target, ref] {
                if (!ui || !target.isValid() || !ref.resolve())
                    return;
                ui->treeViewDS->setCurrentIndex(target);
            },
            Qt::QueuedConnection);
}

QString MainWindow::chatLabelText(const _MsgChat *chat)
{
    if (!chat)
        return QStringLiteral("All");
    const QString name = chatDisplayName(*chat, false);
    if (name.size() > 25)
        return name.left(25) + QStringLiteral("...");
    return name;
}

void MainWindow::showNodeMessages(const MsgMessageList &messages, _MsgChat *chat)
{
    currentChat = chat;
    _AbsDBItemNode *src = currentSourceNode();
    m_shownSet = src ? src->dataSet.data() : nullptr;

    MsgMessageList sorted = messages;
    if (ui->treeViewSMS->header()->sortIndicatorOrder() == Qt::DescendingOrder)
        sortMessagesNewestFirst(sorted);
    else
        sortMessages(sorted);

    smsModel->setMessages(sorted);
    bubbleMgr.showBubble(sorted);
    ui->lbSMSCount->setText(ids("Messages: %1").arg(sorted.size()));
    ui->lbChatName->setText(chatLabelText(chat));
}

void MainWindow::clearMessageView()
{
    currentChat = nullptr;
    m_shownSet = nullptr;
    smsModel->setMessages({});
    bubbleMgr.showBubble({});
    ui->lbSMSCount->setText(ids("Messages: 0"));
    ui->lbChatName->setText(QString());
}

void MainWindow::removeSourceNode(_AbsDBItemNode *node)
{
    if (!node)
        return;
    const bool showsIt = m_shownSet == node->dataSet.data()
            || (m_shownSet == nullptr && !smsModel->messages().isEmpty());
    if (showsIt)
        clearMessageView();
    treeModel->removeNode(node);
}
