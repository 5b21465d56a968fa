// The far ends of "com.apple.afc" and "com.apple.mobile.house_arrest": an
// in-memory file tree per phone (and one per app container) served over the
// AFC packet protocol, with faults a scenario can inject.
//
// Scenario entries of a device:
//   "afc": {
//       "files": {"/path": "text" | {"$data": base64} | {"$fill": size}},
//       "dirs": ["/folder", ...],
//       "faults": [{"op": 15, "skip": 0, "kind": "...", "value": 0}, ...]
//   }
//   "houseArrest": {
//       "apps": {"com.example.app": {"files": {...}, "dirs": [...]}},
//       "vendFault": "garbage" | "stall" | "close",
//       "faults": [...]          AFC faults once a container is open
//   }
// A fault fires once, on the first request of operation "op" (0: any)
// after "skip" such requests (with "path", only on requests whose first
// path is that one); kinds:
//   "shortHeader"    20 bytes of an answer header, then the connection closes
//   "badMagic"       an answer whose magic is wrong
//   "lengthBeyond"   an answer announcing "value" (100) bytes more than follow,
//                    then silence
//   "overCap"        an answer announcing "value" bytes (1 TiB), then silence
//   "lengthsCrossed" an answer whose this length exceeds its entire length
//   "status"         a status answer with code "value" (1) instead of the work
//   "shortStatus"    a status answer of 4 bytes
//   "closeMidAnswer" half an answer, then the connection closes
//   "stall"          no answer; requests are read and dropped
//   "stopReading"    nothing is read or answered any more (the near end's
//                    send buffer is made small, so a write comes up short)
//   "tooMuchData"    a read answered with 16 bytes more than asked
//   "unknownOp"      an answer of operation 99
//   "answer"         an answer of operation "answerOp" (2) whose payload is
//                    "payload" (base64) instead of the work
//   "late"           the work is done and answered after "value" (1000) ms
//   "close"          the connection closes at once

#include "standins/apple/servicekit.h"

#include <QDateTime>
#include <QJsonArray>
#include <QStringList>
#include <QtEndian>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace standin {

namespace {

enum : quint64 {
    OpStatus = 1,
    OpData = 2,
    OpReadDirectory = 3,
    OpRemovePath = 8,
    OpMakeDirectory = 9,
    OpGetFileInfo = 10,
    OpFileOpen = 13,
    OpFileOpenResult = 14,
    OpFileRead = 15,
    OpFileWrite = 16,
    OpFileClose = 20,
    OpRenamePath = 24,
    OpFileLock = 27,
};

// Status codes of the phone.
enum : quint64 {
    Success = 0,
    UnknownError = 1,
    InvalidArgument = 7,
    NotFound = 8,
    IsDirectory = 9,
    PermissionDenied = 10,
    Unsupported = 15,
    Exists = 16,
};

constexpr quint64 kHeader = 40;

struct Fault
{
    quint64 op = 0;
    int skip = 0;
    QString path;
    QString kind;
    qint64 value = -1;
    quint64 answerOp = 2;
    QByteArray payload;
    bool fired = false;
};

std::vector<Fault> faultsOf(const QJsonValue &list)
{
    std::vector<Fault> faults;
    for (const QJsonValue &v : list.toArray()) {
        const QJsonObject o = v.toObject();
        Fault f;
        f.op = quint64(o.value(QLatin1String("op")).toInteger(0));
        f.skip = o.value(QLatin1String("skip")).toInt(0);
        f.path = o.value(QLatin1String("path")).toString();
        f.kind = o.value(QLatin1String("kind")).toString();
        f.value = o.value(QLatin1String("value")).toInteger(-1);
        f.answerOp = quint64(o.value(QLatin1String("answerOp")).toInteger(2));
        f.payload = QByteArray::fromBase64(o.value(QLatin1String("payload")).toString().toLatin1());
        faults.push_back(f);
    }
    return faults;
}

qint64 nowNs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000000;
}

