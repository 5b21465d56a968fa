#include "jobs/bubblemarkup.h"
#include "jobs/exportmessagespdf.h"
#include "jobs/messagepainter.h"
#include "jobs/mmsprinter.h"
#include "store/msgutil.h"
#include "tests/support/messagefixture.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGlyphRun>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QRawFont>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QThread>
#include <QTranslator>
#include <QtTest>

#include <stdexcept>
#include <sys/stat.h>

namespace {

constexpr qint32 kDay = 400000000; // an iOS date in 2013

// Pages painted on one image: every page is kept when the next begins.
struct ImagePages
{
    QImage image;
    QList<QImage> done;
    MessagePainter p;

    explicit ImagePages(QSize size = QSize(420, 320), QRect content = QRect(20, 20, 380, 260))
        : image(size, QImage::Format_ARGB32_Premultiplied)
    {
        image.fill(Qt::white);
        p.begin(&image, content, [this] {
            done.append(image.copy());
            p.painter.fillRect(image.rect(), Qt::white);
            return true;
        });
    }
};

bool isBackground(QRgb c)
{
    return QColor(c) == pageBackgroundColor;
}

// Whether any pixel of the rectangle differs from colour.
bool anyOther(const QImage &image, const QRect &r, const QColor &colour)
{
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (QColor(image.pixel(x, y)) != colour)
                return true;
    return false;
}

struct PdfFacts
{
    bool valid = false;
    int pages = -1;
};

// Reads the header, the end-of-file mark and the page count of the page tree.
PdfFacts readPdf(const QString &path)
{
    PdfFacts facts;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return facts;
    const QByteArray data = f.readAll();
    facts.valid = data.startsWith("%PDF-1.") && data.right(32).contains("%%EOF")
            && data.contains("startxref") && data.contains("/Type /Catalog");
    const QRegularExpressionMatch m
            = QRegularExpression("/Type /Pages\\s*/Kids\\s*\\[[^\\]]*\\]\\s*/Count (\\d+)")
                      .match(QString::fromLatin1(data));
    if (m.hasMatch())
        facts.pages = m.captured(1).toInt();
    return facts;
}

// Files of a folder, hidden ones included.
QStringList folderEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QString writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return QString();
    return path;
}

QString writeImage(const QString &path, QSize size, const char *format, QColor colour = Qt::red)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image.save(path, format) ? path : QString();
}

} // namespace

class TestPainter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstUseFromTwoThreads();
    void ensureSpace_data();
    void ensureSpace();
    void pagesBackgroundAndNumbers();
    void dateHeaders_data();
    void dateHeaders();
    void firstHeaderWhateverTheDate_data();
    void firstHeaderWhateverTheDate();
    void headerAndLabelStayWithBubble_data();
    void headerAndLabelStayWithBubble();
    void bubbleSizes();
    void messageLayout_data();
    void messageLayout();
    void systemItem();
    void sentAndReceivedSides();
    void longTextSplitsAcrossPages();
    void frameStretchKeepsCorners_data();
    void frameStretchKeepsCorners();
    void pdfKeepsTextAndFramesAsVectors();
    void pdfDrawsColourEmojiAsPictures();
    void pdfEmptyDocument();
    void pdfSeveralPages();
    void pdfFailures();
    void hostileContent_data();
    void hostileContent();
    void printPath();
    void printPreviewSortsOldestFirst();

private:
    std::unique_ptr<TestEnv> m_env;
    QTemporaryDir m_dir;
    QTranslator m_translator;
};

void TestPainter::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    QVERIFY(m_dir.isValid());
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    // The placeholder picture of unreadable images lies in bin/bubble.
    const QByteArray bin = qgetenv("PEL_TEST_BIN");
    if (!bin.isEmpty())
        QDir::setCurrent(QString::fromLocal8Bit(bin));
}

void TestPainter::firstUseFromTwoThreads()
{
    // The bubble pictures and font are made on first use, from whichever
    // thread comes first; both threads must get the same complete pictures.
    QImage a, b;
    QThread *t1 = QThread::create([&] { a = textBubble("first use", 300, true); });
    QThread *t2 = QThread::create([&] { b = textBubble("first use", 300, true); });
    t1->start();
    t2->start();
    QVERIFY(t1->wait(60000));
    QVERIFY(t2->wait(60000));
    delete t1;
    delete t2;
    QVERIFY(!a.isNull());
    QCOMPARE(a, b);
    QCOMPARE(a, textBubble("first use", 300, true));

    // The export job writes its PDF files in its own thread.
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    for (int i = 0; i < 30; ++i)
        fx.message(chat, ann, QString("from a worker %1").arg(i), kDay + i * 61, i % 2);
    const QString path = m_dir.filePath("worker.pdf");
    QString error;
    QThread *job = QThread::create([&] {
        try {
            ExportMessagesPdf pdf(path);
            pdf.begin();
            for (_MsgMessage *m : fx.list())
                pdf.write(m);
            pdf.end();
        } catch (const std::exception &e) {
            error = QString::fromUtf8(e.what());
        }
    });
    job->start();
    QVERIFY(job->wait(120000));
    delete job;
    QCOMPARE(error, QString());
    const PdfFacts facts = readPdf(path);
    QVERIFY(facts.valid);
    QVERIFY(facts.pages >= 2);
}

