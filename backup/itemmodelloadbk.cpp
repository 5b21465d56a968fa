#include "backup/itemmodelloadbk.h"

#include "store/itemtext.h"

#include <QBrush>
#include <QLocale>
#include <QPixmap>
#include <QSize>

namespace {

// Earlier, with a null date before every valid one.
bool earlier(const QDateTime &a, const QDateTime &b)
{
    if (!a.isValid())
        return b.isValid();
    if (!b.isValid())
        return false;
    return a < b;
}

} // namespace

ItemModelLoadBk::_BKItemNode::_BKItemNode(const QSharedPointer<BackupManifest> &m)
    : _ItemNode(0, m->displayName, nullptr)
    , manifest(m)
{ }

ItemModelLoadBk::ItemModelLoadBk(QObject *parent)
    : AbsTreeItemModel(parent)
{ }

ItemModelLoadBk::_BKItemNode *ItemModelLoadBk::bkNodeOf(const QModelIndex &index)
{
    return static_cast<_BKItemNode *>(nodeOf(index));
}

ItemModelLoadBk::_BKItemNode *
ItemModelLoadBk::addBackup(const QSharedPointer<BackupManifest> &manifest)
{
    const QList<_ItemNode *> &rows = topLevelNodes();
    int row = int(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        if (earlier(static_cast<_BKItemNode *>(rows[i])->manifest->deviceInfo.Date,
                    manifest->deviceInfo.Date)) {
            row = i;
            break;
        }
    }
    auto *node = new _BKItemNode(manifest);
    insertNode(nullptr, row, node);
    return node;
}

ItemModelLoadBk::_BKItemNode *ItemModelLoadBk::findBackup(const BackupManifest &manifest) const
{
    const QString key = backupCacheKey(manifest);
    for (_ItemNode *n : topLevelNodes()) {
        auto *bk = static_cast<_BKItemNode *>(n);
        if (backupCacheKey(*bk->manifest) == key)
            return bk;
    }
    return nullptr;
}

int ItemModelLoadBk::columnCount(const QModelIndex &) const
{
    return 3;
}

QVariant ItemModelLoadBk::data(const QModelIndex &index, int role) const
{
    const _BKItemNode *node = bkNodeOf(index);
    if (!node)
        return QVariant();
    const BackupManifest &m = *node->manifest;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole: {
        // The name comes from the backup's Manifest.plist and the path from
        // the disk: shown as the text they are, like the main window's rows.
        if (role == Qt::ToolTipRole && !node->unsupportedReason.isEmpty())
            return itemToolTipText(node->unsupportedReason);
        QString text;
        switch (index.column()) {
        case 0:
            text = node->unsupportedReason.isEmpty()
                    ? m.displayName
                    : QStringLiteral("%1 (%2)").arg(m.displayName, node->unsupportedReason);
            break;
        case 1:
            text = QLocale::system().toString(m.deviceInfo.Date, QLocale::ShortFormat);
            break;
        case 2:
            text = m.folder.absolutePath();
            break;
        default:
            return QVariant();
        }
        return role == Qt::DisplayRole ? itemDisplayText(text) : itemToolTipText(text);
    }
    case Qt::DecorationRole:
        if (index.column() == 0)
            return QPixmap(QStringLiteral(":res/iphone.png")).scaledToWidth(18, Qt::FastTransformation);
        return QVariant();
    case Qt::BackgroundRole:
        return QBrush(index.row() % 2 ? QColor(255, 255, 255) : QColor(250, 250, 250));
    case Qt::ForegroundRole:
        if (!node->unsupportedReason.isEmpty())
            return QBrush(QColor(150, 150, 150));
        return QVariant();
    case Qt::SizeHintRole:
        return QSize(0, 25);
    default:
        return QVariant();
    }
}

QVariant ItemModelLoadBk::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0:
        return QStringLiteral("Name");
    case 1:
        return QStringLiteral("Backup Date");
    case 2:
        return QStringLiteral("Path");
    default:
        return QVariant();
    }
}

Qt::ItemFlags ItemModelLoadBk::flags(const QModelIndex &index) const
{
    const _BKItemNode *node = bkNodeOf(index);
    if (!node)
        return Qt::NoItemFlags;
    if (!node->unsupportedReason.isEmpty())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}
