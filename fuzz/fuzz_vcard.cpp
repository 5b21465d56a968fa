// vCard attachments come from strangers' messages: any input parses without
// harm, every value can be read as text and split, and every card read
// writes out to bytes that read back to the same card.
#include "jobs/vcard.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool isEncodingParam(const QString &key)
{
    for (const char *name : {"ENCODING", "QUOTED-PRINTABLE", "BASE64", "B", "8BIT"}) {
        if (key.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// The parameters apart from those naming an encoding, which the writer may
// change to carry the same value, and one without a name (a NUL in first
// place), which has no written form.
QMap<QString, QString> plainParams(QMap<QString, QString> params)
{
    for (auto it = params.begin(); it != params.end();)
        it = isEncodingParam(it.key()) || it.key().isEmpty() ? params.erase(it) : std::next(it);
    return params;
}

bool sameCard(const VCard &a, const VCard &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].value != b[i].value
            || plainParams(a[i].parameters) != plainParams(b[i].parameters))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<VCard> cards = parseVCards(bytes);
    for (VCard &card : cards) {
        for (const VCardProperty &p : card) {
            (void)vCardValueText(p);
            (void)splitVCardValue(p);
        }
        (void)indexVCardProperties(card);
        const QList<VCard> back = parseVCards(writeVCard(card));
        if (back.size() != 1 || !sameCard(back.first(), card))
            std::abort();
    }
    // The encoders' output reads back to the bytes encoded.
    const QList<VCard> qp
            = parseVCards("BEGIN:VCARD\r\nX;QUOTED-PRINTABLE:"
                          + encodeQuotedPrintable(bytes, int(size % 90)) + "\r\nPHOTO;ENCODING=B:"
                          + foldBase64Lines(bytes, int(size % 80)) + "\r\nEND:VCARD\r\n");
    if (qp.size() != 1 || qp[0].size() != 2 || qp[0][0].value != bytes || qp[0][1].value != bytes)
        std::abort();
    return 0;
}
