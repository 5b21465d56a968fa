#pragma once

#include "tests/support/modalanswerer.h"

#include <QStringList>

#include <functional>

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

// An item hook for jobs that report each item done: once n items are done
// it presses the dialog's Cancel and lets the job go on only when the
// dialog has ended (or after 10 s).
std::function<void(int)> cancelAfterItems(ProgressForm &form, int n);
