#include "store/messagebox.h"

#include "store/errorreport.h"
#include "store/stylesheet.h"
#include "store/texts.h"
#include "store/winmovable.h"

#include <QPushButton>

QString escapeForBox(const QString &text)
{
    // Quotes need no escape outside a tag: a text without "&", "<", ">" or a
    // line end stays as it is.
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    escaped.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    escaped.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    escaped.replace(QLatin1String("\r\n"), QLatin1String("<br/>"));
    escaped.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    return escaped;
}

QString boxTextOf(const std::exception &e)
{
    const QString text = QString::fromUtf8(e.what());
    if (dynamic_cast<const BoxTextError *>(&e))
        return text;
    return escapeForBox(text);
}

int showMessageBox(QMessageBox::Icon icon, const QString &text, int buttons)
{
    QMessageBox box(icon, productName(), text, QMessageBox::NoButton, nullptr);
    // Always HTML: left to Qt's guess, a text with an escaped name and no
    // tag would show its entities ("R&amp;D").
    box.setTextFormat(Qt::RichText);
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
    const QString support = supportAddress();
    showMessageBox(QMessageBox::Critical,
                   support.isEmpty() ? ids("IDS_AN_ERROR_OCCURRED_%1").arg(message)
                                     : ids("IDS_AN_ERROR_OCCURRED_%1_CONTACT_%2")
                                               .arg(message, escapeForBox(support)),
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
