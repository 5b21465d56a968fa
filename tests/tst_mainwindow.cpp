// The main window: start-up on a data folder, the source tree's model,
// browsing a local database, the enabling of actions and the context menus.
#include "android/androiddevice.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/errorreport.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "tests/support/demodata.h"
#include "tests/support/messagefixture.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/windowtest.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"
#include "ui/startup.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QBuffer>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QTest>
#include <QTextDocumentFragment>
#include <QScrollBar>
#include <QThreadPool>
#include <QTimer>
#include <QToolBar>

#include <atomic>
#include <memory>

// Reaches the parts of the window that only the window itself uses.
class MainWindowTestAccess
{
public:
    static QMenu *treeMenu(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
    {
        return w.buildTreeContextMenu(node);
    }
    static QMenu *smsMenu(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
    {
        return w.buildSmsContextMenu(node);
    }
    static QList<QAction *> keptActions(MainWindow &w)
    {
        return {w.actBackup, w.actA2I, w.actDb2I, w.actExtractMedia,
                w.actExport, w.actPrint, w.actDelete};
    }
    static QLabel *advLink(MainWindow &w) { return w.advLinkLabel; }
};

namespace {

// "Text" for an enabled entry, "(Text)" for a disabled one; separators skipped.
QStringList entries(const QList<QAction *> &actions)
{
    QStringList out;
    for (const QAction *a : actions) {
        if (a->isSeparator())
            continue;
        out.append(a->isEnabled() ? a->text() : QStringLiteral("(%1)").arg(a->text()));
    }
    return out;
}

QStringList menuEntries(QMenu *menu)
{
    std::unique_ptr<QMenu> owned(menu);
    return owned ? entries(owned->actions()) : QStringList {QStringLiteral("<no menu>")};
}

QString storeFolder(const QString &parent, const QString &name)
{
    return QDir(parent).absoluteFilePath(name);
}

QString labelText(QWidget &w, const char *name) { return child<QLabel>(w, name)->text(); }

QString name36() { return QStringLiteral("Weekend hiking club and friends 123"); }

// An Android phone attached over USB, its 30 messages with Andy in its cache
// folder, added to the tree as its arrival adds it.
_AndroidDeviceItemNode *addAttachedPhone(MainWindow &w)
{
    AndroidDevice d;
    d.serial = QStringLiteral("SER0001");
    d.model = QStringLiteral("Moto");
    d.imei = QStringLiteral("350000000000001");
    d.uid = QStringLiteral("uid-0001");
    const QString store = androidCacheDir(d).absolutePath();
    {
        PhoneSmsDb db(store, PhoneSchema::olderLocal());
        const qint64 h = db.addHandle("+17770001", "SMS", "us", {}, "Andy");
        const qint64 c = db.addChat(h);
        for (int i = 0; i < 30; ++i)
            db.addText(c, QStringLiteral("phone says %1").arg(i), h, 1000 + i * 60, i % 2);
        db.close();
        fillChatLastDates(db.path());
    }
    QSharedPointer<AbsIOSMessageDb> db(new IOS6MessageDb(QDir(store), QString(), true));
    _AndroidDeviceItemNode *node = w.treeModelObject()->addAndroidDeviceNode(db, d);
    db->chats(node->dataSet);
    w.treeModelObject()->rebuildChatSessions(node);
    return node;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    WindowTestEnv env;
    std::unique_ptr<FakeAdb> adb;

    // Empties the data folder's local databases and saved devices.
    void clearDataFolder();
    // A local database "Family" of three conversations: Alice (one-to-one,
    // 60 messages), a group named name36() and Bob (one message).
    void makeFamilyDb();

private slots:
    void initTestCase();
    void init() { clearDataFolder(); }

    void modelRootsAndDeviceCounts();
    void modelConversationsAndRoles();
    void modelIconsAndColours();
    void localDbNames_data();
    void localDbNames();
    void nodeRefOutlivesItsNode();

    void constructionOnDataFolder();
    void paintsAndAnswersWithOnePoolThread();
    void userJourneyThroughLocalDatabase();
    void chatLabelRule_data();
    void chatLabelRule();
    void phoneNamesShowAsText();
    void showNodeMessagesSortsByHeaderOrder();
    void selectedMessagesInSelectionOrder();
    void removingShownSourceEmptiesPanes();
    void sourceRemovedWhileAnotherIsCurrent_data();
    void sourceRemovedWhileAnotherIsCurrent();
    void listStartsAtTopForAnotherConversation();
    void queuedSelectionOfRemovedNodeIsDropped();
    void actionsFollowNodeKind();
    void contextMenusPerKind();
    void treeViewSignalsComeFirst();

    void startupChecks();
};

void TestMainWindow::initTestCase()
{
    // No Apple libraries: the window must not subscribe to notifications.
    QVERIFY(env.setUp());
    // The Android watcher talks to a stand-in, never to a real adb server.
    adb = std::make_unique<FakeAdb>();
    QVERIFY(adb->isValid());
}

void TestMainWindow::clearDataFolder()
{
    clearDataSubfolders({"local_databases", "virtual_ios", "virtual_android", "data",
                         "android_cache"});
    QFile::remove(dataFolder().absoluteFilePath(QStringLiteral("last-adv")));
}

void TestMainWindow::makeFamilyDb()
{
    PhoneSmsDb db(storeFolder(localDatabasesFolder().absolutePath(), "Family"),
                  PhoneSchema::olderLocal());
    const qint64 alice = db.addHandle("+15550001", "SMS", "us", {}, "Alice");
    const qint64 bob = db.addHandle("+15550002", "SMS", "us", {}, "Bob");
    const qint64 carol = db.addHandle("+15550003");
    const qint64 aliceChat = db.addChat(alice);
    for (int i = 0; i < 60; ++i)
        db.addText(aliceChat, QStringLiteral("alice says %1").arg(i), alice, 10000 + i * 1000,
                   i % 3 == 0);
    const qint64 group = db.addGroupChat({bob, carol}, "iMessage", name36());
    db.addText(group, "group hello", bob, 500000);
    db.addText(group, "group reply", carol, 500100);
    const qint64 bobChat = db.addChat(bob);
    db.addText(bobChat, "bob only", bob, 5000);
    db.close();
    fillChatLastDates(db.path());
}

// ---- The source tree's model ----

void TestMainWindow::modelRootsAndDeviceCounts()
{
    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.index(0, 0).data().toString(), QString("Devices"));
    QCOMPARE(model.index(1, 0).data().toString(), QString("Local Databases"));
    QCOMPARE(model.rowCount(model.index(0, 0)), 0);
    QCOMPARE(model.rowCount(model.index(1, 0)), 0);
    QCOMPARE(model.countDeviceNodes(kNodeIOSDevice), 0);
    QCOMPARE(model.countDeviceNodes(kNodeAndroidDevice), 0);

    IOSDevice a;
    a.DeviceName = "iPhone A";
    IOSDevice b;
    b.DeviceName = "iPhone B";
    AndroidDevice phone;
    phone.manufacturer = "Acme";
    phone.model = "X1";
    model.addIOSDeviceNode({}, a);
    model.addAndroidDeviceNode({}, phone);
    model.addIOSDeviceNode({}, b);
    QStringList texts;
    for (auto *n : model.devicesRoot->children)
        texts << n->text;
    QCOMPARE(texts, (QStringList {"iPhone A", "Acme X1", "iPhone B"}));
    QCOMPARE(model.countDeviceNodes(kNodeIOSDevice), 2);
    QCOMPARE(model.countDeviceNodes(kNodeAndroidDevice), 1);

    QVERIFY(!model.headerData(0, Qt::Horizontal).isValid());
    QVERIFY(!model.headerData(3, Qt::Vertical, Qt::ToolTipRole).isValid());
}

void TestMainWindow::modelConversationsAndRoles()
{
    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    _LocalDBItemNode *db = model.addLocalDbNode({}, "Archive");
    QVERIFY(db);
    model.rebuildChatSessions(db);
    QCOMPARE(db->children.size(), 0);

    // Two chats share an identifier: one conversation, newest first overall.
    _MsgDataSet *set = db->dataSet.data();
    auto addChat = [set](qint64 rowid, const QString &ident, qint32 last, const QString &name) {
        auto *c = new _MsgChat;
        c->ROWID = rowid;
        c->chat_identifier = ident;
        c->lastDate = last;
        c->display_name = name;
        set->chats.insert(rowid, c);
        return c;
    };
    addChat(1, "+1", 100, "Old one");
    addChat(2, "+2", 900, "Newest");
    addChat(3, "+1", 500, "Old one again");
    addChat(4, "+3", 300, "Middle");
    model.rebuildChatSessions(db);
    QStringList texts;
    for (auto *n : db->children)
        texts << n->text;
    QCOMPARE(texts, (QStringList {"Newest", "Old one", "Middle"}));
    auto *merged = static_cast<_ChatSessionItemNode *>(db->children.at(1));
    QCOMPARE(merged->chats.size(), 2);
    QCOMPARE(merged->lastDate, 500);

    // Rebuilding again replaces the children instead of adding to them.
    model.rebuildChatSessions(db);
    QCOMPARE(db->children.size(), 3);

    const QModelIndex chatIndex = model.indexForNode(db->children.at(1));
    QCOMPARE(model.columnCount(chatIndex), 1);
    for (const QModelIndex &i : {model.index(0, 0), model.indexForNode(db), chatIndex}) {
        QCOMPARE(i.data(Qt::SizeHintRole).toSize(), QSize(0, 25));
        QCOMPARE(i.data(Qt::ToolTipRole).toString(), i.data().toString());
        QVERIFY(!i.data(Qt::EditRole + 100).isValid());
    }
    QCOMPARE(model.flags(chatIndex), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
}

void TestMainWindow::modelIconsAndColours()
{
    ItemModelMain model;
    _LocalDBItemNode *db = model.addLocalDbNode({}, "Archive");
    _MsgDataSet *set = db->dataSet.data();
    auto handle = [set](qint64 rowid, const QByteArray &photo) {
        auto *h = new _MsgHandle;
        h->ROWID = rowid;
        h->id = QString::number(rowid);
        h->photo = photo;
        set->handles.insert(rowid, h);
        return h;
    };
    auto chat = [set](qint64 rowid, qint32 last, QList<_MsgHandle *> members) {
        auto *c = new _MsgChat;
        c->ROWID = rowid;
        c->chat_identifier = QString::number(rowid);
        c->lastDate = last;
        for (auto *h : members)
            c->handles.insert(QString::number(h->ROWID), h);
        set->chats.insert(rowid, c);
    };
    QImage pic(40, 20, QImage::Format_RGB32);
    pic.fill(Qt::blue);
    QByteArray png;
    QBuffer buf(&png);
    buf.open(QIODevice::WriteOnly);
    pic.save(&buf, "PNG");

    chat(-1947483646, 60, {handle(1, png)}); // photo; normal colour (limit itself)
    chat(-1947483647, 50, {handle(2, "not a picture")}); // red; corrupt photo
    chat(7, 40, {handle(3, png), handle(4, png)}); // group: no photo consulted
    model.rebuildChatSessions(db);
    QCOMPARE(db->children.size(), 3);
    const QModelIndex photoChat = model.indexForNode(db->children.at(0));
    const QModelIndex redChat = model.indexForNode(db->children.at(1));
    const QModelIndex group = model.indexForNode(db->children.at(2));

    const QImage photo = photoChat.data(Qt::DecorationRole).value<QImage>();
    QCOMPARE(photo.height(), 18);
    QCOMPARE(photo.width(), 36);
    QVERIFY(!photoChat.data(Qt::ForegroundRole).isValid());
    QCOMPARE(redChat.data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    QVERIFY(!group.data(Qt::ForegroundRole).isValid());

    auto resourceIcon = [](const char *path) {
        const QImage img(QString::fromLatin1(path));
        return img.isNull() ? img : img.scaledToWidth(18, Qt::FastTransformation);
    };
    QCOMPARE(redChat.data(Qt::DecorationRole).value<QImage>(), resourceIcon(":/res/contact.png"));
    QCOMPARE(group.data(Qt::DecorationRole).value<QImage>(), resourceIcon(":/res/group.png"));
    QCOMPARE(model.index(0, 0).data(Qt::DecorationRole).value<QImage>(),
             resourceIcon(":/res/devices.png"));
    QCOMPARE(model.indexForNode(db).data(Qt::DecorationRole).value<QImage>(),
             resourceIcon(":/res/database.png"));
}

void TestMainWindow::localDbNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("listed");
    QTest::newRow("plain") << "Family" << true;
    QTest::newRow("leading dot") << ".hidden" << true;
    QTest::newRow("unicode") << QString::fromUtf8("Família 2013") << true;
    QTest::newRow("dots only") << "..." << false;
    QTest::newRow("one dot") << "." << false;
    QTest::newRow("blank") << "   " << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("control char") << QString("a\x01z") << false;
    QTest::newRow("line feed") << "two\nlines" << false;
    QTest::newRow("escape") << QString("x\x1b[31m") << false;
}

void TestMainWindow::localDbNames()
{
    QFETCH(QString, name);
    QFETCH(bool, listed);
    ItemModelMain model;
    QCOMPARE(model.addLocalDbNode({}, name) != nullptr, listed);
    QCOMPARE(model.localDbRoot->children.size(), listed ? 1 : 0);
}

void TestMainWindow::nodeRefOutlivesItsNode()
{
    ItemModelMain model;
    _LocalDBItemNode *a = model.addLocalDbNode({}, "A");
    const TreeNodeRef ref(&model, a);
    QCOMPARE(ref.resolve(), a);
    model.removeNode(a);
    QVERIFY(!ref.resolve());
    // A later node at whatever address is not the one referred to.
    for (int i = 0; i < 20; ++i)
        model.addLocalDbNode({}, QStringLiteral("B%1").arg(i));
    QVERIFY(!ref.resolve());
}

// ---- The window ----

void TestMainWindow::constructionOnDataFolder()
{
    makeFamilyDb();
    const QString locals = localDatabasesFolder().absolutePath();
    QDir().mkpath(storeFolder(locals, "Empty one"));
    QDir().mkpath(storeFolder(locals, "Second"));
    QDir().mkpath(storeFolder(locals, "..."));
    const QString vios = dataFolder().absoluteFilePath("virtual_ios");
    {
        PhoneSmsDb phone(storeFolder(vios, "Old iPhone"));
        const qint64 h = phone.addHandle("+15559999");
        phone.addText(phone.addChat(h), "from the old phone", h, 100);
    }
    QDir().mkpath(storeFolder(vios, "Blank iPhone"));
    QDir().mkpath(storeFolder(dataFolder().absoluteFilePath("virtual_android"), "Pixel 9"));
    {
        QFile adv(dataFolder().absoluteFilePath("last-adv"));
        QVERIFY(adv.open(QIODevice::WriteOnly));
        adv.write("<a href=\"http://127.0.0.1/x\">News</a>");
        adv.write(QByteArray(1, '\0'));
        adv.write("garbage after the end");
    }

    ModalAnswerer answerer;
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(answerer.seen().size(), 0); // no error box, no subscription failure

    QCOMPARE(w.windowTitle(), QString("Pelicorde"));
    QCOMPARE(w.size(), QSize(1000, 680));
    QCOMPARE(child<QToolBar>(w, "mainToolBar")->iconSize(), QSize(52, 52));
    QCOMPARE(child<QSplitter>(w, "splitter")->count(), 3);
    QCOMPARE(labelText(w, "lbSMSCount"), QString("Messages: 0"));
    // The saved line is shown as a plain, restyled link.
    QCOMPARE(MainWindowTestAccess::advLink(w)->text(),
             QString("<a style=\"color:#2762DA;text-decoration:none;\" "
                     "href=\"http://127.0.0.1/x\">News</a>"));
    QStringList menus;
    for (QAction *a : child<QMenuBar>(w, "menuBar")->actions())
        menus << a->text();
    QCOMPARE(menus, (QStringList {"File", "Tools", "Help"}));
    QCOMPARE(child<QToolBar>(w, "mainToolBar")->actions().size(), 8);
    for (QAction *a : MainWindowTestAccess::keptActions(w))
        QVERIFY2(!a->isEnabled(), qPrintable(a->text()));

    ItemModelMain *m = w.treeModelObject();
    QStringList dbs;
    for (auto *n : m->localDbRoot->children) {
        dbs << n->text;
        QCOMPARE(n->children.size(), 0);
    }
    dbs.sort();
    QCOMPARE(dbs, (QStringList {"Empty one", "Family", "Second"}));
    QVERIFY(treeDS(w)->isExpanded(m->indexForNode(m->localDbRoot)));
    QVERIFY(treeDS(w)->isExpanded(m->indexForNode(m->devicesRoot)));
    // Nothing was read: the empty folders got no database.
    QVERIFY(!QFile::exists(PhoneSmsDb::smsDbPathOf(storeFolder(locals, "Second"))));

    QMap<QString, AbsTreeItemModel::_ItemNode *> devices;
    for (auto *n : m->devicesRoot->children)
        devices.insert(n->text, n);
    QCOMPARE(devices.keys(), (QStringList {"Blank iPhone", "Old iPhone", "Pixel 9"}));
    QCOMPARE(devices["Old iPhone"]->kind, int(kNodeIOSDevice));
    QCOMPARE(devices["Old iPhone"]->children.size(), 1);
    QCOMPARE(devices["Blank iPhone"]->children.size(), 0);
    QCOMPARE(devices["Pixel 9"]->kind, int(kNodeAndroidDevice));
    QCOMPARE(static_cast<_IOSDeviceItemNode *>(devices["Old iPhone"])->device.UniqueDeviceID,
             storeFolder(vios, "Old iPhone"));
}

void TestMainWindow::paintsAndAnswersWithOnePoolThread()
{
    // On a one-CPU machine Qt's global thread pool has one thread, and Qt's
    // painting hands parts of its work (smooth scaling, image conversion)
    // to that pool and waits for them: nothing of the window may keep it.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int oldMax = pool->maxThreadCount();
    pool->setMaxThreadCount(1);
    auto restore = qScopeGuard([&] { pool->setMaxThreadCount(oldMax); });
    makeFamilyDb();
    const qsizetype listings = adb->calls({"devices"}).size();
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // The device watcher has started and polls.
    QTRY_VERIFY_WITH_TIMEOUT(adb->calls({"devices"}).size() > listings, 20000);
    std::atomic<bool> ran {false};
    pool->start([&ran] { ran = true; });
    QTRY_VERIFY_WITH_TIMEOUT(ran.load(), 20000);
    // Smooth scaling of this size is split over the pool, the caller waiting.
    QImage big(1200, 900, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::darkCyan);
    QCOMPARE(big.scaled(1000, 700, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).size(),
             QSize(1000, 700));

    // It paints: a picture of the window is not one colour.
    auto colours = [](const QImage &image) {
        QSet<QRgb> seen;
        for (int y = 0; y < image.height() && seen.size() < 3; y += 7)
            for (int x = 0; x < image.width() && seen.size() < 3; x += 7)
                seen.insert(image.pixel(x, y));
        return seen.size();
    };
    QVERIFY(colours(w.grab().toImage()) >= 3);

    // It answers: a database chosen in the tree is shown.
    QSignalSpy rendered(&w.bubbleViewMgr(), &BubbleViewMgr::pageRendered);
    _AbsDBItemNode *family = localDb(w, "Family");
    QVERIFY(family);
    selectNode(w, family);
    QTRY_COMPARE_WITH_TIMEOUT(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(family),
                              20000);
    QCOMPARE(w.smsModelObject()->rowCount(), 63);
    QCOMPARE(labelText(w, "lbSMSCount"), QString("Messages: 63"));
    QTRY_VERIFY_WITH_TIMEOUT(rendered.count() >= 1, 20000);
    QVERIFY(colours(w.grab().toImage()) >= 3);
}

void TestMainWindow::userJourneyThroughLocalDatabase()
{
    makeFamilyDb();
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    MyTreeView *tree = treeDS(w);
    ItemModelMain *m = w.treeModelObject();

    tree->expand(m->indexForNode(m->localDbRoot));
    _AbsDBItemNode *family = localDb(w, "Family");
    QVERIFY(family);
    QVERIFY(family->children.isEmpty());

    QSignalSpy rendered(&w.bubbleViewMgr(), &BubbleViewMgr::pageRendered);
    selectNode(w, family);
    QCOMPARE(family->children.size(), 3);
    QTRY_VERIFY(tree->isExpanded(m->indexForNode(family)));
    QCOMPARE(w.smsModelObject()->rowCount(), 63);
    QCOMPARE(labelText(w, "lbSMSCount"), QString("Messages: 63"));
    QCOMPARE(labelText(w, "lbChatName"), QString("All"));
    QVERIFY(!w.shownChat());
    QVERIFY(rendered.count() >= 1);
    // Oldest first: Bob's message at date 5000 comes before Alice's first.
    QCOMPARE(w.shownMessages().first()->text, QString("bob only"));

    // Conversations newest first: the group, Alice, Bob.
    QStringList names;
    for (auto *n : family->children)
        names << n->text;
    QCOMPARE(names, (QStringList {name36(), "Alice", "Bob"}));

    // The group: its name is cut to 25 characters.
    selectNode(w, family->children.at(0));
    QCOMPARE(labelText(w, "lbSMSCount"), QString("Messages: 2"));
    QCOMPARE(labelText(w, "lbChatName"), name36().left(25) + "...");
    QVERIFY(w.shownChat());

    // Alice: 60 rows in date order, two bubble pages holding her texts.
    selectNode(w, family->children.at(1));
    QCOMPARE(w.smsModelObject()->rowCount(), 60);
    QCOMPARE(labelText(w, "lbChatName"), QString("Alice"));
    for (int row = 0; row < 60; ++row)
        QCOMPARE(w.smsModelObject()->messageAt(w.smsModelObject()->rowIndex(row))->text,
                 QStringLiteral("alice says %1").arg(row));
    BubbleViewMgr &bubbles = w.bubbleViewMgr();
    QCOMPARE(bubbles.pageCount(), 2);
    QCOMPARE(bubbles.currentPage(), 1);
    const QString page1 = bubbles.pageHtml(1);
    QVERIFY(page1.contains("alice says 0"));
    QVERIFY(page1.contains("alice says 49"));
    QVERIFY(!page1.contains("alice says 50"));

    // Choosing row 55 in the list turns the view to page 2.
    treeSMS(w)->setCurrentIndex(w.smsModelObject()->rowIndex(55));
    QCOMPARE(bubbles.currentPage(), 2);

    // Selecting the database again shows its messages without reading it.
    QFile::remove(PhoneSmsDb::smsDbPathOf(storeFolder(localDatabasesFolder().absolutePath(), "Family")));
    selectNode(w, m->localDbRoot);
    QCOMPARE(labelText(w, "lbSMSCount"), QString("Messages: 0"));
    QCOMPARE(labelText(w, "lbChatName"), QString());
    selectNode(w, family);
    QCOMPARE(w.smsModelObject()->rowCount(), 63);
}

void TestMainWindow::chatLabelRule_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label");
    QTest::newRow("36") << name36() << name36().left(25) + "...";
    QTest::newRow("26") << QString(26, 'x') << QString(25, 'x') + "...";
    QTest::newRow("25") << QString(25, 'y') << QString(25, 'y');
    QTest::newRow("short") << "Mum" << "Mum";
}

void TestMainWindow::chatLabelRule()
{
    QFETCH(QString, name);
    QFETCH(QString, label);
    _MsgChat chat;
    chat.display_name = name;
    QCOMPARE(MainWindow::chatLabelText(&chat), label);
    QCOMPARE(MainWindow::chatLabelText(nullptr), QString("All"));
}

void TestMainWindow::phoneNamesShowAsText()
{
    // A group's name is set by whoever is in it. Taken for markup, its
    // pictures would be read from any file they name (an endless one stops
    // the program); the label and the tooltip of its node show it as text.
    const QString name = "<img src=/dev/zero>";
    auto shows = [](const QString &text, Qt::TextFormat format) {
        const bool rich = format == Qt::RichText
                || (format == Qt::AutoText && Qt::mightBeRichText(text));
        return rich ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
    };

    ItemModelMain model;
    _LocalDBItemNode *db = model.addLocalDbNode({}, "Archive");
    auto *c = new _MsgChat;
    c->ROWID = 1;
    c->chat_identifier = "chat1";
    c->display_name = name;
    db->dataSet.data()->chats.insert(1, c);
    model.rebuildChatSessions(db);
    const QModelIndex node = model.indexForNode(db->children.value(0));
    QCOMPARE(node.data().toString(), name);
    QCOMPARE(shows(node.data(Qt::ToolTipRole).toString(), Qt::AutoText), name);

    MessageFixture f;
    _MsgChat *chat = f.chat({f.handle("+1"), f.handle("+2")});
    chat->display_name = name;
    f.message(chat, nullptr, "hi");
    MainWindow w;
    w.showNodeMessages(f.list(), chat);
    auto *label = child<QLabel>(w, "lbChatName");
    QCOMPARE(shows(label->text(), label->textFormat()), name);
}

void TestMainWindow::showNodeMessagesSortsByHeaderOrder()
{
    MessageFixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgChat *c = f.chat({h});
    c->display_name = name36();
    // Dates far apart, given out of order.
    for (int d : {5000, 1000, 30000, 9000})
        f.message(c, h, QStringLiteral("d%1").arg(d), d);
    MainWindow w;
    w.showNodeMessages(f.list(), c);
    auto texts = [&w] {
        QStringList t;
        for (auto *m : w.shownMessages())
            t << m->text;
        return t;
    };
    QCOMPARE(texts(), (QStringList {"d1000", "d5000", "d9000", "d30000"}));
    QCOMPARE(labelText(w, "lbSMSCount"), QString("Messages: 4"));
    QCOMPARE(w.bubbleViewMgr().messages(), w.shownMessages());
    treeSMS(w)->header()->blockSignals(true);
    treeSMS(w)->header()->setSortIndicator(0, Qt::DescendingOrder);
    treeSMS(w)->header()->blockSignals(false);
    w.showNodeMessages(f.list(), c);
    QCOMPARE(texts(), (QStringList {"d30000", "d9000", "d5000", "d1000"}));

    // A list that the tolerance rule cannot order consistently still ends,
    // with every message once.
    MessageFixture g;
    _MsgChat *gc = g.chat({g.handle("+2")});
    for (int i = 0; i < 200; ++i)
        g.message(gc, nullptr, QString::number(i), (i * 7919) % 400)->orderKey = (i * 31) % 50;
    w.showNodeMessages(g.list(), gc);
    const MsgMessageList shown = w.shownMessages();
    QCOMPARE(shown.size(), 200);
    QCOMPARE(QSet<_MsgMessage *>(shown.begin(), shown.end()).size(), 200);

    w.clearMessageView();
    QVERIFY(!w.shownChat());
    QCOMPARE(w.smsModelObject()->rowCount(), 0);
    QCOMPARE(labelText(w, "lbChatName"), QString());
}

void TestMainWindow::selectedMessagesInSelectionOrder()
{
    MessageFixture f;
    _MsgChat *c = f.chat({f.handle("+1")});
    for (int i = 0; i < 8; ++i)
        f.message(c, nullptr, QString::number(i), 1000 * (i + 1));
    MainWindow w;
    QVERIFY(w.collectSelectedMessages().isEmpty());
    QVERIFY(w.collectNodeMessages().isEmpty()); // no current node
    w.showNodeMessages(f.list(), c);
    QItemSelectionModel *sel = treeSMS(w)->selectionModel();
    sel->select(w.smsModelObject()->rowIndex(5), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    sel->select(w.smsModelObject()->rowIndex(2), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const MsgMessageList got = w.collectSelectedMessages();
    QCOMPARE(got.size(), 2);
    QCOMPARE(got.at(0)->text, QString("5"));
    QCOMPARE(got.at(1)->text, QString("2"));
}

void TestMainWindow::removingShownSourceEmptiesPanes()
{
    makeFamilyDb();
    MainWindow w;
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    selectNode(w, family->children.at(1));
    QCOMPARE(w.smsModelObject()->rowCount(), 60);
    w.removeSourceNode(family);
    QVERIFY(!localDb(w, "Family"));
    QCOMPARE(w.smsModelObject()->rowCount(), 0);
    QVERIFY(w.bubbleViewMgr().messages().isEmpty());
    QVERIFY(!w.shownChat());
    QCoreApplication::processEvents();
}

void TestMainWindow::sourceRemovedWhileAnotherIsCurrent_data()
{
    QTest::addColumn<QString>("other"); // the node made current after the phone
    QTest::addColumn<bool>("sort"); // a click on the Date header then
    QTest::addColumn<QString>("removal");
    for (const char *removal : {"disconnected", "cache cleared"}) {
        QTest::addRow("empty database, %s", removal) << "Empty" << false << removal;
        QTest::addRow("empty database, sorted, %s", removal) << "Empty" << true << removal;
        QTest::addRow("failing database, sorted, %s", removal) << "Broken" << true << removal;
    }
}

// The panes keep what they show when the node made current shows nothing
// new (a local database without conversations) or fails to load: they then
// show a source that is not the current one. Taking that source away by
// its own commands must empty them before its records go.
void TestMainWindow::sourceRemovedWhileAnotherIsCurrent()
{
    QFETCH(QString, other);
    QFETCH(bool, sort);
    QFETCH(QString, removal);
    QDir().mkpath(storeFolder(localDatabasesFolder().absolutePath(), "Empty"));
    {
        const QString broken = PhoneSmsDb::smsDbPathOf(
                storeFolder(localDatabasesFolder().absolutePath(), "Broken"));
        QDir().mkpath(QFileInfo(broken).absolutePath());
        QFile f(broken);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'x'));
    }
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    MainWindow w;
    w.resize(1000, 680);
    w.show();
    _AndroidDeviceItemNode *phone = addAttachedPhone(w);
    const TreeNodeRef phoneRef = w.nodeRef(phone);
    selectNode(w, phone);
    selectNode(w, phone->children.first());
    QCOMPARE(w.smsModelObject()->rowCount(), 30);

    selectNode(w, localDb(w, other));
    QCOMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(localDb(w, other)));
    QCOMPARE(w.smsModelObject()->rowCount(), 30); // kept
    QHeaderView *header = treeSMS(w)->header();
    if (sort) {
        header->setSortIndicator(0, Qt::DescendingOrder);
        QCoreApplication::processEvents();
        QCOMPARE(w.smsModelObject()->rowCount(), 30);
    }
    QCOMPARE(w.shownSource(), static_cast<_AbsDBItemNode *>(phone));

    if (removal == "disconnected")
        QVERIFY(QMetaObject::invokeMethod(&w, "androidDeviceDisconnected",
                                          Q_ARG(QString, QStringLiteral("SER0001"))));
    else
        QVERIFY(QMetaObject::invokeMethod(&w, "miClearCache"));
    QVERIFY(!phoneRef.resolve());
    QCOMPARE(w.smsModelObject()->rowCount(), 0);
    QVERIFY(w.bubbleViewMgr().messages().isEmpty());
    QVERIFY(!w.shownChat());
    QVERIFY(!w.shownSource());

    // Nothing reads the phone's records any more: a search, a sort, a repaint.
    child<QLineEdit>(w, "txtSMSKeyword")->setText("says");
    QVERIFY(QMetaObject::invokeMethod(&w, "searchMessages"));
    header->setSortIndicator(0, Qt::AscendingOrder);
    treeSMS(w)->viewport()->repaint();
    QCoreApplication::processEvents();
    QVERIFY(answerer.stuck().isEmpty());
}

void TestMainWindow::listStartsAtTopForAnotherConversation()
{
    makeFamilyDb();
    MainWindow w;
    w.resize(1000, 680);
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    QScrollBar *bar = treeSMS(w)->verticalScrollBar();
    auto scrolledDown = [&] {
        bar->setValue(bar->maximum());
        return bar->maximum() > 0 && bar->value() == bar->maximum();
    };
    QVERIFY(scrolledDown());
    // Another conversation, or the whole source again: the list's first
    // rows show.
    AbsTreeItemModel::_ItemNode *alice = nullptr;
    for (auto *c : family->children)
        if (c->text == "Alice")
            alice = c;
    QVERIFY(alice);
    selectNode(w, alice);
    QCOMPARE(w.smsModelObject()->rowCount(), 60);
    QCOMPARE(bar->value(), 0);
    QVERIFY(scrolledDown());
    selectNode(w, family);
    QCOMPARE(bar->value(), 0);
    // The same list sorted again stays where it was.
    QVERIFY(scrolledDown());
    const int bottom = bar->value();
    treeSMS(w)->header()->setSortIndicator(0, Qt::DescendingOrder);
    QCoreApplication::processEvents();
    QCOMPARE(bar->value(), bottom);
}

void TestMainWindow::queuedSelectionOfRemovedNodeIsDropped()
{
    makeFamilyDb();
    // One window at a time: the second below replaces this one.
    auto first = std::make_unique<MainWindow>();
    MainWindow &w = *first;
    ItemModelMain *m = w.treeModelObject();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    selectNode(w, m->localDbRoot);
    w.selectTreeNode(family->children.at(2));
    QCOMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(m->localDbRoot));
    w.removeSourceNode(family);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(m->localDbRoot));
    first.reset();

    // Without a removal the node becomes current once the loop has run.
    makeFamilyDb();
    QDir().mkpath(storeFolder(localDatabasesFolder().absolutePath(), "Other"));
    MainWindow w2;
    _AbsDBItemNode *fam2 = localDb(w2, "Family");
    w2.selectTreeNode(fam2);
    QVERIFY(!w2.currentNode());
    QTRY_COMPARE(w2.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(fam2));
    QCOMPARE(w2.smsModelObject()->rowCount(), 63);
}

