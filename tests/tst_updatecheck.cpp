// The update check, the status-bar link line, the web-site pages and the
// About box, against a local HTTP stub on 127.0.0.1.
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/messagebox.h"
#include "tests/support/httpstub.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/windowtest.h"
#include "ui/aboutusform.h"
#include "ui/mainwindow.h"
#include "ui/updatecheck.h"

#include <QDate>
#include <QDesktopServices>
#include <QGraphicsView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QUrlQuery>

#include <memory>

class MainWindowTestAccess
{
public:
    static QLabel *advLink(MainWindow &w) { return w.advLinkLabel; }
    static void checkUpdate(MainWindow &w) { w.miCheckUpdate(); }
    static void help(MainWindow &w) { w.miHelp(); }
    static void feedback(MainWindow &w) { w.miFeedback(); }
    static void home(MainWindow &w) { w.miHome(); }
    static void about(MainWindow &w) { w.miAbout(); }
};

// Sees the window close.
class CloseWatcher : public QObject
{
public:
    int closes = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Close)
            ++closes;
        return false;
    }
};

namespace {

constexpr qint64 kNow = 1700000000;

const QString kCheck = QStringLiteral("/sms_check_update.php");
const QString kAdv = QStringLiteral("/adv.php");

QString dataFile(const char *name)
{
    return dataFolder().absoluteFilePath(QLatin1String(name));
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QString question()
{
    return QStringLiteral("A new version of Pelicorde is available. Would you like to download it "
                          "now?");
}

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

    WindowTestEnv env;
    std::unique_ptr<FakeAdb> adb;
    UrlRecorder recorder;

    void useHost(const QString &host) { qputenv("PELICORDE_SERVICE_HOST", host.toUtf8()); }
    // Builds a window, lets the start-up requests finish, and hands it over.
    std::unique_ptr<MainWindow> startWindow(HttpStub &stub, int expectedRequests);

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void timeRule_data();
    void timeRule();
    void downloadAddress_data();
    void downloadAddress();
    void linkLine_data();
    void linkLine();

    void noHostSendsNothing();
    void startupRequestsFollowTimeRule_data();
    void startupRequestsFollowTimeRule();
    void updateReplies_data();
    void updateReplies();
    void newerVersionYesOpensAndCloses();
    void slowReplyActedOnOnceFinished();
    void redirectToAnotherHostRefused();
    void questionWaitsForOpenDialog();
    void linkReplies_data();
    void linkReplies();
    void savedLinkLineIsSanitisedAtStart();
    void windowGoesWithRequestsPending();
    void webPagesGoToConfiguredHost();
    void aboutBox();
};

void TestUpdateCheck::initTestCase()
{
    QVERIFY(env.installTranslator());
    env.hideAppleLibraries();
    adb = std::make_unique<FakeAdb>();
    QVERIFY(adb->isValid());
    for (const char *scheme : {"http", "https", "file"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &recorder, "open");
}

void TestUpdateCheck::init()
{
    useHost(QString());
    setUpdateCheckClock([] { return kNow; });
    QFile::remove(dataFile("last-check-version-time"));
    QFile::remove(dataFile("last-adv"));
    recorder.opened.clear();
}

void TestUpdateCheck::cleanup()
{
    setUpdateCheckClock({});
}

std::unique_ptr<MainWindow> TestUpdateCheck::startWindow(HttpStub &stub, int expectedRequests)
{
    useHost(stub.hostAndPort());
    auto w = std::make_unique<MainWindow>();
    stub.waitForRequests(expectedRequests, 5000);
    QTest::qWait(200); // the replies' finished() arrive
    return w;
}

// ---- The pieces without a window ----

void TestUpdateCheck::timeRule_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("stamp");
    QTest::addColumn<bool>("due");
    const QByteArray now = QByteArray::number(kNow);
    QTest::newRow("no file") << false << QByteArray() << true;
    QTest::newRow("an hour ago") << true << QByteArray::number(kNow - 3600) << false;
    QTest::newRow("exactly a day ago") << true << QByteArray::number(kNow - 86400) << false;
    QTest::newRow("a day and a second ago") << true << QByteArray::number(kNow - 86401) << true;
    QTest::newRow("zero") << true << QByteArray("0") << true;
    QTest::newRow("empty") << true << QByteArray() << true;
    QTest::newRow("letters") << true << QByteArray("soon") << true;
    QTest::newRow("an hour ahead") << true << QByteArray::number(kNow + 3600) << true;
    QTest::newRow("number then zero byte then junk")
            << true << QByteArray::number(kNow - 10) + QByteArray("\0xyz", 4) << false;
}

void TestUpdateCheck::timeRule()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, stamp);
    QFETCH(bool, due);
    QCOMPARE(updateCheckDue(exists ? std::optional<QByteArray>(stamp) : std::nullopt, kNow), due);
}

