#include "store/ios6messagedb.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <sqlite3.h>
#include <stdexcept>

namespace {

// What a phone's triggers call to remove attachment files inside the phone.
// Here they do nothing: no file is ever removed through a trigger.
void deleteAttachmentPath(sqlite3_context *context, int, sqlite3_value **)
{
    sqlite3_result_int(context, 0);
}

void beforeDeleteAttachmentPath(sqlite3_context *context, int, sqlite3_value **)
{
    sqlite3_result_int(context, 0);
}

struct MissingColumn
{
    const char *table;
    const char *column;
    const char *sql;
};

// Columns that databases of older phones and older releases may lack, in
// the order they are added.
const MissingColumn kUpgradeColumns[] = {
        {"chat", "group_id", "ALTER TABLE chat ADD COLUMN group_id TEXT;"},
        {"message", "is_audio_message",
         "ALTER TABLE message ADD COLUMN is_audio_message INTEGER DEFAULT 0;"},
        {"message", "is_played", "ALTER TABLE message ADD COLUMN is_played INTEGER DEFAULT 0;"},
        {"message", "date_played", "ALTER TABLE message ADD COLUMN date_played INTEGER;"},
        {"message", "item_type", "ALTER TABLE message ADD COLUMN item_type INTEGER DEFAULT 0;"},
        {"message", "other_handle",
         "ALTER TABLE message ADD COLUMN other_handle INTEGER DEFAULT -1;"},
        {"message", "group_title", "ALTER TABLE message ADD COLUMN group_title TEXT;"},
        {"message", "group_action_type",
         "ALTER TABLE message ADD COLUMN group_action_type INTEGER DEFAULT 0;"},
        {"message", "share_status", "ALTER TABLE message ADD COLUMN share_status INTEGER;"},
        {"message", "share_direction", "ALTER TABLE message ADD COLUMN share_direction INTEGER;"},
        {"message", "is_expirable",
         "ALTER TABLE message ADD COLUMN is_expirable INTEGER DEFAULT 0;"},
        {"message", "expire_state",
         "ALTER TABLE message ADD COLUMN expire_state INTEGER DEFAULT 0;"},
        {"message", "message_action_type",
         "ALTER TABLE message ADD COLUMN message_action_type INTEGER DEFAULT 0;"},
        {"message", "logic_hash", "ALTER TABLE message ADD COLUMN logic_hash TEXT;"},
};

const char *const kLogicHashIndex = "CREATE INDEX message_idx_logic_hash ON message(logic_hash);";

std::runtime_error upgradeError(int line, const QString &sql, const QString &error)
{
    return std::runtime_error(QStringLiteral("line:%1, sql:%2, error:%3")
                                      .arg(line)
                                      .arg(sql, error)
                                      .toLocal8Bit()
                                      .toStdString());
}

void removeDatabaseFiles(const QString &path)
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

IOS6MessageDb::IOS6MessageDb(const QDir &dataDir, const QString &mcc, bool upgradeSchema)
    : m_dataDir(dataDir)
    , m_fileRelayDir(QDir(dataDir.absolutePath()).absoluteFilePath(QStringLiteral("file-relay")))
    , m_contactsDb(dataDir, mcc)
    , m_recycleDb(dataDir.absoluteFilePath(QStringLiteral("recycle.db")))
    , m_countryLib(mcc)
    , m_smsDbPath(m_fileRelayDir.absoluteFilePath(QStringLiteral("var/mobile/Library/SMS/sms.db")))
    , m_upgradeSchema(upgradeSchema)
{ }

IOS6MessageDb::~IOS6MessageDb() = default;

QByteArray IOS6MessageDb::schemaScript()
{
    QFile file(QStringLiteral(":/res/localmsgdb_ddl.sql"));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(QStringLiteral("read IOS6MessageDb ddl error. %1")
                                         .arg(file.errorString())
                                         .toUtf8()
                                         .toStdString());
    QByteArray script = file.readAll();
    const qsizetype nul = script.indexOf('\0');
    if (nul >= 0)
        script.truncate(nul);
    return script;
}

void IOS6MessageDb::ensureOpen()
{
    if (isOpen())
        return;
    try {
        if (m_readOnlyCopy) {
            // A saved copy of a phone's database is shown as it is: a
            // connection that may write would roll back a write the phone
            // left unfinished (changing the file and removing its journal)
            // and could check a write-ahead log into the file.
            openUnchangedThrow(m_smsDbPath);
            configureConnection();
        } else if (QFileInfo::exists(m_smsDbPath)) {
            try {
                openThrow(m_smsDbPath, 2);
            } catch (const Sqlite3Exception &e) {
                // A copy that cannot be opened for writing (a write-ahead
                // log in a read-only folder) is still read.
                const int primary = e.code() & 0xff;
                if (m_upgradeSchema || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN))
                    throw;
                openUnchangedThrow(m_smsDbPath);
            }
            if (m_upgradeSchema && hasNoTables()) {
                // An empty file (such as an interrupted creation of an older
                // release leaves) has nothing to keep: give it the schema.
                runSchemaScript(false);
            }
            configureConnection();
            if (m_upgradeSchema)
                upgradeDatabase();
        } else {
            QDir().mkpath(QFileInfo(m_smsDbPath).absolutePath());
            schemaScript(); // fails before any file is made when the script is missing
            openThrow(m_smsDbPath, 6);
            runSchemaScript(true);
            configureConnection();
        }
        loadTableSchemas();
    } catch (...) {
        // A connection left open here would pass for a usable database with
        // no known columns, and writers would silently leave columns out.
        m_tableSchemas.clear();
        m_schemaHasCache.clear();
        close();
        throw;
    }
}