void TestPainter::ensureSpace_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("y");
    // Content (20, 20) 380 x 260: bottom row 279.
    QTest::newRow("exact fit") << 160 << 100 << 1 << 180;
    QTest::newRow("one unit more") << 160 << 101 << 2 << 20;
    QTest::newRow("at the top, whole page") << 0 << 260 << 1 << 20;
    QTest::newRow("below the content") << 300 << 1 << 2 << 20;
    QTest::newRow("zero height at the last row") << 259 << 0 << 1 << 279;
}

void TestPainter::ensureSpace()
{
    QFETCH(int, offset);
    QFETCH(int, height);
    QFETCH(int, page);
    QFETCH(int, y);
    ImagePages pages;
    pages.p.y = pages.p.content.top() + offset;
    pages.p.ensureSpace(height);
    QCOMPARE(pages.p.page, page);
    QCOMPARE(pages.done.size(), page - 1);
    if (page == 1)
        QCOMPARE(pages.p.y - pages.p.content.top(), offset);
    else
        QCOMPARE(pages.p.y, y);
}

void TestPainter::pagesBackgroundAndNumbers()
{
    ImagePages pages;
    const QRect c = pages.p.content;
    QCOMPARE(pages.p.page, 1);
    QCOMPARE(pages.p.y, c.top());
    pages.p.y = c.bottom();
    pages.p.ensureSpace(2);
    QCOMPARE(pages.p.page, 2);
    pages.p.end();

    const QList<QImage> all {pages.done.at(0), pages.image};
    for (const QImage &img : all) {
        QVERIFY(isBackground(img.pixel(c.left(), c.top())));
        QVERIFY(isBackground(img.pixel(c.right(), c.bottom())));
        QVERIFY(!isBackground(img.pixel(c.left() - 1, c.top())));
        // The number sits right-aligned in the 18 rows starting 2 below the content.
        const QRect numberRow(c.left(), c.bottom() + 2, c.width(), 18);
        QVERIFY(anyOther(img, QRect(c.right() - 20, numberRow.top(), 21, 18), Qt::white));
        QVERIFY(!anyOther(img, QRect(c.left(), numberRow.top(), c.width() / 2, 18), Qt::white));
        QVERIFY(!anyOther(img, QRect(c.left(), c.bottom() + 1, c.width(), 1), Qt::white));
    }
    // Page 1 and page 2 show different numbers.
    const QRect number(c.right() - 20, c.bottom() + 2, 21, 18);
    QVERIFY(pages.done.at(0).copy(number) != pages.image.copy(number));
}

void TestPainter::dateHeaders_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<bool>("pageBreak");
    QTest::addColumn<int>("headers");
    QTest::newRow("61 seconds") << 61 << false << 2;
    QTest::newRow("60 seconds") << 60 << false << 1;
    QTest::newRow("0 seconds") << 0 << false << 1;
    QTest::newRow("60 seconds over a page break") << 60 << true << 1;
    QTest::newRow("61 seconds over a page break") << 61 << true << 2;
    QTest::newRow("older than the last header") << -3600 << false << 1;
}

void TestPainter::dateHeaders()
{
    QFETCH(int, gap);
    QFETCH(bool, pageBreak);
    QFETCH(int, headers);
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    _MsgMessage *first = fx.message(chat, ann, "a", kDay);
    _MsgMessage *second = fx.message(chat, ann, "b", kDay + gap);

    ImagePages pages(QSize(420, 1000), QRect(20, 20, 380, 900));
    pages.p.paintMessage(first);
    QCOMPARE(pages.p.lastHeaderTime, qint64(kDay) + kIosEpochOffset);
    if (pageBreak) {
        pages.p.ensureSpace(10000);
        QCOMPARE(pages.p.page, 2);
    }
    const int before = pages.p.y;
    pages.p.paintMessage(second);
    const int bubble
            = textBubble("b", pages.p.maxBubbleWidth(), false).height() + messagepaint::kBubbleGap;
    QCOMPARE(pages.p.y - before, bubble + (headers == 2 ? messagepaint::kHeaderHeight : 0));
}

