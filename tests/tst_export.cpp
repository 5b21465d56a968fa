#include "jobs/exportmessageshtml.h"
#include "jobs/exportmessagesthread.h"
#include "jobs/outputfilename.h"
#include "store/msgdataset.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/messagefixture.h"
#include "tests/support/jobrun.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTranslator>
#include <QRegularExpression>
#include <QUrl>
#include <QXmlStreamReader>
#include <QtTest>

#include <memory>
#include <stdexcept>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Every file below folder, as paths relative to it, sorted.
QStringList filesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

// The well-formedness error of an XML document, empty when there is none.
QString xmlError(const QByteArray &doc)
{
    QXmlStreamReader xml(doc);
    while (!xml.atEnd())
        xml.readNext();
    return xml.hasError() ? xml.errorString() : QString();
}

using Outcome = JobOutcome;

// Runs job under form as an action would, pressing OK on every box.
Outcome runUnder(ProgressForm &form, QThread &job)
{
    return runJobPressingOk(form, &job);
}

std::function<void(int)> cancelAfter(ProgressForm &form, int n)
{
    return cancelAfterItems(form, n);
}

// The resources the HTML export copies: a small "bubble" and "emoji" folder.
QString makeResources(const QString &root)
{
    writeFile(root + "/bubble/style.css", "body { }\n");
    writeFile(root + "/bubble/bb1_01.png", "png");
    writeFile(root + "/emoji/1F604.png", "emoji");
    writeFile(root + "/emoji/2764.png", "emoji");
    return root;
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void safeNames_data();
    void safeNames();
    void htmlPageLayout();
    void htmlAttachments();
    void htmlDropsCharactersXmlForbids();
    void htmlRefusesUnwritablePage();
    void jobTextAndCsv_data();
    void jobTextAndCsv();
    void jobProgressEndsAtWhole_data();
    void jobProgressEndsAtWhole();
    void jobHtmlOneFilePerConversation();
    void jobHtmlHostileNames();
    void jobHtmlIdentifiersAlikeButNotTheSame();
    void jobHtmlKeepsUserFiles();
    void jobCancelAndFailureCleanUp_data();
    void jobCancelAndFailureCleanUp();
    void jobCancelAroundLastFile_data();
    void jobCancelAroundLastFile();
    void jobTextFailureKeepsOldFile();
    void jobEmptyAndBadFormat();
    void jobPdf();

private:
    std::unique_ptr<TestEnv> m_env;
    QTemporaryDir m_resources;
    QTranslator m_translator;
};

void TestExport::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    QVERIFY(m_resources.isValid());
    makeResources(m_resources.path());
}

void TestExport::safeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "Ann (+15550101).html"
                           << "Ann (+15550101).html";
    QTest::newRow("slashes") << "../../etc/passwd"
                             << "etcpasswd";
    QTest::newRow("dot dot") << ".."
                             << "fallback";
    QTest::newRow("hidden") << ".profile"
                            << "profile";
    QTest::newRow("trailing dots") << "name. . "
                                   << "name";
    QTest::newRow("control") << QString("a\r\nb\tc") << "abc";
    QTest::newRow("device") << "CON.html"
                            << "_CON.html";
    QTest::newRow("device lower") << "lpt1"
                                  << "_lpt1";
    QTest::newRow("windows chars") << "a:b*c?d\"e<f>g|h\\i"
                                   << "abcdefghi";
    QTest::newRow("empty") << ""
                           << "fallback";
}

void TestExport::safeNames()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(safeOutputFileName(name, "fallback"), expected);

    // Over-long names keep their suffix and stay within the file systems'
    // limits, surrogate pairs kept whole.
    const QString longName = QString::fromUtf8("\xF0\x9F\x98\x84").repeated(300) + ".html";
    const QString cut = safeOutputFileName(longName, "x");
    QVERIFY(cut.toUtf8().size() <= 200);
    QVERIFY(cut.endsWith(".html"));
    QVERIFY(!cut.at(cut.size() - 6).isHighSurrogate());
}

