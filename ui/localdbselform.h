#pragma once

#include "store/winmovable.h"

#include <QDialog>
#include <QString>
#include <QStringList>

namespace Ui {
class LocalDbSelForm;
}

// The frameless dialog in which the user picks an existing local database or
// types the name of a new one.
//
//     LocalDbSelForm form(names, defaultName, this);
//     const QString name = form.chooseDatabase(); // empty: cancelled
class LocalDbSelForm : public QDialog
{
    Q_OBJECT
public:
    LocalDbSelForm(const QStringList &names, const QString &defaultName,
                   QWidget *parent = nullptr);
    ~LocalDbSelForm() override;

    // Runs the dialog modally; the chosen or typed name as it stands (blanks
    // at its ends included), or an empty text when it was cancelled.
    QString chooseDatabase();

    // Why name cannot be a database folder name: the key of the warning, or
    // null when it can. Refused: blank names, names of dots only, path
    // separators, control characters and the characters \ / : * ? " < > |.
    static const char *invalidNameReason(const QString &name);

public slots:
    void onBtnOkPress();

public:
    Ui::LocalDbSelForm *ui;

private:
    WinMovable m_movable;
    QString m_chosen;
};
