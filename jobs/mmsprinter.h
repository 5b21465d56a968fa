#pragma once

#include "store/msgdataset.h"

#include <QObject>

class QPrinter;

// Shows a print preview of a message list, oldest first, and prints it.
class MMSPrinter : public QObject
{
    Q_OBJECT
public:
    explicit MMSPrinter(QObject *parent = nullptr);

    // Sorts the list oldest first and runs the preview dialog modally.
    void printPreview(const MsgMessageList &list);

    MsgMessageList messages; // records not owned

public slots:
    // Paints the whole list on printer, from page 1.
    void onPaintRequested(QPrinter *printer);
};
