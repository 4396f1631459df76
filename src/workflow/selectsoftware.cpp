#include "selectsoftware.h"

#include "ui_selectsoftware.h"

#include "messagebox.h"

#include <QStringList>
#include <QTimer>

namespace {
const QString noArticles = QStringLiteral("Der Server bietet keine Artikel an.");
}

SelectSoftware::SelectSoftware(QWidget* parent) : QDialog(parent), ui(new Ui::SelectSoftware)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Artikel und Softwareversion"));
    fillArticles();
    if (!specs.isEmpty())
        return;
    // An empty choice needs its reason, and the server another chance.
    connect(&configManager, &ConfigManager::specsReceived, this, &SelectSoftware::onSpecsReceived);
    configManager.requestSpecs();
    const ConfigManager::SpecsOutcome last = ConfigManager::lastSpecsOutcome();
    if (last.answered) // shown once the dialog is on the screen
        QTimer::singleShot(0, this, [this, last] { explainEmptyList(last.warning); });
}

void SelectSoftware::fillArticles()
{
    specs = Settings::instance()->specs();
    ui->cbArticle->clear();
    QStringList articles;
    for (const SpecEntry& entry : specs) {
        if (!articles.contains(entry.article))
            articles.append(entry.article);
    }
    ui->cbArticle->addItems(articles); // the first article fills the version box
    on_cbArticle_currentIndexChanged(ui->cbArticle->currentIndex());
}

void SelectSoftware::explainEmptyList(const QString& warning)
{
    MessageBox::warning(this, warning.isEmpty() ? noArticles : warning);
}

void SelectSoftware::onSpecsReceived(const QString& warning)
{
    if (warning.isEmpty())
        fillArticles();
    if (!warning.isEmpty() || specs.isEmpty())
        explainEmptyList(warning);
}

SelectSoftware::~SelectSoftware()
{
    delete ui;
}

void SelectSoftware::on_btnOk_clicked()
{
    emit updateArtikelAndSWVersion(ui->cbArticle->currentText().trimmed(),
                                   ui->cbSWVersion->currentText().trimmed());
    hide();
}

void SelectSoftware::on_cbArticle_currentIndexChanged(int /*index*/)
{
    ui->cbSWVersion->clear();
    // Articles that differ only in letter case share their versions.
    const QString article = ui->cbArticle->currentText();
    QStringList versions;
    for (const SpecEntry& entry : specs) {
        if (entry.article.compare(article, Qt::CaseInsensitive) == 0 &&
            !versions.contains(entry.softwareVersion))
            versions.append(entry.softwareVersion);
    }
    ui->cbSWVersion->addItems(versions);
}
