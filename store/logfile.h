#pragma once

#include <QString>
#include <QtGlobal>

// Sends every Qt message of the process to "log-yyyyMMdd.txt" in folder (the
// date of the run's first message), one line per message, and keeps only the
// keep files with the greatest names that were there before. Debug messages
// also go to standard output; a fatal message aborts once its line is on disk.
void installLogHandler(const QString &folder, int keep);
// Restores Qt's default handling and closes the log file.
void uninstallLogHandler();

// The handler itself (installed by installLogHandler).
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The line written for a message (time as "hh:mm:ss").
QString logLine(QtMsgType type, const QString &time, const QString &message);
