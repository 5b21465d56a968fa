// Writes the seeds of the fuzz targets that are built from the test
// fixtures: file_relay archives (corpus/filerelay) and small sms.db files of
// both schema generations (corpus/smsdb). Usage: pel_fuzz_seeds <corpus folder>
#include "tests/support/cpiofixture.h"
#include "tests/support/ios5smsdb.h"
#include "tests/support/phonesmsdb.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <sqlite3.h>

namespace {

QString g_corpus;

void writeSeed(const QString &target, const QString &name, const QByteArray &bytes)
{
    const QDir dir(QDir(g_corpus).filePath(target));
    QDir().mkpath(dir.path());
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
        exit(1);
    }
    printf("%s/%s: %lld bytes\n", qPrintable(target), qPrintable(name), qlonglong(bytes.size()));
}

// The database packed into small pages, so that a seed is a few kilobytes
// and the fuzzer's mutations reach every structure of it.
QByteArray packed(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK
        || sqlite3_exec(db, "PRAGMA journal_mode=DELETE; PRAGMA page_size=512; VACUUM;", nullptr,
                        nullptr, nullptr)
                != SQLITE_OK) {
        fprintf(stderr, "cannot pack %s: %s\n", qPrintable(path), sqlite3_errmsg(db));
        exit(1);
    }
    sqlite3_close(db);
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void fileRelaySeeds()
{
    constexpr qint64 kMtime = 1367403630;
    CpioFixture phone;
    phone.addFolder(".");
    for (const char *f : {"./var", "./var/mobile", "./var/mobile/Library",
                          "./var/mobile/Library/SMS", "./var/mobile/Library/AddressBook"})
        phone.addFolder(f);
    phone.addFile("./var/mobile/Library/SMS/sms.db", QByteArray("SQLite format 3\0", 16), kMtime);
    phone.addFile("./var/mobile/Library/SMS/drafts.plist", "", kMtime + 60);
    phone.addFile("./var/mobile/Library/AddressBook/AddressBook.sqlitedb", "contacts", kMtime);
    const QByteArray bytes = phone.bytes();
    writeSeed("filerelay", "phone-layout.cpio", bytes);
    writeSeed("filerelay", "cut-in-file.cpio", bytes.left(bytes.size() * 2 / 3));

    // Entries the unpack refuses, one per archive (it stops at the first).
    const auto single = [](const QString &name, quint32 mode, const QByteArray &data) {
        CpioFixture c;
        c.addFolder("./var");
        c.addEntry(name, mode, data, kMtime);
        c.addFile("./var/after", "after");
        return c.bytes();
    };
    writeSeed("filerelay", "climbing-name.cpio", single("./var/../../escaped", 0100644, "x"));
    writeSeed("filerelay", "absolute-name.cpio", single("/tmp/escaped", 0100644, "x"));
    writeSeed("filerelay", "symlink.cpio", single("./var/link", 0120777, "/tmp"));
    writeSeed("filerelay", "fifo.cpio", single("./var/pipe", 0010644, ""));
    CpioFixture hard;
    hard.addEntry("./one", 0100644, "same", kMtime, 7, 2);
    hard.addEntry("./two", 0100644, "same", kMtime, 7, 2);
    writeSeed("filerelay", "hard-link.cpio", hard.bytes());
}

