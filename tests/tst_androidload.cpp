// Loading an Android phone's messages into its cache database and writing
// messages into the phone, through the fake adb and the simulated companion
// app: what is stored, what a later load removes, cancels and failures that
// keep the cache as it was, hostile peers, and the restore's bookkeeping.

#include "android/androiddevice.h"
#include "android/androidloadsmsthread.h"
#include "android/androidmessagecodec.h"
#include "android/androidrestoresmsthread.h"
#include "android/simpleprotocol.h"
#include "standins/companionpeer.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/jobrun.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QBuffer>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QImage>
#include <QRandomGenerator>
#include <QTranslator>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString kSerial = QStringLiteral("0123ABCD");
const QString kAlice = QStringLiteral("+12025550101");
const QString kBob = QStringLiteral("+12025550102");
const QString kCarol = QStringLiteral("+12025550103");
// 2020-09-13 12:26:40.123 UTC in milliseconds, and its iOS date.
constexpr qint64 kMs = 1600000000123;
constexpr qint32 kIosDate = 1600000000 - 978307200;

using Outcome = JobOutcome;

using Prepare = std::function<void(ModalAnswerer &, ProgressForm &)>;

// Runs a job under a progress dialog, pressing OK on every box.
Outcome runUnderForm(const std::function<QThread *(ProgressForm *)> &make,
                     const Prepare &prepare = {})
{
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    ProgressForm form(QStringLiteral("job"));
    std::unique_ptr<QThread> job(make(&form));
    if (prepare)
        prepare(answerer, form);
    return runJobUnderForm(form, job.get(), answerer);
}

// Presses Cancel on the progress dialog once ready() holds.
Prepare cancelWhen(std::function<bool()> ready)
{
    return [ready](ModalAnswerer &answerer, ProgressForm &) {
        answerer.act(QStringLiteral("ProgressForm"), [ready](QWidget *w) {
            QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
            QTest::qWait(300);
            QVERIFY(ModalAnswerer::clickButton(w, QStringLiteral("btnCancel")));
        });
    };
}

AndroidDevice phone()
{
    AndroidDevice d;
    d.serial = kSerial;
    d.imei = QStringLiteral("356938035643809");
    d.mmc = QStringLiteral("310");
    d.version = 10;
    return d;
}

QString cacheDbPath(const AndroidDevice &d)
{
    return androidCacheDir(d).absoluteFilePath("file-relay/var/mobile/Library/SMS/sms.db");
}

QList<QVariantList> rows(const QString &sql, const QVariantList &params = {})
{
    return sqliteRows(cacheDbPath(phone()), sql, params);
}

QVariant scalar(const QString &sql)
{
    return sqliteScalar(cacheDbPath(phone()), sql);
}

// Everything the cache holds of messages, conversations, correspondents,
// attachments and bookkeeping, as text: two equal dumps are the same cache.
QString dumpCache()
{
    if (!QFileInfo::exists(cacheDbPath(phone())))
        return QStringLiteral("(none)");
    QStringList out;
    const char *const queries[] = {
            "select guid, text, date, is_from_me, handle_id, logic_hash from message order by 1",
            "select guid, chat_identifier from chat order by 1",
            "select id, _ct_name from handle order by 1",
            "select guid, filename, mime_type from attachment order by 1",
            "select chat_id, message_id from chat_message_join order by 1, 2",
            "select message_id, attachment_id from message_attachment_join order by 1, 2",
            "select child, parent from parent_hash order by 1, 2",
            "select name, tbl_name from sqlite_master where type='index' and tbl_name in "
            "('parent_hash', 'valid_hash') order by 1",
    };
    for (const char *q : queries) {
        out << QString::fromLatin1(q);
        for (const QVariantList &r : rows(QString::fromLatin1(q))) {
            QStringList cells;
            for (const QVariant &v : r)
                cells << v.toString();
            out << cells.join('|');
        }
    }
    return out.join('\n');
}

PhoneAttachment attachment(const QString &mime, const QString &name, const QByteArray &data)
{
    return PhoneAttachment {mime, name, data};
}

PhoneMessage sms(qint64 dateMs, bool sent, const QString &address, const QString &name,
                 const QString &text, const QList<PhoneAttachment> &attachments = {})
{
    PhoneMessage m;
    m.dateMs = dateMs;
    m.sent = sent;
    m.address = address;
    m.contactName = name;
    m.text = text;
    m.attachments = attachments;
    return m;
}

PhoneMessage withId(PhoneMessage m, const QString &id)
{
    m.phoneId = id;
    return m;
}

QByteArray b64(const QString &text)
{
    return text.toUtf8().toBase64();
}

// A "$sms:" argument written by hand.
QString rawSms(qint64 dateMs, const QString &address, const QString &text, const QString &parts)
{
    return QStringLiteral("%1,0,%2,%3,%4,,%5")
            .arg(dateMs)
            .arg(QString::fromLatin1(b64(address)), QString::fromLatin1(b64(QStringLiteral("X"))),
                 QString::fromLatin1(b64(text)), parts);
}

QByteArray pictureBytes(int width, int height, const char *format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray patternBytes(int size, int seed)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 131 + seed * 7) & 0xff);
    return b;
}

QString md5(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

// The files below folder, with their MD5, by path relative to folder.
QMap<QString, QString> filesBelow(const QString &folder)
{
    QMap<QString, QString> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        files.insert(QDir(folder).relativeFilePath(path),
                     f.open(QIODevice::ReadOnly) ? md5(f.readAll()) : QString());
    }
    return files;
}

// A message from another source (a local database, an iPhone) to restore.
struct SourceSet
{
    QList<std::shared_ptr<_MsgHandle>> handles;
    QList<std::shared_ptr<_MsgChat>> chats;
    QList<std::shared_ptr<_MsgMessage>> messages;
    QList<std::shared_ptr<_MsgAttachment>> attachments;
    MsgMessageList list;

    _MsgChat *chatWith(const QString &id)
    {
        for (const auto &c : chats)
            if (c->chat_identifier == id)
                return c.get();
        auto h = std::make_shared<_MsgHandle>();
        h->ROWID = handles.size() + 1;
        h->id = id;
        handles << h;
        auto c = std::make_shared<_MsgChat>();
        c->ROWID = chats.size() + 1;
        c->guid = QStringLiteral("SMS;-;") + id;
        c->chat_identifier = id;
        c->handles.insert(QString::number(h->ROWID), h.get());
        chats << c;
        return c.get();
    }

    _MsgMessage *add(const QString &id, qint32 date, bool fromMe, const QString &text)
    {
        _MsgChat *c = chatWith(id);
        auto m = std::make_shared<_MsgMessage>();
        m->ROWID = messages.size() + 1;
        m->orderKey = m->ROWID;
        m->guid = QStringLiteral("SRC-%1").arg(m->ROWID);
        m->date = date;
        m->is_from_me = fromMe ? 1 : 0;
        m->text = text;
        m->service = QStringLiteral("SMS");
        m->chat = c;
        m->handle = c->handles.first();
        c->messages.insert(QString::number(m->ROWID), m.get());
        messages << m;
        list << m.get();
        return m.get();
    }

    void attach(_MsgMessage *m, const QString &mime, const QString &path)
    {
        auto a = std::make_shared<_MsgAttachment>();
        a->ROWID = attachments.size() + 1;
        a->guid = QStringLiteral("ATT-%1").arg(a->ROWID);
        a->mime_type = mime;
        a->filename = QStringLiteral("~/Library/SMS/Attachments/00/00/ATT/")
                + QFileInfo(path).fileName();
        a->transfer_name = QFileInfo(path).fileName();
        a->localPath = path;
        a->total_bytes = QFileInfo(path).size();
        attachments << a;
        m->attachments.insert(QString::number(a->ROWID), a.get());
        m->text += QChar(0xFFFC);
    }
};

} // namespace

Q_DECLARE_METATYPE(PhoneMessage)

