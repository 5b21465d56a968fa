// An attached iPhone's record and the pull of its message databases through
// file_relay, against the simulated phones of the Apple stand-ins: identity
// and checks from lockdown values, the request, the pull under its progress
// dialog, hostile archives, a silent phone, Cancel and session failures.

#include "iphone/filerelay.h"
#include "iphone/iosdevice.h"
#include "iphone/iosloadfilerelaythread.h"
#include "iphone/mobiledevice.h"
#include "store/datafolder.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/cpiofixture.h"
#include "tests/support/iphonesim.h"
#include "tests/support/jobrun.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/testenv.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

#include <stdexcept>

namespace {

const QString kAdvice = QStringLiteral(
        "Please restart your iPhone and computer to try again. If a prompt message pops out on "
        "your iPhone, please click \"Trust\".");
const QString kSmsDb = QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db");
const qint64 kMtime = 1367403630; // 2013-05-01 10:20:30 UTC

QJsonObject phone(const QString &udid, const QJsonObject &extra = {},
                  const QJsonObject &backup = {}, const QString &version = "6.1.3")
{
    QJsonObject main {{"UniqueDeviceID", udid},
                      {"DeviceName", QString::fromUtf8("Zoë’s iPhone")},
                      {"MobileSubscriberCountryCode", "310"},
                      {"ProductVersion", version},
                      {"ProductType", "iPhone5,1"}};
    QJsonObject d {{"udid", udid},
                   {"values", QJsonObject {{"", main}, {"com.apple.mobile.backup", backup}}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        d.insert(it.key(), it.value());
    return d;
}

bool scenario(const QJsonObject &device)
{
    return iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {device}}});
}

bool idle(const QString &udid)
{
    const QJsonObject r = iphonesim::report(udid);
    return r.value("connections").toInt(-1) == 0 && r.value("sessions").toInt(-1) == 0;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (char &c : b)
        c = char(gen.bounded(256));
    return b;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Every path below root, relative, sorted; links listed, never followed.
QStringList tree(const QString &root)
{
    QStringList all;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all << QDir(root).relativeFilePath(it.next());
    all.sort();
    return all;
}

// The archive a phone's UserDatabases pull sends.
CpioFixture userDatabases(const QByteArray &smsDb)
{
    CpioFixture cpio;
    cpio.addFolder(".");
    for (const char *f : {"./var", "./var/mobile", "./var/mobile/Library",
                          "./var/mobile/Library/SMS", "./var/mobile/Library/AddressBook"})
        cpio.addFolder(f);
    cpio.addFile("./var/mobile/Library/SMS/sms.db", smsDb, kMtime);
    cpio.addFile("./var/mobile/Library/AddressBook/AddressBook.sqlitedb", "contacts", kMtime);
    return cpio;
}

// What a pull under its dialog came to.
using Outcome = JobOutcome;

Outcome pull(IOSDevice &device, const std::function<void(ModalAnswerer &)> &prepare = {})
{
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    ProgressForm form(ids("IDS_LOADING_IOS_DATABASES"));
    IOSLoadFileRelayThread job(&device, &form);
    if (prepare)
        prepare(answerer);
    return runJobUnderForm(form, &job, answerer);
}

// Presses Cancel on the progress dialog once ready() holds.
std::function<void(ModalAnswerer &)> cancelWhen(std::function<bool()> ready)
{
    return [ready](ModalAnswerer &answerer) {
        answerer.act(QStringLiteral("ProgressForm"), [ready](QWidget *w) {
            QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
            QVERIFY(ModalAnswerer::clickButton(w, QStringLiteral("btnCancel")));
        });
    };
}

template<typename F> QString thrown(F &&f)
{
    try {
        f();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// One entry for libarchive's writer: a file (mode 0100644 unless given),
// sharing its data with every entry of the same inode above 0.
struct LaEntry
{
    QString name;
    QByteArray data;
    int inode = 0;
    int links = 1;
    quint32 mode = 0100644;
};

la_ssize_t appendTo(archive *, void *out, const void *bytes, size_t n)
{
    static_cast<QByteArray *>(out)->append(static_cast<const char *>(bytes), qsizetype(n));
    return la_ssize_t(n);
}

// An archive written by libarchive in format (ARCHIVE_FORMAT_...) through
// filter (ARCHIVE_FILTER_...). Hard links go through libarchive's link
// resolver, as a real writer of the format lays them out (in newc the data
// of a set travels with its last name only); empty when the format or
// filter cannot be written here.
QByteArray libarchiveBytes(int format, int filter, const QList<LaEntry> &entries)
{
    QByteArray out;
    archive *a = archive_write_new();
    archive_write_set_bytes_in_last_block(a, 1);
    if (archive_write_set_format(a, format) != ARCHIVE_OK
        || archive_write_add_filter(a, filter) != ARCHIVE_OK
        || archive_write_open2(a, &out, nullptr, appendTo, nullptr, nullptr) != ARCHIVE_OK) {
        archive_write_free(a);
        return {};
    }
    QHash<qint64, QByteArray> dataOf;
    bool ok = true;
    const auto write = [&](archive_entry *e) {
        if (!e)
            return;
        ok = archive_write_header(a, e) == ARCHIVE_OK && ok;
        const QByteArray data = dataOf.value(archive_entry_ino64(e));
        if (archive_entry_size(e) > 0)
            ok = archive_write_data(a, data.constData(), size_t(data.size()))
                            == la_ssize_t(data.size())
                    && ok;
    };
    archive_entry_linkresolver *resolver = archive_entry_linkresolver_new();
    archive_entry_linkresolver_set_strategy(resolver, archive_format(a));
    QList<archive_entry *> made;
    qint64 nextInode = 1000;
    for (const LaEntry &x : entries) {
        archive_entry *e = archive_entry_new();
        made.append(e);
        const qint64 inode = x.inode > 0 ? x.inode : nextInode++;
        dataOf.insert(inode, x.data);
        archive_entry_set_pathname(e, x.name.toUtf8().constData());
        archive_entry_set_mode(e, x.mode);
        archive_entry_set_ino64(e, inode);
        archive_entry_set_dev(e, 1);
        archive_entry_set_nlink(e, unsigned(x.links));
        archive_entry_set_mtime(e, kMtime, 0);
        archive_entry_set_size(e, (x.mode & AE_IFMT) == AE_IFREG ? x.data.size() : 0);
        archive_entry *sparse = nullptr;
        archive_entry *out1 = e;
        archive_entry_linkify(resolver, &out1, &sparse);
        write(out1);
        write(sparse);
    }
    for (;;) {
        archive_entry *rest = nullptr;
        archive_entry *sparse = nullptr;
        archive_entry_linkify(resolver, &rest, &sparse);
        if (!rest)
            break;
        write(rest);
    }
    archive_entry_linkresolver_free(resolver);
    for (archive_entry *e : std::as_const(made))
        archive_entry_free(e);
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok ? out : QByteArray();
}

// bytes and then zeros zero bytes as one gzip member, written by
// libarchive; the zeros are fed in slices, never held whole. Empty when
// gzip cannot be written here.
QByteArray gzipped(const QByteArray &bytes, qint64 zeros = 0)
{
    QByteArray out;
    archive *a = archive_write_new();
    archive_write_set_bytes_in_last_block(a, 1);
    bool ok = archive_write_set_format_raw(a) == ARCHIVE_OK
            && archive_write_add_filter_gzip(a) == ARCHIVE_OK
            && archive_write_open2(a, &out, nullptr, appendTo, nullptr, nullptr) == ARCHIVE_OK;
    archive_entry *e = archive_entry_new();
    archive_entry_set_pathname(e, "stream");
    archive_entry_set_filetype(e, AE_IFREG);
    ok = ok && archive_write_header(a, e) == ARCHIVE_OK;
    archive_entry_free(e);
    const auto put = [&](const char *p, qint64 n) {
        ok = ok && archive_write_data(a, p, size_t(n)) == la_ssize_t(n);
    };
    put(bytes.constData(), bytes.size());
    const QByteArray slice(1 << 20, '\0');
    for (qint64 left = zeros; left > 0; left -= slice.size())
        put(slice.constData(), qMin<qint64>(left, slice.size()));
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok ? out : QByteArray();
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when unknown.
qint64 statusKiB(const QByteArray &field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Sets the process's peak resident size (VmHWM) back to what it holds now;
// false where the system does not let it.
bool resetPeakMemory()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1 && f.flush();
}

} // namespace

class TestFileRelay : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void deviceFromLockdownValues();
    void versionNumbers_data();
    void versionNumbers();
    void cacheFolderStaysInsideIosCache_data();
    void cacheFolderStaysInsideIosCache();
    void transferChecks_data();
    void transferChecks();
    void transferCheckOnAnUnreachablePhone();

    void requestReplies_data();
    void requestReplies();

    void pullUnpacksIntoTheCacheFolder();
    void entryNames_data();
    void entryNames();
    void hostileArchives_data();
    void hostileArchives();
    void entriesThatAreNotFilesAreSkipped_data();
    void entriesThatAreNotFilesAreSkipped();
    void archiveFormats_data();
    void archiveFormats();
    void cpioLayouts_data();
    void cpioLayouts();
    void lyingNameLengths_data();
    void lyingNameLengths();
    void hardLinksGetTheirSetsData_data();
    void hardLinksGetTheirSetsData();
    void pullReportsSkippedEntries();
    void unpackListsWhatItMadeForTheFlush();
    void cancelWhileUnpacking();
    void cancelAroundTheSwap_data();
    void cancelAroundTheSwap();
    void failedPullKeepsThePreviousCopy_data();
    void failedPullKeepsThePreviousCopy();
    void leftoversOfAnInterruptedPull();
    void silentPhoneEndsTheStream();
    void cancelWhilePhoneIsSilent_data();
    void cancelWhilePhoneIsSilent();
    void sessionFailuresReachTheErrorBox_data();
    void sessionFailuresReachTheErrorBox();

private:
    IOSDevice deviceOf(const QString &udid);
    // A phone serving archive through file_relay; its cache folder starts
    // with a previous good copy holding sms.db "OLD".
    IOSDevice phoneServing(const QString &udid, const QByteArray &archive,
                           const QJsonObject &fileRelay = {});

    TestEnv m_env;
    QTemporaryDir m_dir;
    QTranslator m_translator;
    long m_baseline = 0;
};

void TestFileRelay::initTestCase()
{
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    qputenv("PELICORDE_SERVICE_HOST", "");
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    QVERIFY(m_dir.isValid());
    m_baseline = iphonesim::liveObjects();
}

void TestFileRelay::cleanupTestCase()
{
    // Every CoreFoundation value made by the record, the request and the
    // pull has been released.
    QCOMPARE(iphonesim::liveObjects(), m_baseline);
    iphonesim::shutdown();
}

void TestFileRelay::init()
{
    mobiledevice::setLengthTimeoutMs(60000);
    IOSLoadFileRelayThread::setNoDataTimeoutMs(60000);
}

void TestFileRelay::cleanup()
{
    // No service far end is left waiting on a socket of ours.
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}});
}

