#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <memory>

class QTcpSocket;
class QThread;

// A simulated companion app: what the Android phone's side of the line
// protocol does, for tests. It listens on a control port of 127.0.0.1. A
// session URL sent there as one line ("device2://127.0.0.1:P",
// "backup2://127.0.0.1:P/mms/", "restore2://127.0.0.1:P/mms/") makes it listen
// on port P and answer "1" (or "0" and the base64 of a refusal); the session
// then runs on P as the scenario says: the hello, a load of message batches
// with attachments, or the receipt of restored messages. The fake adb hands
// it the URL of an "am broadcast" line; a Wi-Fi connection sends the URL
// itself. One session runs at a time, on the peer's own thread.

struct PhoneAttachment
{
    QString mime;
    QString name;
    QByteArray data;
};

// One message the phone offers in a load.
struct PhoneMessage
{
    qint64 dateMs = 0;
    bool sent = false;
    QString address;
    QString contactName;
    QString text;
    QString subject;
    QList<PhoneAttachment> attachments;
    // The phone's own id of the message; when not empty, sent as the field
    // after the attachment count.
    QString phoneId;
    // When not empty, sent as the "$sms:" argument as it stands, with no
    // attachment parts (unless rawParts are given).
    QString rawArgument;
    // When not empty, sent line by line in place of the attachment parts
    // once the system has answered "1" (after the argument, raw or not); a
    // line "." waits for the system's "." as a part's end does.
    QStringList rawParts;
};

// A departure from the normal course, applied before the peer's line number
// `line` of a session (line 0 is "$ready:").
struct CompanionFault
{
    enum Kind {
        Error, // send "$error:" with the base64 of text, then end the session
        Close, // close the connection
        CloseMidLine, // send the first half of the line without its LF, then close
        Silence, // send nothing more; wait until the other side closes
        RawLine, // send text as a line instead of the line, then go on
    };
    QString session; // "device2", "backup2", "restore2"; empty: any
    int line = 0;
    Kind kind = Error;
    QString text;
};

struct CompanionScenario
{
    // The argument of "$hello:".
    QString hello = QStringLiteral(
            "version=10;model=Pixel 7;manufacturer=Google;imei=356938035643809;"
            "uid=a1b2c3d4e5;sdk=13;sdk_id=33;root=0;storage1=/storage/emulated/0;mmc=310");
    // The argument of "$count:": -2 the number of messages offered, -1 no such line.
    int count = -2;
    // What a load session offers, batch by batch.
    QList<QList<PhoneMessage>> batches;
    // Whether the app already is the default messaging app ("$defsmsapp:0").
    bool defaultSmsApp = false;
    // When not empty, the control connection refuses every session with it.
    QString refusal;
    // Bytes of attachment data per data line.
    int chunkSize = 3000;
    QList<CompanionFault> faults;

    QJsonObject toJson() const;
    static CompanionScenario fromJson(const QJsonObject &json);
};

// A message the system wrote to the phone in a restore session. Attachment
// data that is not base64 makes the app answer "$error:" and end the
// session, as the app's decoder fails on it.
struct RestoredMessage
{
    QString argument; // the "$sms:" argument as received
    qint64 dateMs = 0;
    bool sent = false;
    QString address;
    QString text;
    QString subject;
    int attachmentCount = 0;
    QList<PhoneAttachment> attachments;
};

// What the peer saw.
struct CompanionRecord
{
    QStringList sessions; // the URLs asked for, in order
    QStringList answers; // the system's "0"/"1" to loaded messages with attachments
    QList<int> restoreBatches; // messages per batch of the restore
    QList<RestoredMessage> restored; // the restored messages, in order
    bool defaultAppConfirmed = false;
    QStringList errors; // decoded "$error:" texts from the system
    QStringList endings; // per session: "bye", "closed", "fault" or "timeout"

    QJsonObject toJson() const;
};

class CompanionPeer
{
public:
    explicit CompanionPeer(const CompanionScenario &scenario = {});
    ~CompanionPeer();
    CompanionPeer(const CompanionPeer &) = delete;
    CompanionPeer &operator=(const CompanionPeer &) = delete;

    // Listens on 127.0.0.1 at controlPort (0: any free port); false when it cannot.
    bool start(quint16 controlPort = 0);
    void stop();
    quint16 controlPort() const { return m_controlPort; }

    void setScenario(const CompanionScenario &scenario);
    // Written again (replaced) after every session.
    void setRecordFile(const QString &path);
    CompanionRecord record() const;
    // Waits until n sessions have ended.
    bool waitForSessions(int n, int timeoutMs) const;

private:
    struct Session;
    void run(std::shared_ptr<class QTcpServer> control);
    void handleControl(QTcpSocket *control);
    void runSession(const QString &url, class QTcpServer *listener);
    void endSession(const QString &ending);

    mutable QMutex m_mutex;
    mutable QWaitCondition m_sessionEnded;
    CompanionScenario m_scenario;
    CompanionRecord m_record;
    int m_sessionsEnded = 0;
    QString m_recordFile;
    std::atomic<bool> m_stop {false};
    quint16 m_controlPort = 0;
    QThread *m_thread = nullptr;
};
