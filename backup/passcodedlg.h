#pragma once

#include "store/winmovable.h"

#include <QDialog>

class BackupManifest;

namespace Ui {
class PasscodeDlg;
}

// The frameless dialog that asks for the password of an encrypted backup
// and unlocks the backup's keybag with it.
//
//     PasscodeDlg dlg(manifest, this); // manifest must outlive the dialog
//     if (dlg.exec() == QDialog::Accepted)
//         ... // manifest->keybag is unlocked
//
// A wrong password empties the field and keeps the dialog open; a keybag
// that no password unlocks shows its error and keeps it open too (Cancel
// leaves).
class PasscodeDlg : public QDialog
{
    Q_OBJECT
public:
    PasscodeDlg(BackupManifest *backup, QWidget *parent = nullptr);
    ~PasscodeDlg() override;

protected slots:
    void btnOKPressed();

public:
    Ui::PasscodeDlg *ui;

private:
    WinMovable m_movable;
    BackupManifest *m_backup;
};
