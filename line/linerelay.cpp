#include "linerelay.h"

#include <QTimer>

namespace {

// While an end has nobody on it, it is looked at this often.
const int PresencePollMs = 50;
// At the end of a source, how long client ends that do not take their last bytes are waited for.
const qint64 DrainUs = 2000000;

} // namespace

LineRelay::LineRelay(const Line &line, std::unique_ptr<LineSource> lineSource,
                     std::vector<std::unique_ptr<ClientEnd>> clientEnds)
    : // Each direction draws from its own sequence, so that the commands a client sends do not
      // change the faults of what it receives.
      toClient(LineConditioner::Lines, line.seed),
      toDevice(LineConditioner::Chunks, line.seed ^ 0x6B656C76616E6521ULL),
      source(std::move(lineSource)), ends(std::make_unique<ClientEnds>(std::move(clientEnds)))
{
    clock.start();
    for (LineConditioner *conditioner : {&toClient, &toDevice}) {
        conditioner->setBaud(line.baud);
        conditioner->setListening(false);
    }
    toClient.setRates(line.faults);
    toDevice.setRates(line.commandFaults);
    toClient.setTalker(line.talker);
    thread.setObjectName(QStringLiteral("line"));
    moveToThread(&thread);
}

LineRelay::~LineRelay()
{
    stop();
}

void LineRelay::start()
{
    thread.start();
    later([this] { begin(); });
}

void LineRelay::stop()
{
    if (!thread.isRunning())
        return;
    // The notifiers and timers belong to the relay's thread: they go there, then the thread.
    later([this] {
        source->end();
        ends->end();
        delete tick;
        delete presence;
        tick = presence = nullptr;
        thread.quit();
    });
    thread.wait();
}

void LineRelay::later(const std::function<void()> &f)
{
    QMetaObject::invokeMethod(this, f, Qt::QueuedConnection);
}

LineRelay::Snapshot LineRelay::snapshot()
{
    if (!thread.isRunning())
        return take();
    Snapshot now;
    QMetaObject::invokeMethod(
        this, [this, &now] { now = take(); }, Qt::BlockingQueuedConnection);
    return now;
}

LineRelay::Snapshot LineRelay::take() const
{
    Snapshot now;
    now.toClient = toClient.counts();
    now.toDevice = toDevice.counts();
    now.source = source->status();
    now.commandsTo = source->commandsTo();
    now.ends = ends->status();
    now.endsJson = ends->toJson();
    source->describe(&now.sourceJson);
    return now;
}

void LineRelay::begin()
{
    tick = new QTimer(this);
    tick->setSingleShot(true);
    tick->setTimerType(Qt::PreciseTimer);
    connect(tick, &QTimer::timeout, this, &LineRelay::pump);
    presence = new QTimer(this);
    presence->setInterval(PresencePollMs);
    connect(presence, &QTimer::timeout, this, &LineRelay::checkPresence);

    ClientEnds::Events clients;
    clients.listening = [this](bool on) { toClient.setListening(on); };
    clients.activity = [this] { pump(); };
    clients.notice = [this](const QString &text) { emit notice(text); };
    clients.failed = [this](const QString &reason) { emit failed(reason); };
    clients.event = [this](const QJsonObject &news) { emit event(news); };
    ends->begin(this, clients);

    LineSource::Line line;
    line.toClient = &toClient;
    line.now = [this] { return nowUs(); };
    line.room = [this](qint64 now) { return ends->isHolding() ? 0 : toClient.room(now); };
    line.holding = [this] { return ends->isHolding(); };
    line.activity = [this] { pump(); };
    line.notice = [this](const QString &text) { emit notice(text); };
    line.commandsHeard = [this](bool on) { toDevice.setListening(on); };
    source->begin(this, line, nowUs());
    checkPresence();
}

void LineRelay::checkPresence()
{
    ends->checkPresence();
    source->checkPresence();
    pump();
}

void LineRelay::pump()
{
    const qint64 now = nowUs();
    source->feed(now);
    for (QByteArray bytes; !(bytes = toClient.take(now)).isEmpty();) {
        emit deliveredToClient(now, bytes);
        ends->deliver(now, bytes);
    }
    ends->flush(now, toClient.pending() == 0);
    // The clients' commands go on the line in turn, as it has room: each waits in its client's
    // queue meanwhile, so that one client's flood holds up the others' by one command at most.
    while (ends->hasCommand() && toDevice.room(now) > 0) {
        // Looked at now, not at the last presence poll: a command that follows the simulator's
        // opening of its end by less than a poll is heard.
        source->checkPresence();
        toDevice.write(now, ends->takeCommand());
    }
    // Commands go one write at a time, each only once the last has left.
    while (source->takesCommand()) {
        const QByteArray chunk = toDevice.take(now);
        if (chunk.isEmpty())
            break;
        emit deliveredToDevice(now, chunk);
        source->command(chunk);
    }
    source->passed(!ends->isHolding() && toClient.room(now) > 0);
    if (source->atEnd() && !ended && toClient.pending() == 0) {
        if (drainDeadlineUs < 0)
            drainDeadlineUs = now + DrainUs;
        if (!ends->hasUnwritten() || now >= drainDeadlineUs) {
            ended = true;
            emit sourceEnded();
        }
    }
    schedule();
}

