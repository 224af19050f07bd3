#include "hostprobe.h"

#include "app.h"

#include <QSerialPort>
#include <QSettings>

namespace {
App *app()
{
    return static_cast<App *>(QCoreApplication::instance());
}
} // namespace

HostProbe::HostProbe()
{
    device = app()->settingValue("KELVANE_SIMULATOR", "SERIAL_DEVICE", "/dev/pts/1").toString();
    setStartDelay(0);
}

HostProbe::~HostProbe()
{
    closePort();
    record(QStringLiteral("destroyed"));
}

void HostProbe::record(const QString &event)
{
    QSettings *store = app()->settings();
    const QString key = QStringLiteral("HOSTPROBE/EVENTS");
    QString events = store->value(key).toString();
    events += (events.isEmpty() ? QString() : QStringLiteral(" ")) + event;
    store->setValue(key, events);
}

void HostProbe::start()
{
    record(QStringLiteral("start"));
    closePort();
    port = new QSerialPort(device, this);
    if (!port->open(QIODevice::ReadWrite)) {
        sendError(QStringLiteral("cannot open %1: %2").arg(device, port->errorString()));
        closePort();
        return;
    }
    port->setBaudRate(115200);
    connect(port, &QSerialPort::readyRead, this,
            [this] { emit dataReceived(NoMessage, NoPayload, port->readAll()); });
    port->write("PROBE READY\r\n");
    sendInfo(QStringLiteral("started on %1").arg(device));
}

void HostProbe::stop()
{
    record(QStringLiteral("stop"));
    closePort();
}

void HostProbe::closePort()
{
    delete port;
    port = nullptr;
}
