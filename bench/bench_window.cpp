// The main window on a local database of 200,000 messages in 250
// conversations (offscreen, a stand-in adb), each step beside a baseline
// measured in the same run:
//   window.open        constructing and showing the window, beside the same
//                      on an empty data folder (the database is not read);
//   window.select_db   selecting the database until the tree holds its
//                      conversations (the list shows every message);
//   window.select_chat selecting the largest conversation until its rows are
//                      listed and its first bubble page has finished loading;
//   window.browse      the two together, beside a plain SQLite scan of the
//                      same rows (target: within 2x); window.reader is the
//                      database reader's share (chats and messages alone);
//   window.next_page   turning to the next bubble page until it has loaded,
//                      beside loading the same page, built beforehand, into
//                      the view (target: within 1.5x).
// and the peak memory of this process from the first window on. Each figure
// is the best of the rounds (a new window each; opening, a short figure, is
// taken three times as often, and the page turn three times a window).
//
//   bench_window [messages] [chats] [rounds]

#include "bench/benchapp.h"
#include "bench/benchreport.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "tests/support/demodata.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/windowtest.h"
#include "ui/bubbleviewmgr.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QWebEngineView>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_window: %s\n", what);
    std::exit(1);
}

// The rows the reader takes from a local database (its chats carry their
// newest date, so there is no scan for it): every column of every row, read
// as what it holds.
qint64 scanRaw(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        fail("cannot open the database");
    const char *const queries[] = {
            "select * from chat",
            "select j.chat_id, h.* from chat_handle_join as j inner join handle as h on "
            "j.handle_id = h.rowid",
            "select j.chat_id, m.* from chat_message_join as j inner join message as m on "
            "j.message_id = m.rowid",
            "select ma.message_id, ma.attachment_id, cm.chat_id, a.* from "
            "message_attachment_join as ma inner join attachment as a on "
            "ma.attachment_id=a.rowid inner join chat_message_join as cm on "
            "ma.message_id=cm.message_id",
    };
    qint64 messageRows = 0, checksum = 0;
    for (const char *sql : queries) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
            fail(sqlite3_errmsg(db));
        const int columns = sqlite3_column_count(st);
        const bool messages = std::string_view(sql).find("m.*") != std::string_view::npos;
        while (sqlite3_step(st) == SQLITE_ROW) {
            if (messages)
                ++messageRows;
            for (int i = 0; i < columns; ++i) {
                switch (sqlite3_column_type(st, i)) {
                case SQLITE_INTEGER:
                    checksum += sqlite3_column_int64(st, i);
                    break;
                case SQLITE_TEXT: {
                    const unsigned char *t = sqlite3_column_text(st, i);
                    const int n = sqlite3_column_bytes(st, i);
                    checksum += n + (n ? t[0] : 0);
                    break;
                }
                case SQLITE_BLOB: {
                    const void *b = sqlite3_column_blob(st, i);
                    const int n = sqlite3_column_bytes(st, i);
                    checksum += n + (b && n ? static_cast<const unsigned char *>(b)[0] : 0);
                    break;
                }
                default:
                    break;
                }
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return checksum == 0 ? -1 : messageRows;
}

// The high-water mark of this process's resident memory in KiB; reset()
// starts counting again from what it holds now.
struct PeakMemory
{
    static void reset()
    {
        QFile f(QStringLiteral("/proc/self/clear_refs"));
        if (f.open(QIODevice::WriteOnly))
            f.write("5");
    }
    static long peakKb() { return statusKb("VmHWM:"); }
    static long currentKb() { return statusKb("VmRSS:"); }
    static long statusKb(const char *key)
    {
        QFile f(QStringLiteral("/proc/self/status"));
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith(key))
                return line.mid(int(std::strlen(key))).trimmed().split(' ').value(0).toLong();
        return 0;
    }
};

// Counts the pages the view finished loading, and waits for the next.
class LoadWaiter
{
public:
    explicit LoadWaiter(QWebEngineView *view)
    {
        QObject::connect(view, &QWebEngineView::loadFinished, &m_loop, [this](bool ok) {
            if (ok)
                ++m_loaded;
            m_loop.quit();
        });
    }
    int loaded() const { return m_loaded; }
    // Runs the event loop until more than `seen` pages have loaded.
    void waitBeyond(int seen)
    {
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &m_loop, [this] {
            m_timedOut = true;
            m_loop.quit();
        });
        timeout.start(60000);
        while (m_loaded <= seen && !m_timedOut)
            m_loop.exec();
        if (m_timedOut)
            fail("a bubble page did not finish loading within a minute");
    }
    // Runs trigger and waits for the page it loads.
    template<class F>
    void loadOf(F &&trigger)
    {
        const int seen = m_loaded;
        trigger();
        waitBeyond(seen);
    }

private:
    QEventLoop m_loop;
    int m_loaded = 0;
    bool m_timedOut = false;
};

