#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <functional>

#include "buildconfig.h"
#include "store/errorreport.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/stylesheet.h"
#include "store/winmovable.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/screenshot.h"

namespace {

// The text a label shows, read as Qt reads it: markup when its format says
// so or, left to Qt, when the text looks like markup.
QString labelShows(const QLabel *label)
{
    const bool rich = label->textFormat() == Qt::RichText
            || (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
    if (!rich)
        return label->text();
    QTextDocument doc;
    doc.setHtml(label->text());
    return doc.toPlainText();
}

// A job whose run is the given function.
class Worker : public QThread
{
public:
    explicit Worker(std::function<void()> body)
        : m_body(std::move(body))
    { }
    void run() override { m_body(); }

private:
    std::function<void()> m_body;
};

// What a peer does with a form value: form-decode it ("+" is a blank), then
// undo the URL-safe alphabet and the Base64.
QString decodeFormValue(QByteArray value)
{
    value.replace('+', ' ');
    QByteArray b64 = QByteArray::fromPercentEncoding(value);
    b64.replace('!', '/');
    b64.replace('-', '=');
    const auto decoded
            = QByteArray::fromBase64Encoding(b64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return QStringLiteral("<not base64: %1>").arg(QString::fromLatin1(b64));
    return QString::fromUtf8(*decoded);
}

QMap<QString, QString> decodeForm(const QByteArray &body)
{
    QMap<QString, QString> fields;
    for (const QByteArray &pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        fields.insert(QString::fromLatin1(pair.left(eq)), decodeFormValue(pair.mid(eq + 1)));
    }
    return fields;
}

// One HTTP request read off a local server.
struct HttpRequest
{
    QByteArray head;
    QByteArray body;
};

bool readRequest(QTcpServer &server, HttpRequest &req, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!server.hasPendingConnections() && t.elapsed() < timeoutMs)
        QTest::qWait(10);
    QTcpSocket *sock = server.nextPendingConnection();
    if (!sock)
        return false;
    QByteArray data;
    while (t.elapsed() < timeoutMs) {
        if (sock->bytesAvailable() || sock->waitForReadyRead(20))
            data += sock->readAll();
        QCoreApplication::processEvents();
        const qsizetype end = data.indexOf("\r\n\r\n");
        if (end < 0)
            continue;
        req.head = data.left(end);
        qsizetype length = 0;
        for (const QByteArray &line : req.head.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (data.size() - end - 4 >= length) {
            req.body = data.mid(end + 4, length);
            sock->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            sock->flush();
            sock->disconnectFromHost();
            return true;
        }
    }
    return false;
}

void sendMouse(QWidget *w, QEvent::Type type, QPoint pos, Qt::MouseButton button)
{
    const Qt::MouseButtons buttons
            = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent ev(type, QPointF(pos), QPointF(w->mapToGlobal(pos)),
                   type == QEvent::MouseMove ? Qt::NoButton : button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &ev);
}

class CountingWidget : public QWidget
{
public:
    int presses = 0;
    int moves = 0;

protected:
    void mousePressEvent(QMouseEvent *) override { ++presses; }
    void mouseMoveEvent(QMouseEvent *) override { ++moves; }
};

} // namespace

class TestGui : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void urlSafeBase64_data();
    void urlSafeBase64();
    void styleSheetAndPictures();
    void messageBoxes_data();
    void messageBoxes();
    void errorBoxNamesTheSupportAddress();
    void boxesShowTextAsTyped_data();
    void boxesShowTextAsTyped();
    void boxesAreFramelessAndStyled();
    void errorReportReachesServer();
    void errorReportNeedsHost();
    void errorReportFromWorker();
    void dragWithLeftButton();
    void dragIgnoresOtherButtonsAndOrigin();
    void progressUpdates_data();
    void progressUpdates();
    void progressFromWorker();
    void progressPacing();
    void succeedWithText();
    void errorEndsAsFailed();
    void cancelStopsWorker();
    void keysAndCloseDoNotEnd();
    void reportBeforeExec();
    void tipsWaitAnswered();
    void tipsWaitAfterEnd();
    void silentWorkerEndsDialog();
    void disabledCancelWaitsForReport();
    void commitHandshake_data();
    void commitHandshake();
    void lateSuccessCounts();
    void cancelKeepsDialogPainting();

private:
    QTranslator m_translator;
};

void TestGui::initTestCase()
{
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    // Whatever the build says, no test talks to a real service.
    qputenv("PELICORDE_SERVICE_HOST", "");
    qputenv("PELICORDE_SUPPORT_ADDRESS", "");
}

void TestGui::urlSafeBase64_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("encoded");
    QTest::newRow("three bytes") << "abc"
                                 << "YWJj";
    QTest::newRow("padding becomes minus") << "a"
                                           << "YQ--";
    QTest::newRow("slash becomes bang") << "???"
                                        << "Pz8!";
    QTest::newRow("plus stays") << "~~~"
                                << "fn5+";
    QTest::newRow("utf-8") << QString::fromUtf8("é") << "w6k-";
    QTest::newRow("empty") << ""
                           << "";
}

