#include "backup/loaditunesbackupdlg.h"

#include <QDebug>
#include "store/messagebox.h"
#include "store/stylesheet.h"
#include "ui_loaditunesbackupdlg.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>

#include <algorithm>
#include <exception>

LoadItunesBackupDlg::LoadItunesBackupDlg(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::LoadItunesBackupDlg)
    , m_movable(this)
    , m_model(this)
{
    ui->setupUi(this);
    connect(ui->btnLoad, &QPushButton::pressed, this, &LoadItunesBackupDlg::btnLoadClicked);
    connect(ui->listBackups, &QTreeView::doubleClicked, this,
            &LoadItunesBackupDlg::btnLoadClicked);
    connect(ui->lbAddOther, &QLabel::linkActivated, this,
            &LoadItunesBackupDlg::btnAddOtherClicked);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    ui->listBackups->setModel(&m_model);

    const QDir root = itunesBackupFolder();
    QFileInfoList entries = root.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    std::stable_sort(entries.begin(), entries.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.lastModified() < b.lastModified();
    });
    for (const QFileInfo &entry : std::as_const(entries)) {
        const QDir dir(entry.absoluteFilePath());
        if (isBackupFolder(dir) || isManifestDbBackupFolder(dir))
            listFolder(entry.absoluteFilePath());
    }
    ui->listBackups->setCurrentIndex(QModelIndex());
}

LoadItunesBackupDlg::~LoadItunesBackupDlg()
{
    delete ui;
}

ItemModelLoadBk::_BKItemNode *LoadItunesBackupDlg::listFolder(const QString &path)
{
    auto manifest = QSharedPointer<BackupManifest>::create(path);
    try {
        manifest->loadManifestPlist();
    } catch (const std::exception &e) {
        const QString text = QStringLiteral("load %1 error. %2");
        qWarning().noquote() << text.arg(path, QString::fromUtf8(e.what()));
        showError(text.arg(escapeForBox(path), boxTextOf(e)));
        return nullptr;
    }
    ItemModelLoadBk::_BKItemNode *node = m_model.addBackup(manifest);
    if (isManifestDbBackupFolder(manifest->folder)) {
        node->unsupportedReason = tr("IDS_BACKUP_KIND_NOT_SUPPORTED");
        m_model.notifyNodeChanged(node);
    }
    return node;
}

ItemModelLoadBk::_BKItemNode *LoadItunesBackupDlg::addBackupFolder(const QString &path)
{
    const BackupManifest probe(path);
    if (m_model.findBackup(probe)) {
        showWarning(tr("IDS_LOAD_BK_EXISTS"));
        return nullptr;
    }
    ItemModelLoadBk::_BKItemNode *node = listFolder(path);
    if (node && node->unsupportedReason.isEmpty())
        ui->listBackups->setCurrentIndex(m_model.indexForNode(node));
    else if (node)
        showWarning(node->unsupportedReason);
    return node;
}

void LoadItunesBackupDlg::btnAddOtherClicked(const QString &)
{
    const QString path = QFileDialog::getExistingDirectory(
            nullptr, QString(), QDir::home().absolutePath(), QFileDialog::ShowDirsOnly);
    if (path.isEmpty())
        return;
    addBackupFolder(path);
}

void LoadItunesBackupDlg::btnLoadClicked()
{
    ItemModelLoadBk::_BKItemNode *node
            = ItemModelLoadBk::bkNodeOf(ui->listBackups->currentIndex());
    if (!node) {
        showWarning(tr("IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP"));
        return;
    }
    if (!node->unsupportedReason.isEmpty()) {
        showWarning(node->unsupportedReason);
        return;
    }
    selectedBackup = node->manifest;
    accept();
}

void LoadItunesBackupDlg::resizeEvent(QResizeEvent *)
{
    const int w = width() - 80;
    QHeaderView *header = ui->listBackups->header();
    header->resizeSection(0, int(w * 0.4));
    header->resizeSection(1, int(w * 0.25));
    header->resizeSection(2, int(w * 0.35));
}
