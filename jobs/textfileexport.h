#pragma once

#include "store/absformatexport.h"
#include "store/msgdataset.h"

#include <QSaveFile>
#include <QString>
#include <QTextStream>

// Common ground of the text and CSV exporters: one UTF-8 file without a
// byte-order mark, every line ended by CR LF. The file is written under a
// temporary name and takes the place of the output file only when end has
// written everything, so a failed or cancelled export never leaves half a
// file in place of an older one.
class TextFileExport : public AbsFormatExport<_MsgMessage>
{
public:
    ~TextFileExport() override;

    // Opens the file and writes the header line. Throws std::runtime_error
    // with the file's error text when it cannot be opened.
    void begin() override;
    // Writes out everything and puts the file in place. Throws
    // std::runtime_error when the file could not be written.
    void end() override;

protected:
    explicit TextFileExport(const QString &path);
    virtual void writeHeader() = 0;
    bool isOpen() const { return m_file.isOpen(); }
    // Writes text with every lone LF made CR LF.
    void writeText(const QString &text);
    // Ends the current line.
    void endLine();

    QSaveFile m_file;
    QTextStream m_stream; // destroyed before the file
};

// A text with every LF that no CR precedes made CR LF.
QString withCrLf(const QString &text);