void TestGui::urlSafeBase64()
{
    QFETCH(QString, text);
    QFETCH(QString, encoded);
    QCOMPARE(::urlSafeBase64(text), encoded);
}

void TestGui::styleSheetAndPictures()
{
    const QString css = appStyleSheet();
    QVERIFY(css.contains("url(:sub_bg.jpg)"));
    QVERIFY(css.contains("url(:main_bg.jpg)"));
    QVERIFY(css.contains("QMessageBox"));
    QVERIFY(css.contains("#ProgressForm"));
    QCOMPARE(appStyleSheet(), css);
    // The style sheet parses: a widget that uses it gets the stylesheet style.
    QWidget w;
    w.setStyleSheet(css);
    w.ensurePolished();
    QVERIFY(w.style()->inherits("QStyleSheetStyle"));

    const QPixmap about(QStringLiteral(":main"));
    QCOMPARE(about.size(), QSize(256, 256));
    QVERIFY(!QPixmap(QStringLiteral(":main_bg.jpg")).isNull());
    QVERIFY(!QPixmap(QStringLiteral(":sub_bg.jpg")).isNull());
}

enum class Box { Info, Warning, Error, Critical, Question, Mask };

void TestGui::messageBoxes_data()
{
    QTest::addColumn<int>("box");
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("closeInstead");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("result");

    const int info = QMessageBox::Information, warn = QMessageBox::Warning,
              crit = QMessageBox::Critical, quest = QMessageBox::Question;
    QTest::newRow("info") << int(Box::Info) << 0 << "btnOk" << false << info << 0;
    QTest::newRow("warning") << int(Box::Warning) << 0 << "btnOk" << false << warn << 0;
    QTest::newRow("error") << int(Box::Error) << 0 << "btnOk" << false << crit << 0;
    QTest::newRow("critical") << int(Box::Critical) << 0 << "btnOk" << false << crit << 0;
    QTest::newRow("question yes") << int(Box::Question) << 0 << "btnYes" << false << quest << 1;
    QTest::newRow("question no") << int(Box::Question) << 0 << "btnNo" << false << quest << 0;
    QTest::newRow("question closed") << int(Box::Question) << 0 << "" << true << quest << 0;
    QTest::newRow("empty mask gets Qt's Ok")
            << int(Box::Mask) << 0 << "btnOk" << false << info << int(QMessageBox::Ok);
    QTest::newRow("ok cancel, cancel")
            << int(Box::Mask) << int(QMessageBox::Ok | QMessageBox::Cancel) << "btnCancel" << false
            << info << int(QMessageBox::Cancel);
    QTest::newRow("unknown bits ignored")
            << int(Box::Mask) << int(QMessageBox::Save | QMessageBox::Yes) << "btnYes" << false
            << info << int(QMessageBox::Yes);
}

