// Loads an Android phone of 20,000 messages (one in 50 with a small
// picture) from the simulated companion app into a new cache database, then
// loads the unchanged phone again; the floor is the same messages merged by
// the local-database writer alone, without the session, the bookkeeping or
// the attachment exchange (target: the first load within 1.5x of it).
//
//   bench_androidload [messages] [correspondents]

#include "android/androiddevice.h"
#include "bench/benchapp.h"
#include "bench/benchreport.h"
#include "android/androidloadsmsthread.h"
#include "standins/companionpeer.h"
#include "store/countryinfo.h"
#include "store/datafolder.h"
#include "store/exportmessagesdb.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryFile>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <memory>

namespace {

constexpr int kBatch = 500;
constexpr int kPictureEvery = 50;

QString address(int i)
{
    return QStringLiteral("+1202555%1").arg(1000 + i);
}

QList<PhoneMessage> phoneMessages(int count, int people)
{
    const QByteArray picture(2048, 'p');
    QList<PhoneMessage> list;
    for (int i = 0; i < count; ++i) {
        PhoneMessage m;
        m.dateMs = 1600000000000LL + qint64(i) * 60000;
        m.sent = i % 3 == 0;
        m.address = address(i % people);
        m.contactName = QStringLiteral("Person %1").arg(i % people);
        m.text = QStringLiteral("Message number %1, with some words in it.").arg(i);
        if (i % kPictureEvery == 0)
            m.attachments << PhoneAttachment {QStringLiteral("image/jpeg"),
                                              QStringLiteral("p%1.jpg").arg(i), picture};
        list << m;
    }
    return list;
}

double loadOnce(AndroidDevice &device, bool *ok)
{
    ProgressForm form(QStringLiteral("load"));
    AndroidLoadSMSThread job(&device, &form);
    QElapsedTimer t;
    t.start();
    *ok = form.runJob(&job);
    return t.nsecsElapsed() / 1e6;
}

// The same messages, as the load makes them, merged by the writer alone.
double floorRun(const QList<PhoneMessage> &phone, const QString &mcc, const QString &name)
{
    const QString folder = dataFolder().absoluteFilePath(name);
    ExportMessagesDb writer {QDir(folder), mcc};
    QTemporaryFile picture;
    picture.open();
    picture.write(QByteArray(2048, 'p'));
    picture.flush();
    QElapsedTimer t;
    t.start();
    writer.begin();
    const _CountryInfo country = writer.database().countryLib().country();
    for (const PhoneMessage &p : phone) {
        _MsgHandle h;
        h.id = normalizeNumber(country, p.address);
        h.contactName = p.contactName;
        _MsgChat c;
        c.guid = QStringLiteral("SMS;-;") + h.id;
        c.chat_identifier = h.id;
        c.handles.insert(QStringLiteral("0"), &h);
        _MsgMessage m;
        m.handle = &h;
        m.chat = &c;
        m.text = p.text;
        m.date = qint32(p.dateMs / 1000 - kIosEpochOffset);
        m.is_from_me = p.sent;
        m.service = QStringLiteral("SMS");
        m.guid = md5Guid(logicHash(m).toUtf8());
        writer.write(&m);
        for (const PhoneAttachment &a : p.attachments) {
            _MsgAttachment att;
            att.guid = md5Guid((m.guid + a.name).toUtf8());
            att.filename = QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
                                   .arg(att.guid.left(2).toLower(), att.guid.mid(2, 2).toLower(),
                                        att.guid, a.name);
            att.localPath = picture.fileName();
            att.mime_type = a.mime;
            m.attachments.insert(att.guid, &att);
            m.text = QString(QChar(0xFFFC));
            m.guid = md5Guid(logicHash(m).toUtf8());
            writer.write(&m);
            m.attachments.clear();
        }
    }
    writer.end();
    return t.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    bench::offscreenUnlessSet();
    TestEnv env;
    QApplication app(argc, argv);
    bench::dropDebugMessages();
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20000;
    const int people = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 200;

    const QList<PhoneMessage> phone = phoneMessages(count, qMax(1, people));
    CompanionScenario scenario;
    for (qsizetype at = 0; at < phone.size(); at += kBatch)
        scenario.batches << phone.mid(at, kBatch);
    CompanionPeer peer(scenario);
    if (!peer.start()) {
        std::fprintf(stderr, "the simulated app did not start\n");
        return 1;
    }
    AndroidDevice device;
    device.viaWifi = true;
    device.host = QStringLiteral("127.0.0.1");
    device.port = peer.controlPort();
    device.mmc = QStringLiteral("310");

    // Best of three rounds each. Every round writes into folders of its
    // own (a new cache, a new floor folder) and nothing is removed until the
    // end: a file system that was just told to delete a tree makes the next
    // folders it creates pay for it, and that would fall on whichever side
    // ran after a removal. Each timed run starts after a sync, and the order
    // alternates between rounds.
    std::vector<double> first, again, floor;
    for (int round = 0; round < bench::kRounds; ++round) {
        device.imei = QStringLiteral("35693803564%1").arg(3809 + round);
        bool ok1 = false, ok2 = false;
        auto loads = [&] {
            ::sync();
            first.push_back(loadOnce(device, &ok1));
            again.push_back(loadOnce(device, &ok2));
        };
        auto floorOnce = [&] {
            ::sync();
            floor.push_back(floorRun(phone, device.mmc, QStringLiteral("floor%1").arg(round)));
        };
        if (round % 2 == 0) {
            loads();
            floorOnce();
        } else {
            floorOnce();
            loads();
        }
        if (!ok1 || !ok2) {
            std::fprintf(stderr, "a load failed\n");
            return 1;
        }
    }
    auto best = [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); };
    std::printf("android load of %d messages (%d correspondents, 1 in %d with a picture), best of "
                "%d rounds: first load %.0f messages/s\n",
                count, people, kPictureEvery, bench::kRounds, count / (best(first) / 1000.0));
    bench::report("androidload.first", best(first), best(floor), "ms", bench::Want::AtMost, 1.5);
    bench::report("androidload.unchanged", best(again), best(floor), "ms");
    return 0;
}
