#include "settingsfile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// A process that dies while it syncs the settings file may leave QLockFile's lock, or the lock it
// takes to remove a stale one, empty; QLockFile then waits out its 30 s stale time at the next
// sync. The host removes such locks before the store opens the file.
class TstSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void removeStaleLocks_data();
    void removeStaleLocks();
    void fifoAtSave();
};

namespace {

// Creates path + suffix holding content, last changed ageS seconds ago (negative: ahead).
bool makeLock(const QString &path, const QString &suffix, int ageS, const QByteArray &content = {})
{
    QFile file(path + suffix);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
        file.flush() &&
        file.setFileTime(QDateTime::currentDateTime().addSecs(-ageS),
                         QFileDevice::FileModificationTime);
}

} // namespace

void TstSettingsFile::removeStaleLocks_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("ageS");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("removed");
    QTest::newRow("empty lock") << ".lock" << 10 << QByteArray() << true;
    QTest::newRow("empty removal lock") << ".lock.rmlock" << 10 << QByteArray() << true;
    QTest::newRow("empty, dated ahead (clock set back)") << ".lock" << -10 << QByteArray() << true;
    QTest::newRow("empty, just made: its owner writes it") << ".lock" << 0 << QByteArray() << false;
    QTest::newRow("holding a pid: QLockFile's own case")
        << ".lock" << 10 << QByteArray("4242\nkelvane-host\nhost\n") << false;
}

void TstSettingsFile::removeStaleLocks()
{
    QFETCH(QString, suffix);
    QFETCH(int, ageS);
    QFETCH(QByteArray, content);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    QVERIFY(makeLock(path, suffix, ageS, content));
    QCOMPARE(SettingsFile::removeStaleLocks(path),
             removed ? QStringList {path + suffix} : QStringList());
    QCOMPARE(QFileInfo::exists(path + suffix), !removed);
}

// A FIFO put where the settings file was once the host had started: save looks for the lines it
// would drop at once, rather than wait in open() for a writer that never comes.
void TstSettingsFile::fifoAtSave()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    ::alarm(10); // a blocked open() ends the suite, failed, rather than hang it
    QVERIFY(SettingsFile::droppedLines(path).isEmpty());
    ::alarm(0);
}

QTEST_GUILESS_MAIN(TstSettingsFile)

#include "tst_settingsfile.moc"
