#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

// Two connected TCP sockets on 127.0.0.1, both owned by the calling thread,
// for tests of line protocols: `near` is the side under test, `far` the peer.
class SocketPair
{
public:
    SocketPair();
    bool isValid() const { return m_far && m_near.state() == QAbstractSocket::ConnectedState; }
    QTcpSocket *nearSide() { return &m_near; }
    QTcpSocket *farSide() { return m_far.get(); }
    // Writes bytes from the far side and waits until they have left.
    void sendFromFar(const QByteArray &bytes);
    // What the far side has received, waiting at most waitMs for it to end
    // with a line feed.
    QByteArray receivedByFar(int waitMs = 2000);

private:
    QTcpServer m_server;
    QTcpSocket m_near;
    std::unique_ptr<QTcpSocket> m_far;
};