class TestAndroidLoad : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void attachmentNames_data();
    void attachmentNames();

    void loadStoresPhoneMessages();
    void reloadFollowsThePhone();
    void sharedStoredMessageStaysWhileOnePhoneMessageHasIt();
    void cancelMidLoadKeepsTheCache();
    void cancelAroundTheCommit_data();
    void cancelAroundTheCommit();
    void peerFailuresKeepTheCache_data();
    void peerFailuresKeepTheCache();
    void hostileAttachmentNamesStayInTheCache();
    void picturesOfOneMomentAreEachStored_data();
    void picturesOfOneMomentAreEachStored();
    void repeatedLinesDoNotPrune();

    void restoreSendsAndRecords();
    void restoreCancelAfterTheLastBatch_data();
    void restoreCancelAfterTheLastBatch();
    void restoreSkipsWhatTheCacheHolds();
    void restoreAsksForTheDefaultApp();
    void restoreKeepsWhatWasSentOnFailure_data();
    void restoreKeepsWhatWasSentOnFailure();
    void restoreRecordsUpToAFailedWrite();
    void loadAfterRestoreAdoptsTheMessages();
    void transferredMessageIsCachedOnce_data();
    void transferredMessageIsCachedOnce();
    void restoreCleansAttachmentFields();
    void restoreRecordsOnlyWhatThePhoneConfirmed();

private:
    Outcome load(const CompanionScenario &scenario, const Prepare &prepare = {},
                 CompanionRecord *record = nullptr);
    qint64 m_maxAttachmentBytes = 0; // 0: the job's own limit
    Outcome restore(const MsgMessageList &list, const CompanionScenario &scenario,
                    const Prepare &prepare = {}, CompanionRecord *record = nullptr,
                    QString *result = nullptr);

    std::unique_ptr<TestEnv> m_env;
    // The simulated app of the job running now.
    CompanionPeer *m_peer = nullptr;
    QTranslator m_translator;
    QString m_tmp;
};

void TestAndroidLoad::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    // Attachment parts are received into the temporary folder: one of our
    // own, so that what is left there shows.
    m_tmp = m_env->makeDir(QStringLiteral("tmp"));
    qputenv("TMPDIR", m_tmp.toUtf8());
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    qputenv("PELICORDE_SERVICE_HOST", "");
    registerAndroidDeviceMetaType();
    QVERIFY2(QFileInfo(FakeAdb::programPath()).isExecutable(), "the fakeadb program is not built");
}

void TestAndroidLoad::init()
{
    removeFolderRecursively(androidCacheDir(phone()).absolutePath());
    QVERIFY(!QFileInfo::exists(cacheDbPath(phone())));
}

Outcome TestAndroidLoad::load(const CompanionScenario &scenario, const Prepare &prepare,
                              CompanionRecord *record)
{
    CompanionPeer peer(scenario);
    if (!peer.start())
        return {};
    FakeAdb adb;
    adb.setCompanion(peer.controlPort());
    m_peer = &peer;
    AndroidDevice device = phone();
    Outcome out = runUnderForm(
            [&device, this](ProgressForm *form) {
                auto *job = new AndroidLoadSMSThread(&device, form);
                if (m_maxAttachmentBytes > 0)
                    job->setMaxAttachmentBytes(m_maxAttachmentBytes);
                return job;
            },
            prepare);
    peer.waitForSessions(1, 5000);
    m_peer = nullptr;
    if (record)
        *record = peer.record();
    return out;
}

Outcome TestAndroidLoad::restore(const MsgMessageList &list, const CompanionScenario &scenario,
                                 const Prepare &prepare, CompanionRecord *record, QString *result)
{
    CompanionPeer peer(scenario);
    if (!peer.start())
        return {};
    FakeAdb adb;
    adb.setCompanion(peer.controlPort());
    m_peer = &peer;
    AndroidDevice device = phone();
    Outcome out = runUnderForm(
            [&](ProgressForm *form) { return new AndroidRestoreSMSThread(&device, list, form); },
            prepare);
    peer.waitForSessions(1, 5000);
    m_peer = nullptr;
    if (record)
        *record = peer.record();
    if (result)
        *result = out.boxes.value(0);
    return out;
}

void TestAndroidLoad::attachmentNames_data()
{
    QTest::addColumn<QByteArray>("raw"); // the bytes the app sent
    QTest::addColumn<QString>("name");

    QTest::newRow("plain") << QByteArray("IMG_0001.jpg") << "IMG_0001.jpg";
    QTest::newRow("UTF-8") << QString("фото 1.jpg").toUtf8() << "фото 1.jpg";
    QTest::newRow("not UTF-8: Latin-1") << QByteArray("caf\xe9.png") << "café.png";
    QTest::newRow("folders climbing out") << QByteArray("../../../evil.sh") << "......evil.sh";
    QTest::newRow("backslash folders") << QByteArray("..\\..\\x.txt") << "....x.txt";
    QTest::newRow("dot-dot alone") << QByteArray("..") << "Unknown2";
    QTest::newRow("dots and blanks") << QByteArray(" ... ") << "Unknown2";
    QTest::newRow("only forbidden characters") << QByteArray("::**??") << "Unknown2";
    QTest::newRow("empty") << QByteArray() << "Unknown2";
    QTest::newRow("control characters") << QByteArray("a\x01\x1f"
                                                      "b.gif")
                                        << "ab.gif";
    QTest::newRow("very long, extension kept")
            << (QByteArray(300, 'n') + ".jpeg") << QString(123, 'n') + ".jpeg";
    // Few characters but many bytes: a file system takes 255 bytes a name.
    QTest::newRow("long in bytes, cut to 200")
            << (QString(100, QChar(0x56fe)) + ".jpg").toUtf8() << QString(65, QChar(0x56fe)) + ".jpg";
    const QString grin = QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("cut between whole characters")
            << ("a" + grin.repeated(70) + ".png").toUtf8() << "a" + grin.repeated(48) + ".png";
}

void TestAndroidLoad::attachmentNames()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, name);
    QCOMPARE(attachmentPartName(QString::fromLatin1(raw)), name);

    QSet<QString> used;
    QCOMPARE(uniqueAttachmentName(QStringLiteral("a.jpg"), &used), QStringLiteral("a.jpg"));
    QCOMPARE(uniqueAttachmentName(QStringLiteral("A.JPG"), &used), QStringLiteral("A-2.JPG"));
    QCOMPARE(uniqueAttachmentName(QStringLiteral("a.jpg"), &used), QStringLiteral("a-3.jpg"));
    QCOMPARE(uniqueAttachmentName(QStringLiteral("Unknown2"), &used), QStringLiteral("Unknown2"));
    QCOMPARE(uniqueAttachmentName(QStringLiteral("Unknown2"), &used), QStringLiteral("Unknown2-2"));
}

