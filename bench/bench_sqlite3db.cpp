// Reads 200,000 message-like rows through the wrapper (getters by column
// name, and whole rows) and through SQLite's C interface, and writes them
// back through the wrapper against raw prepared inserts (targets: the
// wrapper within 1.5x of the C interface for both).

#include "bench/benchreport.h"
#include "store/sqlite3db.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRows = 200000;

const char *kSchema = "create table message(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT, "
                      "text TEXT, handle_id INTEGER, service TEXT, date INTEGER, date_read "
                      "INTEGER, is_from_me INTEGER, is_read INTEGER, attributedBody BLOB)";

void fill(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
                       "insert into message(guid,text,handle_id,service,date,date_read,"
                       "is_from_me,is_read,attributedBody) values(?,?,?,?,?,?,?,?,?)",
                       -1, &st, nullptr);
    const QByteArray body(64, 'b');
    for (int i = 0; i < kRows; ++i) {
        const QByteArray guid = QByteArray("guid-") + QByteArray::number(i);
        const QByteArray text = QByteArray("message text number ") + QByteArray::number(i);
        sqlite3_bind_text(st, 1, guid.constData(), int(guid.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, i % 300);
        sqlite3_bind_text(st, 4, "SMS", 3, SQLITE_STATIC);
        sqlite3_bind_int64(st, 5, 400000000LL + i);
        sqlite3_bind_int64(st, 6, 400000000LL + i);
        sqlite3_bind_int(st, 7, i & 1);
        sqlite3_bind_int(st, 8, 1);
        sqlite3_bind_blob(st, 9, body.constData(), int(body.size()), SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

qint64 readRaw(const QString &path, qint64 &checksum)
{
    QElapsedTimer t;
    t.start();
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "select * from message", -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
        // The same conversions a caller of the wrapper gets: Qt texts and bytes.
        const QString guid
                = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 1)),
                                    sqlite3_column_bytes(st, 1));
        const QString text
                = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 2)),
                                    sqlite3_column_bytes(st, 2));
        const QString service
                = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 4)),
                                    sqlite3_column_bytes(st, 4));
        const QByteArray body(static_cast<const char *>(sqlite3_column_blob(st, 9)),
                              sqlite3_column_bytes(st, 9));
        checksum += sqlite3_column_int64(st, 0) + sqlite3_column_int(st, 3)
                + sqlite3_column_int64(st, 5) + sqlite3_column_int64(st, 6)
                + sqlite3_column_int(st, 7) + sqlite3_column_int(st, 8) + guid.size() + text.size()
                + service.size() + body.size();
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return t.elapsed();
}

qint64 readWrapper(const QString &path, qint64 &checksum)
{
    QElapsedTimer t;
    t.start();
    Sqlite3DB db;
    db.openThrow(path, Sqlite3DB::ReadOnly);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from message"));
    while (c.moveNext()) {
        const QString guid = c.getText("guid");
        const QString text = c.getText("text");
        const QString service = c.getText("service");
        const QByteArray body = c.getBlob("attributedBody");
        checksum += c.getInt64("ROWID") + c.getInt("handle_id") + c.getInt64("date")
                + c.getInt64("date_read") + c.getInt("is_from_me") + c.getInt("is_read")
                + guid.size() + text.size() + service.size() + body.size();
    }
    return t.elapsed();
}

qint64 readRows(const QString &path, qint64 &checksum)
{
    QElapsedTimer t;
    t.start();
    Sqlite3DB db;
    db.openThrow(path, Sqlite3DB::ReadOnly);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from message"));
    while (c.moveNext())
        checksum += c.getRow().size();
    return t.elapsed();
}

qint64 writeRaw(const QString &path)
{
    QElapsedTimer t;
    t.start();
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "insert into message(guid,text,handle_id,date) values(?,?,?,?)", -1, &st,
                       nullptr);
    for (int i = 0; i < kRows; ++i) {
        const QByteArray guid = QString("guid-%1").arg(i).toUtf8();
        const QByteArray text = QString("message text number %1").arg(i).toUtf8();
        sqlite3_bind_text(st, 1, guid.constData(), int(guid.size()), SQLITE_STATIC);
        sqlite3_bind_text(st, 2, text.constData(), int(text.size()), SQLITE_STATIC);
        sqlite3_bind_int(st, 3, i % 300);
        sqlite3_bind_int64(st, 4, 400000000LL + i);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return t.elapsed();
}

qint64 writeWrapper(const QString &path)
{
    QElapsedTimer t;
    t.start();
    Sqlite3DB db;
    db.openThrow(path, Sqlite3DB::ReadWriteCreate);
    QString err;
    db.exec(kSchema, err);
    db.beginTran();
    for (int i = 0; i < kRows; ++i) {
        db.executeThrow(Sqlite3Sql("insert into message(guid,text,handle_id,date) values(?,?,?,?)")
                                .addTextParam(QString("guid-%1").arg(i))
                                .addTextParam(QString("message text number %1").arg(i))
                                .addIntParam(i % 300)
                                .addInt64Param(400000000LL + i));
    }
    db.commitTran();
    return t.elapsed();
}

} // namespace

int main()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath("bench.db");
    fill(path);
    qint64 a = 0, b = 0, r = 0;
    // Warm the page cache once.
    readRaw(path, a);
    // Best of three rounds each, taken in turns.
    std::vector<double> raw, wrapped, rows, wraw, wwrap;
    bool same = true;
    for (int round = 0; round < bench::kRounds; ++round) {
        a = b = 0;
        raw.push_back(bench::timeMs([&] { readRaw(path, a); }));
        wrapped.push_back(bench::timeMs([&] { readWrapper(path, b); }));
        rows.push_back(bench::timeMs([&] { readRows(path, r); }));
        same = same && a == b;
        const QString w1 = tmp.filePath(QStringLiteral("w1-%1.db").arg(round));
        const QString w2 = tmp.filePath(QStringLiteral("w2-%1.db").arg(round));
        wraw.push_back(bench::timeMs([&] { writeRaw(w1); }));
        wwrap.push_back(bench::timeMs([&] { writeWrapper(w2); }));
        QFile::remove(w1);
        QFile::remove(w2);
    }
    auto best = [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); };
    std::printf("%d rows of 10 columns, best of %d rounds%s\n", kRows, bench::kRounds,
                same ? "" : "  CHECKSUM MISMATCH");
    bench::report("sqlite3db.read_by_name", best(wrapped), best(raw), "ms",
                            bench::Want::AtMost, 1.5);
    bench::report("sqlite3db.read_getRow", best(rows), best(raw), "ms");
    bench::report("sqlite3db.insert", best(wwrap), best(wraw), "ms", bench::Want::AtMost, 1.5);
    return same ? 0 : 1;
}
