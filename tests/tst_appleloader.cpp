#include "iphone/applelibrary.h"
#include "iphone/cftype.h"
#include "iphone/mobiledevice.h"
#include "tests/support/iphonesim.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

// The steps run in order in one process: once loaded, the libraries stay.
class TestAppleLoader : public QObject
{
    Q_OBJECT
private slots:
    void cleanupTestCase();
    void defaultFoldersAreBesideTheProgram();
    void withoutLibraries();
    void coreFoundationMissing();
    void bothLibrariesFound();
    void loadingAgainSucceedsAtOnce();
    void subscriptionReadsTheScenarioFile();

private:
    QTemporaryDir m_dir;
};

void TestAppleLoader::cleanupTestCase()
{
    // The stand-in's notification thread must not outlive the tests.
    if (mobiledevice_frameworks_loaded())
        iphonesim::shutdown();
}

void TestAppleLoader::defaultFoldersAreBesideTheProgram()
{
    qunsetenv("PELICORDE_APPLE_LIB_DIR");
    const AppleInstallFolders f = mobiledevice_install_folders();
    const QString apple = QCoreApplication::applicationDirPath() + QStringLiteral("/Apple/");
    QCOMPARE(f.mobileDeviceSupport, apple + QStringLiteral("Mobile Device Support"));
    QCOMPARE(f.applicationSupport, apple + QStringLiteral("Apple Application Support"));
    QCOMPARE(mobiledevice_read_install_dir(QStringLiteral("SOFTWARE\\Apple Inc.\\x"),
                                           QStringLiteral("InstallDir")),
             QString());

    qputenv("PELICORDE_APPLE_LIB_DIR", "/opt/apple");
    const AppleInstallFolders g = mobiledevice_install_folders();
    QCOMPARE(g.mobileDeviceSupport, QStringLiteral("/opt/apple/Mobile Device Support"));
    QCOMPARE(g.applicationSupport, QStringLiteral("/opt/apple/Apple Application Support"));
}

void TestAppleLoader::withoutLibraries()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("empty")));
    qputenv("PELICORDE_APPLE_LIB_DIR", m_dir.filePath(QStringLiteral("empty")).toLocal8Bit());

    QString error;
    QVERIFY(!mobiledevice_load_frameworks(error));
    QCOMPARE(error, QStringLiteral("Failed to load (Mobile Device) framework."));
    QVERIFY(!mobiledevice_frameworks_loaded());
    QVERIFY(!mobileDeviceLibrary.isLoaded());
    QVERIFY(!coreFoundationLibrary.isLoaded());
    QVERIFY(!mobiledevice_resolve_am("AMDeviceConnect"));
    QVERIFY(!mobiledevice_resolve_cf("CFRelease"));

    // Nothing calls a missing function: values stay empty, device calls
    // fail with a text.
    QVERIFY(CFType::fromString(QStringLiteral("x")).isEmpty());
    QVERIFY(CFType::newDictionary().isEmpty());
    QCOMPARE(CFType::fromBool(true).toBool(false), false);
    try {
        DeviceNotifyTarget target;
        mobiledevice_subscribe(&target);
        QFAIL("subscribing without the libraries succeeded");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()),
                 QStringLiteral("Failed to load (Mobile Device) framework."));
    }
    try {
        mobiledevice_copy_value(nullptr, {QStringLiteral("DeviceName")}, QString());
        QFAIL("a device call without the libraries succeeded");
    } catch (const std::runtime_error &e) {
        QVERIFY(QString::fromUtf8(e.what()).contains(QLatin1String("AMDeviceCopyValue")));
    }
}

