#pragma once

#include <QMainWindow>
#include <QPointer>

namespace Ui {
class MainWindow;
}

class About;
class FATTest;
class FlashSession;
class ScanBarcode;
class SelectSoftware;

// The station's main window: shows the selection, takes the scanner's order number
// and starts every device job.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void setDefaultImage(const QString& article, const QString& swVersion, const QString& date,
                         const QString& commitHash);
    void setEndpointText(const QString& text);

    FlashSession* flashSession() const { return m_flashSession; }
    ScanBarcode* orderDialog() const { return scanBarcode; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    void on_pushButton_clicked();
    void on_actionBeenden_triggered();
    void on_btnPowerOn_clicked();
    void on_actionUeber_triggered();
    void on_btnSelectArticleVersion_clicked();
    void on_txtBarcode_returnPressed();
    void on_btnFATTest_clicked();

private:
    bool checkArticleAndVersion();
    bool checkFlashScript();
    void onArticleAndVersionSelected(const QString& article, const QString& swVersion);
    // Starting a job retires the windows of every other job, of either chain.
    void retireJobs(QWidget* keep = nullptr);
    ScanBarcode* createOrderDialog();

    Ui::MainWindow* ui;
    ScanBarcode* scanBarcode = nullptr;
    QPointer<About> about;
    FlashSession* m_flashSession = nullptr;
    QPointer<SelectSoftware> selectSoftware;
    QPointer<FATTest> fatTest;
    QList<QPointer<QWidget>> jobWindows; // the first window of each job chain
    bool forwardingKey = false;
};