void TestUpdateCheck::downloadAddress_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("url");
    QTest::newRow("http") << QByteArray("http://example.org/get/new.exe")
                          << "http://example.org/get/new.exe";
    QTest::newRow("capitals") << QByteArray("HTTP://EXAMPLE.ORG/New.exe")
                              << "http://example.org/New.exe";
    QTest::newRow("https") << QByteArray("https://example.org/a") << "https://example.org/a";
    QTest::newRow("cut at zero byte") << QByteArray("http://example.org/a\0evil", 25)
                                      << "http://example.org/a";
    QTest::newRow("same version") << QByteArray("0") << QString();
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("file link") << QByteArray("file:///etc/passwd") << QString();
    QTest::newRow("javascript") << QByteArray("javascript:alert(1)") << QString();
    QTest::newRow("no host") << QByteArray("http:///path") << QString();
    QTest::newRow("blanks inside") << QByteArray("http://exa mple.org/") << QString();
    QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n", 8) << QString();
}

void TestUpdateCheck::downloadAddress()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, url);
    QCOMPARE(updateDownloadUrl(body).toString(), url);
}

void TestUpdateCheck::linkLine_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("shown");
    const QString style = QStringLiteral("<a style=\"color:#2762DA;text-decoration:none;\" ");
    QTest::newRow("plain link") << "<a href=\"http://example.org/x\">New offer</a>"
                                << style + "href=\"http://example.org/x\">New offer</a>";
    QTest::newRow("capital tag, single quotes, extra attributes dropped")
            << "<A HREF='https://example.org/y' target=_blank onclick=\"steal()\">Go</A>"
            << style + "href=\"https://example.org/y\">Go</a>";
    QTest::newRow("markup in the label is escaped")
            << "<a href=\"http://example.org/\"><img src=\"file:///etc/passwd\">hi</a>"
            << style + "href=\"http://example.org/\">&lt;img src=&quot;file:///etc/passwd&quot;&gt;hi</a>";
    QTest::newRow("text after the link is escaped")
            << "<a href=\"http://example.org/\">a</a><script>x()</script><a href=\"file:///\">b</a>"
            << style
                    + "href=\"http://example.org/\">a</a>&lt;script&gt;x()&lt;/script&gt;&lt;a "
                      "href=&quot;file:///&quot;&gt;b&lt;/a&gt;";
    QTest::newRow("entities in the label stay text")
            << "<a href=\"http://example.org/?a=1&amp;b=2\">Tom &amp; Jerry</a>"
            << style + "href=\"http://example.org/?a=1&amp;b=2\">Tom &amp; Jerry</a>";
    QTest::newRow("quote in the address refused")
            << "<a href='http://example.org/\"onmouseover=x'>a</a>" << QString();
    QTest::newRow("javascript link") << "<a href=\"javascript:alert(1)\">x</a>" << QString();
    QTest::newRow("file link") << "<a href=\"file:///etc/passwd\">x</a>" << QString();
    QTest::newRow("no address") << "<a name=\"x\">x</a>" << QString();
    QTest::newRow("blank before the tag") << " <a href=\"http://example.org/\">x</a>" << QString();
    QTest::newRow("not a link") << "<b>bold</b>" << QString();
    QTest::newRow("unclosed") << "<a href=\"http://example.org/\">x" << QString();
}

