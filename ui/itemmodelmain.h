#pragma once

#include "android/androiddevice.h"
#include "iphone/iosdevice.h"
#include "store/absdb.h"
#include "store/abstreeitemmodel.h"
#include "store/msgdataset.h"

#include <QImage>
#include <QPointer>
#include <QSharedPointer>

// Kinds of the nodes of the source tree.
enum TreeNodeKind : int {
    kNodeDevicesRoot = 1,
    kNodeLocalDbRoot = 2,
    kNodeIOSDevice = 3,
    kNodeAndroidDevice = 4,
    kNodeLocalDb = 5,
    kNodeChatSession = 6,
};

// Conversations whose first chat has a rowid below this one are salvaged
// ones, drawn in red.
inline constexpr qint64 kRecoveredChatRowidLimit = -1947483646;

// A source of messages: an iPhone, an Android phone or a local database,
// with its message database and the records read from it so far. The
// conversation nodes below it point into the data set; they are rebuilt
// whenever the set is refilled.
class _AbsDBItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _AbsDBItemNode(int kind, const QString &text, _ItemNode *parent,
                   QSharedPointer<AbsIOSMessageDb> db);
    ~_AbsDBItemNode() override;

    // Declared before the data set so that the set (whose records refer to
    // nothing in the database) goes first.
    QSharedPointer<AbsIOSMessageDb> db;
    MsgDataSet dataSet;
};

class _IOSDeviceItemNode : public _AbsDBItemNode
{
public:
    _IOSDeviceItemNode(_ItemNode *parent, QSharedPointer<AbsIOSMessageDb> db,
                       const IOSDevice &device);
    ~_IOSDeviceItemNode() override;

    IOSDevice device;
};

class _AndroidDeviceItemNode : public _AbsDBItemNode
{
public:
    _AndroidDeviceItemNode(_ItemNode *parent, QSharedPointer<AbsIOSMessageDb> db,
                           const AndroidDevice &device);
    ~_AndroidDeviceItemNode() override;

    AndroidDevice device;
};

class _LocalDBItemNode : public _AbsDBItemNode
{
public:
    _LocalDBItemNode(_ItemNode *parent, QSharedPointer<AbsIOSMessageDb> db, const QString &name);
    ~_LocalDBItemNode() override;
};

// One conversation of a source: the chats that share a chat identifier.
// Owns neither the chats nor their records (they belong to the source's
// data set).
class _ChatSessionItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _ChatSessionItemNode(_ItemNode *parent, const QString &text);
    ~_ChatSessionItemNode() override;

    QList<_MsgChat *> chats;
    qint32 lastDate = 0;
};

class _RootDeviceItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    explicit _RootDeviceItemNode(const QString &text);
    ~_RootDeviceItemNode() override;
};

class _RootLocalDBItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    explicit _RootLocalDBItemNode(const QString &text);
    ~_RootLocalDBItemNode() override;
};

// The model of the source tree: "Devices" with the attached phones and the
// saved device copies, "Local Databases" with the local message databases,
// and below each source its conversations, newest first.
class ItemModelMain : public AbsTreeItemModel
{
    Q_OBJECT
public:
    explicit ItemModelMain(QObject *parent = nullptr);
    ~ItemModelMain() override;

    _IOSDeviceItemNode *addIOSDeviceNode(QSharedPointer<AbsIOSMessageDb> db,
                                         const IOSDevice &device);
    _AndroidDeviceItemNode *addAndroidDeviceNode(QSharedPointer<AbsIOSMessageDb> db,
                                                 const AndroidDevice &device);
    // Null (nothing added) for a name that is no usable folder name: blank,
    // only dots, or holding a control character.
    _LocalDBItemNode *addLocalDbNode(QSharedPointer<AbsIOSMessageDb> db, const QString &name);
    static bool isListableDbName(const QString &name);

    // Replaces the node's conversations by those of its data set.
    void rebuildChatSessions(_AbsDBItemNode *node);

    // How many children of "Devices" have this kind.
    int countDeviceNodes(int kind) const;
    // Whether node is a phone attached now: an iPhone with a device handle,
    // an Android phone reached over USB (an adb serial) or Wi-Fi. Saved
    // copies read from "virtual_ios" and "virtual_android" are not.
    static bool isConnectedDevice(const _ItemNode *node);

    // How many iPhone nodes stand for an attached phone (saved copies, which
    // have no device handle, are no target of a transfer).
    int countAttachedIPhones() const;
    // The iPhone nodes of attached phones, in tree order.
    QList<_IOSDeviceItemNode *> attachedIPhones() const;

    // The source node of a node: itself for kinds 3 to 5, the parent of a
    // conversation; null for anything else.
    static _AbsDBItemNode *sourceNodeOf(_ItemNode *node);
    // The folder a source node's database lives in: a store's folder, the
    // folder of a saved or cached phone database; empty when it has none.
    static QString storeFolderOf(const _AbsDBItemNode *node);
    // The kind of that source node, 0 when there is none.
    static int sourceKindOf(_ItemNode *node);
    // Whether node (with its serial) is still in this tree.
    bool containsNode(const _ItemNode *node, quint64 serial) const;

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // The decoration of a conversation, from its first chat.
    static QImage chatIcon(const _MsgChat *chat);

    _RootDeviceItemNode *devicesRoot;
    _RootLocalDBItemNode *localDbRoot;
};

// A node as seen at one moment: resolve() gives it back while it is still
// in the tree, and null once it was removed (even when a new node took its
// address). Slots that run a modal dialog keep one across exec().
class TreeNodeRef
{
public:
    TreeNodeRef() = default;
    TreeNodeRef(ItemModelMain *model, AbsTreeItemModel::_ItemNode *node);

    AbsTreeItemModel::_ItemNode *resolve() const;
    template<typename T> T *resolveAs() const { return dynamic_cast<T *>(resolve()); }
    bool isNull() const { return !m_node; }

private:
    QPointer<ItemModelMain> m_model;
    AbsTreeItemModel::_ItemNode *m_node = nullptr;
    quint64 m_serial = 0;
};