void TestGui::messageBoxes()
{
    QFETCH(int, box);
    QFETCH(int, mask);
    QFETCH(QString, button);
    QFETCH(bool, closeInstead);
    QFETCH(int, icon);
    QFETCH(int, result);

    ModalAnswerer answerer;
    QStringList buttonNames;
    answerer.act("QMessageBox", [&](QWidget *w) {
        for (auto *b : w->findChildren<QAbstractButton *>())
            buttonNames << b->objectName();
        if (closeInstead)
            w->close();
        else
            QVERIFY(ModalAnswerer::clickButton(w, button));
    });

    const QString text = QStringLiteral("first line<br/>second line");
    int got = 0;
    switch (Box(box)) {
    case Box::Info:
        showInfo(text);
        break;
    case Box::Warning:
        showWarning(text);
        break;
    case Box::Error:
        showError(text);
        break;
    case Box::Critical:
        showCritical(text);
        break;
    case Box::Question:
        got = askQuestion(text) ? 1 : 0;
        break;
    case Box::Mask:
        got = showMessageBox(QMessageBox::Information, text, mask);
        break;
    }
    QCOMPARE(got, result);
    QCOMPARE(answerer.pending(), 0);
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().size(), 1);
    const ModalAnswerer::Seen &seen = answerer.seen().first();
    QCOMPARE(seen.icon, icon);
    QCOMPARE(seen.title, QString("Pelicorde"));
    if (Box(box) == Box::Error) {
        // No support address in this build: no sentence naming one.
        QCOMPARE(seen.text, QString("An Error Occurred. <br/><br/>first line<br/>second line"));
    } else {
        QCOMPARE(seen.text, text);
    }
    if (Box(box) == Box::Question)
        QCOMPARE(buttonNames.size(), 2);
    if (Box(box) == Box::Mask && mask == 0)
        QCOMPARE(buttonNames.size(), 1); // the one Qt adds when there is none
}

void TestGui::errorBoxNamesTheSupportAddress()
{
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto shoot = [&answerer](const QString &name) {
        answerer.act("QMessageBox", [name](QWidget *box) {
            saveShot(box, name);
            ModalAnswerer::clickButton(box, "btnOk");
        });
    };
    qputenv("PELICORDE_SUPPORT_ADDRESS", "help@example.org");
    shoot("errorbox-support");
    showError("It broke.");
    // Blanks are no address.
    qputenv("PELICORDE_SUPPORT_ADDRESS", "  ");
    shoot("errorbox");
    showError(escapeForBox("Cannot open /home/tom/R&D <work>/sms.db"));
    qputenv("PELICORDE_SUPPORT_ADDRESS", "");
    QCOMPARE(answerer.seen().size(), 2);
    QCOMPARE(answerer.seen().at(0).text,
             QString("An Error Occurred. <br/><br/>It broke.<br/><br/> Or you can contact "
                     "help@example.org for help."));
    QCOMPARE(answerer.seen().at(1).shown,
             QString("An Error Occurred. \n\nCannot open /home/tom/R&D <work>/sms.db"));
}

void TestGui::boxesShowTextAsTyped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("escaped name, no tag")
            << "Successfully Deleted Database " + escapeForBox("Tom & Jerry") + "."
            << "Successfully Deleted Database Tom & Jerry.";
    QTest::newRow("escaped entity")
            << "Find no Message with keyword " + escapeForBox("R&amp;D") + "."
            << "Find no Message with keyword R&amp;D.";
    QTest::newRow("escaped markup")
            << "Confirm to set the number as " + escapeForBox("<b>5550</b>") + "?"
            << "Confirm to set the number as <b>5550</b>?";
    QTest::newRow("line ends of a plain text") << escapeForBox("one\ntwo\r\nthree")
                                               << "one\ntwo\nthree";
    QTest::newRow("the program's own line breaks") << "one<br/>two"
                                                   << "one\ntwo";
    QTest::newRow("an error of a device, written for the box")
            << boxTextOf(BoxTextError("Unplug it -&gt; plug it in.<br/>Error code: 1"))
            << "Unplug it -> plug it in.\nError code: 1";
    QTest::newRow("any other error")
            << boxTextOf(std::runtime_error("cannot open /tmp/<x>&amp;.db"))
            << "cannot open /tmp/<x>&amp;.db";
}

void TestGui::boxesShowTextAsTyped()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    // What the box's label shows, read as Qt reads it.
    QString got;
    ModalAnswerer answerer;
    answerer.act("QMessageBox", [&got](QWidget *w) {
        got = labelShows(w->findChild<QLabel *>("qt_msgbox_label"));
        ModalAnswerer::clickButton(w, "btnOk");
    });
    showInfo(text);
    QCOMPARE(got, shown);
}

void TestGui::boxesAreFramelessAndStyled()
{
    ModalAnswerer answerer;
    Qt::WindowFlags flags;
    QString css;
    QPoint before, after;
    answerer.act("QMessageBox", [&](QWidget *w) {
        flags = w->windowFlags();
        css = w->styleSheet();
        // Dragged by its background like every frameless window.
        before = w->pos();
        sendMouse(w, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton);
        sendMouse(w, QEvent::MouseMove, QPoint(25, 15), Qt::LeftButton);
        sendMouse(w, QEvent::MouseButtonRelease, QPoint(25, 15), Qt::LeftButton);
        after = w->pos();
        ModalAnswerer::clickButton(w, "btnOk");
    });
    showWarning("careful");
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
    QCOMPARE(css, appStyleSheet());
    QCOMPARE(after - before, QPoint(20, 10));
}

