#include "backup/passcodedlg.h"

#include "backup/backupmanifest.h"
#include "store/messagebox.h"
#include "store/stylesheet.h"
#include "ui_passcodedlg.h"

#include <exception>

PasscodeDlg::PasscodeDlg(BackupManifest *backup, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::PasscodeDlg)
    , m_movable(this)
    , m_backup(backup)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &PasscodeDlg::btnOKPressed);
}

PasscodeDlg::~PasscodeDlg()
{
    delete ui;
}

void PasscodeDlg::btnOKPressed()
{
    const QString password = ui->txtPasscode->text();
    if (password.isEmpty()) {
        showWarning(tr("IDS_PWD_IS_NULL"));
        return;
    }
    bool unlocked = false;
    try {
        unlocked = m_backup && m_backup->unlockBackup(password);
    } catch (const std::exception &e) {
        // The keybag itself is damaged: no password will do.
        showError(boxTextOf(e));
        return;
    }
    if (unlocked) {
        accept();
        return;
    }
    showWarning(tr("IDS_INVALID_PASSWORD"));
    ui->txtPasscode->clear();
}