void TestUpdateCheck::linkLine()
{
    QFETCH(QString, reply);
    QFETCH(QString, shown);
    const QString line = sanitizeAdvLink(reply);
    QCOMPARE(line, shown);
    // What is shown stays the same when read back from "last-adv".
    if (!line.isEmpty())
        QCOMPARE(sanitizeAdvLink(line), line);
}

// ---- The window ----

void TestUpdateCheck::noHostSendsNothing()
{
    HttpStub stub;
    QVERIFY(stub.isListening());
    stub.setAnswer(kCheck, HttpStub::answer(200, "http://127.0.0.1/new.exe"));
    // Only the environment names no host; the stub listens all the same.
    useHost(QString());
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    {
        MainWindow w;
        QTest::qWait(500);
        MainWindowTestAccess::checkUpdate(w);
        MainWindowTestAccess::help(w);
        MainWindowTestAccess::feedback(w);
        MainWindowTestAccess::home(w);
    }
    QVERIFY(stub.requests().isEmpty());
    QVERIFY(recorder.opened.isEmpty());
    QCOMPARE(seenTexts(answerer),
             QStringList(4, QStringLiteral("No web site is configured for this copy of Pelicorde, "
                                           "so there is no page to open.")));
    QVERIFY(!QFile::exists(dataFile("last-check-version-time")));
}

void TestUpdateCheck::startupRequestsFollowTimeRule_data()
{
    QTest::addColumn<QByteArray>("stamp");
    QTest::addColumn<int>("requests");
    QTest::newRow("an hour ago") << QByteArray::number(kNow - 3600) << 0;
    QTest::newRow("exactly a day ago") << QByteArray::number(kNow - 86400) << 0;
    QTest::newRow("a day and a second ago") << QByteArray::number(kNow - 86401) << 2;
    QTest::newRow("an hour ahead") << QByteArray::number(kNow + 3600) << 2;
    QTest::newRow("letters") << QByteArray("abc") << 2;
}

void TestUpdateCheck::startupRequestsFollowTimeRule()
{
    QFETCH(QByteArray, stamp);
    QFETCH(int, requests);
    writeFile(dataFile("last-check-version-time"), stamp);
    writeFile(dataFile("last-adv"), "<a href=\"http://example.org/saved\">Saved line</a>");
    HttpStub stub;
    auto w = startWindow(stub, requests ? requests : 1);
    QCOMPARE(stub.requests().size(), requests);
    // The saved line shows from the start.
    QVERIFY(MainWindowTestAccess::advLink(*w)->text().contains("Saved line"));
    if (requests) {
        QStringList targets;
        for (const auto &r : stub.requests()) {
            targets << QString::fromLatin1(r.target);
            QCOMPARE(r.host, stub.hostAndPort().toLatin1());
        }
        targets.sort();
        QCOMPARE(targets,
                 QStringList({"/adv.php?pid=A4E1C07B95D2368F0B7C4E19D3A5F826",
                              "/sms_check_update.php?pid=A4E1C07B95D2368F0B7C4E19D3A5F826&ver=31&q=1"}));
        // Answered (both 404 here): the stamp now holds the clock's time.
        QCOMPARE(readFile(dataFile("last-check-version-time")), QByteArray::number(kNow));
    } else {
        QCOMPARE(readFile(dataFile("last-check-version-time")), stamp);
    }
}

