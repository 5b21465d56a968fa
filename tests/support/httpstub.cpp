#include "tests/support/httpstub.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrl>

HttpStub::HttpStub(QObject *parent)
    : QTcpServer(parent)
{
    listen(QHostAddress::LocalHost, 0);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString HttpStub::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(serverPort());
}

bool HttpStub::waitForRequests(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_requests.size() < count && !deadline.hasExpired())
        QTest::qWait(10);
    return m_requests.size() >= count;
}

void HttpStub::serve(QTcpSocket *socket)
{
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    if (socket->property("served").toBool())
        return;
    socket->setProperty("head", head);
    if (!head.contains("\r\n\r\n"))
        return;
    socket->setProperty("served", true);

    Request request;
    const QList<QByteArray> lines = head.left(head.indexOf("\r\n\r\n")).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("host:"))
            request.host = line.mid(5).trimmed();
    }
    m_requests.append(request);

    const QString path = QUrl(QString::fromLatin1(request.target)).path();
    Answer answer;
    if (m_answers.contains(path))
        answer = m_answers.value(path);
    else
        answer.status = 404;
    if (answer.hang)
        return;

    QByteArray response = "HTTP/1.1 " + QByteArray::number(answer.status) + " Stub\r\n";
    response += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
    response += "Connection: close\r\n";
    for (const auto &h : answer.headers)
        response += h.first + ": " + h.second + "\r\n";
    response += "\r\n";
    socket->write(response);

    const int chunks = qMax(1, answer.chunks);
    const qsizetype piece = (answer.body.size() + chunks - 1) / chunks;
    QPointer<QTcpSocket> guard(socket);
    for (int i = 0; i < chunks; ++i) {
        const QByteArray part = answer.body.mid(i * piece, piece);
        const bool last = i == chunks - 1;
        QTimer::singleShot(i * answer.chunkDelayMs, this, [guard, part, last] {
            if (!guard)
                return;
            guard->write(part);
            if (last)
                guard->disconnectFromHost();
        });
    }
}
