#include "iphone/servicesocket.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace servicesocket {

#ifdef Q_OS_WIN

int wait(int socket, int timeoutMs, bool forReading)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(SOCKET(socket), &set);
    timeval tv {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, forReading ? &set : nullptr, forReading ? nullptr : &set, nullptr,
                    timeoutMs >= 1 ? &tv : nullptr);
}

namespace {

// Winsock has no flag for a send that does not wait: the socket is made
// non-blocking for the one call. A blocking send could wait for room
// without limit once the socket had reported itself writable, past the
// deadline the caller keeps (mobiledevice_send_parts waits for room
// itself, within its time limit).
class NonBlockingSend
{
public:
    explicit NonBlockingSend(SOCKET socket)
        : m_socket(socket)
    {
        u_long on = 1;
        m_switched = ::ioctlsocket(m_socket, FIONBIO, &on) == 0;
    }
    ~NonBlockingSend()
    {
        u_long off = 0;
        if (m_switched)
            ::ioctlsocket(m_socket, FIONBIO, &off);
    }
    NonBlockingSend(const NonBlockingSend &) = delete;
    NonBlockingSend &operator=(const NonBlockingSend &) = delete;
    // Without the switch the send would block: it is not made.
    bool switched() const { return m_switched; }

private:
    SOCKET m_socket;
    bool m_switched = false;
};

} // namespace

long sendSome(int socket, const char *data, long length)
{
    const NonBlockingSend mode(SOCKET(socket));
    if (!mode.switched())
        return -1;
    const int n = ::send(SOCKET(socket), data, int(length), 0);
    if (n == SOCKET_ERROR)
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    return n;
}

long sendSome(int socket, const char *head, long headLength, const char *body, long bodyLength)
{
    WSABUF parts[2] = {{ULONG(headLength), const_cast<char *>(head)},
                       {ULONG(bodyLength), const_cast<char *>(body)}};
    const NonBlockingSend mode(SOCKET(socket));
    if (!mode.switched())
        return -1;
    DWORD sent = 0;
    if (::WSASend(SOCKET(socket), parts, 2, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    return long(sent);
}

long receiveSome(int socket, char *buffer, long length)
{
    const int n = ::recv(SOCKET(socket), buffer, int(length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long receiveNow(int, char *, long)
{
    return kWouldBlock;
}

void close(int socket)
{
    ::closesocket(SOCKET(socket));
}

void interrupt(int socket)
{
    ::shutdown(SOCKET(socket), SD_BOTH);
}

#else

// poll rather than select: select cannot watch a descriptor numbered
// FD_SETSIZE (1024) or above.
int wait(int socket, int timeoutMs, bool forReading)
{
    pollfd p {socket, short(forReading ? POLLIN : POLLOUT), 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs >= 1 ? timeoutMs : -1);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

long sendSome(int socket, const char *data, long length)
{
    for (;;) {
        const ssize_t n = ::send(socket, data, size_t(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return long(n);
    }
}

long sendSome(int socket, const char *head, long headLength, const char *body, long bodyLength)
{
    iovec parts[2] = {{const_cast<char *>(head), size_t(headLength)},
                      {const_cast<char *>(body), size_t(bodyLength)}};
    msghdr message {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    for (;;) {
        const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return long(n);
    }
}

long receiveSome(int socket, char *buffer, long length)
{
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, size_t(length), 0);
        if (n < 0 && errno == EINTR)
            continue;
        return long(n);
    }
}

long receiveNow(int socket, char *buffer, long length)
{
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, size_t(length), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return kWouldBlock;
        return long(n);
    }
}

void close(int socket)
{
    ::close(socket);
}

void interrupt(int socket)
{
    ::shutdown(socket, SHUT_RDWR);
}

#endif

} // namespace servicesocket
