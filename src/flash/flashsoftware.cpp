#include "flashsoftware.h"
#include "ui_flashsoftware.h"

#include "asyncprocess.h"
#include "fileutils.h"
#include "flashsession.h"
#include "jobchain.h"
#include "messagebox.h"
#include "powercontrol.h"
#include "settings.h"
#include "stationtimings.h"
#include "testsoftware.h"

#include <QDebug>
#include <QLocale>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace {
const int imageDownloadedValue = 25;
const int serialAssignedValue = 50;
const int configDownloadedValue = 75;
const int flashStallValue = 174; // while the script runs the bar stops just after this
const int flashedValue = 175;
const int rebootedValue = 190;
const int finishedValue = 265;
} // namespace

FlashSoftware::FlashSoftware(QWidget* parent)
    : QDialog(parent), ui(new Ui::FlashSoftware), configManager(this)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Flash Nimbrel"));
    connect(&configManager, &ConfigManager::downloadImageComplete, this,
            &FlashSoftware::onDownloadImageComplete);
    connect(&configManager, &ConfigManager::assingedSerialnummber, this,
            &FlashSoftware::onSerialNumberAssigned);
    connect(&configManager, &ConfigManager::downloadConfigComplete, this,
            &FlashSoftware::onDownloadConfigComplete);
    connect(&configManager, &ConfigManager::imageProgress, this, &FlashSoftware::onImageProgress);
    ui->btnOpenPrintDialog->setEnabled(false);
    ui->btnRetry->setEnabled(false);
}

FlashSoftware::~FlashSoftware()
{
    if (flashProcess && flashProcess->isRunning()) {
        // Never leave a flash running for a job that is gone: the next job would flash beside it.
        qWarning() << "Flash dialog closes while the flash script runs: stopping the flash script";
        delete flashProcess; // terminates, kills after a grace period, reports nothing
        flashProcess = nullptr;
    }
    delete ui;
}

void FlashSoftware::setFlashSession(FlashSession* newSession)
{
    session = newSession;
}

FlashSession* FlashSoftware::flashSession() const
{
    return session;
}

void FlashSoftware::startFlashSequence()
{
    if (!session) {
        qWarning() << "FlashSoftware: no job record to flash";
        return;
    }
    configManager.setFlashSession(session);
    downloadingImage = true;
    configManager.doDownloadImage(session->image(), session->swVersion(), session->image());
}

void FlashSoftware::reject() {}

bool FlashSoftware::stopped() const
{
    return JobChain::isRetired(this);
}

namespace {
QString megabytes(qint64 bytes)
{
    return QLocale(QLocale::German, QLocale::Germany).toString(qRound64(double(bytes) / 1e6));
}

QString timeLeft(int seconds)
{
    if (seconds < 0)
        return QString();
    return seconds < 100 ? QStringLiteral(" · noch %1 s").arg(seconds)
                         : QStringLiteral(" · noch %1 min").arg((seconds + 59) / 60);
}
} // namespace

// "412 von 1.180 MB · 117 MB/s · noch 7 s"; the bar runs to 25 over download and unpack.
void FlashSoftware::onImageProgress(const ImageProgress& progress)
{
    if (!downloadingImage)
        return;
    const bool unpacking = progress.phase == ImageProgress::Unpacking;
    const qint64 done = unpacking ? progress.unpacked : progress.done;
    QString text = megabytes(done);
    if (progress.total > 0)
        text += QStringLiteral(" von ") + megabytes(progress.total);
    text += QStringLiteral(" MB");
    if (progress.bytesPerSecond > 0)
        text += QStringLiteral(" · %1 MB/s").arg(megabytes(qint64(progress.bytesPerSecond)));
    ui->lblImageStatus->setText((unpacking ? QStringLiteral("Entpacken: ") : QString()) + text +
                                timeLeft(progress.secondsLeft));
    if (progress.total <= 0)
        return;
    const qint64 both = qMin(progress.done, progress.total) + qMin(progress.unpacked, progress.total);
    const int value = int(imageDownloadedValue * both / (2 * progress.total));
    // a retry starts with the bar where the last attempt left it; never move it back
    if (value > ui->pbStatus->value())
        ui->pbStatus->setValue(value);
}

