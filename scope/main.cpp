#include "liveview.h"
#include "netaddress.h"
#include "pageserver.h"
#include "scope.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <memory>

#include <cctype>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: the event loop reads the byte and quits.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

bool installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
        ::sigaction(SIGTERM, &action, nullptr) == 0;
}

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform warns about a missing XDG_RUNTIME_DIR, which a command-line tool does
// not need; everything else goes through.
void filterMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    defaultHandler(type, context, message);
}

int usageError(const QString &message)
{
    QTextStream(stderr) << "kelvane-scope: " << message << "\n"
                        << "Try 'kelvane-scope --help' for more information." << Qt::endl;
    return Scope::UsageError;
}

// QSerialPort takes a name that does not start with "/", "./" or "../" for one under /dev, so
// that "links/client" would mean /dev/links/client. A path with a "/" or a file in the working
// folder is made absolute; a bare name of neither kind ("ttyUSB0") still means one under /dev.
QString devicePath(const QString &name)
{
    if (name.isEmpty() || (!name.contains(QLatin1Char('/')) && !QFileInfo::exists(name)))
        return name;
    return QFileInfo(name).absoluteFilePath();
}

bool positive(const QCommandLineParser &parser, const QCommandLineOption &option, int &value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    value = parser.value(option).toInt(&ok);
    return ok && value > 0;
}

// "HOST:PORT", "[V6ADDR]:PORT": a host name or address and a port from 1 to 65535.
bool hostAndPort(const QString &text, QString *host, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    *host = text.left(colon);
    if (host->startsWith(QLatin1Char('[')) && host->endsWith(QLatin1Char(']')))
        *host = host->mid(1, host->size() - 2);
    else if (host->contains(QLatin1Char(':')))
        return false;
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    *port = quint16(number);
    return colon > 0 && !host->isEmpty() && ok && number >= 1 && number <= 65535;
}

