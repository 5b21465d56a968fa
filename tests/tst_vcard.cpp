#include "jobs/contactcard.h"
#include "jobs/vcard.h"
#include "store/datafolder.h"
#include "tests/support/testenv.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QLocale>
#include <QPainter>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTextCodec>
#include <QtTest>

namespace {

// Cards as one line of text: "{NAME;K=V:value}{...} | {...}", parameters in
// key order, value bytes outside printable ASCII as \xNN.
QString describe(const QList<VCard> &cards)
{
    QStringList out;
    for (const VCard &card : cards) {
        QString text;
        for (const VCardProperty &p : card) {
            text += u'{' + p.name;
            for (auto it = p.parameters.constBegin(); it != p.parameters.constEnd(); ++it)
                text += u';' + it.key() + (it.value().isEmpty() ? QString() : u'=' + it.value());
            text += u':';
            for (const char c : p.value) {
                const auto b = static_cast<unsigned char>(c);
                if (b >= 0x20 && b < 0x7F && b != '\\')
                    text += QChar(b);
                else
                    text += QStringLiteral("\\x%1").arg(b, 2, 16, QChar(u'0'));
            }
            text += u'}';
        }
        out.append(text);
    }
    return out.join(QStringLiteral(" | "));
}

QByteArray card(const QByteArray &body)
{
    return "BEGIN:VCARD\r\n" + body + "END:VCARD\r\n";
}

VCardProperty prop(const QString &name, const QByteArray &value,
                   const QMap<QString, QString> &params = {})
{
    return VCardProperty {name, params, value};
}

QByteArray pngBytes(const QColor &colour, int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(colour);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    return bytes;
}

bool near(QRgb a, QColor b, int tolerance)
{
    return qAbs(qRed(a) - b.red()) <= tolerance && qAbs(qGreen(a) - b.green()) <= tolerance
            && qAbs(qBlue(a) - b.blue()) <= tolerance;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

void setModified(const QString &path, const QDateTime &when)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(when, QFileDevice::FileModificationTime));
}

const QColor kBackground(219, 226, 237);
const QColor kFrame(185, 185, 187);

} // namespace

class TestVCard : public QObject
{
    Q_OBJECT
    TestEnv env;

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");

        QTest::newRow("simple, LF")
                << QByteArray("BEGIN:VCARD\nFN:John Smith\nTEL;TYPE=CELL:+1 555 "
                              "0100\nEND:VCARD\n")
                << "{FN:John Smith}{TEL;TYPE=CELL:+1 555 0100}";
        QTest::newRow("no line end at the end")
                << QByteArray("BEGIN:VCARD\r\nFN:A\r\nEND:VCARD") << "{FN:A}";
        QTest::newRow("empty input") << QByteArray() << "";
        QTest::newRow("leading value blanks skipped") << card("FN: \t John\r\n") << "{FN:John}";
        // A blank line ended by CR LF is no continuation of the line before.
        QTest::newRow("blank CRLF lines") << card("TEL:123\r\n\r\nFN:B\r\n\r\n") + card("FN:C\r\n")
                                          << "{TEL:123}{FN:B} | {FN:C}";
        // vCard 2.1 folds at a blank of the value, which stays; 3.0 and 4.0
        // insert the blank, which goes with the fold. A card that names no
        // version is read as 2.1.
        QTest::newRow("folded value, no version")
                << card("NOTE:first\r\n second\r\n") << "{NOTE:first second}";
        QTest::newRow("folded value, 2.1")
                << card("VERSION:2.1\r\nNOTE:first\r\n second\r\n")
                << "{VERSION:2.1}{NOTE:first second}";
        QTest::newRow("folded inside words, 3.0")
                << card("VERSION:3.0\r\nEMAIL:john.\r\n doe@ibm.com\r\nTEL:905-666\r\n -1234\r\n")
                << "{VERSION:3.0}{EMAIL:john.doe@ibm.com}{TEL:905-666-1234}";
        QTest::newRow("folded at a blank, 4.0, tab and LF")
                << QByteArray("BEGIN:VCARD\nVERSION:4.0\nNOTE:one\n\t two\nEND:VCARD\n")
                << "{VERSION:4.0}{NOTE:one two}";
        QTest::newRow("each card its own version")
                << card("VERSION:3.0\r\nNOTE:a\r\n b\r\n") + card("VERSION:2.1\r\nNOTE:a\r\n b\r\n")
                        + card("NOTE:a\r\n b\r\n")
                << "{VERSION:3.0}{NOTE:ab} | {VERSION:2.1}{NOTE:a b} | {NOTE:a b}";
        QTest::newRow("folded with more blanks") << card("NOTE:a\r\n   b\r\n") << "{NOTE:a   b}";
        QTest::newRow("folded with a tab") << card("NOTE:a\n\tb\n") << "{NOTE:a b}";
        QTest::newRow("unfolded line without colon dropped")
                << card("NOTE:first\r\nsecond\r\nFN:x\r\n") << "{NOTE:first}{FN:x}";
        QTest::newRow("header folded") << card("TEL;TYPE=\r\n CELL:1\r\n") << "{TEL;TYPE=CELL:1}";

