#pragma once

#include "store/msgdataset.h"

#include <QList>
#include <QString>

#include <memory>
#include <vector>

// Message records built in code for view and output tests, owned by the
// fixture. Rowids count from 1 in order of creation; a message's order key
// is its rowid and its service "SMS".
struct MessageFixture
{
    std::vector<std::unique_ptr<_MsgMessage>> messages;
    std::vector<std::unique_ptr<_MsgHandle>> handles;
    std::vector<std::unique_ptr<_MsgChat>> chats;
    std::vector<std::unique_ptr<_MsgAttachment>> attachments;

    _MsgHandle *handle(const QString &id, const QString &name = QString());
    // A conversation of these handles (a group when more than one).
    _MsgChat *chat(const QList<_MsgHandle *> &members);
    // A message of conversation c (may be null) from handle from (may be null).
    _MsgMessage *message(_MsgChat *c, _MsgHandle *from, const QString &text, qint32 date = 1000,
                         bool sent = false);
    // An attachment of m whose file is at localPath (rowid 0: the next number).
    _MsgAttachment *attach(_MsgMessage *m, const QString &mime, const QString &localPath,
                           qint64 rowid = 0);
    // Every message in order of creation.
    MsgMessageList list() const;
};
