#pragma once

#include "jobs/textfileexport.h"

// Messages as a fixed-column text listing: Date (30 wide), Flag (6 wide),
// Name (40 wide) and the message on one line. Longer values are written
// whole and push the rest of the line to the right.
class ExportMessagesTxt : public TextFileExport
{
public:
    explicit ExportMessagesTxt(const QString &path);
    void write(_MsgMessage *message) override;

protected:
    void writeHeader() override;
};
