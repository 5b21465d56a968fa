// The chat-bubble markup of messages, the paged conversation view built on
// it, and what the view does with the links of its pages.
#include "jobs/bubblemarkup.h"
#include "store/msgdataset.h"
#include "store/msgutil.h"
#include "tests/support/messagefixture.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/testenv.h"
#include "ui/bubbleviewmgr.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTranslator>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <memory>
#include <vector>

namespace {

using Fixture = MessageFixture;

QString markup(const _MsgMessage &m)
{
    QString html;
    qint64 header = 0;
    appendMessageMarkup(html, m, header, viewAttachmentRefs());
    return html;
}

// The markup of one message without its date header.
QString body(const _MsgMessage &m)
{
    QString html = markup(m);
    html.remove(QRegularExpression(QStringLiteral("<div class=\"dt\">[^<]*</div>")));
    return html;
}

const QString kCells = QStringLiteral(
        "<div class=\"bb_bg top_left\"></div><div class=\"bb_bg top_middle\"></div>"
        "<div class=\"bb_bg top_right\"></div><div class=\"bb_bg middle_left\"></div>"
        "<div class=\"bb_bg middle_middle\"></div><div class=\"bb_bg middle_right\"></div>"
        "<div class=\"bb_bg bottom_left\"></div><div class=\"bb_bg bottom_middle\"></div>"
        "<div class=\"bb_bg bottom_right\"></div>");

// The decoded values of every href and src attribute of html, in order.
QStringList attributeValues(const QString &html, const QString &name)
{
    QStringList out;
    const QRegularExpression re(name + QStringLiteral("=\"([^\"]*)\""));
    for (auto it = re.globalMatch(html); it.hasNext();)
        out << QTextDocumentFragment::fromHtml(it.next().captured(1)).toPlainText();
    return out;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

void writeImage(const QString &path, int w, int h)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::blue);
    QVERIFY(img.save(path, "JPG"));
}

int count(const QString &html, const QString &what)
{
    return int(html.count(what));
}

} // namespace

class TestBubble : public QObject
{
    Q_OBJECT

    TestEnv env;

    bool webEngineUsable();
    bool waitLoaded(QSignalSpy &spy, int count = 1);
    QVariant evalJs(QWebEngineView &view, const QString &script);

    QTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&translator);
    }
    void bubbleBox();
    void imageLinks();
    void messageMarkup_data();
    void messageMarkup();
    void hostileNamesStayInTheirAttributes();
    void dateHeaders();
    void textAttachmentIsBounded();
    void textAttachmentsOfAMessageAreBounded();

    void pagingOfEmptyList();
    void pageBoundaries_data();
    void pageBoundaries();
    void pageNavigation();
    void scrollToRow();

    void linkChoosesOpenOrSave_data();
    void linkChoosesOpenOrSave();
    void linksOutsideTheShownAttachments();
    void missingAttachmentWarns();
    void savingAttachment();

    void rendersInWebView();
};

void TestBubble::bubbleBox()
{
    // A sent message of a one-to-one conversation: the whole markup.
    Fixture f;
    _MsgHandle *bob = f.handle("+15551234");
    _MsgChat *c = f.chat({bob});
    _MsgMessage *m = f.message(c, bob, "a<b", 1000, true);
    QCOMPARE(body(*m),
             QStringLiteral("<div class=\"bb2\">") + kCells
                     + "a&lt;b</div><div class=\"clear\"></div>");

    // With a label: the escaped label block first, received box.
    QCOMPARE(bubbleHtml("x", false, "Ann & <Bo>"),
             QStringLiteral("<div class=\"ct_left\">Ann &amp; &lt;Bo&gt;</div>"
                            "<div class=\"clear\"></div><div class=\"bb1\">")
                     + kCells + "x</div><div class=\"clear\"></div>");
}

void TestBubble::imageLinks()
{
    const QString dir = env.makeDir("imagelinks");
    const QString pic = dir + "/pic one.jpg";
    writeImage(pic, 10, 10);

    QCOMPARE(imageLinkHtml(dir + "/file.mov", pic, kBubbleImageAttrs),
             QStringLiteral("<a href=\"%1\"><img src=\"%2\" %3></a>")
                     .arg(QUrl::fromLocalFile(dir + "/file.mov").toString(QUrl::FullyEncoded),
                          QUrl::fromLocalFile(pic).toString(QUrl::FullyEncoded),
                          QString(kBubbleImageAttrs)));
    // No picture at the image path: the empty photo of the bubble folder.
    QCOMPARE(attributeValues(imageLinkHtml(dir + "/f.jpg", dir + "/gone.thumb", ""), "src"),
             QStringList {"bubble/empty_photo.jpg"});
    QCOMPARE(attributeValues(imageLinkHtml(dir + "/f.jpg", QString(), ""), "src"),
             QStringList {"bubble/empty_photo.jpg"});

    // The export's references are used as given, escaped as attribute values.
    QCOMPARE(exportImageLinkHtml("files/a.jpg", "files/a.thumb.jpg", kBubbleCardAttrs),
             QStringLiteral("<a href=\"files/a.jpg\"><img src=\"files/a.thumb.jpg\" "
                            "style=\"max-width:200px;max-height:200px\"></a>"));
    const QString hostile = exportImageLinkHtml("files/x\" onmouseover=\"alert(1)", "#", "");
    QVERIFY(!hostile.contains("\" onmouseover"));
    QCOMPARE(attributeValues(hostile, "href"), QStringList {"files/x\" onmouseover=\"alert(1)"});
}

