// Pulling an iPhone's message databases through file_relay from the
// simulated phone of the Apple stand-ins: the whole job under its progress
// dialog (stream to file, checked unpack into a new folder, flush to the
// disk, swap), beside a baseline of the bare work, done in the same run: the
// same stream read into a file and unpacked with a plain libarchive loop,
// every file and folder written flushed to the disk and the stream deleted
// (target: within 1.5x).
//
// The job must have its files on the disk before it says it is done, and it
// deletes the stream when it has unpacked it; the baseline did neither until
// the job's flush was added, so its figure compared the job's disk writes
// with none at all. That bare figure (no flush, the stream kept) is still
// shown, without a target.
#include "bench/benchapp.h"
#include "bench/benchreport.h"
#include "iphone/filerelay.h"
#include "iphone/iosdevice.h"
#include "iphone/iosloadfilerelaythread.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "tests/support/cpiofixture.h"
#include "tests/support/iphonesim.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdio>

namespace {

// The bare work: stream into a file, then every entry written out; with
// durable, every file flushed to the disk as it is closed, then the folders,
// and the stream deleted.
bool baseline(AMDeviceRef device, const QString &folder, bool durable)
{
    int socket = 0;
    mobiledevice_file_relay_start(device, &socket);
    mobiledevice_file_relay_request(socket, {"UserDatabases"});
    const QString stream = folder + "/stream.cpio";
    QFile out(stream);
    out.open(QIODevice::WriteOnly);
    QByteArray buffer(filerelay::kChunkSize, Qt::Uninitialized);
    for (;;) {
        const int n = mobiledevice_receive_data(socket, buffer.data(), int(buffer.size()), 60000);
        if (n < 1)
            break;
        out.write(buffer.constData(), n);
    }
    out.close();
    mobiledevice_close_socket(socket);

    archive *a = archive_read_new();
    // The same reader as the job's: gzip and cpio (and empty) only.
    archive_read_support_filter_gzip(a);
    archive_read_support_format_cpio(a);
    archive_read_support_format_empty(a);
    if (archive_read_open_filename(a, QFile::encodeName(stream).constData(), 524288) != 0)
        return false;
    archive_entry *entry = nullptr;
    const QDir root(folder + "/out");
    root.mkpath(".");
    QStringList folders {root.absolutePath()};
    bool ok = true;
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
        const QString name = QString::fromUtf8(archive_entry_pathname(entry));
        if (archive_entry_filetype(entry) == AE_IFDIR) {
            root.mkpath(name);
            folders.append(root.absoluteFilePath(name));
            continue;
        }
        QFile f(root.filePath(name));
        f.open(QIODevice::WriteOnly);
        la_ssize_t n;
        while ((n = archive_read_data(a, buffer.data(), size_t(buffer.size()))) > 0)
            f.write(buffer.constData(), n);
        if (durable)
            ok = f.flush() && syncPath(f.fileName()) && ok;
    }
    archive_read_free(a);
    if (durable) {
        for (const QString &f : std::as_const(folders))
            ok = syncPath(f) && ok;
        ok = QFile::remove(stream) && ok;
    }
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    bench::offscreenUnlessSet();
    TestEnv env;
    QApplication app(argc, argv);
    const int megabytes = argc > 1 ? atoi(argv[1]) : 200;
    const int files = argc > 2 ? atoi(argv[2]) : 20;

    QString error;
    if (!iphonesim::load(&error)) {
        std::printf("stand-ins not loaded: %s\n", qPrintable(error));
        return 1;
    }
    // A big sms.db beside small databases, as a phone's UserDatabases.
    CpioFixture cpio;
    for (const char *f : {".", "./var", "./var/mobile", "./var/mobile/Library",
                          "./var/mobile/Library/SMS", "./var/mobile/Library/Other"})
        cpio.addFolder(f);
    QByteArray big(qsizetype(megabytes) * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator gen(1);
    gen.fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
    cpio.addFile("./var/mobile/Library/SMS/sms.db", big);
    big.clear();
    for (int i = 0; i < files; ++i)
        cpio.addFile(QString("./var/mobile/Library/Other/db%1.sqlite").arg(i),
                     QByteArray(64 * 1024, char(i)));
    const QString archive = env.makeDir("phone") + "/stream.cpio";
    if (!cpio.writeTo(archive))
        return 1;
    const qint64 bytes = QFileInfo(archive).size();
    const QJsonObject device {
            {"udid", "BENCH"},
            {"values", QJsonObject {{"", QJsonObject {{"UniqueDeviceID", "BENCH"}}}}},
            {"fileRelay", QJsonObject {{"archive", archive}}}};
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {device}}});
    AMDeviceRef ref = iphonesim::device("BENCH");

    // Best of three rounds each, taken in turns.
    IOSDevice phone = IOSDevice::fromLockdown(ref);
    double base = -1;
    double bare = -1;
    double pulled = -1;
    bool baseOk = true;
    bool ok = true;
    const auto keepBest = [](double &best, double ms) { best = best < 0 ? ms : qMin(best, ms); };
    for (int round = 0; round < 3; ++round) {
        const QString bareDir = QString("bare%1").arg(round);
        keepBest(bare, bench::timeMs([&] {
                     baseOk = baseline(ref, env.makeDir(bareDir), false) && baseOk;
                 }));
        QDir(env.home() + "/" + bareDir).removeRecursively();
        const QString baseDir = QString("baseline%1").arg(round);
        keepBest(base, bench::timeMs([&] {
                     baseOk = baseline(ref, env.makeDir(baseDir), true) && baseOk;
                 }));
        QDir(env.home() + "/" + baseDir).removeRecursively();
        keepBest(pulled, bench::timeMs([&] {
                     ProgressForm form(QStringLiteral("Loading"));
                     IOSLoadFileRelayThread job(&phone, &form);
                     ok = form.runJob(&job) && ok;
                 }));
    }

    const double mb = double(bytes) / (1024 * 1024);
    std::printf("file_relay pull of %.1f MB (%d files), best of 3: baseline %.1f MB/s%s, job "
                "%.1f MB/s%s\n",
                mb, files + 1, mb * 1000 / std::max(base, 0.1), baseOk ? "" : " FAILED",
                mb * 1000 / std::max(pulled, 0.1), ok ? "" : " FAILED");
    bench::report("filerelay.pull", pulled, base, "ms", bench::Want::AtMost, 1.5);
    bench::report("filerelay.pull_vs_unflushed", pulled, bare, "ms");
    return ok && baseOk ? 0 : 1;
}
