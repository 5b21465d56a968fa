#include "tests/support/pyplist.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace {

QString python()
{
    if (QFile::exists("/usr/bin/python3"))
        return "/usr/bin/python3";
    return QStandardPaths::findExecutable("python3");
}

const char *kPrelude = "import plistlib, datetime, sys\n"
                       "UTC = datetime.timezone.utc\n";

QByteArray runPython(const QString &script, const QStringList &args, const QByteArray &input,
                     bool *ok)
{
    QProcess p;
    p.start(python(), QStringList {"-c", QString::fromUtf8(kPrelude) + script} + args);
    if (!p.waitForStarted(10000)) {
        *ok = false;
        return "could not start python3";
    }
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    *ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return *ok ? p.readAllStandardOutput() : p.readAllStandardError();
}

} // namespace

namespace PyPlist {

QByteArray dump(const QString &pythonExpression, Format format)
{
    bool ok = false;
    const QByteArray out
            = runPython("v = eval(sys.argv[1])\n"
                        "fmt = plistlib.FMT_BINARY if sys.argv[2] == 'bin' else plistlib.FMT_XML\n"
                        "sys.stdout.buffer.write(plistlib.dumps(v, fmt=fmt, sort_keys=True))\n",
                        {pythonExpression, format == Binary ? "bin" : "xml"}, {}, &ok);
    if (!ok)
        qWarning("plistlib failed: %s", out.constData());
    return ok ? out : QByteArray();
}

QString compare(const QByteArray &plistBytes, const QString &pythonExpression)
{
    bool ok = false;
    const QByteArray out = runPython("got = plistlib.loads(sys.stdin.buffer.read())\n"
                                     "want = eval(sys.argv[1])\n"
                                     "if got != want: print('got  %r\\nwant %r' % (got, want))\n",
                                     {pythonExpression}, plistBytes, &ok);
    return QString::fromUtf8(out).trimmed();
}

QString quote(const QString &text)
{
    QString out = "'";
    for (QChar c : text) {
        if (c == '\\' || c == '\'')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "'";
}

} // namespace PyPlist
