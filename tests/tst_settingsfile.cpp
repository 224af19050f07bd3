#include "app.h"
#include "settingsfile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// A process that dies while it syncs the settings file may leave QLockFile's lock, or the lock it
// takes to remove a stale one, empty; QLockFile then waits out its 30 s stale time at the next
// sync. The host removes such locks before the store opens the file.
class TstSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void removeStaleLocks_data();
    void removeStaleLocks();
    void nextStartAfterCrash();
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

void TstSettingsFile::nextStartAfterCrash()
{
    // Left by a process that died in its sync: the value it synced and two empty locks.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[APP]\nSTATUS_PERIOD_MS=1\n") > 0);
    file.close();
    QVERIFY(makeLock(path, QStringLiteral(".lock"), 10));
    QVERIFY(makeLock(path, QStringLiteral(".lock.rmlock"), 10));

    // The next start, as the host makes it: the locks go, the synced value stays, and the first
    // update reaches the file at once and leaves no lock behind.
    QCOMPARE(SettingsFile::removeStaleLocks(path).size(), 2);
    auto *app = static_cast<App *>(QCoreApplication::instance());
    app->loadSettings(path);
    QCOMPARE(app->settingValue("APP", "STATUS_PERIOD_MS").toInt(), 1);
    app->updateSetting("APP", "MIN_FREE_SPACE_MB", 2);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             QByteArray("[APP]\nMIN_FREE_SPACE_MB=2\nSTATUS_PERIOD_MS=1\n"
                        "VERBOSE=false\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {"settings.ini"});
}

int main(int argc, char **argv)
{
    App app(argc, argv);
    TstSettingsFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settingsfile.moc"