void TestUpdateCheck::updateReplies_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("asks");
    QTest::newRow("newer version") << 200 << QByteArray("http://example.org/new.exe") << true;
    QTest::newRow("newer version in capitals")
            << 200 << QByteArray("HTTP://EXAMPLE.ORG/NEW.EXE") << true;
    QTest::newRow("same version") << 200 << QByteArray() << false;
    QTest::newRow("not found") << 404 << QByteArray("http://example.org/new.exe") << false;
    QTest::newRow("server error") << 500 << QByteArray("http://example.org/new.exe") << false;
    QTest::newRow("garbage") << 200 << QByteArray("\x01\x02<html>oops</html>") << false;
    QTest::newRow("file link") << 200 << QByteArray("file:///bin/sh") << false;
    QTest::newRow("too long") << 200 << "http://example.org/" + QByteArray(200000, 'a') << false;
}

void TestUpdateCheck::updateReplies()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, asks);
    HttpStub stub;
    stub.setAnswer(kCheck, HttpStub::answer(status, body));
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnNo"));
    auto w = startWindow(stub, 2);
    QTest::qWait(asks ? 800 : 300);
    // Whatever the answer, the service was reached: no new check for a day.
    QCOMPARE(readFile(dataFile("last-check-version-time")), QByteArray::number(kNow));
    QCOMPARE(seenTexts(answerer), asks ? QStringList {question()} : QStringList());
    QVERIFY(recorder.opened.isEmpty());
}

void TestUpdateCheck::newerVersionYesOpensAndCloses()
{
    HttpStub stub;
    stub.setAnswer(kCheck, HttpStub::answer(200, "http://example.org/get/Pelicorde-3.3.exe"));
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    useHost(stub.hostAndPort());
    MainWindow w;
    CloseWatcher watcher;
    w.installEventFilter(&watcher);
    w.show();
    QVERIFY(answerer.waitAnswered(1, 5000));
    QTRY_COMPARE(watcher.closes, 1);
    QCOMPARE(recorder.opened, QList<QUrl>({QUrl("http://example.org/get/Pelicorde-3.3.exe")}));
    QVERIFY(!w.isVisible());
}

void TestUpdateCheck::slowReplyActedOnOnceFinished()
{
    HttpStub stub;
    HttpStub::Answer slow = HttpStub::answer(200, "http://example.org/a/rather/long/path/new-version.exe");
    slow.chunks = 4;
    slow.chunkDelayMs = 300;
    stub.setAnswer(kCheck, slow);
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnYes");
    useHost(stub.hostAndPort());
    MainWindow w;
    QVERIFY(answerer.waitAnswered(1, 5000));
    QTest::qWait(200);
    // One question, and the whole address opened (not the first piece).
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(recorder.opened,
             QList<QUrl>({QUrl("http://example.org/a/rather/long/path/new-version.exe")}));
}

void TestUpdateCheck::redirectToAnotherHostRefused()
{
    HttpStub other;
    other.setAnswer(kCheck, HttpStub::answer(200, "http://evil.example/new.exe"));
    other.setAnswer(kAdv, HttpStub::answer(200, "<a href=\"http://evil.example/\">evil</a>"));
    HttpStub stub;
    // "localhost" is another host name for the same machine.
    const QByteArray elsewhere = "http://localhost:" + QByteArray::number(other.serverPort());
    stub.setAnswer(kCheck, HttpStub::answer(302, {}, {{"Location", elsewhere + "/sms_check_update.php"}}));
    stub.setAnswer(kAdv, HttpStub::answer(301, {}, {{"Location", elsewhere + "/adv.php"}}));
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnYes"));
    auto w = startWindow(stub, 2);
    QTest::qWait(300);
    QVERIFY(other.requests().isEmpty());
    QVERIFY(answerer.seen().isEmpty());
    QVERIFY(recorder.opened.isEmpty());
    QVERIFY(MainWindowTestAccess::advLink(*w)->text().isEmpty());
    QCOMPARE(readFile(dataFile("last-adv")), QByteArray("<missing>"));
}