IOSDevice TestFileRelay::deviceOf(const QString &udid)
{
    IOSDevice d;
    d.UniqueDeviceID = udid;
    d.deviceHandle = iphonesim::device(udid);
    return d;
}

IOSDevice TestFileRelay::phoneServing(const QString &udid, const QByteArray &archive,
                                      const QJsonObject &fileRelay)
{
    const QString path = m_dir.filePath(udid + ".cpio");
    writeFile(path, archive);
    QJsonObject relay = fileRelay;
    relay.insert("archive", path);
    scenario(phone(udid, {{"fileRelay", relay}}));
    IOSDevice d = deviceOf(udid);
    removeFolderRecursively(d.cacheDir().absolutePath());
    writeFile(d.cacheDir().filePath(kSmsDb), "OLD");
    return d;
}

void TestFileRelay::deviceFromLockdownValues()
{
    QJsonObject p = phone("D1");
    QJsonObject values = p["values"].toObject();
    QJsonObject main = values[""].toObject();
    main.remove("MobileSubscriberCountryCode"); // no SIM
    values[""] = main;
    p["values"] = values;
    QVERIFY(scenario(p));
    AMDeviceRef ref = iphonesim::device("D1");
    QVERIFY(ref);

    const IOSDevice d = IOSDevice::fromLockdown(ref);
    QCOMPARE(d.UniqueDeviceID, QStringLiteral("D1"));
    QCOMPARE(d.DeviceName, QString::fromUtf8("Zoë’s iPhone"));
    QCOMPARE(d.MobileSubscriberCountryCode, QString());
    QCOMPARE(d.ProductVersion, QStringLiteral("6.1.3"));
    QCOMPARE(d.ProductType, QStringLiteral("iPhone5,1"));
    QCOMPARE(d.deviceHandle, ref);
    static_assert(sizeof(d.deviceHandle) == sizeof(void *));
    QVERIFY(idle("D1"));
    QCOMPARE(iphonesim::report("D1").value("sessionStarts").toInt(), 1);

    // A copy is a record of its own.
    IOSDevice copy = d;
    copy.DeviceName = "other";
    QCOMPARE(d.DeviceName, QString::fromUtf8("Zoë’s iPhone"));
    QCOMPARE(QVariant::fromValue(d).value<IOSDevice>().UniqueDeviceID, QStringLiteral("D1"));

    // No session, no record.
    QVERIFY(scenario(phone("D1", {{"errors", QJsonObject {{"AMDeviceConnect", -402653083}}}})));
    QCOMPARE(thrown([&] { IOSDevice::fromLockdown(ref); }),
             kAdvice + "<br/><br/>Error code: AMDeviceConnect(-402653083)");

    const IOSDevice empty;
    QVERIFY(empty.UniqueDeviceID.isEmpty() && empty.ProductVersion.isEmpty());
    QVERIFY(!empty.deviceHandle);
}

void TestFileRelay::versionNumbers_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<bool>("fileRelay"); // pulled through file_relay, else backed up
    QTest::newRow("7.1.2") << "7.1.2" << QList<int> {7, 1, 2} << true;
    QTest::newRow("7") << "7" << QList<int> {7} << true;
    QTest::newRow("5.0") << "5.0" << QList<int> {5, 0} << true;
    QTest::newRow("10.3") << "10.3" << QList<int> {10, 3} << false;
    QTest::newRow("8.4.1") << "8.4.1" << QList<int> {8, 4, 1} << false;
    QTest::newRow("4.3.5") << "4.3.5" << QList<int> {4, 3, 5} << false;
    QTest::newRow("empty") << "" << QList<int> {} << true;
    QTest::newRow("letters skipped") << "6.1b3" << QList<int> {6, 1, 3} << true;
    QTest::newRow("no numbers") << "beta" << QList<int> {} << true;
    QTest::newRow("too many digits") << "99999999999.2" << QList<int> {0, 2} << false;
}

void TestFileRelay::versionNumbers()
{
    QFETCH(QString, version);
    QFETCH(QList<int>, numbers);
    QFETCH(bool, fileRelay);
    QVERIFY(scenario(phone("V1", {}, {}, version)));
    const IOSDevice d = IOSDevice::fromLockdown(iphonesim::device("V1"));
    QCOMPARE(d.ProductVersion, version);
    const QList<int> got = d.versionNumbers();
    QCOMPARE(got, numbers);
    const bool viaFileRelay = got.isEmpty() || (got.first() >= 5 && got.first() <= 7);
    QCOMPARE(viaFileRelay, fileRelay);
}

