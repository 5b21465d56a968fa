// Browsing in the main window: what each kind of tree node shows, sorting,
// the two searches, deleting a local database, the cache folders, the
// local-database folder and the Android USB tips.
#include "android/androidmonitor.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "tests/support/ios5smsdb.h"
#include "tests/support/demodata.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/windowtest.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QStyle>
#include <QTest>
#include <QTreeView>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

class MainWindowTestAccess
{
public:
    static void searchMessages(MainWindow &w) { w.searchMessages(); }
    static void searchContacts(MainWindow &w) { w.searchCotnact(); }
    static void delAll(MainWindow &w) { w.miDelAll(); }
    static void clearCache(MainWindow &w) { w.miClearCache(); }
    static void viewCache(MainWindow &w) { w.miViewCache(); }
    static void openDbFolder(MainWindow &w) { w.miOpenDbFolder(); }
    static void usbTips(MainWindow &w) { w.androidUsbTips(); }
    static AndroidMonitor *monitor(MainWindow &w) { return w.androidMonitor; }
};

namespace {

// While it lives, this thread works without the capabilities that let root
// ignore file permissions, so that a read-only folder really stops deletion.
class WithoutFileOverrides
{
public:
    WithoutFileOverrides()
    {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        m_header.pid = 0;
        m_ok = syscall(SYS_capget, &m_header, m_saved) == 0;
        if (!m_ok)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        m_ok = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutFileOverrides()
    {
        if (m_ok)
            syscall(SYS_capset, &m_header, m_saved);
    }
    bool ok() const { return m_ok; }

private:
    __user_cap_header_struct m_header {};
    __user_cap_data_struct m_saved[2] {};
    bool m_ok = false;
};

// A folder holding a file, made read-only so that the file cannot go.
QString lockedFolderIn(const QString &parent)
{
    const QString locked = QDir(parent).absoluteFilePath("locked");
    QDir().mkpath(locked);
    QFile f(locked + "/stays.txt");
    f.open(QIODevice::WriteOnly);
    f.write("x");
    f.close();
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return locked;
}

void unlock(const QString &locked)
{
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                          | QFileDevice::ExeOwner);
}

QString countText(QWidget &w) { return child<QLabel>(w, "lbSMSCount")->text(); }

QStringList shownTexts(MainWindow &w)
{
    QStringList out;
    for (const _MsgMessage *m : w.smsModelObject()->messages())
        out << m->text;
    return out;
}

// The anchor the conversation view scrolls to for a row of the list.
QString anchorOfRow(MainWindow &w, int row)
{
    return QStringLiteral("sms_%1").arg(w.smsModelObject()->messages().at(row)->ROWID);
}

QStringList childTexts(const AbsTreeItemModel::_ItemNode *node)
{
    QStringList out;
    for (const auto *c : node->children)
        out << c->text;
    return out;
}

} // namespace

class TestBrowse : public QObject
{
    Q_OBJECT

    WindowTestEnv env;
    std::unique_ptr<FakeAdb> adb;
    UrlRecorder recorder;

    QString localDbFolder(const QString &name)
    {
        return localDatabasesFolder().absoluteFilePath(name);
    }
    // "Ten": ten messages "m0".."m9", oldest first, rows 3 and 9 holding
    // "Needle" (one of them in capitals), row 5 an emoji; "Other": two
    // messages; the conversation names are those of the handles.
    void makeSearchDb();
    // A local database "Chats" with conversations named "Anna", "Bert",
    // "Carla", "Anders" (newest first in that order).
    void makeChatsDb();
    AbsTreeItemModel::_ItemNode *chatNode(AbsTreeItemModel::_ItemNode *source, const QString &text)
    {
        for (auto *c : source->children)
            if (c->text == text)
                return c;
        return nullptr;
    }

private slots:
    void initTestCase();
    void init();

