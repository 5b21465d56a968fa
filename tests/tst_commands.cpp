// The message commands of the main window (export, print, attachment
// extraction, deletion) and the backup of messages into local databases,
// driven through the real window with its dialogs answered.
#include "backup/backupmanifest.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/texts.h"
#include "store/messagerecycledb.h"
#include "tests/support/demodata.h"
#include "tests/support/encryptedbackup.h"
#include "tests/support/fakebackup.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/screenshot.h"
#include "tests/support/windowtest.h"
#include "ui/exporttarget.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/localdbselform.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>

class MainWindowTestAccess
{
public:
    // Backup, A2I, Db2I, Extract, Export, Print, Delete; 1 on, 0 off.
    static QString actionState(MainWindow &w)
    {
        QString s;
        for (QAction *a : {w.actBackup, w.actA2I, w.actDb2I, w.actExtractMedia, w.actExport,
                           w.actPrint, w.actDelete})
            s += a->isEnabled() ? '1' : '0';
        return s;
    }
};

namespace {

// Runs the answer from the event loop rather than inside the answerer's
// timer slot, so that boxes it opens are answered too.
std::function<void(QWidget *)> later(std::function<void(QWidget *)> fn)
{
    return [fn](QWidget *w) { QTimer::singleShot(0, w, [fn, w] { fn(w); }); };
}

// Types a path into the file dialog's name field, as a user would.
void typePath(QFileDialog *d, const QString &path)
{
    auto *edit = d->findChild<QLineEdit *>("fileNameEdit");
    QVERIFY(edit);
    edit->setText(path);
}

// Answers the export's save dialog: the filter, the typed path, Save.
std::function<void(QWidget *)> saveAs(int filter, const QString &path)
{
    return later([filter, path](QWidget *w) {
        auto *d = qobject_cast<QFileDialog *>(w);
        QVERIFY(d);
        d->selectNameFilter(exportFilterTexts().at(filter));
        typePath(d, path);
        saveShot(d, QStringLiteral("exportfiledialog"));
        QMetaObject::invokeMethod(d, "accept");
    });
}

std::function<void(QWidget *)> pickFolder(const QString &path)
{
    return later([path](QWidget *w) {
        auto *d = qobject_cast<QFileDialog *>(w);
        QVERIFY(d);
        typePath(d, path);
        QMetaObject::invokeMethod(d, "accept");
    });
}

// Answers the database dialog with a typed name; seen receives the name it
// proposed.
std::function<void(QWidget *)> chooseDb(const QString &name, QString *seen = nullptr)
{
    return later([name, seen](QWidget *w) {
        auto *form = qobject_cast<LocalDbSelForm *>(w);
        QVERIFY(form);
        auto *combo = form->findChild<QComboBox *>("cbLocalDbNames");
        QVERIFY(combo);
        if (seen)
            *seen = combo->currentText();
        combo->setEditText(name);
        ModalAnswerer::clickButton(form, QStringLiteral("btnOK"));
    });
}

// Runs a command slot as its menu entry would.
void call(MainWindow &w, const char *slot)
{
    QVERIFY2(QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection), slot);
}

QString readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

QStringList filesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

qint64 countRows(const QString &dbPath, const QString &sql)
{
    RawSqlite db(dbPath);
    return db.scalar(sql).toLongLong();
}

