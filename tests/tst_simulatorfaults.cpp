// The simulator when the serial line misbehaves: the peer hangs up, reads fail for a moment or
// for good, the client stops reading, blocks grow past the output bound. The plug-in is loaded as
// the host loads it and talks to the slave side of a real pty. (Garbage from the client is
// fuzz_commands' work.)

#include "logcapture.h"
#include "simulatorhost.h"

#include <QRegularExpression>
#include <QSerialPort>

#include <atomic>
#include <dlfcn.h>
#include <memory>

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

// The simulator's bound on its output backlog.
static constexpr qint64 MaxBacklog = 1 << 16;

class tst_SimulatorFaults : public QObject, SimulatorFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void portLoss_data();
    void portLoss();
    void neverReadingClient();
    void intervalZeroWaitsForTheLine();
    void largeFrames();

private:
    std::unique_ptr<Pty> client;
    std::unique_ptr<LogCapture> log;
    QSerialPort *port() const { return plugin->findChild<QSerialPort *>(); }
};

void tst_SimulatorFaults::initTestCase()
{
    QVERIFY2(load({}), qPrintable(loader.errorString()));
}

// Each test on a new line, with the simulator started on it and its log from then on.
void tst_SimulatorFaults::init()
{
    client = std::make_unique<Pty>();
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", client->slavePath());
    log = std::make_unique<LogCapture>();
    plugin->start();
}

void tst_SimulatorFaults::cleanup()
{
    plugin->stop();
    log.reset();
}

void tst_SimulatorFaults::portLoss_data()
{
    QTest::addColumn<int>("failures"); // reads failing with EAGAIN; none: the peer hangs up
    QTest::addColumn<QString>("reason"); // none: the port is kept
    QTest::newRow("peer hangs up") << 0 << QStringLiteral("Hung up");
    QTest::newRow("one EAGAIN") << 1 << QString();
    QTest::newRow("a burst of ten") << 10 << QStringLiteral("Resource temporarily unavailable");
}

void tst_SimulatorFaults::portLoss()
{
    QFETCH(int, failures);
    QFETCH(QString, reason);
    // Pinging every 10 ms when the other side hangs up, as when socat is killed, or reads fail.
    QVERIFY(client->write("output 3 interval 0.01 go"));
    QVERIFY(waitFor([&] { return client->received.count("$SMDBT") >= 3; }));
    QStringList lines {startRequestLines().at(1)};
    if (!reason.isEmpty())
        lines << QStringLiteral("critical [ECHO] CRIT: Serial port lost: \"%1\" -> \"%2\"")
                     .arg(client->slavePath(), reason);
    failingFd = int(port()->handle());
    failingReads = failures;
    if (failures == 0)
        client.reset();
    else
        QVERIFY(client->write("output 7"));
    if (reason.isEmpty()) {
        // The port is read again and the command answered.
        QVERIFY(waitFor([&] { return client->received.endsWith("output 7\r\n>ok.\r\n"); }));
        QVERIFY(port());
    } else {
        // One critical line, and the port and data timer released.
        QVERIFY(waitFor([&] { return !port(); }));
        QCOMPARE(dataTimerPeriods(), QList<int>());
    }
    QCOMPARE(log->take(), lines);
    QCOMPARE(failingReads.load(), 0);
    failingFd = -1;

    // A later start() on a live line behaves as ever, with the interval set before.
    Pty fresh;
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", fresh.slavePath());
    plugin->start();
    QCOMPARE(dataTimerPeriods(), QList<int> {10});
    KELVANE_COMMAND(fresh, "output 7", "output 7\r\n>ok.\r\n");
}

