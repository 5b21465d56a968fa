#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QLineEdit>
#include <QTextDocument>
#include <QTranslator>
#include <QTreeView>
#include <QtTest>

#include <sys/time.h>

#include "backup/backupmanifest.h"
#include "backup/itemmodelloadbk.h"
#include "backup/loaditunesbackupdlg.h"
#include "backup/passcodedlg.h"
#include "tests/support/encryptedbackup.h"
#include "tests/support/fakebackup.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/screenshot.h"
#include "tests/support/testenv.h"

namespace {

// Runs the answer from the event loop instead of inside the answerer's timer
// slot: an answer that opens another box runs a nested loop, and the
// answerer's timer does not fire again while its own slot runs.
std::function<void(QWidget *)> later(std::function<void(QWidget *)> fn)
{
    return [fn](QWidget *w) { QTimer::singleShot(0, w, [fn, w] { fn(w); }); };
}

std::function<void(QWidget *)> click(const QString &button)
{
    return later([button](QWidget *w) { ModalAnswerer::clickButton(w, button); });
}

// Gives the folder a modification time, so that the listing's folder order
// differs from the backups' own dates.
void setFolderTime(const QString &path, qint64 secs)
{
    struct timeval tv[2] = {{time_t(secs), 0}, {time_t(secs), 0}};
    QCOMPARE(::utimes(QFile::encodeName(path).constData(), tv), 0);
}

QString makeBackup(const QString &folder, const QString &name, const QDateTime &date)
{
    FakeBackup b(folder);
    b.device.name = name;
    b.device.date = date;
    b.addFile("HomeDomain", "Library/SMS/sms.db", "not really a database");
    b.write();
    return folder;
}

QStringList names(ItemModelLoadBk &model)
{
    QStringList out;
    for (int r = 0; r < model.rowCount(); ++r)
        out << model.index(r, 0).data().toString();
    return out;
}

// What a view shows for a tooltip or label text: Qt reads a text that looks
// like markup as markup.
QString shownText(const QString &text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    QTextDocument doc;
    doc.setHtml(text);
    return doc.toPlainText();
}

const QDateTime kMonday(QDate(2013, 6, 3), QTime(10, 0), Qt::UTC);
const QDateTime kTuesday(QDate(2013, 6, 4), QTime(10, 0), Qt::UTC);
const QDateTime kWednesday(QDate(2013, 6, 5), QTime(10, 0), Qt::UTC);

} // namespace

class TestBackupPicker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listsNewestFirstWithRowData();
    void namesAndPathsShowAsTyped();
    void newerKindIsListedGreyedAndCannotBeLoaded();
    void loadNeedsAChoiceAndTakesButtonOrDoubleClick();
    void addOtherRefusesDuplicatesAndBadFolders();
    void cancelLeavesNothingSelected();
    void passcodeEmptyWrongRight();
    void passcodeTriesBlanksUnchanged();
    void passcodeDamagedKeybagShowsTheError();

private:
    TestEnv m_env;
    QTranslator m_translator;
    QString m_root;
    QString m_elsewhere;
};

void TestBackupPicker::initTestCase()
{
    QVERIFY(m_translator.load(":/en.qm"));
    QCoreApplication::installTranslator(&m_translator);
    m_root = itunesBackupFolder().absolutePath();
    QVERIFY(QDir().mkpath(m_root));
    // Folder order (by modification time) is Tuesday, Monday, Wednesday.
    setFolderTime(makeBackup(m_root + "/bbb", "Monday Phone", kMonday), 2000);
    setFolderTime(makeBackup(m_root + "/ccc", "Wednesday Phone", kWednesday), 3000);
    setFolderTime(makeBackup(m_root + "/aaa", "Tuesday Phone", kTuesday), 1000);
    // Not backups: a plain folder, and one with Manifest.plist only.
    QVERIFY(QDir().mkpath(m_root + "/empty"));
    FakeBackup plistOnly(m_root + "/plistonly");
    plistOnly.device.name = "Half Phone";
    QVERIFY(QDir().mkpath(plistOnly.folder()));
    plistOnly.writeManifestPlist(PyPlist::Xml);
    // A newer phone's backup: Manifest.db in place of Manifest.mbdb.
    FakeBackup newer(m_root + "/newer");
    newer.device.name = "Newer Phone";
    newer.device.date = kMonday.addDays(-1);
    QVERIFY(QDir().mkpath(newer.folder()));
    newer.writeManifestPlist(PyPlist::Xml);
    QFile db(newer.folder() + "/Manifest.db");
    QVERIFY(db.open(QIODevice::WriteOnly));
    db.write("SQLite format 3");
    db.close();

    m_elsewhere = m_env.makeDir("elsewhere");
    makeBackup(m_elsewhere + "/old", "Old Phone", kMonday.addYears(-2));
}