void TestFileRelay::cacheFolderStaysInsideIosCache_data()
{
    QTest::addColumn<QString>("udid");
    QTest::addColumn<QString>("folder"); // relative to ios_cache; "*" a digest name
    QTest::newRow("40 hex digits") << "0123456789abcdef0123456789abcdef01234567"
                                   << "0123456789abcdef0123456789abcdef01234567";
    QTest::newRow("new style") << "00008030-001A2C3E0A38802E"
                               << "00008030-001A2C3E0A38802E";
    QTest::newRow("empty: ios_cache itself") << ""
                                             << "";
    QTest::newRow("climbs out") << "../../../escape"
                                << "*";
    QTest::newRow("dot dot") << ".."
                             << "*";
    QTest::newRow("separator") << "a/b"
                               << "*";
    QTest::newRow("backslash") << "a\\b"
                               << "*";
    QTest::newRow("absolute") << "/tmp/phone"
                              << "*";
}

void TestFileRelay::cacheFolderStaysInsideIosCache()
{
    QFETCH(QString, udid);
    QFETCH(QString, folder);
    IOSDevice d;
    d.UniqueDeviceID = udid;
    const QString iosCache = dataFolder().absoluteFilePath("ios_cache");
    const QDir dir = d.cacheDir();
    QVERIFY(dir.exists());
    if (folder == "*") {
        QCOMPARE(QFileInfo(dir.absolutePath()).absolutePath(), iosCache);
        QVERIFY(dir.dirName().startsWith("udid-"));
        QVERIFY(!tree(dataFolder().absolutePath()).contains("escape"));
    } else {
        QCOMPARE(dir.absolutePath(), folder.isEmpty() ? iosCache : iosCache + "/" + folder);
    }
    // The same phone finds the same folder again.
    QCOMPARE(d.cacheDir().absolutePath(), dir.absolutePath());
}

void TestFileRelay::transferChecks_data()
{
    QTest::addColumn<QJsonObject>("backup");
    QTest::addColumn<bool>("checkCloud");
    QTest::addColumn<bool>("checkEncryption");
    QTest::addColumn<QString>("box"); // "" none, else the key of the text shown

    const QJsonObject both {{"CloudBackupEnabled", true}, {"WillEncrypt", true}};
    const QJsonObject cloud {{"CloudBackupEnabled", true}, {"WillEncrypt", false}};
    const QJsonObject encrypted {{"CloudBackupEnabled", false}, {"WillEncrypt", true}};
    QTest::newRow("both on, both asked: iCloud only") << both << true << true << "icloud";
    QTest::newRow("iCloud on, asked") << cloud << true << false << "icloud";
    QTest::newRow("iCloud on, not asked") << cloud << false << true << "";
    QTest::newRow("encryption on, asked") << encrypted << true << true << "encryption";
    QTest::newRow("encryption on, not asked") << encrypted << true << false << "";
    QTest::newRow("both off") << QJsonObject {{"CloudBackupEnabled", false}, {"WillEncrypt", false}}
                              << true << true << "";
    QTest::newRow("keys missing") << QJsonObject() << true << true << "";
    QTest::newRow("not booleans") << QJsonObject {{"CloudBackupEnabled", 1}, {"WillEncrypt", "yes"}}
                                  << true << true << "";
}

void TestFileRelay::transferChecks()
{
    QFETCH(QJsonObject, backup);
    QFETCH(bool, checkCloud);
    QFETCH(bool, checkEncryption);
    QFETCH(QString, box);
    QVERIFY(scenario(phone("T1", {}, backup)));
    const IOSDevice d = IOSDevice::fromLockdown(iphonesim::device("T1"));

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    const bool allowed = d.checkTransferAllowed(checkCloud, checkEncryption);
    QCOMPARE(allowed, box.isEmpty());
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(answerer.seen().size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty()) {
        const ModalAnswerer::Seen &s = answerer.seen().first();
        QCOMPARE(s.icon, int(QMessageBox::Warning));
        const QString picture
                = box == "icloud" ? ":res/close_icloudbk.jpg" : ":res/close_itunesbkenc.jpg";
        const QString text = box == "icloud"
                ? QStringLiteral("Failed to transfer data to device. Please turn off iCloud "
                                 "backup on your iPhone to try again.")
                : QStringLiteral("Failed to transfer data to device. Your iTunes backup is "
                                 "encrypted. Please run iTunes on computer and then uncheck "
                                 "\"Encrypt iPhone backup\" option to try again.");
        QCOMPARE(s.text, text + "<br/><br/><img src=\"" + picture + "\"/>");
        QVERIFY(!QImage(picture).isNull());
    }
    QVERIFY(idle("T1"));
}

void TestFileRelay::transferCheckOnAnUnreachablePhone()
{
    QVERIFY(scenario(phone("T2",
                           {{"errors", QJsonObject {{"AMDeviceValidatePairing", -402653158}}}},
                           {{"CloudBackupEnabled", true}, {"WillEncrypt", true}})));
    IOSDevice d = deviceOf("T2");
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    QVERIFY(d.checkTransferAllowed(true, true));
    QVERIFY(answerer.seen().isEmpty());
    QVERIFY(idle("T2"));
}

void TestFileRelay::requestReplies_data()
{
    QTest::addColumn<QJsonObject>("fileRelay");
    QTest::addColumn<QString>("error"); // "" accepted, else how the error starts
    QTest::addColumn<QString>("replyShows");
    QTest::newRow("Acknowledged") << QJsonObject() << ""
                                  << "";
    QTest::newRow("lower case") << QJsonObject {{"status", "acknowledged"}} << ""
                                << "";
    QTest::newRow("upper case") << QJsonObject {{"status", "ACKNOWLEDGED"}} << ""
                                << "";
    QTest::newRow("another status") << QJsonObject {{"status", "Busy"}} << "invalid feedback.\n"
                                    << "<string>Busy</string>";
    QTest::newRow("status with more")
            << QJsonObject {{"status", "Acknowledged."}} << "invalid feedback.\n"
            << "<string>Acknowledged.</string>";
    QTest::newRow("no status: source refused")
            << QJsonObject {{"sources", QJsonArray {"Other"}}} << "invalid feedback.\n"
            << "<key>Error</key>";
    QTest::newRow("reply length lies") << QJsonObject {{"replyLength", 5000}}
                                       << "mobiledevice_recmsg(msg) error, received length: "
                                       << "<string>UserDatabases</string>";
}

void TestFileRelay::requestReplies()
{
    QFETCH(QJsonObject, fileRelay);
    QFETCH(QString, error);
    QFETCH(QString, replyShows);
    mobiledevice::setLengthTimeoutMs(2000);
    QVERIFY(scenario(phone("R1", {{"fileRelay", fileRelay}})));
    int socket = 0;
    mobiledevice_file_relay_start(iphonesim::device("R1"), &socket);
    QVERIFY(socket > 0);
    QVERIFY(idle("R1"));
    const QString got = thrown([&] { mobiledevice_file_relay_request(socket, {"UserDatabases"}); });
    mobiledevice_close_socket(socket);
    if (error.isEmpty()) {
        QCOMPARE(got, QString());
    } else {
        QVERIFY2(got.startsWith(error), qPrintable(got));
        QVERIFY2(got.contains(replyShows), qPrintable(got));
        if (error.startsWith("invalid"))
            QVERIFY2(got.contains("<?xml") && got.trimmed().endsWith("</plist>"), qPrintable(got));
    }
    const QJsonArray requests = iphonesim::report("R1").value("requests").toArray();
    QCOMPARE(requests.size(), 1);
    QVERIFY(requests.first().toString().contains(
            "<key>Sources</key>\n\t<array>\n\t\t<string>UserDatabases</string>"));
}

