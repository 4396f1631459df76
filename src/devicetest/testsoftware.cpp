#include "testsoftware.h"
#include "ui_testsoftware.h"

#include "assignmacs.h"
#include "flashsession.h"
#include "jobchain.h"
#include "messagebox.h"
#include "powercontrol.h"
#include "printlabels.h"
#include "processrunner.h"
#include "settings.h"
#include "stationtimings.h"
#include "testlogfile.h"

#include <QCloseEvent>
#include <QDebug>
#include <QtConcurrent>

namespace {
const char* const testServerAddress = "192.168.2.251";
// ping ends itself after its 10 s deadline; this only guards against a ping that hangs.
const int pingGuardMs = 15000;
// Characters of the test log appended per event-loop turn; each slice stays well under 50 ms.
const int testLogSliceChars = 8 * 1024;

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

TestSoftware::TestSoftware(QWidget* parent) : QMainWindow(parent), ui(new Ui::TestSoftware)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Test Nimbrel"));
    ui->btnStartTests->setEnabled(true);
    ui->btnTestTasterReset->setEnabled(true);
    ui->btnTestTasterTest->setEnabled(true);
    ui->btnOpenPrintDialog->setEnabled(true);
    ui->txtLog->clear();

    connect(&interfaceWatcher, &QFutureWatcher<bool>::finished, this, &TestSoftware::testInterfaceFinished);
    connect(&interfaceWatcher, &QFutureWatcher<bool>::canceled, this, &TestSoftware::testInterfaceFinished);
    connect(&testButtonWatcher, &QFutureWatcher<bool>::finished, this, &TestSoftware::testTestTasterFinished);
    connect(&testButtonWatcher, &QFutureWatcher<bool>::canceled, this, &TestSoftware::testTestTasterFinished);
    connect(&resetButtonWatcher, &QFutureWatcher<bool>::finished, this,
            &TestSoftware::testResetTasterFinished);
    connect(&resetButtonWatcher, &QFutureWatcher<bool>::canceled, this,
            &TestSoftware::testResetTasterFinished);
    connect(&disableProductionWatcher, &QFutureWatcher<bool>::finished, this,
            &TestSoftware::disableProductionServerFinished);
    connect(&disableProductionWatcher, &QFutureWatcher<bool>::canceled, this,
            &TestSoftware::disableProductionServerFinished);

    configManager.setParent(this); // a part of the window like its widgets: findable, gone with it
    connect(&configManager, &ConfigManager::downloadAdditionalsComplete, this,
            &TestSoftware::downloadAdditionalsComplete);
    additionalsTimer.setSingleShot(true);
    connect(&additionalsTimer, &QTimer::timeout, this, &TestSoftware::downloadAdditionals);
    testLogSlicer.setSingleShot(true);
    connect(&testLogSlicer, &QTimer::timeout, this, &TestSoftware::showTestLogSlice);

    ledConfirmed = false;
    testButtonOk = false;
    resetButtonOk = false;
    interfacesOk = false;
    singleTestOnly = false;
    additionalsReady = false;
}

TestSoftware::~TestSoftware()
{
    // A script of a window that is gone must not act on the device any longer.
    runs->store(true);
    dropMacAssignment();
    delete ui;
}

bool TestSoftware::ended() const
{
    return closed || JobChain::isRetired(this);
}

void TestSoftware::setFlashSession(FlashSession* session)
{
    flashSession = session;
    ui->lblSeriennummerTarvelin->setText(job().serialNumber());
}

const FlashSession& TestSoftware::job() const
{
    static const FlashSession none;
    return flashSession ? *flashSession : none;
}

bool TestSoftware::executeScript(QString scriptPath, QString argument)
{
    return executeCancellableScript(scriptPath, argument, {});
}

bool TestSoftware::executeCancellableScript(QString scriptPath, QString argument, CancelToken cancel)
{
    qDebug() << "execute Script";
    qDebug() << scriptPath << argument;
    return PowerControl::runPythonScript(scriptPath, QStringList{argument},
                                         StationTimings::current().scriptTimeoutMs, cancel);
}

void TestSoftware::closeEvent(QCloseEvent* event)
{
    // Closing ends the chain: scripts still running are ended, nothing later starts or shows.
    closed = true;
    runs->store(true); // its scripts still running end: terminated, killed after a grace
    additionalsTimer.stop();
    ledConfirmed = false;
    dropMacAssignment();
    QMainWindow::closeEvent(event);
}

