#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

#include "android/androidwifiform.h"
#include "backup/backupmanifest.h"
#include "backup/loaditunesbackupdlg.h"
#include "backup/passcodedlg.h"
#include "recovery/setmsgnumdialog.h"
#include "store/progressform.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/screenshot.h"
#include "tests/support/testenv.h"
#include "ui/aboutusform.h"
#include "ui/countryselform.h"
#include "ui/datasourceselform.h"
#include "ui/localdbselform.h"

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

} // namespace

class TestSelForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void formsAreFramelessAndTranslated();
    void everyDialogHasAReadableTitle();
    void dataSourcePreselectsASingleEntry();
    void dataSourceWarnsWithoutChoiceAndReturnsTheKey();
    void dataSourceCancelReturnsNothing();
    void localDbNameRules_data();
    void localDbNameRules();
    void localDbReturnsTheTypedNameWithItsBlanks();
    void localDbRefusesAndStaysOpen();
    void countryFilter();
    void countryAcceptsOnlyAConfirmedChoice();
    void countryEscapeAndCancelLeaveWithoutCountry();

private:
    TestEnv m_env;
    QTranslator m_translator;
};

void TestSelForms::initTestCase()
{
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
}

void TestSelForms::formsAreFramelessAndTranslated()
{
    DataSourceSelForm ds;
    LocalDbSelForm db({}, {});
    CountrySelForm country;
    for (QDialog *d : {static_cast<QDialog *>(&ds), static_cast<QDialog *>(&db),
                       static_cast<QDialog *>(&country)})
        QVERIFY(d->windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(ds.size(), QSize(421, 152));
    QCOMPARE(db.size(), QSize(423, 156));
    QCOMPARE(country.size(), QSize(326, 398));
    QCOMPARE(ds.findChild<QPushButton *>("btnOK")->text(), QString("Confirm"));
    QCOMPARE(ds.findChild<QPushButton *>("btnClose")->text(), QString("Cancel"));
    QCOMPARE(ds.findChild<QLabel *>("lbSelDevice")->text(), QString("Please select a Device."));
    QCOMPARE(db.windowTitle(), QString("Select one Database for backup"));
    QCOMPARE(db.findChild<QLabel *>("label")->text(),
             QString("Select current database to merge or enter a new database name:"));
    QVERIFY(db.findChild<QComboBox *>("cbLocalDbNames")->toolTip().startsWith("Selecting current"));
    QCOMPARE(country.findChild<QLabel *>("lbTitle")->text(), QString("Select your country code:"));
    QCOMPARE(country.findChild<QPushButton *>("btnOK")->text(), QString("OK"));
}

namespace {

const QList<DataSourceEntry> kTwo = {
        {":/res/iphone.png", "Anna's iPhone", "udid-anna"},
        {":/res/android.png", "Pixel", "serial-pixel"},
};

} // namespace

void TestSelForms::everyDialogHasAReadableTitle()
{
    // The titles a window manager or a task bar shows.
    BackupManifest backup(m_env.makeDir("backup"));
    QList<QPair<QDialog *, QString>> dialogs;
    DataSourceSelForm ds;
    LocalDbSelForm db({}, {});
    CountrySelForm country;
    AboutUsForm about;
    LoadItunesBackupDlg picker;
    PasscodeDlg passcode(&backup);
    SetMsgNumDialog number({}, {}, nullptr);
    AndroidWIFIForm wifi;
    dialogs << qMakePair(static_cast<QDialog *>(&ds), QString("Select a Device"))
            << qMakePair(static_cast<QDialog *>(&db), QString("Select one Database for backup"))
            << qMakePair(static_cast<QDialog *>(&country), QString("Select Country Code"))
            << qMakePair(static_cast<QDialog *>(&about), QString("About Pelicorde"))
            << qMakePair(static_cast<QDialog *>(&picker), QString("Select an iTunes Backup"))
            << qMakePair(static_cast<QDialog *>(&passcode), QString("Backup Password"))
            << qMakePair(static_cast<QDialog *>(&number), QString("Assign Number"))
            << qMakePair(static_cast<QDialog *>(&wifi), QString("Connect Android via WiFi"));
    for (const auto &[dialog, title] : std::as_const(dialogs))
        QCOMPARE(dialog->windowTitle(), title);
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    saveShot(&about, "aboutusform");
}

void TestSelForms::dataSourcePreselectsASingleEntry()
{
    ModalAnswerer answerer;
    int shownIndex = -2;
    answerer.act("DataSourceSelForm", later([&](QWidget *w) {
        shownIndex = w->findChild<QComboBox *>("cbDevice")->currentIndex();
        ModalAnswerer::clickButton(w, "btnOK");
    }));
    DataSourceSelForm form;
    QCOMPARE(form.chooseDataSource("Pick", {kTwo.at(1)}), QString("serial-pixel"));
    QCOMPARE(shownIndex, 0);
    QCOMPARE(form.findChild<QLabel *>("lbSelDevice")->text(), QString("Pick"));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSelForms::dataSourceWarnsWithoutChoiceAndReturnsTheKey()
{
    ModalAnswerer answerer;
    answerer.act("DataSourceSelForm", click("btnOK"));
    answerer.press("QMessageBox", "btnOk");
    answerer.act("DataSourceSelForm", later([](QWidget *w) {
        auto *combo = w->findChild<QComboBox *>("cbDevice");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QString("Anna's iPhone"));
        QVERIFY(!combo->itemIcon(0).isNull());
        combo->setCurrentIndex(1);
        saveShot(w, "datasourceselform");
        ModalAnswerer::clickButton(w, "btnOK");
    }));
    DataSourceSelForm form;
    QCOMPARE(form.chooseDataSource("Pick", kTwo), QString("serial-pixel"));
    QCOMPARE(answerer.seen().size(), 3);
    QCOMPARE(answerer.seen().at(1).text, QString("Need to select a Device to continue."));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSelForms::dataSourceCancelReturnsNothing()
{
    ModalAnswerer answerer;
    answerer.act("DataSourceSelForm", later([](QWidget *w) {
        w->findChild<QComboBox *>("cbDevice")->setCurrentIndex(0);
        ModalAnswerer::clickButton(w, "btnClose");
    }));
    answerer.act("DataSourceSelForm", later([](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); }));
    DataSourceSelForm form;
    QCOMPARE(form.chooseDataSource("Pick", kTwo), QString());
    DataSourceSelForm again;
    QCOMPARE(again.chooseDataSource("Pick", kTwo), QString());
    // No entries at all: nothing to pick, OK only warns.
    answerer.act("DataSourceSelForm", click("btnOK"));
    answerer.press("QMessageBox", "btnOk");
    answerer.press("DataSourceSelForm", "btnClose");
    DataSourceSelForm empty;
    QCOMPARE(empty.chooseDataSource("Pick", {}), QString());
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSelForms::localDbNameRules_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    const QString ok;
    const QString blank = "IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME";
    const QString invalid = "IDS_INVALID_LOCALDB_NAME";
    QTest::newRow("letters digits blanks") << "My Backup 2013" << ok;
    QTest::newRow("unicode") << QString::fromUtf8("Sauvegarde d'été") << ok;
    QTest::newRow("dot inside") << "phone.old" << ok;
    QTest::newRow("empty") << "" << blank;
    QTest::newRow("blanks only") << "   \t" << blank;
    QTest::newRow("dot") << "." << invalid;
    QTest::newRow("dot dot") << ".." << invalid;
    QTest::newRow("dots with blanks") << " ... " << invalid;
    QTest::newRow("slash") << "a/b" << invalid;
    QTest::newRow("parent path") << "../x" << invalid;
    QTest::newRow("backslash") << "a\\b" << invalid;
    QTest::newRow("colon") << "c:x" << invalid;
    for (const char c : QByteArray("*?\"<>|"))
        QTest::newRow(qPrintable(QString("char %1").arg(QLatin1Char(c))))
                << QString("x%1y").arg(QLatin1Char(c)) << invalid;
    QTest::newRow("newline") << "a\nb" << invalid;
    QTest::newRow("nul") << QString("a") + QChar(0) + "b" << invalid;
    QTest::newRow("escape") << "a\x1b" "b" << invalid;
    QTest::newRow("right-to-left override") << QString("a") + QChar(0x202E) + "b" << invalid;
}

void TestSelForms::localDbNameRules()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    const char *got = LocalDbSelForm::invalidNameReason(name);
    QCOMPARE(got ? QString::fromLatin1(got) : QString(), reason);
}