// An absolute path without ".", ".." or doubled slashes; never above "/".
QString clean(const QString &path)
{
    QStringList parts;
    for (const QString &p : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (p == QLatin1String("."))
            continue;
        if (p == QLatin1String("..")) {
            if (!parts.isEmpty())
                parts.removeLast();
            continue;
        }
        parts.append(p);
    }
    return QLatin1Char('/') + parts.join(QLatin1Char('/'));
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

QString prefixOf(const QString &folder)
{
    return folder == QLatin1String("/") ? folder : folder + QLatin1Char('/');
}

bool isBelow(const QString &path, const QString &folder)
{
    return path != folder && path.startsWith(prefixOf(folder));
}

// The first node below folder: every node below it follows in order.
std::map<QString, AfcNode>::iterator firstBelow(std::map<QString, AfcNode> &nodes,
                                                const QString &folder)
{
    auto it = nodes.lower_bound(prefixOf(folder));
    if (it != nodes.end() && it->first == folder)
        ++it;
    return it;
}

// Tree lock held.
void makeFolders(AfcTree &tree, const QString &path)
{
    QString sofar;
    for (const QString &p : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        sofar += QLatin1Char('/') + p;
        auto &node = tree.nodes[sofar];
        if (!node.dir && node.data.isEmpty() && node.mtimeNs == 0) {
            node.dir = true;
            node.mtimeNs = nowNs();
        }
    }
}

std::shared_ptr<AfcTree> treeOf(const QJsonObject &o)
{
    auto tree = std::make_shared<AfcTree>();
    tree->nodes[QStringLiteral("/")] = AfcNode {true, {}, nowNs()};
    for (const QJsonValue &d : o.value(QLatin1String("dirs")).toArray())
        makeFolders(*tree, clean(d.toString()));
    const QJsonObject files = o.value(QLatin1String("files")).toObject();
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString path = clean(it.key());
        makeFolders(*tree, parentOf(path));
        AfcNode node;
        node.mtimeNs = nowNs();
        const QJsonObject spec = it.value().toObject();
        if (it.value().isString())
            node.data = it.value().toString().toUtf8();
        else if (spec.contains(QLatin1String("$data")))
            node.data = QByteArray::fromBase64(
                    spec.value(QLatin1String("$data")).toString().toLatin1());
        else if (spec.contains(QLatin1String("$fill"))) {
            node.data.resize(spec.value(QLatin1String("$fill")).toInteger());
            for (qsizetype i = 0; i < node.data.size(); ++i)
                node.data[i] = char(i * 131 + (i >> 16));
        }
        tree->nodes[path] = node;
    }
    return tree;
}

void putNumber(QByteArray &out, quint64 v)
{
    char b[8];
    qToLittleEndian(v, b);
    out.append(b, 8);
}

quint64 numberAt(const QByteArray &bytes, qsizetype at)
{
    return at + 8 <= bytes.size() ? qFromLittleEndian<quint64>(bytes.constData() + at) : 0;
}

void headerAt(char *at, quint64 entire, quint64 thisLength, quint64 packet, quint64 op)
{
    std::memcpy(at, "CFA6LPAA", 8);
    qToLittleEndian(entire, at + 8);
    qToLittleEndian(thisLength, at + 16);
    qToLittleEndian(packet, at + 24);
    qToLittleEndian(op, at + 32);
}

QByteArray header(quint64 entire, quint64 thisLength, quint64 packet, quint64 op,
                  const char *magic = "CFA6LPAA")
{
    QByteArray h(magic, 8);
    putNumber(h, entire);
    putNumber(h, thisLength);
    putNumber(h, packet);
    putNumber(h, op);
    return h;
}

// One connection's serving: a tree, seen from a root folder.
class AfcServer
{
public:
    AfcServer(const ServiceCall &call, std::shared_ptr<AfcTree> tree, QString root,
              std::vector<Fault> faults)
        : m_call(call)
        , m_tree(std::move(tree))
        , m_root(std::move(root))
        , m_faults(std::move(faults))
    { }

    void run();

private:
    struct Open
    {
        QString path;
        qint64 position = 0;
    };

