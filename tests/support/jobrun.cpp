#include "tests/support/jobrun.h"

#include "store/progressform.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QtTest>

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