bool IOS6MessageDb::hasNoTables()
{
    Sqlite3Cursor c
            = queryThrow(Sqlite3Sql("select count(*) as n from sqlite_master where type='table'"));
    return c.moveNext() && c.getInt64("n") == 0;
}

void IOS6MessageDb::runSchemaScript(bool removeFileOnFailure)
{
    // All or nothing: a half-made file would be taken for an existing
    // database by every later open.
    const QByteArray batch = "BEGIN;\n" + schemaScript() + "\nCOMMIT;";
    char *msg = nullptr;
    const int rc = sqlite3_exec(handle(), batch.constData(), nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        const QString error = QString::fromUtf8(msg ? msg : sqlite3_errstr(rc));
        sqlite3_free(msg);
        close();
        if (removeFileOnFailure)
            removeDatabaseFiles(m_smsDbPath);
        throw std::runtime_error(
                QStringLiteral("create IOS6MessageDb error. %1").arg(error).toUtf8().toStdString());
    }
}

void IOS6MessageDb::configureConnection()
{
    // The triggers and the "replace into" joins are written for SQLite's
    // defaults: with recursive triggers a replaced join row would delete its
    // message, with foreign keys the cascades would remove rows the triggers
    // keep. Neither setting is stored in the file.
    QString error;
    exec(QStringLiteral("PRAGMA foreign_keys=OFF;PRAGMA recursive_triggers=OFF;"), error);
    sqlite3_create_function_v2(handle(), "delete_attachment_path", 1, SQLITE_ANY, nullptr,
                               deleteAttachmentPath, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(handle(), "before_delete_attachment_path", 2, SQLITE_ANY, nullptr,
                               beforeDeleteAttachmentPath, nullptr, nullptr, nullptr);
}

void IOS6MessageDb::upgradeDatabase()
{
    QHash<QString, QMap<QString, _SqliteCol>> columns;
    QList<const MissingColumn *> missing;
    for (const MissingColumn &c : kUpgradeColumns) {
        const QString table = QString::fromLatin1(c.table);
        if (!columns.contains(table))
            columns.insert(table, tbInfo(table));
        if (!columns.value(table).contains(QString::fromLatin1(c.column)))
            missing.append(&c);
    }
    if (missing.isEmpty())
        return; // nothing is written: the file stays as it is

    // One transaction, so that a failure leaves the file as it was.
    QString error;
    if (exec(QStringLiteral("BEGIN;"), error) != SQLITE_OK)
        throw upgradeError(__LINE__, QStringLiteral("BEGIN;"), error);
    for (const MissingColumn *c : std::as_const(missing)) {
        const QString sql = QString::fromLatin1(c->sql);
        if (exec(sql, error) != SQLITE_OK)
            throw upgradeError(__LINE__, sql, error);
        if (qstrcmp(c->column, "logic_hash") == 0) {
            if (exec(QString::fromLatin1(kLogicHashIndex), error) != SQLITE_OK)
                throw upgradeError(__LINE__, QString::fromLatin1(kLogicHashIndex), error);
        }
    }
    if (exec(QStringLiteral("COMMIT;"), error) != SQLITE_OK)
        throw upgradeError(__LINE__, QStringLiteral("COMMIT;"), error);
}

void IOS6MessageDb::loadTableSchemas()
{
    QHash<QString, QString> schemas;
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from sqlite_master where type='table'"));
    while (c.moveNext())
        schemas.insert(c.getText("name"), c.getText("sql"));
    m_tableSchemas = schemas;
    m_schemaHasCache.clear();
}