void FlashSoftware::stopAtStep(const QString& warning, bool retryPossible)
{
    if (stopped())
        return;
    QPointer<FlashSoftware> self(this);
    MessageBox::warning(this, warning);
    if (self) // the box's event loop may have seen the next job delete this dialog
        ui->btnRetry->setEnabled(retryPossible);
}

void FlashSoftware::onDownloadImageComplete(QString warning)
{
    qDebug() << "download Image complete";
    downloadingImage = false;
    ui->lblImageStatus->clear();
    if (stopped())
        return;
    if (!warning.isEmpty()) {
        stopAtStep(warning, true);
        return;
    }
    ui->cbDownloadImage->setChecked(true);
    ui->pbStatus->setValue(imageDownloadedValue);
    qDebug() << "assign Serial Number";
    configManager.assignSerialNumber(session->article(), session->swVersion(), session->orderNumber());
}

void FlashSoftware::onSerialNumberAssigned(QString serialNumber, QString warning)
{
    qDebug().noquote() << "assinged serialnumber " + serialNumber;
    if (stopped()) {
        qDebug() << "Serial number ignored: the flash dialog was cancelled or replaced";
        return;
    }
    // Without a number of its own the device would be flashed and labelled with the previous one's;
    // the number also names the device's files.
    if (warning.isEmpty() && (serialNumber.isEmpty() || !FileUtils::isSafeFileName(serialNumber)))
        warning = QStringLiteral("Keine gültige Seriennummer vom Server erhalten!");
    if (!warning.isEmpty()) {
        stopAtStep(warning, false /* no retry after a failed assignment */);
        return;
    }
    session->setSerialNumber(serialNumber);
    ui->pbStatus->setValue(serialAssignedValue);
    ui->cbEMSSerialnumberassigned->setChecked(true);
    qDebug() << "download Config";
    configManager.downloadConfig(session->article(), session->serialNumber());
}

void FlashSoftware::onDownloadConfigComplete(QString warning)
{
    if (stopped())
        return;
    if (!warning.isEmpty()) {
        stopAtStep(warning, true);
        return;
    }
    ui->pbStatus->setValue(configDownloadedValue);
    ui->cbDownloadConfig->setChecked(true);
    QThread::msleep(StationTimings::current().flashPauseMs);
    qDebug() << "flash firmware";
    flashFirmware();
}

QString FlashSoftware::imageFile() const
{
    return FileUtils::inFolder(Settings::ImagePath(), session->imageFileName());
}

void FlashSoftware::flashFirmware()
{
    if (flashProcess) { // left over from an earlier attempt, which has ended
        flashProcess->deleteLater();
        flashProcess = nullptr;
    }
    // The script writes whatever it is given onto the device: only the image the station unpacked.
    if (!FileUtils::isRegularFileInside(imageFile(), Settings::ImagePath())) {
        qWarning().noquote() << "Not flashing: no regular image file at" << imageFile();
        QPointer<FlashSoftware> self(this);
        MessageBox::critical(this, QStringLiteral("Flashvorgang fehlgeschlagen: Image-Datei fehlt oder ist "
                                                  "keine reguläre Datei im Image-Ordner: %1")
                                       .arg(imageFile()));
        if (self)
            ui->btnRetry->setEnabled(true);
        return;
    }
    AsyncProcess* process = new AsyncProcess(this);
    flashProcess = process;
    connect(process, &AsyncProcess::standardOutputAvailable, this, &FlashSoftware::onStdOutReadyFlashing);
    // Judged once control is back in the event loop: the verdict may show a box or switch
    // the power, and neither must run inside the process object's own signal.
    connect(process, &AsyncProcess::finished, this, [this, process](const ProcessResult& result) {
        QMetaObject::invokeMethod(
            this, [this, process, result] { onFlashFinished(process, result); }, Qt::QueuedConnection);
    });

    if (!progressTimer) {
        progressTimer = new QTimer(this);
        connect(progressTimer, &QTimer::timeout, this, &FlashSoftware::updateProgress);
    }
    progressTimer->start(StationTimings::current().progressTickMs);

    ProcessRequest request;
    request.program = Settings::FlashScriptName();
    request.arguments = QStringList{QStringLiteral("-i"), imageFile(),
                                    QStringLiteral("-a"), Settings::DeviceConfigTargetPath(),
                                    QStringLiteral("-s"), session->serialNumber(),
                                    QStringLiteral("-l"), Settings::LogPath(),
                                    QStringLiteral("-t")};
    request.workingDirectory = Settings::FlashScriptPath();
    request.timeoutMs = StationTimings::current().flashScriptTimeoutMs;
    request.writableStdin = true;
    qDebug() << request.arguments;
    process->start(request);
}