void tst_SimulatorFaults::neverReadingClient()
{
    // Frames of 13333 samples every 10 ms, about 4 MB/s, to a client that does not read.
    client->setReading(false);
    const QByteArray command("output 2 #range 100000 #samplfreq 100000 interval 0.01 go");
    QVERIFY(client->write(command));

    const QString startLine =
        QStringLiteral("warning [ECHO] WARN: Serial output backlog full, skipping pings: \"%1\"")
            .arg(client->slavePath());
    const QRegularExpression endLine(QStringLiteral(
        "^warning \\[ECHO\\] WARN: Stopped skipping pings, pings skipped: [1-9]\\d*$"));
    // The backlog is looked at on every pass of the event loop, the log collected in order.
    qint64 largestBacklog = 0;
    QStringList lines;
    auto watching = [&](auto done) {
        return [&, done] {
            if (QSerialPort *p = port())
                largestBacklog = qMax(largestBacklog, p->bytesToWrite());
            lines << log->take();
            return done();
        };
    };
    QVERIFY(waitFor(watching([&] { return lines.contains(startLine); }), 30000));
    // A command while pings are skipped: its reply comes all the same.
    QVERIFY(client->write("#go"));
    QVERIFY(waitFor(watching([&] { return client->unreadBySlave() == 0; })));

    // The client reads a little at a time until the backlog is under half, and stops again: a
    // ping is written, and the next are skipped, as on a line that cannot carry the pings. It
    // is one episode until the client has caught up, and the log tells of it once.
    QVERIFY(waitFor(watching([&] {
        char chunk[4096];
        const ssize_t n = ::read(client->fd, chunk, sizeof chunk);
        if (n > 0)
            client->received.append(chunk, int(n));
        return port()->bytesToWrite() < MaxBacklog / 2;
    })));
    QVERIFY(waitFor(watching([&] { return port()->bytesToWrite() > MaxBacklog; })));
    // Once it has caught up, a ping (that writes nothing) finds the backlog empty.
    QVERIFY(client->write("output 7 go"));
    QVERIFY(waitFor(watching([&] { return client->unreadBySlave() == 0; })));
    QVERIFY(lines.filter(endLine).isEmpty());
    // The end of the episode is logged once the port has written the backlog, which may be
    // before the client has read it all: wait for both.
    client->setReading(true);
    QVERIFY(waitFor(watching([&] {
                        return !lines.filter(endLine).isEmpty() &&
                            client->received.endsWith("output 7 go\r\n>ok.\r\n");
                    }),
                    30000));
    QCOMPARE(lines,
             QStringList({startRequestLines().at(1), startLine, lines.filter(endLine).value(0)}));
    // The backlog never grew past the bound by more than the ping that found it under.
    QVERIFY2(largestBacklog <= MaxBacklog + 64 * 1024, qPrintable(QString::number(largestBacklog)));

    // Both replies came, and every ping that started arrived whole: from its header to the end
    // of its data block, with all its lines.
    QByteArray received = client->received;
    for (const QByteArray reply : {"#go\r\n>ok.\r\n", "output 7 go\r\n>ok.\r\n"}) {
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
    QVERIFY(pings >= 3);
}

void tst_SimulatorFaults::intervalZeroWaitsForTheLine()
{
    // At interval 0 a client that stops reading holds the pings back rather than having them
    // skipped: the data timer waits until the port has written down its backlog, and the
    // pings go on, numbered without a gap, once the client reads again.
    client->setReading(false);
    QVERIFY(client->write("output 2 #range 10000 interval 0 go"));
    qint64 largestBacklog = 0;
    QVERIFY(waitFor([&] {
        largestBacklog = qMax(largestBacklog, port()->bytesToWrite());
        return dataTimerPeriods().isEmpty();
    }));
    client->setReading(true);
    QVERIFY(waitFor([&] { return client->received.count("##DataEnd") > 50; }, 30000));
    QVERIFY(client->write("output 7"));
    QVERIFY(waitFor([&] { return client->received.endsWith("output 7\r\n>ok.\r\n"); }, 30000));
    // Nothing about skipped pings; the backlog no more than the bound and the ping that passed it.
    QCOMPARE(log->take(), QStringList {startRequestLines().at(1)});
    QVERIFY2(largestBacklog <= (1 << 14) + 8192, qPrintable(QString::number(largestBacklog)));
    const QRegularExpression number(QStringLiteral("\r\n#Ping (\\d+)\r\n"));
    int previous = -1;
    for (auto it = number.globalMatch(QString::fromLatin1(client->received)); it.hasNext();) {
        const int ping = it.next().captured(1).toInt();
        QVERIFY2(previous < 0 || ping == previous + 1, qPrintable(QString::number(ping)));
        previous = ping;
    }
}

void tst_SimulatorFaults::largeFrames()
{
    // Blocks cut to 1048576 samples, about 3 MB a ping and three times the output bound, to a
    // client that reads as fast as it can.
    // A range the mode does not use is not reported, nor a command without a ping.
    KELVANE_COMMAND(*client, "#rangeh 99999999 output 7", "#rangeh 99999999 output 7\r\n>ok.\r\n");
    QVERIFY(client->write("#range 8000000 output 2 interval 0.2 go"));
    for (int i = 0; i < 2; ++i) {
        const QByteArray ping = client->readUntil("##DataEnd\r\n\r\n", 60000);
        QVERIFY(ping.contains("\r\n#NSamples 1048576\r\n"));
        QCOMPARE(ping.mid(ping.lastIndexOf("#DeviceID")).count('\n'), 1048576 + 38);
    }
    QVERIFY(client->write("output 7"));
    QVERIFY(waitFor([&] { return client->received.endsWith("output 7\r\n>ok.\r\n"); }, 60000));
    plugin->stop();
    // Once, though every ping was cut. A slow machine may skip pings meanwhile.
    QCOMPARE(log->take().filter(QRegularExpression(QStringLiteral("^(?!.*skip)"))),
             QStringList({startRequestLines().at(1),
                          QStringLiteral("warning [ECHO] WARN: Data blocks are "
                                         "cut to 1048576 samples")}));
}

KELVANE_SIMULATOR_TEST_MAIN(tst_SimulatorFaults)
#include "tst_simulatorfaults.moc"
