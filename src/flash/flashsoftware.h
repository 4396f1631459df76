#pragma once

#include "configmanager.h"

#include <QDialog>
#include <QString>

class AsyncProcess;
class FlashSession;
class QTimer;
class TestSoftware;
struct ProcessResult;

namespace Ui {
class FlashSoftware;
}

// Takes one device from a scanned order number to a flashed and rebooted device:
// image, serial number, configuration, flash script, power cycle, microcontroller wait.
class FlashSoftware : public QDialog
{
    Q_OBJECT
public:
    explicit FlashSoftware(QWidget* parent = nullptr);
    ~FlashSoftware() override;

    void setFlashSession(FlashSession* session);
    FlashSession* flashSession() const;

    void startFlashSequence();

public slots:
    // Escape and the window's close button must not end a flash: leave only by the buttons.
    void reject() override;

private slots:
    void on_btnOpenPrintDialog_clicked();
    void on_btnRetry_clicked();
    void timeoutMSPFlashing();
    void onStdOutReadyFlashing(const QByteArray& output);
    void on_btnCancel_clicked();

private:
    void onDownloadImageComplete(QString warning);
    void onSerialNumberAssigned(QString serialNumber, QString warning);
    void onDownloadConfigComplete(QString warning);
    void stopAtStep(const QString& warning, bool retryPossible);
    void updateProgress();
    void onImageProgress(const ImageProgress& progress);
    void restartNimbrel();
    void removeDownloadedConfigs();
    void flashFirmware();
    void onFlashFinished(AsyncProcess* process, const ProcessResult& result);
    QString imageFile() const;
    // True once "abbrechen" was pressed or the next job took over: from then on nothing of this
    // dialog writes the job record or acts on the device.
    bool stopped() const;

    Ui::FlashSoftware* ui;
    ConfigManager configManager;
    FlashSession* session = nullptr;
    TestSoftware* testWindow = nullptr;
    QTimer* progressTimer = nullptr;
    AsyncProcess* flashProcess = nullptr;
    QTimer* microcontrollerTimer = nullptr;
    bool downloadingImage = false;
};
