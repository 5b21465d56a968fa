#include "store/emoji.h"

#include <QDir>
#include <QImage>
#include <QtTest>

namespace {

// Records every hex the finder reports, and marks the replacement.
QString recordHex(void *userData, const QString &hex)
{
    static_cast<QStringList *>(userData)->append(hex);
    return QStringLiteral("{%1}").arg(hex);
}

} // namespace

class TestText : public QObject
{
    Q_OBJECT
private slots:
    void emojiMarkup_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("plain text unchanged") << "Hello, world"
                                              << "Hello, world" << QStringList();
        QTest::newRow("private use unit")
                << QString("a\uE415b") << "a{E415}b" << QStringList {"E415"};
        QTest::newRow("range ends")
                << QString("\uE000\uE537\uE538\uE600") << QString("{E000}{E537}\uE538\uE600")
                << QStringList {"E000", "E537"};
        QTest::newRow("symbols") << QString("\u203C\u2714\u3030\u2713")
                                 << QString("{203C}{2714}{3030}\u2713")
                                 << QStringList {"203C", "2714", "3030"};
        QTest::newRow("surrogate pair")
                << QString("x\U0001F604y") << "x{1F604}y" << QStringList {"1F604"};
        QTest::newRow("D83C pair") << QString("\U0001F1E9\U0001F1EA") << "{1F1E9}{1F1EA}"
                                   << QStringList {"1F1E9", "1F1EA"};
        QTest::newRow("other high surrogate left alone")
                << QString("\U0001F916") << QString("\U0001F916") << QStringList();
        QTest::newRow("lone high surrogate at end")
                << QString("ab") + QChar(0xD83D) << QString("ab") + QChar(0xD83D) << QStringList();
        // A high surrogate takes whatever unit follows it.
        QTest::newRow("high surrogate before a letter") << QString(QChar(0xD83D)) + "A!"
                                                        << "{21841}!" << QStringList {"21841"};
        QTest::newRow("lone low surrogate")
                << QString(QChar(0xDE04)) + "z" << QString(QChar(0xDE04)) + "z" << QStringList();
        // The second pass runs over the result of the first.
        QTest::newRow("single units first")
                << QString("\U0001F604\u203C") << "{1F604}{203C}" << QStringList {"203C", "1F604"};
        // Texts of units below every emoji unit come back as they are.
        QTest::newRow("just below the first symbol")
                << QString("\u203B\u2000 caf\u00E9\t\r\n") << QString("\u203B\u2000 caf\u00E9\t\r\n")
                << QStringList();
        QTest::newRow("one emoji after a long plain run")
                << QString(500, u'a') + QChar(0x2714) << QString(500, u'a') + "{2714}"
                << QStringList {"2714"};
        QTest::newRow("other units at or above the first symbol")
                << QString("\u4E2D\uFFFD\u203D") << QString("\u4E2D\uFFFD\u203D") << QStringList();
    }
    void emojiMarkup()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QFETCH(QStringList, found);
        QStringList seen;
        QCOMPARE(replaceEmoji(text, recordHex, &seen), expected);
        QCOMPARE(seen, found);
    }

    // An empty text comes back null, with or without emoji to look for.
    void emptyText()
    {
        QVERIFY(replaceEmoji(QString(""), emojiPlaceholderText, nullptr).isNull());
        QVERIFY(replaceEmoji(QString(), emojiPlaceholderText, nullptr).isNull());
    }

    void placeholder()
    {
        QCOMPARE(replaceEmoji(QString("see you \U0001F604"), emojiPlaceholderText, nullptr),
                 QString("see you [EMOJI]"));
        QCOMPARE(emojiImgTag(nullptr, "1F604"), QString("<img src=\"emoji/1F604.png\" />"));
    }

    // The build renders a picture beside the program for the emoji the
    // markup refers to.
    void picturesBesideTheProgram()
    {
        const QString bin = qEnvironmentVariable("PEL_TEST_BIN");
        if (bin.isEmpty())
            QSKIP("PEL_TEST_BIN not set");
        const QDir dir(bin + "/emoji");
        for (const char *hex : {"1F604", "1F1E9", "203C", "2714", "3030"}) {
            QImage picture(dir.filePath(QString::fromLatin1(hex) + ".png"));
            QVERIFY2(!picture.isNull(), hex);
            QCOMPARE(picture.size(), QSize(20, 20));
        }
    }

    void messageHtml_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("html");
        QTest::newRow("unchanged") << "Plain words, 'quoted' \"too\""
                                   << "Plain words, 'quoted' \"too\"";
        QTest::newRow("ampersand first") << "a & b &lt;"
                                         << "a &amp; b &amp;lt;";
        QTest::newRow("tags escaped") << "<script>x</script>"
                                      << "&lt;script&gt;x&lt;/script&gt;";
        QTest::newRow("line breaks") << "a\r\nb\nc\rd"
                                     << "a<br/>b<br/>c\rd";
        QTest::newRow("emoji pictures")
                << QString("\uE415 \U0001F604 \u203C")
                << "<img src=\"emoji/E415.png\" /> <img src=\"emoji/1F604.png\" /> "
                   "<img src=\"emoji/203C.png\" />";
        QTest::newRow("escaped before the pictures")
                << QString("<\U0001F604>") << "&lt;<img src=\"emoji/1F604.png\" />&gt;";
        // What XML forbids is dropped; a broken pair of an emoji's lead unit
        // still gives a picture, a lone surrogate elsewhere nothing.
        const char16_t forbidden[] = u"a\0b\x08" "c\xFFFF" "d\xDC00" "e\xD83D";
        QTest::newRow("characters XML forbids")
                << QString::fromUtf16(forbidden, std::size(forbidden) - 1) << "abcde";
        const char16_t broken[] = u"\xD83Dx\xD800";
        QTest::newRow("broken emoji pair")
                << QString::fromUtf16(broken, std::size(broken) - 1)
                << "<img src=\"emoji/21878.png\" />";
        // A broken pair takes the unit the message holds after it, never a
        // character of the markup that unit turns into.
        const char16_t beforeTag[] = u"\xD83D<b> & \xD83D&";
        QTest::newRow("broken pair before markup characters")
                << QString::fromUtf16(beforeTag, std::size(beforeTag) - 1)
                << "<img src=\"emoji/2183C.png\" />b&gt; &amp; <img src=\"emoji/21826.png\" />";
        const char16_t beforeBreak[] = u"a\xD83D\r\nb\xD83D\n\nc";
        QTest::newRow("broken pair before line breaks")
                << QString::fromUtf16(beforeBreak, std::size(beforeBreak) - 1)
                << "a<img src=\"emoji/2180D.png\" /><br/>b<img src=\"emoji/2180A.png\" /><br/>c";
        const char16_t beforeSymbol[] = u"\xD83D\x203C\xD83C\xE415!";
        QTest::newRow("broken pair before a single-unit emoji")
                << QString::fromUtf16(beforeSymbol, std::size(beforeSymbol) - 1)
                << "<img src=\"emoji/203C.png\" /><img src=\"emoji/E415.png\" />!";
        QTest::newRow("empty") << ""
                               << "";
    }
    void messageHtml()
    {
        QFETCH(QString, text);
        QFETCH(QString, html);
        QCOMPARE(escapeMessageHtml(text), html);
    }
};

QTEST_GUILESS_MAIN(TestText)
#include "tst_text.moc"
