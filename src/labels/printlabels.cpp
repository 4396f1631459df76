#include "printlabels.h"
#include "ui_printlabels.h"

#include "fileutils.h"
#include "flashsession.h"
#include "jobchain.h"
#include "messagebox.h"
#include "powercontrol.h"
#include "processrunner.h"
#include "settings.h"
#include "stationtimings.h"

#include <QDebug>
#include <QDir>

PrintLabels::PrintLabels(QWidget* parent) : QDialog(parent), ui(new Ui::printLabels)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Drucke Labels"));
    ui->btnPrintLabel2->setEnabled(false);
    ui->btnClose->setEnabled(false);
    ui->btnPrintLabel3->setEnabled(false);
}

PrintLabels::~PrintLabels()
{
    delete ui;
}

void PrintLabels::setFlashSession(FlashSession* session)
{
    flashSession = session;
}

void PrintLabels::enableBtnClose(bool enable)
{
    closeAllowed = enable;
    // false never takes the button back: once the device may go, it may go.
    if (closeAllowed && labelsPrinted)
        ui->btnClose->setEnabled(true);
}

bool PrintLabels::printLabel(const QString& name)
{
    if (JobChain::isRetired(this)) {
        qDebug().noquote() << "Label" << name << "not printed: its job was replaced";
        return false;
    }
    const QString pdfPath = FileUtils::inFolder(
        FileUtils::inFolder(Settings::DeviceConfigTargetPath(), QStringLiteral("labels")), name);
    // Only a label that came with the device's configuration: a link, or a labels folder that
    // leads elsewhere, could print any file of the station.
    if (!FileUtils::isRegularFileInside(pdfPath, FileUtils::extractionDirectory())) {
        qWarning().noquote() << "Not printing" << pdfPath
                             << "- no regular file inside the extracted configuration";
        MessageBox::critical(this, QStringLiteral("Drucken fehlgeschlagen: Label-Datei fehlt oder ist keine "
                                                  "reguläre Datei im Label-Ordner: %1")
                                       .arg(pdfPath));
        return false;
    }

    ProcessRequest request;
    request.program = QDir::currentPath() + QStringLiteral("/printlabel.sh");
    request.arguments = QStringList{pdfPath};
    request.timeoutMs = StationTimings::current().printTimeoutMs;
    qDebug().noquote() << request.program << pdfPath;

    const ProcessResult result = ProcessRunner::run(request);
    if (result.succeeded()) {
        qDebug() << "SUCCESS";
        return true;
    }
    // A script that never started or hung has printed nothing either.
    qDebug() << "ERROR";
    qWarning().noquote() << "printlabel.sh" << result.outcome()
                         << ProcessResult::textUpToNul(result.standardError);
    MessageBox::critical(this, QStringLiteral("Drucken fehlgeschlagen fehlgeschlagen!"));
    return false;
}

void PrintLabels::on_btnPrintLabel1_clicked()
{
    printLabel(QStringLiteral("device.pdf"));
    ui->btnPrintLabel2->setEnabled(true);
}

void PrintLabels::on_btnPrintLabel2_clicked()
{
    printLabel(QStringLiteral("manual.pdf"));
    printLabel(QStringLiteral("cabinet.pdf"));
    ui->btnPrintLabel3->setEnabled(true);
}

void PrintLabels::on_btnPrintLabel3_clicked()
{
    printLabel(QStringLiteral("package.pdf"));
    labelsPrinted = true;
    ui->btnClose->setEnabled(closeAllowed);
    closeAllowed = false;
}

void PrintLabels::on_btnClose_clicked()
{
    ui->btnClose->setEnabled(false);
    closeAllowed = false;
    labelsPrinted = false;
    // Off before anyone takes the device out.
    PowerControl().powerOff();
    removeDeviceFiles();
    done(0);
}

void PrintLabels::removeDeviceFiles()
{
    if (!flashSession) {
        qWarning() << "PrintLabels: no FlashSession, device files left in place";
        return;
    }
    FileUtils::removeDeviceFiles(*flashSession, true);
}
