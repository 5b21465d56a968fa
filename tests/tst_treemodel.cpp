#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include "store/abstreeitemmodel.h"

namespace {

using Node = AbsTreeItemModel::_ItemNode;

// The smallest useful subclass: two columns, the text and the kind.
class TextTreeModel : public AbsTreeItemModel
{
public:
    using AbsTreeItemModel::AbsTreeItemModel;
    int columnCount(const QModelIndex & = QModelIndex()) const override { return 2; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        const Node *node = nodeOf(index);
        if (!node || role != Qt::DisplayRole)
            return {};
        return index.column() == 0 ? QVariant(node->text) : QVariant(node->kind);
    }

    Node *add(Node *parent, const QString &text, int row = -1)
    {
        auto *node = new Node(1, text, parent);
        insertNode(parent, row, node);
        return node;
    }
};

// Counts the nodes a subclass might make, to see that the model frees them.
struct CountedNode : Node
{
    static inline int alive = 0;
    CountedNode(const QString &text, Node *parent)
        : Node(2, text, parent)
    {
        ++alive;
    }
    ~CountedNode() override { --alive; }
};

QStringList texts(const QList<Node *> &nodes)
{
    QStringList out;
    for (const Node *n : nodes)
        out << n->text;
    return out;
}

// "A(A1,A2),B" — the tree as the model's indexes show it.
QString dump(const QAbstractItemModel &m, const QModelIndex &parent = {})
{
    QStringList parts;
    for (int r = 0; r < m.rowCount(parent); ++r) {
        const QModelIndex i = m.index(r, 0, parent);
        QString s = i.data().toString();
        if (m.rowCount(i) > 0)
            s += "(" + dump(m, i) + ")";
        parts << s;
    }
    return parts.join(',');
}

} // namespace

class TestTreeModel : public QObject
{
    Q_OBJECT
private slots:
    void insertsAndRemovalsUnderTester();
    void parentAfterRowsAboveRemoved();
    void removalSignals();
    void walksAndLookups();
    void nodeChangedRanges();
    void deletesEveryNode();
};

void TestTreeModel::insertsAndRemovalsUnderTester()
{
    TextTreeModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTreeView view; // a view asks the way views do, with persistent indexes
    view.setModel(&model);
    view.show();
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

    Node *a = model.add(nullptr, "A");
    Node *b = model.add(nullptr, "B");
    model.add(a, "A2");
    model.add(a, "A1", 0);
    Node *b1 = model.add(b, "B1");
    model.add(b1, "B1x");
    model.add(nullptr, "C", 1);
    view.expandAll();
    QCOMPARE(dump(model), QString("A(A1,A2),C,B(B1(B1x))"));

    QCOMPARE(inserted.size(), 7);
    // The row of "C" was announced where it went: row 1 of the root.
    QCOMPARE(inserted.at(6).at(0).value<QModelIndex>(), QModelIndex());
    QCOMPARE(inserted.at(6).at(1).toInt(), 1);
    // "A1" under A at row 0.
    QCOMPARE(inserted.at(3).at(0).value<QModelIndex>().data().toString(), QString("A"));
    QCOMPARE(inserted.at(3).at(1).toInt(), 0);

    const QPersistentModelIndex keepB1(model.indexForNode(b1));
    model.removeNode(a);
    QCOMPARE(dump(model), QString("C,B(B1(B1x))"));
    QCOMPARE(keepB1.data().toString(), QString("B1"));
    QCOMPARE(keepB1.parent().row(), 1);

    model.removeChildren(b);
    QCOMPARE(dump(model), QString("C,B"));
    QVERIFY(!keepB1.isValid());
    model.add(b, "B2");
    model.removeChildren(nullptr);
    QCOMPARE(model.rowCount(), 0);
    model.add(nullptr, "D");
    QCOMPARE(dump(model), QString("D"));
}

void TestTreeModel::parentAfterRowsAboveRemoved()
{
    // No tester here: it would ask for every row again after each removal.
    TextTreeModel model;
    Node *a = model.add(nullptr, "A");
    Node *b = model.add(nullptr, "B");
    Node *c = model.add(nullptr, "C");
    Node *c1 = model.add(c, "C1");

    // A view has seen C at row 2, then at column 1.
    QCOMPARE(model.index(2, 0).row(), 2);
    QVERIFY(model.index(2, 1).isValid());
    model.removeNode(a);
    model.removeNode(b);

    // Asked of a child without asking for C itself again first.
    const QModelIndex child = model.indexForNode(c1);
    QCOMPARE(child.data().toString(), QString("C1"));
    const QModelIndex parent = model.parent(child);
    QCOMPARE(parent.row(), 0);
    QCOMPARE(parent.column(), 0);
    QCOMPARE(parent.data().toString(), QString("C"));
    QCOMPARE(model.indexForNode(c).row(), 0);
    QCOMPARE(model.index(0, 0, model.index(0, 0)), child);
    // Only the first column has children.
    QCOMPARE(model.rowCount(model.index(0, 1)), 0);
}

