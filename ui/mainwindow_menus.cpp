// Menus, toolbar and context menus of the main window, the enabling of the
// kept actions, and the dispatchers of the command families.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "store/texts.h"
#include "ui/itemmodelsms.h"

#include <QCursor>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

#include <memory>

namespace {

// One entry of a menu: text key, icon path (may be empty), slot.
struct MenuEntry
{
    const char *text;
    const char *icon;
    void (MainWindow::*slot)();
    bool needsIPhone = false; // enabled only while an iPhone node exists
};

QAction *addEntry(QMenu *menu, MainWindow *w, const MenuEntry &e, int iphones)
{
    QAction *a = e.icon && *e.icon
            ? menu->addAction(QIcon(QString::fromLatin1(e.icon)), ids(e.text), w, e.slot)
            : menu->addAction(ids(e.text), w, e.slot);
    if (e.needsIPhone)
        a->setEnabled(iphones > 0);
    return a;
}

} // namespace

void MainWindow::createMenus()
{
    auto kept = [this](QMenu *menu, const char *text, const char *icon, void (MainWindow::*slot)()) {
        QAction *a = menu->addAction(QIcon(QString::fromLatin1(icon)), ids(text), this, slot);
        a->setEnabled(false);
        return a;
    };

    QMenu *file = ui->menuBar->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("menuFile"));
    actBackup = kept(file, "Backup Messages to Local Database", ":/res/backup.png", &MainWindow::miBackup);
    actA2I = kept(file, "Transfer Android Messages to iPhone", ":/res/a2i.png", &MainWindow::miA2I);
    actDb2I = kept(file, "Transfer Messages from Database to iPhone", ":/res/db2i.png",
                   &MainWindow::miDb2I);
    file->addSeparator();
    actExtractMedia = kept(file, "Extract MMS attachment", ":/res/extract_media.png",
                           &MainWindow::miExtractMedia);
    actExport = kept(file, "Export Messages to File", ":/res/export.png", &MainWindow::miExport);
    actPrint = kept(file, "Print Messages", ":/res/print.png", &MainWindow::miPrint);
    actDelete = kept(file, "Delete Messages", ":/res/delete.png", &MainWindow::miDel);
    file->addSeparator();
    file->addAction(QIcon(QStringLiteral(":/res/open_db_folder.png")), ids("Open Database Folder"),
                    this, &MainWindow::miOpenDbFolder);
    file->addAction(QIcon(QStringLiteral(":/res/exit.png")), ids("Exit"), this, &QWidget::close);

    QMenu *tools = ui->menuBar->addMenu(QStringLiteral("Tools"));
    tools->setObjectName(QStringLiteral("menuTools"));
    tools->addAction(ids("Check for Update"), this, &MainWindow::miCheckUpdate);
    tools->addAction(ids("Clear Cache files"), this, &MainWindow::miClearCache);
    tools->addAction(ids("Connect Android Phone via WiFi"), this, &MainWindow::miConnectWifi);
    tools->addAction(ids("Recover Deleted Messages"), this, &MainWindow::miRecoverDeleted);

    QMenu *help = ui->menuBar->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("menuHelp"));
    help->addAction(QIcon(QStringLiteral(":/res/help.png")), ids("Help"), this, &MainWindow::miHelp);
    help->addAction(ids("Feedback and Support"), this, &MainWindow::miFeedback);
    help->addAction(ids("About"), this, &MainWindow::miAbout);

    ui->mainToolBar->addAction(actBackup);
    ui->mainToolBar->addAction(actA2I);
    ui->mainToolBar->addAction(actDb2I);
    ui->mainToolBar->addSeparator();
    ui->mainToolBar->addAction(actExtractMedia);
    ui->mainToolBar->addAction(actExport);
    ui->mainToolBar->addAction(actPrint);
    ui->mainToolBar->addAction(actDelete);
}