// The entries of the message list's context menu, as a right click on the
// list shows them; empty when it shows none.
QStringList listMenuEntries(MainWindow &w)
{
    QStringList entries;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (const QAction *a : menu->actions())
            if (!a->isSeparator())
                entries << a->text();
        menu->close();
    });
    closer.start(20);
    QMetaObject::invokeMethod(&w, "onSMSContextMenu");
    return entries;
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

    WindowTestEnv env;
    std::unique_ptr<FakeAdb> adb;
    QString out; // a fresh output folder per test

    QString localStore(const QString &name) const
    {
        return localDatabasesFolder().absoluteFilePath(name);
    }
    // "Family": Alice (20 messages, two with a picture), a group (2) and
    // Bob (1).
    void makeFamilyDb();
    AbsTreeItemModel::_ItemNode *chatNode(_AbsDBItemNode *db, const QString &name)
    {
        for (auto *n : db->children)
            if (n->text == name)
                return n;
        return nullptr;
    }
    void selectRows(MainWindow &w, const QList<int> &rows)
    {
        QItemSelection sel;
        for (int r : rows) {
            const QModelIndex i = w.smsModelObject()->rowIndex(r);
            sel.select(i, i);
        }
        treeSMS(w)->selectionModel()->select(
                sel, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

private slots:
    void initTestCase();
    void init();

    void exportTargetRules_data();
    void exportTargetRules();
    void attachmentFolderNames();

    void exportEveryFormat_data();
    void exportEveryFormat();
    void exportAsksAboutTheRealTarget();
    void variantsPickTheirLists();
    void printThroughPreview();
    void extractTwiceInOneSecond();

    void deleteSelectedMessages();
    void deleteConversation();
    void deleteRecoveredConversation();
    void commandsOnRowsOfAnotherSource();
    void deleteMessageOfTwoConversations();
    void deleteCountsWhatTheDatabaseDeleted();

    void backupIntoNewAndExistingDatabase();
    void failedBackupAddsNoDatabase();
    void importITunesBackup();
    void importAsksThePasswordWhenRecordsAreEncrypted();
};

void TestCommands::initTestCase()
{
    QVERIFY(env.setUp());
    adb = std::make_unique<FakeAdb>();
    QVERIFY(adb->isValid());
}

void TestCommands::init()
{
    clearDataSubfolders({"local_databases", "virtual_ios", "virtual_android", "itunes_cache"});
    removeFolderRecursively(itunesBackupFolder().absolutePath());
    static int n = 0;
    out = env.makeDir(QStringLiteral("out%1").arg(++n));
}

void TestCommands::makeFamilyDb()
{
    PhoneSmsDb db(localStore("Family"), PhoneSchema::olderLocal());
    const qint64 alice = db.addHandle("+15550001", "SMS", "us", {}, "Alice");
    const qint64 bob = db.addHandle("+15550002", "SMS", "us", {}, "Bob");
    const qint64 carol = db.addHandle("+15550003");
    const qint64 aliceChat = db.addChat(alice);
    for (int i = 0; i < 20; ++i) {
        const qint64 m = db.addText(aliceChat, QStringLiteral("alice says %1").arg(i), alice,
                                    10000 + i * 1000, i % 3 == 0);
        if (i == 4)
            db.addAttachment(m, "beach.jpg", "jpeg bytes of the beach");
        if (i == 9)
            db.addAttachment(m, "cake.jpg", "jpeg bytes of the cake");
    }
    const qint64 group = db.addGroupChat({bob, carol}, "iMessage", "Weekend club");
    db.addText(group, "group hello", bob, 500000);
    db.addText(group, "group reply", carol, 500100);
    db.addText(db.addChat(bob), "bob only", bob, 5000);
    db.close();
    fillChatLastDates(db.path());
}

// ---- Path rules ----

void TestCommands::exportTargetRules_data()
{
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("existing"); // made first; "x/" a folder
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("format");

    QTest::newRow("text keeps its suffix") << 0 << "notes.log" << QStringList() << "notes.log" << 0;
    QTest::newRow("text gets .txt") << 0 << "notes" << QStringList() << "notes.txt" << 0;
    QTest::newRow("doc is text") << 1 << "letter" << QStringList() << "letter.doc" << 0;
    QTest::newRow("csv gets .csv") << 2 << "table" << QStringList() << "table.csv" << 1;
    QTest::newRow("csv keeps .txt") << 2 << "table.txt" << QStringList() << "table.txt" << 1;
    QTest::newRow("pdf base name") << 3 << "report.final.pdf" << QStringList() << "report-pdf" << 2;
    QTest::newRow("html no suffix") << 4 << "chat" << QStringList() << "chat-html" << 3;
    QTest::newRow("pdf of a dot name") << 3 << ".pdf" << QStringList() << "messages-pdf" << 2;
    QTest::newRow("html folder taken")
            << 4 << "chat.html" << QStringList {"chat-html/"} << "chat-html(1)" << 3;
    QTest::newRow("two taken") << 4 << "chat" << QStringList {"chat-html/", "chat-html(1)/"}
                               << "chat-html(2)" << 3;
    QTest::newRow("pdf name taken by a file")
            << 3 << "report" << QStringList {"report-pdf"} << "report-pdf(1)" << 2;
    QTest::newRow("unknown filter") << 7 << "x" << QStringList() << "" << -1;
}

void TestCommands::exportTargetRules()
{
    QFETCH(int, filter);
    QFETCH(QString, typed);
    QFETCH(QStringList, existing);
    QFETCH(QString, target);
    QFETCH(int, format);
    const QDir dir(out);
    for (const QString &e : existing) {
        if (e.endsWith('/')) {
            QVERIFY(dir.mkpath(e));
        } else {
            QFile f(dir.absoluteFilePath(e));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
    }
    const ExportTarget t = exportTargetFor(dir.absoluteFilePath(typed), filter);
    QCOMPARE(t.format, format);
    QCOMPARE(t.path, target.isEmpty() ? QString() : dir.absoluteFilePath(target));
}

void TestCommands::attachmentFolderNames()
{
    const QDateTime now(QDate(2013, 6, 2), QTime(9, 41, 7));
    const QString first = attachmentFolderFor(out, now);
    QCOMPARE(first, QDir(out).absoluteFilePath("attachments(20130602-094107)"));
    QVERIFY(QDir().mkpath(first));
    // A second run in the same second gets a folder of its own.
    const QString second = attachmentFolderFor(out, now);
    QVERIFY(second != first);
    QCOMPARE(QFileInfo(second).absolutePath(), out);
    QVERIFY(!QFileInfo::exists(second));
}

// ---- Export, print, extraction from the window ----

void TestCommands::exportEveryFormat_data()
{
    QTest::addColumn<int>("filter");
    QTest::newRow("txt") << int(ExportFilterTxt);
    QTest::newRow("doc") << int(ExportFilterDoc);
    QTest::newRow("csv") << int(ExportFilterCsv);
    QTest::newRow("pdf") << int(ExportFilterPdf);
    QTest::newRow("html") << int(ExportFilterHtml);
}

void TestCommands::exportEveryFormat()
{
    QFETCH(int, filter);
    makeFamilyDb();
    MainWindow w;
    w.show();
    selectNode(w, localDb(w, "Family"));
    QCOMPARE(w.smsModelObject()->rowCount(), 23);

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    answerer.act("QFileDialog", saveAs(filter, out + "/family"));
    call(w, "miExport"); // no row selected, a database current: every message
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().last().text, QString("Successfully exported 23 Messages."));

    if (filter <= ExportFilterCsv) {
        const QString file = out + "/family." + exportFilterSuffix(filter);
        QCOMPARE(filesBelow(out), QStringList {QFileInfo(file).fileName()});
        const QString text = readAll(file);
        for (const char *t : {"alice says 0", "alice says 19", "group reply", "bob only"})
            QVERIFY2(text.contains(t), t);
        return;
    }

    const QString folder = out + (filter == ExportFilterPdf ? "/family-pdf" : "/family-html");
    QVERIFY(QFileInfo(folder).isDir());
    if (filter == ExportFilterPdf) {
        const QStringList pdfs = QDir(folder).entryList({"*.pdf"}, QDir::Files);
        QCOMPARE(pdfs.size(), 3);
        const QString pdftotext = QStandardPaths::findExecutable("pdftotext");
        if (pdftotext.isEmpty())
            QSKIP("pdftotext (poppler-utils) is not installed");
        QString all;
        for (const QString &pdf : pdfs) {
            QProcess p;
            p.start(pdftotext, {QDir(folder).absoluteFilePath(pdf), "-"});
            QVERIFY(p.waitForFinished(30000));
            QCOMPARE(p.exitCode(), 0);
            all += QString::fromUtf8(p.readAllStandardOutput());
        }
        // The bubbles are pictures; the time line of every message is text.
        QCOMPARE(all.count("Jan 2001"), 23);
        for (const char *t : {"01 Jan 2001 1:23 AM", "01 Jan 2001 2:46 AM", "06 Jan 2001 6:53 PM"})
            QVERIFY2(all.contains(t), t);
        return;
    }

    const QStringList pages = QDir(folder).entryList({"*.html"}, QDir::Files);
    QCOMPARE(pages.size(), 3);
    QString alicePage;
    for (const QString &p : pages) {
        const QString html = readAll(QDir(folder).absoluteFilePath(p));
        if (html.contains("alice says 3"))
            alicePage = html;
    }
    QVERIFY(alicePage.contains("class=\"bb1\"")); // received
    QVERIFY(alicePage.contains("class=\"bb2\"")); // sent
    // Every picture is linked and its copy sits where the link points.
    for (const char *name : {"beach.jpg", "cake.jpg"}) {
        const QString href = QStringLiteral("href=\"files/%1\"").arg(QLatin1String(name));
        QVERIFY2(alicePage.contains(href), name);
        QVERIFY(QFile::exists(folder + "/files/" + name));
    }
    QCOMPARE(readAll(folder + "/files/beach.jpg"), QString("jpeg bytes of the beach"));
}

void TestCommands::exportAsksAboutTheRealTarget()
{
    makeFamilyDb();
    const QString report = out + "/report.txt";
    {
        QFile f(report);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }
    {
        QFile f(out + "/report.pdf");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("an unrelated pdf");
    }
    MainWindow w;
    w.show();
    selectNode(w, localDb(w, "Family"));

    // "report" under the text filter is report.txt: the dialog asks about
    // that file; No keeps the dialog open and the file as it was.
    {
    ModalAnswerer answerer;
    answerer.act("QFileDialog", saveAs(ExportFilterTxt, out + "/report"));
    answerer.press("QMessageBox", "btnNo");
    answerer.act("QFileDialog", later([](QWidget *d) { static_cast<QDialog *>(d)->reject(); }));
    call(w, "miExport");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().size(), 3);
    QVERIFY2(answerer.seen().at(1).text.contains("report.txt"),
             qPrintable(answerer.seen().at(1).text));
    QCOMPARE(readAll(report), QString("keep me"));
    }

    // Yes replaces it with the export.
    {
        ModalAnswerer yes;
        yes.setDefaultBoxAnswer("btnOk");
        yes.act("QFileDialog", saveAs(ExportFilterTxt, out + "/report"));
        yes.press("QMessageBox", "btnYes");
        call(w, "miExport");
        QVERIFY(yes.stuck().isEmpty());
        QVERIFY(readAll(report).contains("bob only"));
    }

    // The PDF export writes into a new folder: nothing is asked about
    // report.pdf, which stays as it was; a second run gets a folder of its
    // own instead of mixing its files into the first.
    for (int run = 0; run < 2; ++run) {
        ModalAnswerer pdf;
        pdf.setDefaultBoxAnswer("btnOk");
        pdf.act("QFileDialog", saveAs(ExportFilterPdf, out + "/report.pdf"));
        call(w, "miExport");
        QVERIFY(pdf.stuck().isEmpty());
        QCOMPARE(seenTexts(pdf), (QStringList {"Please select Save Path for messages.",
                                               "Successfully exported 23 Messages."}));
    }
    QCOMPARE(readAll(out + "/report.pdf"), QString("an unrelated pdf"));
    QCOMPARE(QDir(out + "/report-pdf").entryList({"*.pdf"}).size(), 3);
    QCOMPARE(QDir(out + "/report-pdf(1)").entryList({"*.pdf"}).size(), 3);
}

