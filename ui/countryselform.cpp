#include "ui/countryselform.h"

#include "store/countrylibdb.h"
#include "store/messagebox.h"
#include "store/stylesheet.h"
#include "ui_countryselform.h"

#include <exception>

CountrySelForm::CountrySelForm(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CountrySelForm)
    , m_movable(this)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->txtKW, &QLineEdit::textChanged, this, &CountrySelForm::kwinput);

    try {
        CountryLibDb db{QString()};
        db.ensureOpen();
        Sqlite3Cursor cur = db.queryThrow(
                "select pnum, n, substr(mmc,0,4) as mmc from countries order by n asc");
        while (cur.moveNext()) {
            m_countries.append({cur.getText("mmc"), QStringLiteral("%1 (+%2)")
                                                            .arg(cur.getText("n"),
                                                                 cur.getText("pnum"))});
            addCountryItem(m_countries.last());
        }
    } catch (const std::exception &e) {
        showError(boxTextOf(e));
    }
}

CountrySelForm::~CountrySelForm()
{
    delete ui;
}

void CountrySelForm::addCountryItem(const QPair<QString, QString> &country)
{
    auto *item = new QListWidgetItem(country.second, ui->ltCountries);
    item->setData(Qt::UserRole, country.first);
}

void CountrySelForm::kwinput(const QString &keyword)
{
    ui->ltCountries->clear();
    for (const auto &country : std::as_const(m_countries)) {
        if (country.second.contains(keyword, Qt::CaseInsensitive))
            addCountryItem(country);
    }
}

void CountrySelForm::accept()
{
    QListWidgetItem *item = ui->ltCountries->currentItem();
    if (!item) {
        showWarning(tr("IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY"));
        return;
    }
    if (!askQuestion(tr("IDS_CONFIRM_SEL_COUNTRY_%1").arg(escapeForBox(item->text()))))
        return;
    m_mcc = item->data(Qt::UserRole).toString();
    QDialog::accept();
}

void CountrySelForm::reject()
{
    // Leaving without a country is allowed: the caller keeps its default.
    QDialog::reject();
}
