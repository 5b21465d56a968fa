// iPhones in the main window: arrival by file_relay and by backup (with the
// country and password dialogs), removal, a second arrival of the same phone,
// a phone that leaves while it loads; transfer of messages to an attached
// iPhone (backup, merge, restore) and export into a picked iTunes backup.
// The phones are the simulated ones of the Apple stand-ins, the backup tool
// is the stand-in program "mobilebackup".
#include "backup/backupmanifest.h"
#include "buildconfig.h"
#include "iphone/backup2tool.h"
#include "iphone/iosmobilebackup.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/texts.h"
#include "tests/support/cpiofixture.h"
#include "tests/support/demodata.h"
#include "tests/support/encryptedbackup.h"
#include "tests/support/fakebackup.h"
#include "tests/support/iphonesim.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/windowtest.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>

class MainWindowTestAccess
{
public:
    static QAction *db2i(MainWindow &w) { return w.actDb2I; }
};

namespace {

const QString kUdid = QStringLiteral("5c1a7e0d9b3f4e21a8c6d0f1e2b3a4c5d6e7f809");
const QByteArray kPassword = "open sesame";
const char kPasscodeNote[] = "<p><b>Notes:</b> If your iPhone is protected with a passcode, "
                             "please enter your passcode on iPhone first.</p>";

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Runs the answer from the event loop rather than inside the answerer's
// timer slot, so that boxes it opens get answered too.
std::function<void(QWidget *)> later(std::function<void(QWidget *)> fn)
{
    return [fn](QWidget *w) { QTimer::singleShot(0, w, [fn, w] { fn(w); }); };
}

std::function<void(QWidget *)> click(const QString &button)
{
    return later([button](QWidget *w) { ModalAnswerer::clickButton(w, button); });
}

// A phone's sms.db in a store folder: one conversation with +15550001.
// Its messages have fixed guids so that a merge can recognise them.
QByteArray phoneSmsDb(const QString &store, const QStringList &texts = {"p1", "p2"})
{
    PhoneSmsDb db(store, PhoneSchema::ios6());
    const qint64 h = db.addHandle("+15550001");
    const qint64 chat = db.addChat(h);
    for (int i = 0; i < texts.size(); ++i) {
        PhoneSmsDb::Message m;
        m.text = texts.at(i);
        m.handle = h;
        m.date = 400000000 + i * 60;
        m.guid = QStringLiteral("GUID-%1").arg(texts.at(i).toUpper());
        db.addMessage(chat, m);
    }
    db.close();
    return readFile(PhoneSmsDb::smsDbPathOf(store));
}

// The texts of a message database as the program reads them, each once per
// row, sorted.
QStringList textsOf(const QString &smsDbFile)
{
    QTemporaryDir dir;
    writeFile(PhoneSmsDb::smsDbPathOf(dir.path()), readFile(smsDbFile));
    IOS6MessageDb db(QDir(dir.path()), QString(), false);
    MsgDataSet set;
    set.reset();
    db.chats(set);
    db.messages(set, 0);
    QStringList texts;
    for (const _MsgMessage *m : set.data()->messages)
        texts << m->text;
    texts.sort();
    return texts;
}

// A backup folder of a phone whose message database is smsDb; encrypted
// with kPassword when asked.
void writeBackup(const QString &folder, const QByteArray &smsDb, const QString &version,
                 bool encrypted = false)
{
    FakeBackup b(folder);
    b.device.udid = kUdid;
    b.device.name = QStringLiteral("Anna's iPhone");
    b.device.productVersion = version;
    b.addFolder("HomeDomain", "Library");
    b.addFolder("HomeDomain", "Library/SMS");
    if (!encrypted) {
        b.addFile("HomeDomain", "Library/SMS/sms.db", smsDb);
    } else {
        const encbackup::KeybagFixture keybag = encbackup::makeKeybag(kPassword, 16, {{3, 2, 0}});
        b.device.encrypted = true;
        b.device.keybag = keybag.bytes;
        const encbackup::EncryptedFile e
                = encbackup::encryptFile(smsDb, keybag.classKeys.value(3), 3, 7);
        FakeBackup::Entry &entry = b.addFile("HomeDomain", "Library/SMS/sms.db", e.cipher);
        entry.size = smsDb.size();
        entry.dataHash = QCryptographicHash::hash(smsDb, QCryptographicHash::Sha1);
        entry.encryptionKey = e.storedKey;
        entry.protectionClass = 3;
    }
    b.write();
}

// Every file directly in a folder with its contents.
QMap<QString, QByteArray> filesIn(const QString &folder, const QStringList &skip = {})
{
    QMap<QString, QByteArray> out;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        if (!skip.contains(name))
            out.insert(name, readFile(QDir(folder).filePath(name)));
    return out;
}

// One phone database handed out both ways the window fetches it: as the
// file_relay archive and as the backup folder the tool makes.
bool writePhoneSources(const QString &store, const QString &archive, const QString &made,
                       const QString &version)
{
    const QByteArray phoneDb = phoneSmsDb(store);
    CpioFixture cpio;
    cpio.addFolder("./var/mobile/Library/SMS");
    cpio.addFile("./var/mobile/Library/SMS/sms.db", phoneDb);
    if (!cpio.writeTo(archive))
        return false;
    writeBackup(made, phoneDb, version);
    return true;
}

QString smsDbFileId()
{
    return FakeBackup::fileId("HomeDomain", "Library/SMS/sms.db");
}

QStringList dialogsSeen(const ModalAnswerer &answerer)
{
    QStringList out;
    for (const ModalAnswerer::Seen &s : answerer.seen())
        out << (s.className == QLatin1String("QMessageBox") ? s.className : s.objectName);
    return out;
}

// Watches the progress dialogs as they are shown: counts them, notes how
// many were open at once, and runs an action from the event loop of the
// n-th one, so inside the step it belongs to.
class ProgressWatch : public QObject
{
public:
    ProgressWatch() { qApp->installEventFilter(this); }
    ~ProgressWatch() override { qApp->removeEventFilter(this); }
    void at(int n, std::function<void()> action)
    {
        m_at = n;
        m_action = std::move(action);
    }
    int shown = 0;
    int mostAtOnce = 0;

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() != QEvent::Show || !o->inherits("ProgressForm"))
            return false;
        ++shown;
        int open = 0;
        for (const QWidget *t : QApplication::topLevelWidgets())
            if (t->inherits("ProgressForm") && t->isVisible())
                ++open;
        mostAtOnce = std::max(mostAtOnce, open);
        if (shown == m_at && m_action)
            QMetaObject::invokeMethod(o, m_action, Qt::QueuedConnection);
        return false;
    }

