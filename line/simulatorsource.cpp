#include "simulatorsource.h"

#include "lineconditioner.h"
#include "ptypair.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace {

const int ReadChunk = 65536;

} // namespace

SimulatorSource::SimulatorSource(PtyPair *pair) : fd(pair->simulatorFd()) { }

void SimulatorSource::begin(QObject *context, const Line &relay, qint64)
{
    line = relay;
    reader = new QSocketNotifier(fd, QSocketNotifier::Read, context);
    writer = new QSocketNotifier(fd, QSocketNotifier::Write, context);
    reader->setEnabled(false);
    writer->setEnabled(false);
    QObject::connect(reader, &QSocketNotifier::activated, context, [this] {
        read();
        line.activity();
    });
    QObject::connect(writer, &QSocketNotifier::activated, context, [this] {
        flush();
        line.activity();
    });
}

void SimulatorSource::end()
{
    delete reader;
    delete writer;
    reader = writer = nullptr;
}

void SimulatorSource::checkPresence()
{
    const bool open = PtyPair::isPeerOpen(fd);
    if (open != present)
        setPresent(open);
}

void SimulatorSource::setPresent(bool on)
{
    present = on;
    if (!on) {
        unwritten.clear();
        writer->setEnabled(false);
    }
    reader->setEnabled(on);
    // Commands are heard only while the simulator has its end open.
    line.commandsHeard(on);
}

void SimulatorSource::read()
{
    if (!present)
        return;
    const qint64 now = line.now();
    qint64 room = line.room(now);
    if (room <= 0) {
        // The line is full: the rest waits in the simulator until it has crossed.
        reader->setEnabled(false);
        return;
    }
    // Take all the simulator has written so far in one go, as far as the line has room.
    char buffer[ReadChunk];
    ssize_t n = 0;
    while (room > 0 && (n = ::read(fd, buffer, size_t(qMin<qint64>(room, ReadChunk)))) > 0) {
        line.toClient->write(now, QByteArray(buffer, int(n)));
        room -= n;
        if (line.toClient->baud() == 0)
            room = qMin(room, line.toClient->room(now));
    }
    if (n < 0 && errno == EIO)
        setPresent(false); // nobody has the slave open: its presence check follows
}

void SimulatorSource::command(const QByteArray &bytes)
{
    if (!present)
        return;
    const ssize_t n = ::write(fd, bytes.constData(), size_t(bytes.size()));
    if (n == bytes.size())
        return;
    if (n < 0 && errno != EAGAIN && errno != EINTR)
        return; // the end went away; its presence check follows
    unwritten = bytes.mid(int(qMax<ssize_t>(n, 0)));
    flush();
}

void SimulatorSource::flush()
{
    while (!unwritten.isEmpty()) {
        const ssize_t n = ::write(fd, unwritten.constData(), size_t(unwritten.size()));
        if (n > 0) {
            unwritten.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            unwritten.clear(); // the end went away; its presence check follows
        break;
    }
    if (writer)
        writer->setEnabled(!unwritten.isEmpty());
}

void SimulatorSource::passed(bool room)
{
    if (reader)
        reader->setEnabled(present && room);
}

qint64 SimulatorSource::nextUs(qint64 nowUs) const
{
    // Room comes back as the line empties: wake to read once a tick's worth has crossed.
    if (present && reader && !reader->isEnabled() && !line.holding())
        return nowUs + TickUs;
    return -1;
}

QString SimulatorSource::status() const
{
    return QStringLiteral("Simulator end: %1")
        .arg(PtyPair::isPeerOpen(fd) ? QStringLiteral("open") : QStringLiteral("closed"));
}
