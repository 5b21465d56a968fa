// Android phones in the main window: arrival over USB (allowed or not yet),
// the country question, a second arrival, removal by the watcher and during
// the load, Wi-Fi connection, Disconnect Device, and transfers into a phone.
// Everything runs in this process against the fake adb and the simulated
// companion app, each on a free port of 127.0.0.1.
#include "android/androidloadsmsthread.h"
#include "android/androidwifiform.h"
#include "standins/companionpeer.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/demodata.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/windowtest.h"
#include "ui/countryselform.h"
#include "ui/datasourceselform.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <utility>

namespace {

const QString kSerial = QStringLiteral("0123ABCD");
const QString kUid = QStringLiteral("a1b2c3d4e5");
const QString kAlice = QStringLiteral("+12025550101");
const QString kBob = QStringLiteral("+12025550102");
// 2020-09-13, as an iOS date and as the phone's milliseconds.
constexpr int kIosDate = 1600000000 - 978307200;
constexpr qint64 kMs = qint64(1600000000) * 1000;

QString hello(const QString &uid, const QString &imei, const QString &mmc,
              const QString &model = QStringLiteral("Pixel 7"))
{
    return QStringLiteral("version=10;model=%1;manufacturer=Google;imei=%2;uid=%3;sdk=13;"
                          "sdk_id=33;root=0;storage1=/storage/emulated/0;mmc=%4")
            .arg(model, imei, uid, mmc);
}

PhoneMessage sms(qint64 dateMs, bool sent, const QString &address, const QString &text)
{
    PhoneMessage m;
    m.dateMs = dateMs;
    m.sent = sent;
    m.address = address;
    m.text = text;
    return m;
}

AdbDevice adbLine(const QString &serial, const QString &state)
{
    return AdbDevice {serial + QLatin1Char('\t') + state, serial, state};
}

void invoke(MainWindow &w, const char *slot)
{
    QVERIFY(QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection));
}

void arrive(MainWindow &w, const AdbDevice &device)
{
    QVERIFY(QMetaObject::invokeMethod(&w, "androidDeviceConnected", Qt::DirectConnection,
                                      Q_ARG(AdbDevice, device)));
}

void leave(MainWindow &w, const QString &serial)
{
    QVERIFY(QMetaObject::invokeMethod(&w, "androidDeviceDisconnected", Qt::DirectConnection,
                                      Q_ARG(QString, serial)));
}

QList<_AndroidDeviceItemNode *> androidNodes(MainWindow &w)
{
    QList<_AndroidDeviceItemNode *> out;
    for (auto *n : w.treeModelObject()->devicesRoot->children)
        if (n->kind == kNodeAndroidDevice)
            out << static_cast<_AndroidDeviceItemNode *>(n);
    return out;
}

QStringList chatTexts(AbsTreeItemModel::_ItemNode *node)
{
    QStringList out;
    for (auto *c : node->children)
        out << c->text;
    out.sort();
    return out;
}

// An empty message database in a store folder of its own, for nodes built
// directly in the tree.
QSharedPointer<AbsIOSMessageDb> emptyStore(const QString &name)
{
    const QString folder = dataFolder().absoluteFilePath("test_stores/" + name);
    {
        PhoneSmsDb db(folder, PhoneSchema::olderLocal());
    }
    return QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(QDir(folder), QString(), true));
}

QStringList dialogs(const ModalAnswerer &answerer)
{
    QStringList out;
    for (const ModalAnswerer::Seen &s : answerer.seen())
        out << s.className;
    return out;
}

// Runs fire once, from the event loop (so inside whatever modal loop runs
// then), as soon as ready() holds.
class FireWhen : public QObject
{
public:
    FireWhen(std::function<bool()> ready, std::function<void()> fire)
        : m_ready(std::move(ready))
        , m_fire(std::move(fire))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (fired || !m_ready())
                return;
            fired = true;
            m_timer.stop();
            m_fire();
        });
        m_timer.start(5);
    }
    bool fired = false;

private:
    std::function<bool()> m_ready;
    std::function<void()> m_fire;
    QTimer m_timer;
};

} // namespace

class TestAndroidWindow : public QObject
{
    Q_OBJECT

    WindowTestEnv env;
    std::unique_ptr<FakeAdb> adb;
    std::unique_ptr<CompanionPeer> peer;

