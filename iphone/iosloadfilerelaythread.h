#pragma once

#include <QThread>

#include <atomic>
#include <mutex>

class IOSDevice;
class ProgressForm;

// Pulls an iPhone's message databases through its file_relay service: the
// "UserDatabases" stream is stored as "file-relay.cpio" in the phone's cache
// folder and unpacked into its "file-relay" folder, which then mirrors the
// phone's own file tree ("file-relay/var/mobile/Library/SMS/sms.db").
//
// The archive is unpacked into a new folder that replaces "file-relay" only
// when everything unpacked: a failed or cancelled pull leaves the previous
// copy as it was (and the stored stream, for a later look). The job reports
// only through the progress dialog; Cancel ends it at once, even while the
// phone is silent.
class IOSLoadFileRelayThread : public QThread
{
    Q_OBJECT
public:
    IOSLoadFileRelayThread(IOSDevice *device, ProgressForm *progress, QObject *parent = nullptr);

    // How long the stream may stay silent before it counts as ended
    // (60000 ms; tests shorten it).
    static int noDataTimeoutMs();
    static void setNoDataTimeoutMs(int ms);

    // Entries of the last successful pull that were neither files nor
    // folders (links, devices...) and were left out; the success box says
    // how many when there were any.
    int skippedEntries() const { return m_skipped; }

protected:
    void run() override;

private:
    // False when cancelled; throws std::exception on failure.
    bool pull();
    bool download(int socket, const QString &streamPath);
    // Fills buffer from the socket: the count received, 0 at the end of the
    // stream (closed, or silent for noDataTimeoutMs), -1 when cancelled.
    int receiveChunk(int socket, char *buffer, int length);
    bool isCancelled() const;
    // GUI thread, on Cancel: wakes a wait on the phone.
    void cancel();
    void setSocket(int socket);
    void closeSocket();

    IOSDevice *device;
    ProgressForm *progress;

    std::atomic_bool m_cancelled {false};
    std::mutex m_socketMutex;
    int m_socket = 0;
    int m_skipped = 0;
};
