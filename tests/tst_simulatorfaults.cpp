// The simulator when the serial line misbehaves: the peer disappears, the client stops reading,
// garbage arrives, the device cannot be opened, and start/stop churn. The plug-in is loaded as
// the host loads it and talks to the slave side of a real pty.

#include "logcapture.h"
#include "simulatorhost.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLockFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSerialPort>

#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <memory>
#include <sys/ioctl.h>

// Reads of descriptor failingFd fail with EAGAIN while failingReads is positive, as after a
// spurious wake-up; everything else reads as ever.
static std::atomic<int> failingFd {-1};
static std::atomic<int> failingReads {0};

extern "C" Q_DECL_EXPORT ssize_t read(int fd, void *buffer, size_t size)
{
    using Read = ssize_t (*)(int, void *, size_t);
    static const Read next = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    if (fd == failingFd && failingReads > 0) {
        --failingReads;
        errno = EAGAIN;
        return -1;
    }
    return next(fd, buffer, size);
}

namespace {

constexpr qint64 MaxBacklog = 1 << 20;

/// A pty pair whose master this test reads only when told to, so that it can play a client
/// that stops reading. A slave descriptor is held as well, to look at the slave's input queue.
class RawPty
{
public:
    RawPty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        termios tio;
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
        path = QString::fromLocal8Bit(ptsname(master));
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
        notifier = new QSocketNotifier(master, QSocketNotifier::Read);
        notifier->setEnabled(false);
        QObject::connect(notifier, &QSocketNotifier::activated, [this] { drain(); });
    }
    /// The client end of a line made elsewhere (a socat pty): read and written like a master.
    explicit RawPty(const QString &clientPath)
    {
        master = ::open(QFile::encodeName(clientPath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        path = clientPath;
        notifier = new QSocketNotifier(master, QSocketNotifier::Read);
        notifier->setEnabled(false);
        QObject::connect(notifier, &QSocketNotifier::activated, [this] { drain(); });
    }
    ~RawPty() { closeMaster(); }
    RawPty(const RawPty &) = delete;
    RawPty &operator=(const RawPty &) = delete;

    bool isOpen() const { return master >= 0; }
    QString slavePath() const { return path; }

    /// Reads whatever arrives from now on (true) or leaves it in the pty (false).
    void setReading(bool on)
    {
        notifier->setEnabled(on);
        if (on)
            drain();
    }
    /// Whether what is read is kept in received (true) or only counted.
    void setKeeping(bool on) { keeping = on; }

    /// Writes all of data, letting the event loop run while the pty is full.
    bool write(const QByteArray &data)
    {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(master, data.constData() + done, size_t(data.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EAGAIN)
                return false;
            else
                QCoreApplication::processEvents();
        }
        return true;
    }

    /// Bytes written to the master that the simulator has not read yet.
    int unreadBySlave() const
    {
        int queued = 0;
        return ::ioctl(slave, FIONREAD, &queued) == 0 ? queued : -1;
    }

    /// Closes both ends held here: the simulator's side of the line hangs up.
    void closeMaster()
    {
        delete notifier;
        notifier = nullptr;
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
        slave = master = -1;
    }

    QByteArray received;
    qint64 receivedCount = 0;

private:
    void drain()
    {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(master, chunk, sizeof chunk)) > 0) {
            receivedCount += n;
            if (keeping)
                received.append(chunk, int(n));
        }
    }

    int master = -1;
    int slave = -1;
    bool keeping = true;
    QString path;
    QSocketNotifier *notifier = nullptr;
};

/// Runs the event loop until done() holds or timeoutMs have passed; returns done().
template<typename Predicate> bool waitFor(Predicate done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return done();
}

