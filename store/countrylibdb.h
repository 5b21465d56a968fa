#pragma once

#include "store/absdb.h"
#include "store/countryinfo.h"

#include <QString>

// The country library "countries.db" in the data folder, copied there from
// the resource ":res/countries.db" on first use, with the country of one
// mobile country code (MCC). Opens lazily: nothing is copied or opened until
// the first query.
class CountryLibDb : public AbsDb
{
public:
    explicit CountryLibDb(const QString &mcc);
    ~CountryLibDb() override;

    // Copies the library into the data folder when it is not there yet,
    // opens it and settles the current country. Throws std::runtime_error
    // when the resource is missing or the copy cannot be made, and the
    // wrapper's exceptions.
    void ensureOpen() override;

    // The country of the MCC given at construction; all texts empty when
    // the MCC is unknown.
    _CountryInfo &country();

    QString mcc() const { return m_mcc; }

    // The file name of the library in the data folder.
    static QString libraryPath();

private:
    QString m_mcc;
    _CountryInfo m_current;
};

// The country that mcc belongs to; *found tells whether there is one (else
// the result is the library's current country). found may be null.
_CountryInfo countryByMcc(CountryLibDb &db, const QString &mcc, bool *found = nullptr);

// The country with that two-letter code, in any letter case; *found as above.
_CountryInfo countryBySn(CountryLibDb &db, const QString &sn, bool *found = nullptr);