void TestFileRelay::pullUnpacksIntoTheCacheFolder()
{
    // Larger than a few transfer chunks, so that the stream and the file
    // each take several.
    const QByteArray smsDb = randomBytes(3 * filerelay::kChunkSize + 1234, 11);
    CpioFixture cpio = userDatabases(smsDb);
    cpio.addFile("./var/mobile/Library/SMS/drafts.plist", "", kMtime + 60);
    IOSDevice d = phoneServing("P1", cpio.bytes());
    const QDir cache = d.cacheDir();
    writeFile(cache.filePath("file-relay/var/gone.txt"), "from the previous pull");

    const Outcome out = pull(d);
    QVERIFY(out.ok);
    QCOMPARE(out.boxes, QStringList());
    QCOMPARE(out.stuck, QStringList());

    // The times first: reading the file may move its access time.
    const QFileInfo info(cache.filePath(kSmsDb));
    QCOMPARE(info.lastModified().toSecsSinceEpoch(), kMtime);
    QCOMPARE(info.fileTime(QFileDevice::FileAccessTime).toSecsSinceEpoch(), kMtime);
    QVERIFY(readFile(cache.filePath(kSmsDb)) == smsDb);
    QCOMPARE(readFile(cache.filePath("file-relay/var/mobile/Library/AddressBook/"
                                     "AddressBook.sqlitedb")),
             QByteArray("contacts"));
    QVERIFY(QFileInfo(cache.filePath("file-relay/var/mobile/Library/SMS/drafts.plist")).isFile());
    // The folder mirrors this pull: what the phone no longer sends is gone,
    // and neither the stream nor the swap's folders stay behind.
    QCOMPARE(tree(cache.absolutePath()),
             QStringList({"file-relay", "file-relay/var", "file-relay/var/mobile",
                          "file-relay/var/mobile/Library",
                          "file-relay/var/mobile/Library/AddressBook",
                          "file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb",
                          "file-relay/var/mobile/Library/SMS",
                          "file-relay/var/mobile/Library/SMS/drafts.plist",
                          "file-relay/var/mobile/Library/SMS/sms.db"}));
    QVERIFY(idle("P1"));
    const QJsonObject report = iphonesim::report("P1");
    QCOMPARE(report.value("services").toArray(), QJsonArray({"com.apple.mobile.file_relay"}));

    // A second pull of the same phone writes over the first.
    const QByteArray newer = randomBytes(1000, 12);
    QVERIFY(writeFile(m_dir.filePath("P1.cpio"), userDatabases(newer).bytes()));
    QVERIFY(pull(d).ok);
    QVERIFY(readFile(cache.filePath(kSmsDb)) == newer);
}

void TestFileRelay::entryNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored"); // below the unpack folder
    QTest::newRow("leading ./") << "./var/sms.db"
                                << "var/sms.db";
    QTest::newRow("plain") << "var/sms.db"
                           << "var/sms.db";
    QTest::newRow("colon and question mark") << "var/a:b?c.db"
                                             << "var/abc.db";
    QTest::newRow("all removed characters") << "var/<x*y|\"z\">.db"
                                            << "var/xyz.db";
    QTest::newRow("backslash kept") << "var/a\\b.db"
                                    << "var/a\\b.db";
    QTest::newRow("empty and dot components") << "./var//./sms.db"
                                              << "var/sms.db";
    QTest::newRow("only the first ./") << "././var/sms.db"
                                       << "var/sms.db";
}

void TestFileRelay::entryNames()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    CpioFixture cpio;
    cpio.addFolder("./var");
    cpio.addFile(name, "data");
    QTemporaryDir dir;
    const QString archive = dir.filePath("a.cpio");
    QVERIFY(cpio.writeTo(archive));
    const QString out = dir.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    QStringList statuses;
    filerelay::UnpackHooks hooks;
    hooks.progress = [&](const QString &status, int, const QString &) {
        if (!status.isEmpty())
            statuses << status;
    };
    QVERIFY(filerelay::unpackArchive(archive, out, buffer, hooks));
    QCOMPARE(readFile(QDir(out).filePath(stored)), QByteArray("data"));
    QCOMPARE(statuses.last(), "Extracting " + stored.section('/', -1));
}

void TestFileRelay::hostileArchives_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("error"); // a part of the error text

    const auto with = [](const std::function<void(CpioFixture &)> &add) {
        CpioFixture c;
        c.addFolder("./var");
        c.addFile("./var/first.db", "first");
        add(c);
        return c.bytes();
    };
    QTest::newRow("climbs with ..")
            << with([](CpioFixture &c) { c.addFile("../escaped", "x"); }) << "leads out";
    QTest::newRow(".. inside the name")
            << with([](CpioFixture &c) { c.addFile("./var/../../escaped", "x"); }) << "leads out";
    QTest::newRow("folder climbs out")
            << with([](CpioFixture &c) { c.addFolder("./var/../../escaped"); }) << "leads out";
    QTest::newRow("absolute path")
            << with([](CpioFixture &c) { c.addFile("/tmp/escaped", "x"); }) << "absolute path";
    QTest::newRow("file without a name")
            << with([](CpioFixture &c) { c.addFile("./", "x"); }) << "without a name";
    QTest::newRow("file in a folder never made")
            << with([](CpioFixture &c) { c.addFile("./nowhere/x.db", "x"); }) << "create ";

    const QByteArray whole
            = with([](CpioFixture &c) { c.addFile("./var/big.db", randomBytes(200000, 3)); });
    QTest::newRow("cut in the data")
            << whole.left(whole.size() - 100000) << "damaged or incomplete";
    QTest::newRow("cut in a header")
            << whole.left(whole.indexOf("./var/big.db") - 20) << "damaged or incomplete";
    const QByteArray compressed = gzipped(whole);
    QTest::newRow("gzip, cut in the data")
            << compressed.left(compressed.size() / 2)
            << "damaged or incomplete at ./var/big.db (truncated gzip input)";
    const QByteArray percent
            = with([](CpioFixture &c) { c.addFile("./var/%3%2.db", randomBytes(2000, 3)); });
    QTest::newRow("name shown as it came")
            << percent.left(percent.size() - 1000) << "at ./var/%3%2.db (";
    QTest::newRow("trailer missing") << whole.left(whole.lastIndexOf("070701")) << "damaged";

    // A header announcing 4 GiB that never come.
    QByteArray huge = with([](CpioFixture &c) { c.addFile("./var/huge.db", "tiny"); });
    const int at = huge.indexOf("./var/huge.db") - 110 + 54; // the size field
    huge.replace(at, 8, "FFFFFFF0");
    QTest::newRow("huge size") << huge << "./var/huge.db";

    QTest::newRow("not an archive") << randomBytes(5000, 4) << "(-30) error. Unrecognized";
    QTest::newRow("empty stream") << QByteArray() << "sent no files";
    CpioFixture folders;
    folders.addFolder("./var");
    QTest::newRow("folders only") << folders.bytes() << "sent no files";
}

void TestFileRelay::hostileArchives()
{
    QFETCH(QByteArray, archive);
    QFETCH(QString, error);
    QTemporaryDir sandbox;
    const QString archivePath = sandbox.filePath("stream.cpio");
    QVERIFY(writeFile(archivePath, archive));
    const QString out = sandbox.filePath("cache/file-relay.new");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    const QString got
            = thrown([&] { QVERIFY(filerelay::unpackArchive(archivePath, out, buffer, {})); });
    QVERIFY2(got.contains(error), qPrintable(got));
    // Nothing outside the unpack folder, no link and nothing but folders
    // and regular files inside it.
    for (const QString &p : tree(sandbox.path())) {
        QVERIFY2(p == "stream.cpio" || p == "cache" || p.startsWith("cache/file-relay.new"),
                 qPrintable(p));
        const QFileInfo info(sandbox.filePath(p));
        QVERIFY2(!info.isSymLink() && (info.isDir() || info.isFile()), qPrintable(p));
    }
    QVERIFY(!QFileInfo::exists("/tmp/escaped"));
}

