#include "ui/mylistview.h"

#include <QContextMenuEvent>

MyListView::MyListView(QWidget *parent)
    : QListView(parent)
{ }

void MyListView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    emit onSelectionChanged(selected, deselected);
    QListView::selectionChanged(selected, deselected);
}

void MyListView::contextMenuEvent(QContextMenuEvent *event)
{
    emit createContextMenu();
    QAbstractScrollArea::contextMenuEvent(event);
}
