#include "ui/exporttarget.h"

#include "jobs/exportmessagesthread.h"
#include "store/datafolder.h"
#include "store/texts.h"

#include <QDir>
#include <QFileInfo>

QStringList exportFilterTexts()
{
    return {ids("Text Files(*.txt)"), ids("Doc Files(*.doc)"), ids("CSV Files(*.csv)"),
            ids("PDF Files(*.pdf)"), ids("HTML Files(*.html)")};
}

QString exportFilterSuffix(int filter)
{
    switch (filter) {
    case ExportFilterTxt:
        return QStringLiteral("txt");
    case ExportFilterDoc:
        return QStringLiteral("doc");
    case ExportFilterCsv:
        return QStringLiteral("csv");
    default:
        return QString();
    }
}

ExportTarget exportTargetFor(const QString &chosen, int filter)
{
    ExportTarget target;
    const QFileInfo info(chosen);
    switch (filter) {
    case ExportFilterTxt:
    case ExportFilterDoc:
    case ExportFilterCsv:
        target.path = chosen;
        if (info.suffix().isEmpty())
            target.path += QLatin1Char('.') + exportFilterSuffix(filter);
        target.format = filter == ExportFilterCsv ? ExportCsv : ExportTxt;
        return target;
    case ExportFilterPdf:
    case ExportFilterHtml: {
        QString base = info.fileName();
        const qsizetype dot = base.indexOf(QLatin1Char('.'));
        if (dot >= 0)
            base.truncate(dot);
        if (base.isEmpty())
            base = QStringLiteral("messages");
        base += filter == ExportFilterPdf ? QStringLiteral("-pdf") : QStringLiteral("-html");
        target.path = uniqueFilePath(info.absoluteDir().absoluteFilePath(base));
        target.format = filter == ExportFilterPdf ? ExportPdf : ExportHtml;
        return target;
    }
    default:
        return target;
    }
}

QString attachmentFolderFor(const QString &parent, const QDateTime &now)
{
    const QString name = QStringLiteral("attachments(%1)")
                                 .arg(now.toString(QStringLiteral("yyyyMMdd-hhmmss")));
    return uniqueFilePath(QDir(parent).absoluteFilePath(name));
}