void TestGui::errorReportReachesServer()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QByteArray host = "127.0.0.1:" + QByteArray::number(server.serverPort());
    qputenv("PELICORDE_SERVICE_HOST", host);
    auto restore = qScopeGuard([] { qputenv("PELICORDE_SERVICE_HOST", ""); });

    // "~~~" gives "+" in Base64, which a form decoder would read as a blank
    // unless it is percent-encoded; the tags become CR LF or entities.
    const QString message = QStringLiteral("first<BR >second<br/>third <b>~~~</b> a+b & c=d");
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    showError(message);
    QCOMPARE(answerer.seen().size(), 1);

    HttpRequest req;
    QVERIFY(readRequest(server, req, 10000));
    const QList<QByteArray> head = req.head.split('\n');
    QCOMPARE(head.first().trimmed(), QByteArray("POST /err_report.php HTTP/1.1"));
    QVERIFY2(req.head.toLower().contains("content-type: application/x-www-form-urlencoded"),
             req.head);
    QVERIFY2(req.head.contains("Host: " + host), req.head);

    QVERIFY2(req.body.startsWith("prod="), req.body);
    QVERIFY(!req.body.contains(' '));
    const auto fields = decodeForm(req.body);
    QCOMPARE(fields.keys(), (QStringList {"err", "prod", "ver"}));
    QCOMPARE(fields.value("prod"), QString("Pelicorde"));
    QCOMPARE(fields.value("ver"), QString("%1(%2)").arg(PEL_VERSION).arg(PEL_BUILD_NUMBER));
    QCOMPARE(fields.value("err"),
             QString("first\r\nsecond\r\nthird &lt;b&gt;~~~&lt;/b&gt; a+b & c=d"));
}

void TestGui::errorReportNeedsHost()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    qputenv("PELICORDE_SERVICE_HOST", "");
    QVERIFY(serviceUrl("/err_report.php").isEmpty());
    QVERIFY(!sendErrorReport("nobody listens"));

    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    showError("nobody listens");
    QTest::qWait(300);
    QVERIFY(!server.hasPendingConnections());

    qputenv("PELICORDE_SERVICE_HOST", "127.0.0.1:" + QByteArray::number(server.serverPort()));
    QCOMPARE(serviceUrl("/x.php").toString(),
             QString("http://127.0.0.1:%1/x.php").arg(server.serverPort()));
    qputenv("PELICORDE_SERVICE_HOST", "");
}

void TestGui::errorReportFromWorker()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    qputenv("PELICORDE_SERVICE_HOST", "127.0.0.1:" + QByteArray::number(server.serverPort()));
    auto restore = qScopeGuard([] { qputenv("PELICORDE_SERVICE_HOST", ""); });
    std::atomic_bool sent {false};
    Worker worker([&] { sent = sendErrorReport("from a job"); });
    worker.start();
    QVERIFY(worker.wait(5000));
    QVERIFY(sent);
    HttpRequest req;
    QVERIFY(readRequest(server, req, 10000));
    QCOMPARE(decodeForm(req.body).value("err"), QString("from a job"));
}

void TestGui::dragWithLeftButton()
{
    CountingWidget w;
    w.setMouseTracking(true);
    WinMovable movable(&w);
    w.setGeometry(200, 200, 100, 80);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint start = w.pos();

    sendMouse(&w, QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton);
    sendMouse(&w, QEvent::MouseMove, QPoint(30, 25), Qt::LeftButton);
    QCOMPARE(w.pos(), start + QPoint(20, 15));
    // The pressed point stays under the cursor: the next move is relative to
    // the window's new place.
    sendMouse(&w, QEvent::MouseMove, QPoint(5, 10), Qt::LeftButton);
    QCOMPARE(w.pos(), start + QPoint(15, 15));
    sendMouse(&w, QEvent::MouseButtonRelease, QPoint(5, 10), Qt::LeftButton);
    sendMouse(&w, QEvent::MouseMove, QPoint(50, 50), Qt::NoButton);
    QCOMPARE(w.pos(), start + QPoint(15, 15));
    // The widget still gets its events.
    QCOMPARE(w.presses, 1);
    QCOMPARE(w.moves, 3);
}

