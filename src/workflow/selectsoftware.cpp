#include "selectsoftware.h"

#include "ui_selectsoftware.h"

#include <QStringList>

SelectSoftware::SelectSoftware(QWidget* parent)
    : QDialog(parent), ui(new Ui::SelectSoftware), specs(Settings::instance()->specs())
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Artikel und Softwareversion"));

    QStringList articles;
    for (const SpecEntry& entry : specs) {
        if (!articles.contains(entry.article))
            articles.append(entry.article);
    }
    ui->cbArticle->addItems(articles); // the first article fills the version box
    on_cbArticle_currentIndexChanged(ui->cbArticle->currentIndex());
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
