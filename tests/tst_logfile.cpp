#include "store/logfile.h"

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

QString todayName()
{
    return QStringLiteral("log-%1.txt").arg(QDate::currentDate().toString("yyyyMMdd"));
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void touch(const QString &path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("old\n");
}

// Started as a child process (see main): logs, then ends as the mode says.
int childMain()
{
    installLogHandler(qEnvironmentVariable("PEL_LOG_DIR"), 10);
    if (qEnvironmentVariable("PEL_LOG_CHILD") == "exit") {
        // Created after the handler: destroyed while it may still be in place.
        struct Late
        {
            ~Late() { qWarning("late message from a static object"); }
        };
        static Late late;
        qDebug("before exit");
        return 0;
    }
    qDebug("abc %s", "\xc3\xbc");
    qWarning("warned");
    qFatal("fatal at 100%% %s", "%1");
    std::fputs("after fatal\n", stdout);
    return 0;
}

} // namespace

class TestLogFile : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { uninstallLogHandler(); }

    void lineFormats_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("line");
        QTest::newRow("debug") << int(QtDebugMsg) << "abc"
                               << "(D 09:05:03) abc\n";
        QTest::newRow("warning") << int(QtWarningMsg) << "w"
                                 << "(W 09:05:03) w\n";
        QTest::newRow("critical") << int(QtCriticalMsg) << "c"
                                  << "(C 09:05:03) c\n";
        QTest::newRow("fatal") << int(QtFatalMsg) << "f"
                               << "(F 09:05:03) f\n";
        QTest::newRow("info") << int(QtInfoMsg) << "i"
                              << "(09:05:03) i\n";
        QTest::newRow("percent signs kept") << int(QtWarningMsg) << "100% %1 %2"
                                            << "(W 09:05:03) 100% %1 %2\n";
        QTest::newRow("line breaks kept") << int(QtDebugMsg) << "a\nb"
                                          << "(D 09:05:03) a\nb\n";
    }
    void lineFormats()
    {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(QString, line);
        QCOMPARE(logLine(QtMsgType(type), "09:05:03", message), line);
    }

    // Twelve days of logs: the two oldest go, other entries are left alone,
    // and the first message appends to today's file.
    void pruneAndWrite()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("qlogs");
        QDir().mkpath(dir + "/subfolder");
        for (int day = 1; day <= 12; ++day)
            touch(QString("%1/log-202601%2.txt").arg(dir).arg(day, 2, 10, QChar('0')));
        touch(dir + "/.hidden");
        installLogHandler(dir, 10);
        QStringList left = QDir(dir).entryList(QDir::Files, QDir::Name);
        QCOMPARE(left.size(), 10);
        QCOMPARE(left.first(), QString("log-20260103.txt"));
        QVERIFY(QFileInfo(dir + "/subfolder").isDir());
        QVERIFY(QFileInfo::exists(dir + "/.hidden"));

        const QString today = dir + "/" + todayName();
        const bool existed = QFileInfo::exists(today);
        qWarning("%s",
                 "gr\xc3\xbc\xc3\x9f"
                 "e");
        qCritical("second");
        const QByteArray content = readFile(today);
        uninstallLogHandler();
        qWarning("not logged after uninstall");
        QCOMPARE(readFile(today), content);

        const QByteArray body = existed ? content.mid(4) : content;
        const QRegularExpression re(QString::fromUtf8(
                "^\\(W \\d\\d:\\d\\d:\\d\\d\\) grüße\\n\\(C \\d\\d:\\d\\d:\\d\\d\\) second\\n$"));
        QVERIFY2(re.match(QString::fromUtf8(body)).hasMatch(), body.constData());
        QVERIFY(!content.contains('\r'));
    }

    void missingFolderIsMadeByFirstMessage()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("a/b/qlogs");
        installLogHandler(dir, 10);
        QVERIFY(!QFileInfo::exists(dir));
        qInfo("first");
        QVERIFY(readFile(dir + "/" + todayName()).endsWith(") first\n"));
    }

    // Lines of two threads never mix.
    void twoThreads()
    {
        QTemporaryDir tmp;
        installLogHandler(tmp.path(), 10);
        const int n = 400;
        auto work = [n](char id) {
            for (int i = 0; i < n; ++i)
                qWarning("thread %c line %d %s", id, i, QByteArray(50, id).constData());
        };
        QThread *a = QThread::create(work, 'a');
        QThread *b = QThread::create(work, 'b');
        a->start();
        b->start();
        a->wait();
        b->wait();
        delete a;
        delete b;
        uninstallLogHandler();

        const QList<QByteArray> lines = readFile(tmp.filePath(todayName())).split('\n');
        QCOMPARE(lines.size(), 2 * n + 1);
        QVERIFY(lines.last().isEmpty());
        const QRegularExpression re(
                "^\\(W \\d\\d:\\d\\d:\\d\\d\\) thread ([ab]) line (\\d+) ([ab]{50})$");
        int next[2] = {0, 0};
        for (int i = 0; i < 2 * n; ++i) {
            const auto m = re.match(QString::fromLatin1(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].constData());
            const int t = m.captured(1) == "a" ? 0 : 1;
            QCOMPARE(m.captured(3), QString(50, m.captured(1)[0]));
            QCOMPARE(m.captured(2).toInt(), next[t]++);
        }
    }

    // A fatal message aborts the process once its line is on disk; debug
    // messages also reach standard output.
    void fatalAbortsAfterFlush()
    {
        QTemporaryDir tmp;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PEL_LOG_CHILD", "fatal");
        env.insert("PEL_LOG_DIR", tmp.filePath("qlogs"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        const QByteArray out = child.readAllStandardOutput();
        QCOMPARE(out, QByteArray("abc \xc3\xbc\n"));
        const QByteArray log = readFile(tmp.filePath("qlogs/" + todayName()));
        const QRegularExpression re(QString::fromUtf8(
                "^\\(D \\d\\d:\\d\\d:\\d\\d\\) abc ü\\n\\(W \\d\\d:\\d\\d:\\d\\d\\) warned\\n"
                "\\(F \\d\\d:\\d\\d:\\d\\d\\) fatal at 100% %1\\n$"));
        QVERIFY2(re.match(QString::fromUtf8(log)).hasMatch(), log.constData());
    }

    void messagesDuringExitAreSafe()
    {
        QTemporaryDir tmp;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PEL_LOG_CHILD", "exit");
        env.insert("PEL_LOG_DIR", tmp.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        const QByteArray log = readFile(tmp.filePath(todayName()));
        QVERIFY2(log.contains(") before exit\n"), log.constData());
    }
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("PEL_LOG_CHILD"))
        return childMain();
    QCoreApplication app(argc, argv);
    TestLogFile test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_logfile.moc"