void TestPainter::firstHeaderWhateverTheDate_data()
{
    QTest::addColumn<qint32>("date"); // iOS seconds
    QTest::newRow("2013") << kDay;
    QTest::newRow("1970-01-01 00:00:30") << qint32(-978307200 + 30);
    QTest::newRow("1969") << qint32(-1000000000);
    QTest::newRow("1950") << qint32(-1600000000);
}

void TestPainter::firstHeaderWhateverTheDate()
{
    // The printout and the HTML page agree: the first message of a document
    // gets its date header, however old it is.
    QFETCH(qint32, date);
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    _MsgMessage *m = fx.message(chat, ann, "old", date);

    ImagePages pages;
    pages.p.paintMessage(m);
    QCOMPARE(pages.p.lastHeaderTime, qint64(date) + kIosEpochOffset);
    const int bubble = textBubble("old", pages.p.maxBubbleWidth(), false).height();
    QCOMPARE(pages.p.y - pages.p.content.top(),
             messagepaint::kHeaderHeight + bubble + messagepaint::kBubbleGap);
    // Ink in the header's row.
    const QRect c = pages.p.content;
    QVERIFY(anyOther(pages.image, QRect(c.left(), c.top(), c.width(), 22), pageBackgroundColor));

    QString html;
    qint64 state = kNoDateHeader;
    appendMessageMarkup(html, *m, state, viewAttachmentRefs());
    QCOMPARE(html.count("<div class=\"dt\">"), 1);
    QCOMPARE(state, pages.p.lastHeaderTime);
}

void TestPainter::headerAndLabelStayWithBubble_data()
{
    // room: what is left on page 1 before the message; the bubble (52
    // units) does not fit there, what stands above it would.
    QTest::addColumn<bool>("header");
    QTest::addColumn<bool>("group");
    QTest::newRow("date header") << true << false;
    QTest::newRow("sender label") << false << true;
    QTest::newRow("date header and sender label") << true << true;
}

void TestPainter::headerAndLabelStayWithBubble()
{
    QFETCH(bool, header);
    QFETCH(bool, group);
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgHandle *bob = fx.handle("+15550102", "Bob");
    _MsgChat *chat = group ? fx.chat({ann, bob}) : fx.chat({ann});
    _MsgMessage *first = fx.message(chat, ann, "first", kDay);
    _MsgMessage *second = fx.message(chat, ann, "second", header ? kDay + 3600 : kDay + 5);

    ImagePages pages;
    pages.p.paintMessage(first);
    const int above = (header ? messagepaint::kHeaderHeight : 0)
            + (group ? messagepaint::kLabelHeight : 0);
    const QRect c = pages.p.content;
    // Leave room for what goes above the bubble and a little more.
    pages.p.y = c.bottom() + 1 - (above + 20);
    const int before = pages.p.y;
    pages.p.paintMessage(second);

    QCOMPARE(pages.p.page, 2);
    const int bubble = textBubble("second", pages.p.maxBubbleWidth(), false).height();
    QCOMPARE(pages.p.y - c.top(), above + bubble + messagepaint::kBubbleGap);
    // Nothing of the message was left at the foot of page 1.
    QCOMPARE(pages.done.size(), 1);
    QVERIFY(!anyOther(pages.done.at(0), QRect(c.left(), before, c.width(), c.bottom() + 1 - before),
                      pageBackgroundColor));
    // On page 2 the header or label is ink above the bubble.
    QVERIFY(anyOther(pages.image, QRect(c.left(), c.top(), c.width(), above), pageBackgroundColor));
}

void TestPainter::bubbleSizes()
{
    const QImage one = textBubble("Hello", 500, false);
    QVERIFY(one.width() >= messagepaint::kMinBubbleWidth);
    QCOMPARE(one.height(), messagepaint::kMinBubbleHeight);
    QCOMPARE(textBubble("", 500, true).size(), QSize(90, 52));
    // Wrapped text stays within the width and grows downwards.
    const QImage wrapped = textBubble(QString("word ").repeated(200), 300, true);
    QVERIFY(wrapped.width() <= 300);
    QVERIFY(wrapped.height() > 100);

    QImage small(10, 10, QImage::Format_RGB32);
    small.fill(Qt::red);
    QCOMPARE(imageBubble(small, false).size(), QSize(90, 52));
    QImage wide(100, 40, QImage::Format_RGB32);
    wide.fill(Qt::red);
    for (bool sent : {false, true}) {
        const QImage b = imageBubble(wide, sent);
        QCOMPARE(b.size(), QSize(150, 70));
        // The picture fills 100 x 50 units from (20 or 30, 10).
        const int left = sent ? 20 : 30;
        QCOMPARE(QColor(b.pixel(left + 50, 10 + 47)), QColor(Qt::red));
        QVERIFY(QColor(b.pixel(left + 50, 10 + 52)) != QColor(Qt::red));
        QVERIFY(QColor(b.pixel(left + 50, 8)) != QColor(Qt::red));
    }
    QVERIFY(imageBubble(QImage(), true).isNull());
}

