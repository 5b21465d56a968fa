#include "tests/support/messagefixture.h"

#include <QFileInfo>

_MsgHandle *MessageFixture::handle(const QString &id, const QString &name)
{
    handles.push_back(std::make_unique<_MsgHandle>());
    _MsgHandle *h = handles.back().get();
    h->ROWID = qint64(handles.size());
    h->id = id;
    h->contactName = name;
    return h;
}

_MsgChat *MessageFixture::chat(const QList<_MsgHandle *> &members)
{
    chats.push_back(std::make_unique<_MsgChat>());
    _MsgChat *c = chats.back().get();
    c->ROWID = qint64(chats.size());
    for (_MsgHandle *h : members)
        c->handles.insert(QString::number(h->ROWID), h);
    return c;
}

_MsgMessage *MessageFixture::message(_MsgChat *c, _MsgHandle *from, const QString &text,
                                     qint32 date, bool sent)
{
    messages.push_back(std::make_unique<_MsgMessage>());
    _MsgMessage *m = messages.back().get();
    m->ROWID = qint64(messages.size());
    m->orderKey = m->ROWID;
    m->text = text;
    m->date = date;
    m->is_from_me = sent ? 1 : 0;
    m->chat = c;
    m->handle = from;
    m->service = QStringLiteral("SMS");
    if (c)
        c->messages.insert(QString::number(m->ROWID), m);
    return m;
}

_MsgAttachment *MessageFixture::attach(_MsgMessage *m, const QString &mime,
                                       const QString &localPath, qint64 rowid)
{
    attachments.push_back(std::make_unique<_MsgAttachment>());
    _MsgAttachment *a = attachments.back().get();
    a->ROWID = rowid ? rowid : qint64(attachments.size());
    a->mime_type = mime;
    a->localPath = localPath;
    a->filename = QStringLiteral("~/Library/SMS/Attachments/") + QFileInfo(localPath).fileName();
    m->attachments.insert(QString::number(a->ROWID), a);
    return a;
}

MsgMessageList MessageFixture::list() const
{
    MsgMessageList l;
    for (const auto &m : messages)
        l.append(m.get());
    return l;
}