    void eachNodeKindShowsItsMessages();
    void sortOnlyByDate();
    void dateColumnHoldsItsDates();
    void searchMessagesWrapsAround();
    void searchMessagesEdges();
    void searchConversations();
    void deleteDatabase();
    void deleteDatabaseFolderSurvives();
    void clearCacheClosesOpenSources();
    void clearCacheReportsFoldersLeft();
    void viewCacheAndDatabaseFolder();
    void usbTipsWithoutPhone();
    void usbTipsQuietWithListedPhone();
};

void TestBrowse::initTestCase()
{
    QVERIFY(env.setUp());
    adb = std::make_unique<FakeAdb>();
    QVERIFY(adb->isValid());
    QDesktopServices::setUrlHandler("file", &recorder, "open");
}

void TestBrowse::init()
{
    clearDataSubfolders({"local_databases", "virtual_ios", "virtual_android", "ios_cache",
                         "itunes_cache", "android_cache"});
    recorder.opened.clear();
    adb->setListings({QString()});
}

void TestBrowse::makeSearchDb()
{
    PhoneSmsDb db(localDbFolder("Search"), PhoneSchema::olderLocal());
    const qint64 ten = db.addHandle("+15550010", "SMS", "us", {}, "Ten");
    const qint64 other = db.addHandle("+15550011", "SMS", "us", {}, "Other");
    const qint64 tenChat = db.addChat(ten);
    const QStringList texts {"m0", "m1", "m2", "m3 Needle", "m4", "m5 \U0001F600", "m6", "m7",
                             "m8", "m9 NEEDLE"};
    for (int i = 0; i < texts.size(); ++i)
        db.addText(tenChat, texts.at(i), ten, 1000 + i * 10, i % 2);
    const qint64 otherChat = db.addChat(other);
    db.addText(otherChat, "other needle", other, 500);
    db.addText(otherChat, "other hay", other, 600);
    db.close();
    fillChatLastDates(db.path());
}

void TestBrowse::makeChatsDb()
{
    PhoneSmsDb db(localDbFolder("Chats"), PhoneSchema::olderLocal());
    int date = 100000;
    for (const char *name : {"Anna", "Bert", "Carla", "Anders"}) {
        const qint64 h = db.addHandle(QStringLiteral("+1555%1").arg(date), "SMS", "us", {},
                                      QLatin1String(name));
        db.addText(db.addChat(h), QStringLiteral("from %1").arg(QLatin1String(name)), h, date);
        date -= 1000;
    }
    db.close();
    fillChatLastDates(db.path());
}

// ---- What selecting shows ----