void TestAppleLoader::coreFoundationMissing()
{
    // Only the MobileDevice library is there.
    const QDir base(m_dir.filePath(QStringLiteral("half")));
    QVERIFY(base.mkpath(QStringLiteral("Mobile Device Support")));
    QVERIFY(base.mkpath(QStringLiteral("Apple Application Support")));
    const QString real = iphonesim::standinFolder()
            + QStringLiteral("/Mobile Device Support/libiTunesMobileDevice.so");
    QVERIFY(QFile::exists(real));
    QVERIFY(QFile::link(
            real, base.filePath(QStringLiteral("Mobile Device Support/libiTunesMobileDevice.so"))));
    qputenv("PELICORDE_APPLE_LIB_DIR", base.path().toLocal8Bit());

    QString error;
    QVERIFY(!mobiledevice_load_frameworks(error));
    QCOMPARE(error, QStringLiteral("Failed to load (CoreFoundation) framework."));
    QVERIFY(mobileDeviceLibrary.isLoaded());
    QVERIFY(!coreFoundationLibrary.isLoaded());
    QVERIFY(!mobiledevice_frameworks_loaded());
    QVERIFY(mobiledevice_resolve_am("AMDeviceConnect"));
    QVERIFY(!mobiledevice_resolve_cf("CFRelease"));
    QVERIFY(CFType::newArray().isEmpty());
}

void TestAppleLoader::bothLibrariesFound()
{
    qputenv("PELICORDE_APPLE_LIB_DIR", iphonesim::standinFolder().toLocal8Bit());
    QString error = QStringLiteral("left alone");
    QVERIFY(mobiledevice_load_frameworks(error));
    QCOMPARE(error, QStringLiteral("left alone"));
    QVERIFY(mobiledevice_frameworks_loaded());
    QVERIFY(mobiledevice_resolve_am("AMDeviceNotificationSubscribe"));
    QVERIFY(mobiledevice_resolve_cf("CFPropertyListCreateData"));
    QVERIFY(!mobiledevice_resolve_am("AMNoSuchFunction"));
    // A data symbol resolves to the datum: the boolean value itself is there.
    auto datum = static_cast<const CFTypeRef *>(mobiledevice_resolve_cf("kCFBooleanTrue"));
    QVERIFY(datum && *datum);

    // Call-back tables asked for before the library was there were not
    // kept as missing: containers made now keep what is put into them.
    CFType dict = CFType::newDictionary();
    QVERIFY(dict.isDictionary());
    {
        CFType value = CFType::fromString(QStringLiteral("kept by the dictionary"));
        CFType key = CFType::fromString(QStringLiteral("k"));
        CFType probe(dict.ref(), false);
        probe.setValue(key, value); // the borrowed wrapper keeps nothing itself
    }
    QCOMPARE(dict.value(QStringLiteral("k")).toQString(), QStringLiteral("kept by the dictionary"));
    CFType array = CFType::newArray();
    QVERIFY(array.isArray());
}

void TestAppleLoader::loadingAgainSucceedsAtOnce()
{
    QString error;
    QVERIFY(mobiledevice_load_frameworks(error));
    QVERIFY(mobiledevice_load_frameworks(error));
    QVERIFY(error.isEmpty());
    QVERIFY(mobiledevice_frameworks_loaded());
}

// The first subscription of the process reads the scenario file that the
// environment names, as a program run by hand would.
class Arrivals : public QObject
{
    Q_OBJECT
public slots:
    void arrived(void *device) { devices.append(device); }

public:
    QList<void *> devices;
};

void TestAppleLoader::subscriptionReadsTheScenarioFile()
{
    const QString path = m_dir.filePath(QStringLiteral("scenario.json"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(R"({"devices": [{"udid": "from-file", "values": {"": {"DeviceName": "Filed"}}}]})");
    f.close();
    qputenv("PELICORDE_IPHONE_SCENARIO", path.toLocal8Bit());
    Arrivals arrivals;
    mobiledevice_set_target(&deviceNotifyTarget, &arrivals, "arrived", "");
    mobiledevice_subscribe(&deviceNotifyTarget);
    QTRY_COMPARE(arrivals.devices.size(), 1);
    QCOMPARE(mobiledevice_copy_value(arrivals.devices.first(), {QStringLiteral("DeviceName")},
                                     QString())
                     .value(0)
                     .toQString(),
             QStringLiteral("Filed"));
    mobiledevice_set_target(&deviceNotifyTarget, nullptr, nullptr, nullptr);
}

QTEST_GUILESS_MAIN(TestAppleLoader)
#include "tst_appleloader.moc"
