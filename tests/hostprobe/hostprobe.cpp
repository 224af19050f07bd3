// hostprobe: a payload plug-in that shows what its host did to it. It appends each call of
// start() and stop() and its own destruction to HOSTPROBE/EVENTS in the settings store (never
// syncing, so that the file shows them only if the host flushes it at the end), greets on the
// serial device of KELVANE_SIMULATOR/SERIAL_DEVICE, sends a ground message when it starts, and
// hands every byte it reads to the host with dataReceived and back to the line.

#include "app.h"
#include "ipayloadplugin.h"

#include <QSerialPort>
#include <QSettings>

#include <memory>

class HostProbe : public IPayloadPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.vorn.talvik.ipayloadplugin")
    Q_INTERFACES(IPayloadPlugin)

public:
    HostProbe()
    {
        device = app()->settingValue("KELVANE_SIMULATOR", "SERIAL_DEVICE", "/dev/pts/1").toString();
        setStartDelay(0);
    }
    ~HostProbe() override
    {
        port.reset();
        record("destroyed");
    }

    void start() override
    {
        record("start");
        port = std::make_unique<QSerialPort>(device);
        if (!port->open(QIODevice::ReadWrite)) {
            sendError(QStringLiteral("cannot open %1: %2").arg(device, port->errorString()));
            port.reset();
            return;
        }
        port->setBaudRate(115200);
        connect(port.get(), &QSerialPort::readyRead, this, [this] {
            const QByteArray bytes = port->readAll();
            emit dataReceived(NoMessage, NoPayload, bytes);
            port->write(bytes);
        });
        port->write("PROBE READY\r\n");
        sendInfo(QStringLiteral("started on %1").arg(device));
    }
    void stop() override
    {
        record("stop");
        port.reset();
    }
    ConnectionType connectionType() const override { return SerialConnection; }
    PayloadId payloadId() const override { return NoPayload; }
    QString name() const override { return QStringLiteral("Host probe"); }
    QString version() const override { return QStringLiteral("1.0.0"); }
    QString id() const override { return QStringLiteral("PROBE"); }

private:
    static App *app() { return static_cast<App *>(QCoreApplication::instance()); }
    static void record(const char *event)
    {
        QSettings *store = app()->settings();
        const QString events = store->value(QStringLiteral("HOSTPROBE/EVENTS")).toString();
        store->setValue(QStringLiteral("HOSTPROBE/EVENTS"),
                        events.isEmpty() ? QLatin1String(event) : events + ' ' + event);
    }

    QString device;
    std::unique_ptr<QSerialPort> port;
};

#include "hostprobe.moc"
