// The message list: its model's rows, columns and roles, and the list view
// that tells of selections and context menus.
#include "store/msgutil.h"
#include "tests/support/messagefixture.h"
#include "ui/itemmodelsms.h"
#include "store/itemtext.h"
#include "ui/mylistview.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QContextMenuEvent>
#include <QLocale>
#include <QPixmap>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTest>
#include <QTextDocument>
#include <QTreeView>

class TestMsgList : public QObject
{
    Q_OBJECT

private slots:
    void emptyModelAndHeaders();
    void structureUnderTester();
    void textColumns_data();
    void textColumns();
    void dateColumn();
    void serviceIcons_data();
    void serviceIcons();
    void colours();
    void rowIndex();
    void rowsFollowTheGivenOrder();
    void listViewSignals();
    void hostileTextsShowAsText_data();
    void hostileTextsShowAsText();
    void longTextsAreCut();
};

void TestMsgList::emptyModelAndHeaders()
{
    ItemModelSms model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 4);
    const QStringList names {"Date", "Flag", "Contact", "Content"};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(model.headerData(i, Qt::Horizontal).toString(), names[i]);
        QVERIFY(!model.headerData(i, Qt::Vertical).isValid());
        QVERIFY(!model.headerData(i, Qt::Horizontal, Qt::ToolTipRole).isValid());
    }
    QVERIFY(!model.headerData(4, Qt::Horizontal).isValid());
    QVERIFY(!model.headerData(-1, Qt::Horizontal).isValid());
    QVERIFY(!model.index(0, 0).isValid());
}

void TestMsgList::structureUnderTester()
{
    MessageFixture f;
    _MsgHandle *h = f.handle("+1555");
    _MsgChat *c = f.chat({h});
    for (int i = 0; i < 7; ++i)
        f.message(c, h, QStringLiteral("m%1").arg(i), 100 + i, i % 2);

    ItemModelSms model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    model.setMessages(f.list());
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model.rowCount(), 7);

    // Column 0 carries the row's message, the others nothing; no row has children.
    for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 4; ++col) {
            const QModelIndex idx = model.index(row, col);
            QVERIFY(idx.isValid());
            QCOMPARE(idx.internalPointer(),
                     col == 0 ? static_cast<void *>(f.messages[row].get()) : nullptr);
            QCOMPARE(model.rowCount(idx), 0);
            QVERIFY(!model.parent(idx).isValid());
            QVERIFY(!model.hasChildren(idx));
        }
    }
    QVERIFY(!model.index(7, 0).isValid());
    QVERIFY(!model.index(0, 4).isValid());
    QVERIFY(!model.index(0, 0, model.index(0, 0)).isValid());

    // Replaced by a shorter list, then emptied both ways.
    model.setMessages(f.list().mid(2, 3));
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.data(model.index(0, 3)).toString(), QStringLiteral("m2"));
    model.setMessages(MsgMessageList());
    QCOMPARE(model.rowCount(), 0);
    model.setMessages(f.list());
    model.clear();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(reset.count(), 5);
}

enum Kind {
    SentOneToOne,
    Received,
    GroupReceived,
    GroupNamedChat,
    NoChat,
    SystemItem,
    SystemNoChat,
    EmojiAndImage
};

void TestMsgList::textColumns_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QString>("contact");
    QTest::addColumn<QString>("content");

    QTest::newRow("sent") << int(SentOneToOne) << "To"
                          << "Ann (+1555)"
                          << "hi";
    QTest::newRow("received") << int(Received) << "From"
                              << "Ann (+1555)"
                              << "hi";
    QTest::newRow("group, sender named") << int(GroupReceived) << "From"
                                         << "Ann (+1555), +1666 (Ann)"
                                         << "hi";
    QTest::newRow("group with a display name") << int(GroupNamedChat) << "From"
                                               << "Friends (+1666)"
                                               << "hi";
    QTest::newRow("ordinary message without a chat") << int(NoChat) << "From"
                                                     << "unknown"
                                                     << "hi";
    QTest::newRow("system item: chat name without ids, no flag") << int(SystemItem) << ""
                                                                 << "Ann, +1666"
                                                                 << "";
    QTest::newRow("system item without a chat") << int(SystemNoChat) << ""
                                                << ""
                                                << "";
    QTest::newRow("emoji and an attachment") << int(EmojiAndImage) << "From"
                                             << "Ann (+1555)"
                                             << "ok [EMOJI] [IMAGE]";
}