void TestExport::htmlPageLayout()
{
    QTemporaryDir dir;
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    chat->chat_identifier = "+15550101";
    _MsgMessage *m
            = fx.message(chat, nullptr,
                         QString::fromUtf8("<b>Tom & \"Jerry\"</b> \xF0\x9F\x98\x84"), 1000, true);

    ExportMessagesHtml page(QDir(dir.path()), "Ann.html");
    page.begin();
    page.write(m);
    page.end();

    QVERIFY(QFileInfo(dir.path() + "/files").isDir());
    const QByteArray doc = readAll(dir.path() + "/Ann.html");
    QVERIFY(doc.endsWith("</body></html>"));
    const QList<QByteArray> lines = doc.split('\n');
    QCOMPARE(lines.size(), 7); // six lines, then the foot without a line end
    QCOMPARE(lines.at(6), QByteArray("</body></html>"));
    QVERIFY(lines.at(0).startsWith(
            "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\""));
    QCOMPARE(lines.at(1), QByteArray("<html xmlns=\"http://www.w3.org/1999/xhtml\">"));
    QCOMPARE(lines.at(3), QByteArray("<title>Pelicorde</title>"));
    QVERIFY(lines.at(4).contains("href=\"files/style.css\""));
    QVERIFY(!doc.startsWith("\xEF\xBB\xBF"));
    QCOMPARE(xmlError(doc), QString());

    const QByteArray body = lines.at(5);
    QVERIFY(body.contains("&lt;b&gt;Tom &amp; \"Jerry\"&lt;/b&gt;"));
    QVERIFY(!body.contains("<b>"));
    QVERIFY(body.contains("<img src=\"emoji/1F604.png\""));
    QVERIFY(body.contains("class=\"dt\"")); // the first message of a file has a date header
    QVERIFY(body.contains("class=\"bb2\""));

    // A second export of the same page into the same folder keeps the first.
    ExportMessagesHtml again(QDir(dir.path()), "Ann.html");
    again.begin();
    again.end();
    QCOMPARE(readAll(dir.path() + "/Ann.html"), doc);
    QCOMPARE(again.pagePath(), dir.path() + "/Ann(1).html");
}