void TestPainter::messageLayout_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("advance"); // y moved by the message after its date header

    const int gap = messagepaint::kBubbleGap;
    const int label = messagepaint::kLabelHeight;
    // A 40 x 30 picture has a 120 x 90 thumbnail: a 170 x 120 bubble.
    QTest::newRow("no text, no attachment: an empty bubble") << "empty" << 52 + gap;
    QTest::newRow("group, received, two images: name before each")
            << "group2images" << 2 * (label + 120 + gap);
    QTest::newRow("group, sent, image: no name") << "groupSentImage" << 120 + gap;
    QTest::newRow("one-to-one, received, image") << "image" << 120 + gap;
    QTest::newRow("video tag") << "video/mp4" << 52 + gap;
    QTest::newRow("audio tag") << "AUDIO/AMR" << 52 + gap;
    QTest::newRow("other attachment tag") << "application/pdf" << 52 + gap;
    QTest::newRow("contact card picture") << "vcard" << 90 + 30 + gap;
    QTest::newRow("unreadable contact card") << "badvcard" << 52 + gap;
    QTest::newRow("text file shown") << "textfile" << 52 + gap;
    QTest::newRow("missing text file: only the gap") << "missingtext" << gap;
    QTest::newRow("broken image: placeholder picture") << "brokenimage" << 120 + gap;
    QTest::newRow("text and image") << "textAndImage" << 52 + gap + 120 + gap;
}

void TestPainter::messageLayout()
{
    QFETCH(QString, kind);
    QFETCH(int, advance);
    const QString dir = m_dir.filePath(QString("layout-%1").arg(QString::number(qHash(kind))));
    QVERIFY(QDir().mkpath(dir));
    const QString picture = writeImage(dir + "/p.png", QSize(40, 30), "PNG");
    QVERIFY(!picture.isEmpty());

    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgHandle *bob = fx.handle("+15550102");
    _MsgChat *group = fx.chat({ann, bob});
    _MsgChat *single = fx.chat({ann});
    _MsgMessage *m = nullptr;
    if (kind == "empty") {
        m = fx.message(single, ann, "");
    } else if (kind == "group2images") {
        m = fx.message(group, bob, "");
        fx.attach(m, "image/png", picture);
        fx.attach(m, "image/png", writeImage(dir + "/q.png", QSize(40, 30), "PNG"));
    } else if (kind == "groupSentImage") {
        m = fx.message(group, nullptr, "", kDay, true);
        fx.attach(m, "image/png", picture);
    } else if (kind == "image") {
        m = fx.message(single, ann, "  \n ");
        fx.attach(m, "IMAGE/PNG", picture);
    } else if (kind == "vcard" || kind == "badvcard") {
        m = fx.message(single, ann, "");
        const QByteArray card = kind == "vcard"
                ? "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Lee\r\nTEL:+15550101\r\nEND:VCARD\r\n"
                : QByteArray("not a card");
        fx.attach(m, "text/X-VCARD", writeFile(dir + "/c.vcf", card));
    } else if (kind == "textfile") {
        m = fx.message(single, ann, "");
        fx.attach(m, "text/plain", writeFile(dir + "/t.txt", "short note"));
    } else if (kind == "missingtext") {
        m = fx.message(single, ann, "");
        fx.attach(m, "text/plain", dir + "/absent.txt");
    } else if (kind == "brokenimage") {
        m = fx.message(single, ann, "");
        fx.attach(m, "image/jpeg",
                  writeFile(dir + "/b.jpg", QByteArray("\xff\xd8\xff\xe0 broken", 12)));
    } else if (kind == "textAndImage") {
        m = fx.message(single, ann, "hello");
        fx.attach(m, "image/png", picture);
    } else {
        m = fx.message(single, ann, "");
        fx.attach(m, kind, dir + "/x.bin");
    }
    ImagePages pages(QSize(800, 1200), QRect(20, 20, 700, 1100));
    pages.p.paintMessage(m);
    QCOMPARE(pages.p.y - pages.p.content.top() - messagepaint::kHeaderHeight, advance);
    QCOMPARE(pages.p.page, 1);
}

