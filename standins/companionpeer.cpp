#include "standins/companionpeer.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>

namespace {

// The peer's own patience: how long it waits for the system between lines.
constexpr int kIdleLimit = 30000;
constexpr int kSlice = 50;
// Lines are gathered up to this many bytes before they leave, as an app's
// buffered stream does; whatever is gathered leaves before the peer waits
// for an answer.
constexpr qint64 kSendBuffer = 64 * 1024;

QByteArray b64(const QString &text)
{
    return text.toUtf8().toBase64();
}

QString unb64(const QByteArray &data)
{
    return QString::fromUtf8(QByteArray::fromBase64(data));
}

QJsonArray attachmentsToJson(const QList<PhoneAttachment> &list)
{
    QJsonArray a;
    for (const PhoneAttachment &p : list)
        a.append(QJsonObject {{"mime", p.mime},
                              {"name", p.name},
                              {"data", QString::fromLatin1(p.data.toBase64())}});
    return a;
}

QList<PhoneAttachment> attachmentsFromJson(const QJsonArray &a)
{
    QList<PhoneAttachment> list;
    for (const QJsonValue &v : a) {
        const QJsonObject o = v.toObject();
        list.append(
                PhoneAttachment {o.value("mime").toString(), o.value("name").toString(),
                                 QByteArray::fromBase64(o.value("data").toString().toLatin1())});
    }
    return list;
}

const char *faultName(CompanionFault::Kind k)
{
    switch (k) {
    case CompanionFault::Error:
        return "error";
    case CompanionFault::Close:
        return "close";
    case CompanionFault::CloseMidLine:
        return "closeMidLine";
    case CompanionFault::Silence:
        return "silence";
    case CompanionFault::RawLine:
        return "rawLine";
    }
    return "error";
}

CompanionFault::Kind faultKind(const QString &name)
{
    for (auto k : {CompanionFault::Error, CompanionFault::Close, CompanionFault::CloseMidLine,
                   CompanionFault::Silence, CompanionFault::RawLine})
        if (name == QLatin1String(faultName(k)))
            return k;
    return CompanionFault::Error;
}

// Ends a session early; the text is the session's ending in the record.
struct SessionEnd
{
    QString ending;
};

} // namespace

QJsonObject CompanionScenario::toJson() const
{
    QJsonArray batchArray;
    for (const auto &batch : batches) {
        QJsonArray messages;
        for (const PhoneMessage &m : batch)
            messages.append(QJsonObject {{"dateMs", QString::number(m.dateMs)},
                                         {"sent", m.sent},
                                         {"address", m.address},
                                         {"contactName", m.contactName},
                                         {"text", m.text},
                                         {"subject", m.subject},
                                         {"attachments", attachmentsToJson(m.attachments)},
                                         {"phoneId", m.phoneId},
                                         {"rawArgument", m.rawArgument},
                                         {"rawParts", QJsonArray::fromStringList(m.rawParts)}});
        batchArray.append(messages);
    }
    QJsonArray faultArray;
    for (const CompanionFault &f : faults)
        faultArray.append(QJsonObject {{"session", f.session},
                                       {"line", f.line},
                                       {"kind", QString::fromLatin1(faultName(f.kind))},
                                       {"text", f.text}});
    return QJsonObject {{"hello", hello},        {"count", count},
                        {"batches", batchArray}, {"defaultSmsApp", defaultSmsApp},
                        {"refusal", refusal},    {"chunkSize", chunkSize},
                        {"faults", faultArray}};
}

