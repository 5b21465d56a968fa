#pragma once

#include <QMessageBox>
#include <QString>

// The modal, frameless, draggable boxes through which the program talks to
// the user. Texts may hold "<br/>" and other HTML: Qt's rich-text detection
// shows them as such. GUI thread only; worker threads reach the user through
// their progress dialog.
//
// The buttons carry the object names "btnYes", "btnNo", "btnOk" and
// "btnCancel".

// Shows a box with the standard buttons of the mask (Yes, No, Ok, Cancel; any
// other bit is ignored) and returns the QMessageBox::StandardButton that
// closed it. An empty mask leaves the button to Qt (its default Ok).
int showMessageBox(QMessageBox::Icon icon, const QString &text, int buttons);

// The error box around the message, then the error report of the message.
void showError(const QString &message);
// An error box with the text as it stands, then its error report.
void showCritical(const QString &text);
void showInfo(const QString &text);
void showWarning(const QString &text);
// True only when the user answered Yes.
bool askQuestion(const QString &text);
