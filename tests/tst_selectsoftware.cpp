#include "selectsoftware.h"
#include "settings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace {
QStringList items(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

QList<SpecEntry> specsFrom(const QStringList& pairs)
{
    QList<SpecEntry> specs;
    for (const QString& pair : pairs)
        specs.append({pair.section('|', 0, 0), pair.section('|', 1, 1), "image-" + pair});
    return specs;
}
} // namespace

class TestSelectSoftware : public QObject
{
    Q_OBJECT
private slots:
    void form();
    void lists_data();
    void lists();
    void okEmitsTrimmedChoiceAndHides_data();
    void okEmitsTrimmedChoiceAndHides();
    void laterSpecReplyDoesNotChangeAnOpenDialog();
};

void TestSelectSoftware::form()
{
    TestEnvironment env;
    SelectSoftware dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Artikel und Softwareversion"));
    QCOMPARE(dialog.size(), QSize(362, 168));
    const QList<QPair<QString, QString>> labels{{"label", "Artikel und Softwareversion auswählen"},
                                                {"label_2", "Artikel"},
                                                {"label_3", "Softwareversion"}};
    for (const auto& label : labels) {
        auto* widget = dialog.findChild<QLabel*>(label.first);
        QVERIFY2(widget, qPrintable(label.first));
        QCOMPARE(widget->text(), label.second);
    }
    QVERIFY(dialog.findChild<QComboBox*>("cbArticle"));
    QVERIFY(dialog.findChild<QComboBox*>("cbSWVersion"));
    QCOMPARE(dialog.findChild<QPushButton*>("btnOk")->text(), QStringLiteral("Ok"));
}

void TestSelectSoftware::lists_data()
{
    QTest::addColumn<QStringList>("specs");
    QTest::addColumn<QString>("article");
    QTest::addColumn<QStringList>("articles");
    QTest::addColumn<QStringList>("versions");
    const QStringList example{"A|1.0", "A|1.1", "B|1.0", "A|1.0"};
    QTest::newRow("first article") << example << "" << QStringList{"A", "B"} << QStringList{"1.0", "1.1"};
    QTest::newRow("second article") << example << "B" << QStringList{"A", "B"} << QStringList{"1.0"};
    const QStringList cases{"abc|1.0", "ABC|2.0", "abc|1.0"};
    QTest::newRow("case variants, lower")
        << cases << "abc" << QStringList{"abc", "ABC"} << QStringList{"1.0", "2.0"};
    QTest::newRow("case variants, upper")
        << cases << "ABC" << QStringList{"abc", "ABC"} << QStringList{"1.0", "2.0"};
    QTest::newRow("blanks are kept") << QStringList{" A |1.0", "A|2.0", " A | 1.0"} << ""
                                     << QStringList{" A ", "A"} << QStringList{"1.0", " 1.0"};
    QTest::newRow("no spec list yet") << QStringList() << "" << QStringList() << QStringList();
}

void TestSelectSoftware::lists()
{
    QFETCH(QStringList, specs);
    QFETCH(QString, article);
    QFETCH(QStringList, articles);
    QFETCH(QStringList, versions);
    TestEnvironment env;
    Settings::instance()->setSpecs(specsFrom(specs));
    SelectSoftware dialog;
    auto* articleBox = dialog.findChild<QComboBox*>("cbArticle");
    auto* versionBox = dialog.findChild<QComboBox*>("cbSWVersion");
    QCOMPARE(items(articleBox), articles);
    if (!article.isEmpty())
        articleBox->setCurrentText(article);
    QCOMPARE(items(versionBox), versions);
    QCOMPARE(versionBox->currentIndex(), versions.isEmpty() ? -1 : 0);
}

void TestSelectSoftware::okEmitsTrimmedChoiceAndHides_data()
{
    QTest::addColumn<QStringList>("specs");
    QTest::addColumn<QString>("article");
    QTest::addColumn<QString>("version");
    QTest::newRow("first entry") << QStringList{"A|1.0", "B|2.0"} << "A"
                                 << "1.0";
    QTest::newRow("blanks removed") << QStringList{" A |\t1.0 "} << "A"
                                    << "1.0";
    QTest::newRow("empty list") << QStringList() << ""
                                << "";
}

void TestSelectSoftware::okEmitsTrimmedChoiceAndHides()
{
    QFETCH(QStringList, specs);
    QFETCH(QString, article);
    QFETCH(QString, version);
    TestEnvironment env;
    Settings::instance()->setSpecs(specsFrom(specs));
    SelectSoftware dialog;
    dialog.show();
    QSignalSpy spy(&dialog, &SelectSoftware::updateArtikelAndSWVersion);
    QTest::mouseClick(dialog.findChild<QPushButton*>("btnOk"), Qt::LeftButton);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), article);
    QCOMPARE(spy.at(0).at(1).toString(), version);
    QVERIFY(!dialog.isVisible());
}

void TestSelectSoftware::laterSpecReplyDoesNotChangeAnOpenDialog()
{
    TestEnvironment env;
    Settings::instance()->setSpecs(specsFrom({"A|1.0", "B|1.0"}));
    SelectSoftware dialog;
    Settings::instance()->setSpecs(specsFrom({"B|2.0"}));
    auto* articleBox = dialog.findChild<QComboBox*>("cbArticle");
    articleBox->setCurrentText("B");
    QCOMPARE(items(articleBox), (QStringList{"A", "B"}));
    QCOMPARE(items(dialog.findChild<QComboBox*>("cbSWVersion")), QStringList{"1.0"});
    SelectSoftware reopened;
    QCOMPARE(items(reopened.findChild<QComboBox*>("cbArticle")), QStringList{"B"});
}

NIMBREL_TEST_MAIN(TestSelectSoftware)
#include "tst_selectsoftware.moc"