private:
    int m_at = 0;
    std::function<void()> m_action;
};

// Counts the phone nodes put under "Devices".
int *countDeviceNodesAdded(MainWindow &w, QObject *context)
{
    auto *count = new int(0);
    ItemModelMain *m = w.treeModelObject();
    QObject::connect(m, &QAbstractItemModel::rowsInserted, context,
                     [m, count](const QModelIndex &parent) {
                         if (AbsTreeItemModel::nodeOf(parent) == m->devicesRoot)
                             ++*count;
                     });
    QObject::connect(context, &QObject::destroyed, [count] { delete count; });
    return count;
}

} // namespace

class TestIPhoneWindow : public QObject
{
    Q_OBJECT
    WindowTestEnv env;
    std::unique_ptr<FakeAdb> adb;
    std::unique_ptr<QTemporaryDir> work;

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void arrivalByFileRelayRemovalAndSecondArrival();
    void arrivalByBackup();
    void countryDialog_data();
    void countryDialog();
    void encryptedBackup_data();
    void encryptedBackup();
    void phoneLeavingDuringTheLoadGetsNoNode();
    void announcedAgainDuringItsArrival_data();
    void announcedAgainDuringItsArrival();
    void newerBackupKindIsRefused();

    void transferToIPhone_data();
    void transferToIPhone();
    void restoreStoppedOrFailedSaysWhatIsKnown_data();
    void restoreStoppedOrFailedSaysWhatIsKnown();
    void announcedAgainDuringTransfer_data();
    void announcedAgainDuringTransfer();
    void phoneLeavingBeforeTheRestore();
    void noTransferWhileThePhoneLoads();
    void nothingToTransferStartsNothing_data();
    void nothingToTransferStartsNothing();
    void savedCopiesAreNoTargets();
    void exportIntoPickedBackup();
    void exportRefusesAnEncryptedBackup();

private:
    QJsonObject phone(const QString &version, const QString &mcc = QStringLiteral("310"),
                      const QJsonObject &extra = {});
    bool attachPhone(const QJsonObject &device);
    void setTool(QJsonObject scenario);
    std::unique_ptr<MainWindow> openWindow();
    QList<_IOSDeviceItemNode *> phones(MainWindow &w);
    QString backupFolderOfPhone() const;
    void makeLocalDb(const QString &name, bool unknownNumberOnly = false);
    _AbsDBItemNode *selectLocalDb(MainWindow &w, const QString &name);
    QString toolLog() const { return work->filePath("tool-runs.jsonl"); }
    // The operations the backup tool ran, in order.
    QStringList toolOps() const;
    // Attaches the phone (backup road) and a local database "Family" and
    // runs "Transfer Messages from Database to iPhone" on it, answering its
    // dialogs; the watch sees the transfer's progress dialogs.
    void transferFamily(MainWindow &w, ModalAnswerer &answerer);
};

void TestIPhoneWindow::initTestCase()
{
    QVERIFY(env.installTranslator());
    env.clearServiceHost();
    adb = std::make_unique<FakeAdb>();
    QVERIFY(adb->isValid());
    QString error;
    QVERIFY2(iphonesim::load(&error), qPrintable(error));
    QVERIFY(iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}}));
    qputenv("PELICORDE_MOBILEBACKUP_TOOL", QByteArray(PEL_BINARY_DIR "/bin/mobilebackup"));
    backup2tool::pollIntervalMs = 50;
    const QString volume = env.makeDir("volume");
    tempbackup::setVolumeSource(
            [volume] { return QList<BackupVolume> {{volume, quint64(1) << 40}}; }, volume);
}

void TestIPhoneWindow::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    setTool({});
    clearDataSubfolders({"local_databases", "virtual_ios", "ios_cache", "itunes_cache"});
    removeFolderRecursively(itunesBackupFolder().absolutePath());
    removeFolderRecursively(tempBackupRoot().absolutePath());
}

void TestIPhoneWindow::cleanup()
{
    QVERIFY(iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}}));
    QCoreApplication::processEvents();
}

void TestIPhoneWindow::cleanupTestCase()
{
    iphonesim::shutdown();
}

QJsonObject TestIPhoneWindow::phone(const QString &version, const QString &mcc,
                                    const QJsonObject &extra)
{
    QJsonObject values {{"UniqueDeviceID", kUdid},
                        {"DeviceName", "Anna's iPhone"},
                        {"ProductVersion", version},
                        {"ProductType", "iPhone5,2"}};
    if (!mcc.isNull())
        values.insert("MobileSubscriberCountryCode", mcc);
    QJsonObject device {{"udid", kUdid},
                        {"attached", true},
                        {"values",
                         QJsonObject {{"", values},
                                      {"com.apple.mobile.backup",
                                       QJsonObject {{"CloudBackupEnabled", false},
                                                    {"WillEncrypt", false}}}}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        device.insert(it.key(), it.value());
    return device;
}

bool TestIPhoneWindow::attachPhone(const QJsonObject &device)
{
    return iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {device}}});
}

