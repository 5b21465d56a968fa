#include "tests/support/screenshot.h"

#include <QDir>
#include <QPixmap>
#include <QWidget>

void saveShot(QWidget *widget, const QString &name)
{
    const QString dir = qEnvironmentVariable("PEL_SHOT_DIR");
    if (dir.isEmpty() || !widget)
        return;
    QDir().mkpath(dir);
    widget->grab().save(QDir(dir).absoluteFilePath(name + QStringLiteral(".png")));
}