void TestBrowse::eachNodeKindShowsItsMessages()
{
    makeSearchDb();
    QDir().mkpath(localDbFolder("Empty"));
    {
        PhoneSmsDb ios(dataFolder().absoluteFilePath("virtual_ios/Old iPhone"));
        const qint64 h = ios.addHandle("+1666", "SMS", "us", {}, "Ivy");
        const qint64 c = ios.addChat(h);
        ios.addText(c, "ios one", h, 10);
        ios.addText(c, "ios two", h, 20);
        PhoneSmsDb android(dataFolder().absoluteFilePath("virtual_android/Old Android"));
        const qint64 a = android.addHandle("+1777", "SMS", "us", {}, "Andy");
        android.addText(android.addChat(a), "android one", a, 30);
    }
    MainWindow w;
    ItemModelMain *m = w.treeModelObject();
    QCOMPARE(m->devicesRoot->children.size(), 2);
    AbsTreeItemModel::_ItemNode *iphone = nullptr;
    AbsTreeItemModel::_ItemNode *android = nullptr;
    for (auto *n : m->devicesRoot->children)
        (n->kind == kNodeIOSDevice ? iphone : android) = n;
    QVERIFY(iphone && android);

    // A saved device's conversation before its device: only chats were read.
    selectNode(w, iphone->children.value(0));
    QCOMPARE(countText(w), QString("Messages: 0"));
    // The device reads all its messages; its conversation then shows them.
    selectNode(w, iphone);
    QCOMPARE(shownTexts(w), QStringList({"ios one", "ios two"}));
    QCOMPARE(child<QLabel>(w, "lbChatName")->text(), QString("All"));
    selectNode(w, iphone->children.value(0));
    QCOMPARE(shownTexts(w), QStringList({"ios one", "ios two"}));
    QCOMPARE(child<QLabel>(w, "lbChatName")->text(), QString("+1666"));
    selectNode(w, android);
    QCOMPARE(shownTexts(w), QStringList({"android one"}));

    // A local database: first selection reads its conversations and messages.
    _AbsDBItemNode *search = localDb(w, "Search");
    QVERIFY(search->children.isEmpty());
    selectNode(w, search);
    QCOMPARE(childTexts(search), QStringList({"Ten", "Other"}));
    QCOMPARE(countText(w), QString("Messages: 12"));
    QTRY_VERIFY(treeDS(w)->isExpanded(m->indexForNode(search)));
    // Later selections show what was read, without the database.
    search->db->close();
    removeFolderRecursively(localDbFolder("Search"));
    selectNode(w, m->localDbRoot);
    QCOMPARE(countText(w), QString("Messages: 0"));
    QVERIFY(w.smsModelObject()->messages().isEmpty());
    selectNode(w, search);
    QCOMPARE(countText(w), QString("Messages: 12"));
    selectNode(w, chatNode(search, "Other"));
    QCOMPARE(shownTexts(w), QStringList({"other needle", "other hay"}));

    // A database without conversations keeps the panes and stays childless.
    _AbsDBItemNode *empty = localDb(w, "Empty");
    selectNode(w, empty);
    QVERIFY(empty->children.isEmpty());
    QCOMPARE(shownTexts(w), QStringList({"other needle", "other hay"}));
    selectNode(w, m->devicesRoot);
    QCOMPARE(countText(w), QString("Messages: 0"));
    QCOMPARE(child<QLabel>(w, "lbChatName")->text(), QString());

    // A row of the list scrolls the conversation view to it.
    selectNode(w, chatNode(search, "Other"));
    treeSMS(w)->setCurrentIndex(w.smsModelObject()->rowIndex(1));
    QTRY_COMPARE(w.bubbleViewMgr().pendingAnchor(), anchorOfRow(w, 1));
}

void TestBrowse::sortOnlyByDate()
{
    makeSearchDb();
    MainWindow w;
    _AbsDBItemNode *db = localDb(w, "Search");
    selectNode(w, db);
    selectNode(w, chatNode(db, "Ten"));
    QHeaderView *header = treeSMS(w)->header();
    QCOMPARE(shownTexts(w).first(), QString("m0"));

    header->setSortIndicator(0, Qt::DescendingOrder);
    QCOMPARE(shownTexts(w).first(), QString("m9 NEEDLE"));
    QCOMPARE(shownTexts(w).last(), QString("m0"));
    QCOMPARE(w.shownChat(), static_cast<_ChatSessionItemNode *>(chatNode(db, "Ten"))->chats.first());

    // Any other column puts the indicator back on the date, ascending.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
    QCOMPARE(header->sortIndicatorSection(), 0);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(shownTexts(w).first(), QString("m0"));
    QCOMPARE(shownTexts(w).size(), 10);
    QCOMPARE(countText(w), QString("Messages: 10"));
}

void TestBrowse::dateColumnHoldsItsDates()
{
    makeSearchDb();
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    selectNode(w, localDb(w, "Search"));
    QTreeView *view = treeSMS(w);
    QVERIFY(view->model()->rowCount() > 0);
    // Every shown date and the widest the locale writes (a two-digit day and
    // hour in each month), beside the 18-pixel icon and the item's margins.
    QStringList dates;
    for (int row = 0; row < view->model()->rowCount(); ++row)
        dates << view->model()->index(row, 0).data().toString();
    for (int month = 1; month <= 12; ++month)
        dates << QLocale::system().toString(QDateTime(QDate(2026, month, 28), QTime(23, 59, 58)),
                                            QLocale::ShortFormat);
    const QFontMetrics metrics(view->font());
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    const int width = view->header()->sectionSize(0);
    for (const QString &date : std::as_const(dates)) {
        const int needed = view->indentation() + 18 + 4 * margin + metrics.horizontalAdvance(date);
        QVERIFY2(needed <= width, qPrintable(QString("%1: %2 > %3").arg(date).arg(needed).arg(width)));
    }
}