    // The simulated phone: its hello and what a load offers.
    CompanionScenario phone(const QString &mmc = QStringLiteral("310"),
                            const QString &uid = kUid) const;
    // A local database "Family": Alice (three messages), Bob (two) and a
    // conversation of group events only.
    void makeFamilyDb();
    // Connects the phone over USB through the window's arrival slot.
    _AndroidDeviceItemNode *connectUsb(MainWindow &w, ModalAnswerer &answerer);

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void usbArrival_data();
    void usbArrival();
    void countryQuestion_data();
    void countryQuestion();
    void secondArrivalKeepsOneNode();
    void removalByTheWatcher();
    void removalDuringTheLoad();
    void backAgainDuringTheLoad();
    void wifiConnection();
    void disconnectDevice_data();
    void disconnectDevice();
    void transferFromLocalDatabase();
    void backAgainDuringTransfer();
    void transferWithoutTarget_data();
    void transferWithoutTarget();
    void transferOfNothing_data();
    void transferOfNothing();
};

void TestAndroidWindow::initTestCase()
{
    QVERIFY(env.setUp());
    registerAdbDeviceMetaType();
    registerAndroidDeviceMetaType();
}

void TestAndroidWindow::init()
{
    clearDataSubfolders({"local_databases", "virtual_ios", "virtual_android", "android_cache",
                         "test_stores"});
    // Never a real adb: the window's watcher talks to the stand-in.
    adb = std::make_unique<FakeAdb>();
    QVERIFY(adb->isValid());
    peer = std::make_unique<CompanionPeer>(phone());
    QVERIFY(peer->start());
    adb->setCompanion(peer->controlPort());
}

void TestAndroidWindow::cleanup()
{
    peer.reset();
    adb.reset();
}

CompanionScenario TestAndroidWindow::phone(const QString &mmc, const QString &uid) const
{
    CompanionScenario s;
    s.hello = hello(uid, QStringLiteral("356938035643809"), mmc);
    s.defaultSmsApp = true;
    s.batches = {{sms(kMs, false, kAlice, "on the phone"),
                  sms(kMs + 60000, true, kAlice, "reply from the phone")}};
    return s;
}

void TestAndroidWindow::makeFamilyDb()
{
    PhoneSchema schema = PhoneSchema::olderLocal();
    schema.itemTypeColumns = true;
    PhoneSmsDb db(QDir(localDatabasesFolder()).absoluteFilePath("Family"), schema);
    const qint64 alice = db.addHandle(kAlice, "SMS", "us", {}, "Alice");
    const qint64 bob = db.addHandle(kBob, "SMS", "us", {}, "Bob");
    const qint64 aliceChat = db.addChat(alice);
    db.addText(aliceChat, "first to alice", alice, kIosDate + 100, true);
    db.addText(aliceChat, "alice answers", alice, kIosDate + 200);
    db.addText(aliceChat, QString::fromUtf8("gr\u00fc\u00dfe \u263a"), alice, kIosDate + 300, true);
    const qint64 bobChat = db.addChat(bob);
    db.addText(bobChat, "bob one", bob, kIosDate + 400);
    db.addText(bobChat, "bob two", bob, kIosDate + 500, true);
    const qint64 events = db.addGroupChat({alice, bob}, "iMessage", "Events only");
    db.addSystemItem(events, 1, alice, bob, kIosDate + 600);
    db.addSystemItem(events, 2, alice, -1, kIosDate + 700, "New name");
    db.close();
    fillChatLastDates(db.path());
}

_AndroidDeviceItemNode *TestAndroidWindow::connectUsb(MainWindow &w, ModalAnswerer &answerer)
{
    answerer.setDefaultBoxAnswer("btnOk");
    arrive(w, adbLine(kSerial, "device"));
    // The new node becomes current from the event loop.
    QCoreApplication::processEvents();
    const auto nodes = androidNodes(w);
    return nodes.isEmpty() ? nullptr : nodes.last();
}

// ---- Arrival ----

void TestAndroidWindow::usbArrival_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("warned");
    QTest::newRow("authorised") << "device" << false;
    QTest::newRow("not yet authorised") << "unauthorized" << true;
    QTest::newRow("offline") << "offline" << true;
}

