// Exports a generated phone store of 20,000 messages in 210 conversations
// to each format (TXT and CSV as one file, HTML and PDF as one file per
// conversation) with the whole export job under its progress dialog, beside
// the load of the same messages from the phone's database into a data set.
// Targets: the PDF at most 2 KB per message and within 36x of the load
// (half the 72-74x that pictures of every bubble took);
// the text formats within 3x of the load and HTML within 12x. Run from
// the program's folder, so that the placeholder of unreadable pictures
// (bubble/) is found as the program finds it.
//
//   bench_export [messages] [chats] [folder to keep the last round's files in]
//                [formats, e.g. "pdf,html"; all four by default]

#include "bench/benchapp.h"
#include "bench/benchreport.h"
#include "jobs/exportmessagesthread.h"
#include "store/ios6messagedb.h"
#include "store/progressform.h"
#include "tests/support/jobrun.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

qint64 bytesUnder(const QString &path)
{
    if (QFileInfo(path).isFile())
        return QFileInfo(path).size();
    qint64 total = 0;
    QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    bench::offscreenUnlessSet();
    TestEnv env;
    QApplication app(argc, argv);
    bench::dropDebugMessages();
    GeneratedSmsDbSpec spec;
    spec.messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    spec.chats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 210;
    const QString store = env.makeDir(QStringLiteral("phone"));
    // Only a named folder; what it holds already stays (a kept format whose
    // name is taken there is not kept).
    const QString keep = argc > 3 && *argv[3] ? QDir(QString::fromLocal8Bit(argv[3])).absolutePath()
                                              : QString();
    const GeneratedSmsDbStats st = generatePhoneSmsDb(store, spec);

    // The load of the same messages, freed inside the clock as well.
    MsgDataSet set;
    const auto loadInto = [&](MsgDataSet &into) {
        IOS6MessageDb db(QDir(store), QStringLiteral("310"), false);
        into.reset();
        db.chats(into);
        db.messages(into, 0);
    };
    loadInto(set); // warms the file cache; this set is the one exported
    const double loadMs = bench::bestMs([&] {
        auto once = std::make_unique<MsgDataSet>();
        loadInto(*once);
    });
    const MsgMessageList list(set.data()->messages.begin(), set.data()->messages.end());
    std::printf("%d messages (%d attachments) in %d conversations; best of %d rounds\n",
                st.messages, st.attachments, st.chats, bench::kRounds);

    struct Format
    {
        const char *name;
        int format;
        const char *output; // a file name, or empty for a folder
        double target;
    };
    const Format formats[] = {{"export.txt", ExportTxt, "out.txt", 3.0},
                              {"export.csv", ExportCsv, "out.csv", 3.0},
                              {"export.html", ExportHtml, "", 12.0},
                              {"export.pdf", ExportPdf, "", 36.0}};
    const QStringList only = argc > 4 ? QString::fromLocal8Bit(argv[4]).split(QLatin1Char(','))
                                      : QStringList();
    int failures = 0;
    for (const Format &f : formats) {
        if (!only.isEmpty() && !only.contains(QString::fromLatin1(f.name).mid(7)))
            continue;
        double best = 1e300;
        qint64 bytes = 0;
        for (int round = 0; round < bench::kRounds; ++round) {
            const QString folder = env.makeDir(QStringLiteral("%1-%2").arg(f.name).arg(round));
            const QString out = *f.output ? folder + QLatin1Char('/') + f.output : folder;
            bool ok = false;
            // From the start of the job to the end of its thread: the box
            // that reports success afterwards is not counted.
            ProgressForm form(QStringLiteral("export"));
            ExportMessagesThread job(list, out, f.format, &form);
            QElapsedTimer clock;
            double ms = 0;
            QObject::connect(
                    &job, &QThread::finished, &job, [&] { ms = clock.nsecsElapsed() / 1e6; },
                    Qt::DirectConnection);
            clock.start();
            ok = runJobPressingOk(form, &job).ok;
            best = std::min(best, ms);
            if (!ok) {
                std::fprintf(stderr, "%s failed\n", f.name);
                ++failures;
            }
            bytes = bytesUnder(out);
            if (!keep.isEmpty() && round == bench::kRounds - 1 && QDir().mkpath(keep))
                QDir().rename(folder, keep + QLatin1Char('/') + QLatin1String(f.name));
            QDir(folder).removeRecursively();
        }
        std::printf("  %s: %.1f MB, %.2f KB per message\n", f.name, bytes / 1048576.0,
                    bytes / 1024.0 / double(std::max<qsizetype>(list.size(), 1)));
        bench::report(f.name, best, loadMs, "ms", bench::Want::AtMost, f.target);
        if (f.format == ExportPdf) {
            const double perMessage = bytes / 1024.0 / double(std::max<qsizetype>(list.size(), 1));
            bench::report("export.pdf.size", perMessage, 0, "KB/msg", bench::Want::AtMost, 2.0,
                          perMessage);
        }
    }
    return failures ? 1 : 0;
}