void TestAndroidLoad::loadStoresPhoneMessages()
{
    const QByteArray jpeg = patternBytes(7000, 1);
    const QByteArray png = patternBytes(4500, 2);
    CompanionScenario s;
    s.chunkSize = 1000;
    s.batches = {
            {
                    sms(kMs, false, kAlice, "Alice", QString::fromUtf8("Hello ☺ there")),
                    sms(kMs + 60000, true, kAlice, "Alice", "Hi Alice"),
                    // Text, two pictures, a presentation part and a caption.
                    sms(kMs + 120000, false, kBob, "Bob", "Look",
                        {attachment("image/jpeg", "a.jpg", jpeg),
                         attachment("application/smil", "smil.xml", "<smil/>"),
                         attachment("image/png", "b.png", png),
                         attachment("text/plain", "text_0.txt", "caption")}),
            },
            {
                    // A picture alone; a blank text part; an empty type.
                    sms(kMs + 180000, true, kBob, "Bob", "",
                        {attachment("image/jpeg", "c.jpg", jpeg),
                         attachment("text/plain", "t.txt", "  \n "),
                         attachment("", "x.bin", "xx")}),
                    sms(0, false, "Carol@Example.com", "Carol", "epoch"),
                    sms(kMs, false, kCarol, QString(), "", {}),
            },
    };
    s.batches[1][2].subject = "Subject line";
    // The phone announces fewer messages than it sends.
    s.count = 2;
    CompanionRecord record;
    const Outcome out = load(s, {}, &record);
    QVERIFY2(out.ok, qPrintable(out.boxes.join('\n')));
    QCOMPARE(out.boxes, QStringList());
    QCOMPARE(record.endings, QStringList {"bye"});
    QCOMPARE(record.answers, (QStringList {"1", "1"}));
    QVERIFY(record.sessions.value(0).startsWith("backup2://127.0.0.1:"));

    // One conversation per correspondent, with the contact's name.
    QCOMPARE(rows("select chat_identifier, guid, service_name from chat order by 1"),
             (QList<QVariantList> {{kAlice, "SMS;-;" + kAlice, "SMS"},
                                   {kBob, "SMS;-;" + kBob, "SMS"},
                                   {kCarol, "SMS;-;" + kCarol, "SMS"},
                                   {"carol@example.com", "SMS;-;carol@example.com", "SMS"}}));
    QCOMPARE(rows("select id, _ct_name from handle order by 1"),
             (QList<QVariantList> {{kAlice, "Alice"},
                                   {kBob, "Bob"},
                                   {kCarol, ""},
                                   {"carol@example.com", "Carol"}}));

    const QString obj = QString(QChar(0xFFFC));
    const QList<QVariantList> messages
            = rows("select h.id, m.text, m.date, m.is_from_me, m.subject, m.date_read, "
                   "(select count(*) from message_attachment_join j where j.message_id=m.rowid), "
                   "m.attributedBody is null "
                   "from message m join handle h on h.rowid=m.handle_id order by m.date, m.rowid");
    const QList<QVariantList> expected {
            {"carol@example.com", "epoch", -978307200, 0, QVariant(), -978307200, 0, 1},
            {kAlice, QString::fromUtf8("Hello ☺ there"), kIosDate, 0, QVariant(), kIosDate, 0, 1},
            {kCarol, "", kIosDate, 0, "Subject line", kIosDate, 0, 1},
            {kAlice, "Hi Alice", kIosDate + 60, 1, QVariant(), kIosDate + 60, 0, 1},
            {kBob, "Look", kIosDate + 120, 0, QVariant(), kIosDate + 120, 0, 1},
            {kBob, obj, kIosDate + 120, 0, QVariant(), kIosDate + 120, 1, 0},
            {kBob, obj, kIosDate + 120, 0, QVariant(), kIosDate + 120, 1, 0},
            // The caption after a picture carries no picture's body.
            {kBob, "caption", kIosDate + 120, 0, QVariant(), kIosDate + 120, 0, 1},
            {kBob, obj, kIosDate + 180, 1, QVariant(), kIosDate + 180, 1, 0},
    };
    QCOMPARE(messages.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(messages.at(i), expected.at(i));
    QCOMPARE(scalar("select count(distinct guid) from message").toInt(), expected.size());

    // The attachment files are in the cache, under the names the phone gave.
    const QList<QVariantList> files
            = rows("select transfer_name, mime_type, uti, is_outgoing, filename, total_bytes "
                   "from attachment order by transfer_name");
    QCOMPARE(files.size(), 3);
    const QDir relay(androidCacheDir(phone()).absoluteFilePath("file-relay"));
    const QMap<QString, QByteArray> bytes {{"a.jpg", jpeg}, {"b.png", png}, {"c.jpg", jpeg}};
    for (const QVariantList &f : files) {
        const QString name = f.at(0).toString();
        QVERIFY2(f.at(4).toString().startsWith("~/Library/SMS/Attachments/"), qPrintable(name));
        QVERIFY(f.at(4).toString().endsWith("/" + name));
        QCOMPARE(f.at(5).toLongLong(), qint64(bytes.value(name).size()));
        QFile file(relay.absoluteFilePath("var/mobile/" + f.at(4).toString().mid(2)));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        QCOMPARE(file.readAll(), bytes.value(name));
    }
    QCOMPARE(files.at(0).mid(1, 3), (QVariantList {"image/jpeg", "public.jpeg", 0}));
    QCOMPARE(files.at(2).mid(1, 3), (QVariantList {"image/jpeg", "public.jpeg", 1}));

    // Bookkeeping: every stored message names the phone message it came
    // from; all six phone messages are valid in this load.
    QCOMPARE(scalar("select count(*) from parent_hash").toInt(), expected.size());
    QCOMPARE(scalar("select count(distinct parent) from parent_hash").toInt(), 6);
    QCOMPARE(scalar("select count(*) from valid_hash").toInt(), 6);
    QCOMPARE(scalar("select count(*) from parent_hash p where not exists (select 1 from message "
                    "m where m.logic_hash=p.child)")
                     .toInt(),
             0);
    // The parts received were all removed from the temporary folder.
    QCOMPARE(QDir(m_tmp).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
             QStringList());
}

void TestAndroidLoad::reloadFollowsThePhone()
{
    const QByteArray jpeg = patternBytes(3000, 3);
    const PhoneMessage keep = sms(kMs, false, kAlice, "Alice", "keep me");
    const PhoneMessage gone = sms(kMs + 1000, false, kBob, "Bob", "deleted on the phone");
    const PhoneMessage goneMms = sms(kMs + 3000, false, kAlice, "Alice", "pic",
                                     {attachment("image/jpeg", "p.jpg", jpeg)});
    const PhoneMessage keepMms
            = sms(kMs + 2000, true, kAlice, "Alice", "", {attachment("image/jpeg", "q.jpg", jpeg)});
    CompanionScenario first;
    first.batches = {{keep, gone, goneMms, keepMms}};
    QVERIFY(load(first).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 5);
    QCOMPARE(scalar("select _last from chat where chat_identifier='" + kAlice + "'").toInt(),
             kIosDate + 3);

    // The same phone again: nothing new, no attachment asked for, nothing removed.
    const QString before = dumpCache();
    CompanionRecord record;
    QVERIFY(load(first, {}, &record).ok);
    QCOMPARE(record.answers, (QStringList {"0", "0"}));
    QCOMPARE(dumpCache(), before);

    // A phone that announces four messages and offers two has not said
    // that the others are gone.
    CompanionScenario cut;
    cut.count = 4;
    cut.batches = {{keep, keepMms}};
    QVERIFY(load(cut).ok);
    QCOMPARE(dumpCache(), before);

    // Two messages deleted on the phone, one added.
    CompanionScenario second;
    second.batches = {{keep, keepMms}, {sms(kMs + 4000, false, kCarol, "Carol", "new")}};
    QVERIFY(load(second, {}, &record).ok);
    QCOMPARE(record.answers, QStringList {"0"});
    QCOMPARE(rows("select m.text, c.chat_identifier from message m join chat_message_join j on "
                  "j.message_id=m.rowid join chat c on c.rowid=j.chat_id order by m.date"),
             (QList<QVariantList> {
                     {"keep me", kAlice}, {QString(QChar(0xFFFC)), kAlice}, {"new", kCarol}}));
    // Bob's conversation went with its last message, and so did Bob; the
    // removed picture's rows went with its message.
    QCOMPARE(rows("select chat_identifier from chat order by 1"),
             (QList<QVariantList> {{kAlice}, {kCarol}}));
    QCOMPARE(rows("select id from handle order by 1"), (QList<QVariantList> {{kAlice}, {kCarol}}));
    QCOMPARE(scalar("select count(*) from chat_handle_join").toInt(), 2);
    QCOMPARE(scalar("select count(*) from attachment").toInt(), 1);
    QCOMPARE(scalar("select count(*) from message_attachment_join").toInt(), 1);
    QCOMPARE(scalar("select count(*) from chat_message_join").toInt(), 3);
    QCOMPARE(scalar("select count(*) from parent_hash").toInt(), 3);
    // Alice's conversation is as new as the newest message it keeps.
    QCOMPARE(scalar("select _last from chat where chat_identifier='" + kAlice + "'").toInt(),
             kIosDate + 2);
}

void TestAndroidLoad::sharedStoredMessageStaysWhileOnePhoneMessageHasIt()
{
    // An SMS "Hi", and a picture message of the same moment whose text came
    // as a plain-text part "Hi": both yield the stored message "Hi".
    const PhoneMessage plain = sms(kMs, false, kAlice, "Alice", "Hi");
    const PhoneMessage mms = sms(kMs, false, kAlice, "Alice", "",
                                 {attachment("text/plain", "t.txt", "Hi"),
                                  attachment("image/png", "i.png", patternBytes(100, 4))});
    CompanionScenario both;
    both.batches = {{plain, mms}};
    QVERIFY(load(both).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 2);

    // The picture message is deleted on the phone; the SMS is still there.
    CompanionScenario onlyPlain;
    onlyPlain.batches = {{plain}};
    QVERIFY(load(onlyPlain).ok);
    QCOMPARE(rows("select text from message"), (QList<QVariantList> {{"Hi"}}));

    CompanionScenario none;
    none.batches = {{}};
    QVERIFY(load(none).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 0);
    QCOMPARE(scalar("select count(*) from chat").toInt(), 0);
}

void TestAndroidLoad::cancelMidLoadKeepsTheCache()
{
    // The phone has dropped "two", sends new messages, a picture, and then
    // stalls in the middle of its second batch.
    CompanionScenario second;
    second.batches = {{sms(kMs, false, kAlice, "Alice", "one"),
                       sms(kMs + 5000, false, kCarol, "Carol", "three",
                           {attachment("image/jpeg", "z.jpg", patternBytes(5000, 5))})},
                      {sms(kMs + 6000, false, kCarol, "Carol", "four"),
                       sms(kMs + 7000, false, kCarol, "Carol", "five")}};
    // $ready $count $batch sms sms $atta data . $end | $batch sms (stall)
    second.faults = {{"backup2", 11, CompanionFault::Silence, {}}};
    auto stalled = [this] { return m_peer && m_peer->record().answers.size() == 1; };

    // A first load cancelled keeps nothing, and the bookkeeping tables keep
    // their indexes (the load builds them after its rows).
    QVERIFY(!load(second, cancelWhen(stalled)).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 0);
    QCOMPARE(rows("select name from sqlite_master where type='index' and tbl_name in "
                  "('parent_hash', 'valid_hash') order by 1"),
             (QList<QVariantList> {
                     {"idx_parent_hash_child"}, {"idx_parent_hash_parent"}, {"idx_valid_hash"}}));

    CompanionScenario first;
    first.batches
            = {{sms(kMs, false, kAlice, "Alice", "one"), sms(kMs + 1, false, kBob, "Bob", "two")}};
    QVERIFY(load(first).ok);
    const QString before = dumpCache();
    QVERIFY(before.contains("idx_parent_hash_child|parent_hash"));

    CompanionRecord record;
    // The picture was answered; the phone stalls soon after.
    const Outcome out = load(second, cancelWhen(stalled), &record);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes, QStringList());
    QVERIFY2(out.stuck.isEmpty(), qPrintable(out.stuck.join('\n')));
    QCOMPARE(record.answers, QStringList {"1"});
    // Nothing of the cancelled load stays: "two" is still there, the
    // messages received before the cancel are not, nor their files.
    QCOMPARE(dumpCache(), before);
    QVERIFY(filesBelow(androidCacheDir(phone()).absoluteFilePath("file-relay/var/mobile/Library/"
                                                                 "SMS/Attachments"))
                    .isEmpty());
    QCOMPARE(QDir(m_tmp).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
             QStringList());

    // And the next load runs as if the cancelled one never was.
    second.faults.clear();
    QVERIFY(load(second).ok);
    QCOMPARE(rows("select text from message order by date, rowid"),
             (QList<QVariantList> {
                     {"one"}, {"three"}, {QString(QChar(0xFFFC))}, {"four"}, {"five"}}));
}

