// libFuzzer target: the simulator's command handling. Each input is what one read of the serial
// line returns; it is collapsed as readData() does and handed to the private slot parse() by
// name, as the port's ready-read would. The simulator's port is the slave of a real pty whose
// master this target drains, and the reply must be exactly the protocol's: the text echoed with
// "\r\n>ok." in single-frequency mode, "\r\n>" for a text shorter than two bytes, CR LF after.

#include "app.h"
#include "kelvanesimulator.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSerialPort>
#include <QSettings>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

void silence(QtMsgType, const QMessageLogContext &, const QString &) { }

[[noreturn]] void fail(const char *what, const QByteArray &expected, const QByteArray &got)
{
    std::fprintf(stderr, "fuzz_commands: %s\nexpected: %s\ngot:      %s\n", what,
                 expected.toPercentEncoding(" #.>").constData(),
                 got.toPercentEncoding(" #.>").constData());
    std::abort();
}

struct Harness
{
    Harness()
    {
        qInstallMessageHandler(silence);
        app = new App(argc, argv);
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            std::abort();
        termios tio;
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);

        app->loadSettings(dir.filePath(QStringLiteral("settings.ini")));
        // No telemetry tick while fuzzing; the simulator opens the pty's slave.
        app->settings()->setValue(QStringLiteral("APP/TELEMETRY_PERIOD_MS"), 3600000);
        app->settings()->setValue(QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"),
                                  QString::fromLocal8Bit(ptsname(master)));
        app->settings()->setValue(QStringLiteral("KELVANE_SIMULATOR/FREQUENCY_MODE"),
                                  QStringLiteral("SINGLE"));
        simulator = new KelvaneSimulator;
        simulator->start();
        port = simulator->findChild<QSerialPort *>();
        if (!port)
            std::abort();
    }

    // The bytes the simulator wrote, until count have come; fewer after a 2 s deadline.
    QByteArray receive(int count)
    {
        QByteArray received;
        char chunk[65536];
        QDeadlineTimer deadline(2000);
        while (received.size() < count && !deadline.hasExpired()) {
            port->flush();
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n > 0)
                received.append(chunk, int(n));
            else if (n < 0 && errno != EAGAIN)
                break;
        }
        return received;
    }

    int argc = 1;
    char name[14] = "fuzz_commands";
    char *argv[2] = {name, nullptr};
    App *app = nullptr;
    QTemporaryDir dir;
    int master = -1;
    KelvaneSimulator *simulator = nullptr;
    QSerialPort *port = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Kept for the whole run: the simulator's command state lives per process anyway.
    static Harness *harness = new Harness;

    const QByteArray text =
        QByteArray(reinterpret_cast<const char *>(data), int(size)).simplified();
    if (!QMetaObject::invokeMethod(harness->simulator, "parse", Qt::DirectConnection,
                                   Q_ARG(QByteArray, text)))
        std::abort();
    // The event loop never runs here, so a "go" in the text starts a timer that never fires;
    // stop it so that each input starts from the same silence.
    harness->simulator->stopDataTimer();

    const QByteArray expected =
        text.size() < 2 ? QByteArrayLiteral("\r\n>\r\n") : text + QByteArrayLiteral("\r\n>ok.\r\n");
    const QByteArray got = harness->receive(expected.size());
    if (got != expected)
        fail("wrong reply", expected, got);
    return 0;
}
