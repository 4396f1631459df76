#pragma once

#include "configmanager.h"
#include "settings.h"

#include <QDialog>
#include <QList>
#include <QString>

namespace Ui {
class SelectSoftware;
}

// Lets the operator pick one article and software version that the spec list offers.
class SelectSoftware : public QDialog
{
    Q_OBJECT
public:
    explicit SelectSoftware(QWidget* parent = nullptr);
    ~SelectSoftware() override;

signals:
    void updateArtikelAndSWVersion(QString article, QString swVersion);

private slots:
    void on_btnOk_clicked();
    void on_cbArticle_currentIndexChanged(int index);

private:
    void fillArticles();
    void explainEmptyList(const QString& warning);
    void onSpecsReceived(const QString& warning);

    Ui::SelectSoftware* ui;
    // The list as it was when the dialog was filled, so both boxes always agree.
    QList<SpecEntry> specs;
    ConfigManager configManager; // asks again when the list is empty
};
