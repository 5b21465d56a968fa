#include "jobs/exportmessagespdf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPageLayout>
#include <QPageSize>
#include <QTemporaryFile>

#include <filesystem>
#include <mutex>
#include <stdexcept>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

std::runtime_error failure(const QString &what, const QString &path)
{
    return std::runtime_error(
            QStringLiteral("%1: %2").arg(what, QDir::toNativeSeparators(path)).toStdString());
}

// A finished PDF ends with its end-of-file mark.
bool looksComplete(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 16)
        return false;
    if (file.read(5) != "%PDF-")
        return false;
    file.seek(std::max<qint64>(0, file.size() - 32));
    return file.readAll().contains("%%EOF");
}

// Qt's PDF writer compresses every page through two fresh buffers of 10 MB.
// glibc's sliding thresholds leave blocks that large in the heap but give
// the freed memory back to the system at each page's end and map it in
// again for the next: more than a third of an export's time went to page
// faults and page-table work. The thresholds are fixed instead at the
// highest values glibc slides them to itself (blocks up to 32 MB from the
// heap, up to 64 MB of free memory kept at its top), so that every page
// reuses the same memory. Set once per process.
void keepPageBuffers()
{
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
    });
#endif
}

} // namespace

ExportMessagesPdf::ExportMessagesPdf(const QString &path)
    : m_printer(QPrinter::ScreenResolution)
    , m_path(path)
{
    keepPageBuffers();
    m_printer.setPageSize(QPageSize(QPageSize::A4));
    m_printer.setOutputFormat(QPrinter::PdfFormat);

    const QFileInfo info(path);
    QTemporaryFile temp(info.absoluteDir().absoluteFilePath(
            QStringLiteral(".%1.XXXXXX.part").arg(info.fileName())));
    temp.setAutoRemove(false);
    if (temp.open()) {
        m_temp = temp.fileName();
        temp.close();
        m_printer.setOutputFileName(m_temp);
    }
    m_printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
    if (!m_temp.isEmpty() && !m_painter.begin(&m_printer))
        discard();
}

ExportMessagesPdf::~ExportMessagesPdf()
{
    discard();
}

void ExportMessagesPdf::discard()
{
    if (m_painter.isActive())
        m_painter.end();
    if (!m_temp.isEmpty())
        QFile::remove(m_temp);
    m_temp.clear();
}

void ExportMessagesPdf::begin()
{
    if (!m_painter.isActive())
        throw failure(QStringLiteral("Cannot create the file"), m_path);
}

void ExportMessagesPdf::write(_MsgMessage *message)
{
    m_painter.paintMessage(message);
}

void ExportMessagesPdf::end()
{
    if (!m_painter.isActive() || m_temp.isEmpty()) {
        discard();
        throw failure(QStringLiteral("Cannot create the file"), m_path);
    }
    const bool ended = m_painter.end();
    if (!ended || !looksComplete(m_temp)) {
        discard();
        throw failure(QStringLiteral("Cannot write the file"), m_path);
    }
    // The new file gets the permissions of the one it replaces, else the
    // usual ones of a document (the temporary file is private).
    const QFileInfo old(m_path);
    QFile::setPermissions(m_temp,
                          old.exists() ? old.permissions()
                                       : QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                          | QFile::ReadOther);
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(m_temp).toStdString(),
                            QFile::encodeName(m_path).toStdString(), error);
    if (error) {
        discard();
        throw failure(QString::fromStdString(error.message()), m_path);
    }
    m_temp.clear();
}