void TestAndroidLoad::cancelAroundTheCommit_data()
{
    QTest::addColumn<QString>("point");
    QTest::addColumn<bool>("committed");
    QTest::newRow("before the commit phase") << "commit-asked" << false;
    QTest::newRow("after it began") << "commit-begun" << true;
}

void TestAndroidLoad::cancelAroundTheCommit()
{
    // Everything has arrived; the commit phase (indexes, pruning, commit,
    // compacting) is the load's point of no return. A Cancel just before it
    // keeps the cache as it was; one just after it is refused, and the load
    // (with its pruning of what the phone dropped) is reported done, so the
    // window shows what the cache holds.
    QFETCH(QString, point);
    QFETCH(bool, committed);
    CompanionScenario first;
    first.batches
            = {{sms(kMs, false, kAlice, "Alice", "one"), sms(kMs + 1, false, kBob, "Bob", "two")}};
    QVERIFY(load(first).ok);
    const QString before = dumpCache();

    CompanionScenario second;
    second.batches = {{sms(kMs, false, kAlice, "Alice", "one"),
                       sms(kMs + 5000, false, kCarol, "Carol", "three")}};
    std::shared_ptr<CancelAtKillPoint> press;
    const Outcome out = load(second, [&](ModalAnswerer &, ProgressForm &form) {
        press = std::make_shared<CancelAtKillPoint>(form, point.toLatin1().constData());
    });
    QVERIFY(press && press->pressed());
    press.reset();
    QCOMPARE(out.ok, committed);
    QCOMPARE(out.boxes, QStringList());
    QVERIFY2(out.stuck.isEmpty(), qPrintable(out.stuck.join('\n')));
    if (committed)
        QCOMPARE(rows("select text from message order by date, rowid"),
                 (QList<QVariantList> {{"one"}, {"three"}}));
    else
        QCOMPARE(dumpCache(), before);
}

void TestAndroidLoad::peerFailuresKeepTheCache_data()
{
    QTest::addColumn<QList<PhoneMessage>>("batch");
    QTest::addColumn<int>("count"); // -2: the number offered
    QTest::addColumn<int>("faultKind"); // -1: none
    QTest::addColumn<int>("faultLine");
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<QString>("boxPart");
    QTest::addColumn<bool>("toldPeer"); // the peer got an "$error:" line
    QTest::addColumn<qint64>("maxAttachment"); // 0: the job's own limit

    const QList<PhoneMessage> two {sms(kMs + 10, false, kCarol, "C", "a"),
                                   sms(kMs + 20, false, kCarol, "C", "b")};
    auto raw = [](const QString &argument, const QStringList &parts) {
        PhoneMessage m;
        m.rawArgument = argument;
        m.rawParts = parts;
        return m;
    };
    const QString pic = QStringLiteral("$atta:image/jpeg,p.jpg");
    const QString data = QString::fromLatin1(QByteArray("abc").toBase64());

    // $ready(0) $count(1) $batch(2) $sms(3) $sms(4) $end(5)
    QTest::newRow("phone reports an error mid-batch, markup shown as text")
            << two << -2 << int(CompanionFault::Error) << 4 << "<i>storage</i> failed"
            << "&lt;i&gt;storage&lt;/i&gt; failed" << false << qint64(0);
    QTest::newRow("phone closes mid-batch") << two << -2 << int(CompanionFault::Close) << 4
                                            << QString() << "closed" << false << qint64(0);
    QTest::newRow("phone closes in the middle of a line")
            << two << -2 << int(CompanionFault::CloseMidLine) << 4 << QString() << "closed" << false
            << qint64(0);
    QTest::newRow("phone says goodbye inside a batch")
            << two << -2 << int(CompanionFault::RawLine) << 4 << "$bye:"
            << "$bye: inside a batch" << true << qint64(0);
    QTest::newRow("text that is no base64")
            << QList<PhoneMessage> {two.at(0),
                                    raw(rawSms(kMs, kCarol, "x", "0")
                                                .replace(QString::fromLatin1(b64("x")), "%%%"),
                                        {})}
            << -2 << -1 << 0 << QString() << "invalid base64 text" << true << qint64(0);
    QTest::newRow("attachment data that is no base64")
            << QList<PhoneMessage> {two.at(0),
                                    raw(rawSms(kMs, kCarol, "", "1"),
                                        {pic, data, "@@not base64@@", "."})}
            << -2 << -1 << 0 << QString() << "invalid attachment data" << true << qint64(0);
    QTest::newRow("fewer attachment parts than announced")
            << QList<PhoneMessage> {two.at(0), raw(rawSms(kMs, kCarol, "", "2"), {pic, data, "."})}
            << -2 << -1 << 0 << QString() << "invalid feedback [$end:], must be [$atta:]" << true
            << qint64(0);
    QTest::newRow("attachment line without a name")
            << QList<PhoneMessage> {raw(rawSms(kMs, kCarol, "", "1"), {"$atta:image/jpeg"})} << -2
            << -1 << 0 << QString() << "$atta: command invalid param." << true << qint64(0);
    QTest::newRow("attachment data where a part should begin")
            << QList<PhoneMessage> {raw(rawSms(kMs, kCarol, "", "1"), {data, "."})} << -2 << -1 << 0
            << QString() << "must be [$atta:]" << true << qint64(0);
    // A line cut in two on its way: its head alone, or its tail alone where
    // a line should begin. Skipped, its message would be taken for one
    // the phone has deleted.
    QTest::newRow("message line cut short")
            << QList<PhoneMessage> {two.at(0),
                                    raw(QStringLiteral("%1,0,%2").arg(kMs).arg(
                                                QString::fromLatin1(b64(kCarol))),
                                        {})}
            << -2 << -1 << 0 << QString() << "damaged message line" << true << qint64(0);
    QTest::newRow("date that is no number")
            << QList<PhoneMessage> {raw(rawSms(kMs, kCarol, "b", "0").replace(0, 2, "x"), {})} << -2
            << -1 << 0 << QString() << "damaged message line" << true << qint64(0);
    QTest::newRow("part count that is no number")
            << QList<PhoneMessage> {raw(rawSms(kMs, kCarol, "b", "1\x02"), {})} << -2 << -1 << 0
            << QString() << "damaged message line" << true << qint64(0);
    QTest::newRow("tail of a cut message line") << two << -2 << int(CompanionFault::RawLine) << 4
                                                << QString::fromLatin1(b64("b")) + ",,0"
                                                << "damaged line" << true << qint64(0);
    QTest::newRow("attachment larger than the limit")
            << QList<PhoneMessage> {sms(kMs, false, kCarol, "C", "",
                                        {attachment("video/mp4", "v.mp4", patternBytes(9000, 8))})}
            << -2 << -1 << 0 << QString() << "larger than 4000 bytes" << true << qint64(4000);
}

