#pragma once

// What every benchmark shares: timing rounds and the one result line per
// figure that tools/bench.sh collects into its table:
//
//   RESULT <name> <figure> <baseline> <ratio> <target> <pass|FAIL|->
//
// figure and baseline carry their unit (ms, MiB/s, KB/msg ...); target is
// "<=x" or ">=x" on the ratio, or "-" for a figure shown without one.

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline constexpr int kRounds = 3;

// Milliseconds of one call of f.
template<class F>
double timeMs(F &&f)
{
    QElapsedTimer t;
    t.start();
    f();
    return double(t.nsecsElapsed()) / 1e6;
}

// The best of rounds calls of f, in milliseconds.
template<class F>
double bestMs(F &&f, int rounds = kRounds)
{
    double best = 1e300;
    for (int i = 0; i < rounds; ++i)
        best = std::min(best, timeMs(f));
    return best;
}

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

enum class Want { AtMost, AtLeast, None };

// Prints a figure beside its baseline with the ratio and its target, and
// the machine-readable line; answers whether the target is met.
inline bool report(const char *name, double figure, double baseline, const char *unit,
                   Want want = Want::None, double target = 0, double ratio = -1)
{
    if (ratio < 0)
        ratio = baseline > 0 ? figure / baseline : 0;
    const bool pass = want == Want::None || (want == Want::AtMost ? ratio <= target
                                                                  : ratio >= target);
    char targetText[32] = "-";
    if (want != Want::None)
        std::snprintf(targetText, sizeof targetText, "%s%.2f", want == Want::AtMost ? "<=" : ">=",
                      target);
    std::printf("  %-34s %10.1f %-6s baseline %10.1f %-6s ratio %6.2f  target %-7s %s\n", name,
                figure, unit, baseline, unit, ratio, targetText,
                want == Want::None ? "" : (pass ? "pass" : "MISSED"));
    std::printf("RESULT %s %.1f%s %.1f%s %.2f %s %s\n", name, figure, unit, baseline, unit, ratio,
                targetText, want == Want::None ? "-" : (pass ? "pass" : "FAIL"));
    std::fflush(stdout);
    return pass;
}

} // namespace bench