QString socatHint()
{
    return QStringLiteral("info [ECHO] Run in console before app starting: 'socat -d -d "
                          "pty,raw,echo=0 pty,raw,echo=0'");
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

// The lock file QSerialPort takes for a device: "LCK.." and the path without "/dev/", with "/"
// turned into "_", in the first writable one of the usual lock directories.
QStringList lockFileCandidates(const QString &device)
{
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList paths;
    for (const QString &dir :
         {QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
          QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"), QDir::tempPath()})
        paths << dir + QLatin1String("/LCK..") + name;
    return paths;
}

QStringList existingLockFiles(const QString &device)
{
    QStringList found;
    for (const QString &path : lockFileCandidates(device)) {
        if (QFileInfo::exists(path))
            found << path;
    }
    return found;
}

// The holder process of the held-port row: opens the device with QSerialPort, which locks it,
// says so and keeps it until its standard input closes.
int holdPort(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QSerialPort port(QString::fromLocal8Bit(argv[2]));
    if (!port.open(QIODevice::ReadWrite))
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) { }
    return 0;
}

} // namespace

class tst_SimulatorFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void peerLoss_data();
    void peerLoss();
    void transientError_data();
    void transientError();
    void neverReadingClient();
    void largeFrames();
    void randomMegabyte();
    void unopenableDevice_data();
    void unopenableDevice();
    void churn();

private:
    void useDevice(const QString &path);
    QSerialPort *port() const { return plugin->findChild<QSerialPort *>(); }

    QTemporaryDir dir;
    QPluginLoader loader;
    IPayloadPlugin *plugin = nullptr;
};

void tst_SimulatorFaults::initTestCase()
{
    plugin = loadSimulator(loader, dir,
                           {{QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"),
                             dir.filePath(QStringLiteral("none"))}});
    QVERIFY2(plugin, qPrintable(loader.errorString()));
}

void tst_SimulatorFaults::cleanup()
{
    plugin->stop();
}

void tst_SimulatorFaults::useDevice(const QString &path)
{
    // Logs "Updated: KELVANE_SIMULATOR/SERIAL_DEVICE=<path>".
    static_cast<App *>(QCoreApplication::instance())
        ->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", path);
}

void tst_SimulatorFaults::peerLoss_data()
{
    QTest::addColumn<bool>("socat");
    QTest::newRow("master closed") << false;
    QTest::newRow("socat killed") << true;
}

void tst_SimulatorFaults::peerLoss()
{
    QFETCH(bool, socat);

    // The simulator's end of the line, the client's end, and a way to make the peer disappear.
    QProcess socatProcess;
    QString device;
    std::unique_ptr<RawPty> client;
    if (socat) {
        if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
            QSKIP("socat is not installed");
        device = dir.filePath(QStringLiteral("echo"));
        const QString clientPath = dir.filePath(QStringLiteral("client"));
        QFile::remove(device);
        QFile::remove(clientPath);
        socatProcess.start(QStringLiteral("socat"),
                           {QStringLiteral("pty,raw,echo=0,link=") + device,
                            QStringLiteral("pty,raw,echo=0,link=") + clientPath});
        QVERIFY(socatProcess.waitForStarted());
        QVERIFY(
            waitFor([&] { return QFileInfo::exists(device) && QFileInfo::exists(clientPath); }));
        client = std::make_unique<RawPty>(clientPath);
    } else {
        client = std::make_unique<RawPty>();
        device = client->slavePath();
    }
    QVERIFY(client->isOpen());
    client->setReading(true);

    useDevice(device);
    LogCapture log;
    plugin->start();
    QVERIFY(port());
    // Pinging every 10 ms when the peer goes.
    QVERIFY(client->write("output 3 interval 0.01 go"));
    QVERIFY(waitFor([&] { return client->received.count("$SMDBT") >= 3; }));
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {10});
    if (socat) {
        socatProcess.kill();
        QVERIFY(socatProcess.waitForFinished());
    } else {
        client->closeMaster();
    }

    // One critical line with the port's error text, and the port and data timer released.
    QVERIFY(waitFor([&] { return !port(); }));
    QCOMPARE(dataTimerPeriods(plugin), QList<int>());
    QCOMPARE(log.take(),
             QStringList({socatHint(),
                          QStringLiteral("critical [ECHO] CRIT: Serial port lost: "
                                         "\"%1\" -> \"Hung up\"")
                              .arg(device)}));

    // A later start() on a live line behaves as ever: the interval set before is kept.
    RawPty fresh;
    fresh.setReading(true);
    useDevice(fresh.slavePath());
    plugin->start();
    QVERIFY(port());
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {10});
    QVERIFY(fresh.write("output 7"));
    QVERIFY(waitFor([&] { return fresh.received.endsWith("output 7\r\n>ok.\r\n"); }));
    QCOMPARE(log.take(),
             QStringList({QStringLiteral("info Updated: KELVANE_SIMULATOR/SERIAL_DEVICE=") +
                              fresh.slavePath(),
                          socatHint()}));
}

