// Searching the message list of a large local database in the main window:
// the time of one search step (a whole walk round the list) beside a plain
// case-insensitive scan of the same texts in memory.
//
//   bench_search [messages] [chats]
//
// Prints the figures and one RESULT line per figure:
//   RESULT <name> <figure> <baseline> <ratio> <target> <pass|FAIL|->
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/msgutil.h"
#include "tests/support/demodata.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/testenv.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>

#include <algorithm>
#include <cstdio>
#include <vector>

class MainWindowTestAccess
{
public:
    static void searchMessages(MainWindow &w) { w.searchMessages(); }
};

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template<class F> double timeMs(F &&f)
{
    QElapsedTimer t;
    t.start();
    f();
    return double(t.nsecsElapsed()) / 1e6;
}

void report(const char *name, double figure, double baseline, const char *target, double limit)
{
    const double ratio = baseline > 0 ? figure / baseline : 0;
    const bool hasTarget = limit > 0;
    const bool pass = !hasTarget || ratio <= limit;
    std::printf("  %-28s %10.2f ms  baseline %10.2f ms  ratio %6.2f  target %-6s %s\n", name,
                figure, baseline, ratio, target, hasTarget ? (pass ? "pass" : "MISSED") : "");
    std::printf("RESULT %s %.2fms %.2fms %.2f %s %s\n", name, figure, baseline, ratio, target,
                hasTarget ? (pass ? "pass" : "FAIL") : "-");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    TestEnv env;
    QApplication app(argc, argv);
    const int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int chats = argc > 2 ? std::atoi(argv[2]) : 250;
    qputenv("PELICORDE_SERVICE_HOST", "");
    qputenv("PELICORDE_APPLE_LIB_DIR", env.makeDir("no-apple").toUtf8());
    FakeAdb adb; // never the real adb server

    GeneratedSmsDbSpec spec;
    spec.messages = messages;
    spec.chats = chats;
    spec.attachmentFiles = false;
    spec.schema = PhoneSchema::olderLocal();
    const QString store = localDatabasesFolder().absoluteFilePath(QStringLiteral("Bench"));
    generatePhoneSmsDb(store, spec);
    fillChatLastDates(PhoneSmsDb::smsDbPathOf(store));

    MainWindow w;
    auto *tree = w.findChild<MyTreeView *>(QStringLiteral("treeViewDS"));
    auto *list = w.findChild<MyTreeView *>(QStringLiteral("treeViewSMS"));
    AbsTreeItemModel::_ItemNode *db = w.treeModelObject()->localDbRoot->children.value(0);
    const double loadMs = timeMs([&] {
        tree->setCurrentIndex(w.treeModelObject()->indexForNode(db));
        QCoreApplication::processEvents();
    });
    const MsgMessageList shown = w.smsModelObject()->messages();
    std::printf("local database: %lld messages shown (selecting it took %.0f ms)\n",
                qlonglong(shown.size()), loadMs);

    // A keyword found in one row only: every step walks the whole list
    // round to that row again.
    QStringList texts;
    texts.reserve(shown.size());
    for (const _MsgMessage *m : shown)
        texts.append(messagePlainText(*m));
    const int row = int(shown.size() / 3);
    QString keyword;
    for (int len = 8; len <= texts.at(row).size() && keyword.isEmpty(); len += 4) {
        const QString candidate = texts.at(row).right(len).trimmed().toUpper();
        int hits = 0;
        for (const QString &t : std::as_const(texts))
            hits += t.contains(candidate, Qt::CaseInsensitive) ? 1 : 0;
        if (hits == 1 && candidate.size() >= 6)
            keyword = candidate;
    }
    if (keyword.isEmpty()) {
        std::fprintf(stderr, "no keyword unique to one row\n");
        return 1;
    }
    std::printf("keyword \"%s\" (row %d)\n", qPrintable(keyword), row);
    w.findChild<QLineEdit *>(QStringLiteral("txtSMSKeyword"))->setText(keyword);

    constexpr int kSteps = 15;
    const double firstMs = timeMs([&] { MainWindowTestAccess::searchMessages(w); });
    if (list->currentIndex().row() != row) {
        std::fprintf(stderr, "the search stopped at row %d, not %d\n", list->currentIndex().row(),
                     row);
        return 1;
    }
    std::vector<double> steps;
    for (int i = 0; i < kSteps; ++i)
        steps.push_back(timeMs([&] { MainWindowTestAccess::searchMessages(w); }));
    if (list->currentIndex().row() != row)
        return 1;

    std::vector<double> scans;
    volatile int found = 0;
    for (int i = 0; i < kSteps; ++i) {
        scans.push_back(timeMs([&] {
            for (qsizetype r = 0; r < texts.size(); ++r)
                if (texts.at(r).contains(keyword, Qt::CaseInsensitive))
                    found = int(r);
        }));
    }
    const double scan = median(scans);
    report("search_step_median", median(steps), scan, "<=3.00", 3.0);
    report("search_first_step", firstMs, scan, "-", 0);
    return found == row ? 0 : 1;
}