void TestUpdateCheck::questionWaitsForOpenDialog()
{
    HttpStub stub;
    HttpStub::Answer late = HttpStub::answer(200, "http://example.org/new.exe");
    late.chunks = 2;
    late.chunkDelayMs = 200;
    stub.setAnswer(kCheck, late);
    useHost(stub.hostAndPort());
    MainWindow w;

    // A box (standing for a job's progress dialog) is open while the reply
    // arrives; the question must wait until it has closed.
    ModalAnswerer answerer;
    QWidget *questionDuringBusy = nullptr;
    answerer.act(
            "QMessageBox",
            [&](QWidget *busy) {
                QDeadlineTimer until(1500);
                while (!until.hasExpired()) {
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                    if (QApplication::activeModalWidget() != busy)
                        questionDuringBusy = QApplication::activeModalWidget();
                }
                ModalAnswerer::clickButton(busy, QStringLiteral("btnOk"));
            },
            "wait, then OK");
    answerer.press("QMessageBox", "btnNo");
    QTimer::singleShot(0, &w, [] { showInfo(QStringLiteral("Working")); });
    QVERIFY(answerer.waitAnswered(2, 8000));
    QCOMPARE(questionDuringBusy, nullptr);
    QCOMPARE(stub.requests().size(), 2);
    QCOMPARE(answerer.seen().at(1).text, question());
    QVERIFY(recorder.opened.isEmpty());
}

void TestUpdateCheck::linkReplies_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("shown"); // empty: the saved line stays
    QTest::newRow("capital link")
            << 200 << QByteArray("<A href=\"http://example.org/deal\">Deal</A>")
            << "<a style=\"color:#2762DA;text-decoration:none;\" href=\"http://example.org/deal\">Deal</a>";
    QTest::newRow("hostile markup escaped")
            << 200
            << QByteArray("<a href=\"http://example.org/\">Hi<img src=x onerror=y></a><iframe>")
            << "<a style=\"color:#2762DA;text-decoration:none;\" "
               "href=\"http://example.org/\">Hi&lt;img src=x onerror=y&gt;</a>&lt;iframe&gt;";
    QTest::newRow("javascript link ignored")
            << 200 << QByteArray("<a href=\"javascript:alert(1)\">x</a>") << QString();
    QTest::newRow("blank before the tag ignored")
            << 200 << QByteArray(" <a href=\"http://example.org/\">x</a>") << QString();
    QTest::newRow("error status ignored")
            << 500 << QByteArray("<a href=\"http://example.org/\">x</a>") << QString();
}

void TestUpdateCheck::linkReplies()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, shown);
    const QByteArray saved = "<a href=\"http://example.org/saved\">Saved</a>";
    writeFile(dataFile("last-adv"), saved);
    HttpStub stub;
    stub.setAnswer(kAdv, HttpStub::answer(status, body));
    auto w = startWindow(stub, 2);
    QLabel *label = MainWindowTestAccess::advLink(*w);
    if (shown.isEmpty()) {
        QCOMPARE(label->text(), sanitizeAdvLink(QString::fromUtf8(saved)));
        QCOMPARE(readFile(dataFile("last-adv")), saved);
    } else {
        QCOMPARE(label->text(), shown);
        QCOMPARE(readFile(dataFile("last-adv")), shown.toUtf8());
    }
    QCOMPARE(label->textFormat(), Qt::RichText);
}

void TestUpdateCheck::savedLinkLineIsSanitisedAtStart()
{
    writeFile(dataFile("last-check-version-time"), QByteArray::number(kNow - 60));
    writeFile(dataFile("last-adv"), "<a href=\"file:///etc/passwd\">Open me</a>");
    {
        MainWindow w;
        QCOMPARE(MainWindowTestAccess::advLink(w)->text(), QString());
    }
    writeFile(dataFile("last-adv"), "<a href=\"http://example.org/\">Fine</a><img src=x>");
    MainWindow w;
    QCOMPARE(MainWindowTestAccess::advLink(w)->text(),
             QString("<a style=\"color:#2762DA;text-decoration:none;\" "
                     "href=\"http://example.org/\">Fine</a>&lt;img src=x&gt;"));
}