CompanionScenario CompanionScenario::fromJson(const QJsonObject &json)
{
    CompanionScenario s;
    if (json.contains("hello"))
        s.hello = json.value("hello").toString();
    s.count = json.value("count").toInt(-2);
    const QJsonArray batchArray = json.value("batches").toArray();
    for (const QJsonValue &b : batchArray) {
        QList<PhoneMessage> batch;
        const QJsonArray messages = b.toArray();
        for (const QJsonValue &v : messages) {
            const QJsonObject o = v.toObject();
            PhoneMessage m;
            m.dateMs = o.value("dateMs").toVariant().toLongLong();
            m.sent = o.value("sent").toBool();
            m.address = o.value("address").toString();
            m.contactName = o.value("contactName").toString();
            m.text = o.value("text").toString();
            m.subject = o.value("subject").toString();
            m.attachments = attachmentsFromJson(o.value("attachments").toArray());
            m.phoneId = o.value("phoneId").toString();
            m.rawArgument = o.value("rawArgument").toString();
            for (const QJsonValue &p : o.value("rawParts").toArray())
                m.rawParts << p.toString();
            batch.append(m);
        }
        s.batches.append(batch);
    }
    s.defaultSmsApp = json.value("defaultSmsApp").toBool();
    s.refusal = json.value("refusal").toString();
    s.chunkSize = qMax(1, json.value("chunkSize").toInt(3000));
    const QJsonArray faultArray = json.value("faults").toArray();
    for (const QJsonValue &v : faultArray) {
        const QJsonObject o = v.toObject();
        s.faults.append(CompanionFault {o.value("session").toString(), o.value("line").toInt(),
                                        faultKind(o.value("kind").toString()),
                                        o.value("text").toString()});
    }
    return s;
}

QJsonObject CompanionRecord::toJson() const
{
    QJsonArray restoredArray;
    for (const RestoredMessage &m : restored)
        restoredArray.append(QJsonObject {{"argument", m.argument},
                                          {"dateMs", QString::number(m.dateMs)},
                                          {"sent", m.sent},
                                          {"address", m.address},
                                          {"text", m.text},
                                          {"subject", m.subject},
                                          {"attachmentCount", m.attachmentCount},
                                          {"attachments", attachmentsToJson(m.attachments)}});
    QJsonArray batches;
    for (int n : restoreBatches)
        batches.append(n);
    return QJsonObject {{"sessions", QJsonArray::fromStringList(sessions)},
                        {"answers", QJsonArray::fromStringList(answers)},
                        {"restoreBatches", batches},
                        {"restored", restoredArray},
                        {"defaultAppConfirmed", defaultAppConfirmed},
                        {"errors", QJsonArray::fromStringList(errors)},
                        {"endings", QJsonArray::fromStringList(endings)}};
}

// One session on the peer's thread: line framing, faults and the record.
struct CompanionPeer::Session
{
    CompanionPeer *peer;
    QTcpSocket *socket;
    QString kind;
    CompanionScenario scenario;
    int sentLines = 0;

    void flush()
    {
        QDeadlineTimer idle(kIdleLimit);
        while (socket->bytesToWrite() > 0) {
            if (peer->m_stop || idle.hasExpired())
                throw SessionEnd {QStringLiteral("timeout")};
            if (socket->state() != QAbstractSocket::ConnectedState)
                throw SessionEnd {QStringLiteral("closed")};
            if (socket->waitForBytesWritten(kSlice))
                idle.setRemainingTime(kIdleLimit);
        }
    }

    void writeRaw(const QByteArray &bytes, bool now = true)
    {
        socket->write(bytes);
        if (now || socket->bytesToWrite() >= kSendBuffer)
            flush();
    }

    void waitForClose()
    {
        QDeadlineTimer idle(kIdleLimit);
        while (!peer->m_stop && !idle.hasExpired()
               && socket->state() == QAbstractSocket::ConnectedState) {
            socket->waitForReadyRead(kSlice);
            socket->readAll();
        }
    }

