#pragma once

#include "store/winmovable.h"

#include <QDialog>
#include <QList>
#include <QString>

namespace Ui {
class DataSourceSelForm;
}

// One choice of DataSourceSelForm. The key names the device or database the
// choice stands for in a way that survives the dialog's modal loop: a
// device's UniqueDeviceID, an Android phone's serial, a local database's
// folder path. Never a pointer to a tree node: a device may leave while the
// dialog is open.
struct DataSourceEntry
{
    QString iconPath; // e.g. ":/res/iphone.png"
    QString text; // what the user sees
    QString key; // stable id handed back by chooseDataSource
};

// The frameless dialog in which the user picks the target device of a
// transfer.
//
//     DataSourceSelForm form(this);
//     const QString key = form.chooseDataSource(title, entries);
//     // the tree may have changed meanwhile: look the node up again by key
//     // and treat a key that no longer matches a node as "cancelled".
class DataSourceSelForm : public QDialog
{
    Q_OBJECT
public:
    explicit DataSourceSelForm(QWidget *parent = nullptr);
    ~DataSourceSelForm() override;

    // Lists the entries under the title and runs the dialog modally. With
    // one entry it is preselected, with more nothing is. Returns the key of
    // the chosen entry, or an empty text when the dialog was cancelled.
    QString chooseDataSource(const QString &title, const QList<DataSourceEntry> &entries);

public slots:
    void onBtnOkPressed();

public:
    Ui::DataSourceSelForm *ui;

private:
    WinMovable m_movable;
};
