#include "store/logfile.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTime>

#include <cstdio>
#include <cstdlib>

namespace {

// The log's state lives in one heap object that is never destroyed, so that
// a message sent while other static objects are being torn down still finds a
// valid lock and file; the handler is also removed at exit before that.
struct LogState
{
    QMutex lock;
    QString folder;
    QFile file;
    bool installed = false;
};

LogState &state()
{
    static LogState *s = new LogState;
    return *s;
}

void restoreDefaultAtExit()
{
    uninstallLogHandler();
}

bool openLogFile(LogState &s)
{
    if (s.file.isOpen())
        return true;
    const QString name = QStringLiteral("log-%1.txt")
                                 .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    QDir dir(s.folder);
    if (!dir.exists())
        QDir().mkpath(s.folder);
    s.file.setFileName(dir.absoluteFilePath(name));
    return s.file.open(QIODevice::ReadWrite | QIODevice::Append);
}

} // namespace

QString logLine(QtMsgType type, const QString &time, const QString &message)
{
    QString prefix;
    switch (type) {
    case QtDebugMsg:
        prefix = QStringLiteral("(D ");
        break;
    case QtWarningMsg:
        prefix = QStringLiteral("(W ");
        break;
    case QtCriticalMsg:
        prefix = QStringLiteral("(C ");
        break;
    case QtFatalMsg:
        prefix = QStringLiteral("(F ");
        break;
    default:
        prefix = QStringLiteral("(");
        break;
    }
    // Concatenation, not arg(): a "%" in the message is written as it is.
    return prefix + time + QStringLiteral(") ") + message + QLatin1Char('\n');
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    LogState &s = state();
    QMutexLocker lock(&s.lock);
    const bool open = openLogFile(s);
    const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
    if (type == QtDebugMsg) {
        const QByteArray out = message.toUtf8() + '\n';
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        std::fflush(stdout);
    }
    if (open) {
        s.file.write(logLine(type, time, message).toUtf8());
        s.file.flush();
    }
    if (type == QtFatalMsg)
        std::abort();
}

void installLogHandler(const QString &folder, int keep)
{
    LogState &s = state();
    {
        QMutexLocker lock(&s.lock);
        s.folder = folder;
        if (s.file.isOpen())
            s.file.close();
        QDir dir(folder);
        if (dir.exists()) {
            const QFileInfoList files = dir.entryInfoList(QDir::Files, QDir::Name);
            for (qsizetype i = 0; i < files.size() - qMax(keep, 0); ++i)
                QFile::remove(files[i].absoluteFilePath());
        }
        if (!s.installed) {
            s.installed = true;
            std::atexit(restoreDefaultAtExit);
        }
    }
    qInstallMessageHandler(logMessageHandler);
}

void uninstallLogHandler()
{
    qInstallMessageHandler(nullptr);
    LogState &s = state();
    QMutexLocker lock(&s.lock);
    if (s.file.isOpen())
        s.file.close();
}
