#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QTcpServer>

// A small HTTP/1.1 server on 127.0.0.1 for tests of code that talks to the
// web service. Each path gets a canned answer; every request is recorded.
// One request per connection; the connection closes after the answer.
class HttpStub : public QTcpServer
{
    Q_OBJECT
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // The body is sent in this many pieces, chunkDelayMs apart (the
        // whole length is announced first).
        int chunks = 1;
        int chunkDelayMs = 0;
        // Never answer (the connection stays open until the stub goes).
        bool hang = false;
    };
    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query as sent
        QByteArray host; // the Host header
    };

    explicit HttpStub(QObject *parent = nullptr);

    static Answer answer(int status, const QByteArray &body = {},
                         const QList<QPair<QByteArray, QByteArray>> &headers = {})
    {
        Answer a;
        a.status = status;
        a.body = body;
        a.headers = headers;
        return a;
    }

    // "127.0.0.1:<port>"
    QString hostAndPort() const;
    // Answers requests for path (query ignored); others get 404.
    void setAnswer(const QString &path, const Answer &answer) { m_answers.insert(path, answer); }
    const QList<Request> &requests() const { return m_requests; }
    // Runs the event loop until count requests arrived or the time is up.
    bool waitForRequests(int count, int timeoutMs = 5000);

private:
    void serve(QTcpSocket *socket);

    QHash<QString, Answer> m_answers;
    QList<Request> m_requests;
};
