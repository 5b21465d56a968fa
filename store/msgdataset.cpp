#include "store/msgdataset.h"

#include <QHash>
#include <QMutex>

#include <algorithm>
#include <atomic>
#include <new>

namespace {

// Decimal keys of the row ids below kKeyRange, made a page at a time on
// first use and kept for the rest of the process (the strings handed out
// refer to them). Each key takes a slot of kKeySlot UTF-16 units.
constexpr qint64 kKeysPerPage = 1 << 16;
constexpr qint64 kKeyPages = 256;
constexpr qint64 kKeyRange = kKeysPerPage * kKeyPages; // 16,777,216: 8 digits at most
constexpr int kKeySlot = 8;

std::atomic<const char16_t *> keyPages[kKeyPages];

const char16_t *keyPage(qint64 page)
{
    if (const char16_t *p = keyPages[page].load(std::memory_order_acquire))
        return p;
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    if (const char16_t *p = keyPages[page].load(std::memory_order_relaxed))
        return p;
    auto *made = new char16_t[kKeysPerPage * kKeySlot];
    for (qint64 i = 0; i < kKeysPerPage; ++i) {
        char16_t *slot = made + i * kKeySlot;
        qint64 n = page * kKeysPerPage + i;
        char digits[kKeySlot];
        int len = 0;
        do {
            digits[len++] = char('0' + n % 10);
            n /= 10;
        } while (n);
        for (int k = 0; k < kKeySlot; ++k)
            slot[k] = k < len ? char16_t(digits[len - 1 - k]) : u'\0';
    }
    keyPages[page].store(made, std::memory_order_release);
    return made;
}

constexpr qsizetype kFirstBlock = 16;
constexpr qsizetype kLargestBlock = 2048;

} // namespace

QString messageKey(qint64 rowid)
{
    if (rowid < 0 || rowid >= kKeyRange)
        return QString::number(rowid);
    const char16_t *slot = keyPage(rowid / kKeysPerPage) + (rowid % kKeysPerPage) * kKeySlot;
    qsizetype len = 0;
    while (len < kKeySlot && slot[len])
        ++len;
    return QString::fromRawData(reinterpret_cast<const QChar *>(slot), len);
}

_MsgDataSet::~_MsgDataSet()
{
    qDeleteAll(attachments);
    for (_MsgMessage *m : std::as_const(messages)) {
        if (!ownsMessage(m))
            delete m;
    }
    for (MessageBlock &b : m_messageBlocks) {
        std::destroy_n(b.records, b.used);
        ::operator delete(static_cast<void *>(b.records), std::align_val_t(alignof(_MsgMessage)));
    }
    qDeleteAll(handles);
    qDeleteAll(chats);
}

_MsgMessage *_MsgDataSet::newMessage()
{
    if (m_messageBlocks.empty() || m_messageBlocks[m_openBlock].used
                == m_messageBlocks[m_openBlock].capacity) {
        MessageBlock b;
        b.capacity = std::clamp(m_messagesMade, kFirstBlock, kLargestBlock);
        b.records = static_cast<_MsgMessage *>(::operator new(
                sizeof(_MsgMessage) * size_t(b.capacity), std::align_val_t(alignof(_MsgMessage))));
        const auto at = std::upper_bound(m_messageBlocks.begin(), m_messageBlocks.end(), b,
                                         [](const MessageBlock &x, const MessageBlock &y) {
                                             return std::less<>()(x.records, y.records);
                                         });
        const auto placed = m_messageBlocks.insert(at, b);
        m_openBlock = size_t(placed - m_messageBlocks.begin());
    }
    MessageBlock &b = m_messageBlocks[m_openBlock];
    _MsgMessage *m = new (b.records + b.used) _MsgMessage;
    ++b.used;
    ++m_messagesMade;
    return m;
}

void _MsgDataSet::discardMessage(_MsgMessage *m)
{
    if (!m)
        return;
    if (ownsMessage(m))
        *m = _MsgMessage(); // its texts go now, its place with the set
    else
        delete m;
}

bool _MsgDataSet::ownsMessage(const _MsgMessage *m) const
{
    // The last block that starts at or before m.
    auto it = std::upper_bound(m_messageBlocks.begin(), m_messageBlocks.end(), m,
                               [](const _MsgMessage *p, const MessageBlock &b) {
                                   return std::less<>()(p, b.records);
                               });
    if (it == m_messageBlocks.begin())
        return false;
    --it;
    return std::less<>()(m, it->records + it->used);
}

void MsgDataSet::reset()
{
    m_set = QSharedPointer<_MsgDataSet>::create();
}

QList<ChatSession> MsgDataSet::chatSessions() const
{
    QList<ChatSession> sessions;
    if (!m_set)
        return sessions;
    QHash<QString, qsizetype> byIdentifier;
    for (_MsgChat *chat : std::as_const(m_set->chats)) {
        auto it = byIdentifier.constFind(chat->chat_identifier);
        if (it == byIdentifier.constEnd()) {
            byIdentifier.insert(chat->chat_identifier, sessions.size());
            sessions.append(ChatSession {{chat}, chat->lastDate});
        } else {
            ChatSession &s = sessions[*it];
            s.chats.append(chat);
            if (chat->lastDate > s.lastDate)
                s.lastDate = chat->lastDate;
        }
    }
    return sessions;
}

bool sessionNewerFirst(const ChatSession &a, const ChatSession &b)
{
    if (a.lastDate != b.lastDate)
        return a.lastDate > b.lastDate;
    const QString ka = a.chats.isEmpty() ? QString() : a.chats.first()->chat_identifier;
    const QString kb = b.chats.isEmpty() ? QString() : b.chats.first()->chat_identifier;
    return ka < kb;
}

bool chatNewerFirst(const _MsgChat *a, const _MsgChat *b)
{
    if (a->lastDate != b->lastDate)
        return a->lastDate > b->lastDate;
    return a->ROWID < b->ROWID;
}

void registerRecordMetaTypes()
{
    qRegisterMetaType<HandleItem>("HandleItem");
}
