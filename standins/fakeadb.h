#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A stand-in for the adb program. The program "fakeadb" answers adb command
// lines from a scenario file named by the environment variable below; this
// class writes that scenario, puts the program first on PATH under the name
// "adb" for its own lifetime, and reads back the calls the program logged.
//
// Without a rule for a command line the program answers as adb does with
// one idle server: "start-server" reports the daemon started, "devices"
// lists nothing, "forward", "kill-server" and "am force-stop" succeed
// silently, "install" reports Success, "pm -l" lists one system package
// (and the companion app's package "com.quillmarsh.smssync" once a
// companion is set),
// "logcat -d" prints one line. "am broadcast ... -d URL" hands URL to the
// simulated companion app (setCompanion) as its control connection expects
// it, and reports the broadcast completed. Anything else fails on standard
// error with exit code 1.
struct FakeAdbReply
{
    FakeAdbReply(const QString &out = {}, const QString &err = {}, int exitCode = 0,
                 int delayMs = 0)
        : out(out)
        , err(err)
        , exitCode(exitCode)
        , delayMs(delayMs)
    { }
    QString out; // standard output
    QString err; // standard error
    int exitCode = 0;
    int delayMs = 0; // pause before answering
};

class FakeAdb
{
public:
    static constexpr const char *kScenarioVariable = "PEL_FAKE_ADB_SCENARIO";

    FakeAdb();
    ~FakeAdb();
    FakeAdb(const FakeAdb &) = delete;
    FakeAdb &operator=(const FakeAdb &) = delete;

    // The program was found and the folder made.
    bool isValid() const { return m_valid; }
    QString folder() const { return m_dir.path(); }

    // Calls whose arguments match pattern get the replies in turn, the last
    // one repeating. In a pattern "*" matches any one argument and a final
    // "**" any remaining ones. A rule added later is tried first.
    void on(const QStringList &pattern, const QList<FakeAdbReply> &replies);
    void on(const QStringList &pattern, const FakeAdbReply &reply);
    // Successive "devices" listings, the last one repeating.
    void setListings(const QStringList &listings);
    // The control port of a CompanionPeer on 127.0.0.1 that broadcasts reach.
    void setCompanion(quint16 controlPort);

    // Every call so far, oldest first; with a pattern, those that match.
    QList<QStringList> calls() const;
    QList<QStringList> calls(const QStringList &pattern) const;

    // The package a successful install sent to the phone of serial; empty
    // when none did. An install whose package file is removed or rewritten
    // while it runs (its pause) fails as with adb.
    QByteArray installedPackage(const QString &serial) const;
    // A "devices" listing of serial and state pairs as adb writes it.
    static QString listing(const QList<QPair<QString, QString>> &devices);
    static bool matches(const QStringList &pattern, const QStringList &arguments);
    // Where the fakeadb program is: $PEL_FAKEADB, else the build's bin folder.
    static QString programPath();

private:
    void save();

    QTemporaryDir m_dir;
    bool m_valid = false;
    QJsonArray m_rules;
    int m_nextRuleId = 0;
    quint16 m_companion = 0;
    QByteArray m_oldPath;
    QByteArray m_oldScenario;
    bool m_hadScenario = false;
};
