// The whole program driven as a user drives it: one main window on a
// generated data folder, reached only through its menu bar, its toolbar and
// the context menus it builds, with every dialog answered as a user would
// answer it. The steps run in order on the same window: browsing, search and
// export; an Android phone backed up into a new database, a conversation of
// it written back into the phone, the phone unplugged; an attached iPhone
// and an export into an iTunes backup; deletion,
// clearing the cache and quitting, after which the temporary folders hold
// only what the run meant to keep.
#include "backup/backupmanifest.h"
#include "android/androidmonitor.h"
#include "iphone/iosmobilebackup.h"
#include "standins/companionpeer.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "store/texts.h"
#include "tests/support/cpiofixture.h"
#include "tests/support/demodata.h"
#include "tests/support/fakebackup.h"
#include "tests/support/iphonesim.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"
#include "ui/exporttarget.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QDirIterator>
#include <QFileDialog>
#include <QImage>
#include <QJsonArray>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTranslator>
#include <QTreeView>

#include <cstdlib>
#include <memory>

class MainWindowTestAccess
{
public:
    // The menus the window pops up on a right click in either pane.
    static QMenu *treeMenu(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
    {
        return w.buildTreeContextMenu(node);
    }
    static QMenu *smsMenu(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
    {
        return w.buildSmsContextMenu(node);
    }
    // How often the window asks adb for its phones.
    static void setAdbPollInterval(MainWindow &w, int ms)
    {
        w.androidMonitor->setPollInterval(ms);
    }
};

namespace {

const QString kUdid = QStringLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f00a1b2c3d");

// Runs the answer from the event loop rather than inside the answerer's
// timer slot, so that boxes it opens are answered too.
std::function<void(QWidget *)> later(std::function<void(QWidget *)> fn)
{
    return [fn](QWidget *w) { QTimer::singleShot(0, w, [fn, w] { fn(w); }); };
}

// The export's save dialog: the filter chosen, the path typed, Save.
std::function<void(QWidget *)> saveAs(int filter, const QString &path)
{
    return later([filter, path](QWidget *w) {
        auto *d = qobject_cast<QFileDialog *>(w);
        QVERIFY(d);
        d->selectNameFilter(exportFilterTexts().at(filter));
        auto *edit = d->findChild<QLineEdit *>("fileNameEdit");
        QVERIFY(edit);
        edit->setText(path);
        QMetaObject::invokeMethod(d, "accept");
    });
}

// The database chooser of a backup: the name it proposed, then the name
// typed, OK.
std::function<void(QWidget *)> typeDbName(const QString &name, QString *proposed)
{
    return later([name, proposed](QWidget *w) {
        auto *combo = w->findChild<QComboBox *>("cbLocalDbNames");
        QVERIFY(combo);
        *proposed = combo->currentText();
        combo->setEditText(name);
        ModalAnswerer::clickButton(w, "btnOK");
    });
}

// The backup picker: the first listed backup, Load.
std::function<void(QWidget *)> pickFirstBackup()
{
    return later([](QWidget *dlg) {
        auto *view = dlg->findChild<QTreeView *>("listBackups");
        QVERIFY(view);
        QVERIFY(view->model()->rowCount() > 0);
        view->setCurrentIndex(view->model()->index(0, 0));
        ModalAnswerer::clickButton(dlg, "btnLoad");
    });
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every file and folder below root, relative to it, sorted.
QStringList listing(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

QAction *actionIn(const QList<QAction *> &actions, const QString &text)
{
    for (QAction *a : actions)
        if (a->text() == text)
            return a;
    return nullptr;
}

// Triggers the entry of a context menu as a click on it would.
bool triggerIn(QMenu *menu, const QString &text)
{
    std::unique_ptr<QMenu> owned(menu);
    QAction *a = menu ? actionIn(menu->actions(), text) : nullptr;
    if (!a || !a->isEnabled())
        return false;
    a->trigger();
    return true;
}

QStringList boxTexts(const ModalAnswerer &answerer)
{
    QStringList out;
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == QLatin1String("QMessageBox"))
            out << s.text;
    return out;
}

qint64 scalar(const QString &dbPath, const QString &sql)
{
    RawSqlite db(dbPath);
    return db.scalar(sql).toLongLong();
}

// A phone's sms.db (the iOS 6 layout) in a store folder: one conversation
// with +15550001 holding two messages of fixed guids.
QByteArray phoneSmsDb(const QString &store)
{
    PhoneSmsDb db(store, PhoneSchema::ios6());
    const qint64 h = db.addHandle("+15550001");
    const qint64 chat = db.addChat(h);
    const QStringList texts {"phone kept this", "and this one"};
    for (int i = 0; i < texts.size(); ++i) {
        PhoneSmsDb::Message m;
        m.text = texts.at(i);
        m.handle = h;
        m.date = 400000000 + i * 60;
        m.guid = QStringLiteral("PHONE-GUID-%1").arg(i);
        db.addMessage(chat, m);
    }
    db.close();
    return readFile(PhoneSmsDb::smsDbPathOf(store));
}

// The texts of a message database as the program reads them, one entry per
// message row, sorted.
QStringList textsOf(const QString &smsDbFile)
{
    QTemporaryDir dir;
    const QString copy = PhoneSmsDb::smsDbPathOf(dir.path());
    QDir().mkpath(QFileInfo(copy).absolutePath());
    QFile::copy(smsDbFile, copy);
    IOS6MessageDb db(QDir(dir.path()), QString(), false);
    MsgDataSet set;
    set.reset();
    db.chats(set);
    db.messages(set, 0);
    QStringList texts;
    for (const _MsgMessage *m : set.data()->messages)
        texts << m->text;
    texts.sort();
    return texts;
}

// The simulated Android phone: its hello and what a load of it offers.
const QString kSerial = QStringLiteral("R58M40ABCDE");
const QString kAlice = QStringLiteral("+12025550101");
const QString kBob = QStringLiteral("+12025550102");
constexpr qint64 kPhoneMs = qint64(1600000000) * 1000; // 2020-09-13

// A small picture whose pixels all differ, as PNG.
QByteArray picturePng()
{
    QImage image(6, 4, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(40 * x, 60 * y, 200 - 30 * x));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

PhoneMessage phoneSms(qint64 minute, bool sent, const QString &address, const QString &name,
                      const QString &text)
{
    PhoneMessage m;
    m.dateMs = kPhoneMs + minute * 60000;
    m.sent = sent;
    m.address = address;
    m.contactName = name;
    m.text = text;
    return m;
}

// Alice's conversation, and (withBob) Bob's with a picture.
CompanionScenario androidPhone(bool withBob)
{
    CompanionScenario s;
    s.hello = QStringLiteral("version=10;model=Pixel 7;manufacturer=Google;imei=356938035643809;"
                             "uid=a1b2c3d4e5;sdk=13;sdk_id=33;root=0;"
                             "storage1=/storage/emulated/0;mmc=310");
    s.defaultSmsApp = true;
    QList<PhoneMessage> batch {
            phoneSms(0, false, kAlice, "Alice", "are we still on for friday?"),
            phoneSms(1, true, kAlice, "Alice", "yes, seven o'clock"),
    };
    if (withBob) {
        PhoneMessage view = phoneSms(2, false, kBob, "Bob", "the view from the top");
        view.attachments = {PhoneAttachment {"image/png", "view.png", picturePng()}};
        batch << view << phoneSms(3, true, kBob, "Bob", "wow, send more");
    }
    s.batches = {batch};
    return s;
}

MyTreeView *treeDS(QWidget &w) { return w.findChild<MyTreeView *>("treeViewDS"); }
MyTreeView *treeSMS(QWidget &w) { return w.findChild<MyTreeView *>("treeViewSMS"); }

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
    TestEnv env;
    std::unique_ptr<FakeAdb> adb;
    QTranslator translator;
    std::unique_ptr<MainWindow> w;
    QString out; // where the exports go: kept
    QStringList tempBefore;
    QString chosenChat; // the conversation of the export, by its node text
    QString phoneBackup; // the folder of the Android phone's backup database

    // The attached Android phones (the demo folder holds a saved copy too).
    QList<_AndroidDeviceItemNode *> androidPhones() const
    {
        QList<_AndroidDeviceItemNode *> out;
        for (auto *n : w->treeModelObject()->devicesRoot->children)
            if (n->kind == kNodeAndroidDevice && ItemModelMain::isConnectedDevice(n))
                out << static_cast<_AndroidDeviceItemNode *>(n);
        return out;
    }

    AbsTreeItemModel::_ItemNode *localDb(const QString &name) const
    {
        for (auto *n : w->treeModelObject()->localDbRoot->children)
            if (n->text == name)
                return n;
        return nullptr;
    }
    // A click on a node of the source tree.
    void clickNode(AbsTreeItemModel::_ItemNode *node)
    {
        const QModelIndex index = w->treeModelObject()->indexForNode(node);
        treeDS(*w)->scrollTo(index);
        QTest::mouseClick(treeDS(*w)->viewport(), Qt::LeftButton, {},
                          treeDS(*w)->visualRect(index).center());
        QCoreApplication::processEvents();
    }
    QAction *menuBarAction(const QString &menu, const QString &text) const
    {
        for (QAction *m : w->menuBar()->actions())
            if (m->text() == menu && m->menu())
                return actionIn(m->menu()->actions(), text);
        return nullptr;
    }
    QAction *toolBarAction(const QString &text) const
    {
        return actionIn(w->findChild<QToolBar *>("mainToolBar")->actions(), text);
    }
    // The temporary folder of the process (made for it by main()).
    static QString tempRoot() { return QDir::tempPath(); }

private slots:
    void initTestCase();
    void browseSearchAndExport();
    void androidBackupAndTransferBack();
    void iPhoneExportIntoPickedBackup();
    void deleteClearAndQuit();
    void cleanupTestCase();
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&translator);
    qputenv("PELICORDE_SERVICE_HOST", "");
    adb = std::make_unique<FakeAdb>();
    QVERIFY(adb->isValid());
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    QVERIFY(iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}}));
    const QString volume = env.makeDir("volume");
    tempbackup::setVolumeSource(
            [volume] { return QList<BackupVolume> {{volume, quint64(1) << 40}}; }, volume);

