// fakeadb: answers adb command lines from the scenario that FakeAdb writes
// (see standins/fakeadb.h). Run under the name "adb" from a folder first on
// PATH.

#include "standins/fakeadb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>
#include <QTcpSocket>
#include <QThread>

#include <cstdio>

#include <sys/stat.h>

namespace {

struct Answer
{
    QByteArray out;
    QByteArray err;
    int exitCode = 0;
    int delayMs = 0;
};

QJsonObject readJson(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

void appendCall(const QString &logPath, const QStringList &args)
{
    if (logPath.isEmpty())
        return;
    QFile log(logPath);
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(QJsonDocument(QJsonArray::fromStringList(args)).toJson(QJsonDocument::Compact)
                  + '\n');
}

// The reply of the first matching rule, advancing that rule's counter.
bool ruleAnswer(const QJsonObject &scenario, const QStringList &args, Answer *answer)
{
    const QJsonArray rules = scenario.value("rules").toArray();
    for (const QJsonValue &v : rules) {
        const QJsonObject rule = v.toObject();
        QStringList pattern;
        const QJsonArray patternArray = rule.value("args").toArray();
        for (const QJsonValue &p : patternArray)
            pattern << p.toString();
        if (!FakeAdb::matches(pattern, args))
            continue;
        const QJsonArray replies = rule.value("replies").toArray();
        if (replies.isEmpty())
            return false;
        const QString stateFile = scenario.value("stateFile").toString();
        const QString key = QString::number(rule.value("id").toInt());
        QJsonObject state = readJson(stateFile);
        const int used = state.value(key).toInt();
        state.insert(key, used + 1);
        QSaveFile save(stateFile);
        if (save.open(QIODevice::WriteOnly)) {
            save.write(QJsonDocument(state).toJson(QJsonDocument::Compact));
            save.commit();
        }
        const QJsonObject r = replies.at(qMin<qsizetype>(used, replies.size() - 1)).toObject();
        answer->out = r.value("out").toString().toUtf8();
        answer->err = r.value("err").toString().toUtf8();
        answer->exitCode = r.value("exit").toInt();
        answer->delayMs = r.value("delayMs").toInt();
        return true;
    }
    return false;
}

// Hands the session URL to the simulated companion app's control port, as
// the real app's broadcast receiver takes it; returns the app's reply.
QByteArray deliverToCompanion(const QString &address, const QString &url)
{
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    QTcpSocket socket;
    socket.connectToHost(address.left(colon), address.mid(colon + 1).toUShort());
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(url.toUtf8() + '\n');
    socket.waitForBytesWritten(5000);
    QByteArray reply;
    while (!reply.contains('\n') && socket.waitForReadyRead(20000))
        reply += socket.readAll();
    socket.disconnectFromHost();
    return reply.trimmed();
}

Answer defaultAnswer(const QJsonObject &scenario, const QStringList &args)
{
    Answer a;
    QStringList rest = args;
    QString serial;
    if (rest.size() >= 2 && rest.first() == QLatin1String("-s")) {
        serial = rest.at(1);
        rest = rest.mid(2);
    }
    const QString cmd = rest.value(0);
    if (serial.isEmpty() && rest.size() == 1 && cmd == QLatin1String("start-server")) {
        a.err = "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n";
    } else if (serial.isEmpty() && rest.size() == 1 && cmd == QLatin1String("kill-server")) {
    } else if (serial.isEmpty() && rest.size() == 1 && cmd == QLatin1String("devices")) {
        a.out = "List of devices attached\n\n";
    } else if (!serial.isEmpty() && cmd == QLatin1String("forward") && rest.size() == 3) {
    } else if (!serial.isEmpty() && cmd == QLatin1String("install") && rest.size() == 2) {
        a.out = "Performing Streamed Install\nSuccess\n";
    } else if (!serial.isEmpty() && cmd == QLatin1String("uninstall") && rest.size() == 2) {
        a.out = "Success\n";
    } else if (!serial.isEmpty() && rest.mid(0, 3) == QStringList {"shell", "pm", "-l"}) {
        a.out = "package:com.android.phone\n";
        // A phone whose companion app answers has it installed.
        if (!scenario.value("companion").toString().isEmpty())
            a.out += "package:com.quillmarsh.smssync\n";
    } else if (!serial.isEmpty() && rest.mid(0, 3) == QStringList {"shell", "logcat", "-d"}) {
        a.out = "--------- beginning of main\n";
    } else if (!serial.isEmpty() && rest.mid(0, 3) == QStringList {"shell", "am", "force-stop"}) {
    } else if (!serial.isEmpty() && rest.mid(0, 3) == QStringList {"shell", "am", "broadcast"}) {
        const qsizetype d = rest.indexOf(QStringLiteral("-d"));
        const QString url = d >= 0 ? rest.value(d + 1) : QString();
        const QString companion = scenario.value("companion").toString();
        if (!url.isEmpty() && !companion.isEmpty())
            deliverToCompanion(companion, url);
        a.out = "Broadcasting: Intent { dat=" + url.toUtf8() + " flg=0x400000 }\n"
                + "Broadcast completed: result=0\n";
    } else {
        a.err = "fake adb: no answer for: " + args.join(QLatin1Char(' ')).toUtf8() + '\n';
        a.exitCode = 1;
    }
    return a;
}

// What an install reads of the package file: its identity on disk and its
// bytes. Empty when the file is not there.
struct PackageState
{
    bool exists = false;
    quint64 device = 0, inode = 0;
    QByteArray bytes;
    bool operator==(const PackageState &) const = default;
};

PackageState packageState(const QString &path)
{
    PackageState state;
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return state;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return state;
    state.exists = true;
    state.device = quint64(st.st_dev);
    state.inode = quint64(st.st_ino);
    state.bytes = file.readAll();
    return state;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString scenarioPath = qEnvironmentVariable(FakeAdb::kScenarioVariable);
    Answer answer;
    {
        // The monitor's poll and a job's command may run at the same time.
        QLockFile lock(scenarioPath.isEmpty() ? QString() : scenarioPath + QStringLiteral(".lock"));
        if (!scenarioPath.isEmpty())
            lock.lock();
        const QJsonObject scenario = readJson(scenarioPath);
        appendCall(scenario.value("callLog").toString(), args);
        if (!ruleAnswer(scenario, args, &answer)) {
            if (!scenarioPath.isEmpty())
                lock.unlock();
            answer = defaultAnswer(scenario, args);
        }
    }
    // An install streams the package to the phone while it runs: a package
    // file removed or rewritten before the install ends fails it, as with
    // adb. What a phone got is kept for the test.
    const bool install = args.size() == 4 && args.at(0) == QLatin1String("-s")
            && args.at(2) == QLatin1String("install") && answer.exitCode == 0;
    const PackageState before = install ? packageState(args.at(3)) : PackageState {};
    if (answer.delayMs > 0)
        QThread::msleep(answer.delayMs);
    if (install && before.exists) {
        if (packageState(args.at(3)) != before) {
            answer = Answer {};
            answer.out = "Performing Streamed Install\n";
            answer.err = "adb: failed to install " + QFile::encodeName(args.at(3))
                    + ": the package changed while it was sent\n";
            answer.exitCode = 1;
        } else {
            const QString installed = readJson(scenarioPath).value("installDir").toString();
            if (!installed.isEmpty()) {
                QDir().mkpath(installed);
                QSaveFile copy(installed + QLatin1Char('/') + args.at(1) + QStringLiteral(".apk"));
                if (copy.open(QIODevice::WriteOnly)) {
                    copy.write(before.bytes);
                    copy.commit();
                }
            }
        }
    }
    std::fwrite(answer.err.constData(), 1, answer.err.size(), stderr);
    std::fwrite(answer.out.constData(), 1, answer.out.size(), stdout);
    std::fflush(stderr);
    std::fflush(stdout);
    return answer.exitCode;
}
