#include "store/countryinfo.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>

namespace {

// Compiled mobile patterns, per thread: a library has one country, but every
// handle of a loaded database goes through it, and the longest patterns run
// to a thousand characters.
const QRegularExpression &compiledPattern(const QString &pattern)
{
    thread_local QHash<QString, QRegularExpression> cache;
    auto it = cache.constFind(pattern);
    if (it == cache.constEnd()) {
        if (cache.size() >= 64)
            cache.clear();
        QRegularExpression rx(pattern);
        rx.optimize();
        it = cache.insert(pattern, rx);
    }
    return *it;
}

bool hasAddressCharacter(const QString &number)
{
    for (QChar c : number) {
        const char16_t u = c.unicode();
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '@')
            return true;
    }
    return false;
}

QString digitsAndPlus(const QString &number)
{
    QString out;
    out.reserve(number.size());
    for (QChar c : number) {
        const char16_t u = c.unicode();
        if ((u >= '0' && u <= '9') || u == '+')
            out.append(c);
    }
    return out;
}

} // namespace

bool _CountryInfo::isNumberLength(int n) const
{
    const QStringList parts = numc.split(QLatin1Char(','));
    for (const QString &part : parts) {
        bool ok = false;
        int v = part.toInt(&ok, 10);
        if (!ok)
            v = 0;
        if (v == n)
            return true;
    }
    return false;
}

bool _CountryInfo::matchesMobileNumber(const QString &number) const
{
    if (mobilePattern.isEmpty())
        return false;
    const QRegularExpression &rx = compiledPattern(mobilePattern);
    return rx.isValid() && rx.match(number).hasMatch();
}

QString normalizeNumber(const _CountryInfo &country, const QString &number)
{
    if (hasAddressCharacter(number))
        return number.toLower();

    const QString digits = digitsAndPlus(number);
    // No digit at all: a withheld sender, or only blanks, dashes and "+".
    // It stays empty rather than becoming "+" and a bare calling code,
    // which would merge every such sender into one correspondent.
    if (!std::any_of(digits.cbegin(), digits.cend(), [](QChar c) { return c != u'+'; }))
        return QString();
    if (digits.contains(QLatin1Char('+')))
        return digits;

    const QString &pnum = country.pnum;
    if (pnum.isEmpty())
        return digits;
    const int len = digits.size();

    if (country.isNumberLength(len) && country.matchesMobileNumber(digits))
        return QLatin1Char('+') + pnum + digits;

    if (digits.startsWith(QLatin1Char('0'))) {
        const QString national = digits.mid(1);
        if (country.isNumberLength(len - 1) && country.matchesMobileNumber(national))
            return QLatin1Char('+') + pnum + national;
    }

    if (digits.startsWith(pnum) && country.isNumberLength(len - pnum.size()))
        return QLatin1Char('+') + digits;

    return digits;
}