void FlashSoftware::onStdOutReadyFlashing(const QByteArray& output)
{
    QString text = QString::fromLocal8Bit(output);
    if (text.endsWith(QLatin1Char('\n'))) // the log adds its own line end
        text.chop(1);
    qDebug().noquote() << text;
}

void FlashSoftware::updateProgress()
{
    if (ui->pbStatus->value() > flashStallValue && !ui->cbRebootNimbrel->isChecked())
        return;
    ui->pbStatus->setValue(ui->pbStatus->value() + 1);
    progressTimer->start(StationTimings::current().progressTickMs);
}

void FlashSoftware::onFlashFinished(AsyncProcess* process, const ProcessResult& result)
{
    if (process != flashProcess)
        return;
    flashProcess = nullptr;
    process->deleteLater();
    if (stopped()) {
        // The script was left to finish its write; its device belongs to no job any more.
        qDebug().noquote() << "Flash script ended after its dialog was cancelled or replaced: result ignored"
                           << result.outcome();
        progressTimer->stop();
        return;
    }

    const QString rest = ProcessResult::textUpToNul(result.standardOutput);
    if (!rest.isEmpty())
        qDebug().noquote() << rest;
    if (!result.started)
        qDebug() << "error enum val = FailedToStart";
    else if (result.exitStatus == QProcess::CrashExit)
        qDebug() << "error enum val = Crashed";

    if (!result.succeeded()) {
        qDebug() << "ERROR";
        progressTimer->stop(); // the bar stays where the failure left it
        QPointer<FlashSoftware> self(this);
        MessageBox::critical(this, QStringLiteral("Flashvorgang fehlgeschlagen!"));
        if (self)
            ui->btnRetry->setEnabled(true);
        return;
    }
    qDebug() << "SUCCESS";
    ui->pbStatus->setValue(flashedValue);
    ui->cbFlashFirmware->setChecked(true);
    restartNimbrel();
}

void FlashSoftware::restartNimbrel()
{
    qDebug() << "restartNimbrel";
    QPointer<FlashSoftware> self(this);
    PowerControl().powerCycle(this);
    if (!self || stopped()) // the next job took over while the power was switched
        return;
    ui->cbRebootNimbrel->setChecked(true);
    ui->pbStatus->setValue(rebootedValue);

    // The station cannot see the microcontroller flash; it only waits long enough for it.
    if (!microcontrollerTimer) {
        microcontrollerTimer = new QTimer(this);
        microcontrollerTimer->setSingleShot(true);
        microcontrollerTimer->setTimerType(Qt::PreciseTimer);
        connect(microcontrollerTimer, &QTimer::timeout, this, &FlashSoftware::timeoutMSPFlashing);
    }
    microcontrollerTimer->start(StationTimings::current().microcontrollerWaitMs);
    progressTimer->start(StationTimings::current().progressTickMs);
}

void FlashSoftware::timeoutMSPFlashing()
{
    ui->cbFlashMSP->setChecked(true);
    ui->pbStatus->setValue(finishedValue);
    progressTimer->stop();
    ui->btnOpenPrintDialog->setEnabled(true);
}

void FlashSoftware::removeDownloadedConfigs()
{
    FileUtils::removeDeviceFiles(*session, false);
}

void FlashSoftware::on_btnOpenPrintDialog_clicked()
{
    hide();
    testWindow = new TestSoftware(this);
    testWindow->setFlashSession(session);
    testWindow->show();
}

void FlashSoftware::on_btnRetry_clicked()
{
    // Disabled first: a step that fails at once re-enables it for the next try.
    ui->btnRetry->setEnabled(false);
    QPointer<FlashSoftware> self(this);
    PowerControl().powerCycle(this);
    if (!self || stopped())
        return;
    removeDownloadedConfigs();
    startFlashSequence();
}

void FlashSoftware::on_btnCancel_clicked()
{
    qDebug() << "cancel flashing";
    // Given up like a replaced job: a power cycle under way stops, a late flash result is ignored.
    JobChain::retire(this);
    // The image step stops with its download and tar; its part stays for the next "flashen".
    configManager.cancelImageDownload();
    downloadingImage = false;
    done(0);
}
