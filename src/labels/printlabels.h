#pragma once

#include <QDialog>

class FlashSession;

namespace Ui {
class printLabels;
}

// Last dialog of a device's run: prints its labels in a fixed order and, on close,
// switches the device off and removes its files.
class PrintLabels : public QDialog
{
    Q_OBJECT
public:
    explicit PrintLabels(QWidget* parent = nullptr);
    ~PrintLabels() override;

    void setFlashSession(FlashSession* session);

public slots:
    // The test window's verdict on stopping the test server or production test service.
    void enableBtnClose(bool enable);
    // Escape and the window's close button must not end the run.
    void reject() override {}

private slots:
    void on_btnClose_clicked();
    void on_btnPrintLabel1_clicked();
    void on_btnPrintLabel2_clicked();
    void on_btnPrintLabel3_clicked();

private:
    // Prints one PDF of the device's "labels" folder. Returns whether the label came out; a
    // failure has already been shown to the operator.
    bool printLabel(const QString& name);
    void removeDeviceFiles();

    Ui::printLabels* ui;
    FlashSession* flashSession = nullptr;
    bool closeAllowed = false;
    bool labelsPrinted = false;
};
