#include "app.h"

#include <QDebug>
#include <QMetaMethod>
#include <QSet>
#include <QSettings>
#include <QThread>

namespace C {
const char *const AvailabeDebugOptions[4] = {"desktop", "gps", "yaw", "recording"};
const char *const ReservedSettingsGroups[3] = {"AUTOPILOTS", "PAYLOADS", "OUTPUTS"};
} // namespace C

namespace {

QString fromAscii(const char *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

// The name of a signal: its signature up to the first "(".
QByteArray methodName(const QMetaMethod &method)
{
    const QByteArray signature = method.methodSignature();
    const int open = signature.indexOf('(');
    return open < 0 ? signature : signature.left(open);
}

} // namespace

App::App(int &argc, char **argv) : QCoreApplication(argc, argv)
{
    // Registered so that the records can travel through queued calls to other threads;
    // sendMessage() needs TextToGround under that name.
    qRegisterMetaType<TextToGround>("TextToGround");
    qRegisterMetaType<ScalarSensorData>();
    qRegisterMetaType<GeoCoordinates>();
    qRegisterMetaType<Value3d>();
    qRegisterMetaType<MissionStatus>();
    qRegisterMetaType<AlgorithmStatus>();
    qRegisterMetaType<PayloadConnectedData>();
    qRegisterMetaType<Navigate::VehicleGpsPosition>();
    qRegisterMetaType<Navigate::VehicleLocalPosition>();
    qRegisterMetaType<Navigate::VehicleStatus>();

    for (const char *option : C::AvailabeDebugOptions)
        debugOptions.insert(QString::fromLatin1(option), false);

    // The catalogue is this class's own signals; updateSetting() converts by their parameter type.
    const QMetaObject *meta = &App::staticMetaObject;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() != QMetaMethod::Signal)
            continue;
        const QByteArray signature = method.methodSignature();
        const int open = signature.indexOf('(');
        const int close = signature.indexOf(')', open);
        signalTypes.insert(QString::fromLatin1(signature.left(open)),
                           QString::fromLocal8Bit(signature.mid(open + 1, close - open - 1)));
    }
}

App::~App()
{
    signalTypes.clear();
    debugOptions.clear();
    // QCoreApplication deletes settingsObject, its child, which flushes pending writes.
}

void App::loadSettings(const QString &path)
{
    delete settingsObject;
    settingsObject = new QSettings(path, QSettings::IniFormat, this);
    connect(this, &App::APP_VERBOSE, this, [this](bool value) { verbose = value; });
    verbose = settingValue("APP", "VERBOSE", false).toBool();
}

QSettings *App::settings()
{
    if (settingsObject)
        return settingsObject;
    qCritical().noquote() << "CRIT: Using settings before initialization";
    settingsObject = new QSettings(this);
    return settingsObject;
}

void App::syncSettings()
{
    settings()->sync();
}

QString App::settingNameToKey(const char *group, const char *name, const char *separator)
{
    // Joined rather than formatted: QString::arg with several strings needs Qt 5.14, and
    // concatenation is what it amounts to here ("%1%3%2").
    return fromAscii(group) + fromAscii(separator) + fromAscii(name);
}

void App::setSettingDefault(const char *group, const char *name, const QVariant &value)
{
    const QString key = settingNameToKey(group, name, "/");
    QSettings *store = settings();
    if (!store->contains(key))
        store->setValue(key, value);
}

QVariant App::settingValue(const char *group, const char *name, const QVariant &defaultValue)
{
    setSettingDefault(group, name, defaultValue);
    return settings()->value(settingNameToKey(group, name, "/"), QVariant());
}