void TestMsgList::textColumns()
{
    QFETCH(int, kind);
    QFETCH(QString, flag);
    QFETCH(QString, contact);
    QFETCH(QString, content);

    MessageFixture f;
    _MsgHandle *ann = f.handle("+1555", "Ann");
    _MsgHandle *other = f.handle("+1666");
    _MsgChat *single = f.chat({ann});
    _MsgChat *group = f.chat({ann, other});
    _MsgMessage *m = nullptr;
    switch (Kind(kind)) {
    case SentOneToOne:
        m = f.message(single, ann, "hi", 10, true);
        break;
    case Received:
        m = f.message(single, ann, "hi");
        break;
    case GroupReceived:
        m = f.message(group, ann, "hi");
        break;
    case GroupNamedChat:
        group->display_name = "Friends";
        m = f.message(group, other, "hi");
        break;
    case NoChat:
        m = f.message(nullptr, ann, "hi");
        break;
    case SystemItem:
    case SystemNoChat:
        m = f.message(kind == SystemItem ? group : nullptr, ann, "");
        m->item_type = 2;
        m->group_title = "Trip";
        break;
    case EmojiAndImage:
        m = f.message(single, ann, QStringLiteral("ok \U0001F44D") + QChar(0xFFFC));
        f.attach(m, "image/jpeg", "/nowhere/a.jpg");
        break;
    }
    ItemModelSms model;
    model.setMessages({m});
    for (int role : {int(Qt::DisplayRole), int(Qt::ToolTipRole)}) {
        QCOMPARE(model.data(model.index(0, 1), role).toString(), flag);
        QCOMPARE(model.data(model.index(0, 2), role).toString(), contact);
        if (m->item_type == 0)
            QCOMPARE(model.data(model.index(0, 3), role).toString(), content);
    }
    if (m->item_type != 0) {
        // The system sentence, as plain text.
        const QString text = model.data(model.index(0, 3)).toString();
        QVERIFY2(text.startsWith("Ann named the conversation \"Trip\".\n"), qPrintable(text));
    }
    QVERIFY(!model.data(model.index(0, 1), Qt::DecorationRole).isValid());
    QVERIFY(!model.data(model.index(0, 0), Qt::EditRole).isValid());
    QCOMPARE(model.data(model.index(0, 2), Qt::SizeHintRole).toSize(), QSize(0, 23));
}

void TestMsgList::dateColumn()
{
    MessageFixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgMessage *zero = f.message(f.chat({h}), h, "x", 0);
    _MsgMessage *later = f.message(zero->chat, h, "y", 86400 * 365 + 3600);
    ItemModelSms model;
    model.setMessages({zero, later});
    const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    QCOMPARE(model.data(model.index(0, 0)).toString(),
             QLocale::system().toString(epoch.toLocalTime(), QLocale::ShortFormat));
    QCOMPARE(model.data(model.index(1, 0), Qt::ToolTipRole).toString(),
             QLocale::system().toString(
                     QDateTime(QDate(2002, 1, 1), QTime(1, 0), Qt::UTC).toLocalTime(),
                     QLocale::ShortFormat));
}

void TestMsgList::serviceIcons_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("icon");
    QTest::newRow("iMessage sent") << "iMessage" << true << ":/res/imsg-send.png";
    QTest::newRow("imessage sent, lower case") << "imessage" << true << ":/res/imsg-send.png";
    QTest::newRow("IMESSAGE received") << "IMESSAGE" << false << ":/res/imsg-rec.png";
    QTest::newRow("SMS sent") << "SMS" << true << ":/res/icon_sms-sent.png";
    QTest::newRow("MMS received") << "MMS" << false << ":/res/icon_sms-receive.png";
    QTest::newRow("empty service received") << "" << false << ":/res/icon_sms-receive.png";
}

