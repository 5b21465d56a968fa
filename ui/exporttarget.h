#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// The file filters of the export's save dialog, in the order offered.
enum ExportFilter {
    ExportFilterTxt = 0,
    ExportFilterDoc = 1,
    ExportFilterCsv = 2,
    ExportFilterPdf = 3,
    ExportFilterHtml = 4,
};

// Where an export goes and in which ExportFormat.
struct ExportTarget
{
    QString path;
    int format = -1;
};

// The translated filter texts of the save dialog, in ExportFilter order.
QStringList exportFilterTexts();

// The suffix (without dot) that a name without one gets under a filter of
// one output file ("txt", "doc", "csv"); empty for the folder formats.
QString exportFilterSuffix(int filter);

// The target of an export to the path chosen under a filter:
// - text, doc and CSV: the path, with the filter's suffix appended when the
//   file name has no suffix (a name with another suffix keeps it);
// - PDF and HTML: a folder beside the chosen file, named by the file name up
//   to its first dot followed by "-pdf" or "-html"; when that name is taken,
//   the first free "name(n)" instead, so that the export never mixes its
//   files into an existing folder.
// A filter out of range gives format -1.
ExportTarget exportTargetFor(const QString &chosen, int filter);

// The folder an attachment extraction fills below parent:
// "attachments(yyyyMMdd-hhmmss)" of now, or the first free "...(n)" when
// that name is taken (two runs within one second).
QString attachmentFolderFor(const QString &parent, const QDateTime &now);