void ios6Seeds(const QString &work)
{
    const QString store = QDir(work).filePath("ios6");
    {
        PhoneSmsDb phone(store);
        const qint64 anna = phone.addHandle("+12025550143", "SMS", "us", "(202) 555-0143");
        const qint64 ben = phone.addHandle("ben@example.com", "iMessage");
        const qint64 one = phone.addChat(anna);
        const qint64 group = phone.addGroupChat({anna, ben}, "iMessage", "Friends");
        phone.addText(one, "Hello", anna, 380000000);
        phone.addText(one, QString::fromUtf8("Sure \xF0\x9F\x98\x80"), 0, 380000060, true);
        const qint64 photo = phone.addText(group, QString(QChar(0xFFFC)), ben, 380000120);
        const qint64 att = phone.addAttachment(photo, "photo.jpg", "jpeg", "image/jpeg",
                                               "public.jpeg", false);
        phone.db().run("update attachment set filename=? where rowid=?",
                       {QStringLiteral("~/Library/SMS/Attachments/ab/cd/photo.jpg"), att});
        // Phone paths that lead out of the store, by a link and by "..".
        const qint64 linked = phone.addText(group, QString(QChar(0xFFFC)), anna, 380000180);
        const qint64 a2 = phone.addAttachment(linked, "secret.jpg", "x", "image/jpeg",
                                              "public.jpeg", false);
        phone.db().run("update attachment set filename=? where rowid=?",
                       {QStringLiteral("~/Library/SMS/Attachments/link/secret.jpg"), a2});
        const qint64 a3 = phone.addAttachment(linked, "up.jpg", "x", "image/jpeg", "public.jpeg",
                                              false);
        phone.db().run("update attachment set filename=? where rowid=?",
                       {QStringLiteral("~/Library/SMS/../../../../up.jpg"), a3});
        phone.addSystemItem(group, 2, ben, -1, 380000240, "New name");
        phone.close();
    }
    writeSeed("smsdb", "ios6.db", packed(PhoneSmsDb::smsDbPathOf(store)));

    const QString older = QDir(work).filePath("ios6older");
    {
        PhoneSmsDb phone(older, PhoneSchema::olderLocal());
        const qint64 h = phone.addHandle("+4915112345678", "SMS", "de");
        const qint64 chat = phone.addChat(h);
        phone.addText(chat, "Hallo", h, 380000000);
        phone.addText(chat, "Tschuess", 0, 380000100, true);
        phone.close();
    }
    writeSeed("smsdb", "ios6-older-local.db", packed(PhoneSmsDb::smsDbPathOf(older)));
}

void ios5Seeds(const QString &work)
{
    const QString store = QDir(work).filePath("ios5");
    {
        IOS5SmsDb phone(store);
        const qint64 g = phone.addGroup(1);
        phone.addMember(g, "+12025550143");
        phone.addSms(g, "+12025550143", 1300000000, 2, "Hi there");
        const qint64 mms = phone.addSms(g, "+12025550143", 1300000100, 3, "");
        phone.addPiece(mms, 0, "text/plain", "text_0.txt", "Look");
        phone.addPiece(mms, 1, "image/jpeg", "../../photo.jpg", "jpeg");
        phone.addPiece(mms, 2, "image/png", "second.png", "png");
        phone.addMadridChat("ben@example.com", QByteArray());
        IOS5SmsDb::IMessage im;
        im.handle = "ben@example.com";
        im.date = 330000000;
        im.text = "iMessage";
        const qint64 m = phone.addIMessage(im);
        phone.addMadridAttachment(IOS5SmsDb::newGuid(), "~/Library/SMS/Attachments/link/x.jpg",
                                  "image/jpeg", "public.jpeg", 330000000, 330000000, 5, true, m);
        phone.close();
    }
    writeSeed("smsdb", "ios5.db", packed(IOS5SmsDb::smsDbPathOf(store)));

    const QString plain = QDir(work).filePath("ios5plain");
    {
        IOS5SmsDb phone(plain, false);
        const qint64 g = phone.addGroup(2);
        phone.addMember(g, "+33612345678", "fr");
        phone.addSms(g, "+33612345678", 1300000000, 2, "Salut", "fr");
        phone.close();
    }
    writeSeed("smsdb", "ios5-without-imessage.db", packed(IOS5SmsDb::smsDbPathOf(plain)));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    g_corpus = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir work;
    fileRelaySeeds();
    ios6Seeds(work.path());
    ios5Seeds(work.path());
    return 0;
}