void TestExport::htmlAttachments()
{
    QTemporaryDir store, out;
    // Two attachments of the same name in different folders, one whose name
    // needs encoding in a link, one missing, one link that leads outside the
    // store, and an image that is no image.
    writeFile(store.path() + "/a/photo.bin", "first");
    writeFile(store.path() + "/b/photo.bin", "second");
    writeFile(store.path() + "/c/100% #1.mov", "movie");
    writeFile(store.path() + "/d/notes.txt", "text <inline>");
    writeFile(store.path() + "/e/broken.jpg", "not an image");
    QTemporaryDir elsewhere;
    writeFile(elsewhere.path() + "/secret.pdf", "secret");
    QVERIFY(QFile::link(elsewhere.path() + "/secret.pdf", store.path() + "/link.pdf"));

    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    _MsgMessage *m = fx.message(chat, ann, QString(), 1000);
    fx.attach(m, "application/octet-stream", store.path() + "/a/photo.bin", 1);
    fx.attach(m, "application/octet-stream", store.path() + "/b/photo.bin", 2);
    fx.attach(m, "video/quicktime", store.path() + "/c/100% #1.mov", 3);
    fx.attach(m, "audio/amr", store.path() + "/gone.amr", 4);
    fx.attach(m, "text/plain", store.path() + "/d/notes.txt", 5);
    fx.attach(m, "application/pdf", store.path() + "/link.pdf", 6);
    fx.attach(m, "image/jpeg", store.path() + "/e/broken.jpg", 7);
    fx.attach(m, "image/png", store.path() + "/missing.png", 8);

    ExportMessagesHtml page(QDir(out.path()), "Ann.html");
    page.begin();
    page.write(m);
    page.end();

    const QString files = out.path() + "/files";
    QCOMPARE(readAll(files + "/photo.bin"), QByteArray("first"));
    QCOMPARE(readAll(files + "/photo(1).bin"), QByteArray("second"));
    QCOMPARE(readAll(files + "/100% #1.mov"), QByteArray("movie"));
    QCOMPARE(readAll(files + "/notes.txt"), QByteArray("text <inline>"));
    QCOMPARE(readAll(files + "/broken.jpg"), QByteArray("not an image"));
    QVERIFY(!QFileInfo::exists(files + "/link.pdf"));
    QVERIFY(!QFileInfo::exists(files + "/gone.amr"));

    const QByteArray doc = readAll(out.path() + "/Ann.html");
    QCOMPARE(xmlError(doc), QString());
    QVERIFY(doc.contains("<a href=\"files/photo.bin\">[ATTACHMENT]</a>"));
    QVERIFY(doc.contains("<a href=\"files/photo%281%29.bin\">[ATTACHMENT]</a>"));
    QVERIFY(doc.contains("<a href=\"files/100%25%20%231.mov\">[VIDEO]</a>"));
    QVERIFY(doc.contains("<a href=\"#\">[AUDIO]</a>"));
    QVERIFY(doc.contains("<a href=\"#\">[ATTACHMENT]</a>")); // the link out of the store
    QVERIFY(doc.contains("text &lt;inline&gt;"));
    // An image without a thumbnail, or without its file, shows the
    // placeholder picture (put in "files" by the page itself here).
    QVERIFY(doc.contains("<a href=\"files/broken.jpg\"><img src=\"files/empty_photo.jpg\""));
    QVERIFY(doc.contains("<a href=\"#\"><img src=\"files/empty_photo.jpg\""));
    QVERIFY(!QImage(files + "/empty_photo.jpg").isNull());
    // No picture of the page points at a file that is not there.
    const QRegularExpression source("src=\"([^\"]*)\"");
    for (auto it = source.globalMatch(QString::fromUtf8(doc)); it.hasNext();) {
        const QString src = QUrl::fromPercentEncoding(it.next().captured(1).toUtf8());
        QVERIFY2(QFileInfo::exists(out.path() + "/" + src), qPrintable(src));
    }

    // Everything written stays inside the output folder.
    for (const QString &f : page.writtenFiles())
        QVERIFY2(f.startsWith(out.path() + "/"), qPrintable(f));
}

void TestExport::htmlDropsCharactersXmlForbids()
{
    // NUL and the other control characters, lone surrogates and U+FFFE/FFFF
    // cannot stand in XML: a page holding them would not parse.
    QTemporaryDir dir;
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", QString::fromUtf16(u"An\0n", 4));
    _MsgHandle *bob = fx.handle("+15550102", "Bob");
    _MsgChat *group = fx.chat({ann, bob});
    const char16_t text[] = u"a\0b\x01" "c\x1F" "d\xFFFE" "e\xD800" "f\xDC00\tg\r\nh\xD83D\xDE04";
    _MsgMessage *m = fx.message(group, ann, QString::fromUtf16(text, std::size(text) - 1), 1000);
    m->subject = QString::fromUtf16(u"S\0!", 3);
    _MsgMessage *sys = fx.message(group, ann, QString(), 1010);
    sys->item_type = 2;
    sys->group_title = QString::fromUtf16(u"T\x02itle", 6);

    ExportMessagesHtml page(QDir(dir.path()), "Group.html");
    page.begin();
    page.write(m);
    page.write(sys);
    page.end();

    const QByteArray doc = readAll(dir.path() + "/Group.html");
    QCOMPARE(xmlError(doc), QString());
    QVERIFY(doc.contains("abcdef\tg<br/>h<img src=\"emoji/1F604.png\" />"));
    QVERIFY(doc.contains("&lt;Subject:S!&gt;"));
    QVERIFY(doc.contains(">Ann</div>"));
    QVERIFY(doc.contains("Title"));
}

void TestExport::htmlRefusesUnwritablePage()
{
    QTemporaryDir dir;
    // "files" that is a link would send copies anywhere.
    QTemporaryDir elsewhere;
    QVERIFY(QFile::link(elsewhere.path(), dir.path() + "/files"));
    ExportMessagesHtml linked(QDir(dir.path()), "a.html");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, linked.begin());
    QCOMPARE(filesBelow(elsewhere.path()), QStringList());

    ExportMessagesHtml nowhere(QDir(dir.path() + "/missing/deeper"), "a.html");
    QFile::remove(dir.path() + "/files");
    QFile blocker(dir.path() + "/missing");
    QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where a folder should be
    blocker.close();
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, nowhere.begin());
}