void TestAndroidLoad::peerFailuresKeepTheCache()
{
    QFETCH(QList<PhoneMessage>, batch);
    QFETCH(int, count);
    QFETCH(int, faultKind);
    QFETCH(int, faultLine);
    QFETCH(QString, faultText);
    QFETCH(QString, boxPart);
    QFETCH(bool, toldPeer);
    QFETCH(qint64, maxAttachment);

    CompanionScenario first;
    first.batches = {{sms(kMs, false, kAlice, "Alice", "one",
                          {attachment("image/png", "one.png", patternBytes(900, 6))})}};
    QVERIFY(load(first).ok);
    const QString before = dumpCache();
    const QMap<QString, QString> filesBefore = filesBelow(m_env->home());

    CompanionScenario s;
    s.count = count;
    s.batches = {batch};
    if (faultKind >= 0)
        s.faults = {{"backup2", faultLine, CompanionFault::Kind(faultKind), faultText}};
    CompanionRecord record;
    m_maxAttachmentBytes = maxAttachment;
    const Outcome out = load(s, {}, &record);
    m_maxAttachmentBytes = 0;
    QVERIFY(!out.ok);
    QVERIFY2(out.stuck.isEmpty(), qPrintable(out.stuck.join('\n')));
    QVERIFY2(out.ms < 20000, qPrintable(QString::number(out.ms)));
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().contains(boxPart), qPrintable(out.boxes.first()));
    QVERIFY(!out.boxes.first().contains("<i>"));
    QCOMPARE(!record.errors.isEmpty(), toldPeer);

    QCOMPARE(dumpCache(), before);
    // Not a file more or less anywhere in the home folder (the log aside).
    QMap<QString, QString> filesAfter = filesBelow(m_env->home());
    for (const QString &k : filesAfter.keys())
        if (k.contains("/qlogs/"))
            filesAfter.remove(k);
    QMap<QString, QString> filesBeforeNoLog = filesBefore;
    for (const QString &k : filesBefore.keys())
        if (k.contains("/qlogs/"))
            filesBeforeNoLog.remove(k);
    QCOMPARE(filesAfter, filesBeforeNoLog);
}

void TestAndroidLoad::hostileAttachmentNamesStayInTheCache()
{
    const QStringList names {"../../../../outside.jpg",
                             "..",
                             "/etc/passwd",
                             "..\\..\\win.jpg",
                             "sms.db",
                             "same.jpg",
                             "SAME.jpg",
                             QString(),
                             "::",
                             QString(150, QChar(0x56fe)) + ".jpg",
                             QString(150, QChar(0x56fe)) + ".jpg"};
    QList<PhoneAttachment> parts;
    for (int i = 0; i < names.size(); ++i)
        parts << attachment("image/jpeg", names.at(i), patternBytes(200 + i, 10 + i));
    CompanionScenario s;
    s.batches = {{sms(kMs, false, kAlice, "Alice", "", parts)}};
    const QMap<QString, QString> before = filesBelow(m_env->home());
    const Outcome out = load(s);
    QVERIFY2(out.ok, qPrintable(out.boxes.join('\n')));

    // Every part is stored, each under a name of its own, in the cache.
    QCOMPARE(rows("select transfer_name from attachment order by rowid"),
             (QList<QVariantList> {{"........outside.jpg"},
                                   {"Unknown2"},
                                   {"etcpasswd"},
                                   {"....win.jpg"},
                                   {"sms.db"},
                                   {"same.jpg"},
                                   {"SAME-2.jpg"},
                                   {"Unknown2-2"},
                                   {"Unknown2-3"},
                                   {QString(65, QChar(0x56fe)) + ".jpg"},
                                   {QString(65, QChar(0x56fe)) + "-2.jpg"}}));
    QCOMPARE(scalar("select count(*) from message").toInt(), names.size());
    const QString cache = androidCacheDir(phone()).absolutePath();
    const QMap<QString, QString> after = filesBelow(m_env->home());
    QStringList added;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        if (!before.contains(it.key()) && !it.key().contains("/qlogs/"))
            added << it.key();
    const QString cacheRel = QDir(m_env->home()).relativeFilePath(cache);
    for (const QString &path : std::as_const(added))
        QVERIFY2(path.startsWith(cacheRel + '/'), qPrintable(path));
    // The data of each part is in the file its row names.
    const QDir relay(cache + "/file-relay");
    const QList<QVariantList> stored = rows("select filename, total_bytes from attachment");
    QCOMPARE(stored.size(), names.size());
    for (const QVariantList &r : stored) {
        const QString path = relay.absoluteFilePath("var/mobile/" + r.at(0).toString().mid(2));
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
        QCOMPARE(QFileInfo(path).size(), r.at(1).toLongLong());
    }
    // The database is still the database.
    QCOMPARE(scalar("select count(*) from chat").toInt(), 1);
}

void TestAndroidLoad::picturesOfOneMomentAreEachStored_data()
{
    QTest::addColumn<bool>("withIds"); // the app sends its ids of the messages
    QTest::newRow("phone ids") << true;
    QTest::newRow("no ids: each line a message") << false;
}

void TestAndroidLoad::picturesOfOneMomentAreEachStored()
{
    QFETCH(bool, withIds);
    // Two photos sent at once: one sender, one second, no text, and the
    // name the phone gives every MMS picture. A third one with a text.
    const QByteArray first = patternBytes(2000, 21);
    const QByteArray second = patternBytes(2100, 22);
    const QByteArray third = patternBytes(2200, 23);
    auto pic = [](qint64 ms, const QString &text, const QByteArray &data, const QString &id) {
        return withId(sms(ms, false, kAlice, "Alice", text,
                          {attachment("image/jpeg", "image000000.jpg", data)}),
                      id);
    };
    const PhoneMessage a = pic(kMs, "", first, withIds ? "mms:41" : QString());
    const PhoneMessage b = pic(kMs + 500, "", second, withIds ? "mms:42" : QString());
    const PhoneMessage c = pic(kMs + 700, "both", third, withIds ? "mms:43" : QString());
    auto storedPictures = [] {
        QStringList out;
        const QDir relay(androidCacheDir(phone()).absoluteFilePath("file-relay/var/mobile"));
        for (const QVariantList &r : rows("select filename from attachment order by rowid")) {
            QFile f(relay.absoluteFilePath(r.at(0).toString().mid(2)));
            out << (f.open(QIODevice::ReadOnly) ? md5(f.readAll()) : QStringLiteral("missing"));
        }
        out.sort();
        return out;
    };
    auto sorted = [](QStringList list) {
        list.sort();
        return list;
    };

    CompanionScenario s;
    s.batches = {{a, b, c}};
    CompanionRecord record;
    QVERIFY(load(s, {}, &record).ok);
    // Every picture was asked for and is stored, each under a name of its
    // own within the moment.
    QCOMPARE(record.answers, (QStringList {"1", "1", "1"}));
    QCOMPARE(storedPictures(), sorted({md5(first), md5(second), md5(third)}));
    QCOMPARE(scalar("select count(*) from message where text=char(65532)").toInt(), 3);
    QCOMPARE(scalar("select count(*) from message where text='both'").toInt(), 1);

    // Loaded again: nothing asked for, nothing changed.
    const QString before = dumpCache();
    QVERIFY(load(s, {}, &record).ok);
    QCOMPARE(record.answers, (QStringList {"0", "0", "0"}));
    QCOMPARE(dumpCache(), before);

    // The second photo deleted on the phone: the first stays (without ids
    // the phone's lines are told apart by their order, so it is the last
    // one of the moment that goes).
    CompanionScenario fewer;
    fewer.batches = {{withIds ? b : a, c}};
    QVERIFY(load(fewer, {}, &record).ok);
    QCOMPARE(record.answers, (QStringList {"0", "0"}));
    QCOMPARE(storedPictures(), sorted({md5(withIds ? second : first), md5(third)}));

    if (!withIds)
        return;
    // A cache loaded before the phone's ids were kept holds the first photo
    // only (the second was taken for it). With the ids, the first photo
    // takes the old rows and the second one is asked for.
    init();
    CompanionScenario old;
    old.batches = {{pic(kMs, "", first, QString())}};
    QVERIFY(load(old).ok);
    {
        RawSqlite db(cacheDbPath(phone()));
        db.exec("ALTER TABLE parent_hash DROP COLUMN phone_id;");
        db.exec("ALTER TABLE valid_hash DROP COLUMN phone_id;");
    }
    CompanionScenario both;
    both.batches = {{a, b}};
    QVERIFY(load(both, {}, &record).ok);
    QCOMPARE(record.answers, (QStringList {"0", "1"}));
    QCOMPARE(storedPictures(), sorted({md5(first), md5(second)}));
    QVERIFY(load(both, {}, &record).ok);
    QCOMPARE(record.answers, (QStringList {"0", "0"}));
    QCOMPARE(scalar("select count(*) from message").toInt(), 2);
}

