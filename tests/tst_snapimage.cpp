#include "snapimage.h"
#include "testmain.h"

class TestSnapImage : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void TestSnapImage::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("parts");

    const QStringList parts{"4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3"};
    QTest::newRow("plain name") << "4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz" << true << parts;
    QTest::newRow("with a folder") << "/srv/images/4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz" << true << parts;
    QTest::newRow("text around it") << "x 4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz y" << true << parts;
    QTest::newRow("two-number version") << "4r0417-1.2-snap-2024-05-17-a1b2c3-img.tar.gz" << false << QStringList();
    QTest::newRow("no snap suffix") << "4r0417-1.2.3-2024-05-17-a1b2c3-img.tar.gz" << false << QStringList();
    QTest::newRow("other archive ending") << "4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.zip" << false << QStringList();
    QTest::newRow("empty") << "" << false << QStringList();
}

void TestSnapImage::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QStringList, parts);

    const SnapImage snap = SnapImage::parse(text);
    QCOMPARE(snap.valid, valid);
    if (valid)
        QCOMPARE((QStringList{snap.article, snap.swVersion, snap.date, snap.commitHash}), parts);
}

NIMBREL_TEST_MAIN(TestSnapImage)
#include "tst_snapimage.moc"