// ---- Searching ----

void TestBrowse::searchMessagesWrapsAround()
{
    makeSearchDb();
    MainWindow w;
    ModalAnswerer answerer;
    _AbsDBItemNode *db = localDb(w, "Search");
    selectNode(w, db);
    selectNode(w, chatNode(db, "Ten"));
    QCOMPARE(w.smsModelObject()->rowCount(), 10);
    treeSMS(w)->setCurrentIndex(w.smsModelObject()->rowIndex(7));
    child<QLineEdit>(w, "txtSMSKeyword")->setText("  needle ");

    // The database is not read again by a search step.
    db->db->close();
    removeFolderRecursively(localDbFolder("Search"));

    QList<int> rows;
    for (int i = 0; i < 3; ++i) {
        MainWindowTestAccess::searchMessages(w);
        rows << treeSMS(w)->currentIndex().row();
    }
    QCOMPARE(rows, QList<int>({9, 3, 9}));
    QCOMPARE(treeSMS(w)->selectionModel()->selectedRows(), {w.smsModelObject()->rowIndex(9)});
    QCOMPARE(w.bubbleViewMgr().pendingAnchor(), anchorOfRow(w, 9));

    // Return in the field and the button (on press) search the same way.
    QTest::keyClick(child<QLineEdit>(w, "txtSMSKeyword"), Qt::Key_Return);
    QCOMPARE(treeSMS(w)->currentIndex().row(), 3);
    QTest::mousePress(child<QWidget>(w, "btnSearchSMS"), Qt::LeftButton);
    QCOMPARE(treeSMS(w)->currentIndex().row(), 9);
    QTest::mouseRelease(child<QWidget>(w, "btnSearchSMS"), Qt::LeftButton);
    QCOMPARE(treeSMS(w)->currentIndex().row(), 9);

    // Another list: the search looks at the rows now shown.
    selectNode(w, chatNode(db, "Other"));
    MainWindowTestAccess::searchMessages(w);
    QCOMPARE(treeSMS(w)->currentIndex().row(), 0);
    QVERIFY(answerer.seen().isEmpty());
}

void TestBrowse::searchMessagesEdges()
{
    makeSearchDb();
    MainWindow w;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    QLineEdit *keyword = child<QLineEdit>(w, "txtSMSKeyword");

    // Nothing shown.
    keyword->setText("m1");
    MainWindowTestAccess::searchMessages(w);
    QCOMPARE(seenTexts(answerer), QStringList({"Can't find any Message."}));

    _AbsDBItemNode *db = localDb(w, "Search");
    selectNode(w, db);
    selectNode(w, chatNode(db, "Ten"));
    // Blanks only: nothing at all.
    keyword->setText("   ");
    MainWindowTestAccess::searchMessages(w);
    QCOMPARE(answerer.seen().size(), 1);
    QVERIFY(!treeSMS(w)->currentIndex().isValid());

    // Emoji are searched as "[EMOJI]"; with no current row the search
    // starts at the top.
    keyword->setText("[emoji]");
    MainWindowTestAccess::searchMessages(w);
    QCOMPARE(treeSMS(w)->currentIndex().row(), 5);

    // No match names the keyword, as text.
    keyword->setText("<b>hay</b>");
    MainWindowTestAccess::searchMessages(w);
    QCOMPARE(answerer.seen().size(), 2);
    QCOMPARE(answerer.seen().at(1).text,
             QString("Find no Message with keyword &lt;b&gt;hay&lt;/b&gt;."));
    QCOMPARE(answerer.seen().at(1).shown, QString("Find no Message with keyword <b>hay</b>."));
    // An entity alone, no tag, reads as typed too.
    keyword->setText("R&D");
    MainWindowTestAccess::searchMessages(w);
    QCOMPARE(answerer.seen().size(), 3);
    QCOMPARE(answerer.seen().at(2).shown, QString("Find no Message with keyword R&D."));
    QCOMPARE(treeSMS(w)->currentIndex().row(), 5);
}

