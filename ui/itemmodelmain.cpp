#include "ui/itemmodelmain.h"

#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "store/texts.h"
#include "store/itemtext.h"

#include <QColor>
#include <QFileInfo>
#include <QSize>

#include <algorithm>
#include <functional>

namespace {

QImage iconOfWidth(const QString &path)
{
    const QImage img(path);
    if (img.isNull())
        return img;
    return img.scaledToWidth(18, Qt::FastTransformation);
}

} // namespace

_AbsDBItemNode::_AbsDBItemNode(int kind, const QString &text, _ItemNode *parent,
                               QSharedPointer<AbsIOSMessageDb> db)
    : _ItemNode(kind, text, parent)
    , db(std::move(db))
{
    dataSet.reset();
}

_AbsDBItemNode::~_AbsDBItemNode()
{
    // The conversation nodes point into the data set: they go first.
    qDeleteAll(std::exchange(children, {}));
}

_IOSDeviceItemNode::_IOSDeviceItemNode(_ItemNode *parent, QSharedPointer<AbsIOSMessageDb> db,
                                       const IOSDevice &device)
    : _AbsDBItemNode(kNodeIOSDevice, device.DeviceName, parent, std::move(db))
    , device(device)
{ }

_IOSDeviceItemNode::~_IOSDeviceItemNode() = default;

_AndroidDeviceItemNode::_AndroidDeviceItemNode(_ItemNode *parent,
                                               QSharedPointer<AbsIOSMessageDb> db,
                                               const AndroidDevice &device)
    : _AbsDBItemNode(kNodeAndroidDevice, device.displayName(), parent, std::move(db))
    , device(device)
{ }

_AndroidDeviceItemNode::~_AndroidDeviceItemNode() = default;

_LocalDBItemNode::_LocalDBItemNode(_ItemNode *parent, QSharedPointer<AbsIOSMessageDb> db,
                                   const QString &name)
    : _AbsDBItemNode(kNodeLocalDb, name, parent, std::move(db))
{ }

_LocalDBItemNode::~_LocalDBItemNode() = default;

_ChatSessionItemNode::_ChatSessionItemNode(_ItemNode *parent, const QString &text)
    : _ItemNode(kNodeChatSession, text, parent)
{ }

_ChatSessionItemNode::~_ChatSessionItemNode() = default;

_RootDeviceItemNode::_RootDeviceItemNode(const QString &text)
    : _ItemNode(kNodeDevicesRoot, text, nullptr)
{ }

_RootDeviceItemNode::~_RootDeviceItemNode() = default;

_RootLocalDBItemNode::_RootLocalDBItemNode(const QString &text)
    : _ItemNode(kNodeLocalDbRoot, text, nullptr)
{ }

_RootLocalDBItemNode::~_RootLocalDBItemNode() = default;

ItemModelMain::ItemModelMain(QObject *parent)
    : AbsTreeItemModel(parent)
    , devicesRoot(new _RootDeviceItemNode(ids("IDS_ROOT_DEVICE")))
    , localDbRoot(new _RootLocalDBItemNode(ids("IDS_ROOT_LOCALDB")))
{
    appendNode(nullptr, devicesRoot);
    appendNode(nullptr, localDbRoot);
}

ItemModelMain::~ItemModelMain() = default;

_IOSDeviceItemNode *ItemModelMain::addIOSDeviceNode(QSharedPointer<AbsIOSMessageDb> db,
                                                    const IOSDevice &device)
{
    auto *node = new _IOSDeviceItemNode(devicesRoot, std::move(db), device);
    appendNode(devicesRoot, node);
    return node;
}

_AndroidDeviceItemNode *ItemModelMain::addAndroidDeviceNode(QSharedPointer<AbsIOSMessageDb> db,
                                                            const AndroidDevice &device)
{
    auto *node = new _AndroidDeviceItemNode(devicesRoot, std::move(db), device);
    appendNode(devicesRoot, node);
    return node;
}

bool ItemModelMain::isListableDbName(const QString &name)
{
    if (name.trimmed().isEmpty())
        return false;
    if (std::all_of(name.begin(), name.end(), [](QChar c) { return c == QLatin1Char('.'); }))
        return false;
    for (QChar c : name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
            || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return false;
    }
    return true;
}

_LocalDBItemNode *ItemModelMain::addLocalDbNode(QSharedPointer<AbsIOSMessageDb> db,
                                                const QString &name)
{
    if (!isListableDbName(name))
        return nullptr;
    auto *node = new _LocalDBItemNode(localDbRoot, std::move(db), name);
    appendNode(localDbRoot, node);
    return node;
}

void ItemModelMain::rebuildChatSessions(_AbsDBItemNode *node)
{
    if (!node)
        return;
    removeChildren(node);
    QList<ChatSession> sessions = node->dataSet.chatSessions();
    // sessionNewerFirst is a total order (equal dates go by identifier).
    std::sort(sessions.begin(), sessions.end(), sessionNewerFirst);
    if (sessions.isEmpty())
        return;

    QList<_ItemNode *> fresh;
    fresh.reserve(sessions.size());
    for (const ChatSession &s : std::as_const(sessions)) {
        const QString text = s.chats.isEmpty() ? QString() : chatDisplayName(*s.chats.first(), false);
        auto *c = new _ChatSessionItemNode(node, text);
        c->chats = s.chats;
        c->lastDate = s.lastDate;
        fresh.append(c);
    }
    const QModelIndex parentIndex = indexForNode(node);
    if (!parentIndex.isValid()) {
        node->children = fresh; // not in the tree: no view to tell
        return;
    }
    beginInsertRows(parentIndex, 0, int(fresh.size()) - 1);
    node->children = fresh;
    endInsertRows();
}

