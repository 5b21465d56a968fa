#pragma once

#include "backup/mbdbrecord.h"

#include <QList>
#include <QString>

// One file, folder or link in a backup's file tree. A node owns its children;
// the constructor does not add the node to the parent, the tree's builder does.
class BackupFileNode
{
public:
    BackupFileNode(BackupFileNode *parent, const MbdbRecord &record, const QString &name);
    ~BackupFileNode();
    BackupFileNode(const BackupFileNode &) = delete;
    BackupFileNode &operator=(const BackupFileNode &) = delete;

    // The names from below the root down to this node, joined by "/".
    QString treePath() const;
    // The child of that name, or null.
    BackupFileNode *child(const QString &childName) const;

    QString name;
    MbdbRecord record;
    BackupFileNode *parent = nullptr;
    QList<BackupFileNode *> children;
};