void TestTreeModel::removalSignals()
{
    TextTreeModel model;
    Node *a = model.add(nullptr, "A");
    model.add(a, "A1");
    model.add(a, "A2");
    Node *b = model.add(nullptr, "B");

    QStringList events;
    connect(&model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [&](const QModelIndex &p, int first, int last) {
                events << QString("remove %1 %2-%3")
                                  .arg(p.isValid() ? p.data().toString() : "root")
                                  .arg(first)
                                  .arg(last);
            });
    connect(&model, &QAbstractItemModel::layoutChanged, this, [&] { events << "layout"; });

    model.removeChildren(b); // no children: nothing announced
    QVERIFY(events.isEmpty());

    model.removeNode(a);
    QCOMPARE(events, (QStringList {"remove A 0-1", "remove root 0-0"}));

    // A node that is not in the model is left alone.
    events.clear();
    Node stray(1, "stray", nullptr);
    model.removeNode(&stray);
    QVERIFY(events.isEmpty());
    QCOMPARE(model.rowCount(), 1);

    model.notifyLayoutChanged();
    QCOMPARE(events, QStringList {"layout"});
}

void TestTreeModel::walksAndLookups()
{
    TextTreeModel model;
    Node *a = model.add(nullptr, "A");
    model.add(a, "A1");
    Node *a2 = model.add(a, "A2");
    model.add(nullptr, "B");
    model.add(a2, "A2a");

    QCOMPARE(texts(model.allNodes()), (QStringList {"A", "A1", "A2", "A2a", "B"}));
    QList<Node *> sub;
    AbsTreeItemModel::collectSubtree(sub, a2);
    AbsTreeItemModel::collectSubtree(sub, nullptr);
    QCOMPARE(texts(sub), (QStringList {"A2", "A2a"}));
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.rowCount(QModelIndex()), 2);

    // Never shown by a view: its place in its parent's list, column 0.
    const QModelIndex i = model.indexForNode(a2);
    QCOMPARE(i.row(), 1);
    QCOMPARE(i.column(), 0);
    QCOMPARE(AbsTreeItemModel::nodeOf(i), a2);
    QVERIFY(!model.indexForNode(nullptr).isValid());
    Node stray(1, "stray", a);
    QVERIFY(!model.indexForNode(&stray).isValid());
    QVERIFY(!model.index(5, 0).isValid());
    QVERIFY(!model.index(0, 2).isValid());
}

void TestTreeModel::nodeChangedRanges()
{
    TextTreeModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    Node *a = model.add(nullptr, "A");
    model.add(a, "A1");
    model.add(a, "A2");
    Node *b = model.add(nullptr, "B");

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.notifyNodeChanged(a);
    QCOMPARE(changed.size(), 2);
    for (const auto &args : changed) {
        const auto topLeft = args.at(0).value<QModelIndex>();
        const auto bottomRight = args.at(1).value<QModelIndex>();
        QCOMPARE(topLeft.parent(), bottomRight.parent());
        QCOMPARE(bottomRight.column(), 1);
    }
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>().data().toString(), QString("A"));
    QCOMPARE(changed.at(1).at(0).value<QModelIndex>().data().toString(), QString("A1"));
    QCOMPARE(changed.at(1).at(1).value<QModelIndex>().row(), 1);

    changed.clear();
    model.notifyNodeChanged(b); // childless: itself only
    QCOMPARE(changed.size(), 1);
}

void TestTreeModel::deletesEveryNode()
{
    {
        TextTreeModel model;
        auto *top = new CountedNode("top", nullptr);
        model.appendNode(nullptr, top);
        model.appendNode(top, new CountedNode("child", top));
        auto *gone = new CountedNode("gone", nullptr);
        model.appendNode(nullptr, gone);
        model.appendNode(gone, new CountedNode("gone child", gone));
        QCOMPARE(CountedNode::alive, 4);
        model.removeNode(gone);
        QCOMPARE(CountedNode::alive, 2);
    }
    QCOMPARE(CountedNode::alive, 0);
}

QTEST_MAIN(TestTreeModel)
#include "tst_treemodel.moc"
