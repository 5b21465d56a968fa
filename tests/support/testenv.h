#pragma once

#include <QTemporaryDir>
#include <QString>

// Points HOME and XDG_DATA_HOME at a fresh temporary folder for the life of
// the test process, so that nothing a test does reaches the real data folder.
// Create one before the first call into the data folder (its path is cached
// per process).
class TestEnv
{
public:
    TestEnv();
    QString home() const { return m_dir.path(); }
    // A new empty folder below the temporary home.
    QString makeDir(const QString &name) const;

private:
    QTemporaryDir m_dir;
};