void MainWindow::updateActions()
{
    if (!actBackup)
        return; // before the menus exist
    const int iphones = treeModel->countAttachedIPhones();
    const int androids = treeModel->countDeviceNodes(kNodeAndroidDevice);
    const int kind = ItemModelMain::sourceKindOf(currentNode());
    const bool android = kind == kNodeAndroidDevice;
    const bool localDb = kind == kNodeLocalDb;

    actBackup->setEnabled(android);
    actA2I->setEnabled(android && androids > 0 && iphones > 0);
    actDb2I->setEnabled(localDb && iphones > 0);
    actExtractMedia->setEnabled(android || localDb);
    actExport->setEnabled(android || localDb);
    actPrint->setEnabled(android || localDb);
    actDelete->setEnabled(localDb);
}

QMenu *MainWindow::buildTreeContextMenu(AbsTreeItemModel::_ItemNode *node)
{
    if (!node)
        return nullptr;
    static const MenuEntry localDbRoot[] = {
        {"Open Database Folder", ":/res/open_db_folder.png", &MainWindow::miOpenDbFolder},
    };
    static const MenuEntry iphone[] = {
        {"View Cache Files", nullptr, &MainWindow::miViewCache},
        {"Disconnect Device", ":/res/unmount.png", &MainWindow::miUnmoutDevice},
        {"Recover Deleted Messages", nullptr, &MainWindow::miRecoverDeleted},
    };
    // A saved iPhone copy is no attached phone: nothing to disconnect.
    static const MenuEntry savedIPhone[] = {
        {"View Cache Files", nullptr, &MainWindow::miViewCache},
        {"Recover Deleted Messages", nullptr, &MainWindow::miRecoverDeleted},
    };
    static const MenuEntry android[] = {
        {"Backup Messages to Local Database", ":/res/backup.png", &MainWindow::miBackupAll},
        {"Transfer Android Messages to iPhone", ":/res/a2i.png", &MainWindow::miA2IAll, true},
        {"Extract MMS attachment", ":/res/extract_media.png", &MainWindow::miExtractMediaAll},
        {"Export Messages to File", ":/res/export.png", &MainWindow::miExportAll},
        {"Print Messages", ":/res/print.png", &MainWindow::miPrintAll},
        {"View Cache Files", nullptr, &MainWindow::miViewCache},
        {"Disconnect Device", ":/res/unmount.png", &MainWindow::miUnmoutDevice},
    };
    // Nor is a saved Android copy.
    static const MenuEntry savedAndroid[] = {
        {"Backup Messages to Local Database", ":/res/backup.png", &MainWindow::miBackupAll},
        {"Transfer Android Messages to iPhone", ":/res/a2i.png", &MainWindow::miA2IAll, true},
        {"Extract MMS attachment", ":/res/extract_media.png", &MainWindow::miExtractMediaAll},
        {"Export Messages to File", ":/res/export.png", &MainWindow::miExportAll},
        {"Print Messages", ":/res/print.png", &MainWindow::miPrintAll},
        {"View Cache Files", nullptr, &MainWindow::miViewCache},
    };
    static const MenuEntry localDb[] = {
        {"Export Messages to iTunes Backup", nullptr, &MainWindow::miExport2ITunesBKAll},
        {"Transfer Messages from Database to iPhone", ":/res/db2i.png", &MainWindow::miDb2IAll, true},
        {"Extract MMS attachment", ":/res/extract_media.png", &MainWindow::miExtractMediaAll},
        {"Export Messages to File", ":/res/export.png", &MainWindow::miExportAll},
        {"Print Messages", ":/res/print.png", &MainWindow::miPrintAll},
        {"Recover Deleted Messages", nullptr, &MainWindow::miRecoverDeleted},
        {"Delete this Database", ":/res/delete.png", &MainWindow::miDelAll},
    };
    static const MenuEntry androidChat[] = {
        {"Backup Messages with this contact to Local Database", ":/res/backup.png",
         &MainWindow::miBackupChat},
        {"Transfer Messages with this contact to iPhone", ":/res/a2i.png", &MainWindow::miA2IChat,
         true},
        {"Extract attachment from MMS with this contact", ":/res/extract_media.png",
         &MainWindow::miExtractMediaChat},
        {"Export Messages with this contact to File", ":/res/export.png", &MainWindow::miExportChat},
        {"Print Messages with this contact", ":/res/print.png", &MainWindow::miPrintChat},
    };
    static const MenuEntry localDbChat[] = {
        {"Export Messages with this contact to iTunes Backup", nullptr,
         &MainWindow::miExport2ITunesBKChat},
        {"Transfer Messages with this contact to iPhone", ":/res/db2i.png",
         &MainWindow::miDb2IChat, true},
        {"Extract attachment from MMS with this contact", ":/res/extract_media.png",
         &MainWindow::miExtractMediaChat},
        {"Export Messages with this contact to File", ":/res/export.png", &MainWindow::miExportChat},
        {"Print Messages with this contact", ":/res/print.png", &MainWindow::miPrintChat},
        {"Assign Number...", nullptr, &MainWindow::miAssignNumber},
        {"Delete Messages with this contact", ":/res/delete.png", &MainWindow::miDelChat},
    };
    static const MenuEntry iphoneChat[] = {
        {"Assign Number...", nullptr, &MainWindow::miAssignNumber},
    };

    const MenuEntry *begin = nullptr;
    const MenuEntry *end = nullptr;
    auto use = [&](const auto &table) {
        begin = std::begin(table);
        end = std::end(table);
    };
    // "Assign Number..." only for a salvaged conversation of unknown number.
    bool unknownNumberChat = false;
    switch (node->kind) {
    case kNodeLocalDbRoot:
        use(localDbRoot);
        break;
    case kNodeIOSDevice:
        if (static_cast<_IOSDeviceItemNode *>(node)->device.deviceHandle)
            use(iphone);
        else
            use(savedIPhone);
        break;
    case kNodeAndroidDevice:
        if (ItemModelMain::isConnectedDevice(node))
            use(android);
        else
            use(savedAndroid);
        break;
    case kNodeLocalDb:
        use(localDb);
        break;
    case kNodeChatSession: {
        const auto *chat = static_cast<_ChatSessionItemNode *>(node);
        unknownNumberChat = !chat->chats.isEmpty()
                && chat->chats.first()->ROWID < kRecoveredChatRowidLimit;
        switch (ItemModelMain::sourceKindOf(node)) {
        case kNodeAndroidDevice:
            use(androidChat);
            break;
        case kNodeLocalDb:
            use(localDbChat);
            break;
        case kNodeIOSDevice:
            use(iphoneChat);
            break;
        default:
            return nullptr;
        }
        break;
    }
    default:
        return nullptr;
    }

    const int iphones = treeModel->countAttachedIPhones();
    auto *menu = new QMenu;
    for (const MenuEntry *e = begin; e != end; ++e) {
        if (e->slot == &MainWindow::miAssignNumber && !unknownNumberChat)
            continue;
        addEntry(menu, this, *e, iphones);
    }
    return menu;
}