void TestMainWindow::actionsFollowNodeKind()
{
    makeFamilyDb();
    {
        PhoneSmsDb android(storeFolder(dataFolder().absoluteFilePath("virtual_android"), "Moto"));
        const qint64 h = android.addHandle("+1777");
        android.addText(android.addChat(h), "hi", h, 1);
    }
    MainWindow w;
    ItemModelMain *m = w.treeModelObject();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    auto *moto = static_cast<_AbsDBItemNode *>(m->devicesRoot->children.at(0));

    // Backup, A2I, Db2I, Extract, Export, Print, Delete; 1 on, 0 off.
    auto state = [&w] {
        QString s;
        for (QAction *a : MainWindowTestAccess::keptActions(w))
            s += a->isEnabled() ? '1' : '0';
        return s;
    };
    selectNode(w, m->devicesRoot);
    QCOMPARE(state(), QString("0000000"));
    selectNode(w, moto);
    QCOMPARE(state(), QString("1001110")); // no iPhone: no transfer to one
    selectNode(w, moto->children.at(0));
    QCOMPARE(state(), QString("1001110"));
    selectNode(w, family);
    QCOMPARE(state(), QString("0001111"));
    selectNode(w, family->children.at(0));
    QCOMPARE(state(), QString("0001111"));
    selectNode(w, m->localDbRoot);
    QCOMPARE(state(), QString("0000000"));

    // A saved iPhone copy (no device handle) is no transfer target.
    IOSDevice saved;
    saved.DeviceName = "Saved";
    m->addIOSDeviceNode({}, saved);
    selectNode(w, moto);
    QCOMPARE(state(), QString("1001110"));
    selectNode(w, family);
    QCOMPARE(state(), QString("0001111"));

    // A node put in the tree does not change the state by itself: the
    // next change of the selection does, whichever node it makes current.
    selectNode(w, moto);
    QCOMPARE(state(), QString("1001110"));
    IOSDevice phone;
    phone.DeviceName = "Attached";
    phone.deviceHandle = reinterpret_cast<AMDeviceRef>(quintptr(0x10)); // never dereferenced
    m->addIOSDeviceNode({}, phone);
    QCOMPARE(state(), QString("1001110"));
    selectNode(w, moto->children.at(0));
    QCOMPARE(state(), QString("1101110"));
    selectNode(w, family->children.at(0));
    QCOMPARE(state(), QString("0011111"));
    // The iPhone taken away by the window's removal slot: no transfer to
    // it is offered from then on, without a change of the selection.
    QVERIFY(QMetaObject::invokeMethod(&w, "iosDeviceDisconnected",
                                      Q_ARG(void *, phone.deviceHandle)));
    QCOMPARE(m->countAttachedIPhones(), 0);
    QCOMPARE(w.currentNode(), family->children.at(0));
    QCOMPARE(state(), QString("0001111"));
    selectNode(w, m->devicesRoot);
    QCOMPARE(state(), QString("0000000"));
}