enum Case {
    SentSms,
    SentIMessage,
    ReceivedOneToOne,
    GroupNoName,
    GroupWithName,
    GroupSent,
    GroupNoSenderHandle,
    SystemItem,
    SubjectOnly,
    Empty,
    TwoImages,
    UpperCaseImage,
    MissingThumbnail,
    VideoAudio,
    VCardDrawn,
    VCardUnreadable,
    PlainText,
    PlainTextMissing,
    PlainTextWithCharset,
    OtherType,
    TextAndAttachment,
    EmojiText,
    HostileText,
};

void TestBubble::messageMarkup_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("bubbles"); // bb1 + bb2 boxes
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");

    const QStringList noLabel {"ct_left"};
    QTest::newRow("sent sms") << int(SentSms) << 1 << QStringList {"class=\"bb2\"", "hello"}
                              << (noLabel + QStringList {"bb1"});
    QTest::newRow("sent iMessage, same shape")
            << int(SentIMessage) << 1 << QStringList {"class=\"bb2\"", "hello"} << noLabel;
    QTest::newRow("received one-to-one, no label")
            << int(ReceivedOneToOne) << 1 << QStringList {"class=\"bb1\""} << noLabel;
    QTest::newRow("group, sender without name shows its id")
            << int(GroupNoName) << 1 << QStringList {"<div class=\"ct_left\">+15550001</div>"}
            << QStringList {};
    QTest::newRow("group, sender's name without id")
            << int(GroupWithName) << 1 << QStringList {"<div class=\"ct_left\">Ann</div>"}
            << QStringList {"+15550001"};
    QTest::newRow("group, sent by the user: no label")
            << int(GroupSent) << 1 << QStringList {"class=\"bb2\""} << noLabel;
    QTest::newRow("group, no sender handle: no label")
            << int(GroupNoSenderHandle) << 1 << QStringList {"class=\"bb1\""} << noLabel;
    QTest::newRow("system item: the system line only")
            << int(SystemItem) << 0
            << QStringList {"<div class=\"sysif\">", "Added", "to the conversation."}
            << QStringList {"class=\"dt\"", "bb_bg"};
    QTest::newRow("subject and no text: one line, no break")
            << int(SubjectOnly) << 1 << QStringList {"&lt;Subject:Plans&gt;</div>"}
            << QStringList {"<br/>"};
    QTest::newRow("no text, no attachments: an empty bubble")
            << int(Empty) << 1 << QStringList {kCells + "</div>"} << QStringList {};
    QTest::newRow("two images, no text: two bubbles")
            << int(TwoImages) << 2 << QStringList {"max-width:120px;max-height:120px", ".thumb"}
            << QStringList {"empty_photo"};
    QTest::newRow("image type in capitals")
            << int(UpperCaseImage) << 1 << QStringList {"<img src=", "max-width:120px"}
            << QStringList {"[ATTACHMENT]"};
    QTest::newRow("image without thumbnail links the file, shows the empty photo")
            << int(MissingThumbnail) << 1
            << QStringList {"bubble/empty_photo.jpg", "href=\"file:///"} << QStringList {};
    QTest::newRow("video and audio links")
            << int(VideoAudio) << 2 << QStringList {">[VIDEO]</a>", ">[AUDIO]</a>"}
            << QStringList {};
    QTest::newRow("vCard drawn as a card")
            << int(VCardDrawn) << 1 << QStringList {"max-width:200px;max-height:200px", ".jpg\""}
            << QStringList {"[VCARD]"};
    QTest::newRow("vCard without card: a link")
            << int(VCardUnreadable) << 1 << QStringList {">[VCARD]</a>"} << QStringList {};
    QTest::newRow("plain text attachment shown escaped")
            << int(PlainText) << 1 << QStringList {"line 1<br/>&lt;two&gt;"}
            << QStringList {"<two>"};
    QTest::newRow("plain text attachment missing: no bubble")
            << int(PlainTextMissing) << 0 << QStringList {} << QStringList {"bb_bg"};
    QTest::newRow("plain text with a charset is any other file")
            << int(PlainTextWithCharset) << 1 << QStringList {">[ATTACHMENT]</a>"}
            << QStringList {};
    QTest::newRow("other type: attachment link")
            << int(OtherType) << 1 << QStringList {">[ATTACHMENT]</a>"} << QStringList {};
    QTest::newRow("text and an attachment: two bubbles, text first")
            << int(TextAndAttachment) << 2 << QStringList {"look</div>"} << QStringList {};
    QTest::newRow("emoji as pictures")
            << int(EmojiText) << 1 << QStringList {"hi <img src=\"emoji/1F604.png\" />"}
            << QStringList {};
    QTest::newRow("hostile text escaped")
            << int(HostileText) << 1
            << QStringList {"&lt;script&gt;alert(1)&lt;/script&gt;", "&lt;img src=x onerror=y&gt;"}
            << QStringList {"<script", "<img src=x"};
}