        QTest::newRow("quoted-printable") << card("N;ENCODING=QUOTED-PRINTABLE:=41=42c=4a\r\n")
                                          << "{N;ENCODING=QUOTED-PRINTABLE:ABcJ}";
        QTest::newRow("bare quoted-printable, any case") << card("N;quoted-printable:=E2=82=AC\r\n")
                                                         << "{N;quoted-printable:\\xe2\\x82\\xac}";
        QTest::newRow("quoted-printable bad hex")
                << card("N;QUOTED-PRINTABLE:=4G=G1z\r\n") << "{N;QUOTED-PRINTABLE:\\x04\\x00z}";
        // "=" at the end of a line: the value goes on with the next line.
        QTest::newRow("quoted-printable soft line break")
                << card("FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=E5=BC=\r\n=A0x=\r\ny\r\nTEL:"
                        "1\r\n")
                << "{FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:\\xe5\\xbc\\xa0xy}{TEL:1}";
        QTest::newRow("quoted-printable soft break then fold")
                << card("N;QUOTED-PRINTABLE:=41=\r\n =42\r\n") << "{N;QUOTED-PRINTABLE:A B}";
        QTest::newRow("quoted-printable escape cut at the end")
                << card("N;QUOTED-PRINTABLE:ab=4\r\n") << "{N;QUOTED-PRINTABLE:ab}";

        QTest::newRow("base64 ENCODING=b")
                << card("PHOTO;ENCODING=b:SGVsbG8=\r\n") << "{PHOTO;ENCODING=b:Hello}";
        QTest::newRow("base64 any case, folded")
                << card("PHOTO;encoding=Base64:SGVs\r\n bG8s\r\n IHdvcmxk\r\n")
                << "{PHOTO;encoding=Base64:Hello, world}";
        QTest::newRow("base64 without padding")
                << card("PHOTO;ENCODING=BASE64:SGVsbG8\r\n") << "{PHOTO;ENCODING=BASE64:Hello}";
        QTest::newRow("vCard 2.1 base64 with blank line")
                << card("PHOTO;BASE64:\r\n  SGVs\r\n  bG8=\r\n\r\nFN:x\r\n")
                << "{PHOTO;BASE64:Hello}{FN:x}";
        QTest::newRow("8bit") << card("N;ENCODING=8BIT:=41\xC3\xA9\r\n")
                              << "{N;ENCODING=8BIT:=41\\xc3\\xa9}";
        QTest::newRow("raw high bytes") << card("FN:\xA0\xE9x\r\n") << "{FN:\\xa0\\xe9x}";

        QTest::newRow("repeated parameter keeps every value")
                << card("TEL;TYPE=HOME;TYPE=CELL;PREF;PREF=1:1\r\n") << "{TEL;PREF=1;TYPE=HOME,CELL:1}";
        QTest::newRow("quoted parameter values")
                << card("TEL;TYPE=\"work,voice\";LABEL=\"a:b; c\":1\r\nFN:A\r\n")
                << "{TEL;LABEL=a:b; c;TYPE=work,voice:1}{FN:A}";
        QTest::newRow("quoted parameter value with a fold")
                << card("VERSION:4.0\r\nADR;LABEL=\"1 Main St\\nTown:\r\n XY\";TYPE=home:;;1 Main St\r\n")
                << "{VERSION:4.0}{ADR;LABEL=1 Main St\\nTown:XY;TYPE=home:;;1 Main St}";
        QTest::newRow("quote left open ends at the line end")
                << card("X;P=\"ab\r\nFN:B\r\nTEL:2\r\n") << "{X;P=abFN:B}{TEL:2}";
        QTest::newRow("bare parameter")
                << card("TEL;PREF;TYPE=CELL:1\r\n") << "{TEL;PREF;TYPE=CELL:1}";
        QTest::newRow("blanks in parameters dropped")
                << card("TEL; TYPE = CE LL :1\r\n") << "{TEL;TYPE=CELL:1}";
        QTest::newRow("escaped semicolon and backslash in parameter")
                << card("X;P=a\\;b;Q=c\\\\d:v\r\n") << "{X;P=a;b;Q=c\\d:v}";

