#pragma once

#include "android/adbclient.h"
#include "android/androiddevice.h"
#include "store/msgdataset.h"
#include "ui/bubbleviewmgr.h"
#include "ui/itemmodelmain.h"

#include <QItemSelection>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <QUrl>

#include <QSet>

#include <functional>

class AndroidMonitor;
class ItemModelSms;
class QAction;
class QLabel;
class QMenu;
class QNetworkReply;

namespace Ui {
class MainWindow;
}

// The one window of the program: the source tree, the message list and the
// paged conversation view side by side, with the menus, the toolbar and a
// status bar that carries a link line. It receives every command and every
// device notification.
//
// The implementation is split by concern:
//   mainwindow.cpp               construction, destruction, shared operations
//   mainwindow_menus.cpp         menus, toolbar, context menus, dispatchers
//   mainwindow_browse.cpp        selection, sorting, search, folder commands
//   mainwindow_update.cpp        update check, help, about
//   mainwindow_ios.cpp           iPhone arrival and removal
//   mainwindow_iostransfer.cpp   transfers to iPhones and iTunes backups
//   mainwindow_android.cpp       Android arrival, removal, Wi-Fi, disconnect
//   mainwindow_phonework.cpp     one arrival, load or transfer per phone at a time
//   mainwindow_androidtransfer.cpp  transfers to Android phones
//   mainwindow_commands.cpp      export, print, attachments, deletion
//   mainwindow_localdb.cpp       backup to local databases, imports
//   mainwindow_recovery.cpp      deleted-message recovery
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // ---- Shared operations of the command slots ----

    // Every message of the current source node (kinds 3 to 5), in no
    // particular order: the records the panes show when they show that whole
    // source, else loaded from its database. Empty for any other node, and
    // (after the error box) when the database fails.
    MsgMessageList collectNodeMessages();
    // The messages of the selected rows of the message list, in the order
    // the selection model lists them.
    MsgMessageList collectSelectedMessages() const;
    // The list the message list shows, in the shown order.
    MsgMessageList shownMessages() const;
    // Expands the node at once and makes it current once the event loop
    // runs (when it is still in the tree then).
    void selectTreeNode(AbsTreeItemModel::_ItemNode *node);
    // Shows the list, sorted by the list header's order, in the message list
    // and the conversation view; chat names the conversation (null: a whole
    // source).
    void showNodeMessages(const MsgMessageList &messages, _MsgChat *chat);
    // Empties both panes.
    void clearMessageView();
    // Sets the enabled state of the seven kept actions from the current node.
    void updateActions();

    // The node of treeViewDS's current index, or null.
    AbsTreeItemModel::_ItemNode *currentNode() const;
    // The source node (kind 3 to 5) of the current node, or null.
    _AbsDBItemNode *currentSourceNode() const;
    // A reference to the node that survives its removal (for use across a
    // modal dialog's exec()).
    TreeNodeRef nodeRef(AbsTreeItemModel::_ItemNode *node) const;
    // Removes a source node: the panes are emptied first when they show its
    // records, so that no list keeps pointers into its data set.
    void removeSourceNode(_AbsDBItemNode *node);
    // The source node whose data set holds these records (judged by the
    // first of them), or null when no source in the tree holds them.
    _AbsDBItemNode *sourceOfRecords(const MsgMessageList &list) const;
    // The first source node (devices, then local databases) whose data set
    // passes the test, or null.
    _AbsDBItemNode *sourceWhoseSet(const std::function<bool(const _MsgDataSet &)> &holds) const;
    // The source node whose records the panes show, or null.
    _AbsDBItemNode *shownSource() const;
    // Whether the panes show records of the node's data set.
    bool showsRecordsOf(const _AbsDBItemNode *node) const;
    // A hold on the data set of the records, for a command to keep them
    // alive while its dialogs and jobs run: their source's set, else the
    // set the panes show.
    MsgDataSet holdRecords(const MsgMessageList &list) const;

    ItemModelMain *treeModelObject() const { return treeModel; }
    ItemModelSms *smsModelObject() const { return smsModel; }
    BubbleViewMgr &bubbleViewMgr() { return bubbleMgr; }
    Ui::MainWindow *form() const { return ui; }
    _MsgChat *shownChat() const { return currentChat; }

    // The text that the chat-name label shows for a conversation: its
    // display name cut to 25 characters followed by "...", "All" for none.
    static QString chatLabelText(const _MsgChat *chat);

