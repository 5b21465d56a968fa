#pragma once

#include "jobs/textfileexport.h"

// Messages as a comma-separated table with the columns date, send, person,
// number and content.
class ExportMessagesCsv : public TextFileExport
{
public:
    explicit ExportMessagesCsv(const QString &path);
    void write(_MsgMessage *message) override;

protected:
    void writeHeader() override;
};

// One CSV field: double quotes doubled; quoted when it holds a double quote,
// a comma, a line feed or a carriage return. A text that a spreadsheet would
// take for a formula (first character = + - @, tab or CR) gets a leading
// apostrophe, unless it is a plain number such as "+15550100".
QString csvField(const QString &text);
