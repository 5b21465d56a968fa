#include "tests/support/windowtest.h"

#include "store/datafolder.h"
#include "tests/support/modalanswerer.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QDir>

bool WindowTestEnv::installTranslator()
{
    if (!m_translator.load(QStringLiteral(":/en.qm")))
        return false;
    QCoreApplication::installTranslator(&m_translator);
    return true;
}

void WindowTestEnv::clearServiceHost()
{
    qputenv("PELICORDE_SERVICE_HOST", "");
    // Error boxes read the same whatever support address the build names.
    qputenv("PELICORDE_SUPPORT_ADDRESS", "");
}

void WindowTestEnv::hideAppleLibraries() const
{
    qputenv("PELICORDE_APPLE_LIB_DIR", makeDir("no-apple").toUtf8());
}

bool WindowTestEnv::setUp()
{
    clearServiceHost();
    hideAppleLibraries();
    return installTranslator();
}

void clearDataSubfolders(std::initializer_list<const char *> names)
{
    const QDir data = dataFolder();
    for (const char *sub : names)
        removeFolderRecursively(data.absoluteFilePath(QLatin1String(sub)));
}

MyTreeView *treeDS(QWidget &w)
{
    return child<MyTreeView>(w, "treeViewDS");
}

MyTreeView *treeSMS(QWidget &w)
{
    return child<MyTreeView>(w, "treeViewSMS");
}

void selectNode(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
{
    treeDS(w)->setCurrentIndex(w.treeModelObject()->indexForNode(node));
    QCoreApplication::processEvents();
}

_AbsDBItemNode *localDb(MainWindow &w, const QString &name)
{
    for (auto *n : w.treeModelObject()->localDbRoot->children)
        if (n->text == name)
            return static_cast<_AbsDBItemNode *>(n);
    return nullptr;
}

QStringList seenTexts(const ModalAnswerer &answerer)
{
    QStringList out;
    for (const ModalAnswerer::Seen &s : answerer.seen())
        out << s.text;
    return out;
}

QStringList messageBoxTexts(const ModalAnswerer &answerer)
{
    QStringList out;
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == QLatin1String("QMessageBox"))
            out << s.text;
    return out;
}
