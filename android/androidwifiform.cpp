#include "android/androidwifiform.h"

#include "android/androidconnect.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/stylesheet.h"
#include "store/texts.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

AndroidWIFIForm::AndroidWIFIForm(QWidget *parent)
    : QDialog(parent)
    , m_movable(this)
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("AndroidWIFIForm"));
    resize(404, 226);
    setWindowTitle(ids("IDS_WIFI_FORM_TITLE"));

    label = new QLabel(this);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(40, 40, 341, 61);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    label->setText(ids("IDS_WIFI_FORM_INTRO"));

    txtWifiSocket = new QLineEdit(this);
    txtWifiSocket->setObjectName(QStringLiteral("txtWifiSocket"));
    txtWifiSocket->setGeometry(40, 110, 331, 20);

    btnConnect = new QPushButton(this);
    btnConnect->setObjectName(QStringLiteral("btnConnect"));
    btnConnect->setGeometry(100, 140, 75, 23);
    btnConnect->setText(ids("IDS_WIFI_FORM_CONNECT"));

    btnClose = new QPushButton(this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setGeometry(230, 140, 75, 23);
    btnClose->setText(ids("IDS_WIFI_FORM_CANCEL"));

    label_2 = new QLabel(this);
    label_2->setObjectName(QStringLiteral("label_2"));
    label_2->setGeometry(20, 10, 271, 16);
    label_2->setText(ids("IDS_WIFI_FORM_TITLE"));

    lbTipsDownloadWifiConnection = new QLabel(this);
    lbTipsDownloadWifiConnection->setObjectName(QStringLiteral("lbTipsDownloadWifiConnection"));
    lbTipsDownloadWifiConnection->setGeometry(0, 190, 401, 31);
    lbTipsDownloadWifiConnection->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lbTipsDownloadWifiConnection->setWordWrap(true);
    lbTipsDownloadWifiConnection->setOpenExternalLinks(true);
    lbTipsDownloadWifiConnection->setText(ids("IDS_WIFI_FORM_TIPS_DOWNLOAD"));

    QMetaObject::connectSlotsByName(this);
    // Both buttons act when pressed, not when released.
    connect(btnClose, &QPushButton::pressed, this, &QDialog::reject);

    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet()
                  + QStringLiteral(" #lbTipsDownloadWifiConnection { font-size:9px; "
                                   "color:#767B7C; margin:0 10px;}"));
    // The grey footer gets the height its text needs at the fonts the style
    // sheet gives, and the dialog grows to hold it.
    lbTipsDownloadWifiConnection->ensurePolished();
    const int footer = lbTipsDownloadWifiConnection->heightForWidth(
            lbTipsDownloadWifiConnection->width());
    if (footer > lbTipsDownloadWifiConnection->height()) {
        lbTipsDownloadWifiConnection->resize(lbTipsDownloadWifiConnection->width(), footer);
        resize(width(), lbTipsDownloadWifiConnection->geometry().bottom() + 1 + 5);
    }

    connect(btnConnect, &QPushButton::pressed, this, &AndroidWIFIForm::onBtnConnect);
}

AndroidWIFIForm::~AndroidWIFIForm() = default;

void AndroidWIFIForm::onBtnConnect()
{
    static const QRegularExpression address(
            QStringLiteral("^([0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3})$"));
    const QRegularExpressionMatch match = address.match(txtWifiSocket->text().trimmed());
    if (!match.hasMatch()) {
        showWarning(ids("IDS_WIFI_SOCK_WRONG_FOR_EXAMPLE"));
        return;
    }
    ProgressForm form(ids("IDS_CONNECTING_ANDROID_DEVICE"), this);
    AndroidConnectWithWiFiThread job(match.captured(1), &form, this);
    job.device.port = m_controlPort;
    if (!form.runJob(&job))
        return;
    device = job.device;
    accept();
}