void TestGui::dragIgnoresOtherButtonsAndOrigin()
{
    QWidget w;
    WinMovable movable(&w);
    w.setGeometry(200, 200, 100, 80);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint start = w.pos();

    sendMouse(&w, QEvent::MouseButtonPress, QPoint(10, 10), Qt::RightButton);
    sendMouse(&w, QEvent::MouseMove, QPoint(40, 40), Qt::RightButton);
    sendMouse(&w, QEvent::MouseButtonRelease, QPoint(40, 40), Qt::RightButton);
    QCOMPARE(w.pos(), start);

    sendMouse(&w, QEvent::MouseButtonPress, QPoint(0, 0), Qt::LeftButton);
    sendMouse(&w, QEvent::MouseMove, QPoint(40, 40), Qt::LeftButton);
    sendMouse(&w, QEvent::MouseButtonRelease, QPoint(40, 40), Qt::LeftButton);
    QCOMPARE(w.pos(), start);

    sendMouse(&w, QEvent::MouseButtonPress, QPoint(1, 0), Qt::LeftButton);
    sendMouse(&w, QEvent::MouseMove, QPoint(11, 10), Qt::LeftButton);
    QCOMPARE(w.pos(), start + QPoint(10, 10));
}

void TestGui::progressUpdates_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shownStatus");
    QTest::addColumn<int>("shownValue");
    QTest::addColumn<QString>("shownText");
    // Every row starts from status "Working", bar at 40.
    QTest::newRow("keep all") << "" << -1 << ""
                              << "Working" << 40 << "Progress:40%";
    QTest::newRow("out of range") << "Next" << 250 << ""
                                  << "Next" << 40 << "Progress:250%";
    QTest::newRow("counts as text") << "" << 70 << "7 of 10 files"
                                    << "Working" << 70 << "7 of 10 files";
    QTest::newRow("zero") << "Start" << 0 << ""
                          << "Start" << 0 << "Progress:0%";
    // Names of databases and files show as the text they are.
    QTest::newRow("names that look like markup")
            << "Updating local database <b>Tom</b> &amp; Jerry messages..." << 50
            << "Saving <img src=\"x.png\">..."
            << "Updating local database <b>Tom</b> &amp; Jerry messages..." << 50
            << "Saving <img src=\"x.png\">...";
}

void TestGui::progressUpdates()
{
    QFETCH(QString, status);
    QFETCH(int, value);
    QFETCH(QString, text);
    QFETCH(QString, shownStatus);
    QFETCH(int, shownValue);
    QFETCH(QString, shownText);

    ProgressForm form("Title");
    auto *lbStatus = form.findChild<QLabel *>("lbStatus");
    auto *bar = form.findChild<QProgressBar *>("progressBar");
    auto *lbProgress = form.findChild<QLabel *>("lbProgress");
    QVERIFY(lbStatus && bar && lbProgress && form.findChild<QPushButton *>("btnCancel"));
    QCOMPARE(lbStatus->text(), QString("Title"));
    QCOMPARE(form.windowTitle(), QString("Title"));
    QCOMPARE(form.objectName(), QString("ProgressForm"));
    QCOMPARE(form.findChild<QPushButton *>("btnCancel")->text(), QString("Cancel"));

    form.postUpdateProgress("Working", 40, "");
    form.postUpdateProgress(status, value, text);
    QCOMPARE(labelShows(lbStatus), shownStatus);
    QCOMPARE(bar->value(), shownValue);
    QCOMPARE(labelShows(lbProgress), shownText);
}

void TestGui::progressPacing()
{
    // A long interval: only the first step, a moving percentage and the
    // last step make a report.
    ProgressPacer slow(3600 * 1000);
    QList<int> posted;
    for (int step = 1; step <= 1000; ++step) {
        const int percent = step * 100 / 1000;
        if (slow.due(percent, step == 1000))
            posted << step;
    }
    QCOMPARE(posted.size(), 101); // 0% at step 1, then each of 1..100
    QCOMPARE(posted.first(), 1);
    QCOMPARE(posted.last(), 1000);
    // The last step is reported even when nothing else moved.
    ProgressPacer none(3600 * 1000);
    QVERIFY(none.due(-1, false));
    QVERIFY(!none.due(-1, false));
    QVERIFY(none.due(-1, true));
    // Without a percentage, the count is reported once the interval passed.
    ProgressPacer fast(20);
    QVERIFY(fast.due(-1, false));
    QVERIFY(!fast.due(-1, false));
    QTest::qWait(40);
    QVERIFY(fast.due(-1, false));
}

