#pragma once

#include "store/msgdataset.h"

#include <QAbstractItemModel>

// The message list: one row per message of the shown list, in the list's
// order, with the columns Date, Flag, Contact and Content. The records
// belong to the data set of the tree node they came from; the shown list
// must be replaced before that set is released. The model never sorts:
// whoever sets the list has sorted it.
class ItemModelSms : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum Column { ColDate = 0, ColFlag, ColContact, ColContent, ColumnCount };

    explicit ItemModelSms(QObject *parent = nullptr);

    void setMessages(const MsgMessageList &messages);
    void clear();
    const MsgMessageList &messages() const { return m_messages; }
    // The index of row in column 0, carrying its message; invalid outside the list.
    QModelIndex rowIndex(int row) const;
    // The message of an index of this model, or null.
    _MsgMessage *messageAt(const QModelIndex &index) const;

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The resource path of the icon of a message's service and direction.
    static QString serviceIconPath(const _MsgMessage &m);

private:
    // The whole text of a column of a message's row.
    static QString columnText(const _MsgMessage &m, int column);

    MsgMessageList m_messages;
};