void TestSoftware::appendToLog(const QString& text)
{
    ui->txtLog->moveCursor(QTextCursor::End);
    ui->txtLog->insertPlainText(text);
}

bool TestSoftware::allTestsPassed() const
{
    return interfacesOk && ledConfirmed && resetButtonOk && testButtonOk;
}

void TestSoftware::setTestButtonsEnabled(bool enabled)
{
    if (interfacePending || resetButtonPending || testButtonPending)
        return;
    ui->btnTestTasterReset->setEnabled(enabled);
    ui->btnTestTasterTest->setEnabled(enabled);
    ui->btnStartTests->setEnabled(enabled);
    ui->btnLEDOK->setEnabled(enabled);
    ui->btnReset->setEnabled(enabled);
}

bool TestSoftware::isTestServerReachable()
{
    ProcessRequest request;
    request.program = QStringLiteral("ping");
    request.arguments = QStringList{QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-w"),
                                    QStringLiteral("10"), QString::fromLatin1(testServerAddress)};
    request.forwardOutput = true;
    request.timeoutMs = pingGuardMs;
    return ProcessRunner::run(request).succeeded();
}

void TestSoftware::on_btnLEDOK_clicked()
{
    if (ended())
        return;
    ui->txtLog->clear();
    ++testLogDisplay; // a test log still being shown belongs to the cleared log
    testLogSlicer.stop();
    ledConfirmed = true;
    ui->btnLEDOK->setEnabled(false);
    ui->cbInterfaces->setChecked(false);
    ui->cbResetTaster->setChecked(false);
    ui->cbTestTaster->setChecked(false);
    setTestButtonsEnabled(false);
    testButtonOk = false;
    resetButtonOk = false;
    interfacesOk = false;
    singleTestOnly = false; // a single test left over from before must not cut this chain short
    macsRegistered = false;
    dropMacAssignment(); // this confirmation registers them anew, also when the test server is gone
    ui->lblSeriennummerTarvelin->setText(job().serialNumber());

    if (!isTestServerReachable()) {
        MessageBox::warning(this, QStringLiteral("Testserver noch nicht verfügbar, bitte warten!"));
        setTestButtonsEnabled(true);
        return;
    }
    startMacAssignment();
    startTestButtonTest();
    additionalsTimer.start(StationTimings::current().additionalsDelayMs);
}

void TestSoftware::on_btnTestTasterTest_clicked()
{
    singleTestOnly = true;
    startTestButtonTest();
}

void TestSoftware::on_btnTestTasterReset_clicked()
{
    singleTestOnly = true;
    startResetButtonTest();
}

void TestSoftware::on_btnStartTests_clicked()
{
    singleTestOnly = true;
    startInterfaceTest();
}

void TestSoftware::on_btnReset_clicked()
{
    setEnabled(false);
    QPointer<TestSoftware> self(this);
    PowerControl().powerCycle(this);
    if (self)
        setEnabled(true);
}

void TestSoftware::on_btnCancel_clicked()
{
    close();
}

void TestSoftware::startScript(QFutureWatcher<bool>& watcher, bool& pending, const QString& scriptPath,
                               const QString& argument)
{
    if (ended())
        return;
    pending = true;
    watcher.setFuture(QtConcurrent::run(&TestSoftware::executeCancellableScript, scriptPath, argument, runs));
}

bool TestSoftware::takeResult(const QFutureWatcher<bool>& watcher, bool& pending)
{
    pending = false;
    const QFuture<bool> future = watcher.future();
    return !future.isCanceled() && future.resultCount() > 0 && future.result();
}

void TestSoftware::startTestButtonTest()
{
    setTestButtonsEnabled(false);
    startScript(testButtonWatcher, testButtonPending, Settings::TestScriptTestTaster(), job().serialNumber());
    appendToLog(QStringLiteral("* Bitte Test Taster drücken!\n"));
}

void TestSoftware::startResetButtonTest()
{
    setTestButtonsEnabled(false);
    startScript(resetButtonWatcher, resetButtonPending, Settings::TestScriptResetTaster(),
                job().serialNumber());
    appendToLog(QStringLiteral("* Bitte Reset Taster drücken!\n"));
}

void TestSoftware::startInterfaceTest()
{
    setTestButtonsEnabled(false);
    startScript(interfaceWatcher, interfacePending, Settings::TestScript(), job().serialNumber());
}

void TestSoftware::startDisableProductionTest()
{
    startScript(disableProductionWatcher, disableProductionPending, Settings::DisableProductionTestScript(),
                QString());
}