void TestPainter::systemItem()
{
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    _MsgMessage *m = fx.message(chat, ann, "ignored", kDay);
    m->item_type = 2;
    m->group_title = "Weekend \xF0\x9F\x98\x80 plans";
    ImagePages pages;
    const QFont before = pages.p.painter.font();
    pages.p.paintMessage(m);
    QCOMPARE(pages.p.painter.font().pointSize(), 12);
    QCOMPARE(pages.p.painter.font(), before);
    QCOMPARE(pages.p.lastHeaderTime, kNoDateHeader); // no date header, no bubble
    const int advance = pages.p.y - pages.p.content.top();
    QVERIFY(advance > 8 && advance < 60);
    // The line is centred: ink on both sides of the middle, none at the edges.
    const QRect c = pages.p.content;
    QVERIFY(!anyOther(pages.image, QRect(c.left(), c.top(), 6, advance), pageBackgroundColor));
    QVERIFY(anyOther(pages.image, QRect(c.center().x() - 20, c.top(), 40, advance),
                     pageBackgroundColor));
    // The next ordinary message gets its date header and a bubble.
    _MsgMessage *next = fx.message(chat, ann, "after", kDay + 5);
    pages.p.paintMessage(next);
    QVERIFY(pages.p.lastHeaderTime > 0);
}

void TestPainter::sentAndReceivedSides()
{
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    for (bool sent : {false, true}) {
        _MsgMessage *m = fx.message(chat, ann, "side", kDay, sent);
        ImagePages pages;
        const QRect c = pages.p.content;
        pages.p.paintMessage(m);
        const QImage bubble = textBubble("side", pages.p.maxBubbleWidth(), sent);
        const int top = c.top() + messagepaint::kHeaderHeight;
        const QRect expected(sent ? c.right() - bubble.width() : c.left(), top, bubble.width(),
                             bubble.height());
        QCOMPARE(pages.image.copy(expected), bubble.convertToFormat(pages.image.format()));
        // Nothing else painted in the bubble's rows.
        const QRect rest = sent
                ? QRect(c.left(), top, expected.left() - c.left(), bubble.height())
                : QRect(expected.right() + 1, top, c.right() - expected.right(), bubble.height());
        QVERIFY(!anyOther(pages.image, rest, pageBackgroundColor));
    }
}

void TestPainter::longTextSplitsAcrossPages()
{
    // A text taller than a page is cut into bubbles of at most a page each,
    // and nothing of it is lost below the page's edge.
    const QString text = QString("line of words\n").repeated(200).trimmed();
    const QList<QImage> bubbles = textBubbles(text, 380, false, 260);
    QVERIFY(bubbles.size() > 2);
    // A word longer than a line is broken inside, not run off the bubble.
    const QList<QImage> word = textBubbles(QString(20000, QChar('x')), 380, true, 260);
    QVERIFY(word.size() > 2);
    for (const QImage &b : word)
        QVERIFY2(b.height() <= 260 && b.width() <= 380,
                 qPrintable(QString("%1x%2").arg(b.width()).arg(b.height())));
    for (const QImage &b : bubbles)
        QVERIFY2(b.height() <= 260 && b.width() <= 380,
                 qPrintable(QString("%1x%2").arg(b.width()).arg(b.height())));

    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgMessage *m = fx.message(fx.chat({ann}), ann, text, kDay);
    ImagePages pages;
    pages.p.paintMessage(m);
    QVERIFY(pages.p.page >= bubbles.size());
    QVERIFY(pages.p.y <= pages.p.content.bottom() + 1 + messagepaint::kBubbleGap);
}

void TestPainter::frameStretchKeepsCorners_data()
{
    QTest::addColumn<bool>("sent");
    QTest::newRow("received") << false;
    QTest::newRow("sent") << true;
}

void TestPainter::frameStretchKeepsCorners()
{
    // A frame of any size has the same corners and tail as any other: only
    // its middle stretches.
    QFETCH(bool, sent);
    const int left = sent ? messagepaint::kSentLeft : messagepaint::kReceivedLeft;
    const int right = sent ? messagepaint::kSentRight : messagepaint::kReceivedRight;
    const int top = sent ? messagepaint::kSentTop : messagepaint::kReceivedTop;
    const int bottom = sent ? messagepaint::kSentBottom : messagepaint::kReceivedBottom;
    auto frame = [sent](QSize size) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(pageBackgroundColor);
        QPainter p(&image);
        drawBubble(p, image.rect(), sent);
        return image;
    };
    const QImage small = frame(QSize(100, 60));
    const QImage big = frame(QSize(310, 170));
    // Corner cells, anchored at their own edges (the far cells sit one unit in).
    const QRect smallCells[4] = {{0, 0, left, top},
                                 {100 - right - 1, 0, right, top},
                                 {0, 60 - bottom - 1, left, bottom},
                                 {100 - right - 1, 60 - bottom - 1, right, bottom}};
    const QPoint bigOffset[4] = {{0, 0}, {210, 0}, {0, 110}, {210, 110}};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(big.copy(smallCells[i].translated(bigOffset[i])), small.copy(smallCells[i]));
    // The body is filled with the speaker's colour, the page shows around it.
    QCOMPARE(QColor(big.pixel(155, 85)), sent ? QColor(197, 232, 176) : QColor(Qt::white));
    QVERIFY(isBackground(big.pixel(sent ? 1 : 308, 1)));
    // The tail reaches down on the speaker's side only.
    QVERIFY(!isBackground(big.pixel(sent ? 305 : 4, 165)));
    QVERIFY(isBackground(big.pixel(sent ? 4 : 305, 165)));
}