void TestAndroidWindow::usbArrival()
{
    QFETCH(QString, state);
    QFETCH(bool, warned);
    MainWindow w;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    arrive(w, adbLine(kSerial, state));
    QVERIFY(answerer.stuck().isEmpty());

    const QStringList shown = messageBoxTexts(answerer);
    QCOMPARE(shown.size(), warned ? 1 : 0);
    if (warned) {
        QVERIFY(shown.first().startsWith("If you are presented with the pop up to allow "
                                         "debugging with the computer on your Android device "
                                         "screen."));
        QVERIFY(shown.first().endsWith("<br/>(" + kSerial + "\t" + state + ")"));
    }
    // Connected all the same, loaded, shown and selected.
    const auto nodes = androidNodes(w);
    QCOMPARE(nodes.size(), 1);
    _AndroidDeviceItemNode *node = nodes.first();
    QCOMPARE(node->text, QStringLiteral("Google Pixel 7"));
    QCOMPARE(node->device.serial, kSerial);
    QCOMPARE(node->device.uid, kUid);
    QCOMPARE(node->device.mmc, QStringLiteral("310"));
    QCOMPARE(chatTexts(node).size(), 1);
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(node));
    QCOMPARE(w.smsModelObject()->rowCount(), 2);
    QVERIFY(androidCacheHoldsLoad(node->device));
    // One hello and one load; each session's forward went with it.
    QVERIFY(peer->waitForSessions(2, 5000));
    const QStringList sessions = peer->record().sessions;
    QCOMPARE(sessions.size(), 2);
    QVERIFY(sessions.at(0).startsWith("device2://"));
    QVERIFY(sessions.at(1).startsWith("backup2://"));
    for (const QString &url : sessions) {
        const QString port = "tcp:" + QString::number(QUrl(url).port());
        QCOMPARE(adb->calls({"-s", kSerial, "forward", port, port}).size(), 1);
        QCOMPARE(adb->calls({"-s", kSerial, "forward", "--remove", port}).size(), 1);
    }
}

void TestAndroidWindow::countryQuestion_data()
{
    QTest::addColumn<QString>("mmc");
    QTest::addColumn<bool>("choose"); // pick a country in the dialog, else cancel it
    QTest::addColumn<QStringList>("expectedDialogs");
    QTest::addColumn<QString>("expectedMmc");

    const QStringList infoThenDialog {"QMessageBox", "CountrySelForm", "QMessageBox"};
    QTest::newRow("known code") << "310" << false << QStringList() << "310";
    QTest::newRow("empty code, chosen")
            << "" << true << QStringList {"QMessageBox", "CountrySelForm", "QMessageBox"}
            << "234";
    QTest::newRow("empty code, dialog cancelled")
            << "" << false << QStringList {"QMessageBox", "CountrySelForm"} << "";
    QTest::newRow("unknown code, chosen")
            << "123" << true << QStringList {"CountrySelForm", "QMessageBox"} << "234";
    QTest::newRow("unknown code, dialog cancelled")
            << "123" << false << QStringList {"CountrySelForm"} << "123";
}

void TestAndroidWindow::countryQuestion()
{
    QFETCH(QString, mmc);
    QFETCH(bool, choose);
    QFETCH(QStringList, expectedDialogs);
    QFETCH(QString, expectedMmc);
    peer->setScenario(phone(mmc));
    MainWindow w;
    ModalAnswerer answerer;
    if (mmc.isEmpty())
        answerer.press("QMessageBox", "btnOk");
    if (choose) {
        answerer.act("CountrySelForm", [](QWidget *dialog) {
            dialog->findChild<QLineEdit *>("txtKW")->setText("united kingdom");
            auto *list = dialog->findChild<QListWidget *>("ltCountries");
            QCOMPARE(list->count(), 1);
            list->setCurrentRow(0);
            // accept() asks first: let the answerer see that question.
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        });
        answerer.press("QMessageBox", "btnYes");
    } else {
        answerer.press("CountrySelForm", "btnCancel");
    }
    connectUsb(w, answerer);
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(dialogs(answerer), expectedDialogs);
    if (mmc.isEmpty())
        QCOMPARE(messageBoxTexts(answerer).value(0), ids("IDS_ANDROID_%1_CANT_READ_MMC_NUMBER"));
    const auto nodes = androidNodes(w);
    QCOMPARE(nodes.size(), 1);
    QCOMPARE(nodes.first()->device.mmc, expectedMmc);
}

