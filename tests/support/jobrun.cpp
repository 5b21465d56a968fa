#include "tests/support/jobrun.h"

#include "store/progressform.h"
#include "store/swapjournal.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QtTest>

#include <atomic>

JobOutcome runJobUnderForm(ProgressForm &form, QThread *job, ModalAnswerer &answerer)
{
    JobOutcome out;
    QElapsedTimer timer;
    timer.start();
    out.ok = form.runJob(job);
    out.ms = timer.elapsed();
    QTest::qWait(20); // boxes of late reports, if any
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == QLatin1String("QMessageBox"))
            out.boxes << s.text;
    out.stuck = answerer.stuck();
    return out;
}

JobOutcome runJobPressingOk(ProgressForm &form, QThread *job)
{
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    return runJobUnderForm(form, job, answerer);
}

std::function<void(int)> cancelAfterItems(ProgressForm &form, int n)
{
    return [&form, n](int done) {
        if (done != n)
            return;
        QMetaObject::invokeMethod(
                &form, [&form] { ModalAnswerer::clickButton(&form, QStringLiteral("btnCancel")); },
                Qt::QueuedConnection);
        QElapsedTimer t;
        t.start();
        while (!form.failed && t.elapsed() < 10000)
            QThread::msleep(2);
    };
}

void pressCancelNow(ProgressForm &form)
{
    // The press goes to the dialog's slot even when the button has been
    // disabled already: a press that races the disabling must be refused
    // by the dialog itself.
    auto press = [&form] { QMetaObject::invokeMethod(&form, "cancel", Qt::DirectConnection); };
    if (QThread::currentThread() == form.thread())
        press();
    else
        QMetaObject::invokeMethod(&form, press, Qt::BlockingQueuedConnection);
}

struct CancelAtKillPoint::State
{
    QByteArray point;
    std::atomic_bool pressed {false};
};

CancelAtKillPoint::CancelAtKillPoint(ProgressForm &form, const char *point)
    : m_state(std::make_shared<State>())
{
    m_state->point = point;
    std::shared_ptr<State> state = m_state;
    setKillPointHook([state, &form](const char *reached) {
        if (state->point != reached || state->pressed.exchange(true))
            return;
        pressCancelNow(form);
    });
}

CancelAtKillPoint::~CancelAtKillPoint()
{
    setKillPointHook({});
}

bool CancelAtKillPoint::pressed() const
{
    return m_state->pressed;
}
