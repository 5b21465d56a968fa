#pragma once

#include <QObject>
#include <QPoint>

class QWidget;

// Lets a frameless window be dragged with the left mouse button: an event
// filter on the window that follows press, move and release. Where the
// window system moves windows itself (Wayland), a left press hands the drag
// to the system instead. Create one per window (as a member of a dialog, or
// on the stack beside a message box); it has no QObject parent.
class WinMovable : public QObject
{
    Q_OBJECT
public:
    explicit WinMovable(QWidget *target);

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool startSystemMove();

    QWidget *m_target;
    QPoint m_pressPos;
    bool m_leftDown = false;
};
