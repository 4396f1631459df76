#pragma once

#include "configmanager.h"
#include "processresult.h"

#include <QFutureWatcher>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>

class AssignMacs;
class FlashSession;
class PrintLabels;

namespace Ui {
class TestSoftware;
}

// The test window: LED confirmation, test-server check, the three counterpart tests
// (chained or singly), MAC registration, additionals download and the way on to the labels.
class TestSoftware : public QMainWindow
{
    Q_OBJECT
public:
    explicit TestSoftware(QWidget* parent = nullptr);
    ~TestSoftware() override;

    void setFlashSession(FlashSession* session);

    // Runs a counterpart script under the configured Python with one argument (also an
    // empty one). Safe to run in a pool thread; true only for a normal exit with code 0.
    static bool executeScript(QString scriptPath, QString argument);
    static bool executeCancellableScript(QString scriptPath, QString argument, CancelToken cancel);

signals:
    void ResultDisableProductionTestServer(bool result);

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void on_btnLEDOK_clicked();
    void on_btnTestTasterTest_clicked();
    void on_btnTestTasterReset_clicked();
    void on_btnStartTests_clicked();
    void on_btnReset_clicked();
    void on_btnCancel_clicked();
    void on_btnOpenPrintDialog_clicked();

    void testTestTasterFinished();
    void testResetTasterFinished();
    void testInterfaceFinished();
    void disableProductionServerFinished();

    void assignError(QString warning);
    void downloadAdditionals();
    void downloadAdditionalsComplete(QString warning);
    void showTestLogSlice();

private:
    void setTestButtonsEnabled(bool enabled);
    bool isTestServerReachable();
    void startTestButtonTest();
    void startResetButtonTest();
    void startInterfaceTest();
    void startDisableProductionTest();

    bool appendToTestLog(const QString& text);
    void showLatestTestLog();
    void startMacAssignment();
    void dropMacAssignment();

    void startScript(QFutureWatcher<bool>& watcher, bool& pending, const QString& scriptPath,
                     const QString& argument);
    static bool takeResult(const QFutureWatcher<bool>& watcher, bool& pending);
    void appendToLog(const QString& text);
    bool allTestsPassed() const;
    const FlashSession& job() const;
    // True once the window was closed or its job replaced: nothing more starts, nothing is shown.
    bool ended() const;

    Ui::TestSoftware* ui;
    FlashSession* flashSession = nullptr;
    PrintLabels* printLabels = nullptr;
    QPointer<AssignMacs> assignMacs;
    QFutureWatcher<bool> interfaceWatcher;
    QFutureWatcher<bool> resetButtonWatcher;
    QFutureWatcher<bool> testButtonWatcher;
    QFutureWatcher<bool> disableProductionWatcher;
    ConfigManager configManager;
    QTimer additionalsTimer;

    bool ledConfirmed = false;
    bool testButtonOk = false;
    bool resetButtonOk = false;
    bool interfacesOk = false;
    bool singleTestOnly = false;
    bool additionalsReady = false;
    bool macsRegistered = false; // by the worker of the current LED confirmation
    bool closed = false;
    CancelToken runs = makeCancelToken();     // ends this window's scripts when it closes
    CancelToken macReads = makeCancelToken(); // ends the reads of the current MAC worker

    // The test log being shown: read in the pool, appended in slices so the window keeps answering.
    int testLogDisplay = 0; // only the newest display counts
    QString testLogText;
    int testLogShown = 0;
    QTimer testLogSlicer;

    // A started run whose result has not been handled yet. A watcher alone cannot tell:
    // its future ends before the finished signal reaches this thread.
    bool interfacePending = false;
    bool resetButtonPending = false;
    bool testButtonPending = false;
    bool disableProductionPending = false;
};
