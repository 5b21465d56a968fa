#include "tests/support/demodata.h"

#include "store/datafolder.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"

#include <QDir>

void fillChatLastDates(const QString &smsDbPath)
{
    RawSqlite db(smsDbPath);
    db.exec(QStringLiteral("update chat set _last = (select max(m.date) from chat_message_join j "
                           "join message m on m.rowid = j.message_id where j.chat_id = chat.rowid)"));
}

int fillDemoDataFolder(const QString &dataFolder, const DemoDataSpec &spec)
{
    const QDir data(dataFolder);
    auto make = [&](const QString &sub, const QString &name, int messages, int chats,
                    const PhoneSchema &schema, quint32 seed) {
        const QString store = QDir(data.absoluteFilePath(sub)).absoluteFilePath(name);
        removeFolderRecursively(store);
        QDir().mkpath(store);
        GeneratedSmsDbSpec g;
        g.messages = messages;
        g.chats = chats;
        g.attachmentFiles = spec.attachmentFiles;
        g.schema = schema;
        g.seed = seed;
        const GeneratedSmsDbStats stats = generatePhoneSmsDb(store, g);
        if (schema.localColumns)
            fillChatLastDates(PhoneSmsDb::smsDbPathOf(store));
        return stats.messages;
    };
    int total = make(QStringLiteral("local_databases"), QStringLiteral("Demo Archive"),
                     spec.messages, spec.chats, PhoneSchema::olderLocal(), spec.seed);
    const int small = qMax(1, spec.messages / 10);
    const int fewChats = qMax(1, spec.chats / 4);
    total += make(QStringLiteral("virtual_ios"), QStringLiteral("Demo iPhone"), small, fewChats,
                  PhoneSchema::ios6(), spec.seed + 1);
    total += make(QStringLiteral("virtual_android"), QStringLiteral("Demo Android"), small,
                  fewChats, PhoneSchema::olderLocal(), spec.seed + 2);
    return total;
}
