#pragma once

// Set-up shared by the targets that read what a phone's services send
// through our CoreFoundation stand-in (PEL_FUZZ_CF_LIBRARY, built
// instrumented beside each target).
#include "iphone/applelibrary.h"
#include "iphone/mobiledevice.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

// Loaded before the fuzzing starts, so that the library's coverage counts
// from the first input.
inline void loadCoreFoundationStandIn()
{
    coreFoundationLibrary.setFileName(QStringLiteral(PEL_FUZZ_CF_LIBRARY));
    if (!coreFoundationLibrary.load()) {
        std::fprintf(stderr, "cannot load %s: %s\n", PEL_FUZZ_CF_LIBRARY,
                     qPrintable(coreFoundationLibrary.errorString()));
        std::abort();
    }
}

// Reads end at the hang-up; the time limits only bound a stuck run. The
// message limits are a sixteenth of the program's: a message at them costs
// the instrumented reader, its copies and their XML some 100 MB, well within
// the run's memory limit.
inline void boundServiceReads()
{
    mobiledevice::setServiceTimeoutMs(1000);
    mobiledevice::setLengthTimeoutMs(1000);
    mobiledevice::MessageLimits limits;
    limits.values /= 16;
    limits.bytes /= 16;
    mobiledevice::setMessageLimits(limits);
}