protected slots:
    // Update check and status-bar link (mainwindow_update.cpp).
    void onCheckVersionReadyRead(QNetworkReply *reply);
    void onGetAdvLinkRead(QNetworkReply *reply);
    // iPhone arrival and removal (mainwindow_ios.cpp).
    void iosDeviceConnected(void *device);
    void iosDeviceDisconnected(void *device);
    // Android arrival and removal (mainwindow_android.cpp).
    void androidDeviceConnected(AdbDevice device);
    void androidDeviceDisconnected(QString serial);
    void androidDeviceLoad(AndroidDevice device);
    // Browsing (mainwindow_browse.cpp).
    void androidUsbTips();
    void onMainTreeSelected(const QItemSelection &selected, const QItemSelection &deselected);
    void onMainTreeContextMenu();
    void onSMSItemSelected(const QItemSelection &selected, const QItemSelection &deselected);
    void onSMSSortIndicatorChanged(int section, Qt::SortOrder order);
    void onSMSContextMenu();
    void searchMessages();
    void searchCotnact();

    // Command families: the plain name dispatches (mainwindow_menus.cpp) to
    // Sel (selected rows), Chat (shown list) or All (whole source).
    void miI2A();
    void miI2ASel();
    void miI2AChat();
    void miI2AAll();
    void miI2I();
    void miI2ISel();
    void miI2IChat();
    void miI2IAll();
    void miDb2I();
    void miDb2ISel();
    void miDb2IChat();
    void miDb2IAll();
    void miExport2ITunesBKSel();
    void miExport2ITunesBKChat();
    void miExport2ITunesBKAll();
    void miExport2ITunesBK();
    void miImportItunes();
    void miImportToLocalDb();
    void miA2I();
    void miA2ISel();
    void miA2IChat();
    void miA2IAll();
    void miA2A();
    void miA2ASel();
    void miA2AChat();
    void miA2AAll();
    void miDb2A();
    void miDb2ASel();
    void miDb2AChat();
    void miDb2AAll();
    void miConnectWifi();
    void miBackup();
    void miBackupSel();
    void miBackupChat();
    void miBackupAll();
    void miPrint();
    void miPrintSel();
    void miPrintChat();
    void miPrintAll();
    void miExport();
    void miExportSel();
    void miExportChat();
    void miExportAll();
    void miExtractMedia();
    void miExtractMediaSel();
    void miExtractMediaChat();
    void miExtractMediaAll();
    void miDel();
    void miDelSel();
    void miDelChat();
    void miDelAll();
    void miCheckUpdate();
    void miHelp();
    void miFeedback();
    void miAbout();
    void miHome();
    void miUnmoutDevice();
    void miClearCache();
    void miViewCache();
    void miOpenDbFolder();
    // Deleted-message recovery (mainwindow_recovery.cpp).
    void miRecoverDeleted();
    void miAssignNumber();

