#pragma once

// The system's socket calls on device service sockets (Winsock on Windows,
// POSIX elsewhere), each made once with no retry beyond an interruption.
namespace servicesocket {

// Waits until the socket can be read (or written); timeoutMs below 1 waits
// without limit. Above 0 ready, 0 timed out, below 0 an error.
int wait(int socket, int timeoutMs, bool forReading);
// One send: the count accepted, 0 when the socket takes nothing now, below
// 0 on an error (a closed peer included; no signal is raised). It never
// blocks.
long sendSome(int socket, const char *data, long length);
// One send of head and then body as one stream of bytes, without joining
// them first: the count accepted of both together, as sendSome.
long sendSome(int socket, const char *head, long headLength, const char *body, long bodyLength);
// One receive: the count received, 0 when the peer closed, below 0 on an
// error.
long receiveSome(int socket, char *buffer, long length);
// What receiveNow gives when nothing has arrived yet.
inline constexpr long kWouldBlock = -2;
// One receive that does not wait: as receiveSome, or kWouldBlock. Where
// the platform has no such call it always gives kWouldBlock.
long receiveNow(int socket, char *buffer, long length);
void close(int socket);
// Shuts both directions of the socket down from any thread: a wait or a
// receive blocked on it in another thread ends at once (the peer seems to
// have closed). The socket stays open until close.
void interrupt(int socket);

} // namespace servicesocket