void TestExport::jobTextAndCsv_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("text") << int(ExportTxt) << QByteArray("Date");
    QTest::newRow("csv") << int(ExportCsv) << QByteArray("date,send");
}

void TestExport::jobTextAndCsv()
{
    QFETCH(int, format);
    QFETCH(QByteArray, header);
    QTemporaryDir dir;
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    // Listed newest first; the file is oldest first.
    fx.message(chat, ann, "second", 5000);
    fx.message(chat, ann, "first", 1000);
    const QString path = dir.path() + "/out.txt";

    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), path, format, &form);
    const Outcome o = runUnder(form, job);
    QVERIFY(o.ok);
    QCOMPARE(o.boxes, QStringList {"Successfully exported 2 Messages."});
    const QByteArray text = readAll(path);
    QVERIFY(text.startsWith(header));
    QVERIFY(text.indexOf("first") > 0 && text.indexOf("first") < text.indexOf("second"));
    QCOMPARE(filesBelow(dir.path()), QStringList {"out.txt"});
}

void TestExport::jobProgressEndsAtWhole_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("every message a percent or more") << 7;
    QTest::newRow("many messages per percent") << 3001;
}

// Progress is not reported for every message, but the dialog still follows
// the run and shows the whole count at 100% when it ends.
void TestExport::jobProgressEndsAtWhole()
{
    QFETCH(int, count);
    QTemporaryDir dir;
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    for (int i = 0; i < count; ++i)
        fx.message(chat, ann, QStringLiteral("m%1").arg(i), 1000 + i);

    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    // The reports that reach the dialog (queued calls from the job's thread).
    struct Reports : QObject
    {
        int count = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::MetaCall)
                ++count;
            return false;
        }
    } reports;
    form.installEventFilter(&reports);
    auto *bar = form.findChild<QProgressBar *>("progressBar");
    QVERIFY(bar);
    int barChanges = 0;
    QObject context;
    connect(bar, &QProgressBar::valueChanged, &context, [&] { ++barChanges; });

    ExportMessagesThread job(fx.list(), dir.path() + "/out.txt", ExportTxt, &form);
    const Outcome o = runUnder(form, job);
    QVERIFY(o.ok);
    QCOMPARE(bar->value(), 100);
    QCOMPARE(form.findChild<QLabel *>("lbProgress")->text(),
             ids("SMS: %1/%2").arg(count).arg(count));
    QVERIFY(barChanges >= std::min(count, 100));
    // A report per percentage, one at most every 50 ms beside them, the
    // first status line, the notice that the last file is being finished
    // (Cancel refused) and the final report: never one per message.
    const qint64 bound = std::min<qint64>(count, 101) + o.ms / 50 + 1 + 4;
    QVERIFY2(reports.count <= bound,
             qPrintable(QStringLiteral("%1 reports, at most %2").arg(reports.count).arg(bound)));
}

