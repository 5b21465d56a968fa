#include "jobs/exportmessagestxt.h"

#include "store/emoji.h"
#include "store/msgutil.h"
#include "store/texts.h"

#include <QLocale>

namespace {

constexpr int kDateWidth = 30;
constexpr int kFlagWidth = 6;
constexpr int kNameWidth = 40;

// One line of text: CRs and the control characters XML forbids (NUL...)
// dropped, every LF a space.
QString oneLine(QString text)
{
    text = withoutXmlForbidden(text);
    text.remove(u'\r');
    text.replace(u'\n', u' ');
    return text;
}

} // namespace

ExportMessagesTxt::ExportMessagesTxt(const QString &path)
    : TextFileExport(path)
{ }

void ExportMessagesTxt::writeHeader()
{
    m_stream.setFieldAlignment(QTextStream::AlignLeft);
    m_stream << qSetFieldWidth(kDateWidth) << "Date" << qSetFieldWidth(kFlagWidth) << "Flag"
             << qSetFieldWidth(kNameWidth) << "Name" << qSetFieldWidth(0) << "Message";
    endLine();
}

void ExportMessagesTxt::write(_MsgMessage *message)
{
    if (!message || !isOpen())
        return;
    const QString text = oneLine(messagePlainText(*message));
    const QString date
            = QLocale::system().toString(iosDateToDateTime(message->date), QLocale::ShortFormat);
    QString flag;
    if (message->item_type == 0)
        flag = message->is_from_me ? QStringLiteral("To") : QStringLiteral("From");
    // A conversation's name may hold line breaks too; they must not break
    // the line.
    const QString name
            = message->chat ? oneLine(chatDisplayName(*message->chat, false)) : ids("Unknown");
    m_stream << qSetFieldWidth(kDateWidth) << date << qSetFieldWidth(kFlagWidth) << flag
             << qSetFieldWidth(kNameWidth) << name << qSetFieldWidth(0) << text;
    endLine();
}