int ItemModelMain::countDeviceNodes(int kind) const
{
    return int(std::count_if(devicesRoot->children.cbegin(), devicesRoot->children.cend(),
                             [kind](const _ItemNode *n) { return n->kind == kind; }));
}

bool ItemModelMain::isConnectedDevice(const _ItemNode *node)
{
    if (!node)
        return false;
    if (node->kind == kNodeIOSDevice)
        return static_cast<const _IOSDeviceItemNode *>(node)->device.deviceHandle != nullptr;
    if (node->kind == kNodeAndroidDevice) {
        const AndroidDevice &d = static_cast<const _AndroidDeviceItemNode *>(node)->device;
        return d.viaWifi || !d.serial.isEmpty();
    }
    return false;
}

QList<_IOSDeviceItemNode *> ItemModelMain::attachedIPhones() const
{
    QList<_IOSDeviceItemNode *> out;
    for (_ItemNode *n : devicesRoot->children) {
        if (n->kind != kNodeIOSDevice)
            continue;
        auto *phone = static_cast<_IOSDeviceItemNode *>(n);
        if (phone->device.deviceHandle)
            out.append(phone);
    }
    return out;
}

int ItemModelMain::countAttachedIPhones() const
{
    return int(attachedIPhones().size());
}

_AbsDBItemNode *ItemModelMain::sourceNodeOf(_ItemNode *node)
{
    if (!node)
        return nullptr;
    if (node->kind == kNodeChatSession)
        node = node->parent;
    if (!node)
        return nullptr;
    switch (node->kind) {
    case kNodeIOSDevice:
    case kNodeAndroidDevice:
    case kNodeLocalDb:
        return static_cast<_AbsDBItemNode *>(node);
    default:
        return nullptr;
    }
}

int ItemModelMain::sourceKindOf(_ItemNode *node)
{
    const _AbsDBItemNode *src = sourceNodeOf(node);
    return src ? src->kind : 0;
}

bool ItemModelMain::containsNode(const _ItemNode *node, quint64 serial) const
{
    if (!node)
        return false;
    // Walk the tree rather than read the node: it may be gone.
    std::function<bool(const QList<_ItemNode *> &)> walk = [&](const QList<_ItemNode *> &list) {
        for (const _ItemNode *n : list) {
            if (n == node)
                return n->serial == serial;
            if (walk(n->children))
                return true;
        }
        return false;
    };
    return walk(topLevelNodes());
}

int ItemModelMain::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant ItemModelMain::headerData(int, Qt::Orientation, int) const
{
    return {};
}

QImage ItemModelMain::chatIcon(const _MsgChat *chat)
{
    if (!chat)
        return {};
    if (chat->handles.size() > 1)
        return iconOfWidth(QStringLiteral(":/res/group.png"));
    QImage photo;
    if (chat->handles.size() == 1) {
        const QByteArray &bytes = chat->handles.first()->photo;
        if (!bytes.isEmpty() && !photo.loadFromData(bytes, "JPEG"))
            photo.loadFromData(bytes, "PNG");
    }
    if (photo.isNull())
        return iconOfWidth(QStringLiteral(":/res/contact.png"));
    return photo.scaledToHeight(18, Qt::FastTransformation);
}

QVariant ItemModelMain::data(const QModelIndex &index, int role) const
{
    if (index.row() < 0 || index.column() < 0)
        return {};
    _ItemNode *node = nodeOf(index);
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return itemDisplayText(node->text);
    case Qt::ToolTipRole:
        return itemToolTipText(node->text);
    case Qt::DecorationRole:
        switch (node->kind) {
        case kNodeDevicesRoot:
            return iconOfWidth(QStringLiteral(":/res/devices.png"));
        case kNodeLocalDbRoot:
            return iconOfWidth(QStringLiteral(":/res/databases.png"));
        case kNodeIOSDevice:
            return iconOfWidth(QStringLiteral(":/res/iphone.png"));
        case kNodeAndroidDevice:
            return iconOfWidth(QStringLiteral(":/res/android.png"));
        case kNodeLocalDb:
            return iconOfWidth(QStringLiteral(":/res/database.png"));
        case kNodeChatSession: {
            const auto *c = static_cast<_ChatSessionItemNode *>(node);
            if (c->chats.isEmpty())
                return {};
            return chatIcon(c->chats.first());
        }
        default:
            return {};
        }
    case Qt::ForegroundRole:
        if (node->kind == kNodeChatSession) {
            const auto *c = static_cast<_ChatSessionItemNode *>(node);
            if (!c->chats.isEmpty() && c->chats.first()->ROWID < kRecoveredChatRowidLimit)
                return QColor(255, 0, 0);
        }
        return {};
    case Qt::SizeHintRole:
        return QSize(0, 25);
    default:
        return {};
    }
}

TreeNodeRef::TreeNodeRef(ItemModelMain *model, AbsTreeItemModel::_ItemNode *node)
    : m_model(model)
    , m_node(node)
    , m_serial(node ? node->serial : 0)
{ }

AbsTreeItemModel::_ItemNode *TreeNodeRef::resolve() const
{
    if (!m_node || !m_model || !m_model->containsNode(m_node, m_serial))
        return nullptr;
    return m_node;
}

QString ItemModelMain::storeFolderOf(const _AbsDBItemNode *node)
{
    if (!node || !node->db)
        return {};
    if (const auto *db6 = dynamic_cast<const IOS6MessageDb *>(node->db.data()))
        return db6->dataDir().absolutePath();
    if (const auto *db5 = dynamic_cast<const IOS5MessageDb *>(node->db.data()))
        return QFileInfo(db5->smsDbPath()).absolutePath();
    return {};
}