void TestFileRelay::entriesThatAreNotFilesAreSkipped_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<int>("skipped");

    // Each kind of entry between two files: both files come out whole.
    const auto with = [](const std::function<void(CpioFixture &)> &add) {
        CpioFixture c;
        c.addFolder("./var");
        c.addFile("./var/first.db", "first");
        add(c);
        c.addFile("./var/after.db", "after");
        return c.bytes();
    };
    QTest::newRow("symbolic link in")
            << with([](CpioFixture &c) { c.addEntry("./var/link", 0120777, "first.db", kMtime); })
            << 1;
    QTest::newRow("symbolic link out, with a file below it") << with([](CpioFixture &c) {
        c.addEntry("./var/link", 0120777, "/tmp", kMtime);
        c.addFile("./var/link/escaped", "x");
        c.addFolder("./var/link/sub");
    }) << 3;
    QTest::newRow("character device")
            << with([](CpioFixture &c) { c.addEntry("./var/tty", 020644, {}, kMtime); }) << 1;
    QTest::newRow("block device")
            << with([](CpioFixture &c) { c.addEntry("./var/disk", 060644, {}, kMtime); }) << 1;
    QTest::newRow("pipe") << with([](CpioFixture &c) {
        c.addEntry("./var/fifo", 010644, {}, kMtime);
    }) << 1;
    QTest::newRow("socket") << with([](CpioFixture &c) {
        c.addEntry("./var/sock", 0140644, {}, kMtime);
    }) << 1;
    QTest::newRow("several kinds") << with([](CpioFixture &c) {
        c.addEntry("./var/l1", 0120777, "first.db", kMtime);
        c.addEntry("./var/fifo", 010644, {}, kMtime);
        c.addEntry("./var/l2", 0120777, "../..", kMtime);
    }) << 3;
}

void TestFileRelay::entriesThatAreNotFilesAreSkipped()
{
    QFETCH(QByteArray, archive);
    QFETCH(int, skipped);
    QTemporaryDir sandbox;
    const QString archivePath = sandbox.filePath("stream.cpio");
    QVERIFY(writeFile(archivePath, archive));
    const QString out = sandbox.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    int count = -1;
    QVERIFY(filerelay::unpackArchive(archivePath, out, buffer, {}, &count));
    QCOMPARE(count, skipped);
    QCOMPARE(readFile(out + "/var/first.db"), QByteArray("first"));
    QCOMPARE(readFile(out + "/var/after.db"), QByteArray("after"));
    // Nothing but folders and regular files, and nothing outside.
    QStringList made;
    for (const QString &p : tree(out)) {
        const QFileInfo info(out + "/" + p);
        QVERIFY2(!info.isSymLink() && (info.isDir() || info.isFile()), qPrintable(p));
        if (info.isFile())
            made << p;
    }
    QCOMPARE(made, QStringList({"var/after.db", "var/first.db"}));
    QVERIFY(!QFileInfo::exists("/tmp/escaped"));
}

void TestFileRelay::archiveFormats_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("error"); // empty: unpacked whole

    const QList<LaEntry> files {{"./var", {}, 0, 1, 040755}, {"./var/sms.db", "messages"}};
    const auto make = [&](int format, int filter) {
        const QByteArray bytes = libarchiveBytes(format, filter, files);
        if (bytes.isEmpty())
            qWarning("format %x with filter %d cannot be written here", format, filter);
        return bytes;
    };
    // What the service sends.
    QTest::newRow("newc") << make(ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_NONE) << "";
    QTest::newRow("newc, gzip")
            << make(ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_GZIP) << "";
    QTest::newRow("odc, gzip") << make(ARCHIVE_FORMAT_CPIO_POSIX, ARCHIVE_FILTER_GZIP) << "";
    QTest::newRow("empty, gzip")
            << QByteArray::fromHex("1f8b080000000000000303000000000000000000")
            << "sent no files";

    // Anything else is refused before a single entry is read.
    const QString refused = "error. Unrecognized archive format";
    QTest::newRow("tar") << make(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE) << refused;
    QTest::newRow("tar, gzip") << make(ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_GZIP)
                               << refused;
    QTest::newRow("zip") << make(ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE) << refused;
    QTest::newRow("7-zip") << make(ARCHIVE_FORMAT_7ZIP, ARCHIVE_FILTER_NONE) << refused;
    QTest::newRow("newc, bzip2")
            << make(ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_BZIP2) << refused;
    QTest::newRow("newc, xz") << make(ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_XZ)
                              << refused;
    // A compression libarchive undoes only through an outside program: the
    // program is never started.
    QTest::newRow("lrzip") << QByteArray("LRZI\x00\x06", 6) + QByteArray(40, '\0') << refused;
    QTest::newRow("uuencoded newc")
            << make(ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_UU) << refused;
}

void TestFileRelay::archiveFormats()
{
    QFETCH(QByteArray, archive);
    QFETCH(QString, error);
    QVERIFY(!archive.isEmpty());
    QTemporaryDir sandbox;
    QVERIFY(writeFile(sandbox.filePath("stream"), archive));
    const QString out = sandbox.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    const QString got = thrown(
            [&] { QVERIFY(filerelay::unpackArchive(sandbox.filePath("stream"), out, buffer, {})); });
    if (error.isEmpty()) {
        QVERIFY2(got.isEmpty(), qPrintable(got));
        QCOMPARE(readFile(out + "/var/sms.db"), QByteArray("messages"));
    } else {
        QVERIFY2(got.contains(error), qPrintable(got));
        QCOMPARE(tree(out), QStringList());
    }
}

void TestFileRelay::cpioLayouts_data()
{
    QTest::addColumn<QByteArray>("archive");

    using Layout = CpioFixture::Layout;
    // The end of sms.db and the header after it fall in a later block of
    // the stream than their start.
    const QByteArray big = randomBytes(filerelay::kChunkSize + 3, 11);
    const auto build = [&big](Layout layout) {
        CpioFixture c(layout);
        c.addFolder("./var");
        c.addFile("./var/sms.db", big);
        c.addFile("./var/after.db", "after");
        return c.bytes();
    };
    for (const auto &[label, layout] :
         {std::pair {"newc", Layout::Newc}, std::pair {"newc with checksums", Layout::NewcCrc},
          std::pair {"odc", Layout::Odc},
          std::pair {"binary, little-endian", Layout::BinaryLittleEndian},
          std::pair {"binary, big-endian", Layout::BinaryBigEndian}}) {
        const QByteArray plain = build(layout);
        QTest::addRow("%s", label) << plain;
        QTest::addRow("%s, gzip", label) << gzipped(plain);
    }
    const QList<LaEntry> files {
            {"./var", {}, 0, 1, 040755}, {"./var/sms.db", big}, {"./var/after.db", "after"}};
    QTest::newRow("binary, written by libarchive")
            << libarchiveBytes(ARCHIVE_FORMAT_CPIO_BIN_LE, ARCHIVE_FILTER_NONE, files);

    // What may come around a newc archive.
    const QByteArray newc = build(Layout::Newc);
    QTest::newRow("two gzip members, split inside a file")
            << gzipped(newc.left(300000)) + gzipped(newc.mid(300000));
    QTest::newRow("two gzip members, split inside a header")
            << gzipped(newc.left(newc.indexOf("./var/after.db") - 50))
                    + gzipped(newc.mid(newc.indexOf("./var/after.db") - 50));
    QTest::newRow("gzip, bytes after it") << gzipped(newc) + "not gzip";
    QTest::newRow("padded to a block after its trailer")
            << newc + QByteArray(512 - newc.size() % 512, '\0');
    QTest::newRow("bytes after its trailer") << newc + "070701 and no header";
    QTest::newRow("gzip, padded after its trailer")
            << gzipped(newc + QByteArray(10240 - newc.size() % 10240, '\0'));
}

