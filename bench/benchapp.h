#pragma once

// The set-up the benchmarks that start a Qt application share.
#include <QMessageLogContext>
#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace bench {

// Without a screen unless the caller chose a platform. Call before the
// application is made.
inline void offscreenUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Keeps the figures readable: warnings and errors go to stderr, debug lines
// nowhere.
inline void dropDebugMessages()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
}

} // namespace bench
