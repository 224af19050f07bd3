// Child process of tst_settingscrash: loops on App::updateSetting with increasing values and
// reports each value once the store has synced it, until it is killed.
//
// Usage: settingswriter <ini-file> <first-value>
// Output: one line "synced <n>" per value, written after the sync returned without error.

#include "app.h"

#include <QFileInfo>
#include <QSettings>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

void silence(QtMsgType, const QMessageLogContext &, const QString &) { }

// A crash between creating "<file>.lock" and writing the owner's pid into it leaves an empty lock
// file; QLockFile cannot tell whether its owner lives and waits out its 30 s stale time. The same
// holds for "<file>.lock.rmlock", the lock QLockFile takes while it removes a stale lock. Like the
// host at start-up, drop such empty locks before the store is opened; the host also waits until
// they are 2 s old, which this writer need not do because no other process uses its file.
void removeEmptyStaleLocks(const QString &iniPath)
{
    for (const char *suffix : {".lock", ".lock.rmlock"}) {
        const QFileInfo lock(iniPath + QLatin1String(suffix));
        if (lock.exists() && lock.isFile() && !lock.isSymLink() && lock.size() == 0)
            QFile::remove(lock.filePath());
    }
}

// Unbuffered, so that a line the parent reads was complete before the kill.
void report(qlonglong value)
{
    char line[40];
    const int length = std::snprintf(line, sizeof line, "synced %lld\n", value);
    if (::write(STDOUT_FILENO, line, size_t(length)) != length)
        std::exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(silence);
    App app(argc, argv);
    if (argc != 3)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    qlonglong value = QByteArray(argv[2]).toLongLong();

    removeEmptyStaleLocks(path);
    app.loadSettings(path);
    for (;; ++value) {
        // An int setting and a text setting of varying length, so that the file changes size.
        app.updateSetting("APP", "STATUS_PERIOD_MS", int(value));
        app.updateSetting(
            "MAV", "CONNECTION_TYPE",
            QStringLiteral("serial-%1").arg(QString(int(value % 97), QLatin1Char('x'))));
        if (app.settings()->status() != QSettings::NoError)
            return 3;
        report(value);
    }
}