void tst_SimulatorFaults::neverReadingClient()
{
    // Frames of 13333 samples every 10 ms, about 4 MB/s, to a client that does not read.
    RawPty pty;
    QVERIFY(pty.isOpen());
    useDevice(pty.slavePath());
    LogCapture log;
    plugin->start();
    const QByteArray command("output 2 #range 100000 #samplfreq 100000 interval 0.01 go");
    QVERIFY(pty.write(command));

    const QString startLine =
        QStringLiteral("warning [ECHO] WARN: Serial output backlog full, skipping pings: \"%1\"")
            .arg(pty.slavePath());
    const QRegularExpression endLine(
        QStringLiteral("^warning \\[ECHO\\] WARN: Stopped skipping pings, pings skipped: (\\d+)$"));
    // The backlog is looked at on every pass of the event loop, the log collected in order.
    qint64 largestBacklog = 0;
    QStringList lines;
    auto watching = [&](auto done) {
        return [&, done] {
            if (QSerialPort *p = port())
                largestBacklog = qMax(largestBacklog, p->bytesToWrite());
            lines << log.take();
            return done();
        };
    };
    QVERIFY(waitFor(watching([&] { return lines.contains(startLine); }), 30000));
    // A command while pings are skipped: its reply comes all the same.
    QVERIFY(pty.write("#go"));
    QVERIFY(waitFor(watching([&] { return pty.unreadBySlave() == 0; })));

    // The client reads again: the episode ends and whole pings come again.
    pty.setReading(true);
    QVERIFY(waitFor(watching([&] { return !lines.filter(endLine).isEmpty(); }), 30000));
    const int pingsBefore = pty.received.count("##DataEnd");
    QVERIFY(waitFor(watching([&] { return pty.received.count("##DataEnd") >= pingsBefore + 3; })));
    QVERIFY(pty.write("output 7"));
    QVERIFY(waitFor(watching([&] { return pty.received.endsWith("output 7\r\n>ok.\r\n"); })));
    plugin->stop();
    lines << log.take();

    // One line when skipping starts, one with a positive count when it ends.
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), socatHint());
    QCOMPARE(lines.at(1), startLine);
    const QRegularExpressionMatch end = endLine.match(lines.at(2));
    QVERIFY2(end.hasMatch(), qPrintable(lines.at(2)));
    QVERIFY(end.captured(1).toLongLong() > 0);
    // The backlog never grew past the bound by more than the ping that found it under.
    QVERIFY2(largestBacklog <= MaxBacklog + 64 * 1024, qPrintable(QString::number(largestBacklog)));

    // Both replies came, and every ping that started arrived whole: from its header to the end
    // of its data block, with all its lines.
    QByteArray received = pty.received;
    for (const QByteArray reply : {"#go\r\n>ok.\r\n", "output 7\r\n>ok.\r\n"}) {
        QCOMPARE(received.count(reply), 1);
        received.replace(reply, QByteArray());
    }
    const QByteArray head("#DeviceID");
    QCOMPARE(received.indexOf(head), command.size() + 8);
    int pings = 0;
    for (int at = received.indexOf(head); at >= 0; ++pings) {
        const int next = received.indexOf(head, at + 1);
        const QByteArray ping = received.mid(at, next < 0 ? -1 : next - at);
        QVERIFY2(ping.endsWith("##DataEnd\r\n\r\n") && ping.count('\n') == 13333 + 38,
                 qPrintable(QStringLiteral("ping %1").arg(pings)));
        at = next;
    }
    QVERIFY(pings > 3);
}

void tst_SimulatorFaults::transientError_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<bool>("lost");
    QTest::newRow("one EAGAIN") << 1 << false;
    QTest::newRow("a burst of ten") << 10 << true;
}

void tst_SimulatorFaults::transientError()
{
    QFETCH(int, failures);
    QFETCH(bool, lost);
    RawPty pty;
    pty.setReading(true);
    useDevice(pty.slavePath());
    LogCapture log;
    plugin->start();
    failingFd = int(port()->handle());
    failingReads = failures;
    QVERIFY(pty.write("output 7"));
    if (lost) {
        QVERIFY(waitFor([&] { return !port(); }));
        QCOMPARE(log.take(),
                 QStringList({socatHint(),
                              QStringLiteral("critical [ECHO] CRIT: Serial port lost: \"%1\" -> "
                                             "\"Resource temporarily unavailable\"")
                                  .arg(pty.slavePath())}));
    } else {
        // The port is read again and the command answered.
        QVERIFY(waitFor([&] { return pty.received.endsWith("output 7\r\n>ok.\r\n"); }));
        QVERIFY(port());
        QCOMPARE(log.take(), QStringList {socatHint()});
    }
    QCOMPARE(failingReads, 0);
    failingFd = -1;
}

