#pragma once

#include "android/androiddevice.h"
#include "android/simpleprotocol.h"

#include <QThread>

class ProgressForm;

// What the two connection jobs share: the hello exchange with the companion
// app, which fills `device`, and the way a cancel reaches them. A job runs
// under its ProgressForm (ProgressForm::runJob); `device` is read by the
// starting action after a successful run only.
//
// Cancel (the form's Cancel button) cuts a session opening or a wait for the
// app at once; the job then ends without a report.
class AndroidConnectThread : public QThread
{
    Q_OBJECT
public:
    ~AndroidConnectThread() override;

    AndroidDevice device;

protected:
    AndroidConnectThread(ProgressForm *form, QObject *parent);

    // The user cancelled, or the dialog has ended otherwise.
    bool stopped() const;
    // Opens a device2 session, reads the hello into `device`, says goodbye
    // and reports the outcome: success, or the error of an app too old.
    // Throws what the session opening and the protocol throw.
    void helloExchange();

    ProgressForm *form;
    simpleprotocol::SessionCanceller canceller;
};

// Connects a phone attached by USB: installs the companion app when the
// phone's package list lacks it, then the hello exchange.
class AndroidConnectWithUSBThread : public AndroidConnectThread
{
    Q_OBJECT
public:
    AndroidConnectWithUSBThread(const QString &serial, ProgressForm *form,
                                QObject *parent = nullptr);

    // The pause after an install, in which the new app settles (5000 ms).
    void setInstallSettleTime(int ms) { m_installSettleMs = ms; }

protected:
    void run() override;

private:
    void installCompanion();

    int m_installSettleMs = 5000;
};

// Connects a phone over Wi-Fi through the app's control port on its address.
class AndroidConnectWithWiFiThread : public AndroidConnectThread
{
    Q_OBJECT
public:
    AndroidConnectWithWiFiThread(const QString &host, ProgressForm *form,
                                 QObject *parent = nullptr);

protected:
    void run() override;
};
