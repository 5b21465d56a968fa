#include "tests/support/iphonesim.h"

#include "buildconfig.h"
#include "iphone/applelibrary.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace iphonesim {

QString standinFolder()
{
    return QStringLiteral(PEL_BINARY_DIR "/standins/apple");
}

bool load(QString *error)
{
    qputenv("PELICORDE_APPLE_LIB_DIR", standinFolder().toLocal8Bit());
    QString text;
    const bool ok = mobiledevice_load_frameworks(text);
    if (error)
        *error = text;
    return ok;
}

bool setScenario(const QJsonObject &scenario)
{
    auto fn = mobiledevice_am_function<int (*)(const char *)>("AMStandinSetScenario");
    return fn && fn(QJsonDocument(scenario).toJson(QJsonDocument::Compact).constData()) == 0;
}

bool attach(const QString &udid, bool attached)
{
    auto fn = mobiledevice_am_function<int (*)(const char *, int)>("AMStandinAttach");
    return fn && fn(udid.toUtf8().constData(), attached ? 1 : 0) == 0;
}

AMDeviceRef device(const QString &udid)
{
    auto fn = mobiledevice_am_function<AMDeviceRef (*)(const char *)>("AMStandinDevice");
    return fn ? fn(udid.toUtf8().constData()) : nullptr;
}

QJsonObject report(const QString &udid)
{
    auto fn = mobiledevice_am_function<const char *(*)()>("AMStandinReport");
    if (!fn)
        return {};
    const QJsonArray devices
            = QJsonDocument::fromJson(fn()).object().value(QLatin1String("devices")).toArray();
    for (const QJsonValue &d : devices) {
        if (d.toObject().value(QLatin1String("udid")).toString() == udid)
            return d.toObject();
    }
    return {};
}

long liveObjects()
{
    auto fn = mobiledevice_cf_function<long (*)()>("CFStandinLiveObjectCount");
    return fn ? fn() : -1;
}

void shutdown()
{
    if (auto fn = mobiledevice_am_function<void (*)()>("AMStandinShutdown"))
        fn();
}

} // namespace iphonesim
