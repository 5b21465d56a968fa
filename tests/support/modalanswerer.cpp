#include "tests/support/modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QMessageBox>
#include <QTextDocument>

ModalAnswerer::ModalAnswerer(int intervalMs, QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::tick);
    m_timer.start();
}

ModalAnswerer::~ModalAnswerer() = default;

ModalAnswerer &ModalAnswerer::press(const QString &target, const QString &button)
{
    m_queue.append({target, button, {}, button});
    return *this;
}

ModalAnswerer &ModalAnswerer::act(const QString &target, std::function<void(QWidget *)> action,
                                  const QString &label)
{
    m_queue.append({target, {}, std::move(action), label});
    return *this;
}

QWidget *ModalAnswerer::activeModal()
{
    QWidget *w = QApplication::activeModalWidget();
    return w && w->isVisible() ? w : nullptr;
}

bool ModalAnswerer::matches(QWidget *w, const QString &target)
{
    return target.isEmpty() || w->objectName() == target
            || w->inherits(target.toLatin1().constData());
}

bool ModalAnswerer::clickButton(QWidget *w, const QString &button)
{
    QAbstractButton *b = w->findChild<QAbstractButton *>(button);
    if (!b) {
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            static const QList<std::pair<QString, QMessageBox::StandardButton>> standard = {
                    {QStringLiteral("btnOk"), QMessageBox::Ok},
                    {QStringLiteral("btnYes"), QMessageBox::Yes},
                    {QStringLiteral("btnNo"), QMessageBox::No},
                    {QStringLiteral("btnCancel"), QMessageBox::Cancel},
            };
            for (const auto &[name, sb] : standard) {
                if (name == button)
                    b = box->button(sb);
            }
        }
    }
    if (!b) {
        const auto buttons = w->findChildren<QAbstractButton *>();
        for (QAbstractButton *candidate : buttons) {
            if (candidate->text().remove(QLatin1Char('&')) == button) {
                b = candidate;
                break;
            }
        }
    }
    if (!b || !b->isEnabled())
        return false;
    b->click();
    return true;
}

void ModalAnswerer::record(QWidget *w, const QString &answer)
{
    Seen s;
    s.className = QString::fromLatin1(w->metaObject()->className());
    s.objectName = w->objectName();
    s.title = w->windowTitle();
    s.text = s.title;
    if (auto *box = qobject_cast<QMessageBox *>(w)) {
        s.text = box->text();
        s.icon = box->icon();
        // Read as Qt reads it: as markup when the box says so or, left to
        // Qt, when the text looks like markup.
        const bool rich = box->textFormat() == Qt::RichText
                || (box->textFormat() == Qt::AutoText && Qt::mightBeRichText(box->text()));
        if (rich) {
            QTextDocument doc;
            doc.setHtml(box->text());
            s.shown = doc.toPlainText();
        } else {
            s.shown = box->text();
        }
    }
    s.answer = answer;
    m_seen.append(s);
}

void ModalAnswerer::tick()
{
    // An answer may run a nested event loop (a box opened by a click): the
    // timer fires inside it, and that inner tick must not re-enter.
    if (m_inTick)
        return;
    QWidget *w = activeModal();
    if (!w) {
        m_waitingOn.clear();
        return;
    }
    m_inTick = true;
    struct Reset
    {
        bool &flag;
        ~Reset() { flag = false; }
    } reset {m_inTick};

    if (!m_queue.isEmpty() && matches(w, m_queue.first().target)) {
        const Answer a = m_queue.takeFirst();
        record(w, a.label);
        m_waitingOn.clear();
        // The answer may open another modal widget and run its loop, so
        // nothing of this tick is touched afterwards.
        m_inTick = false;
        if (a.action)
            a.action(w);
        else if (!clickButton(w, a.button))
            qWarning("ModalAnswerer: no usable button %s on %s", qPrintable(a.button),
                     w->metaObject()->className());
        return;
    }
    if (!m_defaultBox.isEmpty() && qobject_cast<QMessageBox *>(w)) {
        record(w, m_defaultBox);
        m_waitingOn.clear();
        m_inTick = false;
        clickButton(w, m_defaultBox);
        return;
    }

    if (m_waitingOn != w) {
        m_waitingOn = w;
        m_waitingSince.start();
        return;
    }
    const int stuckMs = w->inherits("ProgressForm") ? m_progressStuckMs : m_stuckMs;
    if (stuckMs > 0 && m_waitingSince.elapsed() > stuckMs) {
        QString text = w->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(w))
            text = box->text();
        m_stuck.append(QString::fromLatin1(w->metaObject()->className()) + QStringLiteral(": ")
                       + text);
        qWarning("ModalAnswerer: nobody answered %s", qPrintable(m_stuck.last()));
        m_waitingOn.clear();
        m_inTick = false;
        if (auto *dlg = qobject_cast<QDialog *>(w))
            dlg->done(0);
        else
            w->close();
    }
}

bool ModalAnswerer::waitAnswered(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_seen.size() < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return m_seen.size() >= count;
}
