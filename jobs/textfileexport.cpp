#include "jobs/textfileexport.h"

#include "jobs/outputfilename.h"

#include <stdexcept>

TextFileExport::TextFileExport(const QString &path)
    : m_file(path)
{ }

TextFileExport::~TextFileExport() = default;

void TextFileExport::begin()
{
    if (!m_file.open(QIODevice::WriteOnly))
        throw std::runtime_error(m_file.errorString().toUtf8().toStdString());
    m_stream.setDevice(&m_file);
    m_stream.setEncoding(QStringConverter::Utf8);
    m_stream.setGenerateByteOrderMark(false);
    writeHeader();
}

void TextFileExport::end()
{
    if (!m_file.isOpen())
        return;
    // Everything goes to the disk before the file takes its name: the error
    // of a write that failed is only known until the file is closed.
    m_stream.flush();
    const bool streamOk = m_stream.status() == QTextStream::Ok;
    // A write cut short by a full disk keeps no reason; writing out the
    // rest again tells it.
    const bool flushed = m_file.flush();
    const bool written = streamOk && flushed && m_file.error() == QFileDevice::NoError;
    m_stream.setDevice(nullptr);
    if (!written) {
        const QString error = m_file.errorString();
        m_file.cancelWriting();
        m_file.commit(); // closes the file and drops the temporary copy
        throw writeFailure(m_file.fileName(), error);
    }
    if (!m_file.commit())
        throw writeFailure(m_file.fileName(), m_file.errorString());
}


void TextFileExport::writeText(const QString &text)
{
    m_stream << withCrLf(text);
}

void TextFileExport::endLine()
{
    m_stream << "\r\n";
}

QString withCrLf(const QString &text)
{
    if (!text.contains(u'\n'))
        return text;
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\n' && (i == 0 || text.at(i - 1) != u'\r'))
            out += u'\r';
        out += c;
    }
    return out;
}