    void send(const QByteArray &line)
    {
        for (const CompanionFault &f : std::as_const(scenario.faults)) {
            if (f.line != sentLines || (!f.session.isEmpty() && f.session != kind))
                continue;
            switch (f.kind) {
            case CompanionFault::Error:
                writeRaw("$error:" + b64(f.text) + '\n');
                waitForClose();
                throw SessionEnd {QStringLiteral("fault")};
            case CompanionFault::Close:
                flush();
                throw SessionEnd {QStringLiteral("fault")};
            case CompanionFault::CloseMidLine:
                writeRaw(line.left(qMax<qsizetype>(1, line.size() / 2)));
                throw SessionEnd {QStringLiteral("fault")};
            case CompanionFault::Silence:
                flush();
                waitForClose();
                throw SessionEnd {QStringLiteral("fault")};
            case CompanionFault::RawLine:
                ++sentLines;
                writeRaw(f.text.toUtf8() + '\n', false);
                return;
            }
        }
        ++sentLines;
        writeRaw(line + '\n', false);
    }

    QByteArray read()
    {
        flush(); // the lines the system is to answer
        QByteArray line;
        QDeadlineTimer idle(kIdleLimit);
        for (;;) {
            // Whole lines as they are buffered; a part of a line waits for
            // the rest.
            if (socket->canReadLine()) {
                line += socket->readLine();
                line.chop(1); // the LF
                line.replace('\r', QByteArrayView());
                break;
            }
            if (peer->m_stop || idle.hasExpired())
                throw SessionEnd {QStringLiteral("timeout")};
            if (socket->waitForReadyRead(kSlice)) {
                idle.setRemainingTime(kIdleLimit);
                continue;
            }
            if (socket->state() != QAbstractSocket::ConnectedState && !socket->canReadLine())
                throw SessionEnd {QStringLiteral("closed")};
        }
        if (line.startsWith("$error:")) {
            QMutexLocker lock(&peer->m_mutex);
            peer->m_record.errors << unb64(line.mid(7));
            throw SessionEnd {QStringLiteral("error")};
        }
        return line;
    }

    QByteArray expect(const QByteArray &prefix)
    {
        const QByteArray line = read();
        if (!line.startsWith(prefix))
            throw SessionEnd {QStringLiteral("unexpected: ") + QString::fromLatin1(line.left(200))};
        return line;
    }

    void hello()
    {
        send("$ready:");
        send("$hello:" + scenario.hello.toUtf8());
        for (;;)
            if (read().startsWith("$bye:"))
                return;
    }

    void load()
    {
        send("$ready:");
        int total = 0;
        for (const auto &batch : std::as_const(scenario.batches))
            total += batch.size();
        if (scenario.count != -1)
            send("$count:" + QByteArray::number(scenario.count == -2 ? total : scenario.count));
        for (const auto &batch : std::as_const(scenario.batches)) {
            send("$batch:");
            for (const PhoneMessage &m : batch)
                offer(m);
            send("$end:");
            expect("$batch:");
        }
        send("$bye:");
        expect("$bye:");
    }

    void offer(const PhoneMessage &m)
    {
        if (!m.rawArgument.isEmpty()) {
            send("$sms:" + m.rawArgument.toUtf8());
            if (!m.rawParts.isEmpty() && answered() == "1")
                sendRawParts(m.rawParts);
            return;
        }
        QList<QByteArray> fields {QByteArray::number(m.dateMs),
                                  m.sent ? "1" : "0",
                                  b64(m.address),
                                  b64(m.contactName),
                                  b64(m.text),
                                  b64(m.subject),
                                  QByteArray::number(m.attachments.size())};
        if (!m.phoneId.isEmpty())
            fields << m.phoneId.toUtf8();
        send("$sms:" + fields.join(','));
        if (m.attachments.isEmpty() && m.rawParts.isEmpty())
            return;
        if (answered() != "1")
            return;
        if (!m.rawParts.isEmpty()) {
            sendRawParts(m.rawParts);
            return;
        }
        for (const PhoneAttachment &a : m.attachments) {
            send("$atta:" + a.mime.toUtf8() + ',' + a.name.toUtf8());
            for (qsizetype at = 0; at < a.data.size(); at += scenario.chunkSize)
                send(a.data.mid(at, scenario.chunkSize).toBase64());
            send(".");
            expect(".");
        }
    }

