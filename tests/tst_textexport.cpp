#include "jobs/exportmessagescsv.h"
#include "jobs/exportmessageshtml.h"
#include "jobs/exportmessagestxt.h"
#include "store/msgdataset.h"
#include "store/msgutil.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <stdexcept>
#include <sys/resource.h>

namespace {

// A text of the code units given, NUL and lone surrogates included.
template<size_t N> QString units(const char16_t (&text)[N])
{
    return QString::fromUtf16(text, qsizetype(N - 1));
}

constexpr qint64 kIosEpoch = 978307200;

// A small store built by hand: three people, five conversations and a
// message of every kind the exporters treat differently.
struct Fixture
{
    _MsgHandle ann, bob, cat;
    _MsgChat withAnn, withBob, group, empty, oddName, longName;
    _MsgAttachment image, vcard;
    std::vector<std::unique_ptr<_MsgMessage>> owned;
    MsgMessageList messages;

    Fixture()
    {
        ann.ROWID = 1;
        ann.id = "+15550101";
        ann.contactName = "Ann";
        bob.ROWID = 2;
        bob.id = "+15550102";
        cat.ROWID = 3;
        cat.id = "cat@example.com";
        cat.contactName = "Cat";

        chat(withAnn, 1, "+15550101", {&ann});
        chat(withBob, 2, "+15550102", {&bob});
        chat(group, 3, "chat123456", {&ann, &cat});
        chat(empty, 4, "nobody", {});
        chat(oddName, 5, "+15550102", {&bob});
        oddName.display_name = "Line\r\nbreak";
        chat(longName, 6, "+15550102", {&bob});
        longName.display_name = QString(45, u'N');

        image.ROWID = 7;
        image.mime_type = "image/jpeg";
        vcard.ROWID = 9;
        vcard.mime_type = "text/x-vCard";

        add(&withAnn, &ann, 0, "Hello, \"Ann\"");
        add(&withAnn, nullptr, 1, "Line one\r\nLine two");
        add(&withBob, &bob, 0, "a\nb");
        _MsgMessage *m = add(&group, &cat, 0, QString::fromUtf8("Hi \xF0\x9F\x98\x84\xEF\xBF\xBC"));
        m->attachments.insert("9", &vcard);
        m->attachments.insert("7", &image);
        m = add(&group, &cat, 0, QString());
        m->item_type = 3;
        add(nullptr, nullptr, 0, "=HYPERLINK(\"http://x\")");
        add(&empty, nullptr, 1, "lone\rCR");
        add(&oddName, &bob, 0, "x");
        add(&longName, &bob, 1, "after");
    }

    static void chat(_MsgChat &c, qint64 rowid, const QString &identifier,
                     const QList<_MsgHandle *> &handles)
    {
        c.ROWID = rowid;
        c.chat_identifier = identifier;
        for (_MsgHandle *h : handles)
            c.handles.insert(QString::number(h->ROWID), h);
    }

    _MsgMessage *add(_MsgChat *chat, _MsgHandle *from, int fromMe, const QString &text)
    {
        auto m = std::make_unique<_MsgMessage>();
        m->ROWID = qint64(owned.size()) + 1;
        m->orderKey = m->ROWID;
        m->date = 400000000 + int(owned.size()) * 3661;
        m->chat = chat;
        m->handle = from;
        m->is_from_me = fromMe;
        m->text = text;
        messages.append(m.get());
        owned.push_back(std::move(m));
        return messages.last();
    }
};

// The date of a message as the CSV writes it (the tests run in UTC).
QString csvDate(const _MsgMessage *m)
{
    return QDateTime::fromSecsSinceEpoch(kIosEpoch + m->date, Qt::UTC)
            .toString("yyyy-MM-dd hh:mm:ss");
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

template<typename Exporter> void exportAll(const QString &path, const MsgMessageList &messages)
{
    Exporter e(path);
    e.begin();
    for (_MsgMessage *m : messages)
        e.write(m);
    e.end();
}

} // namespace

class TestTextExport : public QObject
{
    Q_OBJECT
    TestEnv env;

private slots:
    void csvFields_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("field");
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("plain") << "plain text"
                               << "plain text";
        QTest::newRow("comma") << "a,b"
                               << "\"a,b\"";
        QTest::newRow("quotes") << "say \"hi\""
                                << "\"say \"\"hi\"\"\"";
        QTest::newRow("line feed") << "a\nb"
                                   << "\"a\nb\"";
        QTest::newRow("CR LF") << "a\r\nb"
                               << "\"a\r\nb\"";
        QTest::newRow("lone CR") << "a\rb"
                                 << "\"a\rb\"";
        QTest::newRow("only a quote") << "\""
                                      << "\"\"\"\"";
        QTest::newRow("semicolon and tab inside") << "a;b\tc"
                                                  << "a;b\tc";
        QTest::newRow("formula") << "=1+2"
                                 << "'=1+2";
        QTest::newRow("formula with quotes") << "=HYPERLINK(\"http://x\",\"y\")"
                                             << "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\"";
        QTest::newRow("at sign") << "@SUM(A1)"
                                 << "'@SUM(A1)";
        QTest::newRow("minus") << "-2+3"
                               << "'-2+3";
        QTest::newRow("leading tab") << "\tx"
                                     << "'\tx";
        QTest::newRow("leading CR") << "\rx"
                                    << "\"'\rx\"";
        QTest::newRow("phone number") << "+15550100"
                                      << "+15550100";
        QTest::newRow("spaced phone number") << "+1 555 0100"
                                             << "'+1 555 0100";
        QTest::newRow("plus alone") << "+"
                                    << "'+";
        QTest::newRow("e-mail") << "cat@example.com"
                                << "cat@example.com";
        QTest::newRow("emoji") << u"\U0001F604"_qs << u"\U0001F604"_qs;
        // Control characters that readers of text files choke on are dropped.
        QTest::newRow("NUL and other controls") << units(u"a\0b\x01" "c\x1F" "d\xFFFF")
                                                << "abcd";
        QTest::newRow("lone surrogate") << units(u"x\xD800y") << "xy";
        QTest::newRow("only a NUL") << units(u"\0") << "";
    }
    void csvFields()
    {
        QFETCH(QString, text);
        QFETCH(QString, field);
        QCOMPARE(csvField(text), field);
    }