    QString pathOf(const QByteArray &bytes) const
    {
        const qsizetype end = bytes.indexOf('\0');
        const QString inside = clean(QString::fromUtf8(end < 0 ? bytes : bytes.left(end)));
        return m_root == QLatin1String("/") ? inside : clean(m_root + inside);
    }
    bool answer(quint64 op, const QByteArray &payload)
    {
        return answer(op, payload.constData(), size_t(payload.size()));
    }
    // The header and the payload leave together, the payload sent from
    // where it lies.
    bool answer(quint64 op, const char *payload, size_t size)
    {
        char head[kHeader];
        headerAt(head, kHeader + quint64(size), kHeader, m_packet, op);
        return sendAll(m_call.fd, head, kHeader, payload, size);
    }
    bool status(quint64 code)
    {
        char bytes[kHeader + 8];
        headerAt(bytes, kHeader + 8, kHeader + 8, m_packet, OpStatus);
        qToLittleEndian(code, bytes + kHeader);
        return sendAll(m_call.fd, bytes, sizeof bytes);
    }
    // The injected fault for this request, if one fires: false ends the
    // connection, true goes on (*handled tells whether the request is done).
    bool fault(quint64 op, quint64 asked, const QString &path, bool *handled);
    bool stopsReading(quint64 op);
    bool handle(quint64 op, const QByteArray &params, const QByteArray &data);

    ServiceCall m_call;
    std::shared_ptr<AfcTree> m_tree;
    QString m_root;
    std::vector<Fault> m_faults;
    std::map<quint64, Open> m_open;
    // A read's answer, header and data, one buffer for all of them.
    QByteArray m_answer;
    quint64 m_nextHandle = 1;
    quint64 m_packet = 0;
};

// A phone that stops reading does so before the request's body.
bool AfcServer::stopsReading(quint64 op)
{
    for (Fault &c : m_faults) {
        if (c.fired || (c.op != 0 && c.op != op))
            continue;
        if (c.kind != QLatin1String("stopReading"))
            return false;
        if (c.skip > 0)
            return false;
        c.fired = true;
        return true;
    }
    return false;
}

