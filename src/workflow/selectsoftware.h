#pragma once

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
    Ui::SelectSoftware* ui;
    // The list as it was when the dialog opened, so both boxes always agree.
    const QList<SpecEntry> specs;
};