    void csvFile()
    {
        Fixture f;
        const QString path = env.makeDir("csv") + "/out.csv";
        exportAll<ExportMessagesCsv>(path, f.messages);
        const MsgMessageList &m = f.messages;
        const QString left = QDateTime::fromSecsSinceEpoch(kIosEpoch + m[4]->date, Qt::UTC)
                                     .toString(QString::fromLatin1(kMessageDateFormat));
        const QString expected = "date,send,person,number,content\r\n" + csvDate(m[0])
                + ",0,Ann,+15550101,\"Hello, \"\"Ann\"\"\"\r\n" + csvDate(m[1])
                + ",1,Ann,+15550101,\"Line one\r\nLine two\"\r\n" + csvDate(m[2])
                + ",0,,+15550102,\"a\r\nb\"\r\n" + csvDate(m[3])
                + ",0,chat123456,chat123456,Hi [EMOJI] [IMAGE] [VCARD]\r\n" + csvDate(m[4])
                + ",0,chat123456,chat123456,\"Cat left the conversation.\r\n" + left + "\"\r\n"
                + csvDate(m[5]) + ",0,,,\"'=HYPERLINK(\"\"http://x\"\")\"\r\n" + csvDate(m[6])
                + ",1,,,\"lone\rCR\"\r\n" + csvDate(m[7]) + ",0,,+15550102,x\r\n" + csvDate(m[8])
                + ",1,,+15550102,after\r\n";
        QCOMPARE(QString::fromUtf8(readAll(path)), expected);
    }

    void txtFile()
    {
        Fixture f;
        const QString path = env.makeDir("txt") + "/out.txt";
        exportAll<ExportMessagesTxt>(path, f.messages);
        const QList<QByteArray> lines = readAll(path).split('\n');
        QCOMPARE(lines.size(), f.messages.size() + 2); // header, messages, empty rest
        QCOMPARE(lines.first(),
                 "Date" + QByteArray(26, ' ') + "Flag  Name" + QByteArray(36, ' ') + "Message\r");
        QCOMPARE(lines.last(), QByteArray());

        const MsgMessageList &m = f.messages;
        const QString left = QDateTime::fromSecsSinceEpoch(kIosEpoch + m[4]->date, Qt::UTC)
                                     .toString(QString::fromLatin1(kMessageDateFormat));
        const QStringList flags {"From", "To", "From", "From", "", "From", "To", "From", "To"};
        const QStringList names {"Ann",     "Ann",     "+15550102",  "Ann, Cat",       "Ann, Cat",
                                 "Unknown", "Unknown", "Line break", QString(45, u'N')};
        const QStringList texts {"Hello, \"Ann\"",
                                 "Line one Line two",
                                 "a b",
                                 "Hi [EMOJI] [IMAGE] [VCARD]",
                                 "Cat left the conversation. " + left,
                                 "=HYPERLINK(\"http://x\")",
                                 "loneCR",
                                 "x",
                                 "after"};
        for (int i = 0; i < m.size(); ++i) {
            const QString date = QLocale::system().toString(
                    QDateTime::fromSecsSinceEpoch(kIosEpoch + m[i]->date), QLocale::ShortFormat);
            const QString expected = date.leftJustified(30) + flags[i].leftJustified(6)
                    + names[i].leftJustified(40) + texts[i] + "\r";
            QCOMPARE(QString::fromUtf8(lines[i + 1]), expected);
        }
    }