void TestGui::progressFromWorker()
{
    ProgressForm form("Copying");
    QThread *guiThread = QThread::currentThread();
    QList<int> barSeen;
    QSignalSpy finished(&form, &QDialog::finished);
    auto *bar = form.findChild<QProgressBar *>("progressBar");
    connect(bar, &QProgressBar::valueChanged, this, [&](int v) {
        QCOMPARE(QThread::currentThread(), guiThread);
        barSeen << v;
    });

    Worker worker([&] {
        for (int v = 10; v <= 90; v += 40) {
            form.postUpdateProgress(QStringLiteral("Step %1").arg(v), v, {});
            QThread::msleep(20);
        }
        form.postUpdateProgress({}, -1, QStringLiteral("almost"));
        form.postSucceed({});
    });
    QVERIFY(form.runJob(&worker));
    QVERIFY(!form.failed);
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(barSeen, (QList<int> {10, 50, 90}));
    QCOMPARE(form.findChild<QLabel *>("lbStatus")->text(), QString("Step 90"));
    QCOMPARE(form.findChild<QLabel *>("lbProgress")->text(), QString("almost"));
    QCOMPARE(finished.size(), 1);
}

void TestGui::succeedWithText()
{
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    ProgressForm form("Export");
    Worker worker([&] { form.postSucceed(QStringLiteral("Exported 3 messages.")); });
    QVERIFY(form.runJob(&worker));
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Information));
    QCOMPARE(answerer.seen().first().text, QString("Exported 3 messages."));
}

void TestGui::errorEndsAsFailed()
{
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    ProgressForm form("Export");
    std::atomic_bool sawFailed {false};
    Worker worker([&] {
        form.postErrorOccurred(QStringLiteral("disk full"));
        // The worker learns of the failure through the flag.
        QDeadlineTimer deadline(10000);
        while (!form.failed && !deadline.hasExpired())
            QThread::msleep(5);
        sawFailed = bool(form.failed);
        form.postSucceed({}); // too late: no effect
    });
    QVERIFY(!form.runJob(&worker));
    QVERIFY(form.failed);
    QVERIFY(sawFailed);
    QCOMPARE(form.result(), int(QDialog::Rejected));
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Critical));
    QVERIFY(answerer.seen().first().text.contains("disk full"));
    QTest::qWait(50);
    QCOMPARE(answerer.seen().size(), 1); // no box for the late report
}

void TestGui::cancelStopsWorker()
{
    ModalAnswerer answerer;
    ProgressForm form("Backup");
    bool endedAtSignal = true;
    connect(&form, &ProgressForm::userCacel, this, [&] { endedAtSignal = form.hasEnded(); });
    std::atomic_bool started {false};
    std::atomic_int steps {0};
    Worker worker([&] {
        started = true;
        while (!form.failed && steps < 5000) {
            form.postUpdateProgress({}, steps % 100, {});
            ++steps;
            QThread::msleep(2);
        }
        // Cancelled: stop without a final report.
    });
    answerer.act("ProgressForm", [&](QWidget *w) {
        QTRY_VERIFY(started);
        QVERIFY(ModalAnswerer::clickButton(w, "btnCancel"));
    });
    QVERIFY(!form.runJob(&worker));
    QVERIFY(form.failed);
    QVERIFY(!endedAtSignal);
    QVERIFY(steps < 5000);
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().size(), 1); // no box after a cancel
}

void TestGui::keysAndCloseDoNotEnd()
{
    ModalAnswerer answerer;
    ProgressForm form("Busy");
    bool stillOpen = false;
    answerer.act("ProgressForm", [&](QWidget *w) {
        QTest::keyClick(w, Qt::Key_Escape);
        QTest::keyClick(w, Qt::Key_Return);
        QTest::keyClick(w, Qt::Key_Enter);
        w->close();
        stillOpen = w->isVisible() && !form.hasEnded();
        ModalAnswerer::clickButton(w, "btnCancel");
    });
    Worker worker([&] {
        while (!form.failed)
            QThread::msleep(5);
    });
    QVERIFY(!form.runJob(&worker));
    QVERIFY(stillOpen);
}