void TestIPhoneWindow::setTool(QJsonObject scenario)
{
    scenario.insert("log", toolLog());
    if (!scenario.contains("durationMs"))
        scenario.insert("durationMs", 100);
    const QString path = work->filePath("tool.json");
    writeFile(path, QJsonDocument(scenario).toJson());
    qputenv("PELICORDE_MOBILEBACKUP_SCENARIO", path.toLocal8Bit());
}

std::unique_ptr<MainWindow> TestIPhoneWindow::openWindow()
{
    return std::make_unique<MainWindow>();
}

QList<_IOSDeviceItemNode *> TestIPhoneWindow::phones(MainWindow &w)
{
    return w.treeModelObject()->attachedIPhones();
}

QString TestIPhoneWindow::backupFolderOfPhone() const
{
    return tempBackupRoot().absoluteFilePath(kUdid);
}

// A local database: a conversation with +15550001 holding "p2" (which the
// phone has too) and "n1", "n2"; or only messages of no known number.
void TestIPhoneWindow::makeLocalDb(const QString &name, bool unknownNumberOnly)
{
    PhoneSmsDb db(localDatabasesFolder().absoluteFilePath(name), PhoneSchema::olderLocal());
    if (unknownNumberOnly) {
        const qint64 chat = db.addChatRow(QString(), "SMS", 45, {});
        db.addText(chat, "lost", 0, 400000000);
    } else {
        const qint64 h = db.addHandle("+15550001");
        const qint64 chat = db.addChat(h);
        const QStringList texts {"p2", "n1", "n2"};
        for (int i = 0; i < texts.size(); ++i) {
            PhoneSmsDb::Message m;
            m.text = texts.at(i);
            m.handle = h;
            m.date = 400000060 + i * 30;
            if (i == 0)
                m.guid = QStringLiteral("GUID-P2");
            db.addMessage(chat, m);
        }
    }
    db.close();
    fillChatLastDates(db.path());
}

_AbsDBItemNode *TestIPhoneWindow::selectLocalDb(MainWindow &w, const QString &name)
{
    _AbsDBItemNode *n = localDb(w, name);
    if (n)
        treeDS(w)->setCurrentIndex(w.treeModelObject()->indexForNode(n));
    return n;
}

QStringList TestIPhoneWindow::toolOps() const
{
    QStringList ops;
    for (const QByteArray &line : readFile(toolLog()).split('\n'))
        if (!line.isEmpty())
            ops << QJsonDocument::fromJson(line).object().value("op").toString();
    return ops;
}

// --- arrival and removal ----------------------------------------------------

