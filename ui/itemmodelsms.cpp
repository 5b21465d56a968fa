#include "ui/itemmodelsms.h"

#include "store/msgutil.h"
#include "store/itemtext.h"

#include <QBrush>
#include <QHash>
#include <QLocale>
#include <QPixmap>
#include <QSize>

ItemModelSms::ItemModelSms(QObject *parent)
    : QAbstractItemModel(parent)
{ }

void ItemModelSms::setMessages(const MsgMessageList &messages)
{
    beginResetModel();
    m_messages = messages;
    endResetModel();
}

void ItemModelSms::clear()
{
    setMessages(MsgMessageList());
}

QModelIndex ItemModelSms::rowIndex(int row) const
{
    if (row < 0 || row >= m_messages.size())
        return QModelIndex();
    return createIndex(row, 0, m_messages.at(row));
}

_MsgMessage *ItemModelSms::messageAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this || index.row() >= m_messages.size())
        return nullptr;
    return m_messages.at(index.row());
}

QModelIndex ItemModelSms::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return QModelIndex();
    return createIndex(row, column, column == 0 ? m_messages.at(row) : nullptr);
}

QModelIndex ItemModelSms::parent(const QModelIndex &) const
{
    return QModelIndex();
}

int ItemModelSms::rowCount(const QModelIndex &parent) const
{
    // A flat list: no row has children. (Column 0 of a row carries its
    // message; the other columns are rows too.)
    if (parent.isValid())
        return 0;
    return int(m_messages.size());
}

int ItemModelSms::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

QVariant ItemModelSms::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case ColDate:
        return QStringLiteral("Date");
    case ColFlag:
        return QStringLiteral("Flag");
    case ColContact:
        return QStringLiteral("Contact");
    case ColContent:
        return QStringLiteral("Content");
    default:
        return QVariant();
    }
}

QString ItemModelSms::serviceIconPath(const _MsgMessage &m)
{
    const bool imessage = m.service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
    if (imessage)
        return m.is_from_me ? QStringLiteral(":/res/imsg-send.png")
                            : QStringLiteral(":/res/imsg-rec.png");
    return m.is_from_me ? QStringLiteral(":/res/icon_sms-sent.png")
                        : QStringLiteral(":/res/icon_sms-receive.png");
}

static QPixmap serviceIcon(const QString &path)
{
    // Four small pictures, scaled once (GUI thread only).
    static QHash<QString, QPixmap> cache;
    auto it = cache.constFind(path);
    if (it != cache.constEnd())
        return *it;
    QPixmap pix(path);
    if (!pix.isNull())
        pix = pix.scaledToWidth(18, Qt::FastTransformation);
    cache.insert(path, pix);
    return pix;
}

QString ItemModelSms::columnText(const _MsgMessage &m, int column)
{
    switch (column) {
    case ColDate:
        return QLocale::system().toString(iosDateToDateTime(m.date), QLocale::ShortFormat);
    case ColFlag:
        if (m.item_type != 0)
            return QString();
        return m.is_from_me ? QStringLiteral("To") : QStringLiteral("From");
    case ColContact:
        if (m.item_type != 0)
            return m.chat ? chatDisplayName(*m.chat, false) : QString();
        return messageChatTitle(m);
    case ColContent:
        return messagePlainText(m);
    default:
        return QString();
    }
}

QVariant ItemModelSms::data(const QModelIndex &index, int role) const
{
    const _MsgMessage *m = messageAt(index);
    if (!m)
        return QVariant();
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (column < 0 || column >= ColumnCount)
            return QVariant();
        return role == Qt::DisplayRole ? itemDisplayText(columnText(*m, column))
                                       : itemToolTipText(columnText(*m, column));
    case Qt::DecorationRole:
        if (column == ColDate)
            return serviceIcon(serviceIconPath(*m));
        return QVariant();
    case Qt::BackgroundRole:
        return QBrush(m->is_from_me ? QColor(245, 255, 226) : QColor(255, 255, 255));
    case Qt::ForegroundRole:
        if (m->highlight)
            return QBrush(QColor(255, 0, 0));
        return QVariant();
    case Qt::SizeHintRole:
        return QSize(0, 23);
    default:
        return QVariant();
    }
}
