// OutputFile against what may stand at a path the user gives: nothing, a file, a link planted
// there, a FIFO, a folder, a descriptor of the process, a device that refuses writes.

#include "outputfile.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

} // namespace

class TstOutputFile : public QObject
{
    Q_OBJECT

private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }
    void writes_data();
    void writes();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void TstOutputFile::writes_data()
{
    QTest::addColumn<QString>("there"); // what stands at the path before
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("error"); // what errorString() ends with; empty: written
    QTest::addColumn<QByteArray>("after"); // what the path (or the FIFO's reader) then holds
    const int replace = OutputFile::Replace, stream = OutputFile::Stream;
    QTest::newRow("nothing") << "nothing" << replace << "" << QByteArray("new\n");
    QTest::newRow("file, replaced") << "file" << replace << "" << QByteArray("new\n");
    QTest::newRow("file, streamed") << "file" << stream << "" << QByteArray("new\n");
    QTest::newRow("FIFO read") << "fifo" << replace << "" << QByteArray("new\n");
    QTest::newRow("FIFO unread") << "lone fifo" << stream << "no process reads the FIFO"
                                 << QByteArray();
    QTest::newRow("descriptor, appending")
        << "descriptor" << replace << "" << QByteArray("old\nnew\n");
    QTest::newRow("full device") << "full device" << stream << "No space left on device"
                                 << QByteArray();
}

void TstOutputFile::writes()
{
    QFETCH(QString, there);
    QFETCH(int, mode);
    QFETCH(QString, error);
    QFETCH(QByteArray, after);

    QString path = dir->filePath(QStringLiteral("out"));
    const QByteArray name = QFile::encodeName(path);
    int reader = -1;
    if (there == QLatin1String("file"))
        QVERIFY(::close(::open(name.constData(), O_WRONLY | O_CREAT, 0640)) == 0);
    if (there.endsWith(QLatin1String("fifo")))
        QVERIFY(::mkfifo(name.constData(), 0600) == 0);
    if (there == QLatin1String("fifo"))
        reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
    if (there == QLatin1String("descriptor")) {
        // As a shell's ">>" gives it: opened to append, at a number of its own.
        reader = ::open(name.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        QVERIFY(::write(reader, "old\n", 4) == 4);
        path = QStringLiteral("/dev/fd/%1").arg(reader);
    }
    if (there == QLatin1String("full device") &&
        ::mknod(name.constData(), S_IFCHR | 0600, makedev(1, 7)) != 0)
        QSKIP("making a device node needs CAP_MKNOD");

    OutputFile file(path, OutputFile::Mode(mode));
    const bool written = file.open() && file.write("new\n") && file.commit();
    QVERIFY2(written == error.isEmpty(), qPrintable(file.errorString()));
    QVERIFY2(error.isEmpty() ? file.errorString().isEmpty()
                             : file.errorString().startsWith("cannot write " + path + ": ") &&
                     file.errorString().endsWith(error),
             qPrintable(file.errorString()));

    struct stat info = {};
    QVERIFY(::lstat(name.constData(), &info) == 0);
    if (there == QLatin1String("fifo")) {
        char bytes[16] = {};
        QCOMPARE(QByteArray(bytes, int(::read(reader, bytes, sizeof bytes))), after);
    } else if (!after.isEmpty()) {
        QCOMPARE(contents(dir->filePath(QStringLiteral("out"))), after);
    }
    // A file keeps its mode; a device or a FIFO is written in place, never replaced by a file.
    if (there == QLatin1String("file"))
        QCOMPARE(info.st_mode & 0777, mode_t(0640));
    QCOMPARE(S_ISFIFO(info.st_mode), there.endsWith(QLatin1String("fifo")));
    QCOMPARE(S_ISCHR(info.st_mode), there == QLatin1String("full device"));
    if (reader >= 0)
        ::close(reader);
    // Nothing else is left in the folder: no new file of a failed or finished write.
    QCOMPARE(QDir(dir->path())
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList("out"));
}

QTEST_GUILESS_MAIN(TstOutputFile)
#include "tst_outputfile.moc"