void TestBubble::messageMarkup()
{
    QFETCH(int, which);
    QFETCH(int, bubbles);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);

    const QString dir = env.makeDir(QStringLiteral("markup%1").arg(which));
    Fixture f;
    _MsgHandle *ann = f.handle("+15550001");
    _MsgHandle *bob = f.handle("+15550002");
    _MsgChat *single = f.chat({ann});
    _MsgChat *group = f.chat({ann, bob});
    _MsgMessage *m = nullptr;
    switch (Case(which)) {
    case SentSms:
        m = f.message(single, ann, "hello", 10, true);
        break;
    case SentIMessage:
        m = f.message(single, ann, "hello", 10, true);
        m->service = "iMessage";
        break;
    case ReceivedOneToOne:
        m = f.message(single, ann, "hi");
        break;
    case GroupNoName:
        m = f.message(group, ann, "hi");
        break;
    case GroupWithName:
        ann->contactName = "Ann";
        m = f.message(group, ann, "hi");
        break;
    case GroupSent:
        m = f.message(group, ann, "hi", 10, true);
        break;
    case GroupNoSenderHandle:
        m = f.message(group, nullptr, "hi");
        break;
    case SystemItem:
        m = f.message(group, ann, "");
        m->item_type = 1;
        m->otherHandle = bob;
        break;
    case SubjectOnly:
        m = f.message(single, ann, "  ");
        m->subject = "Plans";
        break;
    case Empty:
        m = f.message(single, ann, "");
        break;
    case TwoImages:
        m = f.message(single, ann, QString(QChar(0xFFFC)) + QChar(0xFFFC));
        writeImage(dir + "/a.jpg", 400, 300);
        writeImage(dir + "/b.jpg", 300, 400);
        f.attach(m, "image/jpeg", dir + "/a.jpg", 7);
        f.attach(m, "image/jpeg", dir + "/b.jpg", 8);
        break;
    case UpperCaseImage:
        m = f.message(single, ann, "");
        writeImage(dir + "/c.jpg", 50, 50);
        f.attach(m, "IMAGE/JPEG", dir + "/c.jpg");
        break;
    case MissingThumbnail:
        m = f.message(single, ann, "");
        f.attach(m, "image/png", dir + "/never-there.png");
        break;
    case VideoAudio:
        m = f.message(single, ann, "");
        f.attach(m, "video/quicktime", dir + "/v.mov", 1);
        f.attach(m, "Audio/AMR", dir + "/v.amr", 2);
        break;
    case VCardDrawn:
        m = f.message(single, ann, "");
        writeFile(dir + "/ann.vcf",
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nTEL:+15550001\r\nEND:VCARD\r\n");
        f.attach(m, "text/x-vCard", dir + "/ann.vcf");
        break;
    case VCardUnreadable:
        m = f.message(single, ann, "");
        f.attach(m, "text/vcard", dir + "/missing.vcf");
        break;
    case PlainText:
        m = f.message(single, ann, "");
        writeFile(dir + "/t.txt", "line 1\n<two>");
        f.attach(m, "text/plain", dir + "/t.txt");
        break;
    case PlainTextMissing:
        m = f.message(single, ann, "");
        f.attach(m, "text/plain", dir + "/nothing.txt");
        break;
    case PlainTextWithCharset:
        m = f.message(single, ann, "");
        writeFile(dir + "/t.txt", "x");
        f.attach(m, "text/plain; charset=utf-8", dir + "/t.txt");
        break;
    case OtherType:
        m = f.message(single, ann, "");
        f.attach(m, "application/pdf", dir + "/doc.pdf");
        break;
    case TextAndAttachment:
        m = f.message(single, ann, QStringLiteral("look") + QChar(0xFFFC));
        f.attach(m, "application/zip", dir + "/z.zip");
        break;
    case EmojiText:
        m = f.message(single, ann, QStringLiteral("hi \U0001F604"));
        break;
    case HostileText:
        m = f.message(single, ann, "<script>alert(1)</script><img src=x onerror=y>");
        break;
    }
    QVERIFY(m);

    const QString html = body(*m);
    QCOMPARE(count(html, "class=\"bb1\"") + count(html, "class=\"bb2\""), bubbles);
    QCOMPARE(count(html, "class=\"bb_bg "), bubbles * 9);
    for (const QString &p : present)
        QVERIFY2(html.contains(p), qPrintable(p + " missing in " + html));
    for (const QString &a : absent)
        QVERIFY2(!html.contains(a), qPrintable(a + " found in " + html));

    if (which == TextAndAttachment)
        QVERIFY(html.indexOf("look") < html.indexOf("[ATTACHMENT]"));
    if (which == TwoImages) {
        // Rowid order, each linked to its own file.
        QCOMPARE(attributeValues(html, "href"),
                 (QStringList {QUrl::fromLocalFile(dir + "/a.jpg").toString(QUrl::FullyEncoded),
                               QUrl::fromLocalFile(dir + "/b.jpg").toString(QUrl::FullyEncoded)}));
        // The thumbnails were made and fit 120 pixels.
        for (const QString &src : attributeValues(html, "src")) {
            const QImage thumb(QUrl(src).toLocalFile());
            QVERIFY(!thumb.isNull());
            QCOMPARE(qMax(thumb.width(), thumb.height()), 120);
        }
    }
    if (which == VCardDrawn) {
        const QString src = attributeValues(html, "src").value(0);
        QCOMPARE(QImage(QUrl(src).toLocalFile()).size(), QSize(200, 90));
    }
}

