// The built program as a real X client: tools/screenshot.sh runs it under
// Xvfb on a generated data folder, opens a database and a conversation, and
// grabs the screen; the three panes must show something.
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct RegionLook
{
    int colours = 0; // distinct colours
    double dark = 0; // share of dark pixels (text, outlines)
};

RegionLook look(const QImage &img, const QRect &r)
{
    QSet<QRgb> colours;
    qint64 dark = 0;
    qint64 all = 0;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb p = img.pixel(x, y);
            colours.insert(p);
            if (qGray(p) < 110)
                ++dark;
            ++all;
        }
    }
    return {int(colours.size()), all ? double(dark) / double(all) : 0};
}

} // namespace

class TestScreenshot : public QObject
{
    Q_OBJECT
private slots:
    void windowShowsThreePanes()
    {
        for (const char *tool : {"xvfb-run", "xdotool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
        }
        const QString bin = qEnvironmentVariable("PEL_TEST_BIN");
        QVERIFY2(!bin.isEmpty(), "PEL_TEST_BIN is not set");
        QTemporaryDir out;
        const QString png = out.filePath("window.png");

        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PEL_BUILD_DIR", QDir(bin).absoluteFilePath(".."));
        env.remove("QT_QPA_PLATFORM");
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("bash", {QStringLiteral(PEL_SOURCE_DIR "/tools/screenshot.sh"), png});
        QVERIFY(p.waitForFinished(240000));
        QVERIFY2(p.exitCode() == 0, p.readAll().constData());

        const QImage img(png);
        QVERIFY(!img.isNull());
        QVERIFY(img.width() >= 1000 && img.height() >= 680);
        // Tree (names of the sources and conversations), list (rows of
        // dates and texts), conversation view (bubbles).
        const RegionLook tree = look(img, QRect(5, 110, 190, 500));
        const RegionLook list = look(img, QRect(205, 130, 430, 480));
        const RegionLook bubbles = look(img, QRect(660, 120, 320, 520));
        qInfo("tree %d colours %.3f dark; list %d, %.3f; bubbles %d, %.3f", tree.colours, tree.dark,
              list.colours, list.dark, bubbles.colours, bubbles.dark);
        QVERIFY(tree.colours > 20 && tree.dark > 0.01);
        QVERIFY(list.colours > 20 && list.dark > 0.02);
        QVERIFY(bubbles.colours > 20 && bubbles.dark > 0.01);
    }
};

QTEST_GUILESS_MAIN(TestScreenshot)
#include "tst_screenshot.moc"