void TestGui::reportBeforeExec()
{
    // Delivered in exec's own loop.
    {
        ProgressForm form("Quick");
        Worker worker([&] { form.postSucceed({}); });
        form.watchWorker(&worker);
        worker.start();
        QVERIFY(worker.wait(10000));
        QCOMPARE(form.exec(), int(QDialog::Accepted));
        QVERIFY(!form.failed);
    }
    // Delivered before exec ran at all: exec still ends at once.
    for (bool report : {true, false}) {
        ModalAnswerer answerer;
        answerer.setStuckTimeout(5000);
        ProgressForm form("Quick");
        Worker worker([&] {
            if (report)
                form.postSucceed({});
        });
        form.watchWorker(&worker);
        worker.start();
        QVERIFY(worker.wait(10000));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(form.hasEnded());
        QCOMPARE(form.exec(), report ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(bool(form.failed), !report);
        QVERIFY(answerer.stuck().isEmpty());
    }
}

void TestGui::tipsWaitAnswered()
{
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    ProgressForm form("Transfer");
    std::atomic_bool read {false};
    std::atomic_bool waitedForBox {false};
    Worker worker([&] {
        read = form.waitTips(QStringLiteral("Tap YES on the phone."));
        waitedForBox = !form.waiting;
        form.postSucceed({});
    });
    QVERIFY(form.runJob(&worker));
    QVERIFY(read);
    QVERIFY(waitedForBox);
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().first().text, QString("Tap YES on the phone."));
}

void TestGui::tipsWaitAfterEnd()
{
    // The user cancels; the action then waits for the worker, so the tip can
    // never be shown. The worker must not wait for it.
    ModalAnswerer answerer;
    answerer.setStuckTimeout(5000);
    answerer.press("ProgressForm", "btnCancel");
    ProgressForm form("Transfer");
    std::atomic_int read {-1};
    Worker worker([&] {
        while (!form.failed)
            QThread::msleep(5);
        read = form.waitTips(QStringLiteral("Tap YES on the phone.")) ? 1 : 0;
    });
    form.watchWorker(&worker);
    worker.start();
    QCOMPARE(form.exec(), int(QDialog::Rejected));
    QVERIFY2(worker.wait(5000), "the worker still waits for a tip nobody will show");
    QCOMPARE(int(read), 0);
    // The tip posted to the ended dialog shows nothing later either.
    QTest::qWait(50);
    QCOMPARE(answerer.seen().size(), 1);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestGui::silentWorkerEndsDialog()
{
    // Run through runJob, and by hand as an action would without telling the
    // dialog about its worker (which then posted progress before it ended).
    for (bool byHand : {false, true}) {
        ModalAnswerer answerer;
        answerer.setStuckTimeout(5000);
        ProgressForm form("Convert");
        form.setCancelEnabled(false);
        Worker worker([&] {
            if (byHand)
                form.postUpdateProgress({}, 30, {});
            QThread::msleep(50);
        });
        QElapsedTimer t;
        t.start();
        if (byHand) {
            worker.start();
            QCOMPARE(form.exec(), int(QDialog::Rejected));
            QVERIFY(worker.wait(5000));
        } else {
            QVERIFY(!form.runJob(&worker));
        }
        QVERIFY(form.failed);
        QVERIFY2(answerer.stuck().isEmpty(), "nothing ended the dialog");
        QVERIFY(t.elapsed() < 4000);
    }
}

void TestGui::disabledCancelWaitsForReport()
{
    ModalAnswerer answerer;
    ProgressForm form("Convert");
    form.setCancelEnabled(false);
    std::atomic_bool pressed {false};
    answerer.act("ProgressForm", [&](QWidget *w) {
        QVERIFY(!ModalAnswerer::clickButton(w, "btnCancel"));
        pressed = true;
    });
    Worker worker([&] {
        while (!pressed)
            QThread::msleep(5);
        form.postUpdateProgress({}, 100, {});
        form.postSucceed({});
    });
    QVERIFY(form.runJob(&worker));
    QVERIFY(!form.failed);
}

void TestGui::commitHandshake_data()
{
    QTest::addColumn<bool>("cancelFirst");
    QTest::newRow("Cancel just before the point of no return") << true;
    QTest::newRow("Cancel just after it") << false;
}

void TestGui::commitHandshake()
{
    // The worker and the user meet at the job's point of no return: the
    // one that comes first decides, and the outcome is what the job did.
    QFETCH(bool, cancelFirst);
    ModalAnswerer answerer;
    answerer.setStuckTimeout(5000);
    ProgressForm form("Deleting");
    auto *button = form.findChild<QPushButton *>("btnCancel");
    auto press
            = [&form] { QMetaObject::invokeMethod(&form, "cancel", Qt::BlockingQueuedConnection); };
    std::atomic_int handshake {-1};
    std::atomic_bool committed {false};
    QString buttonAfter;
    bool enabledAfter = true;
    Worker worker([&] {
        if (cancelFirst)
            press();
        handshake = form.beginCommit() ? 1 : 0;
        if (!handshake)
            return; // stops as on any Cancel, reporting nothing
        // The press lands after the point of no return (the button may
        // still look enabled: the dialog itself refuses it).
        press();
        QMetaObject::invokeMethod(
                &form,
                [&] {
                    buttonAfter = button->text();
                    enabledAfter = button->isEnabled();
                },
                Qt::BlockingQueuedConnection);
        committed = true;
        form.postSucceed({});
    });
    const bool ok = form.runJob(&worker);
    QCOMPARE(handshake.load(), cancelFirst ? 0 : 1);
    QCOMPARE(ok, !cancelFirst);
    QCOMPARE(bool(committed), !cancelFirst);
    QCOMPARE(bool(form.failed), cancelFirst);
    QCOMPARE(form.cancelPressed(), cancelFirst);
    if (!cancelFirst) {
        QVERIFY(!form.cancelRequested());
        QCOMPARE(buttonAfter, QString("Finishing…"));
        QVERIFY(!enabledAfter);
        // Asking again stays true.
        QVERIFY(form.beginCommit());
    }
    QVERIFY(answerer.stuck().isEmpty());
    QVERIFY(answerer.seen().isEmpty()); // no box
}

void TestGui::lateSuccessCounts()
{
    // A job that passed its last check before the Cancel did its work: its
    // success is reported as success, and the chain after it may still ask
    // whether the user wanted to stop.
    ModalAnswerer answerer;
    answerer.press("QMessageBox", "btnOk");
    answerer.setStuckTimeout(5000);
    ProgressForm form("Restoring");
    std::atomic_bool sawCancel {false};
    Worker worker([&] {
        QMetaObject::invokeMethod(&form, "cancel", Qt::BlockingQueuedConnection);
        sawCancel = bool(form.failed);
        form.postSucceed(QStringLiteral("Restored."));
    });
    QVERIFY(form.runJob(&worker));
    QVERIFY(sawCancel);
    QVERIFY(!form.failed);
    QVERIFY(form.cancelPressed());
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().last().text, QString("Restored."));
}

