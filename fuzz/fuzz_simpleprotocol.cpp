// The companion app's side of a load as the line reader and the codec see
// it: any bytes, handed over in chunks of any size, are read as the load
// reads them (commands, batches of "$sms:" lines, attachment parts with
// their data lines). Every read ends with a line or one of the protocol's
// exceptions; lines never hold a CR or LF nor pass the length limit; part
// names are safe file names, unique within their message; what this side
// writes back is whole lines.
#include "android/androidmessagecodec.h"
#include "android/simpleprotocol.h"

#include <QIODevice>
#include <QSet>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace simpleprotocol;

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

// A connection whose peer sends the given bytes, at most chunk bytes per
// arrival, and then closes; what this side writes is kept.
class ScriptedPeer : public QIODevice
{
public:
    ScriptedPeer(const QByteArray &script, qint64 chunk)
        : m_script(script)
        , m_chunk(chunk)
    {
        open(QIODevice::ReadWrite);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_arrived + QIODevice::bytesAvailable(); }
    bool waitForReadyRead(int) override
    {
        if (m_pos + m_arrived >= m_script.size())
            return false;
        m_arrived = qMin(m_chunk, m_script.size() - m_pos - m_arrived) + m_arrived;
        return true;
    }
    bool waitForBytesWritten(int) override { return true; }
    const QByteArray &written() const { return m_written; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin(max, m_arrived);
        memcpy(data, m_script.constData() + m_pos, size_t(n));
        m_pos += n;
        m_arrived -= n;
        return n;
    }
    qint64 writeData(const char *data, qint64 len) override
    {
        m_written.append(data, len);
        return len;
    }

private:
    QByteArray m_script;
    qint64 m_chunk;
    qint64 m_pos = 0;
    qint64 m_arrived = 0;
    QByteArray m_written;
};

constexpr qint64 kMaxLine = 4096;

QString command(ScriptedPeer &peer)
{
    const QString line = readCommand(&peer, 0, kMaxLine);
    if (line.isEmpty() || line.size() > kMaxLine || line.contains(QLatin1Char('\n'))
        || line.contains(QLatin1Char('\r')))
        std::abort();
    return line;
}

[[noreturn]] void badName(const QString &name)
{
    fprintf(stderr, "unsafe part name [%s]\n", name.toUtf8().constData());
    std::abort();
}

// A name that a file system takes: within maxUnits characters and
// maxBytes of UTF-8 (whole characters only), no folder separator, none of
// the characters a store never keeps, no control character, not "." or "..".
void checkName(const QString &name, qsizetype maxUnits, qsizetype maxBytes)
{
    static const QString forbidden = QStringLiteral("/\\:*?\"<>|");
    const QByteArray utf8 = name.toUtf8();
    if (name.isEmpty() || name.size() > maxUnits || utf8.size() > maxBytes
        || QString::fromUtf8(utf8) != name || name == QLatin1String(".")
        || name == QLatin1String(".."))
        badName(name);
    for (const QChar c : name)
        if (forbidden.contains(c) || c.category() == QChar::Other_Control || c.isNull())
            badName(name);
}

// One attachment part: its "$atta:" line, then data lines up to ".".
void part(ScriptedPeer &peer, QSet<QString> &used)
{
    const QString line = expectCommand(&peer, QStringLiteral("$atta:"), 0);
    const QString rest = line.mid(6);
    const qsizetype comma = rest.indexOf(QLatin1Char(','));
    if (comma < 0)
        return;
    const QString name = attachmentPartName(rest.mid(comma + 1));
    checkName(name, 128, 200);
    const qsizetype before = used.size();
    const QString unique = uniqueAttachmentName(name, &used);
    checkName(unique, 255, 255);
    if (used.size() != before + 1 || !used.contains(unique.toLower()))
        std::abort();
    qint64 received = 0;
    for (;;) {
        const QString data = command(peer);
        if (data.startsWith(QLatin1Char('.')))
            break;
        const QByteArray bytes = decodeAttachmentData(&peer, data);
        // Base64 never decodes to more than three bytes per four characters.
        if (bytes.size() > (data.size() + 3) / 4 * 3)
            std::abort();
        received += bytes.size();
    }
    (void)received;
}

void message(ScriptedPeer &peer, const QString &argument)
{
    const QStringList fields = argument.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (fields.size() < 6)
        return;
    for (int i = 2; i <= 5; ++i) {
        const QString text = decodeArgumentText(&peer, fields.at(i));
        if (decodeText(encodeText(text)) != text)
            std::abort();
    }
    const int parts = fields.size() >= 7 ? fields.at(6).trimmed().toInt() : 0;
    QSet<QString> used;
    for (int i = 0; i < qMin(parts, 16); ++i)
        part(peer, used);
}

void session(ScriptedPeer &peer)
{
    for (;;) {
        const QString line = command(peer);
        if (line.startsWith(QLatin1String("$bye:")))
            return;
        if (!line.startsWith(QLatin1String("$batch:")))
            continue;
        for (;;) {
            const QString item = command(peer);
            if (item.startsWith(QLatin1String("$sms:")))
                message(peer, item.mid(5));
            else if (item.startsWith(QLatin1String("$end:")))
                break;
            else if (item.startsWith(QLatin1String("$bye:")))
                return;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (qInstallMessageHandler(quiet), true);
    (void)silenced;
    if (size < 1)
        return 0;
    // The first byte chooses how the bytes arrive: one at a time up to a
    // chunk larger than the reader's own buffer.
    const qint64 chunk = data[0] == 0 ? 5000 : qint64(data[0]);
    const QByteArray script(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    ScriptedPeer peer(script, chunk);
    try {
        session(peer);
    } catch (const LocalException &) {
    } catch (const RemoteException &) {
    } catch (const SocketDataTransferException &) {
    }
    // Whatever this side answered is whole lines of printable ASCII: the
    // peer's text reaches it only as base64.
    const QByteArray &out = peer.written();
    if (!out.isEmpty() && !out.endsWith('\n'))
        std::abort();
    for (const char c : out)
        if (c != '\n' && (c < 0x20 || c > 0x7e))
            std::abort();
    return 0;
}