void TestCommands::variantsPickTheirLists()
{
    makeFamilyDb();
    // One window at a time: the second below replaces this one.
    auto first = std::make_unique<MainWindow>();
    MainWindow &w = *first;
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    auto exportTxt = [&](const QString &name, const char *slot) {
        ModalAnswerer answerer;
        answerer.setDefaultBoxAnswer("btnOk");
        answerer.act("QFileDialog", saveAs(ExportFilterTxt, out + "/" + name));
        call(w, slot);
        return readAll(out + "/" + name + ".txt");
    };

    // Three selected rows, a whole database current: the three rows.
    selectRows(w, {0, 1, 2});
    const QString sel = exportTxt("sel", "miExport");
    QCOMPARE(sel.count("alice says"), 2);
    QVERIFY(sel.contains("bob only"));
    QVERIFY(!sel.contains("group"));

    // No selection, a conversation current: that conversation.
    selectNode(w, chatNode(family, "Alice"));
    treeSMS(w)->selectionModel()->clearSelection();
    const QString chat = exportTxt("chat", "miExport");
    QCOMPARE(chat.count("alice says"), 20);
    QVERIFY(!chat.contains("bob only"));

    // An empty selection asks nothing and starts nothing.
    for (auto slot : {"miExportSel", "miPrintSel",
                      "miExtractMediaSel", "miBackupSel",
                      "miDelSel"}) {
        ModalAnswerer answerer;
        answerer.act("QMessageBox", later([](QWidget *box) {
            saveShot(box, QStringLiteral("nomessagesbox"));
            ModalAnswerer::clickButton(box, "btnOk");
        }));
        call(w, slot);
        QCOMPARE(answerer.seen().size(), 1);
        QCOMPARE(answerer.seen().first().text,
                 QString("There are no messages to work on. Select some messages first."));
    }

    // The whole-node variants on an empty database do nothing at all.
    {
        PhoneSmsDb empty(localStore("Empty"), PhoneSchema::olderLocal());
    }
    first.reset();
    MainWindow w2;
    w2.show();
    selectNode(w2, localDb(w2, "Empty"));
    ModalAnswerer answerer;
    for (auto slot : {"miExportAll", "miPrintAll",
                      "miExtractMediaAll"})
        call(w2, slot);
    QCOMPARE(answerer.seen().size(), 0);
    QCOMPARE(filesBelow(out), (QStringList {"chat.txt", "sel.txt"}));
}