void TestAndroidLoad::repeatedLinesDoNotPrune()
{
    const PhoneMessage one = withId(sms(kMs, false, kAlice, "Alice", "one"), "1");
    const PhoneMessage two = withId(sms(kMs + 1000, false, kBob, "Bob", "two"), "2");
    const PhoneMessage three = withId(sms(kMs + 2000, false, kCarol, "Carol", "three"), "3");
    CompanionScenario all;
    all.batches = {{one, two, three}};
    QVERIFY(load(all).ok);
    const QString before = dumpCache();

    // The phone holds three messages and says so, but sends one line twice
    // and never the third message: three lines, two messages. The third
    // is not gone from the phone.
    CompanionScenario repeated;
    repeated.count = 3;
    repeated.batches = {{one, one}, {two}};
    QVERIFY(load(repeated).ok);
    QCOMPARE(dumpCache(), before);

    // All three, one of them twice, in a load that announces four: the
    // count does not match, nothing goes.
    CompanionScenario more;
    more.count = 4;
    more.batches = {{one, two, two, three}};
    QVERIFY(load(more).ok);
    QCOMPARE(dumpCache(), before);

    // Once the phone's messages add up, what it no longer lists goes.
    CompanionScenario gone;
    gone.count = 2;
    gone.batches = {{one, one, three}};
    QVERIFY(load(gone).ok);
    QCOMPARE(rows("select text from message order by date"),
             (QList<QVariantList> {{"one"}, {"three"}}));
}

void TestAndroidLoad::restoreCancelAfterTheLastBatch_data()
{
    QTest::addColumn<QString>("point");
    QTest::newRow("just before the transfer counts as done") << "commit-asked";
    QTest::newRow("just after") << "commit-begun";
}

void TestAndroidLoad::restoreCancelAfterTheLastBatch()
{
    // Every batch is acknowledged: the messages are on the phone. A Cancel
    // from then on (even one that cuts the goodbye short) cannot take them
    // back; the transfer is reported as the success it is, and the cache
    // records them.
    QFETCH(QString, point);
    SourceSet src;
    for (int i = 0; i < 5; ++i)
        src.add(kAlice, kIosDate + i * 60, i % 2 == 0, QStringLiteral("m%1").arg(i));
    std::shared_ptr<CancelAtKillPoint> press;
    CompanionRecord record;
    const Outcome out = restore(
            src.list, CompanionScenario(),
            [&](ModalAnswerer &, ProgressForm &form) {
                press = std::make_shared<CancelAtKillPoint>(form, point.toLatin1().constData());
            },
            &record);
    QVERIFY(press && press->pressed());
    press.reset();
    QVERIFY2(out.ok, qPrintable(out.boxes.join('\n')));
    QVERIFY(!out.boxes.isEmpty()); // the tip about the default app, then the result
    QVERIFY2(out.boxes.last().startsWith("Successfully Transferred 5 Messages."),
             qPrintable(out.boxes.last()));
    QCOMPARE(record.restored.size(), 5);
    QCOMPARE(scalar("select count(*) from message").toInt(), 5);
}

void TestAndroidLoad::restoreSendsAndRecords()
{
    SourceSet src;
    const QString folder = m_env->makeDir("restore-files");
    const QString wide = folder + "/wide.jpg";
    const QString square = folder + "/square.png";
    const QString small = folder + "/small.jpg";
    const QString card = folder + "/card.vcf";
    const QString broken = folder + "/broken.jpg";
    auto write = [](const QString &path, const QByteArray &bytes) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write(wide, pictureBytes(4000, 3000, "JPEG"));
    write(square, pictureBytes(3000, 3000, "PNG"));
    write(small, pictureBytes(800, 600, "JPEG"));
    const QByteArray cardBytes = patternBytes(1 << 20, 7);
    write(card, cardBytes);
    write(broken, "not a picture");

    for (int i = 0; i < 250; ++i)
        src.add(i % 2 ? kAlice : kBob, kIosDate + i * 60, i % 3 == 0,
                QStringLiteral("message %1").arg(i));
    _MsgMessage *pics = src.add(kCarol, kIosDate + 99999, true, "pictures ");
    src.attach(pics, "image/jpeg", wide);
    src.attach(pics, "image/png", square);
    src.attach(pics, "image/jpeg", small);
    src.attach(pics, "text/x-vcard", card);
    src.attach(pics, "image/jpeg", broken);
    src.attach(pics, "image/jpeg", folder + "/missing.jpg");
    // Not sendable: a group event, and messages without a sender.
    src.add(kAlice, kIosDate, false, "joined")->item_type = 1;
    src.add(kAlice, kIosDate, false, "no sender")->handle = nullptr;
    // Nor one without a conversation: the cache could not record it, and it
    // would go out again at every transfer.
    src.add(kAlice, kIosDate, false, "no conversation")->chat = nullptr;
    // Given twice in the list: sent once.
    src.list << src.list.at(5);

    CompanionScenario s;
    s.defaultSmsApp = true;
    CompanionRecord record;
    QString result;
    const Outcome out = restore(src.list, s, {}, &record, &result);
    QVERIFY2(out.ok, qPrintable(out.boxes.join('\n')));
    QCOMPARE(result,
             QStringLiteral("Successfully Transferred 252 Messages.3 group messages or "
                            "system messages can't be transferred."));
    // The copy given twice stands beside its original in the first batch.
    QCOMPARE(record.restoreBatches, (QList<int> {99, 100, 52}));
    QCOMPARE(record.restored.size(), 251);
    QCOMPARE(record.endings, QStringList {"bye"});
    QVERIFY(record.sessions.value(0).startsWith("restore2://127.0.0.1:"));

    // In date order, with the fields the phone expects.
    const RestoredMessage &m0 = record.restored.at(0);
    QCOMPARE(m0.dateMs, (qint64(kIosDate) + 978307200) * 1000);
    QVERIFY(m0.sent);
    QCOMPARE(m0.address, kBob);
    QCOMPARE(m0.text, QStringLiteral("message 0"));
    QCOMPARE(m0.argument.split(',').size(), 6);
    QCOMPARE(record.restored.at(1).text, QStringLiteral("message 1"));
    QVERIFY(!record.restored.at(1).sent);

    const RestoredMessage &p = record.restored.last();
    QCOMPARE(p.text, QStringLiteral("pictures "));
    QCOMPARE(p.attachmentCount, 6);
    QCOMPARE(p.attachments.size(), 6);
    auto picture = [](const QByteArray &data) { return QImage::fromData(data); };
    QCOMPARE(p.attachments.at(0).name, QStringLiteral("wide.jpg"));
    QCOMPARE(picture(p.attachments.at(0).data).size(), QSize(1080, 810));
    QVERIFY(p.attachments.at(0).data.startsWith("\xff\xd8"));
    QCOMPARE(picture(p.attachments.at(1).data).size(), QSize(1080, 1080));
    QVERIFY(p.attachments.at(1).data.startsWith("\x89PNG"));
    QCOMPARE(picture(p.attachments.at(2).data).size(), QSize(800, 600));
    QCOMPARE(p.attachments.at(3).mime, QStringLiteral("text/x-vcard"));
    QCOMPARE(p.attachments.at(3).data, cardBytes);
    QCOMPARE(p.attachments.at(4).data, QByteArray());
    QCOMPARE(p.attachments.at(5).data, QByteArray());

    // Every message sent is recorded in the cache, attachments included.
    QCOMPARE(scalar("select count(*) from message").toInt(), 251);
    QCOMPARE(scalar("select count(*) from attachment").toInt(), 6);
    QCOMPARE(scalar("select count(*) from chat").toInt(), 3);
    QCOMPARE(scalar("select count(*) from message where logic_hash is null or logic_hash=''")
                     .toInt(),
             0);

    // The same list again sends nothing and still counts every message.
    const Outcome again = restore(src.list, s, {}, &record, &result);
    QVERIFY(again.ok);
    QCOMPARE(record.restored.size(), 0);
    QCOMPARE(record.restoreBatches, (QList<int> {0, 0, 0}));
    QVERIFY(result.startsWith("Successfully Transferred 252 Messages."));
    QCOMPARE(scalar("select count(*) from message").toInt(), 251);
}

