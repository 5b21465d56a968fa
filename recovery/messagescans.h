#pragma once

// Salvaging deleted rows of a phone's message database into its recycle.db.
//
// The scans read sms.db only: the file is mapped read-only and looked at
// through a read-only connection (a database in write-ahead-log mode is
// copied with its log into a temporary folder and the log is folded in
// there, so that the phone's file is never written). What they find goes
// into the store's recycle.db in one transaction: committed when the scan
// ends or is cancelled, rolled back when it fails, so a failed scan leaves
// recycle.db as it was. Rows already stored are never stored again, and rows
// that still exist in the live table (stale copies left in free space) are
// never salvaged. A caller that has begun a recycle.db transaction itself
// keeps it: the scan works inside it and leaves the commit to the caller.

#include "recovery/sqlite3file.h"
#include "store/msgdataset.h"
#include "store/sqlite3db.h"

#include <QAnyStringView>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <vector>

class IOS5MessageDb;
class IOS6MessageDb;
class CountryLibDb;
class ProgressForm;
struct _MsgRecycleMessage;

// Column positions of a table by name (letter case ignored).
class ScanColumns
{
public:
    ScanColumns() = default;
    explicit ScanColumns(const QList<_SqliteCol> &columns);
    const QList<_SqliteCol> &columns() const { return m_columns; }
    // Position of the column, -1 when the table lacks it.
    int indexOf(QAnyStringView name) const;
    // The row's value of the column: an invalid QVariant when the table
    // lacks the column or the row is shorter.
    QVariant value(const Sqlite3FileRow &row, QAnyStringView name) const;
    // The positions of the named columns (-1 where missing), worked out on
    // the first call for a name list and kept: a converter that reads many
    // columns of every row asks once. names must outlive this object.
    const std::vector<int> &positions(const QList<QByteArray> &names) const;

private:
    QList<_SqliteCol> m_columns;
    // By the lower-case UTF-8 of the name.
    QHash<QByteArray, int> m_index;
    mutable const QList<QByteArray> *m_positionsOf = nullptr;
    mutable std::vector<int> m_positions;
};

// The column lists the carving falls back on when the table's own CREATE
// statement cannot be used.
QList<_SqliteCol> ios6HandleColumns();
QList<_SqliteCol> ios6MessageColumns38();
QList<_SqliteCol> ios6MessageColumns51();
QList<_SqliteCol> ios5MessageColumns(int count); // 33, 32 or 17

// Row filters of the carving, by the fixed layouts.
bool isHandleServiceRow(const Sqlite3FileRow *row);
bool isMessageServiceRow(const Sqlite3FileRow *row);
bool acceptIOS5MessageRow(const Sqlite3FileRow *row);

// Converters from a decoded row of a table with the given columns; false
// rejects the row.
bool ios6RowToHandle(const Sqlite3FileRow &row, const ScanColumns &cols, CountryLibDb &countries,
                     _MsgHandle &handle);
bool ios6RowToMessage(const Sqlite3FileRow &row, const ScanColumns &cols, _MsgMessage &message);
bool ios5RowToMessage(const Sqlite3FileRow &row, const ScanColumns &cols, CountryLibDb &countries,
                      _MsgRecycleMessage &message);

// Handle rows of an iOS 6 sms.db into recycle.db.
void scanDeletedHandles(IOS6MessageDb &db, ProgressForm *form = nullptr);
// Message rows of an iOS 6 sms.db into recycle.db; chats are the live
// conversations of the database (they name the conversation of a salvaged
// message whose handle they hold). Run scanDeletedHandles first to find the
// correspondents of the others.
void scanDeletedMessages(IOS6MessageDb &db, const QList<_MsgChat *> &chats,
                         ProgressForm *form = nullptr);
// Message rows of an iOS 5 sms.db into recycle.db.
void scanDeletedMessages(IOS5MessageDb &db, ProgressForm *form = nullptr);
