#pragma once

#include "iphone/mobiledevice.h"

#include <QJsonObject>
#include <QString>

// Drives the stand-ins for Apple's MobileDevice and CoreFoundation libraries
// (built into the build folder's standins/apple) through the program's own
// loader, and through the stand-ins' extra functions sets the simulated
// iPhones and reads back what they saw.
namespace iphonesim {

// The folder holding "Mobile Device Support" and "Apple Application Support".
QString standinFolder();
// Points the loader at the stand-ins and loads them.
bool load(QString *error = nullptr);
// Replaces the scenario of simulated devices (see standins/apple/mdapi.h).
bool setScenario(const QJsonObject &scenario);
bool attach(const QString &udid, bool attached);
AMDeviceRef device(const QString &udid);
// What the stand-in reports of one device (empty when unknown).
QJsonObject report(const QString &udid);
// CoreFoundation values alive now.
long liveObjects();
// Ends the stand-in's threads; call at the end of a test program.
void shutdown();

} // namespace iphonesim
