#include "store/messagebox.h"

#include "store/errorreport.h"
#include "store/stylesheet.h"
#include "store/texts.h"
#include "store/winmovable.h"

#include <QPushButton>

int showMessageBox(QMessageBox::Icon icon, const QString &text, int buttons)
{
    QMessageBox box(icon, productName(), text, QMessageBox::NoButton, nullptr);
    WinMovable movable(&box);
    box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box.setStyleSheet(appStyleSheet());

    static const struct
    {
        QMessageBox::StandardButton button;
        const char *name;
    } kButtons[] = {
            {QMessageBox::Yes, "btnYes"},
            {QMessageBox::No, "btnNo"},
            {QMessageBox::Ok, "btnOk"},
            {QMessageBox::Cancel, "btnCancel"},
    };
    for (const auto &b : kButtons) {
        if (buttons & b.button)
            box.addButton(b.button)->setObjectName(QLatin1String(b.name));
    }
    return box.exec();
}

void showError(const QString &message)
{
    showMessageBox(
            QMessageBox::Critical,
            ids("IDS_AN_ERROR_OCCURRED_%1_CONTACT_%2").arg(message, ids("IDS_SUPPORT_CONTACT")),
            QMessageBox::Ok);
    sendErrorReport(message);
}

void showCritical(const QString &text)
{
    showMessageBox(QMessageBox::Critical, text, QMessageBox::Ok);
    sendErrorReport(text);
}

void showInfo(const QString &text)
{
    showMessageBox(QMessageBox::Information, text, QMessageBox::Ok);
}

void showWarning(const QString &text)
{
    showMessageBox(QMessageBox::Warning, text, QMessageBox::Ok);
}

bool askQuestion(const QString &text)
{
    return showMessageBox(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No)
            == QMessageBox::Yes;
}