void TestBubble::hostileNamesStayInTheirAttributes()
{
    // File names from a phone may hold quotes, angle brackets, ampersands,
    // hashes and percent signs: every link must still lead to that file and
    // nothing may leave its attribute.
    const QString dir = env.makeDir("hostile");
    const QStringList names {
            "a\"><script>alert(1)</script>.mp4",
            "b' onclick='x.mov",
            "c&amp;d #1 ?q=%41.pdf",
            "ü😄 name.m4a",
    };
    Fixture f;
    _MsgHandle *h = f.handle("x@example.com", "Eve\" <b>");
    _MsgChat *c = f.chat({h, f.handle("y@example.com")});
    _MsgMessage *m = f.message(c, h, "");
    const QStringList mimes {"video/mp4", "video/quicktime", "application/pdf", "audio/mp4"};
    for (int i = 0; i < names.size(); ++i)
        f.attach(m, mimes[i], dir + "/" + names[i], i + 1);

    const QString html = markup(*m);
    QVERIFY(!html.contains("<script"));
    QVERIFY(!html.contains("onclick='"));
    QVERIFY(html.contains("<div class=\"ct_left\">Eve\" &lt;b&gt;</div>"));
    const QStringList hrefs = attributeValues(html, "href");
    QCOMPARE(hrefs.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        const QUrl url(hrefs[i]);
        QVERIFY(url.isLocalFile());
        QCOMPARE(url.toLocalFile(), dir + "/" + names[i]);
    }
}

void TestBubble::dateHeaders()
{
    Fixture f;
    _MsgHandle *h = f.handle("+1555");
    _MsgChat *c = f.chat({h});
    auto headers = [](const QList<_MsgMessage *> &list) {
        QString html;
        qint64 state = 0;
        for (const _MsgMessage *m : list)
            appendMessageMarkup(html, *m, state, viewAttachmentRefs());
        return count(html, "<div class=\"dt\">");
    };
    _MsgMessage *a = f.message(c, h, "a", 5000);
    _MsgMessage *b60 = f.message(c, h, "b", 5060);
    _MsgMessage *b61 = f.message(c, h, "c", 5061);
    QCOMPARE(headers({a, b60}), 1);
    QCOMPARE(headers({a, b61}), 2);
    // Newest first, as the list shows it when sorted the other way.
    QCOMPARE(headers({b61, a}), 2);
    QCOMPARE(headers({b60, a}), 1);

    // A system item neither writes nor resets the header.
    _MsgMessage *sys = f.message(c, h, "", 9000);
    sys->item_type = 3;
    QCOMPARE(headers({a, sys, b60}), 1);

    // The header's text: day, short month, year, 12-hour clock.
    _MsgMessage *pm = f.message(c, h, "x", 3600 * 15 + 5 * 60); // 2001-01-01 15:05 UTC
    QString html;
    qint64 state = 0;
    appendMessageMarkup(html, *pm, state, viewAttachmentRefs());
    QVERIFY2(html.startsWith("<div class=\"dt\">01 Jan 2001 3:05 PM</div>"), qPrintable(html));
    QCOMPARE(state, qint64(978307200 + 3600 * 15 + 5 * 60));
}

void TestBubble::textAttachmentIsBounded()
{
    const QString dir = env.makeDir("bigtext");
    writeFile(dir + "/big.txt", QByteArray(kBubbleMaxTextAttachment + 1000, 'x'));
    Fixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgMessage *m = f.message(f.chat({h}), h, "");
    f.attach(m, "text/plain", dir + "/big.txt", 1);
    f.attach(m, "text/plain", dir, 2); // a folder is no text file
    const QString html = body(*m);
    QCOMPARE(count(html, "class=\"bb1\""), 1);
    QVERIFY(html.size() < kBubbleMaxTextAttachment + 2000);
    QVERIFY(html.contains(QString(100, 'x') + " ..."));
}

