#pragma once

// What the main-window tests share: the process set-up (English catalogue,
// no web service, no Apple libraries), emptying parts of the data folder,
// and reaching into the window's tree.
#include "tests/support/testenv.h"
#include "ui/itemmodelmain.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTranslator>
#include <QUrl>
#include <QWidget>

#include <initializer_list>

class MainWindow;
class ModalAnswerer;
class MyTreeView;

// A TestEnv that also loads the English catalogue and keeps the window from
// reaching anything outside the test. Call the set-up from initTestCase (an
// application must exist).
class WindowTestEnv : public TestEnv
{
public:
    // Loads and installs the English catalogue; false when it is missing.
    bool installTranslator();
    // No web service host (nothing is sent) and no support address.
    static void clearServiceHost();
    // No Apple libraries: the window subscribes to no device notifications.
    void hideAppleLibraries() const;
    // All three.
    bool setUp();

private:
    QTranslator m_translator;
};

// Records what the program hands to the desktop instead of opening it
// (install with QDesktopServices::setUrlHandler(scheme, &recorder, "open")).
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

// Removes the named subfolders of the data folder with all they hold.
void clearDataSubfolders(std::initializer_list<const char *> names);

// The child of the given object name; stops the test run when there is none.
template<typename T> T *child(QWidget &w, const char *name)
{
    T *c = w.findChild<T *>(QLatin1String(name));
    if (!c)
        qFatal("no child %s", name);
    return c;
}
MyTreeView *treeDS(QWidget &w);
MyTreeView *treeSMS(QWidget &w);

// Makes the node current in the source tree and lets queued calls run.
void selectNode(MainWindow &w, AbsTreeItemModel::_ItemNode *node);
// The local database of that name, or null.
_AbsDBItemNode *localDb(MainWindow &w, const QString &name);

// The texts of every box and dialog the answerer saw.
QStringList seenTexts(const ModalAnswerer &answerer);
// The texts of the message boxes only.
QStringList messageBoxTexts(const ModalAnswerer &answerer);
