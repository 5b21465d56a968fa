#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

// Answers modal dialogs and message boxes from a timer, so that offscreen
// tests can drive code that runs them with exec(): jobs under a progress
// dialog, actions that ask a question, errors that show a box.
//
// Answers are queued in order; each names the widget it is meant for (a class
// it inherits, such as "QMessageBox", or its object name, such as
// "ProgressForm") and what to do: click a button found by object name
// ("btnOk", "btnYes", "btnCancel" ...; on a message box also by its standard
// button or its text), or run a function. On every tick the active modal
// widget gets the first queued answer when it is the widget named there; a
// widget left unanswered longer than the stuck time is ended with done(0)
// and listed in stuck(), so that a forgotten box fails the test instead of
// hanging it.
//
//     ModalAnswerer answerer;
//     answerer.press("QMessageBox", "btnYes");
//     QVERIFY(askQuestion("Go on?"));
//     QCOMPARE(answerer.seen().at(0).text, QString("Go on?"));
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    struct Seen
    {
        QString className; // of the widget answered
        QString objectName;
        QString title; // window title
        QString text; // a message box's text; else the window title
        QString shown; // what a message box shows of its text, line breaks as "\n"
        int icon = 0; // a message box's QMessageBox::Icon
        QString answer; // the button or the label of the action
    };

    explicit ModalAnswerer(int intervalMs = 20, QObject *parent = nullptr);
    ~ModalAnswerer() override;

    // Queues a click on the button of the next modal widget matching target.
    ModalAnswerer &press(const QString &target, const QString &button);
    // Queues a function run on the next modal widget matching target.
    ModalAnswerer &act(const QString &target, std::function<void(QWidget *)> action,
                       const QString &label = QStringLiteral("(action)"));
    // Clicks this button on every message box that no queued answer is for;
    // empty (the default) leaves such boxes to the stuck time.
    void setDefaultBoxAnswer(const QString &button) { m_defaultBox = button; }
    // A progress dialog ends by itself when its job ends: unless a stuck
    // time is set here, it gets a longer one (a job may take long on a slow
    // machine).
    void setStuckTimeout(int ms) { m_stuckMs = m_progressStuckMs = ms; }

    int pending() const { return int(m_queue.size()); }
    const QList<Seen> &seen() const { return m_seen; }
    // Modal widgets ended because nobody answered them ("Class: text").
    const QStringList &stuck() const { return m_stuck; }

    // Runs the event loop until count answers in all were given.
    bool waitAnswered(int count, int timeoutMs = 10000);

    // The widget the user would have to answer now, or null.
    static QWidget *activeModal();
    // Clicks the named button of w; false when there is none or it is disabled.
    static bool clickButton(QWidget *w, const QString &button);

private:
    struct Answer
    {
        QString target;
        QString button;
        std::function<void(QWidget *)> action;
        QString label;
    };

    void tick();
    static bool matches(QWidget *w, const QString &target);
    void record(QWidget *w, const QString &answer);

    QTimer m_timer;
    QList<Answer> m_queue;
    QList<Seen> m_seen;
    QStringList m_stuck;
    QString m_defaultBox;
    int m_stuckMs = 20000;
    int m_progressStuckMs = 180000;
    QPointer<QWidget> m_waitingOn;
    QElapsedTimer m_waitingSince;
    bool m_inTick = false;
};