bool AfcServer::fault(quint64 op, quint64 asked, const QString &path, bool *handled)
{
    *handled = false;
    Fault *f = nullptr;
    for (Fault &c : m_faults) {
        if (c.fired || (c.op != 0 && c.op != op) || (!c.path.isEmpty() && c.path != path))
            continue;
        if (c.skip > 0) {
            --c.skip;
            continue;
        }
        f = &c;
        break;
    }
    if (!f)
        return true;
    f->fired = true;
    *handled = true;
    const int fd = m_call.fd;
    const QString &k = f->kind;
    if (k == QLatin1String("shortHeader")) {
        const QByteArray h = header(kHeader + 8, kHeader + 8, m_packet, OpStatus);
        sendAll(fd, h.constData(), 20);
        return false;
    }
    if (k == QLatin1String("badMagic")) {
        const QByteArray bytes = header(kHeader + 8, kHeader + 8, m_packet, OpStatus, "CFA6LPAB")
                + QByteArray(8, '\0');
        return sendAll(fd, bytes.constData(), size_t(bytes.size()));
    }
    if (k == QLatin1String("lengthBeyond") || k == QLatin1String("overCap")) {
        const quint64 announced = k == QLatin1String("overCap")
                ? quint64(f->value > 0 ? f->value : (qint64(1) << 40))
                : 8 + quint64(f->value > 0 ? f->value : 100);
        const QByteArray bytes
                = header(kHeader + announced, kHeader, m_packet, OpData) + QByteArray(8, 'x');
        sendAll(fd, bytes.constData(), size_t(bytes.size()));
        stall(fd);
        return false;
    }
    if (k == QLatin1String("lengthsCrossed")) {
        const QByteArray bytes
                = header(kHeader + 8, kHeader + 24, m_packet, OpStatus) + QByteArray(8, '\0');
        return sendAll(fd, bytes.constData(), size_t(bytes.size()));
    }
    if (k == QLatin1String("status"))
        return status(quint64(f->value >= 0 ? f->value : 1));
    if (k == QLatin1String("shortStatus")) {
        const QByteArray bytes
                = header(kHeader + 4, kHeader + 4, m_packet, OpStatus) + QByteArray(4, '\0');
        return sendAll(fd, bytes.constData(), size_t(bytes.size()));
    }
    if (k == QLatin1String("closeMidAnswer")) {
        const QByteArray bytes = header(kHeader + 64, kHeader, m_packet, OpData) + QByteArray(20, 'x');
        sendAll(fd, bytes.constData(), size_t(bytes.size()));
        return false;
    }
    if (k == QLatin1String("stall")) {
        stall(fd);
        return false;
    }
    if (k == QLatin1String("tooMuchData"))
        return answer(OpData, QByteArray(qsizetype(asked) + 16, 'y'));
    if (k == QLatin1String("answer"))
        return answer(f->answerOp, f->payload);
    if (k == QLatin1String("late")) {
        const auto until = std::chrono::steady_clock::now()
                + std::chrono::milliseconds(f->value > 0 ? f->value : 1000);
        while (std::chrono::steady_clock::now() < until && !stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        *handled = false;
        return true;
    }
    if (k == QLatin1String("unknownOp")) {
        QByteArray payload;
        putNumber(payload, 5);
        return answer(99, payload);
    }
    // "close" and anything unknown.
    return false;
}

bool AfcServer::handle(quint64 op, const QByteArray &params, const QByteArray &data)
{
    std::unique_lock lock(m_tree->mutex);
    auto &nodes = m_tree->nodes;
    switch (op) {
    case OpReadDirectory: {
        const QString path = pathOf(params);
        auto it = nodes.find(path);
        if (it == nodes.end())
            return status(NotFound);
        if (!it->second.dir)
            return status(InvalidArgument);
        QByteArray names(".\0..\0", 5);
        for (auto c = firstBelow(nodes, path); c != nodes.end() && isBelow(c->first, path); ++c) {
            const QString rest = c->first.mid(prefixOf(path).size());
            if (!rest.contains(QLatin1Char('/')))
                names += rest.toUtf8() + '\0';
        }
        return answer(OpData, names);
    }
    case OpGetFileInfo: {
        auto it = nodes.find(pathOf(params));
        if (it == nodes.end())
            return status(NotFound);
        const AfcNode &n = it->second;
        QByteArray info;
        const auto add = [&info](const char *k, const QByteArray &v) {
            info += QByteArray(k) + '\0' + v + '\0';
        };
        add("st_size", QByteArray::number(n.dir ? 68 : n.data.size()));
        add("st_blocks", QByteArray::number((n.data.size() + 511) / 512));
        add("st_nlink", n.dir ? "2" : "1");
        add("st_ifmt", n.dir ? "S_IFDIR" : "S_IFREG");
        add("st_mtime", QByteArray::number(n.mtimeNs));
        add("st_birthtime", QByteArray::number(n.mtimeNs));
        return answer(OpData, info);
    }
    case OpMakeDirectory: {
        const QString path = pathOf(params);
        for (QString p = path; p != QLatin1String("/"); p = parentOf(p)) {
            auto it = nodes.find(p);
            if (it != nodes.end() && !it->second.dir)
                return status(Exists);
        }
        makeFolders(*m_tree, path);
        return status(Success);
    }
    case OpRemovePath: {
        const QString path = pathOf(params);
        if (path == m_root || path == QLatin1String("/"))
            return status(PermissionDenied);
        auto it = nodes.find(path);
        if (it == nodes.end())
            return status(NotFound);
        auto next = firstBelow(nodes, path);
        if (it->second.dir && next != nodes.end() && isBelow(next->first, path))
            return status(UnknownError); // not empty
        nodes.erase(it);
        return status(Success);
    }
    case OpRenamePath: {
        const qsizetype split = params.indexOf('\0');
        if (split < 0)
            return status(InvalidArgument);
        const QString from = pathOf(params.left(split));
        const QString to = pathOf(params.mid(split + 1));
        auto it = nodes.find(from);
        if (it == nodes.end())
            return status(NotFound);
        auto parent = nodes.find(parentOf(to));
        if (parent == nodes.end() || !parent->second.dir || isBelow(to, from))
            return status(InvalidArgument);
        if (to == from)
            return status(Success);
        std::vector<std::pair<QString, AfcNode>> moved;
        moved.emplace_back(to, std::move(it->second));
        nodes.erase(it);
        for (auto c = firstBelow(nodes, from); c != nodes.end() && isBelow(c->first, from);) {
            moved.emplace_back(to + c->first.mid(from.size()), std::move(c->second));
            c = nodes.erase(c);
        }
        for (auto &m : moved)
            nodes[m.first] = std::move(m.second);
        return status(Success);
    }
    case OpFileOpen: {
        const quint64 mode = numberAt(params, 0);
        const QString path = pathOf(params.mid(8));
        auto it = nodes.find(path);
        if (it != nodes.end() && it->second.dir)
            return status(IsDirectory);
        if (mode < 1 || mode > 6)
            return status(InvalidArgument);
        if (it == nodes.end()) {
            if (mode == 1 || mode == 2)
                return status(NotFound);
            auto parent = nodes.find(parentOf(path));
            if (parent == nodes.end() || !parent->second.dir)
                return status(NotFound);
            it = nodes.emplace(path, AfcNode {false, {}, nowNs()}).first;
        }
        if (mode == 3 || mode == 4) {
            it->second.data.clear();
            it->second.mtimeNs = nowNs();
        }
        const quint64 handle = m_nextHandle++;
        m_open[handle] = Open {path, mode >= 5 ? qint64(it->second.data.size()) : 0};
        QByteArray payload;
        putNumber(payload, handle);
        return answer(OpFileOpenResult, payload);
    }
    case OpFileRead: {
        auto h = m_open.find(numberAt(params, 0));
        const quint64 count = numberAt(params, 8);
        if (h == m_open.end())
            return status(InvalidArgument);
        auto it = nodes.find(h->second.path);
        if (it == nodes.end())
            return status(NotFound);
        // As a phone reads a file into a buffer and sends that: the piece
        // is copied under the lock behind the header in the one answer
        // buffer of the connection, and the two leave in one send. Sent
        // straight from the stored file, each answer had the kernel read
        // pages of a large file it had never touched (the file is written
        // anew before it is read): on virtual machines whose kernel maps
        // user pages apart, a fault a page, reads three times as slow. The
        // answer buffer stays warm, and copying 64 KiB costs microseconds.
        const QByteArray &bytes = it->second.data;
        const qint64 from = qMin<qint64>(h->second.position, bytes.size());
        const qint64 n = qMin<qint64>(qint64(qMin<quint64>(count, 1u << 24)), bytes.size() - from);
        h->second.position = from + n;
        m_answer.resize(qsizetype(kHeader) + n);
        headerAt(m_answer.data(), kHeader + quint64(n), kHeader, m_packet, OpData);
        std::memcpy(m_answer.data() + kHeader, bytes.constData() + from, size_t(n));
        lock.unlock();
        return sendAll(m_call.fd, m_answer.constData(), size_t(m_answer.size()));
    }
    case OpFileWrite: {
        auto h = m_open.find(numberAt(params, 0));
        if (h == m_open.end())
            return status(InvalidArgument);
        auto it = nodes.find(h->second.path);
        if (it == nodes.end())
            return status(NotFound);
        // data lies in the request buffer: it is copied, never shared.
        QByteArray &bytes = it->second.data;
        const qint64 at = h->second.position;
        if (at > bytes.size())
            bytes.append(QByteArray(at - bytes.size(), '\0'));
        if (at == bytes.size())
            bytes.append(data.constData(), data.size());
        else
            bytes.replace(at, qMin<qint64>(data.size(), bytes.size() - at),
                          QByteArrayView(data.constData(), data.size()));
        h->second.position = at + data.size();
        it->second.mtimeNs = nowNs();
        return status(Success);
    }
    case OpFileClose:
        return status(m_open.erase(numberAt(params, 0)) ? Success : InvalidArgument);
    case OpFileLock:
        return status(m_open.count(numberAt(params, 0)) ? Success : InvalidArgument);
    default:
        return status(Unsupported);
    }
}

void AfcServer::run()
{
    const int fd = m_call.fd;
    // The bodies of requests, one buffer for all of them.
    QByteArray body;
    for (;;) {
        char head[kHeader];
        if (!readNext(fd, head, kHeader))
            return;
        const QByteArray h = QByteArray::fromRawData(head, kHeader);
        if (std::memcmp(head, "CFA6LPAA", 8) != 0)
            return;
        const quint64 entire = numberAt(h, 8);
        const quint64 thisLength = numberAt(h, 16);
        m_packet = numberAt(h, 24);
        const quint64 op = numberAt(h, 32);
        if (thisLength < kHeader || thisLength > entire || entire - kHeader > (1u << 26))
            return;
        if (stopsReading(op)) {
            stallSilently(fd);
            return;
        }
        body.resize(qsizetype(entire - kHeader));
        if (!body.isEmpty() && !readExactly(fd, body.data(), size_t(body.size())))
            return;
        const qsizetype paramsSize = qsizetype(thisLength - kHeader);
        const QByteArray params = QByteArray::fromRawData(body.constData(), paramsSize);
        const QByteArray data
                = QByteArray::fromRawData(body.constData() + paramsSize, body.size() - paramsSize);

        QString seen = QStringLiteral("afc %1").arg(op);
        if (op == OpFileRead)
            seen += QStringLiteral(" %1").arg(numberAt(params, 8));
        else if (op == OpFileWrite)
            seen += QStringLiteral(" %1").arg(data.size());
        else if (op == OpFileOpen)
            seen += QStringLiteral(" %1 %2").arg(numberAt(params, 0)).arg(pathOf(params.mid(8)));
        else if (op != OpFileClose && op != OpFileLock)
            for (const QByteArray &p : params.split('\0'))
                if (!p.isEmpty())
                    seen += QLatin1Char(' ') + pathOf(p);
        m_call.record(seen);

        bool handled = false;
        const quint64 asked = op == OpFileRead ? numberAt(params, 8) : 0;
        const qsizetype pathEnd = params.indexOf('\0');
        const QString firstPath = op == OpFileOpen
                ? pathOf(params.mid(8))
                : (op == OpFileRead || op == OpFileWrite || op == OpFileClose || op == OpFileLock
                           ? QString()
                           : pathOf(pathEnd < 0 ? params : params.left(pathEnd)));
        if (!fault(op, asked, firstPath, &handled))
            return;
        if (!handled && !handle(op, params, data))
            return;
    }
}

} // namespace

