// Transfers into attached iPhones and into iTunes backups.
#include "ui/mainwindow.h"

void MainWindow::miI2ISel() { } // iPhone to iPhone, selected rows: to be built.
void MainWindow::miI2IChat() { } // iPhone to iPhone, shown list: to be built.
void MainWindow::miI2IAll() { } // iPhone to iPhone, whole source: to be built.
void MainWindow::miDb2ISel() { } // local database to iPhone, selected rows: to be built.
void MainWindow::miDb2IChat() { } // local database to iPhone, shown list: to be built.
void MainWindow::miDb2IAll() { } // local database to iPhone, whole source: to be built.
void MainWindow::miA2ISel() { } // Android to iPhone, selected rows: to be built.
void MainWindow::miA2IChat() { } // Android to iPhone, shown list: to be built.
void MainWindow::miA2IAll() { } // Android to iPhone, whole source: to be built.
void MainWindow::miExport2ITunesBKSel() { } // into an iTunes backup, selected rows: to be built.
void MainWindow::miExport2ITunesBKChat() { } // into an iTunes backup, shown list: to be built.
void MainWindow::miExport2ITunesBKAll() { } // into an iTunes backup, whole source: to be built.