void TestExport::jobHtmlOneFilePerConversation()
{
    QTemporaryDir dir;
    const QString out = dir.path() + "/new/export-html";
    QTemporaryDir store;
    writeFile(store.path() + "/pic.bin", "data");

    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgHandle *bob = fx.handle("+15550102");
    _MsgChat *withAnn = fx.chat({ann});
    withAnn->chat_identifier = "+15550101";
    withAnn->lastDate = 9000;
    _MsgChat *withBob = fx.chat({bob});
    withBob->chat_identifier = "x@example.com";
    withBob->lastDate = 2000;
    // Differs from withBob's identifier only in case: the same conversation.
    _MsgChat *bobAgain = fx.chat({bob});
    bobAgain->chat_identifier = "X@Example.com";
    bobAgain->lastDate = 2000;
    _MsgChat *group = fx.chat({ann, bob});
    group->chat_identifier = "chat123";
    group->lastDate = 5000;
    _MsgChat *nobody = fx.chat({});
    nobody->chat_identifier = "nobody";
    nobody->lastDate = 100;

    fx.message(withAnn, ann, QString::fromUtf8("hi \xF0\x9F\x98\x84"), 9000);
    fx.message(withBob, bob, "one", 1000);
    fx.message(group, ann, "g", 5000);
    fx.message(bobAgain, bob, "two", 2000);
    _MsgMessage *m = fx.message(withAnn, nullptr, "", 8000, true);
    fx.attach(m, "application/zip", store.path() + "/pic.bin");
    fx.message(nobody, nullptr, "alone", 100);
    fx.message(nullptr, nullptr, "orphan", 50);

    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), out, ExportHtml, &form);
    job.resourceFolder = m_resources.path();
    const Outcome o = runUnder(form, job);
    QVERIFY(o.ok);
    QCOMPARE(o.boxes, QStringList {"Successfully exported 7 Messages."});

    QCOMPARE(filesBelow(out),
             (QStringList {"+15550102.html", "Ann (+15550101).html", "Unknown.html", "chat123.html",
                           "emoji/1F604.png", "emoji/2764.png", "files/bb1_01.png", "files/pic.bin",
                           "files/style.css", "unknown-chat.html"}));
    const QByteArray bobPage = readAll(out + "/+15550102.html");
    QVERIFY(bobPage.contains("one"));
    QVERIFY(bobPage.contains("two"));
    QVERIFY(bobPage.indexOf("one") < bobPage.indexOf("two"));
    const QByteArray annPage = readAll(out + "/Ann (+15550101).html");
    QCOMPARE(xmlError(annPage), QString());
    QVERIFY(annPage.contains("href=\"files/pic.bin\""));
    QVERIFY(annPage.indexOf("files/pic.bin") < annPage.indexOf("emoji/1F604.png"));
    QCOMPARE(readAll(out + "/files/style.css"), QByteArray("body { }\n"));
}

void TestExport::jobHtmlHostileNames()
{
    QTemporaryDir dir;
    const QString out = dir.path() + "/out";
    MessageFixture fx;
    _MsgHandle *h = fx.handle("../../../escape");
    const QStringList names {"../../escaped", "CON",  "..",  QString(400, u'x'),
                             "a/b\\c",        "same", "same"};
    int date = 1000;
    for (const QString &name : names) {
        _MsgChat *c = fx.chat({h});
        c->chat_identifier = QString("id%1").arg(date);
        c->display_name = name;
        c->lastDate = date;
        fx.message(c, h, "text", date);
        date += 100;
    }
    // A group named after its identifier.
    _MsgChat *g = fx.chat({h, fx.handle("+1")});
    g->chat_identifier = "../chat/../../up";
    g->lastDate = date;
    fx.message(g, h, "g", date);

    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), out, ExportHtml, &form);
    job.resourceFolder = m_resources.path();
    QVERIFY(runUnder(form, job).ok);

    // Nothing left the output folder, and each conversation has its page.
    QCOMPARE(filesBelow(dir.path()).filter(QRegularExpression("^(?!out/)")), QStringList());
    QStringList pages = QDir(out).entryList({"*.html"}, QDir::Files | QDir::Hidden);
    pages.sort();
    QCOMPARE(pages.size(), names.size() + 1);
    QVERIFY(pages.contains("_CON.html"));
    QVERIFY(pages.contains("escaped.html"));
    QVERIFY(pages.contains("same.html"));
    QVERIFY(pages.contains("same(1).html"));
    QVERIFY(pages.contains("Unknown.html"));
    QVERIFY(pages.contains("abc.html"));
    QVERIFY(pages.contains("chat....up.html"));
    for (const QString &p : pages) {
        QVERIFY2(p.toUtf8().size() <= 200, qPrintable(p));
        QVERIFY2(!p.startsWith('.'), qPrintable(p));
    }
}

