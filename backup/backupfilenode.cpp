#include "backup/backupfilenode.h"

#include <QStringList>

BackupFileNode::BackupFileNode(BackupFileNode *parent, const MbdbRecord &record,
                               const QString &name)
    : name(name)
    , record(record)
    , parent(parent)
{ }

BackupFileNode::~BackupFileNode()
{
    qDeleteAll(children);
}

QString BackupFileNode::treePath() const
{
    QStringList parts;
    for (const BackupFileNode *n = this; n && n->parent; n = n->parent)
        parts.prepend(n->name);
    return parts.join(QLatin1Char('/'));
}

BackupFileNode *BackupFileNode::child(const QString &childName) const
{
    for (BackupFileNode *c : children) {
        if (c->name == childName)
            return c;
    }
    return nullptr;
}