void TestAndroidLoad::restoreSkipsWhatTheCacheHolds()
{
    // The phone's own messages are in the cache from a load.
    CompanionScenario phoneHas;
    phoneHas.batches = {{sms(qint64(kIosDate + 978307200) * 1000, false, kAlice, "Alice",
                             "already on the phone")}};
    QVERIFY(load(phoneHas).ok);

    SourceSet src;
    src.add(kAlice, kIosDate, false, "already on the phone");
    src.add(kAlice, kIosDate + 5, true, "new");
    // Same guid as a message the cache holds, whatever its text: the cache
    // would not take it, so the phone does not get it again.
    _MsgMessage *sameGuid = src.add(kAlice, kIosDate + 9, true, "other words");
    sameGuid->guid = rows("select guid from message").value(0).value(0).toString();
    CompanionRecord record;
    QString result;
    CompanionScenario s;
    s.defaultSmsApp = true;
    QVERIFY(restore(src.list, s, {}, &record, &result).ok);
    QCOMPARE(record.restored.size(), 1);
    QCOMPARE(record.restored.at(0).text, QStringLiteral("new"));
    QCOMPARE(result, QStringLiteral("Successfully Transferred 3 Messages."));

    // An empty list still opens and closes a session.
    QVERIFY(restore({}, s, {}, &record, &result).ok);
    QCOMPARE(record.restoreBatches, QList<int>());
    QCOMPARE(record.endings, QStringList {"bye"});
    QCOMPARE(result, QStringLiteral("Successfully Transferred 0 Messages."));
}

void TestAndroidLoad::restoreAsksForTheDefaultApp()
{
    SourceSet src;
    src.add(kAlice, kIosDate, true, "hello");
    CompanionScenario s;
    s.defaultSmsApp = false;
    CompanionRecord record;
    QString result;
    QStringList boxes;
    const Outcome out = restore(src.list, s, {}, &record, &result);
    QVERIFY2(out.ok, qPrintable(out.boxes.join('\n')));
    QCOMPARE(out.boxes.size(), 2);
    QVERIFY(out.boxes.at(0).contains("temporarily set our Quillmarsh app as your default SMS app"));
    QVERIFY(out.boxes.at(1).startsWith(
            "Successfully Transferred 1 Messages.<br/>Now please click"));
    QVERIFY(record.defaultAppConfirmed);
    QCOMPARE(record.restored.size(), 1);

    // Cancelled while the tip is shown: nothing is sent, nothing recorded.
    init();
    const Outcome cancelled = restore(
            src.list, s,
            [](ModalAnswerer &answerer, ProgressForm &) {
                answerer.act("QMessageBox", [](QWidget *box) {
                    for (QWidget *w : QApplication::topLevelWidgets())
                        if (qobject_cast<ProgressForm *>(w))
                            QVERIFY(ModalAnswerer::clickButton(w, "btnCancel"));
                    ModalAnswerer::clickButton(box, "btnOk");
                });
            },
            &record);
    QVERIFY(!cancelled.ok);
    QVERIFY(!record.defaultAppConfirmed);
    QCOMPARE(record.restored.size(), 0);
    QCOMPARE(scalar("select count(*) from message").toInt(), 0);
}

void TestAndroidLoad::restoreKeepsWhatWasSentOnFailure_data()
{
    QTest::addColumn<int>("faultKind"); // -1: a cancel while the phone stalls
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<QString>("boxPart"); // empty: no box

    // The phone's lines: $ready(0) $defsmsapp(1) $batch(2) $batch(3): the
    // second batch is sent but never acknowledged.
    QTest::newRow("phone reports an error") << int(CompanionFault::Error) << "disk full"
                                            << "disk full";
    QTest::newRow("phone closes") << int(CompanionFault::Close) << QString() << "closed";
    QTest::newRow("phone answers something else") << int(CompanionFault::RawLine) << "$what:"
                                                  << "invalid feedback [$what:]";
    QTest::newRow("user cancels") << -1 << QString() << QString();
}

void TestAndroidLoad::restoreKeepsWhatWasSentOnFailure()
{
    QFETCH(int, faultKind);
    QFETCH(QString, faultText);
    QFETCH(QString, boxPart);

    SourceSet src;
    for (int i = 0; i < 250; ++i)
        src.add(kAlice, kIosDate + i * 60, i % 2, QStringLiteral("m%1").arg(i));
    CompanionScenario s;
    s.defaultSmsApp = true;
    s.faults = {{"restore2", 3,
                 faultKind < 0 ? CompanionFault::Silence : CompanionFault::Kind(faultKind),
                 faultText}};
    CompanionRecord record;
    const Outcome out = restore(src.list, s,
                                faultKind < 0 ? cancelWhen([this] {
                                    // The second batch has reached the phone.
                                    return m_peer && m_peer->record().restoreBatches.size() == 2;
                                })
                                              : Prepare(),
                                &record);
    QVERIFY(!out.ok);
    QVERIFY2(out.stuck.isEmpty(), qPrintable(out.stuck.join('\n')));
    if (boxPart.isEmpty()) {
        QCOMPARE(out.boxes, QStringList());
    } else {
        QCOMPARE(out.boxes.size(), 1);
        QVERIFY2(out.boxes.first().contains(boxPart), qPrintable(out.boxes.first()));
    }
    // Two batches left for the phone; only the first was confirmed, and
    // only that one is recorded: the app may have died before it saved the
    // second.
    QCOMPARE(record.restored.size(), 200);
    QCOMPARE(scalar("select count(*) from message").toInt(), 100);

    // The next transfer sends the unconfirmed batch again, and the rest.
    s.faults.clear();
    QString result;
    QVERIFY(restore(src.list, s, {}, &record, &result).ok);
    QCOMPARE(record.restored.size(), 150);
    QCOMPARE(record.restored.first().text, QStringLiteral("m100"));
    QCOMPARE(scalar("select count(*) from message").toInt(), 250);
}

void TestAndroidLoad::restoreRecordsUpToAFailedWrite()
{
    // Alice in the first batch, Bob from the second on; the cache refuses
    // to join "m150" to its conversation, after Bob's conversation,
    // correspondent and m100..m149 were recorded in the same batch.
    SourceSet src;
    for (int i = 0; i < 250; ++i)
        src.add(i < 100 ? kAlice : kBob, kIosDate + i * 60, i % 2, QStringLiteral("m%1").arg(i));
    CompanionScenario s;
    s.defaultSmsApp = true;
    QVERIFY(restore({}, s).ok); // makes the cache
    {
        RawSqlite db(cacheDbPath(phone()));
        db.exec("CREATE TRIGGER refuse BEFORE INSERT ON chat_message_join WHEN (SELECT text FROM "
                "message WHERE ROWID = new.message_id) = 'm150' BEGIN SELECT RAISE(ABORT, "
                "'refused by the cache'); END;");
    }
    CompanionRecord record;
    Outcome out = restore(src.list, s, {}, &record);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().contains("refused by the cache"), qPrintable(out.boxes.first()));
    // The batch reached the phone; what comes before the failed write is
    // recorded whole, the failed message leaves no row.
    QCOMPARE(record.restored.size(), 200);
    QCOMPARE(scalar("select count(*) from message").toInt(), 150);
    QCOMPARE(scalar("select count(*) from message where text = 'm150'").toInt(), 0);
    QCOMPARE(scalar("select count(*) from message where ROWID not in "
                    "(select message_id from chat_message_join)")
                     .toInt(),
             0);
    QCOMPARE(scalar("select count(*) from message where handle_id not in "
                    "(select ROWID from handle)")
                     .toInt(),
             0);
    QCOMPARE(scalar("select count(*) from chat_message_join where chat_id not in "
                    "(select ROWID from chat)")
                     .toInt(),
             0);
    QCOMPARE(rows("select chat_identifier, count(*) from chat join chat_message_join on "
                  "chat_id = chat.ROWID group by chat.ROWID order by 1"),
             (QList<QVariantList> {{kAlice, 100}, {kBob, 50}}));
    QCOMPARE(scalar("select count(*) from chat_handle_join").toInt(), 2);

    // Once the cache takes it, the next transfer sends from m150 on.
    {
        RawSqlite db(cacheDbPath(phone()));
        db.exec("DROP TRIGGER refuse;");
    }
    QVERIFY(restore(src.list, s, {}, &record).ok);
    QCOMPARE(record.restored.size(), 100);
    QCOMPARE(record.restored.first().text, QStringLiteral("m150"));
    QCOMPARE(scalar("select count(distinct guid) from message").toInt(), 250);
    QCOMPARE(scalar("select count(*) from chat_message_join").toInt(), 250);
}

