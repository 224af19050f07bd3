#include "payloadhost.h"

#include "app.h"
#include "console.h"
#include "reference.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

PayloadHost::PayloadHost(App *app, QObject *parent) : QObject(parent), app(app) { }

PayloadHost::~PayloadHost()
{
    unload();
}

bool PayloadHost::check(const QString &path)
{
    loader.setFileName(path);
    const QJsonObject meta = loader.metaData();
    metaData = QString::fromUtf8(QJsonDocument(meta).toJson(QJsonDocument::Compact));
    if (meta.isEmpty()) {
        error = QStringLiteral("%1 is no Qt plug-in: %2").arg(path, loader.errorString());
        return false;
    }
    const QString iid = meta.value(QStringLiteral("IID")).toString();
    if (iid != QLatin1String(IPayloadPlugin_iid)) {
        error = QStringLiteral("%1 is no payload plug-in: its interface is \"%2\", not \"%3\"")
                    .arg(path, iid, QLatin1String(IPayloadPlugin_iid));
        return false;
    }
    return true;
}

bool PayloadHost::load()
{
    QObject *root = loader.instance();
    if (!root) {
        error = QStringLiteral("cannot load %1: %2").arg(loader.fileName(), loader.errorString());
        return false;
    }
    // By interface id: the cast asks the plug-in's own meta-object for the id string.
    payload = qobject_cast<IPayloadPlugin *>(root);
    if (!payload) {
        error = QStringLiteral("%1 does not implement %2")
                    .arg(loader.fileName(), QLatin1String(IPayloadPlugin_iid));
        return false;
    }
    instance = root;
    return true;
}

void PayloadHost::connectSignals()
{
    if (!payload)
        return;
    connect(instance.data(), SIGNAL(dataReceived(MessageId, PayloadId, QByteArray, QVariant)), this,
            SLOT(printData(MessageId, PayloadId, QByteArray, QVariant)));
    connect(app, &App::textToGround, this, &PayloadHost::printGroundMessage);
}

void PayloadHost::unload()
{
    if (!payload)
        return;
    IPayloadPlugin *doomed = payload;
    payload = nullptr;
    if (instance) {
        doomed->stop();
        delete instance.data();
    }
    // The library stays mapped until the process ends: code of a plug-in may still be named by
    // pending events or by static destructors, and unmapping it gains nothing at exit.
}

QString PayloadHost::identity() const
{
    if (!payload)
        return QString();
    return QStringLiteral("%1, %2, version %3")
        .arg(payload->id(), payload->name(), payload->version());
}

void PayloadHost::requestStart()
{
    if (!payload)
        return;
    lastRequest = QStringLiteral("start");
    payload->requestStart();
}

void PayloadHost::stop()
{
    if (!payload)
        return;
    lastRequest = QStringLiteral("stop");
    payload->stop();
}

QString PayloadHost::updateSetting(const QByteArray &group, const QByteArray &name,
                                   const QString &value)
{
    app->updateSetting(group.constData(), name.constData(), value);
    return Reference::warning(group, name, value);
}

QStringList PayloadHost::prune()
{
    const QStringList before = app->settings()->allKeys();
    app->removeObsoleteSettings();
    const QStringList after = app->settings()->allKeys();
    QStringList removed;
    for (const QString &key : before) {
        if (!after.contains(key))
            removed.append(key);
    }
    return removed;
}

QStringList PayloadHost::status(const QStringList &deviceLines) const
{
    QStringList lines;
    lines << QStringLiteral("Plug-in: %1").arg(identity());
    if (payload) {
        lines << QStringLiteral("Payload id: %1, connection type: %2")
                     .arg(int(payload->payloadId()))
                     .arg(int(payload->connectionType()));
    }
    lines << QStringLiteral("Library: %1").arg(loader.fileName());
    lines << deviceLines;
    lines << QStringLiteral("Serial port: %1").arg(portState());
    lines << QStringLiteral("Last request: %1").arg(lastRequest);

    // As stored, not as the plug-in holds them: a new SERIAL_DEVICE waits for the next start.
    QSettings *store = app->settings();
    lines << QStringLiteral("Settings in %1:").arg(store->fileName());
    const QStringList keys = {QStringLiteral("APP/PAYLOAD_START_DELAY_S"),
                              QStringLiteral("APP/TELEMETRY_PERIOD_MS")};
    QStringList shown = keys;
    store->beginGroup(QStringLiteral("KELVANE_SIMULATOR"));
    const QStringList simulatorKeys = store->childKeys();
    store->endGroup();
    for (const QString &key : simulatorKeys)
        shown << QStringLiteral("KELVANE_SIMULATOR/") + key;
    shown << QStringLiteral("ECHOSOUNDER/MIN_DEPTH_M") << QStringLiteral("ECHOSOUNDER/MAX_DEPTH_M");
    for (const QString &key : qAsConst(shown)) {
        if (!store->contains(key)) {
            lines << QStringLiteral("  %1 (not set)").arg(key);
            continue;
        }
        const QVariant value = store->value(key);
        lines << QStringLiteral("  %1=%2").arg(
            key, value.isValid() ? value.toString() : QStringLiteral("(empty)"));
    }
    return lines;
}

QString PayloadHost::portState() const
{
    // The plug-in's port is a QSerialPort child of its instance, found by class name: the
    // plug-in's own class is not known here (a cast to it would compare meta-objects of two
    // copies), but QSerialPort and QIODevice come from Qt's shared libraries.
    const QList<QObject *> children = instance ? instance->children() : QList<QObject *>();
    for (QObject *child : children) {
        const auto *device = qobject_cast<QIODevice *>(child);
        if (child->inherits("QSerialPort") && device && device->isOpen())
            return QStringLiteral("open, %1 baud").arg(child->property("baudRate").toInt());
    }
    return QStringLiteral("not open");
}

void PayloadHost::printData(MessageId messageId, PayloadId payloadId, const QByteArray &data,
                            const QVariant &param)
{
    Q_UNUSED(param)
    Console::print(QStringLiteral("Data: message id %1, payload id %2, %3 bytes: %4")
                       .arg(int(messageId))
                       .arg(int(payloadId))
                       .arg(data.size())
                       .arg(QString::fromLatin1(data.left(32).toHex(' '))));
}

void PayloadHost::printGroundMessage(const TextToGround &message)
{
    const bool isError = message.type.testFlag(TextToGround::Error);
    Console::print(
        QStringLiteral("Ground %1: %2")
            .arg(isError ? QStringLiteral("error") : QStringLiteral("info"), message.text));
}
