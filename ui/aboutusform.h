#pragma once

#include "store/winmovable.h"

#include <QDialog>

namespace Ui {
class AboutUsForm;
}

// The frameless About box: the program's picture, its name and version, the
// maker's line and a link to the maker's web site (none when no web site is
// configured). Run it with exec(); OK closes it.
class AboutUsForm : public QDialog
{
    Q_OBJECT
public:
    explicit AboutUsForm(QWidget *parent = nullptr);
    ~AboutUsForm() override;

private:
    Ui::AboutUsForm *ui;
    WinMovable *m_movable;
};