    DemoDataSpec demo;
    demo.messages = 400;
    demo.chats = 8;
    QVERIFY(fillDemoDataFolder(dataFolder().absolutePath(), demo) > 400);
    out = env.makeDir("exports");
    tempBefore = listing(tempRoot());

    w = std::make_unique<MainWindow>();
    w->resize(1000, 700);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
}

// Select the database, search a word and a contact, export the conversation
// found to PDF and HTML from its context menu and the searched message from
// the list's context menu.
void TestEndToEnd::browseSearchAndExport()
{
    AbsTreeItemModel::_ItemNode *archive = localDb("Demo Archive");
    QVERIFY(archive);
    clickNode(archive);
    QTRY_COMPARE(w->currentNode(), archive);
    QTRY_VERIFY(w->smsModelObject()->rowCount() > 300);
    // The kept actions of a local database are on.
    for (const char *text : {"Export Messages to File", "Print Messages", "Delete Messages",
                             "Extract MMS attachment"})
        QVERIFY2(toolBarAction(ids(text))->isEnabled(), text);

    // A word: the first row holding it becomes current.
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    QTest::keyClicks(w->findChild<QLineEdit *>("txtSMSKeyword"), "birthday");
    QTest::mouseClick(w->findChild<QToolButton *>("btnSearchSMS"), Qt::LeftButton);
    const QModelIndex found = treeSMS(*w)->currentIndex();
    QVERIFY(found.isValid());
    const _MsgMessage *hit = w->smsModelObject()->messages().at(found.row());
    QVERIFY2(hit->text.contains("birthday", Qt::CaseInsensitive), qPrintable(hit->text));

    // The list's context menu exports the selected (searched) row as text.
    QVERIFY(treeSMS(*w)->selectionModel()->isRowSelected(found.row(), {}));
    answerer.act("QFileDialog", saveAs(ExportFilterTxt, out + "/found"));
    QVERIFY(triggerIn(MainWindowTestAccess::smsMenu(*w, w->currentNode()),
                      ids("Export selected Messages to File")));
    QCOMPARE(boxTexts(answerer).last(), QString("Successfully exported 1 Messages."));
    QVERIFY(QString::fromUtf8(readFile(out + "/found.txt")).contains(hit->text.trimmed()));

    // A contact: the busiest conversation with pictures, found by a part of
    // its name typed into the contact search.
    AbsTreeItemModel::_ItemNode *chat = nullptr;
    int best = 0;
    for (AbsTreeItemModel::_ItemNode *c : archive->children) {
        const auto *node = static_cast<_ChatSessionItemNode *>(c);
        int pictures = 0;
        for (const _MsgChat *mc : node->chats)
            for (const _MsgMessage *m : mc->messages)
                pictures += int(m->attachments.size());
        if (pictures > 0 && !node->chats.first()->isGroup() && pictures > best) {
            best = pictures;
            chat = c;
        }
    }
    QVERIFY(chat);
    chosenChat = chat->text;
    QTest::keyClicks(w->findChild<QLineEdit *>("txtHandleKeyword"), chosenChat);
    QTest::mouseClick(w->findChild<QToolButton *>("btnSearchHandle"), Qt::LeftButton);
    QTRY_COMPARE(w->currentNode(), chat);
    QTRY_VERIFY(w->smsModelObject()->rowCount() > 0);
    const MsgMessageList shown = w->smsModelObject()->messages();
    QVERIFY(answerer.stuck().isEmpty());

    // PDF from the conversation's context menu.
    answerer.act("QFileDialog", saveAs(ExportFilterPdf, out + "/chat"));
    QVERIFY(triggerIn(MainWindowTestAccess::treeMenu(*w, chat),
                      ids("Export Messages with this contact to File")));
    const QString done = QStringLiteral("Successfully exported %1 Messages.").arg(shown.size());
    QCOMPARE(boxTexts(answerer).last(), done);
    const QStringList pdfs = QDir(out + "/chat-pdf").entryList({"*.pdf"}, QDir::Files);
    QCOMPARE(pdfs.size(), 1);
    const QString pdftotext = QStandardPaths::findExecutable("pdftotext");
    if (!pdftotext.isEmpty()) {
        QProcess p;
        p.start(pdftotext, {out + "/chat-pdf/" + pdfs.first(), "-"});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QString text = QString::fromUtf8(p.readAllStandardOutput());
        // The bubbles are pictures; the date lines are text, each the date
        // of a message of the conversation, the first message's among them.
        QSet<QString> dates;
        qint32 first = std::numeric_limits<qint32>::max();
        for (const _MsgMessage *m : shown) {
            dates.insert(iosDateToDateTime(m->date).toString(QLatin1String(kMessageDateFormat)));
            first = qMin(first, m->date);
        }
        const QRegularExpression dateLine(R"(\d\d \w{3} \d{4} \d{1,2}:\d\d [AP]M)");
        int seen = 0;
        for (auto it = dateLine.globalMatch(text); it.hasNext(); ++seen)
            QVERIFY2(dates.contains(it.next().captured()), qPrintable(text));
        QVERIFY(seen > 0);
        QVERIFY(text.contains(
                iosDateToDateTime(first).toString(QLatin1String(kMessageDateFormat))));
    } else {
        qWarning("pdftotext (poppler-utils) is missing: the PDF's text is not checked");
    }

    // HTML from the toolbar (its button is the File menu's entry): no row
    // is selected now, a conversation is current, so the conversation goes.
    treeSMS(*w)->clearSelection();
    answerer.act("QFileDialog", saveAs(ExportFilterHtml, out + "/chat"));
    QAction *exportEntry = toolBarAction(ids("Export Messages to File"));
    QVERIFY(exportEntry && exportEntry->isEnabled());
    QCOMPARE(menuBarAction("File", ids("Export Messages to File")), exportEntry);
    auto *button = qobject_cast<QToolButton *>(
            w->findChild<QToolBar *>("mainToolBar")->widgetForAction(exportEntry));
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(boxTexts(answerer).last(), done);
    const QString html = out + "/chat-html";
    const QStringList pages = QDir(html).entryList({"*.html"}, QDir::Files);
    QCOMPARE(pages.size(), 1);
    const QString page = QString::fromUtf8(readFile(html + "/" + pages.first()));
    QVERIFY(page.contains("class=\"bb1\"") || page.contains("class=\"bb2\""));
    int links = 0;
    for (const _MsgMessage *m : shown) {
        // Texts of plain words stand in the page as they are.
        static const QRegularExpression plain(QStringLiteral("^[A-Za-z ]+[.?]?$"));
        if (plain.match(m->text).hasMatch())
            QVERIFY2(page.contains(m->text), qPrintable(m->text));
        for (const _MsgAttachment *a : m->attachments) {
            const QString name = QFileInfo(a->transfer_name).fileName();
            QVERIFY2(page.contains("href=\"files/" + name + "\""), qPrintable(name));
            QCOMPARE(readFile(html + "/files/" + name), readFile(a->localPath));
            ++links;
        }
    }
    QCOMPARE(links, best);
    QVERIFY(answerer.stuck().isEmpty());
}