void TestUpdateCheck::windowGoesWithRequestsPending()
{
    HttpStub stub;
    HttpStub::Answer never;
    never.hang = true;
    stub.setAnswer(kCheck, never);
    stub.setAnswer(kAdv, never);
    useHost(stub.hostAndPort());
    ModalAnswerer answerer;
    {
        MainWindow w;
        QVERIFY(stub.waitForRequests(2));
    }
    QTest::qWait(200);
    QVERIFY(answerer.seen().isEmpty());
    QVERIFY(!QFile::exists(dataFile("last-check-version-time")));
}

void TestUpdateCheck::webPagesGoToConfiguredHost()
{
    writeFile(dataFile("last-check-version-time"), QByteArray::number(kNow - 60));
    HttpStub stub;
    useHost(stub.hostAndPort());
    MainWindow w;
    MainWindowTestAccess::checkUpdate(w);
    MainWindowTestAccess::help(w);
    MainWindowTestAccess::feedback(w);
    MainWindowTestAccess::home(w);
    QCOMPARE(recorder.opened.size(), 4);
    for (const QUrl &u : recorder.opened) {
        QCOMPARE(u.scheme(), QString("http"));
        QCOMPARE(u.host(), QString("127.0.0.1"));
        QCOMPARE(u.port(), int(stub.serverPort()));
    }
    const QUrl check = recorder.opened.at(0);
    QCOMPARE(check.path(), kCheck);
    const QUrlQuery q(check);
    QCOMPARE(q.queryItems().size(), 3);
    QCOMPARE(q.queryItems().at(0), qMakePair(QString("pid"), QString(kProductId)));
    QCOMPARE(q.queryItems().at(1), qMakePair(QString("ver"), QString("31")));
    QCOMPARE(q.queryItems().at(2).first, QString("vs"));
    bool number = false;
    q.queryItems().at(2).second.toUInt(&number);
    QVERIFY(number);
    QCOMPARE(recorder.opened.at(1).path(), QString("/pelicorde/help.html"));
    QCOMPARE(recorder.opened.at(2).path(), QString("/support.html"));
    QCOMPARE(recorder.opened.at(3).path(), QString("/pelicorde.html"));
    // Opening pages sends nothing by itself.
    QVERIFY(stub.requests().isEmpty());
}

void TestUpdateCheck::aboutBox()
{
    HttpStub stub;
    useHost(stub.hostAndPort());
    writeFile(dataFile("last-check-version-time"), QByteArray::number(kNow - 60));
    {
        AboutUsForm box;
        QCOMPARE(box.size(), QSize(400, 194));
        QVERIFY(box.windowFlags().testFlag(Qt::FramelessWindowHint));
        QCOMPARE(box.findChild<QLabel *>("lbProduct")->text(), QString("Pelicorde v3.2.11"));
        QCOMPARE(box.findChild<QLabel *>("lbTitle")->text(), QString("About"));
        QVERIFY(box.findChild<QLabel *>("lbCopyRight")
                        ->text()
                        .contains(QString::number(QDate::currentDate().year())));
        QLabel *home = box.findChild<QLabel *>("lbHomePage");
        QVERIFY(home->openExternalLinks());
        QVERIFY(home->text().contains(QStringLiteral("href=\"http://%1/\"").arg(stub.hostAndPort())));
        QGraphicsView *pic = box.findChild<QGraphicsView *>("picApp");
        QVERIFY(pic->scene());
        QCOMPARE(pic->scene()->itemsBoundingRect().height(), 64.0);
    }
    // Run from the Help menu: OK (on press) closes it.
    MainWindow w;
    ModalAnswerer answerer;
    answerer.press("AboutUsForm", "btnOK");
    MainWindowTestAccess::about(w);
    QCOMPARE(answerer.seen().size(), 1);
    QVERIFY(answerer.stuck().isEmpty());

    // Without a web site the box shows no link.
    useHost(QString());
    AboutUsForm bare;
    QCOMPARE(bare.findChild<QLabel *>("lbHomePage")->text(), QString());
}

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