void TestIPhoneWindow::arrivalByFileRelayRemovalAndSecondArrival()
{
    CpioFixture cpio;
    cpio.addFolder(".");
    for (const char *f : {"./var", "./var/mobile", "./var/mobile/Library",
                          "./var/mobile/Library/SMS"})
        cpio.addFolder(f);
    cpio.addFile("./var/mobile/Library/SMS/sms.db", phoneSmsDb(work->filePath("phone")));
    const QString archive = work->filePath("relay.cpio");
    QVERIFY(cpio.writeTo(archive));

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(attachPhone(phone("6.1", "310", {{"fileRelay", QJsonObject {{"archive", archive}}}})));
    QTRY_COMPARE_WITH_TIMEOUT(phones(*w).size(), 1, 20000);
    _IOSDeviceItemNode *first = phones(*w).first();
    QCOMPARE(first->text, QString("Anna's iPhone"));
    QCOMPARE(first->device.UniqueDeviceID, kUdid);
    QCOMPARE(first->children.size(), 1); // its one conversation
    QCOMPARE(first->db->iosVersion(), 6);
    QCOMPARE(messageBoxTexts(answerer), QStringList {kPasscodeNote});
    // No backup was made on this road.
    QVERIFY(readFile(toolLog()).isEmpty());

    // Its conversation is shown; then the same phone is announced again:
    // its node is replaced (the panes emptied first), not doubled, and the
    // passcode note is not shown twice.
    auto *tree = w->findChild<MyTreeView *>("treeViewDS");
    tree->setCurrentIndex(w->treeModelObject()->indexForNode(first->children.first()));
    QTRY_COMPARE(w->smsModelObject()->messages().size(), 2);
    const quint64 firstSerial = first->serial;
    QVERIFY(QMetaObject::invokeMethod(w.get(), "iosDeviceConnected", Qt::QueuedConnection,
                                      Q_ARG(void *, iphonesim::device(kUdid))));
    QTRY_VERIFY_WITH_TIMEOUT(phones(*w).size() == 1 && phones(*w).first()->serial != firstSerial,
                             20000);
    QCOMPARE(messageBoxTexts(answerer).size(), 1);

    // Pulled out: the node goes, the store folder stays.
    QVERIFY(iphonesim::attach(kUdid, false));
    QTRY_VERIFY(phones(*w).isEmpty());
    QCOMPARE(w->treeModelObject()->countDeviceNodes(kNodeIOSDevice), 0);
    QVERIFY(w->smsModelObject()->messages().isEmpty());
    QVERIFY(QFileInfo::exists(dataFolder().filePath("ios_cache/" + kUdid
                                                    + "/file-relay/var/mobile/Library/SMS/sms.db")));
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::arrivalByBackup()
{
    const QString made = work->filePath("made");
    writeBackup(made, phoneSmsDb(work->filePath("phone"), {"b1", "b2", "b3"}), "9.0");
    setTool({{"from", made}, {"productVersion", "9.0"}});

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(attachPhone(phone("9.0")));
    QTRY_COMPARE_WITH_TIMEOUT(phones(*w).size(), 1, 30000);
    _IOSDeviceItemNode *node = phones(*w).first();
    QCOMPARE(node->children.size(), 1);
    // The phone's store folder holds the backup's message database.
    QCOMPARE(textsOf(node->device.cacheDir().filePath("file-relay/var/mobile/Library/SMS/sms.db")),
             QStringList({"b1", "b2", "b3"}));
    QCOMPARE(QJsonDocument::fromJson(readFile(toolLog()).split('\n').first())
                     .object()
                     .value("op")
                     .toString(),
             QString("backup"));
    QCOMPARE(messageBoxTexts(answerer), QStringList {kPasscodeNote});
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::countryDialog_data()
{
    QTest::addColumn<QString>("mcc"); // null: the phone reports none
    QTest::addColumn<bool>("choose"); // pick a country, else Cancel
    QTest::addColumn<QStringList>("seen");
    QTest::addColumn<QString>("nodeMcc");
    const QString box = QStringLiteral("QMessageBox");
    QTest::newRow("known code") << "310" << false << QStringList {box} << "310";
    QTest::newRow("missing, chosen")
            << QString() << true << QStringList {box, box, "CountrySelForm", box} << "@";
    QTest::newRow("missing, cancelled")
            << QString() << false << QStringList {box, box, "CountrySelForm"} << "";
    QTest::newRow("unknown, chosen")
            << "001" << true << QStringList {box, "CountrySelForm", box} << "@";
    QTest::newRow("unknown, cancelled")
            << "001" << false << QStringList {box, "CountrySelForm"} << "001";
}

void TestIPhoneWindow::countryDialog()
{
    QFETCH(QString, mcc);
    QFETCH(bool, choose);
    QFETCH(QStringList, seen);
    QFETCH(QString, nodeMcc);
    // A phone without a code is told about without a malformed text.
    QTest::failOnWarning(QRegularExpression("QString::arg"));

    CpioFixture cpio;
    cpio.addFolder("./var/mobile/Library/SMS");
    cpio.addFile("./var/mobile/Library/SMS/sms.db", phoneSmsDb(work->filePath("phone")));
    const QString archive = work->filePath("relay.cpio");
    QVERIFY(cpio.writeTo(archive));

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    QString chosenMcc;
    if (choose) {
        answerer.act("CountrySelForm", later([&](QWidget *w) {
                         auto *list = w->findChild<QListWidget *>("ltCountries");
                         list->setCurrentRow(list->count() / 2);
                         chosenMcc = list->currentItem()->data(Qt::UserRole).toString();
                         ModalAnswerer::clickButton(w, "btnOK");
                     }));
        answerer.press("QMessageBox", "btnYes");
    } else {
        answerer.act("CountrySelForm", click("btnCancel"));
    }
    auto w = openWindow();
    QVERIFY(attachPhone(phone("7.1.2", mcc, {{"fileRelay", QJsonObject {{"archive", archive}}}})));
    QTRY_COMPARE_WITH_TIMEOUT(phones(*w).size(), 1, 20000);
    QCOMPARE(dialogsSeen(answerer), seen);
    if (mcc.isNull())
        QVERIFY(messageBoxTexts(answerer).at(1).startsWith("Failed to load country code"));
    if (nodeMcc == "@") {
        QCOMPARE(chosenMcc.size(), 3);
        nodeMcc = chosenMcc;
    }
    QCOMPARE(phones(*w).first()->device.MobileSubscriberCountryCode, nodeMcc);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::encryptedBackup_data()
{
    QTest::addColumn<QStringList>("passwords"); // typed in turn; then Cancel
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<int>("invalidBoxes");
    QTest::newRow("right") << QStringList {QString::fromUtf8(kPassword)} << true << 0;
    QTest::newRow("wrong, then right")
            << QStringList {"guess", QString::fromUtf8(kPassword)} << true << 1;
    QTest::newRow("wrong, then cancel") << QStringList {"guess"} << false << 1;
    QTest::newRow("cancel") << QStringList {} << false << 0;
}

void TestIPhoneWindow::encryptedBackup()
{
    QFETCH(QStringList, passwords);
    QFETCH(bool, loaded);
    QFETCH(int, invalidBoxes);
    const QString made = work->filePath("made");
    writeBackup(made, phoneSmsDb(work->filePath("phone"), {"secret"}), "10.3", true);
    setTool({{"from", made}, {"productVersion", "10.3"}});

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    bool unlocked = false;
    for (const QString &password : passwords) {
        answerer.act("PasscodeDlg", later([password, &unlocked](QWidget *w) {
                         auto *field = w->findChild<QLineEdit *>("txtPasscode");
                         field->setText(password);
                         ModalAnswerer::clickButton(w, "btnOK");
                         // A wrong password empties the field.
                         if (password != QString::fromUtf8(kPassword))
                             QVERIFY(field->text().isEmpty());
                         else
                             unlocked = true;
                     }));
    }
    if (!loaded)
        answerer.act("PasscodeDlg", click("btnCancel"));
    auto w = openWindow();
    QVERIFY(attachPhone(phone("10.3")));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.pending(), 0, 30000);
    if (loaded) {
        QTRY_COMPARE_WITH_TIMEOUT(phones(*w).size(), 1, 20000);
        QVERIFY(unlocked);
        QCOMPARE(textsOf(phones(*w).first()->device.cacheDir().filePath(
                         "file-relay/var/mobile/Library/SMS/sms.db")),
                 QStringList {"secret"});
    } else {
        QTest::qWait(300);
        QVERIFY(phones(*w).isEmpty());
    }
    QCOMPARE(messageBoxTexts(answerer).count(
                     QCoreApplication::translate("PasscodeDlg", "IDS_INVALID_PASSWORD")),
             invalidBoxes);
    // Besides the passcode note and the password warnings, nothing was said.
    QCOMPARE(messageBoxTexts(answerer).size(), 1 + invalidBoxes);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::phoneLeavingDuringTheLoadGetsNoNode()
{
    const QString made = work->filePath("made");
    writeBackup(made, phoneSmsDb(work->filePath("phone")), "9.0");
    setTool({{"from", made}, {"productVersion", "9.0"}, {"durationMs", 1500}});

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(attachPhone(phone("9.0", "310", {{"leaveAfterMs", 700}})));
    // The backup runs to its end; the phone is gone by then.
    QTRY_VERIFY_WITH_TIMEOUT(!readFile(toolLog()).isEmpty(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(backupFolderOfPhone() + "/Status.plist"), 20000);
    QTest::qWait(2500);
    QVERIFY(phones(*w).isEmpty());
    // Only the passcode note: leaving is no error.
    QCOMPARE(messageBoxTexts(answerer), QStringList {kPasscodeNote});
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::newerBackupKindIsRefused()
{
    // A backup whose file list is an SQLite Manifest.db.
    const QString made = work->filePath("made");
    writeBackup(made, phoneSmsDb(work->filePath("phone")), "10.0");
    QVERIFY(QFile::rename(made + "/Manifest.mbdb", made + "/Manifest.db"));
    setTool({{"from", made}, {"productVersion", "10.0"}});

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(attachPhone(phone("10.0")));
    QTRY_COMPARE_WITH_TIMEOUT(messageBoxTexts(answerer).size(), 2, 30000);
    QCOMPARE(messageBoxTexts(answerer).at(1), ids("IDS_IOS_BACKUP_KIND_NOT_SUPPORTED"));
    QVERIFY(messageBoxTexts(answerer).at(1).contains("not supported"));
    QTest::qWait(200);
    QVERIFY(phones(*w).isEmpty());
    QVERIFY(answerer.stuck().isEmpty());
}

// The same phone announced again while its own arrival runs (a phone
// plugged in again, or reported twice): the second arrival waits until the
// first has ended, then runs, so that no two loads write one store or one
// backup folder at a time.
void TestIPhoneWindow::announcedAgainDuringItsArrival_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("step"); // the progress dialog it comes in
    QTest::newRow("backup road, backup") << "9.0" << 1;
    QTest::newRow("backup road, caching") << "9.0" << 2;
    QTest::newRow("file relay, pull") << "6.1" << 1;
}

void TestIPhoneWindow::announcedAgainDuringItsArrival()
{
    QFETCH(QString, version);
    QFETCH(int, step);
    const QString archive = work->filePath("relay.cpio");
    const QString made = work->filePath("made");
    QVERIFY(writePhoneSources(work->filePath("phone"), archive, made, version));
    setTool({{"from", made}, {"productVersion", version}, {"durationMs", 400}});

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QObject context;
    const int *added = countDeviceNodesAdded(*w, &context);
    ProgressWatch watch;
    watch.at(step, [&] {
        QMetaObject::invokeMethod(w.get(), "iosDeviceConnected", Qt::QueuedConnection,
                                  Q_ARG(void *, iphonesim::device(kUdid)));
    });
    QVERIFY(attachPhone(phone(version, "310", {{"fileRelay", QJsonObject {{"archive", archive}}}})));
    // The first arrival's node, then the second's in its place.
    QTRY_COMPARE_WITH_TIMEOUT(*added, 2, 40000);
    QCOMPARE(watch.mostAtOnce, 1);
    QCOMPARE(phones(*w).size(), 1);
    QCOMPARE(phones(*w).first()->children.size(), 1);
    if (version == "9.0")
        QCOMPARE(toolOps(), QStringList({"backup", "backup"}));
    else
        QVERIFY(toolOps().isEmpty());
    QCOMPARE(messageBoxTexts(answerer), QStringList {kPasscodeNote});
    QVERIFY(answerer.stuck().isEmpty());
}

// --- transfer and export ----------------------------------------------------

void TestIPhoneWindow::transferToIPhone_data()
{
    QTest::addColumn<bool>("restoreFails");
    QTest::addColumn<bool>("cancelInBackup");
    QTest::newRow("restore succeeds") << false << false;
    QTest::newRow("restore fails") << true << false;
    // Cancel pressed in the poll in which the backup tool ends on its own:
    // the backup is complete and kept, but the transfer stops there.
    QTest::newRow("cancel as the backup ends") << false << true;
}

void TestIPhoneWindow::transferToIPhone()
{
    QFETCH(bool, restoreFails);
    QFETCH(bool, cancelInBackup);
    const QString archive = work->filePath("relay.cpio");
    const QString made = work->filePath("made");
    QVERIFY(writePhoneSources(work->filePath("phone"), archive, made, "6.1"));
    QJsonObject tool {{"from", made}, {"productVersion", "6.1"}};
    if (restoreFails)
        tool.insert("restore",
                    QJsonObject {{"exitCode", 1}, {"stderr", "Error: the device refused"}});
    setTool(tool);
    makeLocalDb("Family");

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(attachPhone(phone("6.1", "310", {{"fileRelay", QJsonObject {{"archive", archive}}}})));
    QTRY_COMPARE_WITH_TIMEOUT(phones(*w).size(), 1, 20000);
    const QString phoneStoreDb = phones(*w).first()->device.cacheDir().filePath(
            "file-relay/var/mobile/Library/SMS/sms.db");
    const QByteArray phoneStoreBefore = readFile(phoneStoreDb);

    QVERIFY(selectLocalDb(*w, "Family"));
    QTRY_VERIFY(MainWindowTestAccess::db2i(*w)->isEnabled());
    const qsizetype boxesBefore = messageBoxTexts(answerer).size();
    QStringList offered;
    answerer.act("DataSourceSelForm", later([&offered](QWidget *dlg) {
                     auto *combo = dlg->findChild<QComboBox *>("cbDevice");
                     for (int i = 0; i < combo->count(); ++i)
                         offered << combo->itemText(i);
                     ModalAnswerer::clickButton(dlg, "btnOK");
                 }));
    answerer.press("QMessageBox", "btnYes"); // Find My iPhone is off
    const int poll = backup2tool::pollIntervalMs;
    if (cancelInBackup) {
        setTool(QJsonObject {{"from", made}, {"productVersion", "6.1"}, {"durationMs", 600}});
        backup2tool::pollIntervalMs = 30000; // one poll covers the whole run
        const qsizetype runsBefore = readFile(toolLog()).count('\n');
        answerer.act("ProgressForm", [this, runsBefore](QWidget *form) {
            QTRY_VERIFY_WITH_TIMEOUT(readFile(toolLog()).count('\n') > runsBefore, 20000);
            QTest::qWait(100);
            QVERIFY(ModalAnswerer::clickButton(form, "btnCancel"));
        });
    }
    QVERIFY(QMetaObject::invokeMethod(w.get(), "miDb2I"));
    backup2tool::pollIntervalMs = poll;
    QCOMPARE(offered, QStringList {"Anna's iPhone"});
    // The Find My iPhone question, then what came of it.
    const QStringList boxes = messageBoxTexts(answerer).mid(boxesBefore);
    const QString backup = backupFolderOfPhone();

    QStringList ops;
    for (const QByteArray &line : readFile(toolLog()).split('\n'))
        if (!line.isEmpty())
            ops << QJsonDocument::fromJson(line).object().value("op").toString();
    if (cancelInBackup) {
        // No merge, no restore, no box after the question.
        QCOMPARE(ops, QStringList {"backup"});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(textsOf(backup + "/" + smsDbFileId()), QStringList({"p1", "p2"}));
        QCOMPARE(readFile(phoneStoreDb), phoneStoreBefore);
        QVERIFY(answerer.stuck().isEmpty());
        return;
    }
    QCOMPARE(ops, QStringList({"backup", "restore"}));

    if (!restoreFails) {
        QCOMPARE(boxes.last(), ids("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(3));
        // The restored backup holds the phone's messages and the new ones,
        // each once.
        QCOMPARE(textsOf(backup + "/" + smsDbFileId()), QStringList({"n1", "n2", "p1", "p2"}));
    } else {
        // The tool's error, then which step failed and that nothing changed.
        QCOMPARE(boxes.size(), 3);
        QVERIFY2(boxes.at(1).contains("the device refused"), qPrintable(boxes.at(1)));
        QCOMPARE(boxes.at(2), ids("IDS_TRANSFER_FAILED_AT_RESTORE"));
        // The backup is the phone's again: every file as the tool wrote it,
        // nothing added, nothing kept aside.
        const QStringList toolFiles {"Info.plist", "Status.plist"};
        QCOMPARE(filesIn(backup, toolFiles), filesIn(made, toolFiles));
        QCOMPARE(textsOf(backup + "/" + smsDbFileId()), QStringList({"p1", "p2"}));
    }
    // The phone's own store folder is untouched either way.
    QCOMPARE(readFile(phoneStoreDb), phoneStoreBefore);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::restoreStoppedOrFailedSaysWhatIsKnown_data()
{
    QTest::addColumn<bool>("cancel"); // else the tool fails at its end
    QTest::addColumn<bool>("copiesLost"); // the backup's own files kept aside are gone
    QTest::addColumn<QString>("key");
    QTest::newRow("cancelled") << true << false << "IDS_TRANSFER_CANCELLED_AT_RESTORE";
    QTest::newRow("cancelled, not put back")
            << true << true << "IDS_TRANSFER_CANCELLED_AT_RESTORE_NOT_PUT_BACK_%1";
    QTest::newRow("failed, not put back")
            << false << true << "IDS_TRANSFER_FAILED_AT_RESTORE_NOT_PUT_BACK_%1";
}

void TestIPhoneWindow::restoreStoppedOrFailedSaysWhatIsKnown()
{
    QFETCH(bool, cancel);
    QFETCH(bool, copiesLost);
    QFETCH(QString, key);
    const QString archive = work->filePath("relay.cpio");
    const QString made = work->filePath("made");
    QVERIFY(writePhoneSources(work->filePath("phone"), archive, made, "6.1"));
    // A cancel stops the tool part-way; a failure comes after a while.
    setTool({{"from", made},
             {"productVersion", "6.1"},
             {"restore",
              cancel ? QJsonObject {{"stall", true}}
                     : QJsonObject {{"durationMs", 1500},
                                    {"exitCode", 1},
                                    {"stderr", "Error: the device refused"}}}});
    makeLocalDb("Family");

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(attachPhone(phone("6.1", "310", {{"fileRelay", QJsonObject {{"archive", archive}}}})));
    QTRY_COMPARE_WITH_TIMEOUT(phones(*w).size(), 1, 20000);
    QVERIFY(selectLocalDb(*w, "Family"));
    QTRY_VERIFY(MainWindowTestAccess::db2i(*w)->isEnabled());
    const qsizetype boxesBefore = messageBoxTexts(answerer).size();
    answerer.act("DataSourceSelForm", click("btnOK"));
    answerer.press("QMessageBox", "btnYes"); // Find My iPhone is off

    // While the phone restores: the merged backup's earlier files, kept
    // aside ("<name>-<seconds>"), are lost, then Cancel is pressed.
    const QString backup = backupFolderOfPhone();
    QStringList lost;
    bool acted = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        QWidget *modal = ModalAnswerer::activeModal();
        auto *status = modal ? modal->findChild<QLabel *>("lbStatus") : nullptr;
        if (acted || !status || status->text() != ids("IDS_RESTORING_BACKUP_TO_IOS"))
            return;
        acted = true;
        if (copiesLost) {
            const QRegularExpression aside("-\\d{9,}$");
            for (const QFileInfo &f : QDir(backup).entryInfoList(QDir::Files))
                if (aside.match(f.fileName()).hasMatch() && QFile::remove(f.filePath()))
                    lost << f.fileName();
        }
        if (cancel)
            ModalAnswerer::clickButton(modal, "btnCancel");
    });
    watch.start(20);
    QVERIFY(QMetaObject::invokeMethod(w.get(), "miDb2I"));
    watch.stop();
    QVERIFY(acted);
    QCOMPARE(lost.isEmpty(), !copiesLost);

    const QList<ModalAnswerer::Seen> seen = answerer.seen();
    const ModalAnswerer::Seen &last = seen.last();
    QCOMPARE(last.className, QString("QMessageBox"));
    const QString text = ids(key.toLatin1().constData());
    if (!copiesLost) {
        QCOMPARE(last.text, text);
        QVERIFY(last.shown.contains("not known"));
        QVERIFY(last.shown.contains("put back as it was"));
    } else {
        // One line per file, each as it is named on disk.
        const qsizetype listed = text.indexOf("%1");
        QVERIFY(listed > 0);
        QVERIFY2(!last.shown.contains("<br/>"), qPrintable(last.shown));
        const QStringList lines = last.shown.split('\n');
        QVERIFY2(lines.size() >= 2, qPrintable(last.shown));
        for (const QString &line : lines.mid(1))
            QVERIFY2(line.startsWith(QDir::toNativeSeparators(backup)), qPrintable(line));
        QVERIFY(lines.contains(QDir::toNativeSeparators(backup + "/Manifest.mbdb")));
        QCOMPARE(last.shown.contains("not known"), cancel);
    }
    QVERIFY(messageBoxTexts(answerer).size() > boxesBefore);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::transferFamily(MainWindow &w, ModalAnswerer &answerer)
{
    QVERIFY(attachPhone(phone("9.0")));
    QTRY_COMPARE_WITH_TIMEOUT(phones(w).size(), 1, 30000);
    QVERIFY(selectLocalDb(w, "Family"));
    QTRY_VERIFY(MainWindowTestAccess::db2i(w)->isEnabled());
    answerer.act("DataSourceSelForm", click("btnOK"));
    answerer.press("QMessageBox", "btnYes"); // Find My iPhone is off
    QVERIFY(QMetaObject::invokeMethod(&w, "miDb2I"));
}

// The phone announced again during each step of a transfer to it: its
// arrival waits until the transfer has ended (nothing else writes the
// backup being merged and restored), then loads the phone.
void TestIPhoneWindow::announcedAgainDuringTransfer_data()
{
    QTest::addColumn<int>("step");
    QTest::newRow("backup") << 1;
    QTest::newRow("caching") << 2;
    QTest::newRow("merge") << 3;
    QTest::newRow("restore") << 4;
}

void TestIPhoneWindow::announcedAgainDuringTransfer()
{
    QFETCH(int, step);
    const QString made = work->filePath("made");
    writeBackup(made, phoneSmsDb(work->filePath("phone")), "9.0");
    setTool({{"from", made}, {"productVersion", "9.0"}, {"durationMs", 400}});
    makeLocalDb("Family");

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QObject context;
    const int *added = countDeviceNodesAdded(*w, &context);
    ProgressWatch watch;
    watch.at(2 + step, [&] { // after the arrival's backup and caching
        QMetaObject::invokeMethod(w.get(), "iosDeviceConnected", Qt::QueuedConnection,
                                  Q_ARG(void *, iphonesim::device(kUdid)));
    });
    transferFamily(*w, answerer);
    QCOMPARE(watch.shown, 6);
    QCOMPARE(watch.mostAtOnce, 1);
    QCOMPARE(toolOps(), QStringList({"backup", "backup", "restore"}));
    QCOMPARE(messageBoxTexts(answerer).last(), ids("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(3));
    // What was restored is the merged backup.
    QCOMPARE(textsOf(backupFolderOfPhone() + "/" + smsDbFileId()),
             QStringList({"n1", "n2", "p1", "p2"}));
    QCOMPARE(*added, 1);

    // Then the held arrival runs.
    QTRY_COMPARE_WITH_TIMEOUT(*added, 2, 30000);
    QCOMPARE(toolOps(), QStringList({"backup", "backup", "restore", "backup"}));
    QCOMPARE(phones(*w).size(), 1);
    QVERIFY(answerer.stuck().isEmpty());
}

// The phone unplugged while the backup was merged: its handle is not handed
// to the restore, nothing is restored and the backup is put back.
void TestIPhoneWindow::phoneLeavingBeforeTheRestore()
{
    const QString made = work->filePath("made");
    writeBackup(made, phoneSmsDb(work->filePath("phone")), "9.0");
    setTool({{"from", made}, {"productVersion", "9.0"}});
    makeLocalDb("Family");

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    ProgressWatch watch;
    watch.at(2 + 3, [] { // in the merge
        const AMDeviceRef handle = iphonesim::device(kUdid);
        QVERIFY(iphonesim::attach(kUdid, false));
        QTRY_VERIFY(!mobiledevice_is_attached(&deviceNotifyTarget, handle));
    });
    transferFamily(*w, answerer);
    QCOMPARE(watch.shown, 5);
    QCOMPARE(toolOps(), QStringList({"backup", "backup"}));
    QCOMPARE(messageBoxTexts(answerer).last(), ids("IDS_TRANSFER_PHONE_LEFT"));
    const QStringList toolFiles {"Info.plist", "Status.plist"};
    QCOMPARE(filesIn(backupFolderOfPhone(), toolFiles), filesIn(made, toolFiles));
    QTRY_VERIFY(phones(*w).isEmpty());
    QVERIFY(answerer.stuck().isEmpty());
}

// A transfer to a phone whose arrival is still loading it is refused: the
// two would write the phone's store and backup folder at once.
void TestIPhoneWindow::noTransferWhileThePhoneLoads()
{
    const QString archive = work->filePath("relay.cpio");
    const QString made = work->filePath("made");
    QVERIFY(writePhoneSources(work->filePath("phone"), archive, made, "6.1"));
    setTool({{"from", made}, {"productVersion", "6.1"}});
    makeLocalDb("Family");

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(attachPhone(phone("6.1", "310", {{"fileRelay", QJsonObject {{"archive", archive}}}})));
    QTRY_COMPARE_WITH_TIMEOUT(phones(*w).size(), 1, 20000);
    QVERIFY(selectLocalDb(*w, "Family"));
    QTRY_VERIFY(MainWindowTestAccess::db2i(*w)->isEnabled());
    const quint64 firstSerial = phones(*w).first()->serial;

    // Loaded again; the transfer is asked for from inside that load.
    ProgressWatch watch;
    watch.at(1, [&] { QMetaObject::invokeMethod(w.get(), "miDb2IAll", Qt::QueuedConnection); });
    answerer.act("DataSourceSelForm", click("btnOK"));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "iosDeviceConnected", Qt::QueuedConnection,
                                      Q_ARG(void *, iphonesim::device(kUdid))));
    QTRY_VERIFY_WITH_TIMEOUT(phones(*w).size() == 1 && phones(*w).first()->serial != firstSerial,
                             20000);
    QCOMPARE(messageBoxTexts(answerer).last(), ids("IDS_PHONE_BUSY"));
    QCOMPARE(answerer.pending(), 0);
    QVERIFY(toolOps().isEmpty());
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::nothingToTransferStartsNothing_data()
{
    QTest::addColumn<bool>("unknownNumberOnly");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("box");
    QTest::newRow("no selected rows")
            << false << "miDb2ISel" << ids("IDS_NO_MESSAGES_TO_TRANSFER");
    QTest::newRow("export, no selected rows")
            << false << "miExport2ITunesBKSel" << ids("IDS_NO_MESSAGES_TO_TRANSFER");
    QTest::newRow("only unknown numbers")
            << true << "miDb2IAll"
            << ids("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG").arg(1);
    QTest::newRow("export, only unknown numbers")
            << true << "miExport2ITunesBKAll"
            << ids("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG").arg(1);
}

void TestIPhoneWindow::nothingToTransferStartsNothing()
{
    QFETCH(bool, unknownNumberOnly);
    QFETCH(QString, slot);
    QFETCH(QString, box);
    makeLocalDb("Odd", unknownNumberOnly);
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(selectLocalDb(*w, "Odd"));
    QVERIFY(QMetaObject::invokeMethod(w.get(), slot.toLatin1().constData()));
    // One information box, no dialog, no job.
    QCOMPARE(dialogsSeen(answerer), QStringList {"QMessageBox"});
    QCOMPARE(messageBoxTexts(answerer), QStringList {box});
    QVERIFY(readFile(toolLog()).isEmpty());
    QVERIFY(answerer.stuck().isEmpty());
}

void TestIPhoneWindow::savedCopiesAreNoTargets()
{
    // A saved copy of a phone, and no phone attached.
    phoneSmsDb(dataFolder().filePath("virtual_ios/Old iPhone"));
    makeLocalDb("Family");
    ModalAnswerer answerer;
    auto w = openWindow();
    QCOMPARE(w->treeModelObject()->countDeviceNodes(kNodeIOSDevice), 1);
    QVERIFY(selectLocalDb(*w, "Family"));
    QTRY_VERIFY(w->findChild<MyTreeView *>("treeViewSMS")->model()->rowCount() > 0);
    QVERIFY(!MainWindowTestAccess::db2i(*w)->isEnabled());

    int offered = -1;
    answerer.act("DataSourceSelForm", later([&offered](QWidget *dlg) {
                     offered = dlg->findChild<QComboBox *>("cbDevice")->count();
                     ModalAnswerer::clickButton(dlg, "btnClose");
                 }));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "miDb2IAll"));
    QCOMPARE(offered, 0);
    QCOMPARE(answerer.seen().size(), 1);
    QVERIFY(readFile(toolLog()).isEmpty());
}

void TestIPhoneWindow::exportIntoPickedBackup()
{
    const QString picked = itunesBackupFolder().absoluteFilePath("picked");
    writeBackup(picked, phoneSmsDb(work->filePath("phone")), "6.1.4");
    makeLocalDb("Family");

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(selectLocalDb(*w, "Family"));
    answerer.act("LoadItunesBackupDlg", later([](QWidget *dlg) {
                     auto *view = dlg->findChild<QTreeView *>("listBackups");
                     view->setCurrentIndex(view->model()->index(0, 0));
                     ModalAnswerer::clickButton(dlg, "btnLoad");
                 }));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "miExport2ITunesBKAll"));
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(messageBoxTexts(answerer), QStringList {ids("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(3)});
    // Old plus new messages, the one both had only once.
    QCOMPARE(textsOf(picked + "/" + smsDbFileId()), QStringList({"n1", "n2", "p1", "p2"}));
    // Nothing was restored to any phone.
    QVERIFY(readFile(toolLog()).isEmpty());
}

void TestIPhoneWindow::exportRefusesAnEncryptedBackup()
{
    const QString backup = itunesBackupFolder().absoluteFilePath("locked");
    writeBackup(backup, phoneSmsDb(work->filePath("phone")), "6.1.4", true);
    const QMap<QString, QByteArray> before = filesIn(backup);
    makeLocalDb("Family");

    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    auto w = openWindow();
    QVERIFY(selectLocalDb(*w, "Family"));
    answerer.act("LoadItunesBackupDlg", later([](QWidget *dlg) {
                     auto *view = dlg->findChild<QTreeView *>("listBackups");
                     view->setCurrentIndex(view->model()->index(0, 0));
                     ModalAnswerer::clickButton(dlg, "btnLoad");
                 }));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "miExport2ITunesBKAll"));
    QCOMPARE(messageBoxTexts(answerer), QStringList {ids("IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT")});
    // Refused before any work: no cache made, the backup untouched.
    QVERIFY(!QFileInfo::exists(dataFolder().filePath("itunes_cache")));
    QCOMPARE(filesIn(backup), before);
    QVERIFY(answerer.stuck().isEmpty());
}

QTEST_MAIN(TestIPhoneWindow)
#include "tst_iphonewindow.moc"
