#include "archiveunpacker.h"
#include "tarbuilder.h"
#include "testenvironment.h"
#include "testmain.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {
QString makeArchive(const TestEnvironment& env, const QString& name, const QStringList& members)
{
    const QByteArray bytes = tarGz(members);
    QFile file(env.path(name));
    return !bytes.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
               ? file.fileName()
               : QString();
}

QString unpack(const QString& archive, const QString& target, int strip = 1)
{
    ArchiveUnpacker unpacker;
    QSignalSpy done(&unpacker, &ArchiveUnpacker::finished);
    unpacker.start(archive, target, strip);
    return done.wait(20000) ? done.at(0).at(0).toString() : QStringLiteral("<no signal>");
}
} // namespace

class TestArchiveUnpacker : public QObject
{
    Q_OBJECT
private slots:
    void membersAreChecked_data();
    void membersAreChecked();
    void brokenArchiveLeavesNothing_data();
    void brokenArchiveLeavesNothing();
};

void TestArchiveUnpacker::membersAreChecked_data()
{
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<QString>("refused");
    QTest::newRow("absolute path") << QStringList{"file:top/a.txt", "file:/top/abs.txt"} << "/top/abs.txt";
    QTest::newRow("..") << QStringList{"file:top/../../evil.txt"} << "top/../../evil.txt";
    QTest::newRow("symbolic link out") << QStringList{"symlink:top/d/l:../../x"} << "top/d/l";
    QTest::newRow("absolute link") << QStringList{"symlink:top/l:/etc"} << "top/l";
    QTest::newRow("hard link out") << QStringList{"hardlink:top/h:../etc/passwd"} << "top/h";
    QTest::newRow("device") << QStringList{"chardev:top/null"} << "top/null";
    QTest::newRow("links that stay inside")
        << QStringList{"file:top/a.txt", "symlink:top/d/l:../a.txt", "hardlink:top/h:top/a.txt"} << "";
}

// One member that leads out of the folder refuses the whole archive: nothing is unpacked.
void TestArchiveUnpacker::membersAreChecked()
{
    QFETCH(QStringList, members);
    QFETCH(QString, refused);
    TestEnvironment env;
    ::umask(022);
    const QString archive = makeArchive(env, "archive.tar.gz", members);
    const QString target = env.path("configs/extract");
    QCOMPARE(unpack(archive, target),
             refused.isEmpty() ? QString() : "Unzulässiger Archivinhalt: " + refused);
    QCOMPARE(QFileInfo::exists(archive), refused.isEmpty());
    if (!refused.isEmpty()) {
        QVERIFY(QDir(target).isEmpty());
        return;
    }
    QCOMPARE(QFileInfo(target + "/d/l").symLinkTarget(), target + "/a.txt");
    struct stat unpacked;
    QCOMPARE(::stat(QFile::encodeName(target + "/a.txt").constData(), &unpacked), 0);
    QCOMPARE(unpacked.st_uid, 0u);             // the station runs as root: never the archive's owner or modes
    QCOMPARE(unpacked.st_mode & 07777, 0755u); // 0777 in the archive, the umask 022 applied
    QCOMPARE(unpacked.st_nlink, nlink_t(2));
}

void TestArchiveUnpacker::brokenArchiveLeavesNothing_data()
{
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("cut short") << false;
    QTest::newRow("disk full while unpacking") << true;
}

// What tar began stays behind when it fails: a half file must never pass for a good one.
void TestArchiveUnpacker::brokenArchiveLeavesNothing()
{
    QFETCH(bool, diskFull);
    TestEnvironment env;
    const QString archive =
        makeArchive(env, "broken.tar.gz", {"file:top/small.txt", "random:top/big.bin:2097152"});
    QFile file(archive);
    QVERIFY(file.open(QIODevice::ReadWrite) && (diskFull || file.resize(file.size() - 40)));
    file.close();
    const QString target = env.path("configs/extract");
    QDir().mkpath(target);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, small{1 << 20, RLIM_INFINITY};
    std::signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails instead of killing the writer
    if (diskFull)
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString warning = unpack(archive, target);
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    QCOMPARE(warning, "Entpacken fehlgeschlagen: " + archive);
    QVERIFY(!QFileInfo::exists(archive)); // fetched again next time, never taken as downloaded
    QCOMPARE(QDir(target).entryList(QDir::Files), QStringList());
}

NIMBREL_TEST_MAIN(TestArchiveUnpacker)
#include "tst_archiveunpacker.moc"