void TestBrowse::searchConversations()
{
    makeChatsDb();
    MainWindow w;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    QLineEdit *keyword = child<QLineEdit>(w, "txtHandleKeyword");
    keyword->setText("AN");

    // No current node, or a root: nothing.
    MainWindowTestAccess::searchContacts(w);
    selectNode(w, w.treeModelObject()->localDbRoot);
    MainWindowTestAccess::searchContacts(w);
    QVERIFY(answerer.seen().isEmpty());

    _AbsDBItemNode *db = localDb(w, "Chats");
    selectNode(w, db);
    QCOMPARE(childTexts(db), QStringList({"Anna", "Bert", "Carla", "Anders"}));
    auto current = [&w] { return w.currentNode() ? w.currentNode()->text : QString(); };
    // From the source node: from the first conversation on.
    MainWindowTestAccess::searchContacts(w);
    QCOMPARE(current(), QString("Anna"));
    QCOMPARE(shownTexts(w), QStringList({"from Anna"}));
    // From a conversation: the next rows, then around from the top.
    MainWindowTestAccess::searchContacts(w);
    QCOMPARE(current(), QString("Anders"));
    MainWindowTestAccess::searchContacts(w);
    QCOMPARE(current(), QString("Anna"));
    keyword->setText("carla");
    MainWindowTestAccess::searchContacts(w);
    QCOMPARE(current(), QString("Carla"));
    // The current conversation itself is tried last.
    MainWindowTestAccess::searchContacts(w);
    QCOMPARE(current(), QString("Carla"));

    keyword->setText(" zed ");
    MainWindowTestAccess::searchContacts(w);
    QCOMPARE(seenTexts(answerer), QStringList({"Find no contact with keyword zed."}));
    QCOMPARE(current(), QString("Carla"));
}

// ---- Deleting a local database ----

void TestBrowse::deleteDatabase()
{
    makeSearchDb();
    makeChatsDb();
    MainWindow w;
    ModalAnswerer answerer;
    _AbsDBItemNode *db = localDb(w, "Search");
    selectNode(w, db);
    QCOMPARE(countText(w), QString("Messages: 12"));

    // No: nothing changes.
    answerer.press("QMessageBox", "btnNo");
    MainWindowTestAccess::delAll(w);
    QVERIFY(QDir(localDbFolder("Search")).exists());
    QCOMPARE(localDb(w, "Search"), db);

    // A conversation is not a database: no question.
    selectNode(w, db->children.first());
    MainWindowTestAccess::delAll(w);
    QCOMPARE(answerer.seen().size(), 1);

    selectNode(w, db);
    answerer.press("QMessageBox", "btnYes").press("QMessageBox", "btnOk");
    MainWindowTestAccess::delAll(w);
    QCOMPARE(seenTexts(answerer), QStringList({"Confirm to delete this Database?",
                                              "Confirm to delete this Database?",
                                              "Successfully Deleted Database Search."}));
    QVERIFY(!QFileInfo::exists(localDbFolder("Search")));
    QVERIFY(!localDb(w, "Search"));
    QVERIFY(localDb(w, "Chats"));
    // The panes hold nothing of the deleted database (the selection moves on).
    for (const QString &t : shownTexts(w))
        QVERIFY2(t.startsWith("from "), qPrintable(t));
    QVERIFY(w.currentNode() != static_cast<AbsTreeItemModel::_ItemNode *>(db));
}