    // The system's "0" or "1" to a message with attachments, recorded.
    QByteArray answered()
    {
        const QByteArray answer = read();
        QMutexLocker lock(&peer->m_mutex);
        peer->m_record.answers << QString::fromLatin1(answer);
        return answer;
    }

    void sendRawParts(const QStringList &lines)
    {
        for (const QString &line : lines) {
            send(line.toUtf8());
            if (line == QLatin1String("."))
                expect(".");
        }
    }

    void restore()
    {
        send("$ready:");
        send(scenario.defaultSmsApp ? "$defsmsapp:0" : "$defsmsapp:1");
        if (!scenario.defaultSmsApp) {
            expect("$defsmsapp:");
            QMutexLocker lock(&peer->m_mutex);
            peer->m_record.defaultAppConfirmed = true;
        }
        int inBatch = 0;
        for (;;) {
            const QByteArray line = read();
            if (line.startsWith("$batch:")) {
                inBatch = 0;
            } else if (line.startsWith("$sms:")) {
                ++inBatch;
                receiveMessage(line.mid(5));
            } else if (line.startsWith("$end:")) {
                {
                    QMutexLocker lock(&peer->m_mutex);
                    peer->m_record.restoreBatches << inBatch;
                }
                send("$batch:");
            } else if (line.startsWith("$bye:")) {
                return;
            }
        }
    }

    void receiveMessage(const QByteArray &argument)
    {
        const QList<QByteArray> f = argument.split(',');
        RestoredMessage m;
        m.argument = QString::fromLatin1(argument);
        m.dateMs = f.value(0).toLongLong();
        m.sent = f.value(1) == "1";
        m.address = unb64(f.value(2));
        m.text = unb64(f.value(3));
        m.subject = unb64(f.value(4));
        m.attachmentCount = f.value(5).toInt();
        for (int i = 0; i < m.attachmentCount; ++i) {
            const QByteArray head = expect("$atta:").mid(6);
            const qsizetype comma = head.indexOf(',');
            PhoneAttachment a;
            a.mime = QString::fromUtf8(comma < 0 ? head : head.left(comma));
            a.name = comma < 0 ? QString() : QString::fromUtf8(head.mid(comma + 1));
            for (;;) {
                const QByteArray data = read();
                if (data.startsWith('.'))
                    break;
                const auto decoded = QByteArray::fromBase64Encoding(
                        data, QByteArray::AbortOnBase64DecodingErrors);
                if (!decoded) {
                    writeRaw("$error:"
                             + b64(QStringLiteral("invalid data line [%1]")
                                           .arg(QString::fromUtf8(data.left(60))))
                             + '\n');
                    waitForClose();
                    throw SessionEnd {QStringLiteral("fault")};
                }
                a.data += *decoded;
            }
            send(".");
            m.attachments << a;
        }
        QMutexLocker lock(&peer->m_mutex);
        peer->m_record.restored << m;
    }
};

CompanionPeer::CompanionPeer(const CompanionScenario &scenario)
    : m_scenario(scenario)
{ }

CompanionPeer::~CompanionPeer()
{
    stop();
}

bool CompanionPeer::start(quint16 controlPort)
{
    if (m_thread)
        return true;
    QMutex ready;
    QWaitCondition readyCond;
    bool done = false;
    bool ok = false;
    m_stop = false;
    m_thread = QThread::create([&, controlPort] {
        auto control = std::make_shared<QTcpServer>();
        const bool listening = control->listen(QHostAddress::LocalHost, controlPort);
        {
            QMutexLocker lock(&ready);
            ok = listening;
            m_controlPort = listening ? control->serverPort() : 0;
            done = true;
            readyCond.wakeAll();
        }
        if (listening)
            run(control);
    });
    m_thread->start();
    QMutexLocker lock(&ready);
    while (!done)
        readyCond.wait(&ready);
    if (!ok) {
        lock.unlock();
        stop();
    }
    return ok;
}

