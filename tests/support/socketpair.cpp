#include "tests/support/socketpair.h"

#include <QDeadlineTimer>

SocketPair::SocketPair()
{
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        return;
    m_near.connectToHost(QHostAddress::LocalHost, m_server.serverPort());
    if (!m_near.waitForConnected(5000) || !m_server.waitForNewConnection(5000))
        return;
    m_far.reset(m_server.nextPendingConnection());
    if (m_far)
        m_far->setParent(nullptr);
}

void SocketPair::sendFromFar(const QByteArray &bytes)
{
    m_far->write(bytes);
    while (m_far->bytesToWrite() > 0 && m_far->waitForBytesWritten(5000)) { }
}

QByteArray SocketPair::receivedByFar(int waitMs)
{
    QByteArray all = m_far->readAll();
    QDeadlineTimer deadline(waitMs);
    while (!all.endsWith('\n') && !deadline.hasExpired()
           && m_far->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
        all += m_far->readAll();
    return all;
}