void TestExport::jobHtmlIdentifiersAlikeButNotTheSame()
{
    // Two identifiers that lowercase to one text but are not the same
    // without regard to case ("\u0130x" and "i\u0307x"), and two that are
    // ("\u017Fam" and "sam"), with their messages interleaved: each
    // conversation gets one page, whole and in order.
    QTemporaryDir dir;
    const QString out = dir.path() + "/out";
    MessageFixture fx;
    const QStringList identifiers {QString(QChar(0x130)) + "x", QString("i") + QChar(0x307) + "x",
                           QString(QChar(0x17F)) + "am", "sam"};
    const QStringList names {"Dotted", "Combining", "Long", "Short"};
    QList<_MsgChat *> chats;
    for (int i = 0; i < identifiers.size(); ++i) {
        _MsgChat *c = fx.chat({fx.handle(QString("+%1").arg(i))});
        c->chat_identifier = identifiers.at(i);
        c->display_name = names.at(i);
        c->lastDate = i < 2 ? 5000 : 6000;
        chats << c;
    }
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < chats.size(); ++i)
            fx.message(chats.at(i), nullptr, QString("%1-%2").arg(names.at(i)).arg(round),
                       1000 + 100 * (round * 4 + i));

    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), out, ExportHtml, &form);
    job.resourceFolder = m_resources.path();
    QVERIFY(runUnder(form, job).ok);

    QStringList pages = QDir(out).entryList({"*.html"}, QDir::Files);
    pages.sort();
    QCOMPARE(pages, (QStringList {"Combining.html", "Dotted.html", "Long.html"}));
    const QByteArray dotted = readAll(out + "/Dotted.html");
    QVERIFY(dotted.indexOf("Dotted-0") >= 0);
    QVERIFY(dotted.indexOf("Dotted-0") < dotted.indexOf("Dotted-1"));
    QVERIFY(!dotted.contains("Combining-"));
    const QByteArray combining = readAll(out + "/Combining.html");
    QVERIFY(combining.indexOf("Combining-0") >= 0);
    QVERIFY(combining.indexOf("Combining-0") < combining.indexOf("Combining-1"));
    // One conversation under two spellings: its messages in date order.
    const QByteArray both = readAll(out + "/Long.html");
    qsizetype at = -1;
    for (const char *text : {"Long-0", "Short-0", "Long-1", "Short-1"}) {
        QVERIFY2(both.indexOf(text) > at, text);
        at = both.indexOf(text);
    }
}

void TestExport::jobHtmlKeepsUserFiles()
{
    // Exporting into a folder the user already has: pages of an earlier
    // export stay as they were, the new ones take free names.
    QTemporaryDir dir;
    writeFile(dir.path() + "/Ann.html", "old page");
    writeFile(dir.path() + "/files/style.css", "my style");
    writeFile(dir.path() + "/notes.doc", "mine");
    MessageFixture fx;
    _MsgChat *c = fx.chat({fx.handle("+1", "")});
    c->display_name = "Ann";
    fx.message(c, nullptr, "new", 1000);

    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), dir.path(), ExportHtml, &form);
    job.resourceFolder = m_resources.path();
    QVERIFY(runUnder(form, job).ok);
    QCOMPARE(readAll(dir.path() + "/Ann.html"), QByteArray("old page"));
    QCOMPARE(readAll(dir.path() + "/files/style.css"), QByteArray("my style"));
    QCOMPARE(readAll(dir.path() + "/notes.doc"), QByteArray("mine"));
    QVERIFY(readAll(dir.path() + "/Ann(1).html").contains("new"));
}

void TestExport::jobCancelAndFailureCleanUp_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("existingFolder");
    QTest::addColumn<bool>("cancel"); // else a failure
    QTest::newRow("html new folder cancel") << int(ExportHtml) << false << true;
    QTest::newRow("html user folder cancel") << int(ExportHtml) << true << true;
    QTest::newRow("html new folder failure") << int(ExportHtml) << false << false;
    QTest::newRow("html user folder failure") << int(ExportHtml) << true << false;
    QTest::newRow("pdf new folder cancel") << int(ExportPdf) << false << true;
    QTest::newRow("pdf user folder failure") << int(ExportPdf) << true << false;
    QTest::newRow("text cancel") << int(ExportTxt) << false << true;
    QTest::newRow("csv cancel") << int(ExportCsv) << true << true;
}