void TestBubble::textAttachmentsOfAMessageAreBounded()
{
    // A message may list one big text file any number of times: the page
    // must not grow with them. The first ones are shown, the others are
    // links to the file.
    const QString dir = env.makeDir("manytexts");
    const QString file = dir + "/big.txt";
    writeFile(file, QByteArray(kBubbleMaxTextAttachment, 't'));
    Fixture f;
    _MsgHandle *h = f.handle("+1");
    _MsgMessage *m = f.message(f.chat({h}), h, "");
    const int n = 40;
    for (int i = 0; i < n; ++i)
        f.attach(m, "text/plain", file, i + 1);
    f.attach(m, "text/plain", dir + "/gone.txt", n + 1); // missing: no bubble, as before
    const QString html = body(*m);
    const int shown = int(kBubbleMaxTextPerMessage / kBubbleMaxTextAttachment);
    QVERIFY2(html.size() < kBubbleMaxTextPerMessage + 2 * kBubbleMaxTextAttachment,
             qPrintable(QString::number(html.size())));
    QCOMPARE(count(html, "class=\"bb1\""), n);
    QCOMPARE(count(html, QString(kBubbleMaxTextAttachment, 't')), shown);
    const QStringList links = attributeValues(html, "href");
    QCOMPARE(links.size(), n - shown);
    for (const QString &link : links)
        QCOMPARE(QUrl(link).toLocalFile(), file);
}

// ---- paging ----

static void makeMessages(Fixture &f, int n, qint32 step = 10)
{
    _MsgHandle *h = f.handle("+1555");
    _MsgChat *c = f.chat({h});
    for (int i = 0; i < n; ++i)
        f.message(c, h, QStringLiteral("message %1").arg(i), 100000 + i * step, i % 2);
}

void TestBubble::pagingOfEmptyList()
{
    BubbleViewMgr mgr;
    QCOMPARE(mgr.currentPage(), 0);
    QCOMPARE(mgr.pageCount(), 0);
    Fixture f;
    makeMessages(f, 3);
    mgr.showBubble(f.list());
    QCOMPARE(mgr.pageCount(), 1);
    mgr.showBubble(MsgMessageList());
    QCOMPARE(mgr.currentPage(), 0);
    QCOMPARE(mgr.pageCount(), 0);
    QSignalSpy rendered(&mgr, &BubbleViewMgr::pageRendered);
    mgr.previousPage();
    mgr.nextPage();
    mgr.lastPage();
    mgr.scrollToPos(0);
    QCOMPARE(rendered.count(), 0);
    QCOMPARE(mgr.currentPage(), 0);
    QVERIFY(mgr.pageHtml(1).isEmpty());
}

void TestBubble::pageBoundaries_data()
{
    QTest::addColumn<int>("messages");
    QTest::addColumn<QList<int>>("perPage");
    QTest::newRow("1") << 1 << QList<int> {1};
    QTest::newRow("50") << 50 << QList<int> {50};
    QTest::newRow("51") << 51 << QList<int> {50, 1};
    QTest::newRow("100") << 100 << QList<int> {50, 50};
    QTest::newRow("120") << 120 << QList<int> {50, 50, 20};
}

void TestBubble::pageBoundaries()
{
    QFETCH(int, messages);
    QFETCH(QList<int>, perPage);
    Fixture f;
    makeMessages(f, messages);
    BubbleViewMgr mgr;
    mgr.showBubble(f.list());
    QCOMPARE(mgr.pageCount(), perPage.size());
    QCOMPARE(mgr.currentPage(), 1);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("start"));
    QVERIFY(mgr.pageHtml(0).isEmpty());
    QVERIFY(mgr.pageHtml(perPage.size() + 1).isEmpty());

    int first = 0;
    for (int p = 1; p <= perPage.size(); ++p) {
        const QString html = mgr.pageHtml(p);
        QVERIFY(html.startsWith(
                "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\""));
        QVERIFY(html.contains(
                "<link href=\"bubble/style.css\" type=\"text/css\" rel=\"stylesheet\"/>"));
        QVERIFY(html.endsWith("<a name=\"end\"></a></body></html>"));
        QCOMPARE(html.contains("<a href=\"/pre_page\">&lt;&lt;Previous Page</a>"), p != 1);
        QCOMPARE(html.contains("<a href=\"/next_page\">&gt;&gt;Next Page</a>"),
                 p != perPage.size());
        // The page's messages, in list order, each after its anchor.
        QCOMPARE(count(html, "<a name=\"sms_"), perPage[p - 1]);
        qsizetype at = 0;
        for (int i = first; i < first + perPage[p - 1]; ++i) {
            const qsizetype next = html.indexOf(
                    QStringLiteral("<a name=\"sms_%1\"></a>").arg(f.messages[i]->ROWID), at);
            QVERIFY(next > at);
            at = next;
        }
        // Every page starts with a date header before its first bubble.
        const qsizetype dt = html.indexOf("<div class=\"dt\">");
        QVERIFY(dt > 0 && dt < html.indexOf("class=\"bb"));
        first += perPage[p - 1];
    }
}