void TestPainter::pdfKeepsTextAndFramesAsVectors()
{
    // Bubbles of text are frames and text in the file, not pictures: a
    // picture appears only for a picture attachment, the font is embedded
    // as the subset used, and the file stays small.
    const QString dir = m_dir.filePath("vectors");
    QVERIFY(QDir().mkpath(dir));
    const QString picture = writeImage(dir + "/../vectors-p.png", QSize(60, 40), "PNG");
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    constexpr int kMessages = 300;
    for (int i = 0; i < kMessages; ++i) {
        _MsgMessage *m = fx.message(chat, ann,
                                    QString("message %1 with a few words to wrap").arg(i),
                                    kDay + i * 4000, i % 2 == 0);
        if (i == 100)
            fx.attach(m, "image/png", picture);
    }
    const QString path = dir + "/Ann.pdf";
    {
        ExportMessagesPdf pdf(path);
        pdf.begin();
        for (_MsgMessage *m : fx.list())
            pdf.write(m);
        pdf.end();
    }
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray data = f.readAll();
    QVERIFY(readPdf(path).valid);
    QCOMPARE(data.count("/Subtype /Image"), 1);
    QVERIFY2(data.size() < kMessages * 2048, QByteArray::number(data.size()));
    const QRegularExpressionMatch font
            = QRegularExpression("/FontFile2 (\\d+) 0 R").match(QString::fromLatin1(data));
    QVERIFY(font.hasMatch());
    const QRegularExpressionMatch length
            = QRegularExpression("\\n" + font.captured(1) + " 0 obj\\s*<<\\s*/Length1 (\\d+)")
                      .match(QString::fromLatin1(data));
    QVERIFY(length.hasMatch());
    QVERIFY2(length.captured(1).toInt() < 100000, qPrintable(length.captured(1)));
}

void TestPainter::pdfDrawsColourEmojiAsPictures()
{
    // A PDF cannot show a colour font's glyphs: an emoji left in the text
    // (one without a placeholder) is drawn as a picture, the rest as text.
    const QString emoji = QString::fromUtf8("\xF0\x9F\xA4\x94"); // thinking face
    QTextLayout probe(emoji, bubbleFont());
    probe.beginLayout();
    probe.createLine();
    probe.endLayout();
    const QList<QGlyphRun> runs = probe.glyphRuns();
    if (runs.isEmpty() || runs.first().rawFont().fontTable("CBDT").isEmpty())
        QSKIP("no colour emoji font here");
    const QString dir = m_dir.filePath("emoji");
    QVERIFY(QDir().mkpath(dir));
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    fx.message(fx.chat({ann}), ann, "Look at this " + emoji + " and that", kDay);
    const QString path = dir + "/Ann.pdf";
    {
        ExportMessagesPdf pdf(path);
        pdf.begin();
        for (_MsgMessage *m : fx.list())
            pdf.write(m);
        pdf.end();
    }
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray data = f.readAll();
    QVERIFY(data.contains("/Subtype /Image")); // the picture (and its alpha mask)
    QVERIFY(!data.contains("Emoji")); // no font of pictures embedded
}

void TestPainter::pdfEmptyDocument()
{
    const QString dir = m_dir.filePath("empty");
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + "/Ann.pdf";
    {
        ExportMessagesPdf pdf(path);
        pdf.begin();
        QCOMPARE(pdf.messagePainter().page, 1);
        QVERIFY(!QFile::exists(path)); // only once complete
        pdf.end();
    }
    const PdfFacts facts = readPdf(path);
    QVERIFY(facts.valid);
    QCOMPARE(facts.pages, 1);
    QCOMPARE(folderEntries(dir), QStringList {"Ann.pdf"});
    QVERIFY(QFileInfo(path).permissions() & QFile::ReadOther);
}

void TestPainter::pdfSeveralPages()
{
    const QString dir = m_dir.filePath("several");
    QVERIFY(QDir().mkpath(dir));
    const QString picture = writeImage(dir + "/../several-p.png", QSize(60, 40), "PNG");
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgHandle *bob = fx.handle("+15550102", "Bob");
    _MsgChat *group = fx.chat({ann, bob});
    for (int i = 0; i < 60; ++i) {
        _MsgMessage *m = fx.message(group, i % 3 ? ann : nullptr,
                                    QString("message %1 \xF0\x9F\x98\x80").arg(i), kDay + i * 90,
                                    i % 3 == 0);
        if (i % 10 == 0)
            fx.attach(m, "image/png", picture);
        if (i % 25 == 0)
            m->item_type = 3;
    }
    const QString path = dir + "/group.pdf";
    int pages = 0;
    {
        ExportMessagesPdf pdf(path);
        pdf.begin();
        for (_MsgMessage *m : fx.list())
            pdf.write(m);
        pages = pdf.messagePainter().page;
        pdf.end();
    }
    QVERIFY(pages >= 3);
    const PdfFacts facts = readPdf(path);
    QVERIFY(facts.valid);
    QCOMPARE(facts.pages, pages);
}