void LineRelay::schedule()
{
    const qint64 now = nowUs();
    qint64 next = -1;
    const auto consider = [&next](qint64 at) {
        if (at >= 0)
            next = next < 0 ? at : qMin(next, at);
    };
    consider(source->deliveryUs(now, toClient.nextUs()));
    consider(toDevice.nextUs());
    consider(ends->nextUs());
    consider(source->nextUs(now));
    if (!ended && drainDeadlineUs >= 0)
        consider(drainDeadlineUs);

    const bool polling = ends->needsPolling() || source->needsPolling();
    if (polling != presence->isActive())
        polling ? presence->start() : presence->stop();
    if (next < 0) {
        tick->stop();
        return;
    }
    // At most an hour: a later time (a record's long gap) is looked at again then.
    const int delayMs =
        int((qBound(source->tickUs(), next - now, qint64(3600) * 1000000) + 999) / 1000);
    // A wake-up that comes earlier than needed only looks again; restarting costs more.
    if (!tick->isActive() || tick->remainingTime() > delayMs)
        tick->start(delayMs);
}

void LineRelay::began(const char *fault, const char *amountName, double amount)
{
    emit event({{QStringLiteral("event"), QStringLiteral("faultBegan")},
                {QStringLiteral("fault"), QLatin1String(fault)},
                {QLatin1String(amountName), amount}});
}

void LineRelay::reportEnd(qint64 *untilUs, const char *fault, const QString &text)
{
    const qint64 now = nowUs();
    if (*untilUs < 0)
        return;
    if (now < *untilUs) {
        QTimer::singleShot(int((*untilUs - now + 999) / 1000), this,
                           [this, untilUs, fault, text] { reportEnd(untilUs, fault, text); });
        return;
    }
    *untilUs = -1;
    emit notice(text);
    emit event({{QStringLiteral("event"), QStringLiteral("faultEnded")},
                {QStringLiteral("fault"), QLatin1String(fault)}});
}

void LineRelay::unplug(double seconds)
{
    later([this, seconds] {
        const qint64 now = nowUs();
        const qint64 duration = qint64(seconds * 1e6);
        began("unplug", "seconds", seconds);
        toClient.unplug(now, duration);
        toDevice.unplug(now, duration);
        ends->unplugged();
        pump();
        unplugUntilUs = qMax(unplugUntilUs, now + duration);
        reportEnd(&unplugUntilUs, "unplug",
                  QStringLiteral("fault unplug over: the line carries again"));
    });
}

void LineRelay::stall(double seconds)
{
    later([this, seconds] {
        const qint64 now = nowUs();
        began("stall", "seconds", seconds);
        toClient.stall(now, qint64(seconds * 1e6));
        pump();
        stallUntilUs = qMax(stallUntilUs, now + qint64(seconds * 1e6));
        reportEnd(&stallUntilUs, "stall",
                  QStringLiteral("fault stall over: what the line held reaches the clients"));
    });
}

void LineRelay::garbage(int count)
{
    later([this, count] {
        // An event of no duration: it is over once its bytes are on the line.
        began("garbage", "bytes", count);
        const int injected = toClient.injectGarbage(nowUs(), count);
        if (injected < count)
            emit notice(QStringLiteral("fault garbage: %1 of %2 bytes put on the line; it holds "
                                       "at most %3 bytes that have not crossed")
                            .arg(injected)
                            .arg(count)
                            .arg(LineConditioner::MaxHeldBytes));
        emit event({{QStringLiteral("event"), QStringLiteral("faultEnded")},
                    {QStringLiteral("fault"), QStringLiteral("garbage")}});
        pump();
    });
}

void LineRelay::hangUp(double seconds)
{
    later([this, seconds] {
        began("hangup", "seconds", seconds);
        ends->hangUp(seconds);
        pump();
    });
}

void LineRelay::setRates(const LineFaultRates &rates)
{
    later([this, rates] { toClient.setRates(rates); });
}

void LineRelay::setCommandRates(const LineFaultRates &rates)
{
    later([this, rates] { toDevice.setRates(rates); });
}
