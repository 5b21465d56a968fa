#include "recovery/setmsgnumdialog.h"

#include "store/messagebox.h"
#include "store/messagerecycledb.h"
#include "store/stylesheet.h"
#include "ui_setmsgnumdialog.h"

#include <algorithm>
#include <exception>

bool handleItemLessThan(const HandleItem &a, const HandleItem &b)
{
    if (a.checked != b.checked)
        return a.checked;
    return QString::compare(a.handle.id, b.handle.id, Qt::CaseSensitive) < 0;
}

SetMsgNumDialog::SetMsgNumDialog(const MsgMessageList &messages,
                                 const QList<_MsgHandle *> &handles, MessageRecycleDb *recycle,
                                 QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SetMsgNumDialog)
    , m_movable(this)
    , m_messages(messages)
    , m_handles(handles)
    , m_recycle(recycle)
{
    registerRecordMetaTypes();
    ui->setupUi(this);
    QMetaObject::connectSlotsByName(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->ltHandle, &QListWidget::itemSelectionChanged, this,
            &SetMsgNumDialog::selectHandleList);
    connect(ui->txtNumber, &QLineEdit::textChanged, this, &SetMsgNumDialog::numberInputChanged);

    if (m_recycle) {
        try {
            const QList<_MsgHandle> salvaged = m_recycle->loadRecycledHandles();
            for (const _MsgHandle &h : salvaged)
                m_items.append(HandleItem{true, h});
        } catch (const std::exception &e) {
            showError(boxTextOf(e));
        }
    }
    for (const _MsgHandle *h : std::as_const(m_handles)) {
        // Conversations of unknown number have handles of their own below
        // this bound: they are no number to give.
        if (h && h->ROWID > -kUnknownChatBase)
            m_items.append(HandleItem{false, *h});
    }
    std::stable_sort(m_items.begin(), m_items.end(), handleItemLessThan);
    for (const HandleItem &item : std::as_const(m_items))
        addHandleItem(item);
}

SetMsgNumDialog::~SetMsgNumDialog()
{
    delete ui;
}

void SetMsgNumDialog::addHandleItem(const HandleItem &item)
{
    const _MsgHandle &h = item.handle;
    QString text = h.contactName.isEmpty() ? h.id
                                           : QStringLiteral("%1 (%2)").arg(h.contactName, h.id);
    if (!h.service.isEmpty())
        text += QStringLiteral(" - ") + h.service;
    auto *row = new QListWidgetItem(text, ui->ltHandle);
    if (item.checked)
        row->setForeground(QColor(255, 0, 0));
    row->setData(Qt::UserRole, QVariant::fromValue(item));
}

void SetMsgNumDialog::selectHandleList()
{
    QListWidgetItem *row = ui->ltHandle->currentItem();
    if (!row)
        return;
    const HandleItem item = row->data(Qt::UserRole).value<HandleItem>();
    ui->txtNumber->setText(item.handle.id);
}

void SetMsgNumDialog::numberInputChanged(const QString &text)
{
    // Rebuilding the list must not feed back into the number field.
    const QSignalBlocker block(ui->ltHandle);
    ui->ltHandle->clear();
    for (const HandleItem &item : std::as_const(m_items)) {
        if (item.handle.id.contains(text, Qt::CaseInsensitive)
            || item.handle.contactName.contains(text, Qt::CaseInsensitive))
            addHandleItem(item);
    }
}

void SetMsgNumDialog::accept()
{
    const QString number = ui->txtNumber->text().trimmed();
    if (number.isEmpty()) {
        showWarning(tr("IDS_EMPATY_PHONE_NUMNBER_PLEASE_INPUT"));
        return;
    }
    if (!askQuestion(tr("IDS_CONFIRM_SET_UNKNOWN_MSG_NUMBER_AS_%1").arg(escapeForBox(number))))
        return;
    if (!m_recycle) {
        showError(QStringLiteral("no recycle database"));
        return;
    }
    try {
        m_recycle->beginTransaction();
        for (const _MsgMessage *message : std::as_const(m_messages)) {
            if (message)
                m_recycle->setRecycledMessageChat(*message, number, number);
        }
        m_recycle->endTransaction(true);
    } catch (const std::exception &e) {
        const QString text = boxTextOf(e);
        try {
            m_recycle->endTransaction(false);
        } catch (const std::exception &) {
            // The rollback failing leaves nothing more to undo here.
        }
        showError(text);
        return;
    }
    QDialog::accept();
}
