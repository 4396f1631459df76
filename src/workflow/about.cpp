#include "about.h"

#include "ui_about.h"
#include "version.h"

About::About(QWidget* parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);
    ui->txtVersion->setText(stationVersion);
}

About::~About()
{
    delete ui;
}

void About::on_btnOk_clicked()
{
    close();
}
