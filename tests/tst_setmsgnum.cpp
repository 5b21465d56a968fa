#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

#include "recovery/setmsgnumdialog.h"
#include "store/messagerecycledb.h"
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

_MsgHandle handle(qint64 rowid, const QString &id, const QString &name = {},
                  const QString &service = "SMS")
{
    _MsgHandle h;
    h.ROWID = rowid;
    h.id = id;
    h.contactName = name;
    h.service = service;
    return h;
}

_MsgMessage message(const QString &guid, qint32 date, const QString &text)
{
    _MsgMessage m;
    m.guid = guid;
    m.date = date;
    m.text = text;
    m.is_from_me = 0;
    return m;
}

QStringList rows(QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// The chat identifier and handle of every stored message, by text.
QMap<QString, QString> storedNumbers(MessageRecycleDb &db)
{
    QMap<QString, QString> out;
    for (const _MsgRecycleMessage &m : db.loadRecycledMessages())
        out.insert(m.text, m.chat_identifier + "|" + m.handleAddress);
    return out;
}

void pressOk(QWidget *w)
{
    w->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Ok)->click();
}

} // namespace

class TestSetMsgNum : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listsSalvagedFirstThenGivenHandles();
    void filterAndPick();
    void refusesBlankNumbersAndNo();
    void storesTheTrimmedNumberAndSkipsUnknownMessages();
    void failedWriteRollsBackEverything();
    void worksWithoutAnyHandles();
    void unreadableRecycleDbListsGivenHandles();

private:
    TestEnv m_env;
    QTranslator m_translator;
    MessageRecycleDb *m_db = nullptr;
    MsgMessageList m_messages;
    QList<_MsgHandle *> m_handles;
    QList<_MsgMessage> m_store;
    QList<_MsgHandle> m_handleStore;
};

void TestSetMsgNum::initTestCase()
{
    QVERIFY(m_translator.load(":/en.qm"));
    QCoreApplication::installTranslator(&m_translator);
}

void TestSetMsgNum::init()
{
    const QString dir = m_env.makeDir(QString("store%1").arg(QRandomGenerator::global()->generate()));
    m_db = new MessageRecycleDb(dir + "/recycle.db");
    m_db->insertRecycledHandle(handle(0, "+15551230000"), 7);
    m_db->insertRecycledHandle(handle(0, "+14441230000", {}, "iMessage"), 8);
    m_store = {message("11111111-2222-3333-4444-555555555555", 1000, "first"),
               message("11111111-2222-3333-4444-666666666666", 2000, "second"),
               message("11111111-2222-3333-4444-777777777777", 3000, "never stored")};
    m_db->insertRecycledMessage(m_store[0], {}, {}, 1);
    m_db->insertRecycledMessage(m_store[1], {}, {}, 2);
    m_messages.clear();
    for (_MsgMessage &m : m_store)
        m_messages << &m;
    m_handleStore = {handle(3, "anna@example.com", "Anna Lee", "iMessage"),
                     handle(2, "+15550001111", "Bob"),
                     handle(-kUnknownChatBase, "unknown"),
                     handle(-kUnknownChatBase + 1, "+15559990000", {}, {})};
    m_handles.clear();
    for (_MsgHandle &h : m_handleStore)
        m_handles << &h;
}

void TestSetMsgNum::cleanup()
{
    delete m_db;
    m_db = nullptr;
}