void TestSelForms::localDbReturnsTheTypedNameWithItsBlanks()
{
    ModalAnswerer answerer;
    QStringList listed;
    answerer.act("LocalDbSelForm", later([&](QWidget *w) {
        auto *combo = w->findChild<QComboBox *>("cbLocalDbNames");
        QVERIFY(combo->isEditable());
        for (int i = 0; i < combo->count(); ++i)
            listed << combo->itemText(i);
        QCOMPARE(combo->currentText(), QString("Pixel_Backup"));
        combo->setEditText("  New one  ");
        saveShot(w, "localdbselform");
        ModalAnswerer::clickButton(w, "btnOK");
    }));
    LocalDbSelForm form({"Work", "Home"}, "Pixel_Backup");
    QCOMPARE(form.chooseDatabase(), QString("  New one  "));
    QCOMPARE(listed, QStringList({"", "Work", "Home"}));

    // Picking an existing one.
    answerer.act("LocalDbSelForm", later([](QWidget *w) {
        w->findChild<QComboBox *>("cbLocalDbNames")->setCurrentIndex(2);
        ModalAnswerer::clickButton(w, "btnOK");
    }));
    LocalDbSelForm pick({"Work", "Home"}, QString());
    QCOMPARE(pick.chooseDatabase(), QString("Home"));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSelForms::localDbRefusesAndStaysOpen()
{
    ModalAnswerer answerer;
    auto type = [](const QString &text) {
        return later([text](QWidget *w) {
            w->findChild<QComboBox *>("cbLocalDbNames")->setEditText(text);
            ModalAnswerer::clickButton(w, "btnOK");
        });
    };
    answerer.act("LocalDbSelForm", type("   "));
    answerer.press("QMessageBox", "btnOk");
    answerer.act("LocalDbSelForm", type("a/b"));
    answerer.press("QMessageBox", "btnOk");
    answerer.act("LocalDbSelForm", type(".."));
    answerer.press("QMessageBox", "btnOk");
    answerer.press("LocalDbSelForm", "btnClose");
    LocalDbSelForm form({"Work"}, QString());
    QCOMPARE(form.chooseDatabase(), QString());
    QCOMPARE(answerer.seen().size(), 7);
    QCOMPARE(answerer.seen().at(1).text,
             QString("Select one Database or enter a new Database name"));
    QVERIFY(answerer.seen().at(3).text.startsWith("A database name cannot"));
    QVERIFY(answerer.seen().at(5).text.startsWith("A database name cannot"));
    // The characters it lists all show.
    QVERIFY2(answerer.seen().at(3).shown.endsWith(": \\ / : * ? \" < > |"),
             qPrintable(answerer.seen().at(3).shown));
    QVERIFY(answerer.stuck().isEmpty());
}

namespace {

QStringList shown(QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

} // namespace

void TestSelForms::countryFilter()
{
    CountrySelForm form;
    auto *list = form.findChild<QListWidget *>("ltCountries");
    const int all = list->count();
    QVERIFY(all > 200);
    QCOMPARE(all, int(form.countries().size()));
    // In name order, with the first code of the country's list.
    QCOMPARE(list->item(0)->text().isEmpty(), false);
    const auto uk = std::find_if(form.countries().begin(), form.countries().end(),
                                 [](const auto &c) { return c.second == "United Kingdom (+44)"; });
    QVERIFY(uk != form.countries().end());
    QCOMPARE(uk->first, QString("234"));

    form.findChild<QLineEdit *>("txtKW")->setText("+44");
    const QStringList plus44 = shown(list);
    QVERIFY(plus44.contains("United Kingdom (+44)"));
    for (const QString &t : plus44)
        QVERIFY2(t.contains("+44"), qPrintable(t));
    form.findChild<QLineEdit *>("txtKW")->setText("kINGdom");
    QVERIFY(shown(list).contains("United Kingdom (+44)"));
    QCOMPARE(list->item(0)->data(Qt::UserRole).toString().size(), 3);
    form.findChild<QLineEdit *>("txtKW")->setText("no such country");
    QCOMPARE(list->count(), 0);
    form.findChild<QLineEdit *>("txtKW")->clear();
    QCOMPARE(list->count(), all);
}

void TestSelForms::countryAcceptsOnlyAConfirmedChoice()
{
    ModalAnswerer answerer;
    const auto pickUk = later([](QWidget *w) {
        w->findChild<QLineEdit *>("txtKW")->setText("United Kingdom");
        auto *list = w->findChild<QListWidget *>("ltCountries");
        list->setCurrentRow(0);
        saveShot(w, "countryselform");
        ModalAnswerer::clickButton(w, "btnOK");
    });
    answerer.act("CountrySelForm", click("btnOK"));
    answerer.press("QMessageBox", "btnOk"); // nothing chosen
    answerer.act("CountrySelForm", pickUk);
    answerer.press("QMessageBox", "btnNo"); // not confirmed: stays open
    answerer.act("CountrySelForm", pickUk);
    answerer.press("QMessageBox", "btnYes");
    CountrySelForm form;
    QCOMPARE(form.exec(), int(QDialog::Accepted));
    QCOMPARE(form.chosenMcc(), QString("234"));
    QCOMPARE(answerer.seen().at(1).text,
             QString("Please select a cuntry code first to continue."));
    QCOMPARE(answerer.seen().at(3).text, QString("Confirm to select United Kingdom (+44)?"));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSelForms::countryEscapeAndCancelLeaveWithoutCountry()
{
    ModalAnswerer answerer;
    answerer.act("CountrySelForm", later([](QWidget *w) {
        w->findChild<QListWidget *>("ltCountries")->setCurrentRow(3);
        QTest::keyClick(w, Qt::Key_Escape);
    }));
    answerer.press("CountrySelForm", "btnCancel");
    CountrySelForm form;
    QCOMPARE(form.exec(), int(QDialog::Rejected));
    QCOMPARE(form.chosenMcc(), QString());
    CountrySelForm again;
    QCOMPARE(again.exec(), int(QDialog::Rejected));
    QCOMPARE(again.chosenMcc(), QString());
    QVERIFY(answerer.stuck().isEmpty());
}

QTEST_MAIN(TestSelForms)
#include "tst_selforms.moc"