std::shared_ptr<DeviceStore> makeStore(const QJsonObject &device)
{
    auto store = std::make_shared<DeviceStore>();
    store->media = treeOf(device.value(QLatin1String("afc")).toObject());
    const QJsonObject apps = device.value(QLatin1String("houseArrest"))
                                     .toObject()
                                     .value(QLatin1String("apps"))
                                     .toObject();
    for (auto it = apps.begin(); it != apps.end(); ++it)
        store->apps[it.key()] = treeOf(it.value().toObject());
    return store;
}

bool wantsSmallBuffers(const QJsonObject &device, const QString &service)
{
    const char *key = service == QLatin1String("com.apple.afc") ? "afc"
            : service == QLatin1String("com.apple.mobile.house_arrest") ? "houseArrest"
                                                                         : nullptr;
    if (!key)
        return false;
    for (const QJsonValue &f :
         device.value(QLatin1String(key)).toObject().value(QLatin1String("faults")).toArray())
        if (f.toObject().value(QLatin1String("kind")).toString() == QLatin1String("stopReading"))
            return true;
    return false;
}

void serveAfc(const ServiceCall &call)
{
    AfcServer server(call, call.store->media, QStringLiteral("/"),
                     faultsOf(call.device.value(QLatin1String("afc"))
                                      .toObject()
                                      .value(QLatin1String("faults"))));
    server.run();
}

