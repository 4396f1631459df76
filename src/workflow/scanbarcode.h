#pragma once

#include <QDialog>
#include <QString>

class FlashSession;
class FlashSoftware;

namespace Ui {
class ScanBarcode;
}

// Takes the production order number of one job, switches the device on and
// hands the job to the flash dialog, which lives as this dialog's child.
class ScanBarcode : public QDialog
{
    Q_OBJECT
public:
    explicit ScanBarcode(QWidget* parent = nullptr);
    ~ScanBarcode() override;

    void setFlashSession(FlashSession* session);
    void presetOrderNumber(const QString& text);

private slots:
    void on_pushButton_clicked();
    void on_txtAuftragsnummer_textChanged(const QString& arg1);

private:
    Ui::ScanBarcode* ui;
    QString presetText;
    FlashSoftware* flashDialog = nullptr;
    FlashSession* flashSession = nullptr;
    bool jobStarted = false;
};