void TestBubble::pageNavigation()
{
    Fixture f;
    makeMessages(f, 120);
    BubbleViewMgr mgr;
    QSignalSpy rendered(&mgr, &BubbleViewMgr::pageRendered);
    mgr.showBubble(f.list());
    QCOMPARE(rendered.takeFirst().at(0).toInt(), 1);

    mgr.previousPage(); // already on the first page
    QCOMPARE(rendered.count(), 0);

    mgr.nextPage();
    QCOMPARE(mgr.currentPage(), 2);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("start"));
    mgr.previousPage();
    QCOMPARE(mgr.currentPage(), 1);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("end"));
    mgr.lastPage();
    QCOMPARE(mgr.currentPage(), 3);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("end"));
    rendered.clear();
    mgr.nextPage(); // already on the last page
    QCOMPARE(rendered.count(), 0);
    mgr.firstPage();
    QCOMPARE(mgr.currentPage(), 1);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("start"));

    // The page links of a page lead to the same slots.
    const QUrl base = BubbleViewMgr::baseUrl();
    mgr.onLinkClicked(base.resolved(QUrl("/next_page")));
    QCOMPARE(mgr.currentPage(), 2);
    mgr.onLinkClicked(base.resolved(QUrl("/pre_page")));
    QCOMPARE(mgr.currentPage(), 1);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("end"));

    // A new list starts again at its first page.
    Fixture g;
    makeMessages(g, 60);
    mgr.lastPage();
    mgr.showBubble(g.list());
    QCOMPARE(mgr.currentPage(), 1);
    QCOMPARE(mgr.pageCount(), 2);
}

void TestBubble::scrollToRow()
{
    Fixture f;
    makeMessages(f, 120);
    BubbleViewMgr mgr;
    mgr.showBubble(f.list());
    QSignalSpy rendered(&mgr, &BubbleViewMgr::pageRendered);

    mgr.scrollToPos(10); // on the shown page: no new page
    QCOMPARE(rendered.count(), 0);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("sms_%1").arg(f.messages[10]->ROWID));

    mgr.scrollToPos(50);
    QCOMPARE(rendered.count(), 1);
    QCOMPARE(mgr.currentPage(), 2);
    QCOMPARE(mgr.pendingAnchor(), QStringLiteral("sms_%1").arg(f.messages[50]->ROWID));
    mgr.scrollToPos(49);
    QCOMPARE(mgr.currentPage(), 1);
    mgr.scrollToPos(119);
    QCOMPARE(mgr.currentPage(), 3);

    rendered.clear();
    mgr.scrollToPos(-1);
    mgr.scrollToPos(120);
    QCOMPARE(rendered.count(), 0);
    QCOMPARE(mgr.currentPage(), 3);
}

// ---- links ----

struct LinkHarness
{
    Fixture f;
    BubbleViewMgr mgr;
    QStringList opened;
    QStringList asked;
    QString saveAnswer;

    LinkHarness()
    {
        mgr.setFileOpener([this](const QString &p) { opened << p; });
        mgr.setSaveAsker([this](const QString &title, const QString &proposed) {
            asked << title + "|" + proposed;
            return saveAnswer;
        });
    }
    // Shows one message with attachments at these paths.
    void show(const QStringList &paths)
    {
        _MsgHandle *h = f.handle("+1");
        _MsgMessage *m = f.message(f.chat({h}), h, "");
        int row = 1;
        for (const QString &p : paths)
            f.attach(m, "application/octet-stream", p, row++);
        mgr.showBubble(f.list());
    }
};

void TestBubble::linkChoosesOpenOrSave_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("opened");
    QTest::newRow("jpg") << "p.jpg" << true;
    QTest::newRow("JPG, as phones name photos") << "IMG_0001.JPG" << true;
    QTest::newRow("jpeg") << "p.jpeg" << true;
    QTest::newRow("mov") << "clip.mov" << true;
    QTest::newRow("mp3") << "a.mp3" << true;
    QTest::newRow("gif") << "a.b.gif" << true;
    QTest::newRow("txt") << "note.txt" << false;
    QTest::newRow("mpeg") << "v.mpeg" << false;
    QTest::newRow("mp: part of a word is no suffix") << "v.mp" << false;
    QTest::newRow("g") << "v.g" << false;
    QTest::newRow("no suffix") << "program" << false;
    QTest::newRow("trailing dot") << "file." << false;
    QTest::newRow("desktop entry") << "x.desktop" << false;
}

