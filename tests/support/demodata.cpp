#include "tests/support/demodata.h"

#include "store/datafolder.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <stdexcept>

void fillChatLastDates(const QString &smsDbPath)
{
    RawSqlite db(smsDbPath);
    db.exec(QStringLiteral("update chat set _last = (select max(m.date) from chat_message_join j "
                           "join message m on m.rowid = j.message_id where j.chat_id = chat.rowid)"));
}

QByteArray drawDemoPicture(int n)
{
    // A small landscape: sky, sun and two ranges of hills, the colours and
    // shapes varying with n, so that no two pictures of a run look alike.
    const int w = 240, h = 180;
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const int hue = (n * 47) % 360;
    const bool evening = n % 3 == 0;
    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, QColor::fromHsv(evening ? (hue + 20) % 40 : 205, 150, 230));
    sky.setColorAt(1, QColor::fromHsv(evening ? 30 : 195, 60, 255));
    p.fillRect(image.rect(), sky);
    const QPointF sun(40 + (n * 37) % (w - 80), 35 + (n * 13) % 40);
    QRadialGradient glow(sun, 28);
    glow.setColorAt(0, QColor(255, 250, 210));
    glow.setColorAt(1, QColor(255, evening ? 150 : 220, 80));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(sun, 22, 22);
    for (int range = 0; range < 2; ++range) {
        QPainterPath hills;
        const qreal base = h * (range ? 0.78 : 0.62);
        hills.moveTo(0, h);
        hills.lineTo(0, base);
        const int bumps = 2 + (n + range) % 3;
        for (int i = 0; i < bumps; ++i) {
            const qreal x0 = w * i / qreal(bumps), x1 = w * (i + 1) / qreal(bumps);
            const qreal top = base - 18 - ((n * 7 + i * 11 + range * 5) % 30);
            hills.cubicTo(x0 + (x1 - x0) / 3, top, x0 + 2 * (x1 - x0) / 3, top, x1, base);
        }
        hills.lineTo(w, h);
        hills.closeSubpath();
        p.setBrush(QColor::fromHsv((hue + 90 + range * 20) % 360, 120 + range * 60,
                                   range ? 120 : 170));
        p.drawPath(hills);
    }
    p.end();
    QByteArray bytes;
    QBuffer out(&bytes);
    out.open(QIODevice::WriteOnly);
    // JPEG as a phone's camera writes; PNG where Qt lacks the JPEG writer.
    if (!image.save(&out, "JPEG", 85)) {
        bytes.clear();
        out.seek(0);
        image.save(&out, "PNG");
    }
    return bytes;
}

