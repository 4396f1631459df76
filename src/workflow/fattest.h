#pragma once

#include "configmanager.h"

#include <QDialog>

class FlashSession;
class TestSoftware;

namespace Ui {
class fattest;
}

// Takes an already flashed device by article, version and order-number barcode
// straight to the test window, with the serial number the server knows for it.
class FATTest : public QDialog
{
    Q_OBJECT
public:
    explicit FATTest(QWidget* parent = nullptr);
    ~FATTest() override;

    // Also preselects the job's article and software version.
    void setFlashSession(FlashSession* session);

signals:
    // "Ok" is about to write the job record for a new device: every other job must go first.
    void jobStarting();

private slots:
    void on_btnOk_clicked();
    void on_cbArticle_currentIndexChanged(int index);
    void on_cbSWVersion_currentIndexChanged(int index);
    void onSerialNumberAssigned(QString serialNumber, QString warning);
    void onConfigDownloaded(QString warning);

private:
    Ui::fattest* ui;
    FlashSession* flashSession = nullptr;
    ConfigManager configManager;
    TestSoftware* testWindow = nullptr;
};
