// Message commands: export, print, attachment extraction and deletion.
#include "ui/mainwindow.h"

void MainWindow::miExportSel() { } // export, selected rows: to be built.
void MainWindow::miExportChat() { } // export, shown list: to be built.
void MainWindow::miExportAll() { } // export, whole source: to be built.
void MainWindow::miPrintSel() { } // print, selected rows: to be built.
void MainWindow::miPrintChat() { } // print, shown list: to be built.
void MainWindow::miPrintAll() { } // print, whole source: to be built.
void MainWindow::miExtractMediaSel() { } // attachments, selected rows: to be built.
void MainWindow::miExtractMediaChat() { } // attachments, shown list: to be built.
void MainWindow::miExtractMediaAll() { } // attachments, whole source: to be built.
void MainWindow::miDelSel() { } // delete, selected rows: to be built.
void MainWindow::miDelChat() { } // delete, shown list: to be built.