void TestBrowse::deleteDatabaseFolderSurvives()
{
    makeSearchDb();
    MainWindow w;
    ModalAnswerer answerer;
    _AbsDBItemNode *db = localDb(w, "Search");
    selectNode(w, db);
    const QString locked = lockedFolderIn(localDbFolder("Search"));
    {
        WithoutFileOverrides asUser;
        QVERIFY(asUser.ok());
        answerer.press("QMessageBox", "btnYes").press("QMessageBox", "btnOk");
        MainWindowTestAccess::delAll(w);
    }
    unlock(locked);
    QCOMPARE(answerer.seen().size(), 2);
    QCOMPARE(answerer.seen().at(1).icon, int(QMessageBox::Warning));
    QVERIFY(answerer.seen().at(1).text.startsWith("Could not delete Database Search"));
    QVERIFY(answerer.seen().at(1).text.contains(localDbFolder("Search")));
    // The node stays, so that the user can try again.
    QCOMPARE(localDb(w, "Search"), db);
    answerer.press("QMessageBox", "btnYes").press("QMessageBox", "btnOk");
    MainWindowTestAccess::delAll(w);
    QCOMPARE(answerer.seen().at(3).text, QString("Successfully Deleted Database Search."));
    QVERIFY(!localDb(w, "Search"));
    QVERIFY(!QFileInfo::exists(localDbFolder("Search")));
}

// ---- Cache folders ----

void TestBrowse::clearCacheClosesOpenSources()
{
    makeChatsDb();
    const QDir data = dataFolder();
    {
        PhoneSmsDb phone(data.absoluteFilePath("android_cache/serial-1"));
        const qint64 h = phone.addHandle("+1888", "SMS", "us", {}, "Phoebe");
        phone.addText(phone.addChat(h), "cached text", h, 40);
        PhoneSmsDb saved(data.absoluteFilePath("virtual_ios/Kept iPhone"));
        const qint64 s = saved.addHandle("+1999");
        saved.addText(saved.addChat(s), "kept", s, 50);
    }
    QDir().mkpath(data.absoluteFilePath("ios_cache/udid-1/file-relay"));
    QDir().mkpath(data.absoluteFilePath("itunes_cache/backup-1"));

    MainWindow w;
    ItemModelMain *m = w.treeModelObject();
    // An Android phone whose store is its cache folder, shown in the panes.
    AndroidDevice device;
    device.model = "Cached";
    device.uid = "serial-1";
    _AndroidDeviceItemNode *phone = m->addAndroidDeviceNode(
            QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(
                    QDir(data.absoluteFilePath("android_cache/serial-1")), QString(), true)),
            device);
    selectNode(w, phone);
    QCOMPARE(shownTexts(w), QStringList({"cached text"}));
    const TreeNodeRef ref = w.nodeRef(phone);

    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    MainWindowTestAccess::clearCache(w);
    QCOMPARE(seenTexts(answerer), QStringList({"Successfully cleared cache files."}));
    QVERIFY(!ref.resolve());
    QVERIFY(!shownTexts(w).contains("cached text"));
    for (const char *sub : {"ios_cache", "itunes_cache", "android_cache"})
        QVERIFY2(!QFileInfo::exists(data.absoluteFilePath(QLatin1String(sub))), sub);
    // Not cache: the saved copy and the local database stay, in the tree too.
    QVERIFY(QFileInfo::exists(data.absoluteFilePath("virtual_ios/Kept iPhone")));
    QVERIFY(QFileInfo::exists(localDbFolder("Chats")));
    QCOMPARE(m->devicesRoot->children.size(), 1);
    QCOMPARE(m->devicesRoot->children.first()->text, QString("Kept iPhone"));
    QVERIFY(localDb(w, "Chats"));
}