void TestBubble::linkChoosesOpenOrSave()
{
    QFETCH(QString, name);
    QFETCH(bool, opened);
    const QString path = env.makeDir("links") + "/" + name;
    writeFile(path, "data");
    LinkHarness h;
    h.show({path});
    h.mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QCOMPARE(h.opened, opened ? QStringList {path} : QStringList {});
    QCOMPARE(h.asked.size(), opened ? 0 : 1); // the save dialog; its answer is empty: cancelled
    if (!opened)
        QCOMPARE(h.asked[0], "Save Attachment|" + QDir::home().absoluteFilePath(name));
}

void TestBubble::linksOutsideTheShownAttachments()
{
    const QString dir = env.makeDir("outside");
    writeFile(dir + "/shown.jpg", "x");
    writeFile(dir + "/other.jpg", "x");
    writeFile(dir + "/sub/evil.sh", "#!/bin/sh\n");
    LinkHarness h;
    h.show({dir + "/shown.jpg"});
    ModalAnswerer answerer;
    answerer.setStuckTimeout(2000);

    const QList<QUrl> ignored {
            QUrl::fromLocalFile(dir + "/other.jpg"),
            QUrl::fromLocalFile(dir + "/sub/evil.sh"),
            QUrl::fromLocalFile("/etc/passwd"),
            QUrl::fromLocalFile(QCoreApplication::applicationDirPath()),
            QUrl("javascript:alert(1)"),
            QUrl("http://example.com/shown.jpg"),
            QUrl("data:text/html,<b>x</b>"),
    };
    for (const QUrl &u : ignored)
        h.mgr.onLinkClicked(u);
    QVERIFY(h.opened.isEmpty());
    QVERIFY(h.asked.isEmpty());
    QVERIFY(answerer.seen().isEmpty());

    // The shown one opens, also when the link spells it with dot segments.
    h.mgr.onLinkClicked(QUrl::fromLocalFile(dir + "/sub/../shown.jpg"));
    QCOMPARE(h.opened, QStringList {dir + "/shown.jpg"});
}

void TestBubble::missingAttachmentWarns()
{
    const QString dir = env.makeDir("missing");
    const QString gone = dir + "/gone <b>bold</b>.jpg";
    const QString plain = dir + "/gone.mov";
    LinkHarness h;
    h.show({gone, plain});
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk").press("QMessageBox", "btnOk");
    h.mgr.onLinkClicked(QUrl::fromLocalFile(plain));
    h.mgr.onLinkClicked(QUrl::fromLocalFile(gone));
    QCOMPARE(answerer.seen().size(), 2);
    QCOMPARE(answerer.seen()[0].text, "can not find " + plain + ".");
    QCOMPARE(answerer.seen()[0].icon, int(QMessageBox::Warning));
    // A name that looks like markup is shown as the text it is.
    QCOMPARE(QTextDocumentFragment::fromHtml(answerer.seen()[1].text).toPlainText(),
             "can not find " + gone + ".");
    QVERIFY(h.opened.isEmpty());
    QVERIFY(h.asked.isEmpty());
}

void TestBubble::savingAttachment()
{
    const QString dir = env.makeDir("save");
    const QString src = dir + "/report.pdf";
    writeFile(src, "attachment bytes");
    LinkHarness h;
    h.show({src});
    ModalAnswerer answerer;

    // Onto an existing file: replaced, success box.
    const QString target = dir + "/out/existing.pdf";
    writeFile(target, "old content that is longer");
    h.saveAnswer = target;
    answerer.press("QMessageBox", "btnOk");
    h.mgr.onLinkClicked(QUrl::fromLocalFile(src));
    QCOMPARE(answerer.seen().value(0).text, QStringLiteral("Attachment saved successfully."));
    QFile t(target);
    QVERIFY(t.open(QIODevice::ReadOnly));
    QCOMPARE(t.readAll(), QByteArray("attachment bytes"));
    t.close();

    // Onto the attachment itself: it stays whole.
    h.saveAnswer = src;
    answerer.press("QMessageBox", "btnOk");
    h.mgr.onLinkClicked(QUrl::fromLocalFile(src));
    QCOMPARE(answerer.seen().value(1).text, QStringLiteral("Attachment saved successfully."));
    QFile s(src);
    QVERIFY(s.open(QIODevice::ReadOnly));
    QCOMPARE(s.readAll(), QByteArray("attachment bytes"));

    // Into a folder that does not exist: the error box, nothing written.
    h.saveAnswer = dir + "/no/such/folder/x.pdf";
    answerer.press("QMessageBox", "btnOk");
    h.mgr.onLinkClicked(QUrl::fromLocalFile(src));
    QVERIFY(answerer.seen().value(2).text.contains("Failed to save attachment."));
    QCOMPARE(answerer.seen().value(2).icon, int(QMessageBox::Critical));
    QVERIFY(!QFileInfo::exists(h.saveAnswer));

    // Cancelled: no box at all.
    h.saveAnswer.clear();
    h.mgr.onLinkClicked(QUrl::fromLocalFile(src));
    QCOMPARE(answerer.seen().size(), 3);
    QCOMPARE(h.asked.size(), 4);
}

// ---- in a web view ----