void TestMsgList::serviceIcons()
{
    QFETCH(QString, service);
    QFETCH(bool, sent);
    QFETCH(QString, icon);
    MessageFixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgMessage *m = f.message(f.chat({h}), h, "x", 0, sent);
    m->service = service;
    ItemModelSms model;
    model.setMessages({m});
    QCOMPARE(ItemModelSms::serviceIconPath(*m), icon);

    const QPixmap source(icon);
    QVERIFY2(!source.isNull(), qPrintable(icon + " is no picture"));
    const QVariant deco = model.data(model.index(0, 0), Qt::DecorationRole);
    QCOMPARE(deco.typeId(), QMetaType::QPixmap);
    const QImage shown = deco.value<QPixmap>().toImage();
    QCOMPARE(shown.width(), 18);
    QCOMPARE(shown, source.scaledToWidth(18, Qt::FastTransformation).toImage());
    // Only the Date column has a picture.
    for (int col = 1; col < 4; ++col)
        QVERIFY(!model.data(model.index(0, col), Qt::DecorationRole).isValid());
}

void TestMsgList::colours()
{
    MessageFixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgChat *c = f.chat({h});
    _MsgMessage *sent = f.message(c, h, "a", 0, true);
    _MsgMessage *received = f.message(c, h, "b");
    _MsgMessage *salvaged = f.message(c, h, "c");
    salvaged->highlight = true;
    ItemModelSms model;
    model.setMessages({sent, received, salvaged});
    for (int col = 0; col < 4; ++col) {
        QCOMPARE(model.data(model.index(0, col), Qt::BackgroundRole).value<QBrush>(),
                 QBrush(QColor(245, 255, 226)));
        QCOMPARE(model.data(model.index(1, col), Qt::BackgroundRole).value<QBrush>(),
                 QBrush(QColor(255, 255, 255)));
        QVERIFY(!model.data(model.index(0, col), Qt::ForegroundRole).isValid());
        QVERIFY(!model.data(model.index(1, col), Qt::ForegroundRole).isValid());
        QCOMPARE(model.data(model.index(2, col), Qt::ForegroundRole).value<QBrush>(),
                 QBrush(QColor(255, 0, 0)));
    }
}

void TestMsgList::rowIndex()
{
    MessageFixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgMessage *only = f.message(f.chat({h}), h, "x");
    ItemModelSms model;
    QVERIFY(!model.rowIndex(0).isValid());
    model.setMessages({only});
    QVERIFY(!model.rowIndex(-1).isValid());
    QVERIFY(!model.rowIndex(1).isValid());
    const QModelIndex idx = model.rowIndex(0);
    QVERIFY(idx.isValid());
    QCOMPARE(idx.column(), 0);
    QCOMPARE(idx.internalPointer(), static_cast<void *>(only));
    QCOMPARE(idx, model.index(0, 0));
    QCOMPARE(model.messageAt(idx), only);
}

void TestMsgList::rowsFollowTheGivenOrder()
{
    // The model never sorts: the window sorts the list (oldest or newest
    // first) and the rows follow it, also when a view asks the model to sort.
    MessageFixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgChat *c = f.chat({h});
    const QList<qint32> dates {500, 100, 900, 300};
    for (qint32 d : dates)
        f.message(c, h, QString::number(d), d * 1000);
    MsgMessageList oldest = f.list();
    sortMessages(oldest);
    MsgMessageList newest = f.list();
    sortMessagesNewestFirst(newest);

    ItemModelSms model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTreeView view;
    view.setModel(&model);
    view.setSortingEnabled(true);
    auto contents = [&] {
        QStringList out;
        for (int r = 0; r < model.rowCount(); ++r)
            out << model.data(model.index(r, 3)).toString();
        return out;
    };
    model.setMessages(oldest);
    QCOMPARE(contents(), (QStringList {"100", "300", "500", "900"}));
    view.sortByColumn(0, Qt::DescendingOrder);
    view.sortByColumn(3, Qt::AscendingOrder);
    QCOMPARE(contents(), (QStringList {"100", "300", "500", "900"}));
    model.setMessages(newest);
    QCOMPARE(contents(), (QStringList {"900", "500", "300", "100"}));
}

