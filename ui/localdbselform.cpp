#include "ui/localdbselform.h"

#include "store/messagebox.h"
#include "store/stylesheet.h"
#include "ui_localdbselform.h"

#include <QLineEdit>

LocalDbSelForm::LocalDbSelForm(const QStringList &names, const QString &defaultName,
                               QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::LocalDbSelForm)
    , m_movable(this)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &LocalDbSelForm::onBtnOkPress);

    ui->cbLocalDbNames->addItem(QString());
    ui->cbLocalDbNames->addItems(names);
    ui->cbLocalDbNames->setCurrentIndex(-1);
    if (!defaultName.isEmpty())
        ui->cbLocalDbNames->setEditText(defaultName);
}

LocalDbSelForm::~LocalDbSelForm()
{
    delete ui;
}

const char *LocalDbSelForm::invalidNameReason(const QString &name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return "IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME";
    static const QString forbidden = QStringLiteral("\\/:*?\"<>|");
    for (const QChar c : name) {
        if (forbidden.contains(c) || c.category() == QChar::Other_Control
            || c.category() == QChar::Other_Format || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator)
            return "IDS_INVALID_LOCALDB_NAME";
    }
    // "." and ".." name folders of their own; "..." and the like are not
    // portable folder names either.
    if (trimmed.count(QLatin1Char('.')) == trimmed.size())
        return "IDS_INVALID_LOCALDB_NAME";
    return nullptr;
}

void LocalDbSelForm::onBtnOkPress()
{
    const QString name = ui->cbLocalDbNames->currentText();
    if (const char *reason = invalidNameReason(name)) {
        showWarning(tr(reason));
        return;
    }
    m_chosen = name;
    accept();
}

QString LocalDbSelForm::chooseDatabase()
{
    if (exec() != QDialog::Accepted || m_chosen.isEmpty())
        return QString();
    return m_chosen;
}