        // Syntax errors end the parse; what came before stays.
        QTest::newRow("colon after semicolon")
                << card("FN:A\r\n") + card("FN:B\r\nX;:v\r\nTEL:2\r\n") << "{FN:A} | {FN:B}";
        QTest::newRow("colon after equals") << card("FN:A\r\nX;P=:v\r\nTEL:2\r\n") << "{FN:A}";
        QTest::newRow("semicolon after equals")
                << card("FN:A\r\nX;P=;Q:v\r\nTEL:2\r\n") << "{FN:A}";
        QTest::newRow("invalid base64") << card("FN:A\r\nPHOTO;ENCODING=B:SG!s\r\nTEL:2\r\n")
                                        << "{FN:A}{PHOTO;ENCODING=B:}";
        // A digit left alone at the end carries no whole byte: the bytes
        // before it are kept and the parse goes on.
        QTest::newRow("single dangling base64 digit")
                << card("FN:A\r\nPHOTO;ENCODING=B:SGVsb\r\nTEL:2\r\n") + card("FN:B\r\n")
                << "{FN:A}{PHOTO;ENCODING=B:Hel}{TEL:2} | {FN:B}";
        QTest::newRow("base64 with extra padding")
                << card("PHOTO;ENCODING=B:SGVsbG8==\r\nTEL:2\r\n") << "{PHOTO;ENCODING=B:Hello}{TEL:2}";
        QTest::newRow("base64 of five digits, 2.1 blank line")
                << card("PHOTO;BASE64:\r\n SGVsb\r\n\r\nTEL:2\r\n") << "{PHOTO;BASE64:Hel}{TEL:2}";
        QTest::newRow("base64 data after padding carries nothing")
                << card("PHOTO;ENCODING=B:QQ=A\r\n") << "{PHOTO;ENCODING=B:A}";