void TestFileRelay::cpioLayouts()
{
    QFETCH(QByteArray, archive);
    QVERIFY(!archive.isEmpty());
    QTemporaryDir sandbox;
    QVERIFY(writeFile(sandbox.filePath("stream"), archive));
    const QString out = sandbox.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    const QString got = thrown(
            [&] { QVERIFY(filerelay::unpackArchive(sandbox.filePath("stream"), out, buffer, {})); });
    QVERIFY2(got.isEmpty(), qPrintable(got));
    QCOMPARE(tree(out), QStringList({"var", "var/after.db", "var/sms.db"}));
    QVERIFY(readFile(out + "/var/sms.db") == randomBytes(filerelay::kChunkSize + 3, 11));
    QCOMPARE(readFile(out + "/var/after.db"), QByteArray("after"));
    QCOMPARE(QFileInfo(out + "/var/after.db").lastModified().toSecsSinceEpoch(), kMtime);
}

void TestFileRelay::lyingNameLengths_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("error"); // a part of the error text

    using Layout = CpioFixture::Layout;
    // Far more zeros after the lie than the run may grow by: a reader that
    // waits for the whole name holds them all.
    const qint64 zeros = qint64(256) << 20;
    const auto start = [](Layout layout) {
        CpioFixture c(layout);
        c.addFolder("./var");
        c.addFile("./var/first.db", "first");
        return c;
    };
    const CpioFixture newc = start(Layout::Newc);
    QTest::newRow("newc, 3 GiB, after a file")
            << gzipped(newc.entries() + newc.header(quint64(3) << 30, 0), zeros)
            << "an entry's header gives a name of 3";
    const CpioFixture crc(Layout::NewcCrc);
    QTest::newRow("newc with checksums, 4 GiB, first")
            << gzipped(crc.header(0xffffffff, 0), zeros) << "an entry's header gives a name of 4";
    // Sizes that put the next header inside the data, where the reader
    // would look further on and find this lie.
    CpioFixture hidden = start(Layout::Newc);
    hidden.addFile("./var/hides.db", "JJJJJJ" + newc.header(quint64(3) << 30, 0));
    QByteArray stepped = hidden.entries();
    const qsizetype sizeField = stepped.lastIndexOf("./var/hides.db") - 110 + 54;
    stepped.replace(sizeField, 8, "00000000");
    QTest::newRow("newc, a lie where the next header is looked for")
            << gzipped(stepped, zeros) << "no entry header where one should start, at byte ";

    // The longest names the other layouts can give (six octal digits,
    // sixteen bits), without the bytes to fill them.
    const CpioFixture odc = start(Layout::Odc);
    QTest::newRow("odc, 0777777") << gzipped(odc.entries() + odc.header(0777777, 0, 040755), 100000)
                                  << "(";
    for (const Layout layout : {Layout::BinaryLittleEndian, Layout::BinaryBigEndian}) {
        const CpioFixture bin = start(layout);
        QTest::addRow("binary, %s-endian, 0xffff",
                      layout == Layout::BinaryLittleEndian ? "little" : "big")
                << gzipped(bin.entries() + bin.header(0xffff, 0, 040755), 30000) << "(";
    }
}

void TestFileRelay::lyingNameLengths()
{
    QFETCH(QByteArray, archive);
    QFETCH(QString, error);
    QVERIFY(!archive.isEmpty());
    QTemporaryDir sandbox;
    QVERIFY(writeFile(sandbox.filePath("stream"), archive));
    const QString out = sandbox.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    const bool peakReset = resetPeakMemory();
    const qint64 before = statusKiB("VmRSS");
    const QString got = thrown(
            [&] { QVERIFY(filerelay::unpackArchive(sandbox.filePath("stream"), out, buffer, {})); });
    const qint64 peak = statusKiB("VmHWM");
    if (peakReset && before >= 0 && peak >= 0)
        QVERIFY2(peak - before < 64 * 1024,
                 qPrintable(QString("the unpack grew by %1 MiB").arg((peak - before) / 1024)));
    else
        qWarning("the peak memory of the process cannot be measured here");
    QVERIFY2(got.startsWith("The archive from the iPhone is damaged or incomplete ("),
             qPrintable(got));
    QVERIFY2(got.contains(error) && got.endsWith("; nothing was changed."), qPrintable(got));
}

void TestFileRelay::hardLinksGetTheirSetsData_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QVariantMap>("files"); // every file made, with its bytes
    QTest::addColumn<int>("skipped");

    const QByteArray big = randomBytes(3 * filerelay::kChunkSize + 17, 8);
    // Three names of one file in different folders, beside a plain file.
    const QList<LaEntry> three {{"./var", {}, 0, 1, 040755},
                                {"./var/SMS", {}, 0, 1, 040755},
                                {"./var/SMS/sms.db", big, 7, 3},
                                {"./var/plain.db", "plain"},
                                {"./var/copy.db", big, 7, 3},
                                {"./top.db", big, 7, 3}};
    const QVariantMap threeMade {{"var/SMS/sms.db", big}, {"var/plain.db", QByteArray("plain")},
                                 {"var/copy.db", big}, {"top.db", big}};
    for (const auto &[label, format, filter] :
         {std::tuple {"newc", ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_NONE},
          std::tuple {"newc, gzip", ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_GZIP},
          std::tuple {"odc", ARCHIVE_FORMAT_CPIO_POSIX, ARCHIVE_FILTER_NONE}})
        QTest::newRow(label) << libarchiveBytes(format, filter, three) << threeMade << 0;

    // Built by hand: the data with the last name, as newc carries it, and
    // with the first, as a writer may put it.
    CpioFixture last;
    last.addFolder("./var");
    last.addEntry("./var/h1", 0100644, {}, kMtime, 900, 2);
    last.addEntry("./var/h2", 0100644, "shared", kMtime, 900, 2);
    QTest::newRow("data with the last name")
            << last.bytes() << QVariantMap {{"var/h1", "shared"}, {"var/h2", "shared"}} << 0;
    CpioFixture first;
    first.addFolder("./var");
    first.addEntry("./var/h1", 0100644, "shared", kMtime, 900, 3);
    first.addEntry("./var/h2", 0100644, {}, kMtime, 900, 3);
    first.addEntry("./var/h3", 0100644, {}, kMtime, 900, 3);
    QTest::newRow("data with the first name")
            << first.bytes()
            << QVariantMap {{"var/h1", "shared"}, {"var/h2", "shared"}, {"var/h3", "shared"}}
            << 0;
    CpioFixture empty;
    empty.addEntry("./e1", 0100644, {}, kMtime, 901, 2);
    empty.addEntry("./e2", 0100644, {}, kMtime, 901, 2);
    QTest::newRow("an empty file")
            << empty.bytes() << QVariantMap {{"e1", QByteArray()}, {"e2", QByteArray()}} << 0;
    // A name repeated within its set takes nothing from the others.
    CpioFixture again;
    again.addEntry("./a", 0100644, {}, kMtime, 902, 3);
    again.addEntry("./b", 0100644, "data", kMtime, 902, 3);
    again.addEntry("./a", 0100644, {}, kMtime, 902, 3);
    QTest::newRow("a name twice") << again.bytes()
                                  << QVariantMap {{"a", "data"}, {"b", "data"}} << 0;

    // Every name with the data, as odc may carry it: each name is written
    // once, not once for every name that follows it.
    CpioFixture each;
    const QByteArray chunk = randomBytes(8000, 9);
    QVariantMap eachMade;
    for (int i = 0; i < 1500; ++i) {
        const QString name = QString("n%1").arg(i);
        each.addEntry("./" + name, 0100644, chunk, kMtime, 905, 1500);
        eachMade.insert(name, chunk);
    }
    QTest::newRow("every name with the data") << each.bytes() << eachMade << 0;

    // The first name of the set was never made: a link to a symbolic link
    // (which could lead anywhere) and a link below one are skipped.
    CpioFixture toLink;
    toLink.addFolder("./var");
    toLink.addEntry("./var/sym", 0120777, "/etc/passwd", kMtime, 903, 2);
    toLink.addEntry("./var/h", 0100644, {}, kMtime, 903, 2);
    toLink.addFile("./var/ok.db", "ok");
    QTest::newRow("link to a symbolic link")
            << toLink.bytes() << QVariantMap {{"var/ok.db", "ok"}} << 2;
    CpioFixture below;
    below.addEntry("./out", 0120777, "/tmp", kMtime);
    below.addEntry("./out/escaped", 0100644, {}, kMtime, 904, 2);
    below.addEntry("./inside", 0100644, "x", kMtime, 904, 2);
    QTest::newRow("first name below a symbolic link")
            << below.bytes() << QVariantMap {} << 3;
}

