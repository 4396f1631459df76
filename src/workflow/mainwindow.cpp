#include "mainwindow.h"

#include "about.h"
#include "fattest.h"
#include "flashsession.h"
#include "jobchain.h"
#include "messagebox.h"
#include "powercontrol.h"
#include "scanbarcode.h"
#include "selectsoftware.h"
#include "settings.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>
#include <QKeyEvent>
#include <QTimer>

namespace {

bool holdsModalBox(QObject* object)
{
    for (QWidget* modal = QApplication::activeModalWidget(); modal; modal = modal->parentWidget()) {
        if (modal == object)
            return true;
    }
    return false;
}

// Deletes a finished job's windows only once no power wait or box of theirs is running up
// the stack: code of those windows may be waiting in such a loop and would run on in freed memory.
void deleteWhenIdle(QPointer<QObject> object)
{
    if (!object)
        return;
    if (PowerControl::isWaiting() || holdsModalBox(object)) {
        QTimer::singleShot(50, [object] { deleteWhenIdle(object); });
        return;
    }
    object->deleteLater();
}
} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    ui->txtBarcode->setFocus(Qt::OtherFocusReason);
    m_flashSession = new FlashSession();
}

MainWindow::~MainWindow()
{
    // The job windows go first: they hold pointers to the job record.
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isWindow())
            delete child;
    }
    delete ui;
    delete m_flashSession;
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // A key that reaches the window means a button had the focus: hand the key to the
    // scanner field so the first character of a scan is not lost.
    const bool cameThroughField = ui->txtBarcode->hasFocus();
    ui->txtBarcode->setFocus(Qt::OtherFocusReason);
    // Keys the field itself passed on (such as Enter after returnPressed) end here.
    if (cameThroughField || forwardingKey)
        return;
    forwardingKey = true;
    QKeyEvent copy(event->type(), event->key(), event->modifiers(), event->text(), event->isAutoRepeat(),
                   ushort(event->count()));
    QApplication::sendEvent(ui->txtBarcode, &copy);
    forwardingKey = false;
}

void MainWindow::on_txtBarcode_returnPressed()
{
    const QString text = ui->txtBarcode->text();
    qDebug() << text;
    if (!FlashSession::isOrderNumber(text) || !checkArticleAndVersion()) {
        ui->txtBarcode->clear();
        return;
    }
    retireJobs();
    ScanBarcode* dialog = createOrderDialog();
    dialog->presetOrderNumber(text);
    ui->lblEMSSerialNumber->setText(text);
    ui->txtBarcode->clear();
}

void MainWindow::on_pushButton_clicked()
{
    retireJobs();
    checkFlashScript(); // a warning only; the operator may go on
    if (!checkArticleAndVersion())
        return;
    createOrderDialog();
}

ScanBarcode* MainWindow::createOrderDialog()
{
    scanBarcode = new ScanBarcode(this);
    jobWindows << scanBarcode;
    scanBarcode->adjustSize();
    scanBarcode->show();
    scanBarcode->setFlashSession(m_flashSession);
    return scanBarcode;
}

void MainWindow::retireJobs(QWidget* keep)
{
    const QList<QPointer<QWidget>> windows = jobWindows;
    jobWindows.clear();
    for (const QPointer<QWidget>& first : windows) {
        if (!first)
            continue;
        if (first == keep) {
            jobWindows << first;
            continue;
        }
        if (first == scanBarcode)
            scanBarcode = nullptr;
        JobChain::retire(first);
        // The job's later windows are its children; take them off the screen now.
        for (QWidget* window : first->findChildren<QWidget*>()) {
            if (window->isWindow())
                window->hide();
        }
        first->hide();
        deleteWhenIdle(first.data());
    }
}

bool MainWindow::checkArticleAndVersion()
{
    if (!m_flashSession->article().isEmpty() && !m_flashSession->swVersion().isEmpty())
        return true;
    MessageBox::warning(this, QStringLiteral("Bitte zuerst Artikel und Software Version auswählen!"));
    return false;
}

bool MainWindow::checkFlashScript()
{
    QString path = Settings::FlashScriptPath();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    QString name = Settings::FlashScriptName();
    if (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    const QString script = path + name;
    if (QFileInfo::exists(script)) {
        qDebug() << "Flash script exists";
        return true;
    }
    MessageBox::warning(this, QStringLiteral("Kein Flash Skript gefunen! Konfigurationsdatei überprüfen!"));
    qDebug().noquote() << "Flash script not exists " + script;
    return false;
}

void MainWindow::on_btnSelectArticleVersion_clicked()
{
    selectSoftware = new SelectSoftware(this);
    selectSoftware->show();
    connect(
        selectSoftware, &SelectSoftware::updateArtikelAndSWVersion, selectSoftware,
        [this](const QString& article, const QString& swVersion) {
            onArticleAndVersionSelected(article, swVersion);
        },
        Qt::DirectConnection);
}

void MainWindow::onArticleAndVersionSelected(const QString& article, const QString& swVersion)
{
    ui->txtArtikel->setText(article);
    ui->txtSWVersion->setText(swVersion);
    m_flashSession->setArticle(article);
    m_flashSession->setSwVersion(swVersion);
    for (const SpecEntry& entry : Settings::instance()->specs()) {
        if (entry.article.trimmed() == m_flashSession->article() &&
            entry.softwareVersion.trimmed() == m_flashSession->swVersion()) {
            m_flashSession->setImage(entry.image.trimmed());
            ui->txtImage->setText(entry.image.trimmed());
        }
    }
}

void MainWindow::setDefaultImage(const QString& article, const QString& swVersion, const QString& date,
                                 const QString& commitHash)
{
    const QString snapName =
        article + QLatin1Char('-') + swVersion + QLatin1Char('-') + date + QLatin1Char('-') + commitHash;
    ui->txtArtikel->setText(article);
    ui->txtSWVersion->setText(swVersion);
    ui->txtImage->setText(article);
    m_flashSession->setArticle(article);
    m_flashSession->setSwVersion(swVersion);
    m_flashSession->setImage(article);
    m_flashSession->setSnapImageName(snapName);
    m_flashSession->setSnapDate(date);
    m_flashSession->setCommitHash(commitHash);
}

void MainWindow::setEndpointText(const QString& text)
{
    ui->txtServer->setText(text);
}

void MainWindow::on_btnPowerOn_clicked()
{
    PowerControl().powerOn();
}

void MainWindow::on_btnFATTest_clicked()
{
    PowerControl().powerOn();
    FATTest* dialog = new FATTest(this);
    fatTest = dialog;
    jobWindows << dialog;
    // Its "Ok" starts a job: the others go before it writes the job record.
    connect(dialog, &FATTest::jobStarting, this, [this, dialog] { retireJobs(dialog); });
    dialog->show();
    dialog->setFlashSession(m_flashSession);
}

void MainWindow::on_actionUeber_triggered()
{
    about = new About(this);
    about->show();
}

void MainWindow::on_actionBeenden_triggered()
{
    QApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The job windows are windows of their own; closing the main window ends the station all the same.
    QMainWindow::closeEvent(event);
    QApplication::quit();
}