void tst_SimulatorFaults::largeFrames()
{
    // Blocks cut to 1048576 samples, about 3 MB a ping and three times the backlog bound, to a
    // client that reads as fast as it can.
    RawPty pty;
    pty.setReading(true);
    useDevice(pty.slavePath());
    LogCapture log;
    plugin->start();
    // A range the mode does not use is not reported, nor a command without a ping.
    QVERIFY(pty.write("#rangeh 99999999 output 7"));
    QVERIFY(waitFor([&] { return pty.received.endsWith(">ok.\r\n"); }));
    QVERIFY(pty.write("#range 8000000 output 2 interval 0.2 go"));
    for (int i = 0; i < 2; ++i) {
        QVERIFY(waitFor([&] { return pty.received.contains("##DataEnd\r\n\r\n"); }, 60000));
        const int end = pty.received.indexOf("##DataEnd\r\n\r\n") + 13;
        const QByteArray ping = pty.received.left(end);
        pty.received.remove(0, end);
        QVERIFY(ping.contains("\r\n#NSamples 1048576\r\n"));
        QCOMPARE(ping.mid(ping.lastIndexOf("#DeviceID")).count('\n'), 1048576 + 38);
    }
    QVERIFY(pty.write("output 7"));
    QVERIFY(waitFor([&] { return pty.received.endsWith("output 7\r\n>ok.\r\n"); }, 60000));
    plugin->stop();
    // Once, though every ping was cut. A slow machine may skip pings meanwhile.
    const QStringList lines = log.take().filter(QRegularExpression(QStringLiteral("^(?!.*skip)")));
    QCOMPARE(lines,
             QStringList({socatHint(),
                          QStringLiteral("warning [ECHO] WARN: Data blocks are "
                                         "cut to 1048576 samples")}));
}

void tst_SimulatorFaults::randomMegabyte()
{
    RawPty pty;
    QVERIFY(pty.isOpen());
    useDevice(pty.slavePath());
    // Whatever the garbage makes the simulator log (such as cut data blocks) is not checked.
    auto log = std::make_unique<LogCapture>();
    plugin->start();
    pty.setReading(true);
    QVERIFY(pty.write("output 7"));
    QVERIFY(waitFor([&] { return pty.received.endsWith("output 7\r\n>ok.\r\n"); }));

    // A megabyte of random bytes, NULs included; the echoes are read and counted, not kept.
    QRandomGenerator random(20261205);
    QByteArray garbage(1 << 20, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(garbage.data()), garbage.size() / 4);
    QVERIFY(garbage.contains('\0'));
    pty.setKeeping(false);
    const qint64 rssBefore = residentBytes();
    for (int at = 0; at < garbage.size(); at += 4096)
        QVERIFY(pty.write(garbage.mid(at, 4096)));

    // Everything read by the simulator and its replies gone out.
    QVERIFY(waitFor(
        [&] { return pty.unreadBySlave() == 0 && port() && port()->bytesToWrite() == 0; }, 30000));
    QCoreApplication::processEvents();
    const qint64 rssAfter = residentBytes();
    QVERIFY(pty.receivedCount > garbage.size() / 2);

    // A clean command gets its exact reply, within a second.
    pty.received.clear();
    pty.setKeeping(true);
    const QByteArray command("#interval 1");
    const QByteArray reply("#interval 1\r\n>ok.\r\n");
    QElapsedTimer clock;
    clock.start();
    QVERIFY(pty.write(command));
    QVERIFY(waitFor([&] { return pty.received.size() >= reply.size(); }, 1000));
    const qint64 replyMs = clock.elapsed();
    QCOMPARE(pty.received, reply);
    QVERIFY2(replyMs < 1000, qPrintable(QString::number(replyMs)));
    // AddressSanitizer keeps freed blocks in quarantine (up to 256 MB), so resident memory says
    // nothing about the simulator there.
#ifndef __SANITIZE_ADDRESS__
    QVERIFY2(rssAfter - rssBefore < 4 * 1024 * 1024,
             qPrintable(QStringLiteral("%1 bytes more resident").arg(rssAfter - rssBefore)));
#endif
    log.reset();
    qInfo("resident memory %+lld KiB over the megabyte; reply after %lld ms",
          (rssAfter - rssBefore) / 1024, replyMs);
}