void TestFileRelay::hardLinksGetTheirSetsData()
{
    QFETCH(QByteArray, archive);
    QFETCH(QVariantMap, files);
    QFETCH(int, skipped);
    QVERIFY(!archive.isEmpty());
    QTemporaryDir sandbox;
    QVERIFY(writeFile(sandbox.filePath("stream"), archive));
    const QString out = sandbox.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    int count = -1;
    QStringList made;
    QString got;
    bool done = false;
    got = thrown([&] { done = filerelay::unpackArchive(sandbox.filePath("stream"), out, buffer,
                                                       {}, &count, &made); });
    if (files.isEmpty()) {
        QVERIFY2(got.contains("sent no files"), qPrintable(got));
    } else {
        QVERIFY2(done && got.isEmpty(), qPrintable(got));
        QCOMPARE(count, skipped);
    }
    QVariantMap found;
    for (const QString &p : tree(out)) {
        const QFileInfo info(out + "/" + p);
        QVERIFY2(!info.isSymLink() && (info.isDir() || info.isFile()), qPrintable(p));
        if (info.isFile()) {
            found.insert(p, readFile(info.filePath()));
            QCOMPARE(info.lastModified().toSecsSinceEpoch(), kMtime);
            QVERIFY2(made.contains(info.filePath()), qPrintable(p));
        }
    }
    QVariantMap want;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        want.insert(it.key(), it.value().toByteArray());
    QCOMPARE(found, want);
    // Each name listed once for the flush, after its folder.
    QCOMPARE(QSet<QString>(made.cbegin(), made.cend()).size(), made.size());
    QVERIFY(!QFileInfo::exists("/tmp/escaped"));
}

void TestFileRelay::unpackListsWhatItMadeForTheFlush()
{
    // A file larger than one writeback step (its disk writes start while it
    // is written) beside small ones; a folder entry whose parents come with
    // it; a file in the unpack folder itself.
    QByteArray big(9 * 1024 * 1024 + 123, Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
    CpioFixture c;
    c.addFolder(".");
    c.addFolder("./var");
    c.addFolder("./var/mobile/Library/SMS");
    c.addFile("./var/mobile/Library/SMS/sms.db", big);
    c.addFolder("./var"); // again: nothing new
    c.addFile("./top.db", "top");
    c.addEntry("./var/link", 0120777, "top.db", kMtime);
    QTemporaryDir sandbox;
    const QString archivePath = sandbox.filePath("stream.cpio");
    QVERIFY(c.writeTo(archivePath));
    const QString out = sandbox.filePath("out");
    QVERIFY(QDir().mkpath(out));
    QByteArray buffer;
    QStringList made;
    QVERIFY(filerelay::unpackArchive(archivePath, out, buffer, {}, nullptr, &made));
    QCOMPARE(readFile(out + "/var/mobile/Library/SMS/sms.db"), big);

    // Every folder and file made, each after the folder that holds it, and
    // nothing that was skipped.
    QStringList relative;
    for (const QString &p : std::as_const(made))
        relative << QDir(out).relativeFilePath(p);
    QCOMPARE(relative,
             QStringList({"var", "var/mobile", "var/mobile/Library", "var/mobile/Library/SMS",
                          "var/mobile/Library/SMS/sms.db", "top.db"}));
    QVERIFY(filerelay::syncUnpacked(made, out));
    // A path that is gone cannot be flushed: the caller hears of it.
    QVERIFY(!filerelay::syncUnpacked(made + QStringList {out + "/gone.db"}, out));
}

void TestFileRelay::pullReportsSkippedEntries()
{
    CpioFixture cpio = userDatabases("with links");
    cpio.addEntry("./var/mobile/Library/SMS/link", 0120777, "/etc/passwd", kMtime);
    cpio.addEntry("./var/mobile/Library/SMS/fifo", 010644, {}, kMtime);
    IOSDevice d = phoneServing("S1", cpio.bytes());
    const QDir cache = d.cacheDir();
    const Outcome out = pull(d);
    QVERIFY(out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().contains("2 entries"), qPrintable(out.boxes.first()));
    QCOMPARE(readFile(cache.filePath(kSmsDb)), QByteArray("with links"));
    QVERIFY(!QFileInfo(cache.filePath("file-relay/var/mobile/Library/SMS/link")).isSymLink());
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay/var/mobile/Library/SMS/fifo")));
    QVERIFY(idle("S1"));
}

void TestFileRelay::cancelWhileUnpacking()
{
    CpioFixture cpio;
    cpio.addFolder("./var");
    for (int i = 0; i < 5; ++i)
        cpio.addFile(QString("./var/f%1.db").arg(i), randomBytes(2 * filerelay::kChunkSize, i));
    QTemporaryDir dir;
    QVERIFY(cpio.writeTo(dir.filePath("a.cpio")));
    QVERIFY(QDir().mkpath(dir.filePath("out")));
    int reports = 0;
    filerelay::UnpackHooks hooks;
    hooks.cancelled = [&reports] { return reports >= 4; };
    hooks.progress = [&reports](const QString &, int, const QString &) { ++reports; };
    QByteArray buffer;
    QVERIFY(!filerelay::unpackArchive(dir.filePath("a.cpio"), dir.filePath("out"), buffer, hooks));
    QVERIFY(!QFileInfo::exists(dir.filePath("out/var/f2.db")));
}

// The pull's point of no return is the swap of the new copy for the old: a
// Cancel before it keeps the old copy, one after it is refused and the pull
// is reported done, for the caller to read the new copy.
void TestFileRelay::cancelAroundTheSwap_data()
{
    QTest::addColumn<QString>("point");
    QTest::addColumn<bool>("swapped");
    QTest::newRow("unpacked, not swapped yet") << "relay-unpacked" << false;
    QTest::newRow("just before the swap") << "commit-asked" << false;
    QTest::newRow("the swap began") << "commit-begun" << true;
}

void TestFileRelay::cancelAroundTheSwap()
{
    QFETCH(QString, point);
    QFETCH(bool, swapped);
    IOSDevice d = phoneServing("K2", userDatabases("NEW").bytes());
    const QDir cache = d.cacheDir();
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    ProgressForm form(ids("IDS_LOADING_IOS_DATABASES"));
    IOSLoadFileRelayThread job(&d, &form);
    Outcome out;
    {
        CancelAtKillPoint press(form, point.toLatin1().constData());
        out = runJobUnderForm(form, &job, answerer);
        QVERIFY(press.pressed());
    }
    QCOMPARE(out.ok, swapped);
    QCOMPARE(out.boxes, QStringList());
    QCOMPARE(out.stuck, QStringList());
    QCOMPARE(readFile(cache.filePath(kSmsDb)), QByteArray(swapped ? "NEW" : "OLD"));
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay.new")));
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay.old")));
    QVERIFY(idle("K2"));
}

void TestFileRelay::failedPullKeepsThePreviousCopy_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("error");
    const QByteArray whole = userDatabases(randomBytes(300000, 5)).bytes();
    QTest::newRow("cut short") << whole.left(whole.size() / 2) << "damaged or incomplete";
    CpioFixture onlyLinks;
    onlyLinks.addFolder("./var");
    onlyLinks.addEntry("./var/link", 0120777, "/etc/passwd", kMtime);
    QTest::newRow("nothing but a link") << onlyLinks.bytes() << "sent no files";
    CpioFixture climb = userDatabases("new");
    climb.addFile("./var/../../../../escaped", "x");
    QTest::newRow("climbs out") << climb.bytes() << "leads out";
    QTest::newRow("nothing sent") << QByteArray() << "sent no files";
    const CpioFixture lying = userDatabases("new");
    QTest::newRow("a name of 3 GiB")
            << gzipped(lying.entries() + lying.header(quint64(3) << 30, 0), 16 << 20)
            << "damaged or incomplete";
}

