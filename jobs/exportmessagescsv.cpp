#include "jobs/exportmessagescsv.h"

#include "store/emoji.h"
#include "store/msgutil.h"

namespace {

// Digits with an optional leading "+": a phone number, never a formula.
bool isPlainNumber(const QString &text)
{
    qsizetype i = text.startsWith(u'+') ? 1 : 0;
    if (i >= text.size())
        return false;
    for (; i < text.size(); ++i) {
        if (!text.at(i).isDigit() || text.at(i).unicode() > 0x7F)
            return false;
    }
    return true;
}

bool looksLikeFormula(const QString &text)
{
    if (text.isEmpty())
        return false;
    const QChar first = text.at(0);
    if (first != u'=' && first != u'+' && first != u'-' && first != u'@' && first != u'\t'
        && first != u'\r')
        return false;
    return !isPlainNumber(text);
}

} // namespace

QString csvField(const QString &raw)
{
    // NUL and the other controls XML forbids break the readers of the file.
    const QString text = withoutXmlForbidden(raw);
    if (text.isEmpty())
        return text;
    QString copy;
    copy.reserve(text.size() + 2);
    // Spreadsheets run a field that starts like a formula; the apostrophe
    // makes them show it as text.
    if (looksLikeFormula(text))
        copy += u'\'';
    bool quote = false;
    for (const QChar c : text) {
        if (c == u'"') {
            copy += u'"';
            quote = true;
        } else if (c == u',' || c == u'\n' || c == u'\r') {
            // A lone CR ends a record for many readers, so it is quoted too.
            quote = true;
        }
        copy += c;
    }
    return quote ? u'"' + copy + u'"' : copy;
}

ExportMessagesCsv::ExportMessagesCsv(const QString &path)
    : TextFileExport(path)
{ }

void ExportMessagesCsv::writeHeader()
{
    m_stream << "date"
             << ",send"
             << ",person"
             << ",number"
             << ",content";
    endLine();
}

void ExportMessagesCsv::write(_MsgMessage *message)
{
    if (!message || !isOpen())
        return;
    QString person;
    QString number;
    if (const _MsgChat *chat = message->chat) {
        if (chat->isGroup()) {
            person = chat->chat_identifier;
            number = chat->chat_identifier;
        } else {
            for (const _MsgHandle *h : chat->handles) {
                if (h) {
                    person = h->contactName;
                    number = h->id;
                    break;
                }
            }
        }
    }
    const QString date
            = iosDateToDateTime(message->date).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    m_stream << date << u',' << (message->is_from_me != 0 ? "1" : "0") << u',';
    writeText(csvField(person) + u',' + csvField(number) + u','
              + csvField(messagePlainText(*message)));
    endLine();
}