void TestAndroidWindow::secondArrivalKeepsOneNode()
{
    MainWindow w;
    ModalAnswerer answerer;
    _AndroidDeviceItemNode *first = connectUsb(w, answerer);
    QVERIFY(first);
    const TreeNodeRef firstRef = w.nodeRef(first);

    // Plugged in again: the new load replaces the node.
    _AndroidDeviceItemNode *second = connectUsb(w, answerer);
    QCOMPARE(androidNodes(w).size(), 1);
    QVERIFY(!firstRef.resolve());
    QCOMPARE(second->device.uid, kUid);

    // Reported again while its load runs (the watcher does so when a phone
    // is allowed): held, and not started again once the first succeeded.
    const qsizetype sessionsBefore = peer->record().sessions.size();
    CompanionScenario slow = phone();
    slow.batches[0][0].attachments
            = {PhoneAttachment {"image/jpeg", "big.jpg", QByteArray(4 << 20, 'x')}};
    peer->setScenario(slow);
    bool insideLoad = false;
    FireWhen during([&] { return peer->record().sessions.size() > sessionsBefore + 1; },
                    [&] {
                        insideLoad = qobject_cast<ProgressForm *>(ModalAnswerer::activeModal());
                        arrive(w, adbLine(kSerial, "device"));
                    });
    connectUsb(w, answerer);
    QVERIFY(during.fired);
    QTest::qWait(100);
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(androidNodes(w).size(), 1);
    // (On a machine so busy that the load ended first, the report was a
    // plain second arrival.)
    if (insideLoad)
        QCOMPARE(peer->record().sessions.size(), sessionsBefore + 2);
}

