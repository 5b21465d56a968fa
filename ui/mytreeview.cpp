#include "ui/mytreeview.h"

#include <QContextMenuEvent>

MyTreeView::MyTreeView(QWidget *parent)
    : QTreeView(parent)
{ }

void MyTreeView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    emit onSelectionChanged(selected, deselected);
    QTreeView::selectionChanged(selected, deselected);
}

void MyTreeView::contextMenuEvent(QContextMenuEvent *event)
{
    emit createContextMenu();
    QAbstractScrollArea::contextMenuEvent(event);
}
