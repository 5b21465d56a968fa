#include "ui/aboutusform.h"
#include "ui_aboutusform.h"

#include "store/datafolder.h"
#include "store/stylesheet.h"
#include "store/texts.h"
#include "ui/updatecheck.h"

#include <QDate>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>

AboutUsForm::AboutUsForm(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::AboutUsForm)
    , m_movable(new WinMovable(this))
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &QDialog::accept);

    ui->lbProduct->setText(
            QStringLiteral("%1 v%2").arg(productName(), QLatin1String(kAboutVersion)));

    auto *scene = new QGraphicsScene(this);
    scene->addPixmap(
            QPixmap(QStringLiteral(":main")).scaledToHeight(64, Qt::FastTransformation));
    ui->picApp->setStyleSheet(QStringLiteral("background:Transparent;border:0;"));
    ui->picApp->setScene(scene);

    ui->lbHomePage->setOpenExternalLinks(true);
    const QUrl home = webSitePage(QStringLiteral("/"));
    if (!home.isEmpty()) {
        ui->lbHomePage->setTextFormat(Qt::RichText);
        ui->lbHomePage->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                                        .arg(QString::fromUtf8(home.toEncoded()).toHtmlEscaped(),
                                             home.host().toHtmlEscaped()));
    }

    ui->lbCopyRight->setText(QStringLiteral("Copyright \u00A9 %1 %2")
                                     .arg(QDate::currentDate().year())
                                     .arg(QLatin1String(kBrandFolder)));
}

AboutUsForm::~AboutUsForm()
{
    delete ui;
    delete m_movable;
}