void TestExport::jobCancelAndFailureCleanUp()
{
    QFETCH(int, format);
    QFETCH(bool, existingFolder);
    QFETCH(bool, cancel);
    QTemporaryDir dir;
    const bool perChat = format == ExportHtml || format == ExportPdf;
    const QString folder = existingFolder ? dir.path() : dir.path() + "/made/here";
    if (existingFolder) {
        writeFile(dir.path() + "/mine.txt", "mine");
        writeFile(dir.path() + "/files/keep.png", "keep");
    }
    const QStringList before = filesBelow(dir.path());
    QTemporaryDir store;
    writeFile(store.path() + "/a.bin", "a");

    MessageFixture fx;
    QList<_MsgChat *> chats;
    for (int i = 0; i < 3; ++i) {
        _MsgChat *c = fx.chat({fx.handle(QString("+%1").arg(i))});
        c->chat_identifier = QString("+%1").arg(i);
        c->lastDate = 1000 * (i + 1);
        _MsgMessage *m = fx.message(c, nullptr, "text", 1000 * (i + 1));
        fx.attach(m, "application/zip", store.path() + "/a.bin");
    }
    const QString path = perChat ? folder : folder + "/out.txt";
    if (!perChat)
        QDir().mkpath(folder);
    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), path, format, &form);
    job.resourceFolder = m_resources.path();
    if (cancel)
        job.itemHook = cancelAfter(form, 2);
    else
        job.itemHook = [](int done) {
            if (done == 2)
                throw std::runtime_error("disk full");
        };
    const Outcome o = runUnder(form, job);
    QVERIFY(!o.ok);
    QVERIFY(form.failed);
    QCOMPARE(o.stuck, QStringList());
    QCOMPARE(o.boxes.size(), cancel ? 0 : 1);
    if (!existingFolder && perChat)
        QVERIFY(!QFileInfo::exists(dir.path() + "/made"));
    QCOMPARE(filesBelow(dir.path()), before);
    QCOMPARE(job.writtenFiles(), QStringList());
}

// A Cancel before the last file is finished removes the output; one that
// comes after (while the last file is closed) is refused, and the complete
// files are reported as the export they are.
void TestExport::jobCancelAroundLastFile_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("point");
    QTest::addColumn<bool>("kept");
    QTest::newRow("text, before the end") << int(ExportTxt) << "commit-asked" << false;
    QTest::newRow("text, after the end began") << int(ExportTxt) << "commit-begun" << true;
    QTest::newRow("text, once the file is complete") << int(ExportTxt) << "export-ended" << true;
    QTest::newRow("html, before the end") << int(ExportHtml) << "commit-asked" << false;
    QTest::newRow("html, once the files are complete") << int(ExportHtml) << "export-ended" << true;
}

void TestExport::jobCancelAroundLastFile()
{
    QFETCH(int, format);
    QFETCH(QString, point);
    QFETCH(bool, kept);
    QTemporaryDir dir;
    const bool perChat = format == ExportHtml;
    const QString path = perChat ? dir.path() + "/pages" : dir.path() + "/out.txt";
    MessageFixture fx;
    for (int i = 0; i < 2; ++i) {
        _MsgChat *c = fx.chat({fx.handle(QString("+%1").arg(i))});
        c->chat_identifier = QString("+%1").arg(i);
        fx.message(c, nullptr, QString("text %1").arg(i), 1000 * (i + 1));
    }
    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), path, format, &form);
    job.resourceFolder = m_resources.path();
    Outcome o;
    {
        CancelAtKillPoint press(form, point.toLatin1().constData());
        o = runUnder(form, job);
        QVERIFY(press.pressed());
    }
    QCOMPARE(o.ok, kept);
    QCOMPARE(o.stuck, QStringList());
    QCOMPARE(o.boxes.size(), kept ? 1 : 0);
    if (kept) {
        if (perChat)
            QCOMPARE(QDir(path).entryList({"*.html"}, QDir::Files).size(), 2);
        else
            QVERIFY(readAll(path).contains("text 1"));
        for (const QString &f : job.writtenFiles())
            QVERIFY2(QFileInfo(f).isFile(), qPrintable(f));
    } else {
        QCOMPARE(filesBelow(dir.path()), QStringList());
        QCOMPARE(job.writtenFiles(), QStringList());
    }
}