void tst_SimulatorFaults::unopenableDevice_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("line"); // the critical line, %1 the device

    const QString notFound = QStringLiteral("critical [ECHO] CRIT: Unable to find virtual serial "
                                            "port: \"%1\"");
    const QString notOpened = QStringLiteral("critical [ECHO] CRIT: Unable to open serial port: "
                                             "\"%1\" -> \"%2\"");
    QTest::newRow("missing") << dir.filePath(QStringLiteral("missing")) << notFound;
    QTest::newRow("directory") << dir.filePath(QStringLiteral("directory"))
                               << notOpened.arg(QStringLiteral("%1"),
                                                QStringLiteral("Is a directory"));
    QTest::newRow("regular file") << dir.filePath(QStringLiteral("file"))
                                  << notOpened.arg(
                                         QStringLiteral("%1"),
                                         QStringLiteral("Inappropriate ioctl for device"));
    QTest::newRow("/dev/null") << QStringLiteral("/dev/null")
                               << notOpened.arg(QStringLiteral("%1"),
                                                QStringLiteral("Inappropriate ioctl for device"));
    QTest::newRow("held by another process")
        << QString() // a pty slave, made in the test
        << notOpened.arg(QStringLiteral("%1"),
                         QStringLiteral("Permission error while locking the device"));
}

void tst_SimulatorFaults::unopenableDevice()
{
    QFETCH(QString, device);
    QFETCH(QString, line);

    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("directory")));
    const QByteArray content("not a serial port\r\n");
    QFile file(dir.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const QDateTime fileTime = QFileInfo(file).lastModified();

    RawPty pty;
    QProcess holder;
    QByteArray heldLock;
    if (device.isEmpty()) {
        device = pty.slavePath();
        holder.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--hold-port"), device});
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readAllStandardOutput(), QByteArray("held\n"));
        QCOMPARE(existingLockFiles(device).size(), 1);
        QFile lock(existingLockFiles(device).first());
        QVERIFY(lock.open(QIODevice::ReadOnly));
        heldLock = lock.readAll();
    }
    const QStringList locksBefore = existingLockFiles(device);

    useDevice(device);
    LogCapture log;
    plugin->start();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(log.take(), QStringList({socatHint(), line.arg(device)}));
    QVERIFY(!port());
    QCOMPARE(dataTimerPeriods(plugin), QList<int>());
    QCOMPARE(existingLockFiles(device), locksBefore);

    if (!heldLock.isEmpty()) {
        QFile lock(locksBefore.first());
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), heldLock);
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(holder.exitCode(), 0);
        QVERIFY(existingLockFiles(device).isEmpty());
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    QCOMPARE(QFileInfo(file).lastModified(), fileTime);
}

void tst_SimulatorFaults::churn()
{
    RawPty pty;
    QVERIFY(pty.isOpen());
    pty.setReading(true);
    pty.setKeeping(false);
    useDevice(pty.slavePath());
    LogCapture quiet;

    // Once round, so that lazily made things (the lock directory, notifiers) exist before counting.
    plugin->start();
    plugin->stop();
    const int descriptors = openDescriptors();
    for (int i = 0; i < 1000; ++i) {
        plugin->start();
        plugin->stop();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(openDescriptors(), descriptors);
    QVERIFY(!port());
    QCOMPARE(dataTimerPeriods(plugin), QList<int>());
    QVERIFY(existingLockFiles(pty.slavePath()).isEmpty());

    // start() on a running simulator replaces its port and timer: never two of either.
    for (int i = 0; i < 5; ++i) {
        plugin->start();
        QCOMPARE(plugin->findChildren<QSerialPort *>().size(), 1);
        QCOMPARE(dataTimerPeriods(plugin).size(), 1);
    }
    plugin->stop();
    QCOMPARE(openDescriptors(), descriptors);
    QCOMPARE(quiet.take().size(), 1001 + 5);
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--hold-port") == 0)
        return holdPort(argc, argv);
    App app(argc, argv);
    tst_SimulatorFaults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_simulatorfaults.moc"