void TestSoftware::testTestTasterFinished()
{
    if (ended())
        return;
    if (!testButtonPending) // finished after canceled: handled once
        return;
    const bool passed = takeResult(testButtonWatcher, testButtonPending);
    qDebug().noquote() << "testTestTasterFinished " + boolText(passed);
    if (passed) {
        testButtonOk = true;
        appendToLog(QStringLiteral("* Test Taster ok\n"));
        ui->cbTestTaster->setChecked(true);
        if (singleTestOnly)
            singleTestOnly = false;
        else
            startResetButtonTest(); // next in the chain
    } else {
        MessageBox::warning(this, QStringLiteral("Der Test für den Test Taster ist fehlgeschlagen!"));
        appendToLog(QStringLiteral("* Test Taster fehlgeschlagen\n"));
    }
    setTestButtonsEnabled(true);
}

void TestSoftware::testResetTasterFinished()
{
    if (ended())
        return;
    if (!resetButtonPending)
        return;
    const bool passed = takeResult(resetButtonWatcher, resetButtonPending);
    qDebug().noquote() << "testTestTasterFinished " + boolText(passed);
    if (passed) {
        resetButtonOk = true;
        appendToLog(QStringLiteral("* Reset Taster ok\n"));
        ui->cbResetTaster->setChecked(true);
        if (singleTestOnly)
            singleTestOnly = false;
        else
            startInterfaceTest(); // next in the chain
    } else {
        MessageBox::warning(this, QStringLiteral("Der Test für den Reset Taster ist fehlgeschlagen!"));
        appendToLog(QStringLiteral("* Reset Taster fehlgeschlagen\n"));
    }
    setTestButtonsEnabled(true);
}

void TestSoftware::testInterfaceFinished()
{
    if (ended())
        return;
    if (!interfacePending)
        return;
    const bool passed = takeResult(interfaceWatcher, interfacePending);
    qDebug().noquote() << "testInterfaceFinished " + boolText(passed);
    if (passed) {
        interfacesOk = true;
        ui->btnOpenPrintDialog->setEnabled(true);
        appendToLog(QStringLiteral("* Schnittstellen Test ok\n"));
        ui->cbInterfaces->setChecked(true);
        singleTestOnly = false; // the chain ends here either way
    } else {
        MessageBox::warning(this, QStringLiteral("Der Test für Intefaces ist fehlgeschlagen!"));
        appendToLog(QStringLiteral("* Schnittstellen Test nok\n"));
        showLatestTestLog();
    }
    setTestButtonsEnabled(true);
}

void TestSoftware::on_btnOpenPrintDialog_clicked()
{
    if (ended())
        return;
    bool isNumber = false;
    int majorRelease = job().swVersion().split(QLatin1Char('.')).first().toInt(&isNumber, 10);
    if (!isNumber)
        majorRelease = 0;
    qDebug() << "Major release:" << majorRelease;

    if (!additionalsReady) {
        MessageBox::warning(
            this, QStringLiteral("Bitte warten und erneut versuchen - Labels sind noch nicht druckbereit!"));
        return;
    }
    if (!allTestsPassed()) {
        MessageBox::warning(this, QStringLiteral("Tests noch nicht abgeschlossen oder fehlerhaft!"));
        return;
    }
    // A device leaves the station only with its MAC addresses on the server.
    if (!macsRegistered) {
        MessageBox::warning(this, assignMacs
                                      ? QStringLiteral("Bitte warten und erneut versuchen - MAC-Adressen "
                                                       "werden noch registriert!")
                                      : QStringLiteral("MAC-Adressen sind nicht registriert - bitte "
                                                       "LED-Test wiederholen!"));
        return;
    }

    delete printLabels; // a dialog left from an earlier pass is of no further use
    printLabels = new PrintLabels(this);

    if (majorRelease < 1) {
        if (executeScript(Settings::EndTestServerScript(), job().orderNumber())) {
            printLabels->enableBtnClose(true);
            appendToTestLog(QStringLiteral("Testserver was stopped\n"));
        } else {
            MessageBox::warning(
                this,
                QStringLiteral("Testserver konnte nicht beendet werden, bitte nochmal \"Weiter\" drücken!"));
            printLabels->enableBtnClose(false);
            appendToTestLog(QStringLiteral("Testserver couldn't be stopped\n"));
        }
    } else {
        connect(this, &TestSoftware::ResultDisableProductionTestServer, printLabels,
                &PrintLabels::enableBtnClose);
        startDisableProductionTest();
    }

    ledConfirmed = false;
    resetButtonOk = false;
    interfacesOk = false;
    singleTestOnly = false;

    hide();
    printLabels->setFlashSession(flashSession);
    printLabels->show();
}

