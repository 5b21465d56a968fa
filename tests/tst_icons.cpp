#include <QIcon>
#include <QImage>
#include <QtTest>

// Every icon the window, menus, toolbar and dialogs name is compiled in,
// square, with a transparent ground, and reachable with or without the slash
// after the colon.
class TestIcons : public QObject
{
    Q_OBJECT

private slots:
    void named_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *n : {"devices", "databases", "iphone", "android", "database", "group",
                              "contact", "search", "backup", "a2i", "db2i", "export", "print",
                              "extract_media", "delete", "open_db_folder", "unmount", "exit",
                              "help", "a2a", "db2a", "i2a", "i2i", "home", "import_itunes",
                              "remove", "search_big"})
            QTest::newRow(n) << QString::fromLatin1(n);
    }
    void named()
    {
        QFETCH(QString, name);
        const QImage a(":res/" + name + ".png");
        const QImage b(":/res/" + name + ".png");
        QVERIFY2(!a.isNull(), qPrintable(name));
        QCOMPARE(a, b);
        QCOMPARE(a.width(), a.height());
        QVERIFY(a.width() >= 52);
        QVERIFY(a.hasAlphaChannel());
        QCOMPARE(qAlpha(a.pixel(0, a.height() - 1)) < 255 || name == "contact", true);
        QVERIFY(!QIcon(":res/" + name + ".png").pixmap(18, 18).isNull());
    }
};

QTEST_MAIN(TestIcons)
#include "tst_icons.moc"