void TestGui::cancelKeepsDialogPainting()
{
    // After Cancel the worker takes a while to wind down: the dialog stays
    // open, says so, and its thread keeps running (painting, timers) rather
    // than blocking on the worker.
    ModalAnswerer answerer;
    answerer.setStuckTimeout(10000);
    ProgressForm form("Copying");
    auto *lbProgress = form.findChild<QLabel *>("lbProgress");
    std::atomic_bool windingDown {false};
    std::atomic_bool started {false};
    int ticksWhileWindingDown = 0;
    bool openWhileWindingDown = false;
    QString shownText;
    QTimer ticker;
    ticker.setInterval(10);
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (!windingDown)
            return;
        ++ticksWhileWindingDown;
        openWhileWindingDown = form.isVisible() && !form.hasEnded();
        shownText = lbProgress->text();
    });
    ticker.start();
    answerer.act("ProgressForm", [&](QWidget *w) {
        QTRY_VERIFY(started);
        QVERIFY(ModalAnswerer::clickButton(w, "btnCancel"));
    });
    Worker worker([&] {
        started = true;
        while (!form.failed)
            QThread::msleep(2);
        windingDown = true;
        // Undoing what it wrote; its progress reports no longer show.
        form.postUpdateProgress({}, 50, QStringLiteral("undoing"));
        QThread::msleep(400);
        windingDown = false;
    });
    QVERIFY(!form.runJob(&worker));
    QVERIFY(form.failed);
    QVERIFY2(ticksWhileWindingDown >= 3, qPrintable(QString::number(ticksWhileWindingDown)));
    QVERIFY(openWhileWindingDown);
    QCOMPARE(shownText, QString("Cancelling…"));
    QVERIFY(answerer.stuck().isEmpty());
}

QTEST_MAIN(TestGui)
#include "tst_gui.moc"