void TestExport::jobTextFailureKeepsOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/old.csv";
    writeFile(path, "earlier export");
    MessageFixture fx;
    _MsgChat *c = fx.chat({fx.handle("+1")});
    for (int i = 0; i < 3; ++i)
        fx.message(c, nullptr, "t", 1000 + i * 100);
    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), path, ExportCsv, &form);
    job.itemHook = cancelAfter(form, 2);
    QVERIFY(!runUnder(form, job).ok);
    QCOMPARE(readAll(path), QByteArray("earlier export"));
    QCOMPARE(filesBelow(dir.path()), QStringList {"old.csv"});

    // A file that cannot be opened is reported with the file's own error.
    ProgressForm form2(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job2(fx.list(), dir.path() + "/no/such/folder/x.txt", ExportTxt, &form2);
    const Outcome o = runUnder(form2, job2);
    QVERIFY(!o.ok);
    QCOMPARE(o.boxes.size(), 1);
}

void TestExport::jobEmptyAndBadFormat()
{
    QTemporaryDir dir;
    MessageFixture fx;
    {
        ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
        ExportMessagesThread job(MsgMessageList(), dir.path() + "/html", ExportHtml, &form);
        job.resourceFolder = m_resources.path();
        const Outcome o = runUnder(form, job);
        QVERIFY(o.ok);
        QCOMPARE(o.boxes, QStringList {"Successfully exported 0 Messages."});
        QVERIFY(QFileInfo(dir.path() + "/html").isDir());
        QCOMPARE(filesBelow(dir.path()), QStringList());
    }
    {
        ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
        ExportMessagesThread job(MsgMessageList(), dir.path() + "/x.txt", ExportTxt, &form);
        QVERIFY(runUnder(form, job).ok);
        QVERIFY(!QFileInfo::exists(dir.path() + "/x.txt"));
    }
    fx.message(fx.chat({fx.handle("+1")}), nullptr, "t", 1000);
    for (int format : {7, -1}) {
        ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
        ExportMessagesThread job(fx.list(), dir.path() + "/bad", format, &form);
        const Outcome o = runUnder(form, job);
        QVERIFY(!o.ok);
        QCOMPARE(o.boxes.size(), 1);
        QVERIFY2(o.boxes.at(0).contains("not support export format."), qPrintable(o.boxes.at(0)));
        QVERIFY(!QFileInfo::exists(dir.path() + "/bad"));
    }
}

void TestExport::jobPdf()
{
#if __has_include("jobs/exportmessagespdf.h")
    QTemporaryDir dir;
    MessageFixture fx;
    _MsgChat *a = fx.chat({fx.handle("+1", "Ann")});
    a->chat_identifier = "+1";
    _MsgChat *b = fx.chat({fx.handle("+2", "CON")});
    b->chat_identifier = "+2";
    b->lastDate = 10;
    fx.message(a, nullptr, "one", 1000);
    fx.message(b, nullptr, "two", 1000);
    const QString out = dir.path() + "/pdf";
    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(fx.list(), out, ExportPdf, &form);
    QVERIFY(runUnder(form, job).ok);
    QCOMPARE(filesBelow(out), (QStringList {"Ann (+1).pdf", "CON (+2).pdf"}));
    QVERIFY(readAll(out + "/Ann (+1).pdf").startsWith("%PDF"));

    ProgressForm form2(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job2(fx.list(), dir.path() + "/pdf2", ExportPdf, &form2);
    job2.itemHook = cancelAfter(form2, 1);
    QVERIFY(!runUnder(form2, job2).ok);
    QVERIFY(!QFileInfo::exists(dir.path() + "/pdf2"));
#else
    QSKIP("no PDF exporter in this build");
#endif
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