QMenu *MainWindow::buildSmsContextMenu(AbsTreeItemModel::_ItemNode *node)
{
    static const MenuEntry android[] = {
        {"Backup selected Messages to Local Database", ":/res/backup.png", &MainWindow::miBackupSel},
        {"Transfer selected Messages to iPhone", ":/res/a2i.png", &MainWindow::miA2ISel, true},
        {"Extract attachment from selected Messages", ":/res/extract_media.png",
         &MainWindow::miExtractMediaSel},
        {"Export selected Messages to File", ":/res/export.png", &MainWindow::miExportSel},
        {"Print selected Messages", ":/res/print.png", &MainWindow::miPrintSel},
    };
    static const MenuEntry localDb[] = {
        {"Export selected Messages to iTunes Backup", nullptr, &MainWindow::miExport2ITunesBKSel},
        {"Transfer selected Messages to iPhone", ":/res/db2i.png", &MainWindow::miDb2ISel, true},
        {"Extract attachment from selected Messages", ":/res/extract_media.png",
         &MainWindow::miExtractMediaSel},
        {"Export selected Messages to File", ":/res/export.png", &MainWindow::miExportSel},
        {"Print selected Messages", ":/res/print.png", &MainWindow::miPrintSel},
        {"Delete selected Messages", ":/res/delete.png", &MainWindow::miDelSel},
    };
    const int kind = ItemModelMain::sourceKindOf(node);
    if (kind != kNodeAndroidDevice && kind != kNodeLocalDb)
        return nullptr;
    const int iphones = treeModel->countAttachedIPhones();
    auto *menu = new QMenu;
    if (kind == kNodeAndroidDevice) {
        for (const MenuEntry &e : android)
            addEntry(menu, this, e, iphones);
    } else {
        for (const MenuEntry &e : localDb)
            addEntry(menu, this, e, iphones);
    }
    return menu;
}

