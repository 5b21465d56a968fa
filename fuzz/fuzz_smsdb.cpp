// A phone's sms.db as the readers of both schema generations take it: the
// bytes are the database file of a store folder, read whole into a data set
// by the iOS 6 reader and (in a store of its own) by the iOS 5 reader. Each
// read ends with a data set or an error; no file appears outside the store
// folders and the data folder; every attachment file that exists lies
// inside its store, even though the store holds links that lead out of it
// (as a copied phone file system may).
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/msgdataset.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

QTemporaryDir *sandbox;

[[noreturn]] void failWith(const QString &what)
{
    fprintf(stderr, "%s\n", qPrintable(what));
    std::abort();
}

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

// A store folder holding the bytes as its sms.db, with the links a copied
// phone may bring: its attachment and part folders lead to "outside".
QString makeStore(const QString &name, const QByteArray &bytes)
{
    const QDir root(sandbox->path());
    const QString store = root.filePath(name);
    QDir(store).removeRecursively();
    const QString sms = store + QStringLiteral("/file-relay/var/mobile/Library/SMS");
    if (!QDir().mkpath(sms + QStringLiteral("/Attachments/ab/cd")))
        std::abort();
    QFile db(sms + QStringLiteral("/sms.db"));
    if (!db.open(QIODevice::WriteOnly) || db.write(bytes) != bytes.size())
        std::abort();
    db.close();
    QFile inside(sms + QStringLiteral("/Attachments/ab/cd/photo.jpg"));
    if (!inside.open(QIODevice::WriteOnly) || inside.write("jpeg") != 4)
        std::abort();
    inside.close();
    const QString outside = root.filePath(QStringLiteral("outside"));
    QFile::link(outside, sms + QStringLiteral("/Attachments/link"));
    QFile::link(outside, sms + QStringLiteral("/Parts"));
    return store;
}

void checkAttachments(const _MsgDataSet *d, const QString &store)
{
    const QString root = QFileInfo(store).canonicalFilePath() + QLatin1Char('/');
    for (const _MsgAttachment *a : d->attachments) {
        if (a->localPath.isEmpty())
            continue;
        const QString real = QFileInfo(a->localPath).canonicalFilePath();
        if (!real.isEmpty() && !real.startsWith(root))
            failWith(QStringLiteral("attachment outside the store: ") + a->localPath);
    }
    for (const _MsgMessage *m : d->messages)
        for (const _MsgAttachment *a : m->attachments)
            if (!a)
                std::abort();
}

template<typename Db> void read(Db &db, const QString &store)
{
    MsgDataSet set;
    set.reset();
    try {
        db.messages(set, 0);
    } catch (const std::exception &) {
        return;
    }
    checkAttachments(set.data(), store);
    // One chat at a time, as the views ask.
    int asked = 0;
    for (const qint64 chat : set.data()->chats.keys()) {
        if (++asked > 4)
            break;
        MsgDataSet one;
        one.reset();
        try {
            db.messages(one, chat);
        } catch (const std::exception &) {
            continue;
        }
        checkAttachments(one.data(), store);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    sandbox = new QTemporaryDir;
    if (!sandbox->isValid())
        std::abort();
    std::atexit([] { delete sandbox; });
    // The data folder (country library, settings) goes into the sandbox too.
    const QString home = QDir(sandbox->path()).filePath(QStringLiteral("home"));
    QDir().mkpath(home);
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toUtf8());
    qputenv("TZ", "UTC");
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QDir root(sandbox->path());
    QDir().mkpath(root.filePath(QStringLiteral("outside")));

    const QString store6 = makeStore(QStringLiteral("store6"), bytes);
    {
        IOS6MessageDb db(QDir(store6), QStringLiteral("310"), false);
        read(db, store6);
    }
    const QString store5 = makeStore(QStringLiteral("store5"), bytes);
    {
        IOS5MessageDb db(QDir(store5), QStringLiteral("310"));
        read(db, store5);
    }

    for (const QString &entry : listing(root.path()))
        if (!entry.startsWith(QLatin1String("store6/")) && !entry.startsWith(QLatin1String("store5/"))
            && !entry.startsWith(QLatin1String("home/")) && entry != QLatin1String("store6")
            && entry != QLatin1String("store5") && entry != QLatin1String("home")
            && entry != QLatin1String("outside"))
            failWith(QStringLiteral("written outside the stores: ") + entry);
    return 0;
}