void TestSetMsgNum::listsSalvagedFirstThenGivenHandles()
{
    SetMsgNumDialog dlg(m_messages, m_handles, m_db);
    QVERIFY(dlg.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(dlg.size(), QSize(434, 290));
    QCOMPARE(dlg.findChild<QLabel *>("lbTitle")->text(), QString("Set Contact Info for Message"));
    QCOMPARE(rows(dlg.findChild<QListWidget *>("ltHandle")),
             QStringList({"+14441230000 - iMessage", "+15551230000 - SMS",
                          "Bob (+15550001111) - SMS", "+15559990000",
                          "Anna Lee (anna@example.com) - iMessage"}));
    QCOMPARE(dlg.findChild<QListWidget *>("ltHandle")->item(0)->foreground().color(), QColor(255, 0, 0));
    QCOMPARE(dlg.findChild<QListWidget *>("ltHandle")->item(1)->foreground().color(), QColor(255, 0, 0));
    QVERIFY(dlg.findChild<QListWidget *>("ltHandle")->item(2)->foreground().color() != QColor(255, 0, 0));
    const HandleItem item = dlg.findChild<QListWidget *>("ltHandle")->item(2)->data(Qt::UserRole).value<HandleItem>();
    QCOMPARE(item.handle.id, QString("+15550001111"));
    QVERIFY(!item.checked);
}

void TestSetMsgNum::filterAndPick()
{
    SetMsgNumDialog dlg(m_messages, m_handles, m_db);
    dlg.findChild<QLineEdit *>("txtNumber")->setText("aNNa");
    QCOMPARE(rows(dlg.findChild<QListWidget *>("ltHandle")), QStringList({"Anna Lee (anna@example.com) - iMessage"}));
    dlg.findChild<QLineEdit *>("txtNumber")->setText("555");
    QCOMPARE(dlg.findChild<QListWidget *>("ltHandle")->count(), 3);
    dlg.findChild<QLineEdit *>("txtNumber")->setText("");
    QCOMPARE(dlg.findChild<QListWidget *>("ltHandle")->count(), 5);
    // Picking a row puts its id in the field and narrows the list to it.
    dlg.findChild<QListWidget *>("ltHandle")->setCurrentRow(2);
    QCOMPARE(dlg.findChild<QLineEdit *>("txtNumber")->text(), QString("+15550001111"));
    QCOMPARE(rows(dlg.findChild<QListWidget *>("ltHandle")), QStringList({"Bob (+15550001111) - SMS"}));
}

void TestSetMsgNum::refusesBlankNumbersAndNo()
{
    ModalAnswerer answerer;
    answerer.act("SetMsgNumDialog", later([](QWidget *w) {
        w->findChild<QLineEdit *>("txtNumber")->setText("  \t ");
        pressOk(w);
    }));
    answerer.press("QMessageBox", "btnOk");
    answerer.act("SetMsgNumDialog", later([](QWidget *w) {
        w->findChild<QLineEdit *>("txtNumber")->setText("+1 555 <b>000</b> &amp;");
        pressOk(w);
    }));
    answerer.press("QMessageBox", "btnNo");
    answerer.act("SetMsgNumDialog", later([](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); }));
    SetMsgNumDialog dlg(m_messages, m_handles, m_db);
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QCOMPARE(answerer.seen().at(1).text, QString("Phone number is required."));
    // The number reads as typed.
    QCOMPARE(answerer.seen().at(3).shown,
             QString("Confirm to set phone number as +1 555 <b>000</b> &amp; for the message?"));
    QCOMPARE(storedNumbers(*m_db), (QMap<QString, QString>{{"first", "|"}, {"second", "|"}}));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSetMsgNum::storesTheTrimmedNumberAndSkipsUnknownMessages()
{
    ModalAnswerer answerer;
    answerer.act("SetMsgNumDialog", later([](QWidget *w) {
        w->findChild<QLineEdit *>("txtNumber")->setText("  (555) 010-9999 ");
        saveShot(w, "setmsgnumdialog");
        pressOk(w);
    }));
    answerer.press("QMessageBox", "btnYes");
    SetMsgNumDialog dlg(m_messages, m_handles, m_db);
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QCOMPARE(storedNumbers(*m_db),
             (QMap<QString, QString>{{"first", "(555) 010-9999|(555) 010-9999"},
                                     {"second", "(555) 010-9999|(555) 010-9999"}}));
    QVERIFY(!m_db->inTransaction());
    // The records in memory are left as they were.
    QCOMPARE(m_store[0].text, QString("first"));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSetMsgNum::failedWriteRollsBackEverything()
{
    // The second message's update fails after the first one was written.
    m_db->ensureOpen();
    m_db->executeThrow("CREATE TRIGGER refuse BEFORE UPDATE ON message WHEN old.text='second' "
                       "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END");
    ModalAnswerer answerer;
    answerer.act("SetMsgNumDialog", later([](QWidget *w) {
        w->findChild<QLineEdit *>("txtNumber")->setText("+15557654321");
        pressOk(w);
    }));
    answerer.press("QMessageBox", "btnYes");
    answerer.act("SetMsgNumDialog", later([&](QWidget *w) {
        // Still open, with the text as typed; the user gives up.
        QCOMPARE(w->findChild<QLineEdit *>("txtNumber")->text(), QString("+15557654321"));
        w->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
    }));
    answerer.setDefaultBoxAnswer("btnOk");
    SetMsgNumDialog dlg(m_messages, m_handles, m_db);
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    const auto error = std::find_if(answerer.seen().begin(), answerer.seen().end(),
                                    [](const auto &s) { return s.text.contains("refused by the test"); });
    QVERIFY(error != answerer.seen().end());
    QCOMPARE(storedNumbers(*m_db), (QMap<QString, QString>{{"first", "|"}, {"second", "|"}}));
    QVERIFY(!m_db->inTransaction());
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSetMsgNum::worksWithoutAnyHandles()
{
    const QString dir = m_env.makeDir("bare");
    MessageRecycleDb empty(dir + "/recycle.db");
    SetMsgNumDialog dlg(MsgMessageList{}, {}, &empty);
    QCOMPARE(dlg.findChild<QListWidget *>("ltHandle")->count(), 0);
    ModalAnswerer answerer;
    answerer.act("SetMsgNumDialog", later([](QWidget *w) {
        w->findChild<QLineEdit *>("txtNumber")->setText("12345");
        pressOk(w);
    }));
    answerer.press("QMessageBox", "btnYes");
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestSetMsgNum::unreadableRecycleDbListsGivenHandles()
{
    // A file where the store folder should be: recycle.db cannot be opened.
    QFile blocker(m_env.home() + "/blocker");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    MessageRecycleDb broken(blocker.fileName() + "/recycle.db");
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    SetMsgNumDialog dlg(m_messages, m_handles, &broken);
    QCOMPARE(answerer.seen().size(), 1); // the error box, during construction
    QCOMPARE(answerer.seen().at(0).icon, int(QMessageBox::Critical));
    QCOMPARE(dlg.findChild<QListWidget *>("ltHandle")->count(), 3);
}

QTEST_MAIN(TestSetMsgNum)
#include "tst_setmsgnum.moc"
