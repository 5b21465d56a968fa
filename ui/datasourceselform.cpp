#include "ui/datasourceselform.h"

#include "store/messagebox.h"
#include "store/stylesheet.h"
#include "ui_datasourceselform.h"

#include <QIcon>

DataSourceSelForm::DataSourceSelForm(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::DataSourceSelForm)
    , m_movable(this)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &DataSourceSelForm::onBtnOkPressed);
}

DataSourceSelForm::~DataSourceSelForm()
{
    delete ui;
}

QString DataSourceSelForm::chooseDataSource(const QString &title,
                                            const QList<DataSourceEntry> &entries)
{
    ui->lbSelDevice->setText(title);
    ui->cbDevice->clear();
    for (const DataSourceEntry &entry : entries)
        ui->cbDevice->addItem(QIcon(entry.iconPath), entry.text, entry.key);
    ui->cbDevice->setCurrentIndex(entries.size() == 1 ? 0 : -1);
    if (exec() != QDialog::Accepted)
        return QString();
    return ui->cbDevice->currentData().toString();
}

void DataSourceSelForm::onBtnOkPressed()
{
    if (ui->cbDevice->currentIndex() < 0) {
        showWarning(tr("IDS_PLEASE_SELECT_ONE_DATASOURCE"));
        return;
    }
    accept();
}