namespace {

const char *const kKeptLines[] = {
        "How was your day?",
        "Long, but good. Yours?",
        "Ok, talk later",
        "Did you see the game last night?",
        "Dinner at seven?",
        "Sounds great, see you then",
};

const char *const kDeletedLines[] = {
        "Are we still on for Saturday?",
        "Yes! I will bring the tickets.",
        "Don't tell anyone about the surprise party",
        "My lips are sealed",
        "The code for the gate is 4711",
        "Got it, thanks. See you at eight",
        "Can you send me the address again?",
        "12 Harbour Lane, second floor",
        "Running ten minutes late, sorry",
        "No problem, I saved you a seat",
};

// Messages deleted the way a phone deletes them: SQLite without secure
// delete leaves the bytes of the rows on their pages, where "Recover
// Deleted Messages" finds them. Deleted: a conversation that the phone's
// user removed whole, with its correspondent, and a few messages of the
// busiest conversation.
// Returns how many messages the database holds more than before (the
// messages added less those deleted).
int deleteAsAPhoneDoes(const QString &store)
{
    RawSqlite db(PhoneSmsDb::smsDbPathOf(store));
    const QVariantList busiest
            = db.rows("select j.chat_id, h.rowid, count(*) n from chat_message_join j "
                      "join chat_handle_join ch on ch.chat_id = j.chat_id "
                      "join handle h on h.rowid = ch.handle_id join chat c on c.rowid = j.chat_id "
                      "where c.style = 45 group by j.chat_id order by n desc limit 1")
                      .value(0);
    if (busiest.isEmpty())
        return 0;
    const qint64 keptChat = busiest[0].toLongLong();
    const qint64 keptHandle = busiest[1].toLongLong();
    qint64 date = db.scalar("select max(date) from message").toLongLong();

    db.exec("BEGIN");
    // The correspondent of the conversation that goes, written between two
    // other numbers that go too and one that stays: its row is then freed
    // inside a run of freed rows and keeps its row id, by which the
    // salvaged messages find it again.
    auto addHandle = [&](const char *id, const char *shown) {
        return db.run("insert into handle (id, country, service, uncanonicalized_id) "
                      "values (?, 'us', 'SMS', ?)",
                      {QString::fromLatin1(id), QString::fromLatin1(shown)});
    };
    const qint64 before = addHandle("+13035550198", "(303) 555-0198");
    const qint64 handle = addHandle("+13035550199", "(303) 555-0199");
    const qint64 after = addHandle("+13035550197", "(303) 555-0197");
    addHandle("+13035550196", "(303) 555-0196");
    const qint64 chat
            = db.run("insert into chat (guid, style, state, account_id, chat_identifier, "
                     "service_name, account_login) values ('SMS;-;+13035550199', 45, 3, "
                     "'ACCOUNT-1', '+13035550199', 'SMS', 'P:+13035550100')");
    db.run("insert into chat_handle_join (chat_id, handle_id) values (?, ?)", {chat, handle});
    auto add = [&](qint64 toChat, qint64 from, const QString &text, bool fromMe) {
        date += 97;
        const qint64 row = db.run(
                "insert into message (guid, text, handle_id, service, account, date, "
                "date_read, date_delivered, is_from_me, is_finished, is_read, is_sent, "
                "is_delivered) values (upper(hex(randomblob(4)) || '-' || hex(randomblob(2)) "
                "|| '-4' || substr(hex(randomblob(2)), 2) || '-A' || substr(hex(randomblob(2)), "
                "2) || '-' || hex(randomblob(6))), ?, ?, 'SMS', 'P:+13035550100', ?, ?, ?, ?, 1, "
                "1, ?, ?)",
                {text, from, date, fromMe ? 0 : date + 30, fromMe ? date + 5 : 0, int(fromMe),
                 int(fromMe), int(fromMe)});
        db.run("insert into chat_message_join (chat_id, message_id) values (?, ?)",
               {toChat, row});
        return row;
    };
    // The two conversations went on side by side, so that the deleted rows
    // share their pages with rows that stay.
    QList<qint64> doomed;
    for (int i = 0; i < 20; ++i) {
        add(keptChat, keptHandle, QString::fromLatin1(kKeptLines[i % 6]), i % 2 == 0);
        doomed << add(chat, handle, QString::fromLatin1(kDeletedLines[i % 10]), i % 2 == 1);
    }
    // The conversation that stays went on: the last page, which SQLite
    // would merge into its neighbour, keeps its rows.
    for (int i = 0; i < 60; ++i)
        add(keptChat, keptHandle, QString::fromLatin1(kKeptLines[(i + 3) % 6]), i % 3 == 0);
    db.exec("COMMIT");

    // A few older messages of the busiest conversation, far apart.
    const QList<QVariantList> older
            = db.rows("select message_id from chat_message_join where chat_id = ? "
                      "order by message_id limit 200",
                      {keptChat});
    for (qsizetype i = 17; i < older.size() && i < 17 * 7; i += 17)
        doomed << older[i][0].toLongLong();

    db.exec("PRAGMA secure_delete=0; BEGIN");
    // The numbers around the correspondent first: the phone's triggers
    // remove the correspondent with the conversation's last join row.
    for (qint64 h : {before, after})
        db.run("delete from handle where rowid = ?", {h});
    for (qint64 row : std::as_const(doomed)) {
        db.run("delete from message where rowid = ?", {row});
        db.run("delete from chat_message_join where message_id = ?", {row});
    }
    db.run("delete from chat_handle_join where chat_id = ?", {chat});
    db.run("delete from chat where rowid = ?", {chat});
    db.run("delete from handle where rowid = ?", {handle});
    db.exec("COMMIT");
    return 100 - int(doomed.size());
}

} // namespace

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
        g.drawPicture = drawDemoPicture;
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
    if (spec.deletedMessages)
        total += deleteAsAPhoneDoes(data.absoluteFilePath(QStringLiteral("virtual_ios/Demo iPhone")));
    total += make(QStringLiteral("virtual_android"), QStringLiteral("Demo Android"), small,
                  fewChats, PhoneSchema::olderLocal(), spec.seed + 2);
    return total;
}