    void encodingAndReplace()
    {
        Fixture f;
        f.messages.first()->text = u"Grüße \U0001F604"_qs;
        const QString dir = env.makeDir("replace");
        for (const QString &name : {QString("a.csv"), QString("a.txt")}) {
            const QString path = dir + "/" + name;
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(5000, 'z'));
            old.close();
            MsgMessageList one {f.messages.first()};
            if (name.endsWith("csv"))
                exportAll<ExportMessagesCsv>(path, one);
            else
                exportAll<ExportMessagesTxt>(path, one);
            const QByteArray bytes = readAll(path);
            QVERIFY(!bytes.startsWith("\xEF\xBB\xBF")); // no byte-order mark
            QVERIFY(!bytes.contains('z'));
            QVERIFY(bytes.contains("Gr\xC3\xBC\xC3\x9F"
                                   "e [EMOJI]\r\n"));
            QCOMPARE(bytes.count('\n'), 2);
            QCOMPARE(bytes.count('\r'), 2);
        }
        // A NUL or another forbidden control in a text is not written.
        for (const QString &name : {QString("nul.csv"), QString("nul.txt")}) {
            f.messages.first()->text = units(u"a\0b\x07" "c");
            const QString path = dir + "/" + name;
            MsgMessageList one {f.messages.first()};
            if (name.endsWith("csv"))
                exportAll<ExportMessagesCsv>(path, one);
            else
                exportAll<ExportMessagesTxt>(path, one);
            const QByteArray bytes = readAll(path);
            QVERIFY(bytes.contains("abc\r\n"));
            QVERIFY(!bytes.contains('\0'));
            QVERIFY(!bytes.contains('\a'));
        }
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden),
                 (QStringList {"a.csv", "a.txt", "nul.csv", "nul.txt"}));
    }

    void failures()
    {
        Fixture f;
        // A file that cannot be made: begin throws with the file's error.
        const QString missing = env.home() + "/no/such/folder/out.csv";
        ExportMessagesCsv csv(missing);
        try {
            csv.begin();
            QFAIL("begin did not throw");
        } catch (const std::runtime_error &e) {
            QVERIFY(qstrlen(e.what()) > 0);
        }
        QVERIFY(!QFile::exists(missing));

        // Deleted without end: the file that was there stays as it was.
        const QString dir = env.makeDir("kept");
        const QString path = dir + "/out.txt";
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("older export");
        old.close();
        {
            auto e = std::make_unique<ExportMessagesTxt>(path);
            e->begin();
            for (_MsgMessage *m : f.messages)
                e->write(m);
        }
        QCOMPARE(readAll(path), QByteArray("older export"));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList {"out.txt"});
    }

    void writeErrorIsReported_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("olderFile");
        QTest::newRow("text, new file") << "txt" << false;
        QTest::newRow("text, older file kept") << "txt" << true;
        QTest::newRow("csv, new file") << "csv" << false;
        QTest::newRow("csv, older file kept") << "csv" << true;
        QTest::newRow("html page") << "html" << false;
    }
    void writeErrorIsReported()
    {
        // A disk that takes no more: the process may write at most 2000 bytes
        // to any file.
        QFETCH(QString, format);
        QFETCH(bool, olderFile);
        Fixture f;
        const QString dir = env.makeDir(QStringLiteral("full-%1-%2").arg(format).arg(olderFile));
        const QString path = dir + "/out." + format;
        if (olderFile) {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("older export");
        }
        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 2000;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QString error;
        {
            std::unique_ptr<AbsFormatExport<_MsgMessage>> e;
            if (format == "csv")
                e = std::make_unique<ExportMessagesCsv>(path);
            else if (format == "txt")
                e = std::make_unique<ExportMessagesTxt>(path);
            else
                e = std::make_unique<ExportMessagesHtml>(QDir(dir), "out.html");
            e->begin();
            for (int round = 0; round < 200; ++round)
                for (_MsgMessage *m : f.messages)
                    e->write(m);
            try {
                e->end();
            } catch (const std::runtime_error &x) {
                error = QString::fromUtf8(x.what());
            }
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        // The report names the file and what went wrong.
        QVERIFY(!error.isEmpty());
        QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
        QVERIFY2(!error.contains("Unknown error", Qt::CaseInsensitive), qPrintable(error));
        QVERIFY2(error.contains("failed"), qPrintable(error));
        if (olderFile) {
            QCOMPARE(readAll(path), QByteArray("older export"));
            QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList {path.section('/', -1)});
        } else {
            QVERIFY(!QFile::exists(path));
            // The page's half-written file is the export job's to remove.
            if (format != "html")
                QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList());
        }
    }

    void writeBeforeBegin()
    {
        Fixture f;
        const QString path = env.makeDir("early") + "/out.csv";
        ExportMessagesCsv e(path);
        e.write(f.messages.first()); // nothing open: nothing happens
        e.end();
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_MAIN(TestTextExport)
#include "tst_textexport.moc"