void TestBackupPicker::listsNewestFirstWithRowData()
{
    LoadItunesBackupDlg dlg;
    ItemModelLoadBk &model = dlg.model();
    QCOMPARE(model.rowCount(), 4);
    QCOMPARE(names(model).mid(0, 3),
             QStringList({"Wednesday Phone-ccc", "Tuesday Phone-aaa", "Monday Phone-bbb"}));
    QCOMPARE(model.columnCount(), 3);
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QString("Name"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QString("Backup Date"));
    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QString("Path"));
    QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
    QCOMPARE(model.index(0, 2).data().toString(), m_root + "/ccc");
    QCOMPARE(model.index(0, 2).data(Qt::ToolTipRole).toString(), m_root + "/ccc");
    QCOMPARE(model.index(0, 1).data().toString(),
             QLocale::system().toString(kWednesday, QLocale::ShortFormat));
    const QPixmap icon = model.index(0, 0).data(Qt::DecorationRole).value<QPixmap>();
    QCOMPARE(icon.width(), 18);
    QVERIFY(!model.index(0, 1).data(Qt::DecorationRole).isValid());
    QCOMPARE(model.index(0, 0).data(Qt::BackgroundRole).value<QBrush>().color(),
             QColor(250, 250, 250));
    QCOMPARE(model.index(1, 0).data(Qt::BackgroundRole).value<QBrush>().color(),
             QColor(255, 255, 255));
    QCOMPARE(model.index(0, 0).data(Qt::SizeHintRole).toSize(), QSize(0, 25));
    QVERIFY(!dlg.findChild<QTreeView *>("listBackups")->currentIndex().isValid());
    QVERIFY(dlg.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(dlg.findChild<QPushButton *>("btnLoad")->text(), QString("Load"));
    QVERIFY(dlg.findChild<QLabel *>("lbTitle")->text().startsWith("Please select an iTunes Backup"));
    QVERIFY(dlg.findChild<QLabel *>("lbAddOther")->text().contains("<a href=\"#\">HERE</a>"));
}

void TestBackupPicker::namesAndPathsShowAsTyped()
{
    // The phone's name and the folder's come from outside: a picture tag in
    // them must not make a tooltip read that file, an entity must not turn
    // into a character.
    const QString picture = m_env.makeDir("pictures") + "/x.png";
    const QString name = QStringLiteral("<img src=\"%1\"><b>Tom</b> &amp; Jerry").arg(picture);
    const QString folder = makeBackup(m_elsewhere + "/<b>R&amp;D", name, kMonday.addYears(-3));
    ModalAnswerer answerer;
    LoadItunesBackupDlg dlg;
    ItemModelLoadBk::_BKItemNode *node = dlg.addBackupFolder(folder);
    QVERIFY(node);
    const QModelIndex row = dlg.model().indexForNode(node);
    QCOMPARE(row.data().toString(), name + "-<b>R&amp;D");
    QCOMPARE(shownText(row.data(Qt::ToolTipRole).toString()), name + "-<b>R&amp;D");
    const QModelIndex path = row.siblingAtColumn(2);
    QCOMPARE(path.data().toString(), folder);
    QCOMPARE(shownText(path.data(Qt::ToolTipRole).toString()), folder);
    QVERIFY(answerer.seen().isEmpty());
}

