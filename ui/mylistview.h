#pragma once

#include <QItemSelection>
#include <QListView>

// A list view that tells of selection changes and context-menu requests by
// signals of its own.
class MyListView : public QListView
{
    Q_OBJECT
public:
    explicit MyListView(QWidget *parent = nullptr);

signals:
    void onSelectionChanged(const QItemSelection &selected, const QItemSelection &deselected);
    void createContextMenu();

protected:
    void selectionChanged(const QItemSelection &selected,
                          const QItemSelection &deselected) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
};