void TestCommands::printThroughPreview()
{
    makeFamilyDb();
    MainWindow w;
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    selectNode(w, chatNode(family, "Alice"));

    ModalAnswerer answerer;
    int pages = -1;
    QString title;
    answerer.act("QPrintPreviewDialog", later([&](QWidget *d) {
        auto *preview = d->findChild<QPrintPreviewWidget *>();
        QVERIFY(preview);
        preview->updatePreview();
        pages = preview->pageCount();
        title = d->windowTitle();
        static_cast<QDialog *>(d)->reject();
    }));
    call(w, "miPrint");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(title, QString("Print Messages"));
    QVERIFY2(pages >= 2, qPrintable(QString::number(pages))); // 20 bubbles fill pages

    // One selected row fits on one page.
    selectRows(w, {0});
    answerer.act("QPrintPreviewDialog", later([&](QWidget *d) {
        pages = d->findChild<QPrintPreviewWidget *>()->pageCount();
        static_cast<QDialog *>(d)->reject();
    }));
    call(w, "miPrint");
    QCOMPARE(pages, 1);
}

void TestCommands::extractTwiceInOneSecond()
{
    makeFamilyDb();
    MainWindow w;
    w.show();
    selectNode(w, localDb(w, "Family"));

    QStringList folders;
    for (int run = 0; run < 2; ++run) {
        ModalAnswerer answerer;
        answerer.setDefaultBoxAnswer("btnOk");
        answerer.act("QFileDialog", pickFolder(out));
        call(w, "miExtractMedia");
        QVERIFY(answerer.stuck().isEmpty());
        folders = QDir(out).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(folders.size(), run + 1);
    }
    // Each run has its own folder holding both pictures, whether or not the
    // two runs fell in one second.
    for (const QString &f : folders) {
        QVERIFY2(f.startsWith("attachments("), qPrintable(f));
        QCOMPARE(filesBelow(out + "/" + f), (QStringList {"beach.jpg", "cake.jpg"}));
    }
}

// ---- Deletion ----

void TestCommands::deleteSelectedMessages()
{
    makeFamilyDb();
    const QString dbPath = PhoneSmsDb::smsDbPathOf(localStore("Family"));
    MainWindow w;
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    selectNode(w, chatNode(family, "Alice"));
    selectRows(w, {0, 1, 4});
    const MsgMessageList chosen = w.collectSelectedMessages();
    QList<qint64> rowids;
    for (auto *m : chosen)
        rowids << m->ROWID;

    // No: nothing happens.
    {
        ModalAnswerer answerer;
        answerer.press("QMessageBox", "btnNo");
        call(w, "miDel");
        QCOMPARE(answerer.seen().first().text, QString("Confirm to delete the selected Messages?"));
        QCOMPARE(countRows(dbPath, "select count(*) from message"), 23);
    }

    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    answerer.setDefaultBoxAnswer("btnOk");
    call(w, "miDel");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().last().text, QString("Successfully Deleted 3 Messages."));
    QCOMPARE(countRows(dbPath, "select count(*) from message"), 20);
    // The beach picture went with its message; the cake stays.
    QCOMPARE(countRows(dbPath, "select count(*) from attachment"), 1);

    // The records are gone from the data set and the conversation; the
    // conversation node stays and the database is shown again.
    _MsgDataSet *set = family->dataSet.data();
    for (qint64 r : rowids)
        QVERIFY(!set->messages.contains(r));
    QVERIFY(chatNode(family, "Alice"));
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(family));
    QCOMPARE(w.smsModelObject()->rowCount(), 20);
    for (auto *m : w.shownMessages())
        QCOMPARE(set->messages.value(m->ROWID), m);
    QCOMPARE(set->chats.first()->messages.size() + 3, 20); // Alice's chat lost three
}