void TestMainWindow::contextMenusPerKind()
{
    makeFamilyDb();
    {
        PhoneSmsDb android(storeFolder(dataFolder().absoluteFilePath("virtual_android"), "Moto"));
        const qint64 h = android.addHandle("+1777");
        android.addText(android.addChat(h), "hi", h, 1);
    }
    MainWindow w;
    ItemModelMain *m = w.treeModelObject();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    auto *moto = static_cast<_AbsDBItemNode *>(m->devicesRoot->children.at(0));

    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, nullptr)), QStringList {"<no menu>"});
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, m->devicesRoot)),
             QStringList {"<no menu>"});
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, m->localDbRoot)),
             QStringList {"Open Database Folder"});
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, family)),
             (QStringList {"Export Messages to iTunes Backup",
                           "(Transfer Messages from Database to iPhone)", "Extract MMS attachment",
                           "Export Messages to File", "Print Messages", "Recover Deleted Messages",
                           "Delete this Database"}));
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, family->children.at(0))),
             (QStringList {"Export Messages with this contact to iTunes Backup",
                           "(Transfer Messages with this contact to iPhone)",
                           "Extract attachment from MMS with this contact",
                           "Export Messages with this contact to File",
                           "Print Messages with this contact", "Delete Messages with this contact"}));
    // A saved copy is not attached: nothing to disconnect.
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, moto)),
             (QStringList {"Backup Messages to Local Database",
                           "(Transfer Android Messages to iPhone)", "Extract MMS attachment",
                           "Export Messages to File", "Print Messages", "View Cache Files"}));
    AndroidDevice usb;
    usb.model = "Attached";
    usb.serial = "0123ABCD";
    _AndroidDeviceItemNode *attached = m->addAndroidDeviceNode({}, usb);
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, attached)),
             (QStringList {"Backup Messages to Local Database",
                           "(Transfer Android Messages to iPhone)", "Extract MMS attachment",
                           "Export Messages to File", "Print Messages", "View Cache Files",
                           "Disconnect Device"}));
    w.removeSourceNode(attached);
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, moto->children.at(0))),
             (QStringList {"Backup Messages with this contact to Local Database",
                           "(Transfer Messages with this contact to iPhone)",
                           "Extract attachment from MMS with this contact",
                           "Export Messages with this contact to File",
                           "Print Messages with this contact"}));

    // With an iPhone attached the transfer entries are enabled.
    IOSDevice phone;
    phone.DeviceName = "Attached";
    phone.deviceHandle = reinterpret_cast<AMDeviceRef>(0x1);
    _IOSDeviceItemNode *iphone = m->addIOSDeviceNode({}, phone);
    QVERIFY(MainWindowTestAccess::treeMenu(w, family)->actions().at(1)->isEnabled());
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, iphone)),
             (QStringList {"View Cache Files", "Disconnect Device", "Recover Deleted Messages"}));
    // A saved copy is not attached: nothing to disconnect.
    IOSDevice saved;
    saved.DeviceName = "Saved";
    _IOSDeviceItemNode *savedNode = m->addIOSDeviceNode({}, saved);
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, savedNode)),
             (QStringList {"View Cache Files", "Recover Deleted Messages"}));

    // Conversations of iPhones get an empty menu; salvaged ones can be
    // given a number.
    auto *chatNode = new _ChatSessionItemNode(iphone, "x");
    m->appendNode(iphone, chatNode);
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, chatNode)), QStringList());
    _MsgChat salvaged;
    salvaged.ROWID = -2047483650;
    chatNode->chats = {&salvaged};
    QCOMPARE(menuEntries(MainWindowTestAccess::treeMenu(w, chatNode)),
             QStringList {"Assign Number..."});

    // The list's menu follows the source of the current node.
    QCOMPARE(menuEntries(MainWindowTestAccess::smsMenu(w, nullptr)), QStringList {"<no menu>"});
    QCOMPARE(menuEntries(MainWindowTestAccess::smsMenu(w, iphone)), QStringList {"<no menu>"});
    QCOMPARE(menuEntries(MainWindowTestAccess::smsMenu(w, family->children.at(1))),
             (QStringList {"Export selected Messages to iTunes Backup",
                           "Transfer selected Messages to iPhone",
                           "Extract attachment from selected Messages",
                           "Export selected Messages to File", "Print selected Messages",
                           "Delete selected Messages"}));
    QCOMPARE(menuEntries(MainWindowTestAccess::smsMenu(w, moto)),
             (QStringList {"Backup selected Messages to Local Database",
                           "Transfer selected Messages to iPhone",
                           "Extract attachment from selected Messages",
                           "Export selected Messages to File", "Print selected Messages"}));
}