void TestBrowse::clearCacheReportsFoldersLeft()
{
    const QDir data = dataFolder();
    QDir().mkpath(data.absoluteFilePath("ios_cache/udid-2"));
    QDir().mkpath(data.absoluteFilePath("android_cache/serial-2"));
    const QString locked = lockedFolderIn(data.absoluteFilePath("ios_cache/udid-2"));
    MainWindow w;
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    {
        WithoutFileOverrides asUser;
        QVERIFY(asUser.ok());
        MainWindowTestAccess::clearCache(w);
    }
    unlock(locked);
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().at(0).icon, int(QMessageBox::Warning));
    QCOMPARE(answerer.seen().at(0).text,
             QString("Some cache files could not be removed. These folders are still there:<br/>")
                     + data.absoluteFilePath("ios_cache"));
    QVERIFY(!QFileInfo::exists(data.absoluteFilePath("android_cache")));
}

void TestBrowse::viewCacheAndDatabaseFolder()
{
    {
        PhoneSmsDb android(dataFolder().absoluteFilePath("virtual_android/Saved Pixel"));
        const qint64 a = android.addHandle("+1777");
        android.addText(android.addChat(a), "x", a, 30);
    }
    makeChatsDb();
    MainWindow w;
    ItemModelMain *m = w.treeModelObject();
    // Nothing for a local database.
    selectNode(w, localDb(w, "Chats"));
    MainWindowTestAccess::viewCache(w);
    QVERIFY(recorder.opened.isEmpty());

    selectNode(w, m->devicesRoot->children.first());
    MainWindowTestAccess::viewCache(w);
    MainWindowTestAccess::openDbFolder(w);
    QCOMPARE(recorder.opened,
             QList<QUrl>({QUrl::fromLocalFile(
                                  dataFolder().absoluteFilePath("virtual_android/Saved Pixel")),
                          QUrl::fromLocalFile(localDatabasesFolder().absolutePath())}));

    // An iPhone whose store holds an older sms.db: the phone's cache folder,
    // not the folder deep below it that holds that file.
    IOSDevice older;
    older.DeviceName = QStringLiteral("Old iPhone");
    older.UniqueDeviceID = QStringLiteral("00112233445566778899aabbccddeeff00112233");
    older.deviceHandle = reinterpret_cast<AMDeviceRef>(quintptr(0x20)); // never dereferenced
    const QString store = older.cacheDir().absolutePath();
    {
        IOS5SmsDb five(store);
    }
    _IOSDeviceItemNode *node = m->addIOSDeviceNode(
            QSharedPointer<AbsIOSMessageDb>(new IOS5MessageDb(QDir(store), QStringLiteral("310"))),
            older);
    selectNode(w, node);
    recorder.opened.clear();
    MainWindowTestAccess::viewCache(w);
    QCOMPARE(recorder.opened, QList<QUrl> {QUrl::fromLocalFile(store)});
}

// ---- Android USB tips ----

void TestBrowse::usbTipsWithoutPhone()
{
    MainWindow w;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    MainWindowTestAccess::usbTips(w);
    MainWindowTestAccess::usbTips(w); // at most once a run
    QCOMPARE(answerer.seen().size(), 1);
    const QString text = answerer.seen().at(0).text;
    QVERIFY(text.startsWith("<b>Android device not found.</b>"));
    for (const char *part : {"USB debugging", "Allow USB debugging?", "udev rules", "plugdev"})
        QVERIFY2(text.contains(QLatin1String(part)), part);
    // No web site configured: no links, and never a link to a program.
    QVERIFY(!text.contains("href"));
    QVERIFY(!text.contains(".exe"));
}

void TestBrowse::usbTipsQuietWithListedPhone()
{
    adb->setListings({FakeAdb::listing({{"R58M00TEST", "unauthorized"}})});
    MainWindow w;
    AndroidMonitor *monitor = MainWindowTestAccess::monitor(w);
    // Only the listing matters here, not what the window does with the phone.
    QObject::disconnect(monitor, nullptr, &w, nullptr);
    QTRY_COMPARE(monitor->seenSerials(), QStringList({"R58M00TEST"}));
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    MainWindowTestAccess::usbTips(w);
    QTest::qWait(100);
    QVERIFY(answerer.seen().isEmpty());
}

QTEST_MAIN(TestBrowse)
#include "tst_browse.moc"