void TestBackupPicker::newerKindIsListedGreyedAndCannotBeLoaded()
{
    ModalAnswerer answerer;
    LoadItunesBackupDlg dlg;
    ItemModelLoadBk &model = dlg.model();
    // Its date is the oldest.
    const QModelIndex row = model.index(3, 0);
    QVERIFY(row.data().toString().startsWith("Newer Phone"));
    QVERIFY(row.data().toString().contains("not supported"));
    QVERIFY(row.data(Qt::ToolTipRole).toString().contains("not supported"));
    QCOMPARE(model.flags(row), Qt::NoItemFlags);
    QCOMPARE(model.flags(model.index(0, 0)), Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    // Even when made current by other means, Load refuses it.
    answerer.act("LoadItunesBackupDlg", later([&](QWidget *) {
        dlg.findChild<QTreeView *>("listBackups")->setCurrentIndex(row);
        ModalAnswerer::clickButton(&dlg, "btnLoad");
    }));
    answerer.press("QMessageBox", "btnOk");
    answerer.press("LoadItunesBackupDlg", "btnCancel");
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QVERIFY(dlg.selectedBackup.isNull());
    // Either the row cannot become current, or Load names the reason.
    QCOMPARE(answerer.seen().at(1).icon, int(QMessageBox::Warning));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestBackupPicker::loadNeedsAChoiceAndTakesButtonOrDoubleClick()
{
    ModalAnswerer answerer;
    {
        LoadItunesBackupDlg dlg;
        answerer.act("LoadItunesBackupDlg", click("btnLoad"));
        answerer.press("QMessageBox", "btnOk");
        answerer.act("LoadItunesBackupDlg", later([&](QWidget *) {
            dlg.findChild<QTreeView *>("listBackups")->setCurrentIndex(dlg.model().index(1, 0));
            saveShot(&dlg, "loaditunesbackupdlg");
            ModalAnswerer::clickButton(&dlg, "btnLoad");
        }));
        QCOMPARE(dlg.exec(), int(QDialog::Accepted));
        QCOMPARE(answerer.seen().at(1).text,
                 QString("Need to select an iTunes Backup to continue."));
        QVERIFY(dlg.selectedBackup);
        QCOMPARE(dlg.selectedBackup->displayName, QString("Tuesday Phone-aaa"));
        QCOMPARE(dlg.selectedBackup->deviceInfo.Date, kTuesday);
    }
    {
        QSharedPointer<BackupManifest> kept;
        {
            LoadItunesBackupDlg dlg;
            dlg.resize(600, 400);
            answerer.act("LoadItunesBackupDlg", later([&](QWidget *) {
                QTreeView *view = dlg.findChild<QTreeView *>("listBackups");
                // What the view sends on a double click of a row.
                view->setCurrentIndex(dlg.model().index(2, 0));
                emit view->doubleClicked(dlg.model().index(2, 0));
            }));
            QCOMPARE(dlg.exec(), int(QDialog::Accepted));
            kept = dlg.selectedBackup;
            // The column widths follow the dialog's width.
            QCOMPARE(dlg.findChild<QTreeView *>("listBackups")->header()->sectionSize(0), int((dlg.width() - 80) * 0.4));
        }
        // The chosen manifest outlives the dialog.
        QVERIFY(kept);
        QCOMPARE(kept->displayName, QString("Monday Phone-bbb"));
    }
    QVERIFY(answerer.stuck().isEmpty());
}

void TestBackupPicker::addOtherRefusesDuplicatesAndBadFolders()
{
    ModalAnswerer answerer;
    LoadItunesBackupDlg dlg;
    ItemModelLoadBk &model = dlg.model();

    answerer.press("QMessageBox", "btnOk");
    QVERIFY(!dlg.addBackupFolder(m_root + "/ccc"));
    QCOMPARE(answerer.seen().last().text, QString("This iTunes Backup has been listed on the left."));
    // The same folder written another way is the same backup.
    answerer.press("QMessageBox", "btnOk");
    QVERIFY(!dlg.addBackupFolder(m_root + "/aaa/../ccc/"));
    QCOMPARE(model.rowCount(), 4);

    // An older backup goes to the bottom and becomes current.
    auto *node = dlg.addBackupFolder(m_elsewhere + "/old");
    QVERIFY(node);
    QCOMPARE(model.rowCount(), 5);
    QCOMPARE(model.index(4, 0).data().toString(), QString("Old Phone-old"));
    QCOMPARE(dlg.findChild<QTreeView *>("listBackups")->currentIndex().row(), 4);

    // A folder without Manifest.plist: error box, no row.
    answerer.press("QMessageBox", "btnOk");
    QVERIFY(!dlg.addBackupFolder(m_env.makeDir("nothing")));
    QVERIFY(answerer.seen().last().text.contains("load " + m_env.home() + "/nothing error."));
    QCOMPARE(model.rowCount(), 5);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestBackupPicker::cancelLeavesNothingSelected()
{
    ModalAnswerer answerer;
    LoadItunesBackupDlg dlg;
    answerer.act("LoadItunesBackupDlg", later([&](QWidget *) {
        dlg.findChild<QTreeView *>("listBackups")->setCurrentIndex(dlg.model().index(0, 0));
        QTest::keyClick(&dlg, Qt::Key_Escape);
    }));
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QVERIFY(dlg.selectedBackup.isNull());
    QVERIFY(answerer.stuck().isEmpty());
}

namespace {

void typeAndOk(ModalAnswerer &answerer, const QString &text)
{
    answerer.act("PasscodeDlg", later([text](QWidget *w) {
        w->findChild<QLineEdit *>("txtPasscode")->setText(text);
        ModalAnswerer::clickButton(w, "btnOK");
    }));
}

} // namespace

void TestBackupPicker::passcodeEmptyWrongRight()
{
    BackupManifest manifest(m_root + "/ccc");
    manifest.deviceInfo.IsEncrypted = true;
    manifest.deviceInfo.BackupKeyBag
            = encbackup::makeKeybag("s3cret", 16, {{1, 2, 0}, {3, 2, 0}}).bytes;
    ModalAnswerer answerer;
    QString afterWrong = "(not seen)";
    typeAndOk(answerer, "");
    answerer.press("QMessageBox", "btnOk");
    typeAndOk(answerer, "s3cre");
    answerer.press("QMessageBox", "btnOk");
    answerer.act("PasscodeDlg", later([&](QWidget *w) {
        afterWrong = w->findChild<QLineEdit *>("txtPasscode")->text();
        saveShot(w, "passcodedlg");
        QVERIFY(!manifest.keybag.isUnlocked());
        w->findChild<QLineEdit *>("txtPasscode")->setText("s3cret");
        ModalAnswerer::clickButton(w, "btnOK");
    }));
    PasscodeDlg dlg(&manifest);
    QCOMPARE(dlg.findChild<QLineEdit *>("txtPasscode")->echoMode(), QLineEdit::Password);
    QCOMPARE(dlg.findChild<QLineEdit *>("txtPasscode")->placeholderText(), QString("Enter password"));
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(manifest.keybag.isUnlocked());
    QCOMPARE(answerer.seen().at(1).text, QString("Password is required."));
    QCOMPARE(answerer.seen().at(3).text, QString("Invalid password."));
    QCOMPARE(afterWrong, QString());
    QVERIFY(answerer.stuck().isEmpty());
}

void TestBackupPicker::passcodeTriesBlanksUnchanged()
{
    BackupManifest manifest(m_root + "/ccc");
    manifest.deviceInfo.BackupKeyBag = encbackup::makeKeybag(" ", 16, {{1, 2, 0}}).bytes;
    ModalAnswerer answerer;
    typeAndOk(answerer, " ");
    PasscodeDlg dlg(&manifest);
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));

    // Cancel and Escape give up whatever was typed.
    answerer.act("PasscodeDlg", later([](QWidget *w) {
        w->findChild<QLineEdit *>("txtPasscode")->setText("typed");
        ModalAnswerer::clickButton(w, "btnCancel");
    }));
    answerer.act("PasscodeDlg", later([](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); }));
    PasscodeDlg cancelled(&manifest);
    QCOMPARE(cancelled.exec(), int(QDialog::Rejected));
    PasscodeDlg escaped(&manifest);
    QCOMPARE(escaped.exec(), int(QDialog::Rejected));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestBackupPicker::passcodeDamagedKeybagShowsTheError()
{
    const QByteArray good = encbackup::makeKeybag("pw", 16, {{1, 2, 0}}).bytes;
    for (const QByteArray &bag : {QByteArray(), good.left(good.size() / 2), QByteArray(300, 'x')}) {
        BackupManifest manifest(m_root + "/ccc");
        manifest.deviceInfo.BackupKeyBag = bag;
        ModalAnswerer answerer;
        typeAndOk(answerer, "pw");
        answerer.press("QMessageBox", "btnOk");
        answerer.press("PasscodeDlg", "btnCancel");
        PasscodeDlg dlg(&manifest);
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QCOMPARE(answerer.seen().size(), 3);
        QCOMPARE(answerer.seen().at(1).icon, int(QMessageBox::Critical));
        QVERIFY(!answerer.seen().at(1).text.isEmpty());
        QVERIFY(answerer.seen().at(1).text != "Invalid password.");
        QVERIFY(answerer.stuck().isEmpty());
    }
}

QTEST_MAIN(TestBackupPicker)
#include "tst_backuppicker.moc"