        QTest::newRow("lower-case begin opens no card")
                << QByteArray("begin:vcard\r\nFN:A\r\nend:vcard\r\n") << "";
        QTest::newRow("properties outside a card ignored")
                << "FN:out\r\n" + card("FN:in\r\n") + "TEL:out\r\n"
                << "{FN:in}";
        QTest::newRow("two cards")
                << card("FN:A\r\n") + card("FN:B\r\nTEL:2\r\n") << "{FN:A} | {FN:B}{TEL:2}";
        QTest::newRow("nested BEGIN")
                << QByteArray("BEGIN:VCARD\r\nFN:A\r\nBEGIN:VCARD\r\nFN:B\r\nEND:VCARD\r\nTEL:"
                              "3\r\nEND:VCARD\r\n")
                << "{FN:A} | {FN:B}";
        QTest::newRow("line without colon") << card("JUNK\r\nFN:A\r\n") << "{FN:A}";
        QTest::newRow("empty value") << card("NOTE:\r\n") << "{NOTE:}";
    }
    void parse()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QCOMPARE(describe(parseVCards(input)), expected);
    }

    void parserReportsErrors()
    {
        struct Seen
        {
            QStringList names;
            QByteArrayList values;
        } seen;
        ContentLineParser *p = ContentLineParser::create();
        QVERIFY(p);
        QCOMPARE(QByteArray(ContentLineParser::version()), QByteArray("1.0"));
        p->setUserData(&seen);
        QCOMPARE(p->userData(), &seen);
        p->setPropertyHandler([](void *u, const char *name,
                                 const ContentLineParser::Param *params) {
            auto *s = static_cast<Seen *>(u);
            QString text = QString::fromLatin1(name);
            for (; params->name; ++params)
                text += u'/' + QString::fromLatin1(params->name) + u'='
                        + (params->value ? QString::fromLatin1(params->value) : u"(none)"_qs);
            s->names.append(text);
        });
        p->setValueHandler([](void *u, const char *bytes, size_t length) {
            auto *s = static_cast<Seen *>(u);
            s->values.append(bytes ? QByteArray(bytes, qsizetype(length)) : QByteArray("(end)"));
        });
        // Fed in pieces that cut a line, a fold and a base64 quartet.
        const QByteArray pieces[]
                = {"TEL;TY", "PE=CELL;PREF:12\r", "\n 3\r\nPHOTO;B:SG", "Vs\r\n", "X;:"};
        QCOMPARE(p->feed(pieces[0].constData(), size_t(pieces[0].size()), 0), 1);
        QCOMPARE(p->feed(pieces[1].constData(), size_t(pieces[1].size()), 0), 1);
        QCOMPARE(p->feed(pieces[2].constData(), size_t(pieces[2].size()), 0), 1);
        QCOMPARE(p->feed(pieces[3].constData(), size_t(pieces[3].size()), 0), 1);
        QCOMPARE(p->feed(pieces[4].constData(), size_t(pieces[4].size()), 1), 0);
        QCOMPARE(seen.names, (QStringList {"TEL/TYPE=CELL/PREF=(none)", "PHOTO/B=(none)"}));
        QCOMPARE(seen.values, (QByteArrayList {"12 3", "(end)", "Hel", "(end)"}));
        QCOMPARE(base64DigitValue('A'), 0);
        QCOMPARE(base64DigitValue('/'), 63);
        QCOMPARE(base64DigitValue('='), -1);
        QCOMPARE(base64DigitValue(0xC3), -1);
        ContentLineParser::destroy(p);
    }

    void hostileInput()
    {
        // Long headers and values must not cost a reallocation per byte or
        // per parameter.
        QByteArray many = "BEGIN:VCARD\r\nX";
        for (int i = 0; i < 200000; ++i)
            many += ";P" + QByteArray::number(i % 10);
        many += ":v\r\nPHOTO;ENCODING=B:" + QByteArray(6 << 20, 'A') + "\r\nEND:VCARD\r\n";
        QElapsedTimer timer;
        timer.start();
        const QList<VCard> cards = parseVCards(many);
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards.at(0).size(), 2);
        QCOMPARE(cards.at(0).at(0).parameters.size(), 10);
        QCOMPARE(cards.at(0).at(1).value.size(), qsizetype((6 << 20) / 4 * 3));

        // Random bytes and mangled cards: no crash, no read outside the input
        // (the sanitizers watch).
        QRandomGenerator rng(4711);
        const QByteArray sample = card("FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=41=\r\n=42\r\n"
                                       "PHOTO;ENCODING=B:SGVsbG8=\r\nTEL;TYPE=a\\;b:1\r\n");
        const char alphabet[] = ":;=\\\r\n \tAB=0";
        for (int round = 0; round < 3000; ++round) {
            QByteArray input = sample;
            const int changes = 1 + int(rng.bounded(8));
            for (int k = 0; k < changes; ++k) {
                const qsizetype at = qsizetype(rng.bounded(quint32(input.size())));
                input[at] = rng.bounded(2) ? alphabet[rng.bounded(quint32(sizeof alphabet - 1))]
                                           : char(rng.bounded(256));
            }
            if (rng.bounded(4) == 0)
                input.truncate(qsizetype(rng.bounded(quint32(input.size()))));
            const QList<VCard> got = parseVCards(input);
            for (const VCard &c : got) {
                for (const VCardProperty &p : c) {
                    vCardValueText(p);
                    splitVCardValue(p);
                }
            }
        }
    }

    void valueText_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("UTF-8") << card("FN;CHARSET=UTF-8:J\xC3\xB6rg\r\n") << u"Jörg"_qs;
        QTest::newRow("Latin-1") << card("FN;CHARSET=ISO-8859-1:J\xF6rg\r\n") << u"Jörg"_qs;
        QTest::newRow("Latin-1 quoted-printable")
                << card("FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:J=F6rg\r\n") << u"Jörg"_qs;
        QTest::newRow("windows-1251")
                << card("FN;CHARSET=windows-1251:\xC8\xE2\xE0\xED\r\n") << u"Иван"_qs;
        // Without a known CHARSET the local 8-bit encoding is used (UTF-8
        // here).
        QTest::newRow("no charset") << card("FN:J\xC3\xB6rg\r\n") << u"Jörg"_qs;
        QTest::newRow("unknown charset")
                << card("FN;CHARSET=NO-SUCH:J\xC3\xB6rg\r\n") << u"Jörg"_qs;
        QTest::newRow("charset name case counts")
                << card("FN;charset=ISO-8859-1:J\xC3\xB6rg\r\n") << u"Jörg"_qs;
    }
    void valueText()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        const QList<VCard> cards = parseVCards(input);
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards.at(0).size(), 1);
        QCOMPARE(vCardValueText(cards.at(0).at(0)), expected);
    }

    void structuredValues()
    {
        QCOMPARE(splitVCardValue(prop("ADR", ";;Main St. 1\\;B;Town;;12345;")),
                 (QStringList {"", "", "Main St. 1;B", "Town", "", "12345"}));
        QCOMPARE(splitVCardValue(prop("N", "Smith;John")), (QStringList {"Smith", "John"}));
        QCOMPARE(splitVCardValue(prop("N", "a\\\\b;c\\")), (QStringList {"a\\b", "c"}));
        QCOMPARE(splitVCardValue(prop("N", "")), QStringList());

        VCard c {prop("FN", "A"), prop("TEL", "1"), prop("FN", "B")};
        const QMap<QString, VCardProperty *> index = indexVCardProperties(c);
        QCOMPARE(index.size(), 2);
        QCOMPARE(index.value("FN"), &c[2]);
        QCOMPARE(index.value("TEL")->value, QByteArray("1"));
    }

    void writeAndReadBack()
    {
        QByteArray binary;
        for (int i = 0; i < 300; ++i)
            binary += char(i * 7);
        const VCard original {
                prop("FN", "John Smith"),
                prop("TEL", "+15550100", {{"TYPE", "CELL"}, {"PREF", ""}}),
                prop("NOTE", "line one\r\nEND:VCARD\r\nBEGIN:VCARD\r\nFN:Mallory = evil",
                     {{"CHARSET", "UTF-8"}}),
                prop("X-LONG", QByteArray(200, 'x') + "=\xC3\xA9",
                     {{"ENCODING", "QUOTED-PRINTABLE"}}),
                prop("PHOTO", binary, {{"ENCODING", "BASE64"}, {"TYPE", "PNG"}}),
                prop("X-PARAM", "v", {{"P", "a;b\\c"}}),
        };
        const QByteArray written = writeVCard(original);
        QVERIFY(written.startsWith(
                "BEGIN:VCARD\r\nFN:John Smith\r\nTEL;PREF;TYPE=CELL:+15550100\r\n"));
        QVERIFY(written.endsWith("END:VCARD\r\n"));
        const QList<VCard> back = parseVCards(written);
        QCOMPARE(back.size(), 1);
        VCard expected = original;
        expected[2].parameters.insert("ENCODING", "QUOTED-PRINTABLE");
        QCOMPARE(describe(back), describe(QList<VCard> {expected}));
    }

    void writeKeepsStructure()
    {
        // Texts that would end the line, the header or the card are written
        // so that they cannot: one card with the same values comes back.
        const VCard hostile {
                prop("END", "x"),
                prop("NOTE", "a\r\nEND:VCARD\r\nBEGIN:VCARD\r\nFN:Mallory", {{"ENCODING", "8BIT"}}),
                prop("X", "  leading blanks"),
                prop("Y:Z;W", "v", {{"", "no name"}, {"P:Q", "a:b"}, {"R\r\nFN", "1"}}),
        };
        const QList<VCard> back = parseVCards(writeVCard(hostile));
        QCOMPARE(back.size(), 1);
        QCOMPARE(describe(back),
                 "{NOTE;ENCODING=QUOTED-PRINTABLE:a\\x0d\\x0aEND:VCARD\\x0d\\x0aBEGIN:"
                 "VCARD\\x0d\\x0a"
                 "FN:Mallory}{X;ENCODING=QUOTED-PRINTABLE:  leading blanks}{YZW;PQ=a:b;RFN=1:v}");
    }

    void encoders()
    {
        QCOMPARE(encodeQuotedPrintable("a=b c\xC3\xA9~!", 0), QByteArray("a=3Db=20c=C3=A9~!"));
        const QByteArray long_(100, 'q');
        const QByteArray folded = encodeQuotedPrintable(long_ + "\n", 20);
        for (const QByteArray &line : folded.split('\n'))
            QVERIFY2(line.size() <= 20, line.constData());
        QVERIFY(!folded.endsWith("=\r\n"));
        // Soft line breaks read back to the bytes encoded.
        const QList<VCard> back
                = parseVCards(card("X;QUOTED-PRINTABLE:" + folded + "\r\nFN:next\r\n"));
        QCOMPARE(back.at(0).at(0).value, long_ + "\n");
        QCOMPARE(back.at(0).at(1).value, QByteArray("next"));

        QCOMPARE(foldBase64Lines("Hello world!!", 8), QByteArray("SGVsbG8g\r\n d29ybGQh\r\n IQ=="));
        QCOMPARE(foldBase64Lines("Hello", 0), QByteArray("SGVsbG8="));
        QCOMPARE(foldBase64Lines("", 8), QByteArray());
    }

    // --- contact card ---

    void cardFields()
    {
        const QByteArray photo = pngBytes(Qt::red, 4, 4);
        const QList<VCard> cards = parseVCards(
                card("fn:First\r\nFN;CHARSET=UTF-8:J\xC3\xB6rg\r\nTitle:Boss\r\nORG:Acme;Sales\r\n"
                     "BDAY:1980-01-15\r\nemail;TYPE=INTERNET:j@example.com\r\nADR:;;Main "
                     "St;Town\r\n"
                     "TEL:1\r\nTEL:2\r\nTEL:3\r\nTEL:4\r\nTEL:5\r\nTEL:6\r\nNOTE:ignored\r\n"
                     "PHOTO;ENCODING=b;TYPE=PNG:"
                     + photo.toBase64() + "\r\n")
                + card("FN:Second\r\n"));
        QCOMPARE(cards.size(), 2);
        const ContactCard c = contactCardFromVCard(cards.first());
        QCOMPARE(c.name, u"Jörg"_qs);
        QCOMPARE(c.title, "Boss");
        QCOMPARE(c.organisation, "Acme;Sales");
        QCOMPARE(c.birthday, "1980-01-15");
        QCOMPARE(c.email, "j@example.com");
        QCOMPARE(c.address, ";;Main St;Town");
        QCOMPARE(c.phones, (QStringList {"1", "2", "3", "4", "5", "6"}));
        QCOMPARE(c.photo, photo);
    }

    // Cards as phones, address books and webmail write them, made by hand
    // from the format's rules (vCard 2.1, RFC 2426 for 3.0, RFC 6350 for
    // 4.0). Each is followed by a second card, which must survive it.
    void realStyleCards_data()
    {
        QTest::addColumn<QByteArray>("vcard");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("organisation");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QStringList>("phones");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("photo"); // PHOTO decodes to a picture

        const QByteArray png = pngBytes(Qt::blue, 6, 6);
        // Base64 as some phones cut it: no padding, and one digit too many.
        QByteArray cut = png.toBase64();
        while (cut.endsWith('='))
            cut.chop(1);
        while (cut.size() % 4 != 1)
            cut += 'A';
        QByteArray cutLines;
        for (qsizetype i = 0; i < cut.size(); i += 60)
            cutLines += "  " + cut.mid(i, 60) + "\r\n";

        QTest::newRow("2.1, phone")
                << card("VERSION:2.1\r\n"
                        "N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=C3=BCrgen;;;\r\n"
                        "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:J=C3=BCrgen M=C3=BCller\r\n"
                        "TEL;CELL;PREF:+49 170\r\n 1234567\r\n"
                        "TEL;HOME;VOICE:+49 30 123456\r\n"
                        "EMAIL;INTERNET:j.mueller@example.de\r\n"
                        "ORG:Beispiel GmbH\r\n"
                        "NOTE;ENCODING=QUOTED-PRINTABLE:one=0D=0A=\r\ntwo\r\n"
                        "PHOTO;ENCODING=BASE64;TYPE=PNG:\r\n"
                        + cutLines + "\r\n")
                << u"Jürgen Müller"_qs << "Beispiel GmbH" << "" << "j.mueller@example.de"
                << QStringList {"+49 170 1234567", "+49 30 123456"} << "" << true;
        QTest::newRow("3.0, address book")
                << card("VERSION:3.0\r\n"
                        "PRODID:-//Example//Address Book 1.0//EN\r\n"
                        "N:Appleseed;Johnny;;Dr.;\r\n"
                        "FN:Johnny Appleseed\r\n"
                        "ORG:Example\\, Inc.;Research\r\n"
                        "TITLE:Chief\\; Officer\r\n"
                        "item1.EMAIL;type=INTERNET;type=pref:johnny.apple\r\n seed@example.com\r\n"
                        "item1.X-ABLabel:_$!<Other>!$_\r\n"
                        "TEL;type=CELL;type=VOICE;type=pref:+1 (408) 555-\r\n 0100\r\n"
                        "item2.TEL:+1 408 555 0101\r\n"
                        "item2.X-ABLabel:_$!<Mobile>!$_\r\n"
                        "item3.ADR;type=HOME:;;1 Loop Road\\nBuilding 2;Cupertino;CA;95014;USA\r\n"
                        "BDAY;value=date:1970-04-01\r\n"
                        "PHOTO;ENCODING=b;TYPE=PNG:"
                        + png.toBase64().insert(8, "\r\n ") + "\r\n")
                << "Johnny Appleseed" << "Example, Inc.;Research" << "Chief; Officer"
                << "johnny.appleseed@example.com"
                << QStringList {"+1 (408) 555-0100", "+1 408 555 0101"}
                << ";;1 Loop Road\nBuilding 2;Cupertino;CA;95014;USA" << true;
        QTest::newRow("4.0, no FN")
                << card("VERSION:4.0\r\n"
                        "N:Stevenson;John;Philip,Paul;Dr.;Jr.,M.D.\r\n"
                        "TEL;VALUE=uri;TYPE=\"voice,cell\";PREF=1:tel:+1-555-555-0102\r\n"
                        "EMAIL;TYPE=work:js@example.org\r\n"
                        "ADR;TYPE=work;LABEL=\"100 Waters Edge\\nBaytown: LA\":;;100 Waters "
                        "Edge;Baytown;LA;30314;\r\n"
                        "PHOTO:data:image/png;base64,"
                        + png.toBase64() + "\r\n")
                << "Dr. John Philip Paul Stevenson Jr. M.D." << "" << "" << "js@example.org"
                << QStringList {"+1-555-555-0102"} << ";;100 Waters Edge;Baytown;LA;30314;" << true;
        QTest::newRow("3.0, webmail")
                << card("VERSION:3.0\r\n"
                        "FN:Anna Kowalska\r\n"
                        "N:Kowalska;Anna;;;\r\n"
                        "EMAIL;TYPE=INTERNET;TYPE=HOME:anna@example.pl\r\n"
                        "item1.EMAIL;TYPE=INTERNET:anna.k@work.example\r\n"
                        "item1.X-ABLabel:Work\r\n"
                        "TEL;TYPE=CELL:+48 600 100 200\r\n"
                        "item2.TEL:+48 22 100 20 30\r\n"
                        "item2.X-ABLabel:Office\r\n"
                        "item3.ADR:;;ul. Dluga 5\\, m. 2;Warszawa;;00-001;PL\r\n"
                        "NOTE:Met at a fair\\, 2019\\nCall again\r\n"
                        "CATEGORIES:myContacts\r\n")
                << "Anna Kowalska" << "" << "" << "anna.k@work.example"
                << QStringList {"+48 600 100 200", "+48 22 100 20 30"}
                << ";;ul. Dluga 5, m. 2;Warszawa;;00-001;PL" << false;
    }
    void realStyleCards()
    {
        QFETCH(QByteArray, vcard);
        QFETCH(QString, name);
        QFETCH(QString, organisation);
        QFETCH(QString, title);
        QFETCH(QString, email);
        QFETCH(QStringList, phones);
        QFETCH(QString, address);
        QFETCH(bool, photo);
        const QList<VCard> cards = parseVCards(vcard + card("VERSION:3.0\r\nFN:Next\r\n"));
        QCOMPARE(cards.size(), 2);
        QCOMPARE(contactCardFromVCard(cards.at(1)).name, "Next");
        const ContactCard c = contactCardFromVCard(cards.at(0));
        QCOMPARE(c.name, name);
        QCOMPARE(c.organisation, organisation);
        QCOMPARE(c.title, title);
        QCOMPARE(c.email, email);
        QCOMPARE(c.phones, phones);
        QCOMPARE(c.address, address);
        QCOMPARE(!QImage::fromData(c.photo, "PNG").isNull(), photo);
    }

    void textEscapes()
    {
        QCOMPARE(unescapeVCardText("a\\,b\\;c\\\\d\\ne\\Nf\\:g"), "a,b;c\\d\ne\nf:g");
        // Unknown escapes and a backslash at the end stay as written.
        QCOMPARE(unescapeVCardText("C:\\temp\\"), "C:\\temp\\");
        QCOMPARE(unescapeVCardText("\\\\n"), "\\n");
        QCOMPARE(splitVCardText("a\\;b;c;;", u';'), (QStringList {"a\\;b", "c", "", ""}));
        QCOMPARE(vCardBaseName("item1.EMAIL"), "EMAIL");
        QCOMPARE(vCardBaseName("TEL"), "TEL");
    }

    void cardLines_data()
    {
        QTest::addColumn<QByteArray>("vcard");
        QTest::addColumn<QStringList>("lines");
        const QString birthday
                = QLocale::system().toString(QDate(1980, 1, 15), QLocale::ShortFormat);
        // Each line: "label|value|s(ingle line) or w(rapped)|pixel size|a(dvance) or -".
        QTest::newRow("name and one phone") << card("FN:Ann\r\nTEL:123\r\n")
                                            << QStringList {"Ann||s|12|a", "Phone:|123|s|11|a"};
        QTest::newRow("at most four phones")
                << card("FN:A\r\nTEL:1\r\nTEL:2\r\nTEL:3\r\nTEL:4\r\nTEL:5\r\nTEL:6\r\n")
                << QStringList {"A||s|12|a", "Phone:|1|s|11|a", "Phone:|2|s|11|a",
                                "Phone:|3|s|11|a", "Phone:|4|s|11|a"};
        QTest::newRow("title and organisation") << card("FN:A\r\nTITLE:Boss\r\nORG:Acme\r\n")
                                                << QStringList {"A||s|12|a", "Boss Acme||s|11|a"};
        QTest::newRow("organisation alone")
                << card("FN:A\r\nORG:Acme\r\n") << QStringList {"A||s|12|a", "Acme||s|11|a"};
        QTest::newRow("title alone")
                << card("FN:A\r\nTITLE: Boss \r\n") << QStringList {"A||s|12|a", "Boss||s|11|a"};
        QTest::newRow("birthday forms")
                << card("FN:A\r\nBDAY:1980-01-15\r\n")
                << QStringList {"A||s|12|a", "Birthday:|" + birthday + "|w|11|a"};
        QTest::newRow("birthday date-time")
                << card("FN:A\r\nBDAY:1980-01-15T10:00:00Z\r\n")
                << QStringList {"A||s|12|a", "Birthday:|" + birthday + "|w|11|a"};
        QTest::newRow("birthday basic form")
                << card("FN:A\r\nBDAY:19800115\r\n")
                << QStringList {"A||s|12|a", "Birthday:|" + birthday + "|w|11|a"};
        QTest::newRow("birthday not a date") << card("FN:A\r\nBDAY:sometime\r\n")
                                             << QStringList {"A||s|12|a", "Birthday:||w|11|a"};
        QTest::newRow("every line, address last")
                << card("ADR:;;Main St\r\nEMAIL:a@b.c\r\nTEL:1\r\nFN:A\r\n")
                << QStringList {"A||s|12|a", "Phone:|1|s|11|a", "E-Mail:|a@b.c|s|11|a",
                                "Address:|;;Main St|w|11|-"};
        QTest::newRow("no name") << card("TEL:1\r\n")
                                 << QStringList {"||s|12|a", "Phone:|1|s|11|a"};
    }
    void cardLines()
    {
        QFETCH(QByteArray, vcard);
        QFETCH(QStringList, lines);
        QStringList got;
        for (const ContactCardLine &l :
             contactCardLines(contactCardFromVCard(parseVCards(vcard).first())))
            got.append(QStringList {l.label, l.value, l.singleLine ? "s" : "w",
                                    QString::number(l.pixelSize), l.advance ? "a" : "-"}
                               .join(u'|'));
        QCOMPARE(got, lines);
    }

    void cardPicture()
    {
        ContactCard c;
        c.name = "Ann";
        c.phones = {"123"};
        c.photo = pngBytes(Qt::red, 10, 20); // scaled to 23 x 47
        const QImage img = drawContactCard(c);
        QCOMPARE(img.size(), QSize(200, 90));
        QCOMPARE(img.format(), QImage::Format_ARGB32_Premultiplied);
        // A one-pixel frame along the four edges.
        for (const QPoint pt : {QPoint(0, 45), QPoint(199, 45), QPoint(100, 0), QPoint(100, 89),
                                QPoint(0, 0), QPoint(199, 89)})
            QCOMPARE(QColor(img.pixel(pt)), kFrame);
        for (const QPoint pt : {QPoint(1, 60), QPoint(198, 45), QPoint(100, 88), QPoint(190, 80)})
            QCOMPARE(QColor(img.pixel(pt)), kBackground);
        // The photo from (5, 5), fitted into 47 x 47.
        QCOMPARE(QColor(img.pixel(5, 5)), QColor(Qt::red));
        QCOMPARE(QColor(img.pixel(27, 51)), QColor(Qt::red));
        QCOMPARE(QColor(img.pixel(28, 30)), kBackground);
        QCOMPARE(QColor(img.pixel(10, 52)), kBackground);
        // Some dark text in the column right of the photo.
        int dark = 0;
        for (int y = 5; y < 40; ++y)
            for (int x = 53; x < 190; ++x)
                dark += qGray(img.pixel(x, y)) < 100;
        QVERIFY(dark > 20);

        // A photo that is neither JPEG nor PNG gives the default picture.
        const QImage fallback = QImage(":res/contact.png")
                                        .scaled(47, 47, Qt::KeepAspectRatio, Qt::FastTransformation)
                                        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QVERIFY(!fallback.isNull());
        for (const QByteArray &bad : {QByteArray("GIF89a not really"), QByteArray()}) {
            c.photo = bad;
            const QImage withDefault = drawContactCard(c);
            QImage expected(200, 90, QImage::Format_ARGB32_Premultiplied);
            expected.fill(kBackground);
            QPainter p(&expected);
            p.drawImage(5, 5, fallback);
            p.end();
            for (const QPoint pt : {QPoint(30, 20), QPoint(10, 48), QPoint(40, 40)})
                QCOMPARE(QColor(withDefault.pixel(pt)), QColor(expected.pixel(pt)));
        }
    }

    void renderedFile()
    {
        const QString dir = env.makeDir("cards");
        const QString vcf = dir + "/ann.vcf";
        writeFile(vcf, card("FN:Ann\r\nTEL:123\r\n"));

        const QString path = renderContactCard(vcf);
        QCOMPARE(path, QDir(contactCardFolder()).absoluteFilePath(md5Hex(vcf) + ".jpg"));
        // In the user's own cache folder, not the shared temporary folder.
        QVERIFY(path.startsWith(env.home() + "/.cache/"));
        QCOMPARE(QFileInfo(contactCardFolder()).permissions()
                         & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup
                            | QFile::WriteGroup),
                 QFile::Permissions());
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        const QImage img = reader.read();
        QCOMPARE(img.size(), QSize(200, 90));
        QVERIFY(near(img.pixel(150, 80), kBackground, 6));

        // Asked again for an unchanged vCard: the same file, not drawn again.
        writeFile(path, "kept");
        setModified(path, QDateTime::currentDateTime().addSecs(10));
        QCOMPARE(renderContactCard(vcf), path);
        QFile kept(path);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("kept"));
        kept.close();

        // A vCard newer than its picture is drawn again.
        setModified(path, QDateTime::currentDateTime().addSecs(-100));
        writeFile(vcf, card("FN:Bob\r\n"));
        QCOMPARE(renderContactCard(vcf), path);
        QCOMPARE(QImageReader(path).size(), QSize(200, 90));

        // Nothing to draw.
        QCOMPARE(renderContactCard(dir + "/missing.vcf"), QString());
        writeFile(dir + "/nocard.vcf", "FN:Ann\r\nTEL:1\r\n");
        QCOMPARE(renderContactCard(dir + "/nocard.vcf"), QString());
        QVERIFY(!QFile::exists(
                QDir(contactCardFolder()).absoluteFilePath(md5Hex(dir + "/nocard.vcf") + ".jpg")));
        writeFile(dir + "/empty.vcf", "");
        QCOMPARE(renderContactCard(dir + "/empty.vcf"), QString());
    }

    void unsavedCardGivesNoPath()
    {
        // The card folder cannot be made (a file holds its name): no path
        // is handed out for a picture that was never saved.
        const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", env.makeDir("blocked-cache").toUtf8());
        const QString folder = QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation))
                                       .absoluteFilePath("contact-cards");
        QDir().mkpath(QFileInfo(folder).path());
        writeFile(folder, "not a folder");
        const QString vcf = env.makeDir("blocked") + "/ann.vcf";
        writeFile(vcf, card("FN:Ann\r\n"));
        const QString path = renderContactCard(vcf);
        qputenv("XDG_CACHE_HOME", savedCache);
        QCOMPARE(path, QString());
    }
};

QTEST_MAIN(TestVCard)
#include "tst_vcard.moc"