void TestFileRelay::failedPullKeepsThePreviousCopy()
{
    QFETCH(QByteArray, archive);
    QFETCH(QString, error);
    IOSDevice d = phoneServing("K1", archive);
    const QDir cache = d.cacheDir();
    const Outcome out = pull(d);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().contains(error), qPrintable(out.boxes.first()));
    QCOMPARE(readFile(cache.filePath(kSmsDb)), QByteArray("OLD"));
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay.new")));
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay.old")));
    // The stream stays for a look at what the phone sent.
    QVERIFY(readFile(cache.filePath("file-relay.cpio")) == archive);
    QVERIFY(!tree(dataFolder().absolutePath()).contains("escaped"));
    QVERIFY(idle("K1"));
}

void TestFileRelay::leftoversOfAnInterruptedPull()
{
    // Stopped between the two renames of a swap: only the old copy is
    // there, under its temporary name. A failing pull brings it back.
    IOSDevice d = phoneServing("L1", QByteArray());
    const QDir cache = d.cacheDir();
    QVERIFY(QDir().rename(cache.filePath("file-relay"), cache.filePath("file-relay.old")));
    QVERIFY(writeFile(cache.filePath("file-relay.new/var/junk"), "half unpacked"));
    QVERIFY(!pull(d).ok);
    QCOMPARE(readFile(cache.filePath(kSmsDb)), QByteArray("OLD"));
    QCOMPARE(tree(cache.absolutePath()).filter("file-relay.").join(' '),
             QStringLiteral("file-relay.cpio"));

    // A half-unpacked folder left behind never mixes into the next copy.
    const QByteArray smsDb = randomBytes(5000, 9);
    QVERIFY(writeFile(m_dir.filePath("L1.cpio"), userDatabases(smsDb).bytes()));
    QVERIFY(writeFile(cache.filePath("file-relay.new/var/junk"), "half unpacked"));
    QVERIFY(pull(d).ok);
    QVERIFY(readFile(cache.filePath(kSmsDb)) == smsDb);
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay/var/junk")));
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay.new")));
}

void TestFileRelay::silentPhoneEndsTheStream()
{
    IOSLoadFileRelayThread::setNoDataTimeoutMs(700);
    const QByteArray archive = userDatabases(randomBytes(400000, 6)).bytes();

    // Silent after the whole archive: the pull succeeds.
    IOSDevice d = phoneServing("S1", archive, {{"stallAfterBytes", archive.size()}});
    Outcome out = pull(d);
    QVERIFY(out.ok);
    QVERIFY(out.boxes.isEmpty());
    QCOMPARE(readFile(d.cacheDir().filePath(kSmsDb)).size(), 400000);

    // Silent in the middle: what arrived is cut short, the previous copy
    // stays.
    d = phoneServing("S1", archive, {{"stallAfterBytes", 150000}});
    out = pull(d);
    QVERIFY(!out.ok);
    QVERIFY(out.ms < 15000);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().contains("damaged or incomplete"), qPrintable(out.boxes.first()));
    QCOMPARE(readFile(d.cacheDir().filePath(kSmsDb)), QByteArray("OLD"));
    QCOMPARE(readFile(d.cacheDir().filePath("file-relay.cpio")).size(), 150000);

    // Never answering the request: the length wait ends it.
    mobiledevice::setLengthTimeoutMs(500);
    d = phoneServing("S1", archive, {{"stallBeforeReply", true}});
    out = pull(d);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.first().contains(
                     "mobiledevice_recmsg(msg-length) error, received length: 0."),
             qPrintable(out.boxes.first()));
    QCOMPARE(readFile(d.cacheDir().filePath(kSmsDb)), QByteArray("OLD"));
}

void TestFileRelay::cancelWhilePhoneIsSilent_data()
{
    QTest::addColumn<QJsonObject>("fileRelay");
    QTest::addColumn<int>("arrived"); // bytes of the stream stored before Cancel
    QTest::newRow("before the reply") << QJsonObject {{"stallBeforeReply", true}} << -1;
    QTest::newRow("in the stream") << QJsonObject {{"stallAfterBytes", 100000}} << 100000;
}

void TestFileRelay::cancelWhilePhoneIsSilent()
{
    QFETCH(QJsonObject, fileRelay);
    QFETCH(int, arrived);
    // Waits of a minute: only Cancel ends them in time.
    const QByteArray archive = userDatabases(randomBytes(300000, 7)).bytes();
    IOSDevice d = phoneServing("C1", archive, fileRelay);
    const QString stream = d.cacheDir().filePath("file-relay.cpio");
    QElapsedTimer sinceCancel;
    const Outcome out
            = pull(d, cancelWhen([&] {
                       const bool ready = arrived < 0
                               ? !iphonesim::report("C1").value("requests").toArray().isEmpty()
                               : QFileInfo(stream).size() >= arrived;
                       if (ready) {
                           QTest::qWait(300);
                           sinceCancel.start();
                       }
                       return ready;
                   }));
    QVERIFY(!out.ok);
    QVERIFY(sinceCancel.isValid());
    QVERIFY2(sinceCancel.elapsed() < 5000, qPrintable(QString::number(sinceCancel.elapsed())));
    QCOMPARE(out.boxes, QStringList());
    QCOMPARE(out.stuck, QStringList());
    QCOMPARE(readFile(d.cacheDir().filePath(kSmsDb)), QByteArray("OLD"));
    QVERIFY(!QFileInfo::exists(d.cacheDir().filePath("file-relay.new")));
    if (arrived > 0)
        QCOMPARE(readFile(stream).size(), arrived);
    QVERIFY(idle("C1"));
}

void TestFileRelay::sessionFailuresReachTheErrorBox_data()
{
    QTest::addColumn<QJsonObject>("errors");
    QTest::addColumn<QString>("text");
    QTest::newRow("connect") << QJsonObject {{"AMDeviceConnect", -402653083}}
                             << kAdvice + "<br/><br/>Error code: AMDeviceConnect(-402653083)";
    QTest::newRow("pairing") << QJsonObject {{"AMDeviceValidatePairing", -402653158}}
                             << kAdvice
                    + "<br/><br/>Error code: AMDeviceValidatePairing(-402653158)";
    QTest::newRow("session") << QJsonObject {{"AMDeviceStartSession", -402653171}}
                             << kAdvice + "<br/><br/>Error code: AMDeviceStartSession(-402653171)";
    QTest::newRow("service")
            << QJsonObject {{"AMDeviceStartService", -402653154}}
            << QStringLiteral("Please turn off Wifi Sync on iTunes to try again.<br/>To do this: "
                              " Launch iTunes -&gt; Connect your device -&gt; Go Summary -&gt; "
                              "Options -&gt; Uncheck Sync with this device over Wi-Fi.<br/><br/>"
                              "Error code: "
                              "AMDeviceStartService(com.apple.mobile.file_relay)=-402653154");
}

void TestFileRelay::sessionFailuresReachTheErrorBox()
{
    QFETCH(QJsonObject, errors);
    QFETCH(QString, text);
    IOSDevice d = phoneServing("E1", userDatabases("new").bytes());
    QVERIFY(scenario(phone("E1", {{"errors", errors}})));
    const Outcome out = pull(d);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QCOMPARE(out.boxes.first(),
             ids("IDS_AN_ERROR_OCCURRED_%1").arg(text));
    QCOMPARE(readFile(d.cacheDir().filePath(kSmsDb)), QByteArray("OLD"));
    QVERIFY(idle("E1"));
}

QTEST_MAIN(TestFileRelay)
#include "tst_filerelay.moc"
