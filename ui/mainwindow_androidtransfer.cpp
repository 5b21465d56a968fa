// Transfers into connected Android phones.
#include "ui/mainwindow.h"

void MainWindow::miI2ASel() { } // iPhone to Android, selected rows: to be built.
void MainWindow::miI2AChat() { } // iPhone to Android, shown list: to be built.
void MainWindow::miI2AAll() { } // iPhone to Android, whole source: to be built.
void MainWindow::miA2ASel() { } // Android to Android, selected rows: to be built.
void MainWindow::miA2AChat() { } // Android to Android, shown list: to be built.
void MainWindow::miA2AAll() { } // Android to Android, whole source: to be built.
void MainWindow::miDb2ASel() { } // local database to Android, selected rows: to be built.
void MainWindow::miDb2AChat() { } // local database to Android, shown list: to be built.
void MainWindow::miDb2AAll() { } // local database to Android, whole source: to be built.
