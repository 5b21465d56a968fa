// Writing and reading a large file (256 MiB, or the MiB given) through the
// AFC file client on the simulated iPhone of the Apple stand-ins, beside the
// same bytes streamed through a plain socket pair in the same run. Both
// ratios are printed with the target (AFC within 1.5x of the plain socket).
// Writes go as the client sends them, 32 KiB a request, each answered;
// reads 64 KiB a request.
#include "iphone/afc.h"
#include "tests/support/iphonesim.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRandomGenerator>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr qint64 kSlice = 8 << 20;

// Slice i of the file: one random block, its first bytes the slice number.
void fillSlice(QByteArray &slice, const QByteArray &block, qint64 index)
{
    slice = block;
    std::memcpy(slice.data(), &index, sizeof index);
}

qint64 sliceCount(qint64 total)
{
    return (total + kSlice - 1) / kSlice;
}

qint64 sliceSize(qint64 total, qint64 index)
{
    return qMin(kSlice, total - index * kSlice);
}

bool sendAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// Receives total bytes into a slice-sized buffer, or, with keep, keeps
// them all in memory as the simulated phone keeps a file; false when short.
bool receiveAll(int fd, qint64 total, bool keep)
{
    QByteArray buffer(kSlice, Qt::Uninitialized);
    QByteArray kept;
    qint64 got = 0;
    while (got < total) {
        const ssize_t n = ::recv(fd, buffer.data(), size_t(qMin(total - got, qint64(65536))), 0);
        if (n <= 0)
            return false;
        if (keep)
            kept.append(buffer.constData(), n);
        got += n;
    }
    return true;
}

// The same bytes one way through a socket pair: milliseconds. The far end
// of a write keeps the bytes (as the phone does), the reader of a read
// takes them into one buffer (as the AFC reader does).
qint64 plainTransfer(const QByteArray &block, qint64 total, bool keep)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return -1;
    QElapsedTimer timer;
    timer.start();
    bool received = false;
    std::thread reader([&] { received = receiveAll(fds[1], total, keep); });
    QByteArray slice;
    for (qint64 i = 0; i < sliceCount(total); ++i) {
        fillSlice(slice, block, i);
        if (!sendAll(fds[0], slice.constData(), sliceSize(total, i)))
            break;
    }
    reader.join();
    const qint64 ms = timer.elapsed();
    ::close(fds[0]);
    ::close(fds[1]);
    return received ? ms : -1;
}

void report(const char *what, qint64 afcMs, qint64 plainMs, qint64 total)
{
    const double mib = double(total) / (1 << 20);
    const double ratio = plainMs > 0 ? double(afcMs) / double(plainMs) : 0;
    std::printf("%s: AFC %lld ms (%.0f MiB/s), plain socket pair %lld ms (%.0f MiB/s), ratio "
                "%.2f (target: at most 1.5) %s\n",
                what, qlonglong(afcMs), mib * 1000.0 / double(qMax<qint64>(afcMs, 1)),
                qlonglong(plainMs), mib * 1000.0 / double(qMax<qint64>(plainMs, 1)), ratio,
                ratio <= 1.5 ? "ok" : "MISSED");
}

} // namespace

int main(int argc, char **argv)
{
    TestEnv env;
    QCoreApplication app(argc, argv);
    const qint64 total = qint64(argc > 1 ? atoi(argv[1]) : 256) << 20;
    QString error;
    if (!iphonesim::load(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QString udid = QStringLiteral("BENCH-AFC");
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {QJsonObject {{"udid", udid}}}}});

    QByteArray block(kSlice, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(block.data()), kSlice / 4);

    int status = 0;
    {
        AfcConnection afc(iphonesim::device(udid));
        afc.connect();
        QByteArray slice;

        QElapsedTimer timer;
        timer.start();
        {
            AfcFile file;
            if (!afc.openForWriting(QStringLiteral("/bench.bin"), file)) {
                std::fprintf(stderr, "open: %s\n", qPrintable(afc.lastError()));
                return 1;
            }
            for (qint64 i = 0; i < sliceCount(total); ++i) {
                fillSlice(slice, block, i);
                const int n = int(sliceSize(total, i));
                if (file.write(slice.constData(), n) != n) {
                    std::fprintf(stderr, "write: %s\n", qPrintable(file.lastError()));
                    return 1;
                }
            }
        }
        const qint64 writeMs = timer.elapsed();
        const qint64 plainWriteMs = plainTransfer(block, total, true);

        timer.restart();
        qint64 verifyMs = 0;
        {
            AfcFile file;
            if (!afc.openForReading(QStringLiteral("/bench.bin"), file))
                return 1;
            QByteArray buffer(kSlice, Qt::Uninitialized);
            for (qint64 i = 0; i < sliceCount(total); ++i) {
                const int n = int(sliceSize(total, i));
                if (file.read(buffer.data(), n) != n) {
                    std::fprintf(stderr, "read: %s\n", qPrintable(file.lastError()));
                    return 1;
                }
                QElapsedTimer check;
                check.start();
                fillSlice(slice, block, i);
                if (std::memcmp(buffer.constData(), slice.constData(), size_t(n)) != 0) {
                    std::fprintf(stderr, "read: slice %lld differs\n", qlonglong(i));
                    status = 1;
                }
                verifyMs += check.elapsed();
            }
        }
        const qint64 readMs = timer.elapsed() - verifyMs;
        const qint64 plainReadMs = plainTransfer(block, total, false);

        std::printf("AFC file of %lld MiB on the simulated iPhone\n", qlonglong(total >> 20));
        report("write", writeMs, plainWriteMs, total);
        report("read ", readMs, plainReadMs, total);
        afc.removePath(QStringLiteral("/bench.bin"));
    }
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}});
    iphonesim::shutdown();
    return status;
}
