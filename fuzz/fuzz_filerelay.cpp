// The unpack step of a phone's file_relay archive over any bytes (cpio in any
// layout, compressed with gzip or not, as the unpack step takes it): it ends
// with success or its error, and whatever it makes is folders and regular
// files inside the unpack folder. A file, folder or link that appears
// anywhere else in the run's sandbox fails the target, and so does a link
// inside the unpack folder.
#include "iphone/filerelay.h"
#include "iphone/mobiledevice.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

// The device side of the unpack step is not fuzzed here; these stand in for
// what filerelay.cpp calls of it.
void mobiledevice_start_service(AMDeviceRef, const char *, int *)
{
    throw std::runtime_error("no device");
}
void mobiledevice_sendmsg(int, const CFType &, bool, int)
{
    throw std::runtime_error("no device");
}
CFType mobiledevice_recmsg(int, const CFType &, int)
{
    throw std::runtime_error("no device");
}
QString mobiledevice::shortXml(const CFType &, qsizetype)
{
    return QString();
}

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

QTemporaryDir *sandbox;

// Every entry below root (links not followed), relative to it.
QStringList listing(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    return out;
}

[[noreturn]] void failWith(const QString &what)
{
    fprintf(stderr, "%s\n", qPrintable(what));
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    sandbox = new QTemporaryDir;
    if (!sandbox->isValid())
        std::abort();
    std::atexit([] { delete sandbox; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // sandbox/archive is the stream as received; sandbox/box/out the unpack
    // folder. The unpack may touch nothing but out.
    const QDir root(sandbox->path());
    const QString archivePath = root.filePath(QStringLiteral("archive"));
    const QString box = root.filePath(QStringLiteral("box"));
    const QString out = box + QStringLiteral("/out");
    {
        QFile f(archivePath);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || f.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
            std::abort();
    }
    QDir(box).removeRecursively();
    if (!QDir().mkpath(out))
        std::abort();

    QByteArray buffer;
    filerelay::UnpackHooks hooks;
    try {
        filerelay::unpackArchive(archivePath, out, buffer, hooks);
    } catch (const std::runtime_error &) {
    }

    const QStringList outside = listing(root.path());
    for (const QString &entry : outside)
        if (entry != QLatin1String("archive") && entry != QLatin1String("box")
            && entry != QLatin1String("box/out") && !entry.startsWith(QLatin1String("box/out/")))
            failWith(QStringLiteral("written outside the unpack folder: ") + entry);
    for (const QString &entry : listing(out)) {
        const QFileInfo info(QDir(out).filePath(entry));
        if (info.isSymLink() || !(info.isDir() || info.isFile()))
            failWith(QStringLiteral("not a plain file or folder: ") + entry);
    }
    QDir(box).removeRecursively();
    return 0;
}
