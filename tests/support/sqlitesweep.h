#pragma once

// A pass of every reader of Sqlite3File over a whole file, for tests of
// damaged files and for the fuzz target. Needs nothing but the reader.

#include <QtGlobal>

class Sqlite3File;

// What a sweep over every reader of a file met.
struct SqliteSweep
{
    int pages = 0;
    int btreePages = 0;
    int cells = 0;
    int rows = 0;
    int values = 0;
    int carvedRows = 0;
    qint64 payloadBytes = 0;
    int trunks = 0;
    int walkedPages = 0;
};

// Runs every reader of the file over all of it, as the recovery scans do:
// each page as a b-tree page, its cells parsed and decoded, its free space
// carved with message and handle columns, the freelist trunks and their
// pages, and the tree walks below every page. Pages past maxPages are left
// out (to keep a sweep of a large file short).
SqliteSweep sweepSqliteFile(const Sqlite3File &file, int maxPages = 4096);