void TestCommands::deleteConversation()
{
    makeFamilyDb();
    const QString dbPath = PhoneSmsDb::smsDbPathOf(localStore("Family"));
    MainWindow w;
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    selectNode(w, chatNode(family, "Alice"));
    QCOMPARE(w.smsModelObject()->rowCount(), 20);

    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    answerer.setDefaultBoxAnswer("btnOk");
    call(w, "miDel"); // no row selected, a conversation current: the conversation
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().first().text, QString("Confirm to delete Messages with this contact?"));
    QCOMPARE(answerer.seen().last().text, QString("Successfully Deleted 20 Messages."));

    QCOMPARE(countRows(dbPath, "select count(*) from message"), 3);
    QCOMPARE(countRows(dbPath, "select count(*) from chat"), 2);
    QCOMPARE(countRows(dbPath, "select count(*) from attachment"), 0);
    QVERIFY(!chatNode(family, "Alice"));
    QCOMPARE(family->children.size(), 2);
    QCOMPARE(family->dataSet.data()->chats.size(), 2);
    QCOMPARE(family->dataSet.data()->messages.size(), 3);
    QCoreApplication::processEvents();
    QVERIFY(!w.currentNode());
    QCOMPARE(w.smsModelObject()->rowCount(), 0);
    // Nothing current: no command is offered.
    QCOMPARE(MainWindowTestAccess::actionState(w), QString("0000000"));
    saveShot(&w, QStringLiteral("mainwindow-after-delete"));

    // The database, shown again, lists what is left.
    selectNode(w, family);
    QCOMPARE(w.smsModelObject()->rowCount(), 3);
}

void TestCommands::deleteRecoveredConversation()
{
    makeFamilyDb();
    {
        // Two salvaged messages of a number the database no longer knows.
        IOS6MessageDb db(QDir(localStore("Family")), QString(), false);
        MessageRecycleDb &recycle = db.recycleStore();
        for (int i = 0; i < 2; ++i) {
            _MsgMessage m;
            m.text = QStringLiteral("salvaged %1").arg(i);
            m.date = 7000 + i;
            m.guid = PhoneSmsDb::newGuid();
            recycle.insertRecycledMessage(m, "+15559999", "+15559999", 40 + i);
        }
    }
    MainWindow w;
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    // Shown beside the live ones, as the recovery command shows them.
    auto *db = dynamic_cast<IOS6MessageDb *>(family->db.data());
    QVERIFY(db);
    db->loadRecycledChats(family->dataSet);
    w.treeModelObject()->rebuildChatSessions(family);
    QCOMPARE(family->dataSet.data()->messages.size(), 25);
    AbsTreeItemModel::_ItemNode *red = chatNode(family, "+15559999");
    QVERIFY(red);
    selectNode(w, red);
    QCOMPARE(w.smsModelObject()->rowCount(), 2);

    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    answerer.setDefaultBoxAnswer("btnOk");
    call(w, "miDel");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().last().text, QString("Successfully Deleted 2 Messages."));
    QVERIFY(!chatNode(family, "+15559999"));
    QCOMPARE(family->dataSet.data()->messages.size(), 23);
    selectNode(w, family);
    QCOMPARE(w.smsModelObject()->rowCount(), 23);

    // They do not come back: they are gone from recycle.db, and the live
    // messages are all still there.
    const QString store = localStore("Family");
    QCOMPARE(countRows(store + "/recycle.db", "select count(*) from message"), 0);
    QCOMPARE(countRows(PhoneSmsDb::smsDbPathOf(store), "select count(*) from message"), 23);
    IOS6MessageDb again(QDir(store), QString(), false);
    MsgDataSet set;
    again.messages(set, 0);
    again.loadRecycledChats(set);
    QCOMPARE(set.data()->messages.size(), 23);
}

