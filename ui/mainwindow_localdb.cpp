// Backup of messages into local databases, and the imports.
#include "ui/mainwindow.h"

void MainWindow::miBackupSel() { } // backup, selected rows: to be built.
void MainWindow::miBackupChat() { } // backup, shown list: to be built.
void MainWindow::miBackupAll() { } // backup, whole source: to be built.
void MainWindow::miImportItunes() { } // import of an iTunes backup: to be built.
void MainWindow::miImportToLocalDb() { } // import into a local database: to be built.
