#pragma once

#include <QString>

class QWidget;

// Saves a picture of the widget as <name>.png in the folder named by the
// environment variable PEL_SHOT_DIR, when it is set (run a GUI test under
// xvfb-run with QT_QPA_PLATFORM=xcb to look at its windows); else nothing.
void saveShot(QWidget *widget, const QString &name);