private:
    // mainwindow_menus.cpp
    void createMenus();
    // The context menu of a tree node; null when the node gets none.
    // (Kept apart from showing it so that tests can read its entries.)
    QMenu *buildTreeContextMenu(AbsTreeItemModel::_ItemNode *node);
    QMenu *buildSmsContextMenu(AbsTreeItemModel::_ItemNode *node);
    // Runs sel, chat or all by the dispatch rule of the command families.
    void dispatchCommand(void (MainWindow::*sel)(), void (MainWindow::*chat)(),
                         void (MainWindow::*all)());
    // mainwindow_update.cpp: the update check and the link request at start.
    void sendStartupRequests();
    // The link line saved from the last reply, shown until a new one comes.
    void showSavedAdvLink();
    // mainwindow.cpp
    void addLocalDatabases();
    void addSavedDevices();

    // ---- Work on one phone (mainwindow_phonework.cpp) ----
    // An arrival, load or transfer of one phone in progress, kept on the
    // stack of the slot that runs it while its dialogs and jobs run. One
    // at a time per phone: see PhoneWork below.
    struct PhoneWork;
    QList<PhoneWork *> m_phoneWork;
    // The work in progress on the phone of that kind (kNodeIOSDevice or
    // kNodeAndroidDevice) and identity, or null.
    PhoneWork *phoneWorkOn(int kind, const QString &id) const;

    // ---- Android phones (mainwindow_android.cpp) ----
    // Settles the country, loads the phone and shows it; the phone's older
    // node goes only after a successful load. False when nothing was shown.
    bool loadAndroidPhone(AndroidDevice device);

    // ---- Transfer to Android (mainwindow_androidtransfer.cpp) ----
    void transferToAndroid(const MsgMessageList &messages);

    // ---- Message commands (mainwindow_commands.cpp) ----
    void exportMessages(const MsgMessageList &list);
    void printMessages(const MsgMessageList &list);
    void extractMedia(const MsgMessageList &list);
    // The save dialog of the export: the chosen path (the filter's suffix
    // added to a name without one) and the chosen filter's ExportFilter
    // number; an empty path when cancelled.
    QString askExportPath(int *filter);
    // The folder dialog of the extraction; empty when cancelled.
    QString askExtractParentFolder();
    // Shows the information box and returns false for an empty list.
    bool confirmNotEmpty(const MsgMessageList &list);
    // Runs the deletion of list from the database of dbNode (closed first);
    // true when it succeeded.
    bool runDeleteJob(_AbsDBItemNode *dbNode, MsgMessageList &list);
    // Takes the deleted messages out of their conversations and the data set
    // and frees them (the panes must no longer show them).
    static void pruneMessages(_AbsDBItemNode *dbNode, const MsgMessageList &list);
    // Empties the panes and the tree's current node and selection.
    void clearTreeSelection();

    // ---- Backup to local databases (mainwindow_localdb.cpp) ----
    void backupToLocalDb(QString defaultName, const MsgMessageList &list);
    void backupNodeMessages(const MsgMessageList &list);
    void importITunesBackup(QString &name);

    // ---- Browsing and update check (mainwindow_browse.cpp, mainwindow_update.cpp) ----
    // Runs a GET to the web service on one of the two managers; the reply's
    // finished() calls slot. Replies larger than a few kilobytes are cut off.
    QNetworkReply *sendServiceRequest(QNetworkAccessManager &manager, const QUrl &url,
                                      void (MainWindow::*slot)(QNetworkReply *));
    // Detaches and drops the requests still running (the window is going).
    void abandonServiceRequests();
    // Asks about the download once no modal dialog is open, closing the
    // window on Yes once no modal dialog is open.
    void offerDownloadWhenIdle();
    // No modal dialog is open and no nested event loop runs.
    static bool guiIdle();
    // Tells that no web site is configured; false when one is.
    bool noWebSite(const QUrl &page);
    // The plain texts of the shown list, in row order, made on first use
    // after the list changed.
    const QStringList &shownSearchTexts();
    // The folders miClearCache deletes, and whether a store folder lies in one.
    static QStringList cacheFolders();
    static bool isUnderFolder(const QString &path, const QString &folder);

    QPointer<QNetworkReply> m_versionReply;
    QPointer<QNetworkReply> m_advLinkReply;
    QUrl m_pendingDownload;
    bool m_closePending = false;
    QTimer m_idleTimer; // retries offerDownloadWhenIdle; no network work
    bool m_usbTipsShown = false;
    MsgMessageList m_searchList; // the list m_searchTexts was made from
    QStringList m_searchTexts;

    // ---- iPhones: arrival, removal and transfers ----
    // mainwindow_ios.cpp
    // Brings the phone's messages into its store folder, by file_relay or
    // by way of a full backup; false when the load ended (with its message
    // shown, or quietly when the user cancelled or the phone left).
    bool loadIOSDeviceStore(IOSDevice &device);
    bool loadIOSDeviceThroughBackup(IOSDevice &device);
    // Opens the phone's store and shows it in place of an older node of the
    // same phone; false when the store could not be opened.
    bool addLoadedIOSDevice(const IOSDevice &device);
    // Whether the phone has not been reported as gone since it arrived.
    static bool iosDeviceAttached(const IOSDevice &device);
    // The phones that have been told this run to enter their passcode.
    QSet<QString> m_passcodeNoteShown;
    // mainwindow_iostransfer.cpp
    // Backs the chosen attached iPhone up, merges the messages into the
    // backup and restores it to the phone.
    void transferToIPhone(const MsgMessageList &messages);
    // Merges the messages into an iTunes backup the user picks.
    void exportToITunesBackup(const MsgMessageList &messages);

    // ---- Recovered messages (mainwindow_recovery.cpp) ----
    // Reads the source's chats into its data set, then the salvaged messages
    // of its recycle.db when the store has one (none is made here), and
    // rebuilds its conversation nodes. Throws what the databases throw.
    void loadSourceChats(_AbsDBItemNode *node);
    // Empties the source's data set and reads it again (chats, salvaged
    // messages, messages), then shows it when it is current.
    void reloadSourceNode(_AbsDBItemNode *node);

    // Tests read the context menus through this friend.
    friend class MainWindowTestAccess;

    Ui::MainWindow *ui;
    ItemModelMain *treeModel = nullptr;
    ItemModelSms *smsModel = nullptr;
    BubbleViewMgr bubbleMgr;
    QAction *actBackup = nullptr;
    QAction *actA2I = nullptr;
    QAction *actDb2I = nullptr;
    QAction *actExport = nullptr;
    QAction *actExtractMedia = nullptr;
    QAction *actPrint = nullptr;
    QAction *actDelete = nullptr;
    QNetworkAccessManager versionRequest;
    QNetworkAccessManager advLinkRequest;
    QLabel *advLinkLabel = nullptr;
    AndroidMonitor *androidMonitor = nullptr;
    _MsgChat *currentChat = nullptr;
    // The data set that holds the records the panes show, taken from the
    // records where the panes are filled (null when they show none, or
    // records of no source). Held, so that the records outlive their node
    // should it go before the panes are emptied.
    MsgDataSet m_shownRecords;
};