// The list keeps what it shows when the node made current shows nothing new
// (a local database without conversations): its rows are then of another
// source than the current node's, and the commands on them act on theirs.
void TestCommands::commandsOnRowsOfAnotherSource()
{
    makeFamilyDb();
    // "Loose": message rows 1 to 3 but no conversation.
    const QString loosePath = PhoneSmsDb::smsDbPathOf(localStore("Loose"));
    {
        PhoneSmsDb db(localStore("Loose"), PhoneSchema::olderLocal());
        const qint64 h = db.addHandle("+15559999");
        const qint64 c = db.addChat(h);
        for (int i = 0; i < 3; ++i)
            db.addText(c, QStringLiteral("loose %1").arg(i), h, 100 + i);
        db.close();
        RawSqlite raw(db.path());
        raw.exec("delete from chat");
    }
    {
        PhoneSmsDb android(dataFolder().absoluteFilePath("virtual_android/Pixel"));
        const qint64 h = android.addHandle("+15551234");
        android.addText(android.addChat(h), "on the pixel", h, 1000);
    }
    const QString familyPath = PhoneSmsDb::smsDbPathOf(localStore("Family"));
    MainWindow w;
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    _AbsDBItemNode *loose = localDb(w, "Loose");
    AbsTreeItemModel::_ItemNode *pixel = w.treeModelObject()->devicesRoot->children.first();

    // The list's menu is that of the rows' source.
    selectNode(w, pixel);
    selectNode(w, loose);
    QCOMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(loose));
    QCOMPARE(w.smsModelObject()->rowCount(), 1);
    QCOMPARE(listMenuEntries(w),
             (QStringList {"Backup selected Messages to Local Database",
                           "Transfer selected Messages to iPhone",
                           "Extract attachment from selected Messages",
                           "Export selected Messages to File", "Print selected Messages"}));

    // Rows of Family deleted while Loose is current: they go from Family,
    // and Loose's rows of the same row ids stay.
    selectNode(w, family);
    selectNode(w, chatNode(family, "Alice"));
    selectRows(w, {0, 1});
    selectNode(w, loose);
    QCOMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(loose));
    QCOMPARE(w.collectSelectedMessages().size(), 2);
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    answerer.setDefaultBoxAnswer("btnOk");
    call(w, "miDel");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().last().text, QString("Successfully Deleted 2 Messages."));
    QCOMPARE(countRows(loosePath, "select count(*) from message"), 3);
    QCOMPARE(countRows(familyPath, "select count(*) from message"), 21);
    QCOMPARE(family->dataSet.data()->messages.size(), 21);
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(family));
    QCOMPARE(w.smsModelObject()->rowCount(), 21);

    // Exported rows of Family with Loose current are Family's.
    selectNode(w, chatNode(family, "Alice"));
    selectRows(w, {0});
    selectNode(w, loose);
    ModalAnswerer exporter;
    exporter.setDefaultBoxAnswer("btnOk");
    exporter.act("QFileDialog", saveAs(ExportFilterTxt, out + "/rows"));
    call(w, "miExport");
    QVERIFY(exporter.stuck().isEmpty());
    const QString text = readAll(out + "/rows.txt");
    QVERIFY2(text.contains("alice says 2"), qPrintable(text));
    QVERIFY(!text.contains("loose"));
}

// A message filed in two conversations (a join row for each) leaves both
// when it is deleted; a conversation it leaves empty goes from the database.
void TestCommands::deleteMessageOfTwoConversations()
{
    const QString dbPath = PhoneSmsDb::smsDbPathOf(localStore("Shared"));
    {
        PhoneSmsDb db(localStore("Shared"), PhoneSchema::olderLocal());
        const qint64 alice = db.addHandle("+15550001", "SMS", "us", {}, "Alice");
        const qint64 bob = db.addHandle("+15550002", "SMS", "us", {}, "Bob");
        const qint64 dan = db.addHandle("+15550004", "SMS", "us", {}, "Dan");
        const qint64 aliceChat = db.addChat(alice);
        const qint64 bobChat = db.addChat(bob);
        const qint64 danChat = db.addChat(dan);
        qint64 shared = 0;
        for (int i = 0; i < 5; ++i)
            shared = db.addText(aliceChat, QStringLiteral("alice says %1").arg(i), alice,
                                10000 + i * 1000);
        db.addText(bobChat, "bob only", bob, 5000);
        // "alice says 4" is filed under Bob's and Dan's chats too.
        for (const qint64 chat : {bobChat, danChat})
            db.db().exec(QStringLiteral("insert into chat_message_join (chat_id, message_id) "
                                        "values (%1, %2)")
                                 .arg(chat)
                                 .arg(shared));
        db.close();
        fillChatLastDates(db.path());
    }
    MainWindow w;
    w.show();
    _AbsDBItemNode *source = localDb(w, "Shared");
    selectNode(w, source);
    QCOMPARE(source->children.size(), 3);
    selectNode(w, chatNode(source, "Alice"));
    QCOMPARE(w.smsModelObject()->rowCount(), 5);
    selectRows(w, {4});
    QCOMPARE(w.collectSelectedMessages().first()->text, QString("alice says 4"));

    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    answerer.setDefaultBoxAnswer("btnOk");
    call(w, "miDelSel");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().last().text, QString("Successfully Deleted 1 Messages."));

    // No conversation lists a record the set no longer holds.
    _MsgDataSet *set = source->dataSet.data();
    QCOMPARE(set->messages.size(), 5);
    for (const _MsgChat *c : std::as_const(set->chats))
        for (_MsgMessage *m : c->messages)
            QCOMPARE(set->messages.value(m->ROWID), m);
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(source));
    selectNode(w, chatNode(source, "Bob"));
    QCOMPARE(w.smsModelObject()->rowCount(), 1);
    QCOMPARE(w.shownMessages().first()->text, QString("bob only"));
    selectNode(w, chatNode(source, "Alice"));
    QCOMPARE(w.smsModelObject()->rowCount(), 4);
    selectNode(w, chatNode(source, "Dan"));
    QCOMPARE(w.smsModelObject()->rowCount(), 0);

    // In the database: the message and its joins gone, and Dan's chat,
    // which it left empty.
    QCOMPARE(countRows(dbPath, "select count(*) from message"), 5);
    QCOMPARE(countRows(dbPath, "select count(*) from chat_message_join where message_id=5"), 0);
    QCOMPARE(countRows(dbPath, "select count(*) from chat"), 2);
}