void TestAndroidWindow::removalByTheWatcher()
{
    adb->setListings({FakeAdb::listing({{kSerial, "device"}})});
    MainWindow w;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    QTRY_COMPARE_WITH_TIMEOUT(androidNodes(w).size(), 1, 30000);
    QTRY_VERIFY(w.currentNode());
    QVERIFY(w.smsModelObject()->rowCount() > 0);

    // A phone connected over Wi-Fi is known by its uid: the watcher's
    // serials never name it.
    AndroidDevice wifi;
    wifi.viaWifi = true;
    wifi.uid = kSerial + "-wifi";
    wifi.model = "Over the air";
    w.treeModelObject()->addAndroidDeviceNode(emptyStore("wifi"), wifi);

    adb->setListings({FakeAdb::listing({})});
    QTRY_COMPARE_WITH_TIMEOUT(androidNodes(w).size(), 1, 30000);
    QCOMPARE(androidNodes(w).first()->device.uid, kSerial + "-wifi");
    // The panes showed the phone's records: they are emptied with it.
    QCOMPARE(w.smsModelObject()->rowCount(), 0);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestAndroidWindow::removalDuringTheLoad()
{
    MainWindow w;
    ModalAnswerer answerer;
    _AndroidDeviceItemNode *old = connectUsb(w, answerer);
    QVERIFY(old);
    const TreeNodeRef oldRef = w.nodeRef(old);

    // Unplugged while its own load runs: the load may still succeed, but
    // the phone gets no node (and its old one goes with the removal).
    CompanionScenario slow = phone();
    slow.batches[0][0].attachments
            = {PhoneAttachment {"image/jpeg", "big.jpg", QByteArray(4 << 20, 'x')}};
    peer->setScenario(slow);
    const qsizetype sessionsBefore = peer->record().sessions.size();
    FireWhen during([&] { return peer->record().sessions.size() > sessionsBefore + 1; },
                    [&] { leave(w, kSerial); });
    connectUsb(w, answerer);
    QVERIFY(during.fired);
    QVERIFY(answerer.stuck().isEmpty());
    QVERIFY(!oldRef.resolve());
    QCOMPARE(androidNodes(w).size(), 0);

    // Removed while the warning about debugging is open: not even connected.
    answerer.act("QMessageBox", [&](QWidget *box) {
        leave(w, kSerial);
        ModalAnswerer::clickButton(box, "btnOk");
    });
    const qsizetype before = peer->record().sessions.size();
    arrive(w, adbLine(kSerial, "unauthorized"));
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(androidNodes(w).size(), 0);
    QCOMPARE(peer->record().sessions.size(), before);
}

// Unplugged and plugged in again while its first arrival still loads: the
// new arrival waits until the first has wound down, then connects the phone.
void TestAndroidWindow::backAgainDuringTheLoad()
{
    MainWindow w;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    CompanionScenario slow = phone();
    slow.batches[0][0].attachments
            = {PhoneAttachment {"image/jpeg", "big.jpg", QByteArray(4 << 20, 'x')}};
    peer->setScenario(slow);
    const qsizetype sessionsBefore = peer->record().sessions.size();
    qsizetype sessionsAfterReturn = -1;
    bool insideLoad = false;
    FireWhen during([&] { return peer->record().sessions.size() > sessionsBefore + 1; },
                    [&] {
                        insideLoad = qobject_cast<ProgressForm *>(ModalAnswerer::activeModal());
                        leave(w, kSerial);
                        arrive(w, adbLine(kSerial, "device"));
                        sessionsAfterReturn = peer->record().sessions.size();
                    });
    arrive(w, adbLine(kSerial, "device"));
    QVERIFY(during.fired);
    if (!insideLoad)
        QSKIP("The load ended before the phone came back (a very busy machine).");
    // Nothing of the second arrival ran inside the first.
    QCOMPARE(sessionsAfterReturn, sessionsBefore + 2);
    // The first, marked gone, added nothing; the second then shows the
    // phone.
    QTRY_COMPARE_WITH_TIMEOUT(androidNodes(w).size(), 1, 30000);
    QTRY_COMPARE(peer->record().sessions.size(), sessionsBefore + 4);
    QCOMPARE(androidNodes(w).first()->device.uid, kUid);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestAndroidWindow::wifiConnection()
{
    MainWindow w;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    _AndroidDeviceItemNode *usb = connectUsb(w, answerer);
    QVERIFY(usb);
    const TreeNodeRef usbRef = w.nodeRef(usb);
    const quint16 control = peer->controlPort();
    auto typeAddress = [control](QWidget *dialog) {
        auto *form = static_cast<AndroidWIFIForm *>(dialog);
        form->setControlPort(control);
        form->txtWifiSocket->setText("127.0.0.1");
        // The connection runs its own progress dialog: leave the tick first.
        QMetaObject::invokeMethod(form, "onBtnConnect", Qt::QueuedConnection);
    };

    // The phone refuses the session: the dialog stays for another try and
    // the user closes it; the phone's node is untouched.
    CompanionScenario refusing = phone();
    refusing.refusal = "busy";
    peer->setScenario(refusing);
    answerer.act("AndroidWIFIForm", typeAddress);
    answerer.act("AndroidWIFIForm", [](QWidget *dialog) {
        QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
    });
    invoke(w, "miConnectWifi");
    QVERIFY(answerer.stuck().isEmpty());
    QVERIFY(messageBoxTexts(answerer).join('\n').contains("busy"));
    QCOMPARE(usbRef.resolve(), static_cast<AbsTreeItemModel::_ItemNode *>(usb));

    // Connected, but the load fails: the old node stays.
    CompanionScenario failingLoad = phone();
    failingLoad.faults = {CompanionFault {"backup2", 1, CompanionFault::Error, "disk full"}};
    peer->setScenario(failingLoad);
    answerer.act("AndroidWIFIForm", typeAddress);
    invoke(w, "miConnectWifi");
    QVERIFY(answerer.stuck().isEmpty());
    QVERIFY(messageBoxTexts(answerer).last().contains("disk full"));
    QCOMPARE(usbRef.resolve(), static_cast<AbsTreeItemModel::_ItemNode *>(usb));
    QCOMPARE(androidNodes(w).size(), 1);

    // Connected and loaded: the Wi-Fi node takes the USB node's place.
    peer->setScenario(phone());
    answerer.act("AndroidWIFIForm", typeAddress);
    invoke(w, "miConnectWifi");
    QVERIFY(answerer.stuck().isEmpty());
    QVERIFY(!usbRef.resolve());
    const auto nodes = androidNodes(w);
    QCOMPARE(nodes.size(), 1);
    QVERIFY(nodes.first()->device.viaWifi);
    QCOMPARE(nodes.first()->device.uid, kUid);
    QCOMPARE(nodes.first()->device.deviceId(), kUid);
    QCOMPARE(chatTexts(nodes.first()).size(), 1);
}

// ---- Disconnect Device ----

void TestAndroidWindow::disconnectDevice_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("removed");
    QTest::newRow("Android over USB") << "usb" << true;
    QTest::newRow("Android over Wi-Fi") << "wifi" << true;
    QTest::newRow("iPhone") << "iphone" << true;
    QTest::newRow("saved Android copy") << "savedAndroid" << false;
    QTest::newRow("saved iPhone copy") << "savedIPhone" << false;
    QTest::newRow("local database") << "localDb" << false;
    QTest::newRow("conversation") << "chat" << false;
    QTest::newRow("Devices root") << "root" << false;
    QTest::newRow("nothing selected") << "none" << false;
}

void TestAndroidWindow::disconnectDevice()
{
    QFETCH(QString, kind);
    QFETCH(bool, removed);
    makeFamilyDb();
    MainWindow w;
    ItemModelMain *m = w.treeModelObject();
    AndroidDevice usb;
    usb.serial = kSerial;
    usb.uid = kUid;
    usb.model = "USB";
    AndroidDevice wifi;
    wifi.viaWifi = true;
    wifi.uid = "other-uid";
    wifi.model = "WiFi";
    AndroidDevice savedAndroid;
    savedAndroid.model = "Saved";
    savedAndroid.uid = "/somewhere/virtual_android/Saved";
    IOSDevice iphone;
    iphone.DeviceName = "iPhone";
    iphone.deviceHandle = reinterpret_cast<AMDeviceRef>(0x1);
    IOSDevice savedIPhone;
    savedIPhone.DeviceName = "Saved iPhone";
    QHash<QString, AbsTreeItemModel::_ItemNode *> nodes {
            {"usb", m->addAndroidDeviceNode(emptyStore("usb"), usb)},
            {"wifi", m->addAndroidDeviceNode(emptyStore("wifi"), wifi)},
            {"savedAndroid", m->addAndroidDeviceNode(emptyStore("saved"), savedAndroid)},
            {"iphone", m->addIOSDeviceNode(emptyStore("iphone"), iphone)},
            {"savedIPhone", m->addIOSDeviceNode(emptyStore("savedIPhone"), savedIPhone)},
            {"localDb", localDb(w, "Family")},
            {"root", m->devicesRoot},
    };
    QVERIFY(nodes.value("localDb"));
    selectNode(w, nodes.value("localDb"));
    nodes.insert("chat", nodes.value("localDb")->children.value(0));
    QVERIFY(nodes.value("chat"));

    const int before = int(m->devicesRoot->children.size()) + int(m->localDbRoot->children.size());
    AbsTreeItemModel::_ItemNode *target = nodes.value(kind);
    const TreeNodeRef ref = w.nodeRef(target);
    if (target)
        selectNode(w, target);
    else
        treeDS(w)->selectionModel()->clearSelection();
    invoke(w, "miUnmoutDevice");
    const int after = int(m->devicesRoot->children.size()) + int(m->localDbRoot->children.size());
    QCOMPARE(after, removed ? before - 1 : before);
    if (target)
        QCOMPARE(!ref.resolve(), removed);
}

// ---- Transfer to a phone ----

void TestAndroidWindow::transferFromLocalDatabase()
{
    makeFamilyDb();
    MainWindow w;
    ModalAnswerer answerer;
    _AndroidDeviceItemNode *target = connectUsb(w, answerer);
    QVERIFY(target);
    // A saved copy is never offered.
    AndroidDevice savedCopy;
    savedCopy.model = "Old";
    savedCopy.uid = dataFolder().absoluteFilePath("virtual_android/Old");
    w.treeModelObject()->addAndroidDeviceNode(emptyStore("old"), savedCopy);

    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    QStringList offered;
    answerer.act("DataSourceSelForm", [&offered](QWidget *dialog) {
        auto *combo = dialog->findChild<QComboBox *>("cbDevice");
        for (int i = 0; i < combo->count(); ++i)
            offered << combo->itemText(i);
        ModalAnswerer::clickButton(dialog, "btnOK");
    });
    answerer.press("QMessageBox", "btnOk");
    invoke(w, "miDb2A");
    QVERIFY2(answerer.stuck().isEmpty(), qPrintable(answerer.stuck().join('\n')));
    QVERIFY2(offered == QStringList {"Google Pixel 7"}, qPrintable(messageBoxTexts(answerer).join('\n')));
    QVERIFY2(messageBoxTexts(answerer).last().startsWith("Successfully Transferred 5 Messages."),
             qPrintable(messageBoxTexts(answerer).last()));

    // What the phone received: the five messages, oldest first, as written.
    const QList<RestoredMessage> got = peer->record().restored;
    QCOMPARE(got.size(), 5);
    const QStringList texts {"first to alice", "alice answers",
                             QString::fromUtf8("gr\u00fc\u00dfe \u263a"), "bob one", "bob two"};
    const QStringList addresses {kAlice, kAlice, kAlice, kBob, kBob};
    const QList<bool> sent {true, false, true, false, true};
    for (int i = 0; i < got.size(); ++i) {
        QCOMPARE(got.at(i).text, texts.at(i));
        QCOMPARE(got.at(i).address, addresses.at(i));
        QCOMPARE(got.at(i).sent, sent.at(i));
        QCOMPARE(got.at(i).dateMs, (qint64(kIosDate) + 978307200 + 100 * (i + 1)) * 1000);
    }
    // The phone's node is reloaded and selected: its conversations include
    // the new ones.
    _AndroidDeviceItemNode *reloaded = androidNodes(w).first();
    QTRY_COMPARE(w.currentNode(), static_cast<AbsTreeItemModel::_ItemNode *>(reloaded));
    QCOMPARE(reloaded->children.size(), 2);
    QCOMPARE(w.smsModelObject()->rowCount(), 2 + 5);

    // Transfers the whole database again; the sessions the phone saw.
    auto transferAgain = [&]() -> QStringList {
        selectNode(w, family);
        const qsizetype sessions = peer->record().sessions.size();
        answerer.press("DataSourceSelForm", "btnOK");
        answerer.press("QMessageBox", "btnOk");
        invoke(w, "miDb2A");
        QCoreApplication::processEvents();
        if (!answerer.stuck().isEmpty())
            return answerer.stuck();
        return peer->record().sessions.mid(sessions);
    };

    // The same again sends nothing.
    QStringList later = transferAgain();
    QCOMPARE(later.size(), 1);
    QVERIFY(later.at(0).startsWith("restore2://"));
    QCOMPARE(peer->record().restored.size(), 5);

    // After the cache was cleared the phone is loaded first: what it holds
    // (here everything) is not sent again.
    removeFolderRecursively(dataFolder().absoluteFilePath("android_cache"));
    CompanionScenario holds = phone();
    for (const RestoredMessage &r : got)
        holds.batches[0] << sms(r.dateMs, r.sent, r.address, r.text);
    peer->setScenario(holds);
    later = transferAgain();
    QCOMPARE(later.size(), 2);
    QVERIFY(later.at(0).startsWith("backup2://"));
    QVERIFY(later.at(1).startsWith("restore2://"));
    QCOMPARE(peer->record().restored.size(), 5);
    QCOMPARE(androidNodes(w).first()->children.size(), 2);
}

void TestAndroidWindow::transferWithoutTarget_data()
{
    QTest::addColumn<QString>("uid");
    QTest::newRow("the app gives its uid") << kUid;
    // Known then by its adb serial.
    QTest::newRow("the app gives no uid") << QString();
}

// The target unplugged and plugged in again while the transfer writes to it:
// its arrival waits until the transfer has ended, then connects it.
void TestAndroidWindow::backAgainDuringTransfer()
{
    makeFamilyDb();
    MainWindow w;
    ModalAnswerer answerer;
    QVERIFY(connectUsb(w, answerer));
    selectNode(w, localDb(w, "Family"));
    const qsizetype sessionsBefore = peer->record().sessions.size();
    qsizetype sessionsAfterReturn = -1;
    // From the event loop of the transfer's progress dialog.
    struct OnProgressShown : QObject
    {
        std::function<void()> fire;
        bool eventFilter(QObject *o, QEvent *e) override
        {
            if (e->type() == QEvent::Show && o->inherits("ProgressForm") && fire) {
                QMetaObject::invokeMethod(o, std::exchange(fire, nullptr), Qt::QueuedConnection);
            }
            return false;
        }
    } during;
    bool fired = false;
    during.fire = [&] {
        fired = true;
        leave(w, kSerial);
        arrive(w, adbLine(kSerial, "device"));
        sessionsAfterReturn = peer->record().sessions.size();
    };
    qApp->installEventFilter(&during);
    answerer.press("DataSourceSelForm", "btnOK");
    answerer.setDefaultBoxAnswer("btnOk");
    invoke(w, "miDb2A");
    qApp->removeEventFilter(&during);
    QVERIFY(fired);
    // Nothing of the arrival ran inside the transfer.
    QCOMPARE(peer->record().sessions.size(), sessionsBefore + 1);
    QVERIFY(peer->record().sessions.last().startsWith("restore2://"));
    QVERIFY(sessionsAfterReturn <= sessionsBefore + 1);
    // Then it runs: connected and loaded again.
    QTRY_COMPARE_WITH_TIMEOUT(androidNodes(w).size(), 1, 30000);
    QCOMPARE(peer->record().sessions.size(), sessionsBefore + 3);
    QVERIFY(answerer.stuck().isEmpty());
}

void TestAndroidWindow::transferWithoutTarget()
{
    QFETCH(QString, uid);
    peer->setScenario(phone(QStringLiteral("310"), uid));
    MainWindow w;
    ModalAnswerer answerer;
    _AndroidDeviceItemNode *source = connectUsb(w, answerer);
    QVERIFY(source);
    // A saved copy is no target either.
    AndroidDevice savedCopy;
    savedCopy.model = "Old";
    savedCopy.uid = "/x/virtual_android/Old";
    w.treeModelObject()->addAndroidDeviceNode(emptyStore("old"), savedCopy);
    const qsizetype sessions = peer->record().sessions.size();

    for (AbsTreeItemModel::_ItemNode *node : {static_cast<AbsTreeItemModel::_ItemNode *>(source),
                                              source->children.value(0)}) {
        selectNode(w, node);
        const qsizetype seen = answerer.seen().size();
        answerer.press("QMessageBox", "btnOk");
        invoke(w, "miA2A");
        QVERIFY(answerer.stuck().isEmpty());
        QCOMPARE(dialogs(answerer).mid(seen), QStringList {"QMessageBox"});
        QCOMPARE(messageBoxTexts(answerer).last(), ids("IDS_NO_ANDROID_TARGET"));
    }
    QCOMPARE(peer->record().sessions.size(), sessions);
}

void TestAndroidWindow::transferOfNothing_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("chat"); // the conversation selected; empty: the database
    QTest::newRow("no selected rows") << "miDb2ASel" << "";
    QTest::newRow("group events only") << "miDb2AChat" << "Events only";
    QTest::newRow("dispatcher on group events") << "miDb2A" << "Events only";
}