void CompanionPeer::stop()
{
    if (!m_thread)
        return;
    m_stop = true;
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
}

void CompanionPeer::setScenario(const CompanionScenario &scenario)
{
    QMutexLocker lock(&m_mutex);
    m_scenario = scenario;
}

void CompanionPeer::setRecordFile(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    m_recordFile = path;
}

CompanionRecord CompanionPeer::record() const
{
    QMutexLocker lock(&m_mutex);
    return m_record;
}

bool CompanionPeer::waitForSessions(int n, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_mutex);
    while (m_sessionsEnded < n) {
        if (!m_sessionEnded.wait(&m_mutex, deadline))
            return m_sessionsEnded >= n;
    }
    return true;
}

void CompanionPeer::run(std::shared_ptr<QTcpServer> control)
{
    while (!m_stop) {
        if (!control->waitForNewConnection(kSlice))
            continue;
        std::unique_ptr<QTcpSocket> socket(control->nextPendingConnection());
        if (socket)
            handleControl(socket.get());
    }
}

void CompanionPeer::handleControl(QTcpSocket *control)
{
    QByteArray line;
    QDeadlineTimer deadline(10000);
    while (!line.contains('\n') && !m_stop && !deadline.hasExpired()) {
        if (control->waitForReadyRead(kSlice))
            line += control->readAll();
        else if (control->state() != QAbstractSocket::ConnectedState)
            break;
    }
    const QString url = QString::fromUtf8(line).trimmed();
    if (url.isEmpty())
        return;
    CompanionScenario scenario;
    {
        QMutexLocker lock(&m_mutex);
        m_record.sessions << url;
        scenario = m_scenario;
    }
    auto reply = [&](const QByteArray &text) {
        control->write(text + '\n');
        control->waitForBytesWritten(5000);
        control->disconnectFromHost();
        if (control->state() != QAbstractSocket::UnconnectedState)
            control->waitForDisconnected(1000);
    };
    if (!scenario.refusal.isEmpty()) {
        reply("0" + b64(scenario.refusal));
        endSession(QStringLiteral("refused"));
        return;
    }
    const QUrl parsed(url);
    QTcpServer listener;
    if (parsed.port() <= 0 || !listener.listen(QHostAddress::LocalHost, quint16(parsed.port()))) {
        reply("0" + b64(QStringLiteral("can not listen on %1").arg(url)));
        endSession(QStringLiteral("refused"));
        return;
    }
    reply("1");
    runSession(url, &listener);
}

void CompanionPeer::runSession(const QString &url, QTcpServer *listener)
{
    QDeadlineTimer deadline(20000);
    while (!m_stop && !deadline.hasExpired() && !listener->waitForNewConnection(kSlice)) { }
    std::unique_ptr<QTcpSocket> socket(listener->nextPendingConnection());
    if (!socket) {
        endSession(QStringLiteral("timeout"));
        return;
    }
    // A phone answers each line as it comes; without this the many short
    // lines of a load wait for acknowledgements of the ones before.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Session s {this, socket.get(), QUrl(url).scheme(), {}, 0};
    {
        QMutexLocker lock(&m_mutex);
        s.scenario = m_scenario;
    }
    QString ending = QStringLiteral("bye");
    try {
        if (s.kind == QLatin1String("device2"))
            s.hello();
        else if (s.kind == QLatin1String("backup2"))
            s.load();
        else if (s.kind == QLatin1String("restore2"))
            s.restore();
    } catch (const SessionEnd &end) {
        ending = end.ending;
    }
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(1000);
    listener->close();
    endSession(ending);
}

void CompanionPeer::endSession(const QString &ending)
{
    QMutexLocker lock(&m_mutex);
    m_record.endings << ending;
    ++m_sessionsEnded;
    if (!m_recordFile.isEmpty()) {
        QSaveFile file(m_recordFile);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(QJsonDocument(m_record.toJson()).toJson());
            file.commit();
        }
    }
    m_sessionEnded.wakeAll();
}
