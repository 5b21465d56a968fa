#pragma once

#include "jobs/messagepainter.h"
#include "store/absformatexport.h"

#include <QPrinter>
#include <QString>

// One conversation as a PDF file that looks exactly like a printout. The
// document is begun by the constructor on a temporary file beside the
// output; end finishes it and puts it in place of the output file. An
// exporter deleted without end, or one whose file could not be written,
// leaves no file behind and an older output file untouched.
class ExportMessagesPdf : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportMessagesPdf(const QString &path);
    ~ExportMessagesPdf() override;

    // Throws std::runtime_error when the document could not be begun.
    void begin() override;
    // Paints the message, in the order written.
    void write(_MsgMessage *message) override;
    // Finishes the file and moves it in place. Throws std::runtime_error when
    // the file is not complete or cannot be put in place.
    void end() override;

    const MessagePainter &messagePainter() const { return m_painter; }

private:
    void discard();

    QPrinter m_printer;
    MessagePainter m_painter;
    QString m_path;
    QString m_temp; // the file being written; empty once moved or removed
};
