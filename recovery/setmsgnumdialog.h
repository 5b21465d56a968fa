#pragma once

#include "store/msgdataset.h"
#include "store/winmovable.h"

#include <QDialog>
#include <QList>

class MessageRecycleDb;

namespace Ui {
class SetMsgNumDialog;
}

// The frameless dialog that gives a phone number (or any address) to
// salvaged messages, typically those of a conversation of unknown number.
// The user types the number or picks one of the listed handles (salvaged
// handles first, in red, then the given ones); on confirmation the number
// becomes chat identifier and handle of every given message in recycle.db,
// all in one transaction.
//
//     SetMsgNumDialog dlg(messages, handles, &recycle, this);
//     if (dlg.exec() == QDialog::Accepted)
//         ... // reload the store's conversations (chats, loadRecycledChats)
//
// The message and handle records are only read during construction and
// accept(); the caller keeps them and the recycle database alive while the
// dialog runs.
class SetMsgNumDialog : public QDialog
{
    Q_OBJECT
public:
    SetMsgNumDialog(const MsgMessageList &messages, const QList<_MsgHandle *> &handles,
                    MessageRecycleDb *recycle, QWidget *parent = nullptr);
    ~SetMsgNumDialog() override;

    // Appends one row for the item at the end of the list.
    void addHandleItem(const HandleItem &item);
    // Every handle the dialog can list, in display order.
    const QList<HandleItem> &items() const { return m_items; }

public slots:
    void accept() override;

protected slots:
    void selectHandleList();
    void numberInputChanged(const QString &text);

public:
    Ui::SetMsgNumDialog *ui;

private:
    WinMovable m_movable;
    MsgMessageList m_messages;
    QList<_MsgHandle *> m_handles;
    MessageRecycleDb *m_recycle;
    QList<HandleItem> m_items;
};

// Salvaged handles (checked) before given ones, then by id (case-sensitive).
bool handleItemLessThan(const HandleItem &a, const HandleItem &b);