// Rows another window of the program deleted meanwhile are not counted as
// deleted by this one.
void TestCommands::deleteCountsWhatTheDatabaseDeleted()
{
    makeFamilyDb();
    const QString dbPath = PhoneSmsDb::smsDbPathOf(localStore("Family"));
    MainWindow w;
    w.show();
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    selectNode(w, chatNode(family, "Alice"));
    selectRows(w, {0, 1, 2});
    QList<qint64> rowids;
    for (const _MsgMessage *m : w.collectSelectedMessages())
        rowids << m->ROWID;
    std::sort(rowids.begin(), rowids.end());
    {
        RawSqlite other(dbPath);
        other.exec(QStringLiteral("delete from message where rowid in (%1, %2)")
                           .arg(rowids.at(0))
                           .arg(rowids.at(2)));
    }

    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    answerer.setDefaultBoxAnswer("btnOk");
    call(w, "miDel");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().last().text,
             ids("IDS_SUC_DELETE_%1_OF_%2_MESSAGES").arg(1).arg(3));
    QVERIFY(answerer.seen().last().text.startsWith("Deleted 1 of the 3 chosen Messages."));
    QCOMPARE(countRows(dbPath, "select count(*) from message"), 20);
    // Nothing of the three is shown any more.
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(family));
    QCOMPARE(w.smsModelObject()->rowCount(), 20);
}

// ---- Backup to local databases ----

void TestCommands::backupIntoNewAndExistingDatabase()
{
    const QString phone = dataFolder().absoluteFilePath("virtual_android/Pixel 9");
    {
        PhoneSmsDb db(phone);
        const qint64 h = db.addHandle("+15551234", "SMS", "us", {}, "Dana");
        const qint64 c = db.addChat(h);
        for (int i = 0; i < 5; ++i)
            db.addText(c, QStringLiteral("dana %1").arg(i), h, 1000 + i);
        db.addText(db.addChat(db.addHandle("+15554321")), "someone else", 0, 900);
    }
    makeFamilyDb();
    MainWindow w;
    w.show();
    AbsTreeItemModel::_ItemNode *android = w.treeModelObject()->devicesRoot->children.first();
    QCOMPARE(android->text, QString("Pixel 9"));
    selectNode(w, android);
    QCOMPARE(w.smsModelObject()->rowCount(), 6);
    const int before = w.treeModelObject()->localDbRoot->children.size();

    // A new name: the database is made and its node added and selected.
    QString proposed;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    answerer.act("LocalDbSelForm", chooseDb("Pixel 9_Backup", &proposed));
    call(w, "miBackup");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(proposed, QString("Pixel 9_Backup"));
    QCOMPARE(answerer.seen().last().text,
             QString("Successfully Backup 6 Messages to local Database."));
    _AbsDBItemNode *backup = localDb(w, "Pixel 9_Backup");
    QVERIFY(backup);
    QCOMPARE(w.treeModelObject()->localDbRoot->children.size(), before + 1);
    QCOMPARE(backup->children.size(), 2);
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(backup));
    const QString backupDb = PhoneSmsDb::smsDbPathOf(localStore("Pixel 9_Backup"));
    QCOMPARE(countRows(backupDb, "select count(*) from message"), 6);

    // One conversation, into the same database typed in another case: no
    // second node, nothing stored twice; the proposal names the phone, not
    // the conversation.
    selectNode(w, android);
    selectNode(w, android->children.first());
    ModalAnswerer again;
    again.setDefaultBoxAnswer("btnOk");
    again.act("LocalDbSelForm", chooseDb("pixel 9_BACKUP", &proposed));
    call(w, "miBackup");
    QVERIFY(again.stuck().isEmpty());
    QCOMPARE(proposed, QString("Pixel 9_Backup"));
    QCOMPARE(w.treeModelObject()->localDbRoot->children.size(), before + 1);
    QCOMPARE(countRows(backupDb, "select count(*) from message"), 6);
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(backup));

    // Into an existing database shown in the panes: its node is refilled
    // with the new messages.
    selectNode(w, localDb(w, "Family"));
    selectNode(w, android);
    ModalAnswerer family;
    family.setDefaultBoxAnswer("btnOk");
    family.act("LocalDbSelForm", chooseDb("FAMILY"));
    call(w, "miBackupAll");
    QVERIFY(family.stuck().isEmpty());
    QCOMPARE(countRows(PhoneSmsDb::smsDbPathOf(localStore("Family")), "select count(*) from message"),
             29);
    _AbsDBItemNode *fam = localDb(w, "Family");
    QCOMPARE(fam->children.size(), 5);
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(fam));
    QCOMPARE(w.smsModelObject()->rowCount(), 29);
}

void TestCommands::failedBackupAddsNoDatabase()
{
    const QString phone = dataFolder().absoluteFilePath("virtual_android/Pixel 9");
    {
        PhoneSmsDb db(phone);
        const qint64 h = db.addHandle("+15551234");
        db.addText(db.addChat(h), "hello", h, 1000);
    }
    // A file where the new database's folder would go: the job fails.
    {
        QFile blocker(localStore("Blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder");
    }
    MainWindow w;
    w.show();
    selectNode(w, w.treeModelObject()->devicesRoot->children.first());
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    answerer.act("LocalDbSelForm", chooseDb("Blocked"));
    call(w, "miBackupAll");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().last().icon, int(QMessageBox::Critical));
    QVERIFY(!localDb(w, "Blocked"));
    QCOMPARE(readAll(localStore("Blocked")), QString("not a folder"));
}

