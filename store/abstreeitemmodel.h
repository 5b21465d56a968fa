#pragma once

#include <QAbstractItemModel>
#include <QList>
#include <QString>

// Base of the program's tree models: a forest of nodes that the model owns.
// Subclasses give the column count and the data of each node, derive their
// own node classes from _ItemNode and add nodes through insertNode or
// appendNode, which announce the new rows to the views.
class AbsTreeItemModel : public QAbstractItemModel
{
public:
    class _ItemNode
    {
    public:
        // Does not put itself into any list: hand it to insertNode or
        // appendNode of the model.
        _ItemNode(int kind, const QString &text, _ItemNode *parent);
        virtual ~_ItemNode();
        _ItemNode(const _ItemNode &) = delete;
        _ItemNode &operator=(const _ItemNode &) = delete;

        int kind;
        QString text;
        // Unique in the process: tells a node from a later one that got the
        // address of a deleted node.
        const quint64 serial;
        _ItemNode *parent; // not owned; null at the top level
        QList<_ItemNode *> children; // owned
    };

    explicit AbsTreeItemModel(QObject *parent = nullptr);
    ~AbsTreeItemModel() override;

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;

    // The node of an index of this model (null for the root).
    static _ItemNode *nodeOf(const QModelIndex &index);
    // Column 0 of the node, with its row as it is now; invalid for null.
    QModelIndex indexForNode(_ItemNode *node) const;

    // Puts the node at row of parent's children (of the top-level list when
    // parent is null; row out of range appends) and announces the new row.
    // The model owns the node from now on.
    void insertNode(_ItemNode *parent, int row, _ItemNode *node);
    void appendNode(_ItemNode *parent, _ItemNode *node);

    // Emits layoutChanged(), for subclasses that reorder rows.
    void notifyLayoutChanged();
    // Announces changed data of the node and of all its children.
    void notifyNodeChanged(_ItemNode *node);

    // Appends the node and all its descendants, parents before children.
    static void collectSubtree(QList<_ItemNode *> &list, _ItemNode *node);
    QList<_ItemNode *> allNodes() const;
    const QList<_ItemNode *> &topLevelNodes() const { return m_nodes; }

    // Deletes all children of the node (all top-level nodes for null).
    void removeChildren(_ItemNode *node);
    // Deletes one node with its subtree.
    void removeNode(_ItemNode *node);

private:
    const QList<_ItemNode *> &siblings(const _ItemNode *node) const;
    QList<_ItemNode *> &childList(_ItemNode *node);

    QList<_ItemNode *> m_nodes;
};
