// The update check, the status-bar link and the Help menu.
#include "ui/mainwindow.h"

#include <QNetworkReply>

void MainWindow::sendStartupRequests()
{
    // The update check and the link request at start: to be built.
}

void MainWindow::onCheckVersionReadyRead(QNetworkReply *)
{
    // The answer of the update check: to be built.
}

void MainWindow::onGetAdvLinkRead(QNetworkReply *)
{
    // The answer of the link request: to be built.
}

void MainWindow::miCheckUpdate()
{
    // The update check asked for by the user: to be built.
}

void MainWindow::miHelp()
{
    // The help page: to be built.
}

void MainWindow::miFeedback()
{
    // The support page: to be built.
}

void MainWindow::miAbout()
{
    // The About box: to be built.
}

void MainWindow::miHome()
{
    // The home page: to be built.
}
