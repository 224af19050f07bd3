#ifndef KELVANE_TELEMETRY_H
#define KELVANE_TELEMETRY_H

#include <QFlags>
#include <QMetaType>
#include <QString>
#include <QtGlobal>

// Value types carried by the application's telemetry signals. Components outside the simulator
// fill and read them; the framework only passes them along.

/// A scalar reading of a sensor with the time it was taken.
struct ScalarSensorData
{
    float value = 0.0f;
    bool valid = false;
    quint64 timestampUs = 0;
};

/// A geographic position in decimal degrees.
struct GeoCoordinates
{
    double latitude = 0.0;
    double longitude = 0.0;
};

/// A vector in the vehicle's local frame (position in metres or velocity in m/s).
struct Value3d
{
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

/// Progress of the current mission.
struct MissionStatus
{
    qint32 state = 0;
    qint32 waypoint = 0;
};

/// State of the flight algorithm that is in charge.
struct AlgorithmStatus
{
    qint32 algorithm = 0;
    qint32 state = 0;
};

/// Connection state of a payload: which payload, and whether it is connected.
struct PayloadConnectedData
{
    quint8 payload = 0;
    quint8 connected = 0;
};

/// A message for the ground station: the text as the operator sees it, and its kind.
struct TextToGround
{
    enum MessageType {
        Info = 0x0,
        Error = 0x1,
    };
    Q_DECLARE_FLAGS(MessageTypes, MessageType)

    QString text;
    QFlags<MessageType> type;
};
Q_DECLARE_OPERATORS_FOR_FLAGS(TextToGround::MessageTypes)

namespace Navigate {

/// The autopilot's GNSS position: latitude and longitude in degrees, altitudes in metres.
struct VehicleGpsPosition
{
    double latitude = 0.0;
    double longitude = 0.0;
    double altitudeAmsl = 0.0;
    double altitudeEllipsoid = 0.0;
};

/// The autopilot's estimate of the local position.
struct VehicleLocalPosition
{
    quint64 timestampUs = 0;
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float vx = 0.0f;
    float vy = 0.0f;
    float vz = 0.0f;
    bool xyValid = false;
    bool zValid = false;
};

/// The autopilot's arming and navigation state.
struct VehicleStatus
{
    quint64 timestampUs = 0;
    quint8 armingState = 0;
    quint8 navigationState = 0;
};

} // namespace Navigate

Q_DECLARE_METATYPE(ScalarSensorData)
Q_DECLARE_METATYPE(GeoCoordinates)
Q_DECLARE_METATYPE(Value3d)
Q_DECLARE_METATYPE(MissionStatus)
Q_DECLARE_METATYPE(AlgorithmStatus)
Q_DECLARE_METATYPE(PayloadConnectedData)
Q_DECLARE_METATYPE(TextToGround)
Q_DECLARE_METATYPE(Navigate::VehicleGpsPosition)
Q_DECLARE_METATYPE(Navigate::VehicleLocalPosition)
Q_DECLARE_METATYPE(Navigate::VehicleStatus)

#endif // KELVANE_TELEMETRY_H
