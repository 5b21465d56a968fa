// iPhone arrival and removal.
#include "ui/mainwindow.h"

void MainWindow::iosDeviceConnected(void *)
{
    // An iPhone arrived: to be built.
}

void MainWindow::iosDeviceDisconnected(void *)
{
    // An iPhone left: to be built.
}