void TestSoftware::disableProductionServerFinished()
{
    if (ended())
        return;
    if (!disableProductionPending)
        return;
    const bool passed = takeResult(disableProductionWatcher, disableProductionPending);
    qDebug().noquote() << "Disable Production-Server finished: " + boolText(passed);
    emit ResultDisableProductionTestServer(passed);
    if (passed) {
        appendToTestLog(QStringLiteral("Production test server was stopped\n"));
    } else {
        MessageBox::warning(
            this, QStringLiteral("Der Produktionstest dienst des Nimbrels konnte nicht beendet werden!"));
        appendToTestLog(QStringLiteral("Production test server couldn't be stopped\n"));
    }
}

bool TestSoftware::appendToTestLog(const QString& text)
{
    return TestLogFile::append(Settings::TestLogPath(), text);
}

void TestSoftware::showLatestTestLog()
{
    // Read in the pool: a test log may be large, and the window must keep answering meanwhile.
    auto* reader = new QFutureWatcher<QString>(this);
    const int display = ++testLogDisplay;
    connect(reader, &QFutureWatcher<QString>::finished, this, [this, reader, display] {
        reader->deleteLater();
        if (display != testLogDisplay)
            return;
        testLogText = reader->result();
        testLogShown = 0;
        showTestLogSlice();
    });
    reader->setFuture(QtConcurrent::run(&TestLogFile::readLatest, Settings::TestLogPath()));
}

void TestSoftware::showTestLogSlice()
{
    if (ended() || testLogShown >= testLogText.size())
        return;
    // Cut at a line's end where there is one, so that no line is laid out twice.
    int end = qMin(testLogText.size(), testLogShown + testLogSliceChars);
    const int lineEnd = testLogText.lastIndexOf(QLatin1Char('\n'), end - 1);
    if (end < testLogText.size() && lineEnd >= testLogShown)
        end = lineEnd + 1;
    appendToLog(testLogText.mid(testLogShown, end - testLogShown));
    testLogShown = end;
    if (testLogShown < testLogText.size())
        testLogSlicer.start(0);
    else
        testLogText.clear();
}

void TestSoftware::startMacAssignment()
{
    qDebug() << "Assign Macs";
    dropMacAssignment();
    macReads = makeCancelToken();
    assignMacs = new AssignMacs(this);
    assignMacs->setCancelToken(macReads);
    assignMacs->setFlashSession(flashSession);
    qDebug() << "FlashSession set";
    connect(assignMacs, &AssignMacs::errorOccured, this, &TestSoftware::assignError);
    assignMacs->run();
}

void TestSoftware::dropMacAssignment()
{
    macReads->store(true);
    delete assignMacs;
}

void TestSoftware::assignError(QString warning)
{
    auto* worker = qobject_cast<AssignMacs*>(sender());
    if (!worker || worker != assignMacs || ended())
        return;
    worker->deleteLater();
    assignMacs = nullptr;
    macsRegistered = warning.isEmpty();
    if (!warning.isEmpty()) {
        MessageBox::warning(this, warning);
        ui->btnOpenPrintDialog->setEnabled(false);
        return;
    }
    ui->btnOpenPrintDialog->setEnabled(true);
    // The additionals may have arrived while the addresses were still being registered.
    if (additionalsReady && allTestsPassed())
        on_btnOpenPrintDialog_clicked();
}

void TestSoftware::downloadAdditionals()
{
    if (ended())
        return;
    qDebug() << "downloadAdditionals";
    additionalsReady = false;
    additionalsTimer.stop();
    configManager.setFlashSession(flashSession);
    configManager.downloadAdditionals(job().article(), job().serialNumber());
}

void TestSoftware::downloadAdditionalsComplete(QString warning)
{
    if (ended())
        return;
    if (!warning.isEmpty()) {
        MessageBox::warning(this, warning);
        appendToLog(warning + QLatin1Char('\n'));
        additionalsReady = false;
        ui->btnOpenPrintDialog->setEnabled(true);
        return;
    }
    additionalsReady = true;
    // Still registering the addresses: their report goes on to the labels.
    if (allTestsPassed() && !assignMacs)
        on_btnOpenPrintDialog_clicked();
}