void App::updateSetting(const char *group, const char *name, const QVariant &value)
{
    const QString signalName = settingNameToKey(group, name, "_");
    const QString type = signalTypes.value(signalName);
    if (type.isEmpty()) {
        qWarning().noquote() << "WARN:"
                             << QLatin1String("Settings ") + signalName +
                QLatin1String(" not found");
        return;
    }

    // Announce first: receivers that read the store during the emission still see the old value.
    const QByteArray member = signalName.toLatin1();
    if (type == QLatin1String("bool")) {
        const QString text = value.toString();
        const bool on = text.toLower() == QLatin1String("true") || text == QLatin1String("1");
        QMetaObject::invokeMethod(this, member.constData(), Qt::AutoConnection, Q_ARG(bool, on));
    } else if (type == QLatin1String("float")) {
        QMetaObject::invokeMethod(this, member.constData(), Qt::AutoConnection,
                                  Q_ARG(float, value.toFloat()));
    } else if (type == QLatin1String("quint32") || type == QLatin1String("uint")) {
        QMetaObject::invokeMethod(this, member.constData(), Qt::AutoConnection,
                                  Q_ARG(uint, value.toUInt()));
    } else if (type == QLatin1String("quint16") || type == QLatin1String("ushort")) {
        QMetaObject::invokeMethod(this, member.constData(), Qt::AutoConnection,
                                  Q_ARG(ushort, ushort(value.toUInt())));
    } else if (type == QLatin1String("quint8") || type == QLatin1String("uchar")) {
        QMetaObject::invokeMethod(this, member.constData(), Qt::AutoConnection,
                                  Q_ARG(uchar, uchar(value.toUInt())));
    } else if (type == QLatin1String("int")) {
        QMetaObject::invokeMethod(this, member.constData(), Qt::AutoConnection,
                                  Q_ARG(int, value.toInt()));
    } else if (type == QLatin1String("QString")) {
        QMetaObject::invokeMethod(this, member.constData(), Qt::AutoConnection,
                                  Q_ARG(QString, value.toString()));
    }

    const QString key = settingNameToKey(group, name, "/");
    QSettings *store = settings();
    store->setValue(key, value);
    store->sync();
    qInfo().noquote() << QLatin1String("Updated: ") + key + QLatin1Char('=') + value.toString();
}

void App::removeObsoleteSettings()
{
    QSet<QString> reserved;
    for (const char *group : C::ReservedSettingsGroups)
        reserved.insert(QString::fromLatin1(group));

    // The application's current meta-object: a subclass's own signals count as well.
    QSet<QByteArray> signalNames;
    const QMetaObject *meta = metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() == QMetaMethod::Signal)
            signalNames.insert(methodName(method));
    }

    QSettings *store = settings();
    const QStringList keys = store->allKeys();
    QSet<QString> obsolete;
    for (const QString &key : keys) {
        const QString group = key.section(QLatin1Char('/'), 0, 0).toUpper();
        if (reserved.contains(group))
            continue;
        QString candidate = key;
        candidate.replace(QLatin1Char('/'), QLatin1Char('_'));
        if (!signalNames.contains(
                QMetaObject::normalizedSignature(candidate.toLatin1().constData())))
            obsolete.insert(key);
    }
    for (const QString &key : keys) {
        if (!obsolete.contains(key))
            continue;
        // QSettings::remove() also drops every key below key + "/" (a stray key APP outside
        // any section would take the whole [APP] section along): put back those that stay.
        const QString below = key + QLatin1Char('/');
        QList<QPair<QString, QVariant>> kept;
        for (const QString &other : keys)
            if (other.startsWith(below) && !obsolete.contains(other))
                kept.append(qMakePair(other, store->value(other)));
        store->remove(key);
        for (const auto &entry : qAsConst(kept))
            store->setValue(entry.first, entry.second);
    }
    store->sync();
}

void App::sendMessage(const QString &text, const QString &source,
                      QFlags<TextToGround::MessageType> type)
{
    const QString message =
        source.isEmpty() ? text : QLatin1Char('[') + source + QLatin1String("] ") + text;
    sendMessage(message, type);
}

void App::sendMessage(const QString &text, QFlags<TextToGround::MessageType> type)
{
    TextToGround message;
    message.text = text;
    message.type = type;
    // By name, so that a plug-in's copy of this class reaches the host's object; queued when
    // called from another thread.
    QMetaObject::invokeMethod(QCoreApplication::instance(), "textToGround", Qt::AutoConnection,
                              QGenericArgument("TextToGround", &message));
}