void MainWindow::onMainTreeContextMenu()
{
    std::unique_ptr<QMenu> menu(buildTreeContextMenu(currentNode()));
    if (!menu)
        return;
    menu->exec(QCursor::pos());
}

void MainWindow::onSMSContextMenu()
{
    // The entries act on the rows: they are those of the source the rows
    // come from, which need not be the current node.
    _AbsDBItemNode *shown = shownSource();
    std::unique_ptr<QMenu> menu(buildSmsContextMenu(shown ? shown : currentNode()));
    if (!menu)
        return;
    menu->exec(QCursor::pos());
}

void MainWindow::dispatchCommand(void (MainWindow::*sel)(), void (MainWindow::*chat)(),
                                 void (MainWindow::*all)())
{
    QItemSelectionModel *selection = ui->treeViewSMS->selectionModel();
    if (selection && selection->hasSelection() && !selection->selectedRows(0).isEmpty()) {
        (this->*sel)();
        return;
    }
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!node)
        return;
    if (node->kind == kNodeChatSession)
        (this->*chat)();
    else
        (this->*all)();
}

void MainWindow::miI2A()
{
    dispatchCommand(&MainWindow::miI2ASel, &MainWindow::miI2AChat, &MainWindow::miI2AAll);
}

void MainWindow::miI2I()
{
    dispatchCommand(&MainWindow::miI2ISel, &MainWindow::miI2IChat, &MainWindow::miI2IAll);
}

void MainWindow::miDb2I()
{
    dispatchCommand(&MainWindow::miDb2ISel, &MainWindow::miDb2IChat, &MainWindow::miDb2IAll);
}

void MainWindow::miExport2ITunesBK()
{
    dispatchCommand(&MainWindow::miExport2ITunesBKSel, &MainWindow::miExport2ITunesBKChat,
                    &MainWindow::miExport2ITunesBKAll);
}

void MainWindow::miA2I()
{
    dispatchCommand(&MainWindow::miA2ISel, &MainWindow::miA2IChat, &MainWindow::miA2IAll);
}

void MainWindow::miA2A()
{
    dispatchCommand(&MainWindow::miA2ASel, &MainWindow::miA2AChat, &MainWindow::miA2AAll);
}

void MainWindow::miDb2A()
{
    dispatchCommand(&MainWindow::miDb2ASel, &MainWindow::miDb2AChat, &MainWindow::miDb2AAll);
}

void MainWindow::miBackup()
{
    dispatchCommand(&MainWindow::miBackupSel, &MainWindow::miBackupChat, &MainWindow::miBackupAll);
}

void MainWindow::miPrint()
{
    dispatchCommand(&MainWindow::miPrintSel, &MainWindow::miPrintChat, &MainWindow::miPrintAll);
}

void MainWindow::miExport()
{
    dispatchCommand(&MainWindow::miExportSel, &MainWindow::miExportChat, &MainWindow::miExportAll);
}

void MainWindow::miExtractMedia()
{
    dispatchCommand(&MainWindow::miExtractMediaSel, &MainWindow::miExtractMediaChat,
                    &MainWindow::miExtractMediaAll);
}

void MainWindow::miDel()
{
    dispatchCommand(&MainWindow::miDelSel, &MainWindow::miDelChat, &MainWindow::miDelAll);
}