void TestPainter::pdfFailures()
{
    const QString dir = m_dir.filePath("failures");
    QVERIFY(QDir().mkpath(dir));

    // A folder that does not exist: begin reports it, nothing is written.
    {
        ExportMessagesPdf pdf(dir + "/missing/x.pdf");
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, pdf.begin());
        pdf.write(nullptr);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, pdf.end());
    }
    QVERIFY(!QFileInfo::exists(dir + "/missing"));

    // Released without end (a cancelled export): the older file stays as it was.
    const QString path = dir + "/old.pdf";
    QVERIFY(!writeFile(path, "older export").isEmpty());
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101");
    _MsgMessage *m = fx.message(fx.chat({ann}), ann, "new", kDay);
    {
        ExportMessagesPdf pdf(path);
        pdf.begin();
        pdf.write(m);
        QCOMPARE(folderEntries(dir).size(), 2); // the file being written beside it
    }
    QFile old(path);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("older export"));
    QCOMPARE(folderEntries(dir), QStringList {"old.pdf"});

    // A target that cannot be replaced: end reports it and cleans up.
    QVERIFY(QDir().mkpath(dir + "/taken.pdf/inside"));
    {
        ExportMessagesPdf pdf(dir + "/taken.pdf");
        pdf.begin();
        pdf.write(m);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, pdf.end());
    }
    QCOMPARE(folderEntries(dir), QStringList {"old.pdf"});

    // The complete file replaces the older one.
    {
        ExportMessagesPdf pdf(path);
        pdf.begin();
        pdf.write(m);
        pdf.end();
    }
    QVERIFY(readPdf(path).valid);
    QCOMPARE(folderEntries(dir), QStringList {"old.pdf"});
}

void TestPainter::hostileContent_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("one word of 300000 letters") << "longword";
    QTest::newRow("text over the painted limit, emoji at the cut") << "overlimit";
    QTest::newRow("PNG header claiming 60000 x 60000") << "hugeheader";
    QTest::newRow("large real picture") << "largepicture";
    QTest::newRow("tall thin picture") << "tallpicture";
    QTest::newRow("random bytes as JPEG") << "garbageimage";
    QTest::newRow("3000 messages") << "many";
    QTest::newRow("5 MiB text attachment") << "bigtextfile";
    QTest::newRow("text attachment is a pipe") << "fifo";
    QTest::newRow("text attachment is a folder") << "folder";
    QTest::newRow("sender name of 100000 letters") << "longname";
    QTest::newRow("system line of 200000 letters") << "longsystem";
    QTest::newRow("null attachment and date extremes") << "extremes";
}

