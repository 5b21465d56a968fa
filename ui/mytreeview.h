#pragma once

#include <QItemSelection>
#include <QTreeView>

// A tree view that tells of selection changes and context-menu requests by
// signals of its own: the source tree and the message list.
class MyTreeView : public QTreeView
{
    Q_OBJECT
public:
    explicit MyTreeView(QWidget *parent = nullptr);

signals:
    void onSelectionChanged(const QItemSelection &selected, const QItemSelection &deselected);
    void createContextMenu();

protected:
    void selectionChanged(const QItemSelection &selected,
                          const QItemSelection &deselected) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
};
