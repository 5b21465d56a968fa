#pragma once

#include "android/androiddevice.h"
#include "store/winmovable.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The frameless dialog in which the user connects a phone over Wi-Fi: the
// companion app shows the phone's address, the user types it, and Connect
// runs the Wi-Fi connection job under a progress dialog. After a successful
// connection the dialog closes accepted and `device` holds the phone; a
// failed or cancelled attempt leaves it open for another try.
class AndroidWIFIForm : public QDialog
{
    Q_OBJECT
public:
    explicit AndroidWIFIForm(QWidget *parent = nullptr);
    ~AndroidWIFIForm() override;

    // The app's control port on the phone (44441 unless changed).
    void setControlPort(int port) { m_controlPort = port; }

public slots:
    void onBtnConnect();

public:
    QLabel *label;
    QLineEdit *txtWifiSocket;
    QPushButton *btnConnect;
    QPushButton *btnClose;
    QLabel *label_2;
    QLabel *lbTipsDownloadWifiConnection;

private:
    WinMovable m_movable;

public:
    // The connected phone; empty until a connection succeeds.
    AndroidDevice device;

private:
    int m_controlPort = kWifiControlPort;
};