void TestPainter::hostileContent()
{
    QFETCH(QString, kind);
    const QString dir = m_dir.filePath("hostile-" + QString::number(qHash(kind)));
    QVERIFY(QDir().mkpath(dir));
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgHandle *bob = fx.handle("+15550102", "Bob");
    _MsgChat *single = fx.chat({ann});
    _MsgChat *group = fx.chat({ann, bob});
    _MsgMessage *m = fx.message(single, ann, "", kDay);
    if (kind == "longword") {
        m->text = QString(300000, QChar('x'));
    } else if (kind == "overlimit") {
        m->text = QString(messagepaint::kMaxPaintedText - 1, QChar('a'))
                + QString::fromUtf8("\xF0\x9F\x98\x80 tail");
    } else if (kind == "hugeheader") {
        QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\xea\x60\0\0\xea\x60\x08\x06\0\0\0", 29);
        png += QByteArray(4, '\0');
        fx.attach(m, "image/png", writeFile(dir + "/h.png", png));
    } else if (kind == "largepicture") {
        fx.attach(m, "image/png", writeImage(dir + "/l.png", QSize(4000, 3000), "PNG"));
    } else if (kind == "tallpicture") {
        fx.attach(m, "image/png", writeImage(dir + "/t.png", QSize(3, 30000), "PNG"));
    } else if (kind == "garbageimage") {
        QByteArray junk(65536, '\0');
        for (int i = 0; i < junk.size(); ++i)
            junk[i] = char((i * 7919) ^ (i >> 3));
        junk.replace(0, 3, "\xff\xd8\xff");
        fx.attach(m, "image/jpeg", writeFile(dir + "/g.jpg", junk));
    } else if (kind == "many") {
        for (int i = 0; i < 3000; ++i)
            fx.message(group, i % 2 ? ann : bob, QString("message number %1").arg(i), kDay + i * 30,
                       i % 5 == 0);
    } else if (kind == "bigtextfile") {
        fx.attach(m, "text/plain", writeFile(dir + "/big.txt", QByteArray(5 << 20, 'y')));
    } else if (kind == "fifo") {
        QVERIFY(mkfifo(QFile::encodeName(dir + "/pipe.txt").constData(), 0600) == 0);
        fx.attach(m, "text/plain", dir + "/pipe.txt");
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(dir + "/sub.txt"));
        fx.attach(m, "text/plain", dir + "/sub.txt");
    } else if (kind == "longname") {
        bob->contactName = QString(100000, QChar('N'));
        m = fx.message(group, bob, "hi", kDay);
    } else if (kind == "longsystem") {
        m->item_type = 2;
        m->group_title = QString(200000, QChar('T'));
    } else if (kind == "extremes") {
        m->date = std::numeric_limits<qint32>::min();
        m->attachments.insert("0", nullptr);
        fx.message(nullptr, nullptr, "no chat", std::numeric_limits<qint32>::max());
    }
    const QString path = dir + "/out.pdf";
    QElapsedTimer timer;
    timer.start();
    {
        ExportMessagesPdf pdf(path);
        pdf.begin();
        for (_MsgMessage *msg : fx.list())
            pdf.write(msg);
        pdf.end();
    }
    const PdfFacts facts = readPdf(path);
    QVERIFY(facts.valid);
    QVERIFY(facts.pages >= 1);
    QVERIFY2(timer.elapsed() < 240000, qPrintable(QString::number(timer.elapsed())));
    if (kind == "longword" || kind == "longsystem" || kind == "many")
        QVERIFY(facts.pages > 3);
}

void TestPainter::printPath()
{
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    for (int i = 0; i < 40; ++i)
        fx.message(chat, ann, QString("printed %1").arg(i), kDay + i * 100, i % 2);
    MMSPrinter printer;
    printer.messages = fx.list();
    const QString path = m_dir.filePath("printed.pdf");
    QPrinter device(QPrinter::ScreenResolution);
    device.setOutputFormat(QPrinter::PdfFormat);
    device.setOutputFileName(path);
    device.setPageSize(QPageSize(QPageSize::A4));
    device.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
    // Asked twice (a preview refresh): each run starts again from page 1.
    printer.onPaintRequested(&device);
    const PdfFacts first = readPdf(path);
    printer.onPaintRequested(&device);
    const PdfFacts second = readPdf(path);
    QVERIFY(first.valid);
    QVERIFY(first.pages >= 2);
    QCOMPARE(second.pages, first.pages);

    // The same painting on a printer-sized picture: content inside the page.
    MessagePainter reference;
    QVERIFY(reference.begin(&device));
    QCOMPARE(reference.content.topLeft(), QPoint(20, 20));
    QVERIFY(reference.content.right() < device.width());
    QVERIFY(reference.content.bottom() + 20 < device.height());
    reference.end();
}

void TestPainter::printPreviewSortsOldestFirst()
{
    MessageFixture fx;
    _MsgHandle *ann = fx.handle("+15550101", "Ann");
    _MsgChat *chat = fx.chat({ann});
    for (int i = 0; i < 5; ++i)
        fx.message(chat, ann, QString("m%1").arg(i), kDay + i * 1000);
    MsgMessageList newestFirst = fx.list();
    std::reverse(newestFirst.begin(), newestFirst.end());

    ModalAnswerer answerer;
    QString title;
    bool painted = false;
    answerer.act("QPrintPreviewDialog", [&](QWidget *w) {
        title = w->windowTitle();
        painted = true;
        // Without an installed printer the preview works on PDF output.
        QPrinter *device = static_cast<QPrintPreviewDialog *>(w)->printer();
        if (QPrinterInfo::availablePrinters().isEmpty())
            QCOMPARE(device->outputFormat(), QPrinter::PdfFormat);
        QCOMPARE(device->pageLayout().pageSize().id(), QPageSize::A4);
        QCOMPARE(device->pageLayout().margins(QPageLayout::Point), QMarginsF(20, 20, 20, 20));
        static_cast<QDialog *>(w)->reject();
    });
    MMSPrinter printer;
    printer.printPreview(newestFirst);
    QVERIFY(painted);
    QCOMPARE(title, QString("Print Messages"));
    QCOMPARE(printer.messages, fx.list());
    QVERIFY(answerer.stuck().isEmpty());
}

QTEST_MAIN(TestPainter)
#include "tst_painter.moc"