// Work on one phone: its arrival, a load or a transfer. Only one runs per
// phone at a time, identified by the phone's own identity (an iPhone's
// UniqueDeviceID, an Android phone's deviceId), not by the connection's
// handle. Each lives on the stack of the slot running it, for as long as its
// modal dialogs and jobs run; the device notifications delivered in their
// nested event loops find it here:
// - a removal of the phone marks it gone (and drops an announcement held
//   before, which the removal made stale);
// - a new announcement of the phone is held back and runs once the work has
//   ended (queued, so after the slot has returned), unless it was held as a
//   repeat of the connection the work runs on and the work ended up showing
//   the phone. A later announcement replaces one held before.
struct MainWindow::PhoneWork
{
    PhoneWork(MainWindow *window, int kind, const QString &id);
    ~PhoneWork();
    PhoneWork(const PhoneWork &) = delete;
    PhoneWork &operator=(const PhoneWork &) = delete;

    // repeat: the announcement is of the connection this work runs on.
    void holdBack(std::function<void()> announcement, bool repeat);
    void dropHeldBack() { m_held = nullptr; }
    bool holdsBack() const { return bool(m_held); }

    MainWindow *const window;
    const int kind;
    const QString id;
    bool gone = false; // the phone was removed while the work ran
    bool shown = false; // the work ended with the phone shown in the tree

private:
    std::function<void()> m_held;
    bool m_heldRepeats = false;
};