// The page and its stream on address: the page where the address says, the stream on a free
// port of the same address, which the page is given. False, said on standard error, when
// either cannot listen.
bool serve(const NetAddress &address, LiveView &live, std::unique_ptr<PageServer> &pages)
{
    QString where = address.toString();
    where.truncate(where.lastIndexOf(QLatin1Char(':')));
    const QHostAddress host(where.startsWith(QLatin1Char('[')) ? where.mid(1, where.size() - 2)
                                                               : where);
    QString error;
    if (!live.listen(host, &error)) {
        QTextStream(stderr) << "kelvane-scope: --serve: cannot listen on " << where << ": " << error
                            << Qt::endl;
        return false;
    }
    QFile page(QStringLiteral(":/echogram.html"));
    if (!page.open(QIODevice::ReadOnly))
        qFatal("kelvane-scope: the page is missing from the program");
    pages = std::make_unique<PageServer>(
        page.readAll().replace("@STREAM_PORT@", QByteArray::number(live.port())));
    if (!pages->start(address, &error)) {
        QTextStream(stderr) << "kelvane-scope: --serve: " << error << Qt::endl;
        return false;
    }
    QTextStream err(stderr);
    if (!address.isLoopback())
        err << "kelvane-scope: warning: the page on " << pages->address().toString()
            << " is open to the network: whoever reaches this machine sees the instrument's "
               "output (give 127.0.0.1:PORT to keep it to this machine)\n";
    err << "kelvane-scope: serving the echogram at http://" << pages->address().toString() << "/"
        << Qt::endl;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Drawing the echogram needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(filterMessages);
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvane-scope"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.10.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference client of the Kelvane echo sounder: decodes its NMEA sentences, frames and "
        "replies, prints one line per ping and every anomaly, draws the echogram.\n"
        "Exit status: 0 when everything decoded without an anomaly, 1 when anomalies were "
        "seen, 2 for usage errors, 3 when the device, the capture or an output file cannot be "
        "opened or written, 4 when --send got no reply in time, 5 when the device went away "
        "(hung up, removed) or the TCP connection was lost before the run's end, 6 when the run "
        "decoded no ping (nor the reply to --send), 7 when a line of a --from line record is not "
        "a record (its own message names the line; the run ends there); when several apply, the "
        "first of 3, 4, 5, 6, 1."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(
        QStringLiteral("device"),
        QStringLiteral("Serial device to read, e.g. /dev/pts/3 or links/client."),
        QStringLiteral("[device]"));
    const QCommandLineOption baudOption(QStringLiteral("baud"),
                                        QStringLiteral("Baud rate (default 115200)."),
                                        QStringLiteral("rate"), QStringLiteral("115200"));
    const QCommandLineOption sendOption(
        QStringLiteral("send"),
        QStringLiteral(
            "Command text sent as given once the device is open, e.g. "
            "\"#range 40000 #output 2 #go\" (echo frames over 40 m). Pings that arrive "
            "before its reply are shown but neither counted, drawn nor written to the CSV."),
        QStringLiteral("text"));
    const QCommandLineOption replyTimeoutOption(
        QStringLiteral("reply-timeout"),
        QStringLiteral("Seconds to wait for the reply to --send (default 10); without it the "
                       "run ends with status 4. A reply queued behind frames can take about 6 s "
                       "at 115200 baud, about a minute at 9600."),
        QStringLiteral("seconds"), QStringLiteral("10"));
    const QCommandLineOption talkerOption(
        QStringLiteral("talker"),
        QStringLiteral("Expect every sentence to carry talker XX (as kelvane-host --talker XX "
                       "writes it); by default the instrument's sentences are taken under any "
                       "talker."),
        QStringLiteral("XX"));
    const QCommandLineOption fromOption(
        QStringLiteral("from"),
        QStringLiteral("Decode a captured stream from file (\"-\": standard input) instead "
                       "of a device: the raw bytes, or a kelvane-host --record file, whose "
                       "instrument bytes are decoded with their recorded times."),
        QStringLiteral("file"));
    const QCommandLineOption pngOption(QStringLiteral("png"),
                                       QStringLiteral("Write the echogram to file at the end."),
                                       QStringLiteral("file"));
    const QCommandLineOption csvOption(QStringLiteral("csv"),
                                       QStringLiteral("Write one row per ping to file."),
                                       QStringLiteral("file"));
    const QCommandLineOption pingsOption(
        QStringLiteral("pings"), QStringLiteral("Stop after n pings."), QStringLiteral("n"));
    const QCommandLineOption sampleFrequencyOption(
        QStringLiteral("sample-frequency"),
        QStringLiteral("Sampling frequency for headers that state none (default 100000)."),
        QStringLiteral("hz"), QStringLiteral("100000"));
    const QCommandLineOption tcpOption(
        QStringLiteral("tcp"),
        QStringLiteral("Read the stream from a TCP port, such as kelvane-host --tcp serves, "
                       "instead of a device; --send goes the same way."),
        QStringLiteral("host:port"));
    const QCommandLineOption serveOption(
        QStringLiteral("serve"),
        QStringLiteral("Show the echogram live in a browser: serve its page on PORT "
                       "(0: a free one) of ADDR (default 127.0.0.1), print its URL, and keep "
                       "serving after the input ends, until interrupted."),
        QStringLiteral("[addr:]port"));
    parser.addOptions({baudOption, sendOption, replyTimeoutOption, talkerOption, fromOption,
                       tcpOption, pngOption, csvOption, pingsOption, sampleFrequencyOption,
                       serveOption});

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Scope::Options options;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return usageError(QStringLiteral("one device at most"));
    options.device = devicePath(positional.value(0));
    options.fromFile = parser.value(fromOption);
    if (int(!options.device.isEmpty()) + int(!options.fromFile.isEmpty()) +
            int(parser.isSet(tcpOption)) !=
        1)
        return usageError(QStringLiteral("give either a device, --from FILE or --tcp HOST:PORT"));
    if (parser.isSet(tcpOption) &&
        !hostAndPort(parser.value(tcpOption), &options.tcpHost, &options.tcpPort))
        return usageError(QStringLiteral("--tcp needs HOST:PORT, e.g. 127.0.0.1:10110"));
    if (parser.isSet(sendOption) && !options.fromFile.isEmpty())
        return usageError(QStringLiteral("--send needs a device or --tcp"));
    NetAddress serveAddress;
    if (parser.isSet(serveOption)) {
        QString why;
        if (!NetAddress::parse(parser.value(serveOption), "127.0.0.1", &serveAddress, &why))
            return usageError(QStringLiteral("--serve: %1").arg(why));
    }
    if (!positive(parser, baudOption, options.baud))
        return usageError(QStringLiteral("--baud needs a positive number"));
    if (!positive(parser, pingsOption, options.pings))
        return usageError(QStringLiteral("--pings needs a positive number"));
    if (!positive(parser, sampleFrequencyOption, options.sampleFrequency))
        return usageError(QStringLiteral("--sample-frequency needs a positive number"));
    if (parser.isSet(replyTimeoutOption)) {
        bool ok = false;
        const double seconds = parser.value(replyTimeoutOption).toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > 86400)
            return usageError(QStringLiteral("--reply-timeout needs seconds above 0"));
        options.replyTimeoutMs = qMax(1, int(seconds * 1000));
    }
    if (parser.isSet(talkerOption)) {
        const QByteArray talker = parser.value(talkerOption).toLatin1().toUpper();
        if (talker.size() != 2 || !std::isupper(static_cast<unsigned char>(talker.at(0))) ||
            !std::isupper(static_cast<unsigned char>(talker.at(1))))
            return usageError(QStringLiteral("--talker needs two letters, e.g. SD"));
        options.talker = talker;
    }
    options.send = parser.value(sendOption).toUtf8();
    options.pngFile = parser.value(pngOption);
    options.csvFile = parser.value(csvOption);

    Scope scope(options);
    // The browsers' server first: a port that cannot be had ends the run before it starts.
    LiveView live;
    std::unique_ptr<PageServer> pages;
    const bool serving = parser.isSet(serveOption);
    if (serving) {
        if (!serve(serveAddress, live, pages))
            return Scope::IoError;
        scope.setLiveView(&live);
        QObject::connect(&live, &LiveView::notice, &app,
                         [](const QString &line) { QTextStream(stderr) << line << Qt::endl; });
    }
    if (!scope.open())
        return Scope::IoError;
    if (!options.fromFile.isEmpty() && !serving)
        return scope.runFile();

    if (!installSignalHandlers())
        qFatal("kelvane-scope: cannot install the signal handlers");
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&scope, &app] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        app.exit(scope.finish(true));
    });
    // Served, the page stays when the input is over, with the run's end on it, until a signal
    // ends the program with the run's status.
    const auto over = [&scope, &app, serving] {
        const int status = scope.finish(true);
        if (!serving)
            app.exit(status);
        else
            QTextStream(stderr) << "kelvane-scope: the input is over; the page stays until "
                                   "interrupted"
                                << Qt::endl;
    };
    QObject::connect(&scope, &Scope::done, &app, over);
    if (!options.fromFile.isEmpty()) {
        // A record that turns out not to be one ends the run at once.
        if (scope.runFile() == Scope::IoError)
            return Scope::IoError;
        over();
    }
    return app.exec();
}