void TestMsgList::listViewSignals()
{
    QStringListModel model({"a", "b", "c"});
    MyListView view;
    view.setModel(&model);
    QSignalSpy selection(&view, &MyListView::onSelectionChanged);
    QSignalSpy menu(&view, &MyListView::createContextMenu);
    view.selectionModel()->select(model.index(1, 0), QItemSelectionModel::ClearAndSelect);
    QCOMPARE(selection.count(), 1);
    QCOMPARE(selection.at(0).at(0).value<QItemSelection>().indexes(),
             QModelIndexList {model.index(1, 0)});
    // The view's own handling still ran: the selection is there.
    QCOMPARE(view.selectionModel()->selectedIndexes(), QModelIndexList {model.index(1, 0)});

    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            view.viewport()->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(view.viewport(), &event);
    QCOMPARE(menu.count(), 1);
}

// ---- texts of the phone's data ----

// A document that notes every resource it is asked for instead of reading it.
class ResourceSpy : public QTextDocument
{
public:
    QList<QUrl> asked;

protected:
    QVariant loadResource(int, const QUrl &name) override
    {
        asked << name;
        return QVariant();
    }
};

// What a tooltip given text shows (it takes anything that looks like markup
// for markup), and the resources that showing it would read.
static QString toolTipShows(const QString &text, QList<QUrl> *asked)
{
    if (!Qt::mightBeRichText(text))
        return text;
    ResourceSpy doc;
    doc.setHtml(text);
    doc.setTextWidth(400);
    (void)doc.size(); // lays it out: pictures are read here
    *asked = doc.asked;
    return doc.toPlainText();
}

void TestMsgList::hostileTextsShowAsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("a picture of an endless file") << "<img src=/dev/zero>";
    QTest::newRow("picture after words") << "look: <img src=\"file:///etc/passwd\" width=9999>";
    QTest::newRow("bold") << "<b>urgent</b> call me";
    QTest::newRow("link") << "<a href=\"javascript:alert(1)\">tap</a>";
    QTest::newRow("entity and tags over lines") << "a &amp; b\n\n<i>c</i>  d";
    QTest::newRow("plain text") << "see you at 5 & bring 2 < 3";
}

void TestMsgList::hostileTextsShowAsText()
{
    // Message texts and chat names come from other people's phones; the
    // list's tooltips show them as the texts they are and read no file.
    QFETCH(QString, text);
    MessageFixture f;
    _MsgHandle *h = f.handle("+1555", text);
    _MsgChat *group = f.chat({h, f.handle("+1666")});
    group->display_name = text;
    _MsgMessage *m = f.message(group, h, text);
    _MsgMessage *sys = f.message(group, h, "");
    sys->item_type = 2;
    ItemModelSms model;
    model.setMessages({m, sys});

    const QList<QModelIndex> cells {model.index(0, 3), model.index(0, 2), model.index(1, 2)};
    for (const QModelIndex &cell : cells) {
        const QString display = cell.data().toString();
        QVERIFY2(display.contains(text), qPrintable(display));
        QList<QUrl> asked;
        QCOMPARE(toolTipShows(cell.data(Qt::ToolTipRole).toString(), &asked), display);
        QVERIFY2(asked.isEmpty(), qPrintable(asked.value(0).toString()));
    }
}

void TestMsgList::longTextsAreCut()
{
    // A row shows one line: megabytes of text would be laid out at every
    // repaint and every hover. The cut never halves a surrogate pair.
    MessageFixture f;
    _MsgHandle *h = f.handle("+1555");
    const QString clef = QStringLiteral("\U0001D11E"); // two code units, no emoji
    const QString huge = QString(kMaxItemTextChars - 1, 'x') + clef + QString(1 << 20, 'y');
    _MsgMessage *m = f.message(f.chat({h}), h, huge);
    _MsgMessage *exact = f.message(m->chat, h, QString(kMaxItemTextChars - 2, 'z') + clef);
    ItemModelSms model;
    model.setMessages({m, exact});
    for (int role : {int(Qt::DisplayRole), int(Qt::ToolTipRole)}) {
        QCOMPARE(model.index(0, 3).data(role).toString(),
                 QString(kMaxItemTextChars - 1, 'x') + " ...");
        QCOMPARE(model.index(1, 3).data(role).toString(), exact->text);
    }
}

QTEST_MAIN(TestMsgList)
#include "tst_msglist.moc"
