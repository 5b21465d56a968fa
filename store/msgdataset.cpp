#include "store/msgdataset.h"

#include <QHash>

_MsgDataSet::~_MsgDataSet()
{
    qDeleteAll(attachments);
    qDeleteAll(messages);
    qDeleteAll(handles);
    qDeleteAll(chats);
}

void MsgDataSet::reset()
{
    m_set = QSharedPointer<_MsgDataSet>::create();
}

QList<ChatSession> MsgDataSet::chatSessions() const
{
    QList<ChatSession> sessions;
    if (!m_set)
        return sessions;
    QHash<QString, qsizetype> byIdentifier;
    for (_MsgChat *chat : std::as_const(m_set->chats)) {
        auto it = byIdentifier.constFind(chat->chat_identifier);
        if (it == byIdentifier.constEnd()) {
            byIdentifier.insert(chat->chat_identifier, sessions.size());
            sessions.append(ChatSession {{chat}, chat->lastDate});
        } else {
            ChatSession &s = sessions[*it];
            s.chats.append(chat);
            if (chat->lastDate > s.lastDate)
                s.lastDate = chat->lastDate;
        }
    }
    return sessions;
}

bool sessionNewerFirst(const ChatSession &a, const ChatSession &b)
{
    if (a.lastDate != b.lastDate)
        return a.lastDate > b.lastDate;
    const QString ka = a.chats.isEmpty() ? QString() : a.chats.first()->chat_identifier;
    const QString kb = b.chats.isEmpty() ? QString() : b.chats.first()->chat_identifier;
    return ka < kb;
}

bool chatNewerFirst(const _MsgChat *a, const _MsgChat *b)
{
    if (a->lastDate != b->lastDate)
        return a->lastDate > b->lastDate;
    return a->ROWID < b->ROWID;
}

void registerRecordMetaTypes()
{
    qRegisterMetaType<HandleItem>("HandleItem");
}
