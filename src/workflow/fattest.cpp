#include "fattest.h"
#include "ui_fattest.h"

#include "fileutils.h"
#include "flashsession.h"
#include "jobchain.h"
#include "messagebox.h"
#include "settings.h"
#include "testsoftware.h"

#include <QDebug>

FATTest::FATTest(QWidget* parent) : QDialog(parent), ui(new Ui::fattest)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Starte FAT Test erneut"));
    connect(&configManager, &ConfigManager::assingedSerialnummber, this, &FATTest::onSerialNumberAssigned);
    connect(&configManager, &ConfigManager::downloadConfigComplete, this, &FATTest::onConfigDownloaded);

    QStringList articles;
    for (const SpecEntry& entry : Settings::instance()->specs()) {
        if (!articles.contains(entry.article))
            articles << entry.article;
    }
    // The first item becomes current and fills the versions.
    ui->cbArticle->addItems(articles);
}

FATTest::~FATTest()
{
    delete ui;
}

void FATTest::setFlashSession(FlashSession* session)
{
    flashSession = session;
    if (!flashSession)
        return;
    for (int i = 0; i < ui->cbArticle->count(); ++i) {
        if (ui->cbArticle->itemText(i).compare(flashSession->article(), Qt::CaseInsensitive) == 0)
            ui->cbArticle->setCurrentIndex(i);
    }
    for (int i = 0; i < ui->cbSWVersion->count(); ++i) {
        if (ui->cbSWVersion->itemText(i).compare(flashSession->swVersion(), Qt::CaseInsensitive) == 0)
            ui->cbSWVersion->setCurrentIndex(i);
    }
}

void FATTest::on_cbArticle_currentIndexChanged(int index)
{
    Q_UNUSED(index)
    ui->cbSWVersion->clear();
    const QString article = ui->cbArticle->currentText();
    QStringList versions;
    for (const SpecEntry& entry : Settings::instance()->specs()) {
        if (entry.article.compare(article, Qt::CaseInsensitive) == 0 &&
            !versions.contains(entry.softwareVersion))
            versions << entry.softwareVersion;
    }
    ui->cbSWVersion->addItems(versions);
}

void FATTest::on_cbSWVersion_currentIndexChanged(int index)
{
    Q_UNUSED(index)
    ui->txtEMSSerialNumber->setFocus(); // ready for the scanner
}

void FATTest::on_btnOk_clicked()
{
    const QString barcode = ui->txtEMSSerialNumber->text().trimmed();
    if (!FlashSession::isOrderNumber(barcode) || ui->cbSWVersion->currentIndex() < 0) {
        MessageBox::warning(this, QStringLiteral("Bitte Barcode oder SW-Version auswählen!"));
        return;
    }
    if (!flashSession) {
        qWarning() << "FATTest: no FlashSession set";
        return;
    }
    emit jobStarting();
    flashSession->setArticle(ui->cbArticle->currentText().trimmed());
    flashSession->setSwVersion(ui->cbSWVersion->currentText().trimmed());
    flashSession->setOrderNumber(barcode);
    // One request at a time: a second press must not ask again while the first is under way.
    ui->btnOk->setEnabled(false);
    configManager.assignSerialNumber(flashSession->article(), flashSession->swVersion(),
                                     flashSession->orderNumber());
}

void FATTest::onSerialNumberAssigned(QString serialNumber, QString warning)
{
    qDebug().noquote() << "assinged serialnumber " + serialNumber;
    if (JobChain::isRetired(this)) {
        qDebug() << "FAT re-test replaced by another job: serial number ignored";
        return;
    }
    if (serialNumber.isEmpty()) {
        ui->btnOk->setEnabled(true);
        // An empty box would leave the operator guessing.
        MessageBox::warning(
            this, warning.isEmpty() ? QStringLiteral("Keine Seriennummer vom Server erhalten!") : warning);
        return;
    }
    if (!flashSession) {
        ui->btnOk->setEnabled(true);
        return;
    }
    flashSession->setSerialNumber(serialNumber);
    // The labels are printed from the device's configuration. The last run's close removed it,
    // and whatever is left on the station belongs to another device: fetch this one's anew.
    FileUtils::removeDeviceFiles(*flashSession, false);
    configManager.setFlashSession(flashSession);
    configManager.downloadConfig(flashSession->article(), serialNumber);
}

void FATTest::onConfigDownloaded(QString warning)
{
    if (JobChain::isRetired(this))
        return;
    ui->btnOk->setEnabled(true);
    if (!warning.isEmpty()) {
        MessageBox::warning(this, warning);
        return;
    }
    hide();
    testWindow = new TestSoftware(this);
    testWindow->setFlashSession(flashSession);
    testWindow->show();
}
