#include "ipayloadplugin.h"

#include "app.h"

#include <QTimer>

#include <limits>

IPayloadPlugin::IPayloadPlugin(QObject *parent) : IBase(parent)
{
    auto *app = static_cast<App *>(QCoreApplication::instance());

    connect(app, &App::APP_TELEMETRY_PERIOD_MS, this,
            [this](int value) { telemetryPeriodMs = value; });
    telemetryPeriodMs = app->settingValue("APP", "TELEMETRY_PERIOD_MS").toInt();

    connect(app, &App::APP_PAYLOAD_START_DELAY_S, this, [this](int value) { startDelayS = value; });
    startDelayS = app->settingValue("APP", "PAYLOAD_START_DELAY_S", 5).toInt();

    // Constructed on its own thread, so this runs at once: the timer is running on return.
    QMetaObject::invokeMethod(this, "startTelemetryTimer", Qt::AutoConnection);
}

IPayloadPlugin::~IPayloadPlugin()
{
    stopTimer();
}

void IPayloadPlugin::requestStart()
{
    addPreamble(qDebug()).noquote()
        << "Dbg:" << QStringLiteral("Start request is called for %1 plugin").arg(name());
    if (startDelayS < 1) {
        start();
        return;
    }
    // Bound to this object: a plug-in destroyed before the delay runs out never starts. A delay
    // beyond the timer's range (about 24 days) waits as long as the timer can.
    const int delayMs =
        int(qMin<qint64>(qint64(startDelayS) * 1000, std::numeric_limits<int>::max()));
    QTimer::singleShot(delayMs, this, &IPayloadPlugin::start);
}

void IPayloadPlugin::setStartDelay(int seconds)
{
    startDelayS = seconds;
}

void IPayloadPlugin::startTelemetryTimer()
{
    stopTimer();
    telemetryTimerId = startTimer(telemetryPeriodMs);
}

void IPayloadPlugin::restartTelemetryTimer(int periodMs)
{
    stopTimer();
    telemetryTimerId = startTimer(periodMs);
}

void IPayloadPlugin::stopTimer()
{
    if (telemetryTimerId == -1)
        return;
    killTimer(telemetryTimerId);
    // Timer ids are reused: a stale id could later name another timer of this object (a
    // plug-in's data timer), which a second stopTimer() would then kill.
    telemetryTimerId = -1;
}