_AbsDBItemNode *databaseNode(MainWindow &w, const QString &name)
{
    for (auto *n : w.treeModelObject()->localDbRoot->children)
        if (n->text == name)
            return static_cast<_AbsDBItemNode *>(n);
    return nullptr;
}

void select(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
{
    w.findChild<MyTreeView *>(QStringLiteral("treeViewDS"))
            ->setCurrentIndex(w.treeModelObject()->indexForNode(node));
}

// The conversation with the most messages, and their count.
_ChatSessionItemNode *largestConversation(_AbsDBItemNode *db, qsizetype *count)
{
    _ChatSessionItemNode *best = nullptr;
    *count = 0;
    for (auto *n : db->children) {
        if (n->kind != kNodeChatSession)
            continue;
        auto *chat = static_cast<_ChatSessionItemNode *>(n);
        qsizetype rows = 0;
        for (const _MsgChat *c : chat->chats)
            rows += c->messages.size();
        if (rows > *count) {
            *count = rows;
            best = chat;
        }
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    bench::offscreenUnlessSet();
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    WindowTestEnv env; // the data folder in a temporary home
    QApplication app(argc, argv);
    env.setUp(); // the English catalogue; no service host, no Apple libraries
    FakeAdb adb; // never the real adb server: the window's end would stop it

    GeneratedSmsDbSpec spec;
    spec.messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    spec.chats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 250;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : bench::kRounds;
    spec.schema = PhoneSchema::olderLocal();

    const QString name = QStringLiteral("Bench");
    const QString store = localDatabasesFolder().absoluteFilePath(name);
    const QString parked = QDir(env.home()).absoluteFilePath(QStringLiteral("parked"));
    QElapsedTimer t;
    t.start();
    const GeneratedSmsDbStats st = generatePhoneSmsDb(store, spec);
    fillChatLastDates(PhoneSmsDb::smsDbPathOf(store));
    std::printf("generated local database: %d messages, %d attachments, %d chats in %.2f s\n",
                st.messages, st.attachments, st.chats, t.nsecsElapsed() / 1e9);
    const QString dbPath = PhoneSmsDb::smsDbPathOf(store);

    // The floor of reading the database: warm the file cache once.
    const qint64 scanned = scanRaw(dbPath);
    double scanBest = 1e300;
    for (int r = 0; r < rounds; ++r)
        scanBest = std::min(scanBest, bench::timeMs([&] {
                                if (scanRaw(dbPath) != scanned)
                                    fail("the scan changed");
                            }));

    PeakMemory::reset();
    const long rssBefore = PeakMemory::currentKb();

    // (a) Opening the window, with the database in the data folder and
    // without it (moved out of the folder for those rounds). The first
    // window of the process starts the web engine: once, untimed.
    auto open = [] {
        auto w = std::make_unique<MainWindow>();
        w->show();
        QCoreApplication::processEvents();
        return w;
    };
    open().reset();
    double openBest = 1e300, openEmptyBest = 1e300;
    for (int r = 0; r < 3 * rounds; ++r) { // a short figure: more rounds
        if (!QDir().rename(store, parked))
            fail("cannot move the database out of the data folder");
        std::unique_ptr<MainWindow> w;
        openEmptyBest = std::min(openEmptyBest, bench::timeMs([&] { w = open(); }));
        if (w->treeModelObject()->localDbRoot->children.size() != 0)
            fail("the empty data folder lists a database");
        w.reset();
        if (!QDir().rename(parked, store))
            fail("cannot put the database back");
        openBest = std::min(openBest, bench::timeMs([&] { w = open(); }));
        _AbsDBItemNode *db = databaseNode(*w, name);
        if (!db || !db->children.isEmpty())
            fail("the database is not listed, or was read on opening");
    }

    // (b), (c) and (d) on a new window each round, so that the database is
    // read again.
    double dbBest = 1e300, chatBest = 1e300, nextBest = 1e300, setHtmlBest = 1e300;
    qsizetype listed = 0, chatRows = 0, conversations = 0;
    for (int r = 0; r < rounds; ++r) {
        std::unique_ptr<MainWindow> w = open();
        QWebEngineView *view = w->bubbleViewMgr().webView();
        if (!view)
            fail("the window has no bubble view");
        LoadWaiter pages(view);
        _AbsDBItemNode *db = databaseNode(*w, name);

        const int before = pages.loaded();
        dbBest = std::min(dbBest, bench::timeMs([&] { select(*w, db); }));
        conversations = db->children.size();
        listed = w->smsModelObject()->rowCount();
        if (conversations == 0 || listed != scanned)
            fail("selecting the database did not show its conversations and messages");
        pages.waitBeyond(before); // the page of the whole database, untimed

        qsizetype expected = 0;
        _ChatSessionItemNode *chat = largestConversation(db, &expected);
        if (!chat)
            fail("no conversation");
        chatBest = std::min(chatBest,
                            bench::timeMs([&] { pages.loadOf([&] { select(*w, chat); }); }));
        chatRows = w->smsModelObject()->rowCount();
        BubbleViewMgr &mgr = w->bubbleViewMgr();
        if (chatRows != expected || mgr.currentPage() != 1 || mgr.pageCount() < 2)
            fail("the conversation is not shown on its first page of several");

        // The page turn, and as its floor the same page, built beforehand,
        // loaded into the view from the first page as the turn does; taken
        // in turns, three times each.
        const QString html = mgr.pageHtml(2);
        for (int turn = 0; turn < 3; ++turn) {
            nextBest = std::min(nextBest,
                                bench::timeMs([&] { pages.loadOf([&] { mgr.nextPage(); }); }));
            if (mgr.currentPage() != 2)
                fail("the next page is not shown");
            pages.loadOf([&] { mgr.firstPage(); });
            setHtmlBest = std::min(setHtmlBest, bench::timeMs([&] {
                                       pages.loadOf([&] {
                                           view->setHtml(html, BubbleViewMgr::baseUrl());
                                       });
                                   }));
            pages.loadOf([&] { mgr.firstPage(); });
        }
    }
    const long peakKb = PeakMemory::peakKb();

    // The database reader alone (chats, then messages), as the window runs
    // it: the part of selecting the database that is not the window's.
    double readerBest = 1e300;
    for (int r = 0; r < rounds; ++r) {
        IOS6MessageDb db(QDir(store), QString(), true);
        MsgDataSet set;
        set.reset();
        readerBest = std::min(readerBest, bench::timeMs([&] {
                                  db.chats(set);
                                  db.messages(set, 0);
                              }));
        if (set.data()->messages.size() != scanned)
            fail("the reader did not read every message");
    }

    std::printf("%lld conversations, %lld messages listed, the largest conversation %lld; "
                "best of %d rounds\n",
                static_cast<long long>(conversations), static_cast<long long>(listed),
                static_cast<long long>(chatRows), rounds);
    bench::report("window.open", openBest, openEmptyBest, "ms", bench::Want::AtMost, 1.5);
    bench::report("window.reader", readerBest, scanBest, "ms");
    bench::report("window.select_db", dbBest, scanBest, "ms");
    bench::report("window.select_chat", chatBest, scanBest, "ms");
    const bool browse = bench::report("window.browse", dbBest + chatBest, scanBest, "ms",
                                      bench::Want::AtMost, 2.0);
    const bool next = bench::report("window.next_page", nextBest, setHtmlBest, "ms",
                                    bench::Want::AtMost, 1.5);
    std::printf("  peak memory of this process %.1f MiB (%.1f MiB before the first window; "
                "the page renderer is a process of its own)\n",
                peakKb / 1024.0, rssBefore / 1024.0);
    bench::report("window.peak_memory", peakKb / 1024.0, rssBefore / 1024.0, "MiB");
    (void)browse;
    (void)next;
    return 0;
}
