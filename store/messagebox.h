#pragma once

#include <QMessageBox>
#include <QString>

#include <stdexcept>

// The modal, frameless, draggable boxes through which the program talks to
// the user. A box's text is always HTML ("<br/>", links, entities): whatever
// goes into it from outside the program's own texts (a device, file or folder
// name, a number, a message, an error text) goes through escapeForBox, so
// that it shows as typed. GUI thread only; worker threads reach the user
// through their progress dialog.
//
// The buttons carry the object names "btnYes", "btnNo", "btnOk" and
// "btnCancel".

// The text as a box shows it, character for character: HTML-escaped, its
// line ends as line breaks.
QString escapeForBox(const QString &text);

// An error whose text is written for a box (line breaks as "<br/>",
// entities); the text of any other exception is plain text.
class BoxTextError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The exception's text (UTF-8) as a box shows it: a BoxTextError's as it
// stands, any other's through escapeForBox.
QString boxTextOf(const std::exception &e);

// Shows a box with the standard buttons of the mask (Yes, No, Ok, Cancel; any
// other bit is ignored) and returns the QMessageBox::StandardButton that
// closed it. An empty mask leaves the button to Qt (its default Ok).
int showMessageBox(QMessageBox::Icon icon, const QString &text, int buttons);

// The error box around the message, then the error report of the message.
// The box ends with the sentence naming the support address when the build
// has one (supportAddress).
void showError(const QString &message);
// An error box with the text as it stands, then its error report.
void showCritical(const QString &text);
void showInfo(const QString &text);
void showWarning(const QString &text);
// True only when the user answered Yes.
bool askQuestion(const QString &text);
