#pragma once

#include <QString>

// One row of the country library: the numbering rules of one country.
struct _CountryInfo
{
    QString sn; // two-letter country code, such as DE
    QString n; // English name
    QString ln; // name in the country's own language
    QString pnum; // calling code without "+", such as 49
    QString mmc; // the country's mobile country codes, comma-separated
    QString numc; // allowed national number lengths, comma-separated
    QString mobilePattern; // "^" + mobile-number pattern + "$"; empty when unknown

    // True when n is one of the lengths listed in numc (a part that is no
    // number counts as 0).
    bool isNumberLength(int n) const;

    // True when mobilePattern is found somewhere in number. It is a search:
    // a top-level "|" in the pattern leaves its alternatives anchored at one
    // end only, and stored canonical numbers were made that way.
    bool matchesMobileNumber(const QString &number) const;
};

// The canonical form of a correspondent's number for that country: "+",
// the calling code and the national number. Addresses (anything with a
// letter or "@") come back in lower case; numbers that cannot be placed in
// the country are stripped to digits and "+". A number with no digits at
// all (withheld sender, blanks, dashes) gives an empty text.
QString normalizeNumber(const _CountryInfo &country, const QString &number);
