#include "tests/support/testenv.h"

#include <QDir>

TestEnv::TestEnv()
{
    qputenv("HOME", m_dir.path().toUtf8());
    qputenv("XDG_DATA_HOME", (m_dir.path() + "/.local/share").toUtf8());
    qputenv("XDG_CACHE_HOME", (m_dir.path() + "/.cache").toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/.config").toUtf8());
}

QString TestEnv::makeDir(const QString &name) const
{
    QDir d(m_dir.path());
    d.mkpath(name);
    return d.absoluteFilePath(name);
}