void serveHouseArrest(const ServiceCall &call)
{
    const QJsonObject config = call.device.value(QLatin1String("houseArrest")).toObject();
    QString format;
    Owned request(receiveMessage(call.fd, &format));
    if (!request.ref)
        return;
    call.record(xmlOf(request.ref));
    call.recordFormat(format);
    const QString command = stringOf(valueOf(request.ref, QStringLiteral("Command")));
    const QString id = stringOf(valueOf(request.ref, QStringLiteral("Identifier")));
    const QString vendFault = config.value(QLatin1String("vendFault")).toString();
    if (vendFault == QLatin1String("stall")) {
        stall(call.fd);
        return;
    }
    if (vendFault == QLatin1String("close"))
        return;
    if (vendFault == QLatin1String("garbage")) {
        const QByteArray bytes("\0\0\0\x08notplist", 12);
        sendAll(call.fd, bytes.constData(), size_t(bytes.size()));
        stall(call.fd);
        return;
    }
    const bool known = command == QLatin1String("VendContainer")
            || command == QLatin1String("VendDocuments");
    auto app = call.store->apps.find(id);
    if (!known || app == call.store->apps.end()) {
        Owned reply(dictionaryWith("Error", known ? QStringLiteral("ApplicationLookupFailed")
                                                  : QStringLiteral("UnknownCommand")));
        sendMessage(call.fd, reply.ref);
        stall(call.fd);
        return;
    }
    Owned reply(dictionaryWith("Status", QStringLiteral("Complete")));
    if (!sendMessage(call.fd, reply.ref))
        return;
    const QString root = command == QLatin1String("VendDocuments") ? QStringLiteral("/Documents")
                                                                   : QStringLiteral("/");
    AfcServer server(call, app->second, root, faultsOf(config.value(QLatin1String("faults"))));
    server.run();
}

} // namespace standin
