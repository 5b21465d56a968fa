#pragma once

#include "tests/support/rawsqlite.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <memory>

// Builds a phone's sms.db of the older generation (SMS and iMessage in one
// message table, iMessage columns prefixed madrid_, SMS conversations in
// msg_group/group_member, MMS content in msg_pieces) with SQLite's C
// interface and SQL of its own, for tests. SMS dates are seconds since 1970;
// iMessage dates seconds since 2001. Ids returned are the new ROWIDs.
class IOS5SmsDb
{
public:
    // Makes <storeFolder>/file-relay/var/mobile/Library/SMS/sms.db, replacing
    // any file there. withMadrid adds the tables madrid_chat and
    // madrid_attachment (a phone on which iMessage was never used lacks them).
    explicit IOS5SmsDb(const QString &storeFolder, bool withMadrid = true);
    ~IOS5SmsDb();

    static QString smsDbPathOf(const QString &storeFolder);
    QString path() const { return m_path; }

    // An SMS conversation; newest_message follows the messages added to it.
    qint64 addGroup(int hash);
    qint64 addMember(qint64 group, const QString &address, const QString &country = "us");
    // Points the group's newest_message at any row id (a missing one too).
    void setNewestMessage(qint64 group, qint64 message);

    struct Sms
    {
        qint64 group = 0;
        QString address;
        qint64 date = 0; // seconds since 1970
        int flags = 2; // 2 received, 3 sent
        QString text;
        QString country = "us";
        QString subject;
        QString svcCenter;
    };
    qint64 addSms(const Sms &m);
    qint64 addSms(qint64 group, const QString &address, qint64 date, int flags, const QString &text,
                  const QString &country = "us")
    {
        Sms m;
        m.group = group;
        m.address = address;
        m.date = date;
        m.flags = flags;
        m.text = text;
        m.country = country;
        return addSms(m);
    }
    // One MMS piece of a message (data may be empty).
    qint64 addPiece(qint64 message, int partId, const QString &contentType,
                    const QString &contentLoc, const QByteArray &data);

    // An iMessage conversation; participants is the property-list blob.
    qint64 addMadridChat(const QString &identifier, const QByteArray &participants, int style = 45,
                         int state = 3, const QString &accountId = "ACC-1",
                         const QString &accountLogin = "E:me@example.com");

    struct IMessage
    {
        QString handle; // madrid_handle
        QString roomname; // madrid_roomname
        int date = 0; // seconds since 2001
        int dateRead = 0;
        int dateDelivered = 0;
        QString text;
        QString guid; // empty: a new upper-case GUID
        QString account = "e:me@example.com";
        QString accountGuid = "ACCOUNT-GUID";
        int error = 0;
        QByteArray attachmentInfo;
        QByteArray attributedBody;
    };
    qint64 addIMessage(const IMessage &m);
    qint64 addMadridAttachment(const QString &guid, const QString &filename,
                               const QString &mimeType, const QString &uti, int createdDate,
                               int startDate, int transferState, bool incoming, qint64 message = 0);

    // Runs SQL straight on the file (to delete rows and the like).
    void exec(const QString &sql);
    RawSqlite &db() { return *m_db; }
    void close();

    static QString newGuid();

private:
    QString m_path;
    std::unique_ptr<RawSqlite> m_db;
    QHash<qint64, qint64> m_newestDate; // group -> date of its newest message
};
