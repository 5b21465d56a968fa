#pragma once

#include "backup/backupmanifest.h"
#include "store/abstreeitemmodel.h"

#include <QSharedPointer>

// The rows of the backup picker: one top-level row per backup, newest first,
// with the columns Name, Backup Date and Path. A backup that cannot be read
// here (see isManifestDbBackupFolder) is listed greyed, cannot be selected,
// and says why in its name and tool tip.
class ItemModelLoadBk : public AbsTreeItemModel
{
    Q_OBJECT
public:
    class _BKItemNode : public AbsTreeItemModel::_ItemNode
    {
    public:
        explicit _BKItemNode(const QSharedPointer<BackupManifest> &manifest);
        QSharedPointer<BackupManifest> manifest;
        // Why the backup cannot be loaded; empty when it can.
        QString unsupportedReason;
    };

    explicit ItemModelLoadBk(QObject *parent = nullptr);

    // Inserts a row for the manifest before the first row with an earlier
    // date (a null date is earlier than any other), so that rows run from
    // the newest backup to the oldest; returns its node.
    _BKItemNode *addBackup(const QSharedPointer<BackupManifest> &manifest);
    // The row of a backup whose folder has the same backupCacheKey, or null.
    _BKItemNode *findBackup(const BackupManifest &manifest) const;
    static _BKItemNode *bkNodeOf(const QModelIndex &index);

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
};
