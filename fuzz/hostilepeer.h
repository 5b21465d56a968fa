#pragma once

// The near end of a connection whose far end has sent the given bytes and
// then hung up, so that reads end at once instead of waiting. Both ends
// close with the object.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

class HostilePeer
{
public:
    HostilePeer(const char *bytes, size_t size)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds) != 0) {
            m_fds[0] = m_fds[1] = -1;
            return;
        }
        while (size > 0) {
            const ssize_t n = ::send(m_fds[1], bytes, size, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            bytes += n;
            size -= size_t(n);
        }
        ::shutdown(m_fds[1], SHUT_WR);
    }
    ~HostilePeer()
    {
        if (m_fds[0] >= 0) {
            ::close(m_fds[0]);
            ::close(m_fds[1]);
        }
    }
    HostilePeer(const HostilePeer &) = delete;
    HostilePeer &operator=(const HostilePeer &) = delete;

    bool isOpen() const { return m_fds[0] >= 0; }
    int socket() const { return m_fds[0]; }

private:
    int m_fds[2];
};