bool TestBubble::webEngineUsable()
{
    static int usable = -1;
    if (usable < 0) {
        QWebEngineView view;
        QSignalSpy loaded(&view, &QWebEngineView::loadFinished);
        view.setHtml("<p>x</p>");
        usable = loaded.wait(20000) && loaded.at(0).at(0).toBool() ? 1 : 0;
    }
    return usable == 1;
}

bool TestBubble::waitLoaded(QSignalSpy &spy, int n)
{
    QElapsedTimer t;
    t.start();
    while (spy.count() < n && t.elapsed() < 20000)
        spy.wait(500);
    return spy.count() >= n;
}

QVariant TestBubble::evalJs(QWebEngineView &view, const QString &script)
{
    QVariant result;
    bool done = false;
    view.page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant &v) {
        result = v;
        done = true;
    });
    QElapsedTimer t;
    t.start();
    while (!done && t.elapsed() < 10000)
        QTest::qWait(20);
    return result;
}

static qsizetype mgrPageBytes(const MsgMessageList &list, int page)
{
    BubbleViewMgr mgr;
    mgr.showBubble(list);
    return mgr.pageHtml(page).toUtf8().size();
}

void TestBubble::rendersInWebView()
{
    if (!webEngineUsable())
        QSKIP("the web engine does not start here");

    const QString dir = env.makeDir("web");
    Fixture f;
    makeMessages(f, 51);
    // Long text attachments on the first page: too big to be given from memory.
    writeFile(dir + "/long.txt", QByteArray(kBubbleMaxTextAttachment, 'y'));
    for (int i = 0; i < 10; ++i)
        f.attach(f.messages[3 + i].get(), "text/plain", dir + "/long.txt");
    QVERIFY(mgrPageBytes(f.list(), 1) > 2 * 1024 * 1024);
    QVERIFY(mgrPageBytes(f.list(), 2) < BubbleViewMgr::kMaxInlinePageBytes);
    // Hostile text must stay text.
    f.messages[5]->text = "<script>document.title='owned'</script><b id=bold>b</b>";
    // An attachment near the end of the first page.
    writeFile(dir + "/clip.mp4", "x");
    f.attach(f.messages[48].get(), "video/mp4", dir + "/clip.mp4");

    QWebEngineView view;
    view.resize(500, 400);
    view.show();
    BubbleViewMgr mgr;
    mgr.setWebView(&view);
    QStringList opened;
    mgr.setFileOpener([&](const QString &p) { opened << p; });
    auto js = [&](const QString &script) { return evalJs(view, script); };
    auto anchors = [&](int rowid) {
        return js(QStringLiteral("document.getElementsByName('sms_%1').length").arg(rowid)).toInt();
    };

    mgr.showBubble(f.list());
    QTRY_COMPARE_WITH_TIMEOUT(anchors(1), 1, 20000);
    QCOMPARE(anchors(51), 0);
    QCOMPARE(js("document.getElementById('bold') === null").toBool(), true);
    QCOMPARE(js("document.title").toString(), QStringLiteral("Bubble"));
    QCOMPARE(js("document.body.innerText.indexOf('yyyyyyyy') >= 0").toBool(), true);
    // Relative references lead into the program's folder, for a page from a
    // file as for one from memory.
    const QString styleUrl
            = BubbleViewMgr::baseUrl().toString(QUrl::FullyEncoded) + "bubble/style.css";
    QCOMPARE(js("document.querySelector('link').href").toString(), styleUrl);

    // The next-page link, clicked in the page: page 2 at its start.
    js("document.querySelector('a[href=\"/next_page\"]').click(); 1");
    QTRY_COMPARE_WITH_TIMEOUT(anchors(51), 1, 20000);
    QCOMPARE(mgr.currentPage(), 2);
    QCOMPARE(anchors(1), 0);
    QCOMPARE(js("document.querySelector('link').href").toString(), styleUrl);

    // Back to the first page, scrolled to a message far down.
    mgr.scrollToPos(45);
    QTRY_COMPARE_WITH_TIMEOUT(anchors(1), 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(js("window.scrollY").toDouble() > 0, 20000);

    // A click on an attachment link comes to the manager, and the page stays
    // where the user has scrolled it.
    js("window.scrollTo(0, 0); 1");
    QTRY_COMPARE(js("window.scrollY").toDouble(), 0.0);
    js("document.querySelector('a[href^=\"file:\"][href$=\"clip.mp4\"]').click(); 1");
    QTRY_COMPARE(opened, QStringList {dir + "/clip.mp4"});
    QTest::qWait(300);
    QCOMPARE(js("window.scrollY").toDouble(), 0.0);
    QCOMPARE(anchors(1), 1);

    // An empty list leaves an empty document.
    mgr.showBubble(MsgMessageList());
    QTRY_COMPARE_WITH_TIMEOUT(js("document.getElementsByTagName('a').length").toInt(), 0, 20000);
}

QTEST_MAIN(TestBubble)
#include "tst_bubble.moc"
