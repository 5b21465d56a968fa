#pragma once

#include "store/winmovable.h"

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

namespace Ui {
class CountrySelForm;
}

// The frameless dialog in which the user picks the phone's country when its
// mobile country code is missing or unknown. The countries come from the
// country library, filtered by what is typed into txtKW.
//
//     CountrySelForm form(this);
//     if (form.exec() == QDialog::Accepted)
//         mcc = form.chosenMcc();
//     // else (Cancel, Escape): keep the phone's own code, the default
//
// Accepted only after the user confirmed a country.
class CountrySelForm : public QDialog
{
    Q_OBJECT
public:
    explicit CountrySelForm(QWidget *parent = nullptr);
    ~CountrySelForm() override;

    // The chosen mobile country code (three digits); empty until accepted.
    QString chosenMcc() const { return m_mcc; }
    // {mobile country code, display text} of every country, in name order.
    const QList<QPair<QString, QString>> &countries() const { return m_countries; }

public slots:
    void accept() override;
    void reject() override;
    void kwinput(const QString &keyword);

public:
    Ui::CountrySelForm *ui;

private:
    void addCountryItem(const QPair<QString, QString> &country);

    WinMovable m_movable;
    QString m_mcc;
    QList<QPair<QString, QString>> m_countries;
};
