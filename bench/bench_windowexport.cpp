// Exports every message of a generated local database from the main window
// (the whole-database command, its save dialog answered at once) in each
// format, beside the export job run on the same list without the window in
// the same run. Prints the best of the rounds of each and the window's
// overhead (target: under 10%), then the text and CSV export times beside
// loading the database into a data set (target: within 1.5x).
//
//   bench_windowexport [messages] [chats] [rounds] [formats]
//
// formats: letters of t (text), c (CSV), p (PDF), h (HTML); default "tcph".

#include "bench/benchapp.h"
#include "bench/benchreport.h"
#include "jobs/exportmessagesthread.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/progressform.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/windowtest.h"
#include "ui/exporttarget.h"
#include "ui/itemmodelmain.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

double secondsSince(const QElapsedTimer &t) { return t.nsecsElapsed() / 1e9; }

// A modal widget left unanswered this long is taken for a forgotten one.
constexpr int kStuckMs = 30 * 60 * 1000;

// Answers the save dialog with path under filter as soon as it shows.
void answerSave(ModalAnswerer &answerer, int filter, const QString &path)
{
    answerer.act("QFileDialog", [filter, path](QWidget *w) {
        QTimer::singleShot(0, w, [w, filter, path] {
            auto *d = qobject_cast<QFileDialog *>(w);
            d->selectNameFilter(exportFilterTexts().at(filter));
            d->findChild<QLineEdit *>("fileNameEdit")->setText(path);
            QMetaObject::invokeMethod(d, "accept");
        });
    });
}

} // namespace

int main(int argc, char **argv)
{
    bench::offscreenUnlessSet();
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    WindowTestEnv env; // the data folder in a temporary home
    QApplication app(argc, argv);
    env.setUp(); // the English catalogue; no service host, no Apple libraries
    FakeAdb adb; // the window's Android watcher talks to a stand-in

    GeneratedSmsDbSpec spec;
    spec.messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    spec.chats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 250;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const QString formats = argc > 4 ? QString::fromLatin1(argv[4]) : QStringLiteral("tcph");

    const QString store = localDatabasesFolder().absoluteFilePath(QStringLiteral("Bench"));
    QElapsedTimer t;
    t.start();
    const GeneratedSmsDbStats st = generatePhoneSmsDb(store, spec);
    std::printf("generated local database: %d messages, %d chats in %.2f s\n", st.messages,
                st.chats, secondsSince(t));

    // The load the window does on selecting the database, as a baseline.
    double loadBest = 1e99;
    for (int r = 0; r < rounds; ++r) {
        IOS6MessageDb db(QDir(store), QString(), true);
        MsgDataSet set;
        t.restart();
        db.messages(set, 0);
        loadBest = std::min(loadBest, secondsSince(t));
    }

    MainWindow w;
    w.show();
    _AbsDBItemNode *node = nullptr;
    for (auto *n : w.treeModelObject()->localDbRoot->children)
        if (n->text == QLatin1String("Bench"))
            node = static_cast<_AbsDBItemNode *>(n);
    if (!node) {
        std::fprintf(stderr, "no database node\n");
        return 1;
    }
    auto *tree = w.findChild<MyTreeView *>(QStringLiteral("treeViewDS"));
    tree->setCurrentIndex(w.treeModelObject()->indexForNode(node));
    QCoreApplication::processEvents();
    const MsgMessageList list = node->dataSet.data()->messages.values();
    std::printf("window shows %lld messages\n", static_cast<long long>(list.size()));

    struct Format
    {
        QChar letter;
        int filter;
        const char *name;
    };
    const Format all[] = {{u't', ExportFilterTxt, "txt"},
                          {u'c', ExportFilterCsv, "csv"},
                          {u'p', ExportFilterPdf, "pdf"},
                          {u'h', ExportFilterHtml, "html"}};
    int run = 0;
    int status = 0;
    for (const Format &f : all) {
        if (!formats.contains(f.letter))
            continue;
        double windowBest = 1e99, bareBest = 1e99;
        QString windowRounds, bareRounds;
        for (int r = 0; r < rounds; ++r) {
            const QString outDir = env.makeDir(QStringLiteral("out%1").arg(++run));
            // Neither side may find the other's dirty pages still to be
            // written back, and neither may always come second with the
            // files of the first warm in the cache: each timed run starts
            // after a sync, and the order alternates between rounds.
            auto windowRun = [&] {
                ModalAnswerer answerer(2);
                answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
                // The progress dialog stays up for as long as the export
                // takes: it must not be taken for a forgotten box and ended
                // (a PDF export of the whole database takes longer than the
                // answerer's usual 20 s, and was cancelled then).
                answerer.setStuckTimeout(kStuckMs);
                answerSave(answerer, f.filter, outDir + QStringLiteral("/window"));
                ::sync();
                t.restart();
                QMetaObject::invokeMethod(&w, "miExportAll", Qt::DirectConnection);
                const double s = secondsSince(t);
                windowBest = std::min(windowBest, s);
                windowRounds += QStringLiteral(" %1").arg(s, 0, 'f', 3);
            };
            auto bareRun = [&] {
                ModalAnswerer answerer(2);
                answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
                answerer.setStuckTimeout(kStuckMs);
                const ExportTarget target
                        = exportTargetFor(outDir + QStringLiteral("/bare"), f.filter);
                ::sync();
                t.restart();
                ProgressForm form {QString()};
                ExportMessagesThread job(list, target.path, target.format, &form);
                form.runJob(&job);
                const double s = secondsSince(t);
                bareBest = std::min(bareBest, s);
                bareRounds += QStringLiteral(" %1").arg(s, 0, 'f', 3);
            };
            if (r % 2 == 0) {
                windowRun();
                bareRun();
            } else {
                bareRun();
                windowRun();
            }
            removeFolderRecursively(outDir);
        }
        std::printf("%-5s rounds: window%s s; bare%s s\n", f.name, qPrintable(windowRounds),
                    qPrintable(bareRounds));
        const double overhead = windowBest / bareBest - 1.0;
        std::printf("%-5s window %.3f s, bare exporter %.3f s, window overhead %+.1f%% "
                    "(target < 10%%)\n",
                    f.name, windowBest, bareBest, overhead * 100.0);
        const QByteArray name = QByteArray("windowexport.") + f.name;
        bench::report(name.constData(), windowBest * 1e3, bareBest * 1e3, "ms", bench::Want::AtMost,
                      1.10);
        if (f.filter == ExportFilterTxt || f.filter == ExportFilterCsv) {
            const double ratio = windowBest / loadBest;
            std::printf("%-5s window export over load %.2fx (load %.3f s, target <= 1.5x)\n",
                        f.name, ratio, loadBest);
            bench::report((name + ".vs_load").constData(), windowBest * 1e3, loadBest * 1e3, "ms",
                          bench::Want::AtMost, 1.5);
        }
    }
    return status;
}
