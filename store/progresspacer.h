#pragma once

#include <QElapsedTimer>

// Paces a job's reports of how far it is: a report is due at the first
// step, when the percentage shown moves, when intervalMs have passed since
// the last one (for the count beside the bar) and at the last step. A report
// per step would keep the dialog's thread busy with nothing new to show.
class ProgressPacer
{
public:
    explicit ProgressPacer(qint64 intervalMs)
        : m_interval(intervalMs)
    { }
    // percent: what the bar would show now (-1 for none); last: the job's
    // last step. True when the caller should post a report now.
    bool due(int percent, bool last)
    {
        if (m_shown.isValid() && percent == m_percent && !last
            && m_shown.elapsed() < m_interval)
            return false;
        m_shown.start();
        m_percent = percent;
        return true;
    }

private:
    QElapsedTimer m_shown;
    qint64 m_interval;
    int m_percent = -1;
};