void TestCommands::importITunesBackup()
{
    // A backup whose sms.db holds one conversation.
    const QString staging = env.makeDir("bk-staging");
    QByteArray smsDb;
    {
        PhoneSmsDb db(staging);
        const qint64 h = db.addHandle("+15557777", "SMS", "us", {}, "Eve");
        const qint64 c = db.addChat(h);
        db.addText(c, "from the backup 1", h, 2000);
        db.addText(c, "from the backup 2", h, 2100, true);
        db.close();
        QFile f(db.path());
        QVERIFY(f.open(QIODevice::ReadOnly));
        smsDb = f.readAll();
    }
    FakeBackup bk(itunesBackupFolder().absoluteFilePath("0123abcd"));
    bk.addFolder("HomeDomain", "");
    bk.addFolder("HomeDomain", "Library");
    bk.addFolder("HomeDomain", "Library/SMS");
    bk.addFile("HomeDomain", "Library/SMS/sms.db", smsDb).size = smsDb.size();
    bk.write();

    auto pickFirstBackup = later([](QWidget *d) {
        auto *list = d->findChild<QTreeView *>("listBackups");
        list->setCurrentIndex(list->model()->index(0, 0));
        ModalAnswerer::clickButton(d, "btnLoad");
    });

    MainWindow w;
    w.show();
    QString proposed;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    answerer.act("LoadItunesBackupDlg", pickFirstBackup);
    answerer.act("LocalDbSelForm", chooseDb("Archive", &proposed));
    call(w, "miImportItunes");
    QVERIFY(answerer.stuck().isEmpty());
    // No database current: the backup's device name.
    QCOMPARE(proposed, QString("Work Phone_Backup"));
    _AbsDBItemNode *imported = localDb(w, "Archive");
    QVERIFY(imported);
    QVERIFY(!localDb(w, "Work Phone_Backup"));
    const QString importedDb = PhoneSmsDb::smsDbPathOf(localStore("Archive"));
    QCOMPARE(countRows(importedDb, "select count(*) from message"), 2);
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(imported));

    // Into the current local database: its own name is proposed, not the
    // backup's; the messages are there already.
    ModalAnswerer into;
    into.setDefaultBoxAnswer("btnOk");
    into.act("LoadItunesBackupDlg", pickFirstBackup);
    into.act("LocalDbSelForm", chooseDb("Archive", &proposed));
    call(w, "miImportToLocalDb");
    QVERIFY(into.stuck().isEmpty());
    QCOMPARE(proposed, QString("Archive"));
    QCOMPARE(countRows(importedDb, "select count(*) from message"), 2);
    QCOMPARE(w.treeModelObject()->localDbRoot->children.size(), 1);
}

void TestCommands::importAsksThePasswordWhenRecordsAreEncrypted()
{
    // An encrypted backup whose Manifest.plist does not say so: its file
    // records carry keys.
    const QString staging = env.makeDir("enc-staging");
    QByteArray smsDb;
    {
        PhoneSmsDb db(staging);
        const qint64 h = db.addHandle("+15558888", "SMS", "us", {}, "Zoe");
        db.addText(db.addChat(h), "kept secret", h, 2000);
        db.close();
        QFile f(db.path());
        QVERIFY(f.open(QIODevice::ReadOnly));
        smsDb = f.readAll();
    }
    const QByteArray password = "open sesame";
    FakeBackup bk(itunesBackupFolder().absoluteFilePath("0123cafe"));
    const encbackup::KeybagFixture keybag = encbackup::makeKeybag(password, 16, {{3, 2, 0}});
    bk.device.name = "Quiet Phone";
    bk.device.encrypted = false;
    bk.device.keybag = keybag.bytes;
    bk.addFolder("HomeDomain", "");
    bk.addFolder("HomeDomain", "Library");
    bk.addFolder("HomeDomain", "Library/SMS");
    const encbackup::EncryptedFile e = encbackup::encryptFile(smsDb, keybag.classKeys.value(3), 3, 7);
    FakeBackup::Entry &entry = bk.addFile("HomeDomain", "Library/SMS/sms.db", e.cipher);
    entry.size = smsDb.size();
    entry.dataHash = QCryptographicHash::hash(smsDb, QCryptographicHash::Sha1);
    entry.encryptionKey = e.storedKey;
    entry.protectionClass = 3;
    bk.write();

    MainWindow w;
    w.show();
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    answerer.act("LoadItunesBackupDlg", later([](QWidget *d) {
                     auto *list = d->findChild<QTreeView *>("listBackups");
                     list->setCurrentIndex(list->model()->index(0, 0));
                     ModalAnswerer::clickButton(d, "btnLoad");
                 }));
    answerer.act("PasscodeDlg", later([password](QWidget *d) {
                     d->findChild<QLineEdit *>("txtPasscode")->setText(QString::fromUtf8(password));
                     ModalAnswerer::clickButton(d, "btnOK");
                 }));
    answerer.act("LocalDbSelForm", chooseDb("Quiet"));
    call(w, "miImportItunes");
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.pending(), 0);
    QVERIFY(localDb(w, "Quiet"));
    const QString importedDb = PhoneSmsDb::smsDbPathOf(localStore("Quiet"));
    QCOMPARE(countRows(importedDb, "select count(*) from message"), 1);
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