void TestAndroidWindow::transferOfNothing()
{
    QFETCH(QString, slot);
    QFETCH(QString, chat);
    makeFamilyDb();
    MainWindow w;
    ModalAnswerer answerer;
    QVERIFY(connectUsb(w, answerer));
    _AbsDBItemNode *family = localDb(w, "Family");
    selectNode(w, family);
    AbsTreeItemModel::_ItemNode *node = family;
    for (auto *c : family->children)
        if (c->text == chat)
            node = c;
    selectNode(w, node);
    if (!chat.isEmpty()) {
        QCOMPARE(node->text, chat);
        QCOMPARE(w.smsModelObject()->rowCount(), 2);
    }
    const qsizetype sessions = peer->record().sessions.size();
    const qsizetype seen = answerer.seen().size();
    answerer.press("QMessageBox", "btnOk");
    invoke(w, slot.toLatin1().constData());
    QVERIFY(answerer.stuck().isEmpty());
    QCOMPARE(dialogs(answerer).mid(seen), QStringList {"QMessageBox"});
    QCOMPARE(messageBoxTexts(answerer).last(), ids("IDS_NOTHING_TO_TRANSFER_TO_ANDROID"));
    QCOMPARE(peer->record().sessions.size(), sessions);
}

QTEST_MAIN(TestAndroidWindow)
#include "tst_androidwindow.moc"
