#pragma once

#include "android/androiddevice.h"
#include "android/simpleprotocol.h"

#include <QTcpSocket>

class ProgressForm;

// The session socket of a message job, with the canceller that lets the
// form's Cancel cut a blocked read or write short. The socket is detached
// from the canceller before it is closed, so that a late cancel never
// reaches a descriptor used again.
class AndroidSession
{
public:
    AndroidSession() = default;
    ~AndroidSession();
    AndroidSession(const AndroidSession &) = delete;
    AndroidSession &operator=(const AndroidSession &) = delete;

    // Cancel on the form shuts the session's connection down at once (from
    // the GUI thread).
    void watch(ProgressForm *form);

    void set(QTcpSocket *socket) { m_socket = socket; }
    QTcpSocket *get() const { return m_socket; }
    simpleprotocol::SessionCanceller *canceller() { return &m_canceller; }
    bool cancelled() const { return m_canceller.isCancelled(); }

    void close()
    {
        if (!m_socket)
            return;
        m_canceller.detach();
        closeSessionSocket(m_socket);
        m_socket = nullptr;
    }

private:
    QTcpSocket *m_socket = nullptr;
    QMetaObject::Connection m_watch;
    simpleprotocol::SessionCanceller m_canceller;
};