// An Android phone is plugged in (adb lists it, the companion app answers);
// its messages go into a new database from its context menu. The phone
// loses Bob's conversation and is plugged in again; that conversation goes
// back into it from the new database; the phone receives exactly it. Then
// the phone is unplugged and its node goes.
void TestEndToEnd::androidBackupAndTransferBack()
{
    CompanionPeer peer(androidPhone(true));
    QVERIFY(peer.start());
    adb->setCompanion(peer.controlPort());
    // A user waits a moment for a phone; the test does not wait seconds.
    MainWindowTestAccess::setAdbPollInterval(*w, 50);
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    const QString plugged = FakeAdb::listing({{kSerial, "device"}});
    const QString unplugged = FakeAdb::listing({});

    adb->setListings({plugged});
    QTRY_COMPARE_WITH_TIMEOUT(androidPhones().size(), 1, 20000);
    _AndroidDeviceItemNode *phone = androidPhones().first();
    QCOMPARE(phone->text, QString("Google Pixel 7"));
    QCOMPARE(phone->children.size(), 2);
    QVERIFY(answerer.stuck().isEmpty());

    // Backup from the phone's context menu into a database of a new name.
    clickNode(phone);
    QTRY_COMPARE(w->currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(phone));
    const qint64 onPhone = w->smsModelObject()->rowCount();
    QVERIFY(onPhone >= 4);
    QString proposed;
    answerer.act("LocalDbSelForm", typeDbName("Pixel Backup", &proposed));
    QVERIFY(triggerIn(MainWindowTestAccess::treeMenu(*w, phone),
                      ids("Backup Messages to Local Database")));
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(proposed, QString("Google Pixel 7_Backup"));
    QCOMPARE(boxTexts(answerer).last(),
             QStringLiteral("Successfully Backup %1 Messages to local Database.").arg(onPhone));
    AbsTreeItemModel::_ItemNode *backup = localDb("Pixel Backup");
    QVERIFY(backup);
    QTRY_COMPARE(w->currentNode(), backup);
    QCOMPARE(backup->children.size(), 2);
    phoneBackup = localDatabasesFolder().absoluteFilePath("Pixel Backup");
    const QString backupDb = PhoneSmsDb::smsDbPathOf(phoneBackup);
    QCOMPARE(scalar(backupDb, "select count(*) from message"), onPhone);
    // The picture is a message of its own, its text the object mark.
    QCOMPARE(textsOf(backupDb),
             (QStringList {"are we still on for friday?", "the view from the top",
                           "wow, send more", "yes, seven o'clock", QString(QChar(0xfffc))}));

    // Bob's conversation is gone from the phone; unplugged and plugged in
    // again, the phone's node shows what it now holds.
    peer.setScenario(androidPhone(false));
    const TreeNodeRef before = w->nodeRef(phone);
    adb->setListings({unplugged});
    QTRY_VERIFY_WITH_TIMEOUT(!before.resolve(), 20000);
    QVERIFY(androidPhones().isEmpty());
    adb->setListings({plugged});
    QTRY_COMPARE_WITH_TIMEOUT(androidPhones().size(), 1, 20000);
    phone = androidPhones().first();
    QCOMPARE(phone->children.size(), 1);

    // Bob's conversation of the backup, back into the phone. The window
    // offers the transfer into an Android phone by its slot only: it is
    // called as the window's other callers call it, on the conversation
    // selected in the tree with no row selected.
    clickNode(backup);
    AbsTreeItemModel::_ItemNode *bob = nullptr;
    for (AbsTreeItemModel::_ItemNode *c : backup->children)
        if (c->text.contains("Bob"))
            bob = c;
    QVERIFY2(bob, qPrintable(backup->children.value(0)->text));
    clickNode(bob);
    QTRY_COMPARE(w->currentNode(), bob);
    treeSMS(*w)->clearSelection();
    const MsgMessageList chat = w->smsModelObject()->messages();
    QCOMPARE(chat.size(), onPhone - 2);
    QStringList offered;
    answerer.act("DataSourceSelForm", later([&offered](QWidget *dialog) {
        auto *combo = dialog->findChild<QComboBox *>("cbDevice");
        QVERIFY(combo);
        for (int i = 0; i < combo->count(); ++i)
            offered << combo->itemText(i);
        ModalAnswerer::clickButton(dialog, "btnOK");
    }));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "miDb2A", Qt::DirectConnection));
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(offered, QStringList {"Google Pixel 7"});
    QVERIFY2(boxTexts(answerer).last().startsWith(
                     QStringLiteral("Successfully Transferred %1 Messages.").arg(chat.size())),
             qPrintable(boxTexts(answerer).last()));

    // All the phone ever received: Bob's messages as it once held them,
    // oldest first, the picture (a message of its own) as it was.
    const QList<RestoredMessage> got = peer.record().restored;
    const PhoneMessage view = androidPhone(true).batches.first().at(2);
    struct Expected
    {
        qint64 dateMs;
        bool sent;
        QString text;
        int pictures;
    };
    const QList<Expected> expected {
            {kPhoneMs + 2 * 60000, false, "the view from the top", 0},
            {kPhoneMs + 2 * 60000, false, QString(), 1},
            {kPhoneMs + 3 * 60000, true, "wow, send more", 0},
    };
    QCOMPARE(got.size(), expected.size());
    for (int i = 0; i < got.size(); ++i) {
        const RestoredMessage &r = got.at(i);
        QCOMPARE(r.address, kBob);
        QCOMPARE(r.dateMs, expected.at(i).dateMs);
        QCOMPARE(r.sent, expected.at(i).sent);
        QCOMPARE(r.text, expected.at(i).text);
        QCOMPARE(int(r.attachments.size()), expected.at(i).pictures);
        for (const PhoneAttachment &p : r.attachments) {
            // Written again as PNG: the same pixels.
            const auto pixels = [](const QByteArray &data) {
                return QImage::fromData(data).convertToFormat(QImage::Format_RGB32);
            };
            QVERIFY(!pixels(p.data).isNull());
            QCOMPARE(pixels(p.data), pixels(view.attachments.first().data));
        }
    }
    // The phone's node is read again: both conversations.
    phone = androidPhones().first();
    QCOMPARE(phone->children.size(), 2);

    // Unplugged: the node goes, and the panes show none of its records (the
    // tree's current row moves on to a neighbour, shown as it is).
    clickNode(phone);
    QTRY_COMPARE(w->currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(phone));
    QCOMPARE(w->smsModelObject()->rowCount(), onPhone);
    const TreeNodeRef last = w->nodeRef(phone);
    adb->setListings({unplugged});
    QTRY_VERIFY_WITH_TIMEOUT(androidPhones().isEmpty(), 20000);
    QVERIFY(!last.resolve());
    QVERIFY(w->currentNode() != static_cast<AbsTreeItemModel::_ItemNode *>(phone));
    for (const _MsgMessage *m : w->smsModelObject()->messages())
        QVERIFY2(m->text != "wow, send more" && m->text != "yes, seven o'clock",
                 qPrintable(m->text));
    QVERIFY(answerer.stuck().isEmpty());
    MainWindowTestAccess::setAdbPollInterval(*w, 3000);
}

