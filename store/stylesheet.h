#pragma once

#include <QString>

// The application style sheet, read once from the resource ":style.css" and
// kept for the life of the process. Every main window, dialog and message box
// sets it as its own style sheet. Empty (Qt's default look) when the resource
// cannot be read; the next call then tries again. GUI thread only.
QString appStyleSheet();
