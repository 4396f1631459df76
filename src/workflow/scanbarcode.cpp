#include "scanbarcode.h"
#include "ui_scanbarcode.h"

#include "flashsession.h"
#include "flashsoftware.h"
#include "jobchain.h"
#include "powercontrol.h"

#include <QDebug>
#include <QPointer>

ScanBarcode::ScanBarcode(QWidget* parent) : QDialog(parent), ui(new Ui::ScanBarcode)
{
    ui->setupUi(this);
    ui->pushButton->setEnabled(false);
}

ScanBarcode::~ScanBarcode()
{
    delete ui;
}

void ScanBarcode::setFlashSession(FlashSession* session)
{
    flashSession = session;
}

void ScanBarcode::presetOrderNumber(const QString& text)
{
    presetText = text;
    ui->txtAuftragsnummer->setText(text);
    on_pushButton_clicked();
}

void ScanBarcode::on_pushButton_clicked()
{
    const QString orderNumber = ui->txtAuftragsnummer->text();
    if (!FlashSession::isOrderNumber(orderNumber))
        return;
    // Switching the relays lets events run; a second Enter meanwhile must not start a second job.
    if (jobStarted)
        return;
    if (!flashSession) {
        qWarning() << "ScanBarcode: no job record to start a job with";
        return;
    }
    jobStarted = true;
    ui->pushButton->setEnabled(false);
    ui->txtAuftragsnummer->setReadOnly(true);

    QPointer<ScanBarcode> self(this);
    PowerControl().powerOn(this);
    if (!self || JobChain::isRetired(this)) { // the next job replaced this one while the power was switched
        qDebug().noquote() << "Order" << orderNumber << "replaced by the next job before it started";
        return;
    }

    hide();
    flashDialog = new FlashSoftware(this);
    flashSession->setOrderNumber(orderNumber);
    flashDialog->setFlashSession(flashSession);
    flashDialog->show();
    flashDialog->startFlashSequence();
}

void ScanBarcode::on_txtAuftragsnummer_textChanged(const QString& arg1)
{
    ui->pushButton->setEnabled(!jobStarted && arg1.size() >= 6);
}
