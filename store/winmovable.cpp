#include "store/winmovable.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

WinMovable::WinMovable(QWidget *target)
    : QObject(nullptr)
    , m_target(target)
{
    if (m_target)
        m_target->installEventFilter(this);
}

bool WinMovable::startSystemMove()
{
    // Wayland clients may not place their own windows: only the compositor
    // can move them, and only when asked from a press.
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return false;
    QWidget *top = m_target->window();
    QWindow *handle = top ? top->windowHandle() : nullptr;
    return handle && handle->startSystemMove();
}

bool WinMovable::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_target)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *me = static_cast<QMouseEvent *>(event);
        m_pressPos = me->position().toPoint();
        m_leftDown = me->button() == Qt::LeftButton;
        if (m_leftDown && startSystemMove())
            m_leftDown = false; // the system drags; no moves of our own
        break;
    }
    case QEvent::MouseMove: {
        auto *me = static_cast<QMouseEvent *>(event);
        // A press at exactly (0, 0) never starts a drag.
        if (!m_pressPos.isNull() && m_leftDown)
            m_target->move(m_target->pos() + me->position().toPoint() - m_pressPos);
        break;
    }
    case QEvent::MouseButtonRelease:
        m_leftDown = false;
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