void TestAndroidLoad::loadAfterRestoreAdoptsTheMessages()
{
    // A message written to the phone is in the cache without bookkeeping: no
    // load removes it until the phone has offered it once.
    SourceSet src;
    src.add(kAlice, kIosDate, true, "from the old phone");
    CompanionScenario s;
    s.defaultSmsApp = true;
    QVERIFY(restore(src.list, s).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 1);

    CompanionScenario empty;
    empty.batches = {{}};
    QVERIFY(load(empty).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 1);

    // Offered by the phone: not stored again, but now known.
    CompanionScenario has;
    has.batches = {{sms(qint64(kIosDate + 978307200) * 1000, true, kAlice, "Alice",
                        "from the old phone")}};
    QVERIFY(load(has).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 1);
    QCOMPARE(scalar("select count(*) from parent_hash").toInt(), 1);

    // Deleted on the phone: it leaves the cache like any loaded message.
    QVERIFY(load(empty).ok);
    QCOMPARE(scalar("select count(*) from message").toInt(), 0);
}

void TestAndroidLoad::transferredMessageIsCachedOnce_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("withIds");
    QTest::newRow("picture alone") << QString() << true;
    QTest::newRow("text and picture") << QStringLiteral("look at this") << true;
    QTest::newRow("text and picture, no ids") << QStringLiteral("look at this") << false;
}

void TestAndroidLoad::transferredMessageIsCachedOnce()
{
    QFETCH(QString, text);
    QFETCH(bool, withIds);
    const QString path = m_env->makeDir("transfer-files") + "/IMG_0001.jpg";
    const QByteArray jpeg = pictureBytes(64, 48, "JPEG");
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(jpeg);
    }
    SourceSet src;
    // From an iPhone, whose numbers the cache writes as they stand.
    _MsgMessage *m = src.add(kAlice, kIosDate, true, text);
    src.attach(m, "image/jpeg", path);
    CompanionScenario s;
    s.defaultSmsApp = true;
    CompanionRecord sent;
    QVERIFY(restore(src.list, s, {}, &sent).ok);
    QCOMPARE(sent.restored.size(), 1);
    QCOMPARE(scalar("select count(*) from message").toInt(), 1);

    // The phone lists it back as it keeps it: the text, and the picture as
    // a part under the name it was sent with.
    const RestoredMessage &r = sent.restored.at(0);
    PhoneMessage back = sms(r.dateMs, r.sent, r.address, "Alice", r.text,
                            {attachment(r.attachments.at(0).mime, r.attachments.at(0).name,
                                        r.attachments.at(0).data)});
    back.phoneId = withIds ? QStringLiteral("mms:7") : QString();
    CompanionScenario listed;
    listed.batches = {{back, sms(kMs + 9000, false, kBob, "Bob", "other")}};
    CompanionRecord record;
    QVERIFY(load(listed, {}, &record).ok);
    // Known: its picture is not asked for, and nothing is stored again.
    QCOMPARE(record.answers, QStringList {"0"});
    QCOMPARE(scalar("select count(*) from message where handle_id=(select rowid from handle "
                    "where id='"
                    + kAlice + "')")
                     .toInt(),
             1);
    QCOMPARE(scalar("select count(*) from attachment").toInt(), 1);
    const QString before = dumpCache();
    QVERIFY(load(listed, {}, &record).ok);
    QCOMPARE(dumpCache(), before);

    // Deleted on the phone: it leaves the cache like a loaded message.
    CompanionScenario deleted;
    deleted.batches = {{sms(kMs + 9000, false, kBob, "Bob", "other")}};
    QVERIFY(load(deleted).ok);
    QCOMPARE(rows("select text from message"), (QList<QVariantList> {{"other"}}));
    QCOMPARE(scalar("select count(*) from attachment").toInt(), 0);
}

void TestAndroidLoad::restoreCleansAttachmentFields()
{
    // A file name may hold a line feed (and a source's type anything): in
    // the "$atta:" line it would end the line early, the app would take the
    // rest for data and fail, at every retry.
    const QString folder = m_env->makeDir("odd-names");
    const QString card = folder + "/Card\nof Bob.vcf";
    const QString photo = folder + "/ph\r\noto.png";
    const QByteArray cardBytes = patternBytes(3000, 31);
    const QByteArray png = pictureBytes(40, 30, "PNG");
    for (const auto &[file, bytes] : {std::pair {card, cardBytes}, std::pair {photo, png}}) {
        QFile f(file);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(file));
        f.write(bytes);
    }
    SourceSet src;
    _MsgMessage *m = src.add(kBob, kIosDate, false, "files");
    src.attach(m, "text/x-vcard\n", card);
    src.attach(m, "image/p\nng", photo);
    src.add(kBob, kIosDate + 60, false, "after them");
    CompanionScenario s;
    s.defaultSmsApp = true;
    CompanionRecord record;
    const Outcome out = restore(src.list, s, {}, &record);
    QVERIFY2(out.ok, qPrintable(out.boxes.join('\n')));
    QCOMPARE(record.errors, QStringList());
    QCOMPARE(record.restored.size(), 2);
    const QList<PhoneAttachment> &parts = record.restored.at(0).attachments;
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts.at(0).mime, QStringLiteral("text/x-vcard"));
    QCOMPARE(parts.at(0).name, QStringLiteral("Cardof Bob.vcf"));
    QCOMPARE(parts.at(0).data, cardBytes);
    QCOMPARE(parts.at(1).mime, QStringLiteral("image/png"));
    QCOMPARE(parts.at(1).name, QStringLiteral("photo.png"));
    QCOMPARE(QImage::fromData(parts.at(1).data).size(), QSize(40, 30));
    QCOMPARE(record.restored.at(1).text, QStringLiteral("after them"));
    QCOMPARE(scalar("select count(*) from message").toInt(), 2);

    // Whatever a caller puts in a line, a line feed never leaves.
    QBuffer buffer;
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    QVERIFY_THROWS_EXCEPTION(simpleprotocol::LocalException,
                             simpleprotocol::sendCommand(&buffer, "$atta:", "a\nb", true, 1000));
    QCOMPARE(buffer.data(), QByteArray());
}

void TestAndroidLoad::restoreRecordsOnlyWhatThePhoneConfirmed()
{
    // A picture message: every part answered, then the app dies before it
    // answers the batch (it saves a batch when it answers it).
    const QString path = m_env->makeDir("confirm-files") + "/p.jpg";
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(pictureBytes(30, 20, "JPEG"));
    }
    SourceSet src;
    _MsgMessage *m = src.add(kAlice, kIosDate, true, "picture");
    src.attach(m, "image/jpeg", path);
    src.add(kAlice, kIosDate + 60, true, "text");
    CompanionScenario s;
    s.defaultSmsApp = true;
    // $ready(0) $defsmsapp(1) .(2) $batch(3)
    s.faults = {{"restore2", 3, CompanionFault::Close, {}}};
    CompanionRecord record;
    QVERIFY(!restore(src.list, s, {}, &record).ok);
    QCOMPARE(record.restored.size(), 2);
    QCOMPARE(scalar("select count(*) from message").toInt(), 0);
    QCOMPARE(scalar("select count(*) from parent_hash").toInt(), 0);

    // So the next transfer sends both again.
    s.faults.clear();
    QVERIFY(restore(src.list, s, {}, &record).ok);
    QCOMPARE(record.restored.size(), 2);
    QCOMPARE(scalar("select count(*) from message").toInt(), 2);
}

QTEST_MAIN(TestAndroidLoad)
#include "tst_androidload.moc"