void TestMainWindow::treeViewSignalsComeFirst()
{
    MyTreeView view;
    ItemModelMain model;
    view.setModel(&model);
    view.resize(300, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    // QTreeView's own handling of a selection change asks to repaint the
    // rows whose selection changed: whether that request is pending when
    // the signal comes tells which ran first.
    struct PaintCounter : QObject
    {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    view.viewport()->installEventFilter(&counter);
    QTest::qWait(50);
    QStringList order;
    connect(&view, &MyTreeView::onSelectionChanged, this, [&] {
        const int before = counter.paints;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        order << (counter.paints == before ? QStringLiteral("signal, view's handling after")
                                           : QStringLiteral("signal, view's handling before"));
        order << QStringLiteral("selected:%1").arg(view.selectionModel()->selectedIndexes().size());
    });
    const int paintsBefore = counter.paints;
    view.setCurrentIndex(model.index(1, 0));
    QCOMPARE(order, (QStringList {"signal, view's handling after", "selected:1"}));
    // The view's own handling did run: the row is repainted.
    QTRY_VERIFY(counter.paints > paintsBefore);

    // The context-menu request is signalled before the base class ignores
    // the event (its own handling).
    QStringList menu;
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(1, 1), view.viewport()->mapToGlobal(QPoint(1, 1)));
    connect(&view, &MyTreeView::createContextMenu, this,
            [&] { menu << (ev.isAccepted() ? "menu, event untouched" : "menu, event handled"); });
    ev.accept();
    QCoreApplication::sendEvent(view.viewport(), &ev);
    QCOMPARE(menu, QStringList {"menu, event untouched"});
    QVERIFY(!ev.isAccepted());
}

// ---- Start-up ----

void TestMainWindow::startupChecks()
{
    {
        ModalAnswerer answerer;
        answerer.setDefaultBoxAnswer("btnOk");
        QVERIFY(checkDatabaseLibrary(5));
        QVERIFY(!checkDatabaseLibrary(4));
        QVERIFY(!checkDatabaseLibrary(6));
        QCOMPARE(answerer.seen().size(), 2);
        QVERIFY(answerer.seen().at(0).text.contains("invalid libsqlite_qt."));
    }

    // The help link follows the service host; without one, no sentence
    // that asks to click something.
    const QString plain = appleLibraryWarningText();
    QCOMPARE(plain, QString("Failed to load (Apple Mobile Device) framework."));
    qputenv("PELICORDE_SERVICE_HOST", "help.example:8080");
    const QString linked = appleLibraryWarningText();
    qputenv("PELICORDE_SERVICE_HOST", "");
    QVERIFY(linked.contains("<a href=\"http://help.example:8080/tutorial/"
                            "how-to-connect-ios-device-to-quillmarsh-successfully.html\">HERE</a>"));
    QVERIFY(linked.endsWith(" for help."));

    // Old databases count only directly in a first-level folder.
    QVERIFY(!hasOldLocalDatabase());
    const QString deep = storeFolder(dataFolder().absoluteFilePath("data"), "Old/inner");
    QDir().mkpath(deep);
    QFile(deep + "/mms.db").open(QIODevice::WriteOnly);
    QVERIFY(!hasOldLocalDatabase());
    QFile(storeFolder(dataFolder().absoluteFilePath("data"), "Old") + "/mms.db")
            .open(QIODevice::WriteOnly);
    QVERIFY(hasOldLocalDatabase());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
