#pragma once

#include "backup/backupmanifest.h"
#include "backup/itemmodelloadbk.h"
#include "store/winmovable.h"

#include <QDialog>
#include <QSharedPointer>

namespace Ui {
class LoadItunesBackupDlg;
}

// The frameless dialog in which the user picks an iTunes backup: the backups
// of the default backup folder newest first, a link that adds a folder from
// anywhere else, Load (or a double click) to take one.
//
//     LoadItunesBackupDlg dlg(this);
//     if (dlg.exec() == QDialog::Accepted)
//         use(dlg.selectedBackup); // Manifest.plist read; Manifest.mbdb not yet
//
// Backups that keep their file list in Manifest.db are listed greyed with
// the reason and cannot be loaded.
class LoadItunesBackupDlg : public QDialog
{
    Q_OBJECT
public:
    explicit LoadItunesBackupDlg(QWidget *parent = nullptr);
    ~LoadItunesBackupDlg() override;

    // Lists the backup folder at path (what the "add other" link does after
    // its folder chooser): refused with a warning when it is listed already,
    // an error box when its Manifest.plist cannot be read; otherwise its row
    // becomes current. Returns the new row's node, or null.
    ItemModelLoadBk::_BKItemNode *addBackupFolder(const QString &path);

    ItemModelLoadBk &model() { return m_model; }

protected slots:
    void btnAddOtherClicked(const QString &link);
    void btnLoadClicked();

protected:
    void resizeEvent(QResizeEvent *event) override;

public:
    Ui::LoadItunesBackupDlg *ui;

private:
    // Reads the manifest of a folder and adds its row; null on failure.
    ItemModelLoadBk::_BKItemNode *listFolder(const QString &path);

    WinMovable m_movable;
    ItemModelLoadBk m_model;

public:
    // The chosen backup; null until the user loads one.
    QSharedPointer<BackupManifest> selectedBackup;
};
