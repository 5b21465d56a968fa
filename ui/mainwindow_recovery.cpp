// Recovery of deleted messages.
#include "ui/mainwindow.h"

void MainWindow::miRecoverDeleted()
{
    // Scanning the current source for deleted messages: to be built.
}

void MainWindow::miAssignNumber()
{
    // Giving a number to salvaged messages: to be built.
}
