#include "standins/fakeadb.h"

#include "buildconfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

QString scenarioFile(const QString &dir)
{
    return dir + QStringLiteral("/scenario.json");
}

} // namespace

FakeAdb::FakeAdb()
{
    const QString program = programPath();
    if (!m_dir.isValid() || !QFileInfo(program).isExecutable())
        return;
    if (!QFile::link(program, m_dir.filePath(QStringLiteral("adb"))))
        return;
    m_valid = true;
    m_oldPath = qgetenv("PATH");
    m_hadScenario = qEnvironmentVariableIsSet(kScenarioVariable);
    m_oldScenario = qgetenv(kScenarioVariable);
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + m_oldPath);
    qputenv(kScenarioVariable, QFile::encodeName(scenarioFile(m_dir.path())));
    save();
}

FakeAdb::~FakeAdb()
{
    if (!m_valid)
        return;
    qputenv("PATH", m_oldPath);
    if (m_hadScenario)
        qputenv(kScenarioVariable, m_oldScenario);
    else
        qunsetenv(kScenarioVariable);
}

void FakeAdb::on(const QStringList &pattern, const QList<FakeAdbReply> &replies)
{
    QJsonArray list;
    for (const FakeAdbReply &r : replies)
        list.append(QJsonObject {
                {"out", r.out}, {"err", r.err}, {"exit", r.exitCode}, {"delayMs", r.delayMs}});
    QJsonObject rule {{"id", m_nextRuleId++},
                      {"args", QJsonArray::fromStringList(pattern)},
                      {"replies", list}};
    m_rules.prepend(rule);
    save();
}

void FakeAdb::on(const QStringList &pattern, const FakeAdbReply &reply)
{
    on(pattern, QList<FakeAdbReply> {reply});
}

void FakeAdb::setListings(const QStringList &listings)
{
    QList<FakeAdbReply> replies;
    for (const QString &l : listings)
        replies.append(FakeAdbReply {l, {}, 0, 0});
    on({QStringLiteral("devices")}, replies);
}

void FakeAdb::setCompanion(quint16 controlPort)
{
    m_companion = controlPort;
    save();
}

QList<QStringList> FakeAdb::calls() const
{
    QList<QStringList> result;
    QFile log(m_dir.filePath(QStringLiteral("calls.log")));
    if (!log.open(QIODevice::ReadOnly))
        return result;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        QStringList args;
        const QJsonArray array = QJsonDocument::fromJson(line).array();
        for (const QJsonValue &v : array)
            args << v.toString();
        result << args;
    }
    return result;
}

QByteArray FakeAdb::installedPackage(const QString &serial) const
{
    QFile file(m_dir.filePath(QStringLiteral("installed/") + serial + QStringLiteral(".apk")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QStringList> FakeAdb::calls(const QStringList &pattern) const
{
    QList<QStringList> result;
    const QList<QStringList> all = calls();
    for (const QStringList &c : all)
        if (matches(pattern, c))
            result << c;
    return result;
}

QString FakeAdb::listing(const QList<QPair<QString, QString>> &devices)
{
    QString text = QStringLiteral("List of devices attached\n");
    for (const auto &d : devices)
        text += d.first + QLatin1Char('\t') + d.second + QLatin1Char('\n');
    return text + QLatin1Char('\n');
}

bool FakeAdb::matches(const QStringList &pattern, const QStringList &arguments)
{
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (pattern.at(i) == QLatin1String("**") && i == pattern.size() - 1)
            return true;
        if (i >= arguments.size())
            return false;
        if (pattern.at(i) != QLatin1String("*") && pattern.at(i) != arguments.at(i))
            return false;
    }
    return pattern.size() == arguments.size();
}

QString FakeAdb::programPath()
{
    const QString fromEnv = qEnvironmentVariable("PEL_FAKEADB");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QStringLiteral(PEL_BINARY_DIR "/bin/fakeadb");
}

void FakeAdb::save()
{
    if (!m_dir.isValid())
        return;
    QJsonObject scenario {{"rules", m_rules},
                          {"callLog", m_dir.filePath(QStringLiteral("calls.log"))},
                          {"stateFile", m_dir.filePath(QStringLiteral("state.json"))},
                          {"installDir", m_dir.filePath(QStringLiteral("installed"))}};
    if (m_companion)
        scenario.insert("companion", QStringLiteral("127.0.0.1:%1").arg(m_companion));
    QSaveFile file(scenarioFile(m_dir.path()));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(scenario).toJson());
        file.commit();
    }
}
