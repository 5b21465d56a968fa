#include "tests/support/testenv.h"

#include "android/simpleprotocol.h"

#include <QDir>
#include <QRandomGenerator>

TestEnv::TestEnv()
{
    qputenv("HOME", m_dir.path().toUtf8());
    qputenv("XDG_DATA_HOME", (m_dir.path() + "/.local/share").toUtf8());
    qputenv("XDG_CACHE_HOME", (m_dir.path() + "/.cache").toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/.config").toUtf8());
    // Session ports follow the clock and a counter, so that test programs
    // run side by side would ask their phones for the same ports in the
    // same second: each starts its counter at a place of its own.
    for (int i = QRandomGenerator::global()->bounded(1, 99); i > 0; --i)
        simpleprotocol::nextSessionPort();
}

QString TestEnv::makeDir(const QString &name) const
{
    QDir d(m_dir.path());
    d.mkpath(name);
    return d.absoluteFilePath(name);
}
