// Android arrival and removal, Wi-Fi connection and disconnection.
#include "ui/mainwindow.h"

void MainWindow::androidDeviceConnected(AdbDevice)
{
    // An Android phone appeared in adb's listing: to be built.
}

void MainWindow::androidDeviceDisconnected(QString)
{
    // An Android phone left adb's listing: to be built.
}

void MainWindow::androidDeviceLoad(AndroidDevice)
{
    // Loading a connected Android phone's messages: to be built.
}

void MainWindow::miConnectWifi()
{
    // Connecting an Android phone over Wi-Fi: to be built.
}

void MainWindow::miUnmoutDevice()
{
    // Disconnecting the current device: to be built.
}
