#include "jobs/mmsprinter.h"

#include "jobs/messagepainter.h"
#include "store/msgutil.h"
#include "store/texts.h"

#include <QPageLayout>
#include <QPageSize>
#include <QPrintPreviewDialog>
#include <QPrinter>

MMSPrinter::MMSPrinter(QObject *parent)
    : QObject(parent)
{ }

void MMSPrinter::printPreview(const MsgMessageList &list)
{
    messages = list;
    sortMessages(messages);

    QPrinter printer(QPrinter::ScreenResolution);
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::NativeFormat);
    if (!printer.isValid())
        printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);

    QPrintPreviewDialog dialog(&printer, nullptr);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setWindowTitle(ids("IDS_PRINT_MMS"));
    connect(&dialog, &QPrintPreviewDialog::paintRequested, this, &MMSPrinter::onPaintRequested);
    dialog.exec();
}

void MMSPrinter::onPaintRequested(QPrinter *printer)
{
    if (!printer)
        return;
    MessagePainter painter;
    if (!painter.begin(printer))
        return;
    for (const _MsgMessage *m : std::as_const(messages))
        painter.paintMessage(m);
    painter.end();
}
