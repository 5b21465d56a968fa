#include "store/abstreeitemmodel.h"

#include <atomic>
#include <utility>

namespace {
std::atomic<quint64> nextNodeSerial {1};
}

AbsTreeItemModel::_ItemNode::_ItemNode(int kind, const QString &text, _ItemNode *parent)
    : kind(kind)
    , text(text)
    , serial(nextNodeSerial++)
    , parent(parent)
{ }

AbsTreeItemModel::_ItemNode::~_ItemNode()
{
    qDeleteAll(children);
    children.clear();
}

AbsTreeItemModel::AbsTreeItemModel(QObject *parent)
    : QAbstractItemModel(parent)
{ }

AbsTreeItemModel::~AbsTreeItemModel()
{
    qDeleteAll(m_nodes);
    m_nodes.clear();
}

AbsTreeItemModel::_ItemNode *AbsTreeItemModel::nodeOf(const QModelIndex &index)
{
    return index.isValid() ? static_cast<_ItemNode *>(index.internalPointer()) : nullptr;
}

const QList<AbsTreeItemModel::_ItemNode *> &AbsTreeItemModel::siblings(const _ItemNode *node) const
{
    return node->parent ? node->parent->children : m_nodes;
}

QList<AbsTreeItemModel::_ItemNode *> &AbsTreeItemModel::childList(_ItemNode *node)
{
    return node ? node->children : m_nodes;
}

QModelIndex AbsTreeItemModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    const _ItemNode *p = nodeOf(parent);
    const QList<_ItemNode *> &list = p ? p->children : m_nodes;
    return createIndex(row, column, list.at(row));
}

QModelIndex AbsTreeItemModel::parent(const QModelIndex &child) const
{
    const _ItemNode *node = nodeOf(child);
    if (!node || !node->parent)
        return {};
    // The row is looked up now: rows above the parent may have gone since
    // any index of it was made.
    return indexForNode(node->parent);
}

int AbsTreeItemModel::rowCount(const QModelIndex &parent) const
{
    // Only the first column has children.
    if (parent.column() > 0)
        return 0;
    const _ItemNode *p = nodeOf(parent);
    return int(p ? p->children.size() : m_nodes.size());
}

QModelIndex AbsTreeItemModel::indexForNode(_ItemNode *node) const
{
    if (!node)
        return {};
    const qsizetype row = siblings(node).indexOf(node);
    if (row < 0)
        return {};
    return createIndex(int(row), 0, node);
}

void AbsTreeItemModel::insertNode(_ItemNode *parent, int row, _ItemNode *node)
{
    QList<_ItemNode *> &list = childList(parent);
    if (row < 0 || row > list.size())
        row = int(list.size());
    node->parent = parent;
    beginInsertRows(indexForNode(parent), row, row);
    list.insert(row, node);
    endInsertRows();
}

void AbsTreeItemModel::appendNode(_ItemNode *parent, _ItemNode *node)
{
    insertNode(parent, -1, node);
}

void AbsTreeItemModel::notifyLayoutChanged()
{
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}

void AbsTreeItemModel::notifyNodeChanged(_ItemNode *node)
{
    if (!node)
        return;
    const int lastColumn = columnCount(QModelIndex()) - 1;
    if (lastColumn < 0)
        return;
    const QModelIndex first = indexForNode(node);
    if (first.isValid())
        emit dataChanged(first, first.siblingAtColumn(lastColumn));
    if (!node->children.isEmpty()) {
        const QModelIndex top = indexForNode(node->children.first());
        const QModelIndex bottom = indexForNode(node->children.last());
        emit dataChanged(top, bottom.siblingAtColumn(lastColumn));
    }
}

void AbsTreeItemModel::collectSubtree(QList<_ItemNode *> &list, _ItemNode *node)
{
    if (!node)
        return;
    list.append(node);
    for (_ItemNode *child : std::as_const(node->children))
        collectSubtree(list, child);
}

QList<AbsTreeItemModel::_ItemNode *> AbsTreeItemModel::allNodes() const
{
    QList<_ItemNode *> list;
    for (_ItemNode *node : m_nodes)
        collectSubtree(list, node);
    return list;
}

void AbsTreeItemModel::removeChildren(_ItemNode *node)
{
    QList<_ItemNode *> &list = childList(node);
    const int n = int(list.size());
    if (n < 1)
        return;
    if (node && !indexForNode(node).isValid()) {
        // Not (or no longer) in the model: no view knows these rows.
        qDeleteAll(std::exchange(list, {}));
        return;
    }
    beginRemoveRows(indexForNode(node), 0, n - 1);
    const QList<_ItemNode *> doomed = std::move(list);
    list.clear();
    qDeleteAll(doomed);
    endRemoveRows();
}

void AbsTreeItemModel::removeNode(_ItemNode *node)
{
    if (!node)
        return;
    QList<_ItemNode *> &list = childList(node->parent);
    if (!list.contains(node))
        return; // not a node of this model
    removeChildren(node);
    const qsizetype row = list.indexOf(node);
    beginRemoveRows(indexForNode(node->parent), int(row), int(row));
    list.removeAt(row);
    delete node;
    endRemoveRows();
}
