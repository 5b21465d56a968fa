// Work on one phone at a time: arrivals, loads and transfers hold back a
// second announcement of the phone they work on.
#include "ui/mainwindow.h"

MainWindow::PhoneWork::PhoneWork(MainWindow *window, int kind, const QString &id)
    : window(window)
    , kind(kind)
    , id(id)
{
    window->m_phoneWork.append(this);
}

MainWindow::PhoneWork::~PhoneWork()
{
    window->m_phoneWork.removeOne(this);
    if (!m_held || (m_heldRepeats && shown))
        return;
    // Queued: it runs once the slot that ran this work has returned to the
    // event loop, and not at all when the window is gone by then.
    QMetaObject::invokeMethod(window, std::move(m_held), Qt::QueuedConnection);
}

void MainWindow::PhoneWork::holdBack(std::function<void()> announcement, bool repeat)
{
    m_held = std::move(announcement);
    m_heldRepeats = repeat;
}

MainWindow::PhoneWork *MainWindow::phoneWorkOn(int kind, const QString &id) const
{
    if (id.isEmpty())
        return nullptr;
    for (PhoneWork *work : m_phoneWork)
        if (work->kind == kind && work->id == id)
            return work;
    return nullptr;
}