// An iPhone arrives (its messages read by file relay); a conversation of the
// database goes into an iTunes backup of that phone picked in the picker,
// twice: the second time adds nothing.
void TestEndToEnd::iPhoneExportIntoPickedBackup()
{
    const QString work = env.makeDir("iphone");
    const QByteArray smsDb = phoneSmsDb(work + "/phone");
    CpioFixture cpio;
    cpio.addFolder("./var/mobile/Library/SMS");
    cpio.addFile("./var/mobile/Library/SMS/sms.db", smsDb);
    QVERIFY(cpio.writeTo(work + "/relay.cpio"));

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    const QJsonObject values {{"UniqueDeviceID", kUdid},
                              {"DeviceName", "Anna's iPhone"},
                              {"ProductVersion", "6.1"},
                              {"ProductType", "iPhone5,2"},
                              {"MobileSubscriberCountryCode", "310"}};
    const QJsonObject device {{"udid", kUdid},
                              {"attached", true},
                              {"values", QJsonObject {{"", values}}},
                              {"fileRelay", QJsonObject {{"archive", work + "/relay.cpio"}}}};
    QVERIFY(iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {device}}}));
    ItemModelMain *model = w->treeModelObject();
    QTRY_COMPARE_WITH_TIMEOUT(model->attachedIPhones().size(), 1, 20000);
    _IOSDeviceItemNode *phone = model->attachedIPhones().first();
    QCOMPARE(phone->text, QString("Anna's iPhone"));
    QCOMPARE(phone->children.size(), 1);
    clickNode(phone->children.first());
    QTRY_COMPARE(w->smsModelObject()->rowCount(), 2);

    // An iTunes backup of the phone, made before, holds its two messages.
    const QString backup = itunesBackupFolder().absoluteFilePath(kUdid);
    {
        FakeBackup b(backup);
        b.device.udid = kUdid;
        b.device.name = QStringLiteral("Anna's iPhone");
        b.device.productVersion = QStringLiteral("6.1");
        b.addFolder("HomeDomain", "Library");
        b.addFolder("HomeDomain", "Library/SMS");
        b.addFile("HomeDomain", "Library/SMS/sms.db", smsDb);
        b.write();
    }
    const QString backupDb
            = backup + "/" + FakeBackup::fileId("HomeDomain", "Library/SMS/sms.db");

    AbsTreeItemModel::_ItemNode *archive = localDb("Demo Archive");
    AbsTreeItemModel::_ItemNode *chat = nullptr;
    for (AbsTreeItemModel::_ItemNode *c : archive->children)
        if (c->text == chosenChat)
            chat = c;
    QVERIFY(chat);
    clickNode(chat);
    QTRY_COMPARE(w->currentNode(), chat);
    QTRY_VERIFY(w->smsModelObject()->rowCount() > 0);
    QStringList expected = textsOf(backupDb);
    for (const _MsgMessage *m : w->smsModelObject()->messages())
        expected << m->text;
    expected.sort();
    const int chatSize = int(w->smsModelObject()->rowCount());

    for (int run = 0; run < 2; ++run) {
        const qsizetype boxes = boxTexts(answerer).size();
        answerer.act("LoadItunesBackupDlg", pickFirstBackup());
        QVERIFY(triggerIn(MainWindowTestAccess::treeMenu(*w, chat),
                          ids("Export Messages with this contact to iTunes Backup")));
        QVERIFY(answerer.stuck().isEmpty());
        QCOMPARE(boxTexts(answerer).mid(boxes),
                 QStringList {ids("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(chatSize)});
        // The phone's messages and the conversation's, each once.
        QCOMPARE(textsOf(backupDb), expected);
        QCOMPARE(scalar(backupDb, "select count(*) - count(distinct guid) from message"), 0);
    }
}

// Delete a conversation and then its database from their context menus,
// clear the cache from the Tools menu, quit from the File menu.
void TestEndToEnd::deleteClearAndQuit()
{
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    AbsTreeItemModel::_ItemNode *archive = localDb("Demo Archive");
    QVERIFY(archive);
    const QString store = localDatabasesFolder().absoluteFilePath("Demo Archive");
    const QString dbPath = PhoneSmsDb::smsDbPathOf(store);
    const qint64 before = scalar(dbPath, "select count(*) from message");
    AbsTreeItemModel::_ItemNode *chat = archive->children.last();
    const QString chatText = chat->text;
    clickNode(chat);
    QTRY_COMPARE(w->currentNode(), chat);
    const qint64 inChat = w->smsModelObject()->rowCount();

    answerer.press("QMessageBox", "btnYes");
    QVERIFY(triggerIn(MainWindowTestAccess::treeMenu(*w, chat),
                      ids("Delete Messages with this contact")));
    QCOMPARE(boxTexts(answerer).last(),
             QStringLiteral("Successfully Deleted %1 Messages.").arg(inChat));
    QCOMPARE(scalar(dbPath, "select count(*) from message"), before - inChat);
    for (AbsTreeItemModel::_ItemNode *c : archive->children)
        QVERIFY(c->text != chatText);
    QCOMPARE(w->smsModelObject()->rowCount(), 0);

    clickNode(archive);
    QTRY_COMPARE(w->currentNode(), archive);
    answerer.press("QMessageBox", "btnYes");
    QVERIFY(triggerIn(MainWindowTestAccess::treeMenu(*w, archive), ids("Delete this Database")));
    QVERIFY(!QFileInfo::exists(store));
    QVERIFY(!localDb("Demo Archive"));
    QCOMPARE(w->smsModelObject()->rowCount(), 0);

    // The attached iPhone's store lies in the cache: it goes with it.
    QAction *clear = menuBarAction("Tools", ids("Clear Cache files"));
    QVERIFY(clear);
    clear->trigger();
    QCOMPARE(boxTexts(answerer).last(), ids("IDS_SUC_CLEAR_CACHE"));
    for (const char *sub : {"ios_cache", "itunes_cache", "android_cache"})
        QVERIFY2(!QFileInfo::exists(dataFolder().absoluteFilePath(sub)), sub);
    QVERIFY(w->treeModelObject()->attachedIPhones().isEmpty());
    QVERIFY(answerer.stuck().isEmpty());

    QAction *exit = menuBarAction("File", ids("Exit"));
    QVERIFY(exit);
    exit->trigger();
    QVERIFY(!w->isVisible());
    w.reset();
    QCoreApplication::processEvents();

    // What the run added below the temporary folder (which holds the home
    // folder of the run too): the exports, the iTunes backup it merged
    // into, the settings and the toolkit's caches of the home folder, the
    // country table and the log of the data folder, and the test's own
    // fixtures. Not the caches, not the temporary backup folder, nothing
    // else. What it removed: the deleted database.
    const QDir temp(tempRoot());
    const QString data = dataFolder().absolutePath();
    const QStringList kept {
            out,
            itunesBackupFolder().absolutePath(),
            env.home() + "/.config",
            env.home() + "/.cache",
            data + "/countries.db",
            data + "/qlogs",
            env.home() + "/iphone",
            adb->folder(),
            phoneBackup,
    };
    const QStringList after = listing(tempRoot());
    QStringList unexpected;
    for (const QString &path : after) {
        if (tempBefore.contains(path))
            continue;
        const QString full = temp.absoluteFilePath(path);
        bool ok = false;
        for (const QString &k : kept)
            ok = ok || full == k || full.startsWith(k + '/')
                    || k.startsWith(full + '/'); // a parent folder of a kept one
        if (!ok)
            unexpected << path;
    }
    QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join('\n')));
    QStringList gone;
    for (const QString &path : tempBefore)
        if (!after.contains(path) && !temp.absoluteFilePath(path).startsWith(store))
            gone << path;
    QVERIFY2(gone.isEmpty(), qPrintable(gone.join('\n')));
}

void TestEndToEnd::cleanupTestCase()
{
    w.reset();
    iphonesim::shutdown();
}

// The process gets a temporary folder of its own, so that what the run
// leaves there can be told from what other programs of the machine leave.
int main(int argc, char **argv)
{
    QByteArray base = qgetenv("TMPDIR");
    if (base.isEmpty())
        base = "/tmp";
    QByteArray tmpl = base + "/pel-endtoend-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return 2;
    qputenv("TMPDIR", tmpl);
    int rc = 0;
    {
        QApplication app(argc, argv);
        TestEndToEnd test;
        rc = QTest::qExec(&test, argc, argv);
    }
    QDir(QString::fromLocal8Bit(tmpl)).removeRecursively();
    return rc;
}

#include "tst_endtoend.moc"
