#include <QFile>
#include <QTranslator>
#include <QtTest>

// The program's embedded resources are registered before main and the
// English catalogue resolves the keys it carries.
class TestSkeleton : public QObject
{
    Q_OBJECT
private slots:
    void catalogueIsEmbedded()
    {
        QVERIFY(QFile::exists(":/en.qm"));
        QTranslator tr;
        QVERIFY(tr.load(":/en.qm"));
        QCOMPARE(tr.translate("Pelicorde", "IDS_APP_NAME"), QString("Pelicorde"));
    }
};

QTEST_GUILESS_MAIN(TestSkeleton)
#include "tst_skeleton.moc"
