#pragma once

#include "tests/support/modalanswerer.h"

#include <QStringList>

#include <functional>
#include <memory>

class ProgressForm;
class QThread;

// How a job run under its progress dialog came out.
struct JobOutcome
{
    bool ok = false;
    QStringList boxes; // texts of the message boxes shown, in order
    QStringList stuck;
    qint64 ms = 0;
};

// Runs job under form as an action would (ProgressForm::runJob), with the
// answers queued on answerer, then gathers the boxes it showed, waiting
// briefly for boxes of late reports. The caller sets the answerer's default
// box answer.
JobOutcome runJobUnderForm(ProgressForm &form, QThread *job, ModalAnswerer &answerer);

// The same with a fresh answerer that presses OK on every box.
JobOutcome runJobPressingOk(ProgressForm &form, QThread *job);

// Presses the dialog's Cancel and returns once the press has been handled
// (accepted or refused), even when the button is disabled already. Callable
// from any thread: from a worker it blocks until the dialog's thread has
// taken the press.
void pressCancelNow(ProgressForm &form);

// While it lives, presses Cancel (pressCancelNow) the first time the job
// passes the kill point named point: "commit-asked" is just before a job's
// point of no return, "commit-begun" just after it.
class CancelAtKillPoint
{
public:
    CancelAtKillPoint(ProgressForm &form, const char *point);
    ~CancelAtKillPoint();
    CancelAtKillPoint(const CancelAtKillPoint &) = delete;
    CancelAtKillPoint &operator=(const CancelAtKillPoint &) = delete;
    // Whether the point was reached (and Cancel pressed).
    bool pressed() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// An item hook for jobs that report each item done: once n items are done
// it presses the dialog's Cancel and lets the job go on only when the
// dialog has taken the press (or after 10 s).
std::function<void(int)> cancelAfterItems(ProgressForm &form, int n);
