#ifndef KELVANE_APP_H
#define KELVANE_APP_H

#include "telemetry.h"

#include <QCoreApplication>
#include <QHash>
#include <QVariant>

class QSettings;

namespace C {
/// Names of the debug switches that the host may turn on; all start off.
extern const char *const AvailabeDebugOptions[4];
/// Settings groups whose keys have no signal of their own and are never pruned.
extern const char *const ReservedSettingsGroups[3];
} // namespace C

/// The process's application object: the settings store, the catalogue of telemetry and setting
/// signals, and the way to the ground station. Components reach it as
/// static_cast<App *>(QCoreApplication::instance()); a plug-in carrying its own copy of this class
/// works with the host's object because signals are addressed by index and name.
class App : public QCoreApplication
{
    Q_OBJECT

public:
    App(int &argc, char **argv);
    ~App() override;

    /// Opens the store on the INI file at path; reads made earlier used the fallback store.
    void loadSettings(const QString &path);
    /// The store; before loadSettings() a fallback store, announced once on the log.
    QSettings *settings();
    /// Writes pending changes of the store to its file.
    void syncSettings();
    /// group + separator + name, with no change of case.
    static QString settingNameToKey(const char *group, const char *name, const char *separator);
    /// Writes value under group/name unless the key exists; never overwrites, never syncs.
    void setSettingDefault(const char *group, const char *name, const QVariant &value);
    /// The stored value of group/name, after writing defaultValue there if the key was missing.
    QVariant settingValue(const char *group, const char *name,
                          const QVariant &defaultValue = QVariant());

    /// Announces a new value on the setting's signal, then stores it, syncs and logs it.
    void updateSetting(const char *group, const char *name, const QVariant &value);
    /// Deletes every key that no setting signal backs, outside the reserved groups, and syncs.
    void removeObsoleteSettings();

    /// Sends text to the ground station, tagged "[source] " when source is not empty.
    void sendMessage(const QString &text, const QString &source,
                     QFlags<TextToGround::MessageType> type);
    /// Emits textToGround with text and type: at once on the application's thread, else queued.
    void sendMessage(const QString &text, QFlags<TextToGround::MessageType> type);

    /// The mirror of setting APP/VERBOSE.
    bool isVerbose() const { return verbose; }

signals:
    // Telemetry
    void altitude(const ScalarSensorData &value);
    void altitudeAMSL(const ScalarSensorData &value);
    void rtkAltitude(const ScalarSensorData &value);
    void roll(float value);
    void pitch(float value);
    void yaw(float value);
    void isRtkPositionInfoGood(bool value);
    void timeIsSet(bool value);
    void gpsCoordinate(const GeoCoordinates &value);
    void rtkCoordinate(const GeoCoordinates &value);
    void velocity(double value);
    void hdop(float value);
    void nsv(unsigned short value);
    void vehicleLocalPos(const Value3d &value);
    void vehicleLocalVel(const Value3d &value);
    void syncTimeMs(float value);
    void missionStatus(const MissionStatus &value);
    void algorithmStatus(const AlgorithmStatus &value);
    void isTerrainFollowingModeEnabled(bool value);
    void terrainFollowingSpeed(float value);
    void terrainFollowingAltitude(float value);
    void rawAltimeterValue(const ScalarSensorData &value);
    void altimeterValue(const ScalarSensorData &value);
    void filteredAltimeterValue(const ScalarSensorData &value);
    void obstacleDistance(const ScalarSensorData &value);
    void gprConnected(const PayloadConnectedData &value);
    void daqEnabled(bool value);
    void takeOff(bool value);
    void freeSpaceMB(unsigned long long value);
    void currentWaypointIndex(unsigned int value);
    void autopilotStatus(unsigned char value);
    void traceQuality(unsigned char value);
    void textToGround(const TextToGround &value);

    // APP
    void APP_STATUS_PERIOD_MS(int value);
    void APP_MIN_FREE_SPACE_MB(int value);
    void APP_POSITION_LOG_PERIOD_MS(int value);
    void APP_TELEMETRY_PERIOD_MS(int value);
    void APP_PAYLOAD_START_DELAY_S(int value);
    void APP_VERBOSE(bool value);
    void APP_DISABLE_WIFI_IN_AIR(bool value);
    void APP_LOG_SPLIT_WAYPOINTS(unsigned int value);
    void APP_LOG_SPLIT_TIME_S(unsigned int value);
    void APP_LOG_SPLIT_SIZE_MB(unsigned int value);
    void APP_LOG_SPLIT_TRACES(unsigned int value);

    // ALTIMETER
    void ALTIMETER_MIN_ALTITUDE_M(float value);
    void ALTIMETER_MAX_ALTITUDE_M(float value);
    void ALTIMETER_ZERO_LEVEL_M(float value);
    void ALTIMETER_LP_FILTER_LENGTH(int value);
    void ALTIMETER_IGNORE_ERRORS(int value);
    void ALTIMETER_FILTER_TYPE(const QString &value);
    void ALTIMETER_EF_FILTER_TERR_GRAD(float value);
    void ALTIMETER_EF_FILTER_RNG_NOISE(float value);
    void ALTIMETER_EF_FILTER_PROC_NOISE(float value);
    void ALTIMETER_EF_FILTER_GATE(float value);
    void ALTIMETER_DEBUG_LOG(bool value);

    // GAS_DETECTOR
    void GAS_DETECTOR_MIN_CONCENTRATION_PPM(float value);
    void GAS_DETECTOR_MAX_CONCENTRATION_PPM(float value);
    void GAS_DETECTOR_ZERO_LEVEL_PPM(float value);

    // METAL_DETECTOR
    void METAL_DETECTOR_MIN_OUTPUT_VALUE_MV(float value);
    void METAL_DETECTOR_MAX_OUTPUT_VALUE_MV(float value);

    // CONDUCTIVITY_METER
    void CONDUCTIVITY_METER_MIN_OUTPUT_VALUE_MS_M(float value);
    void CONDUCTIVITY_METER_MAX_OUTPUT_VALUE_MS_M(float value);

    // ECHOSOUNDER
    void ECHOSOUNDER_MIN_DEPTH_M(float value);
    void ECHOSOUNDER_MAX_DEPTH_M(float value);
    void ECHOSOUNDER_CABLE_LENGTH_M(float value);

    // ANEMOMETER
    void ANEMOMETER_MIN_WIND_SPEED_MPS(float value);
    void ANEMOMETER_MAX_WIND_SPEED_MPS(float value);

    // MAV
    void MAV_CONNECTION_TYPE(const QString &value);
    void MAV_SERIAL_DEVICE(const QString &value);
    void MAV_BAUD_RATE(int value);
    void MAV_SYSTEM_ID(unsigned short value);
    void MAV_COMPONENT_ID(unsigned short value);
    void MAV_SENDING_PERIOD_MS(int value);
    void MAV_V2_EXTENSION(bool value);
    void MAV_TELEMETRY_RATE(int value);

    // TF
    void TF_FAIL_SAFE_ALTITUDE_M(float value);
    void TF_TARGET_ALTITUDE_M(float value);
    void TF_ALTITUDE_SOURCE(const QString &value);

    // GH
    void GH_DESCENT_SPEED_MPS(float value);
    void GH_DESCENT_ALTITUDE_M(float value);
    void GH_TARGET_ALTITUDE_M(float value);
    void GH_ALTITUDE_SOURCE(const QString &value);
    void GH_FAIL_SAFE_ALTITUDE_M(float value);

    // ALTIMETER_SIMULATOR
    void ALTIMETER_SIMULATOR_PERIOD_MS(int value);
    void ALTIMETER_SIMULATOR_MIN_RANGE_M(float value);
    void ALTIMETER_SIMULATOR_MAX_RANGE_M(float value);
    void ALTIMETER_SIMULATOR_DELTA_M(float value);

    // OBSTACLE_DETECTOR_SIMULATOR
    void OBSTACLE_DETECTOR_SIMULATOR_PERIOD_MS(int value);
    void OBSTACLE_DETECTOR_SIMULATOR_MIN_RANGE_M(float value);
    void OBSTACLE_DETECTOR_SIMULATOR_MAX_RANGE_M(float value);
    void OBSTACLE_DETECTOR_SIMULATOR_DELTA_M(float value);

    // GPR_SIMULATOR
    void GPR_SIMULATOR_PERIOD_MS(int value);
    void GPR_SIMULATOR_SAMPLE_COUNT(int value);
    void GPR_SIMULATOR_WAVE_COUNT(int value);
    void GPR_SIMULATOR_SAMPLE_BIT_DEPTH(unsigned char value);
    void GPR_SIMULATOR_MSBYTE_FIRST(bool value);
    void GPR_SIMULATOR_TELEMETRY_PERIOD_MS(int value);

    // KELVANE_SIMULATOR
    void KELVANE_SIMULATOR_SERIAL_DEVICE(const QString &value);
    void KELVANE_SIMULATOR_CONST_MODE(bool value);
    void KELVANE_SIMULATOR_SIN_MODE(bool value);
    void KELVANE_SIMULATOR_DELTA_M(float value);
    void KELVANE_SIMULATOR_FREQUENCY_MODE(const QString &value);

    // OUTPUT_GPS
    void OUTPUT_GPS_ADDRESS(const QString &value);
    void OUTPUT_GPS_FREQUENCY_HZ(float value);
    void OUTPUT_GPS_BAUD_RATE(float value);
    void OUTPUT_GPS_START_DELAY_S(int value);

    // DROP_MESSENGER
    void DROP_MESSENGER_SERVO_PERIOD_MS(float value);
    void DROP_MESSENGER_SERVO_LOCK_PULSE_MS(float value);
    void DROP_MESSENGER_SERVO_UNLOCK_PULSE_MS(float value);

    // OA
    void OA_SAFETY_DISTANCE_SOURCE(const QString &value);
    void OA_SAFETY_DISTANCE_LIMIT_M(float value);
    void OA_ACTION(const QString &value);
    void OA_ACTIVATION_SPEED_MPS(float value);
    void OA_ACTIVATION_ALTITUDE_M(float value);
    void OA_ALTITUDE_SOURCE(const QString &value);
    void OA_ACTIVATED(bool value);

    // Telemetry from the autopilot link
    void vehicleGpsPosition(const Navigate::VehicleGpsPosition &value);
    void vehicleLocalPosition(const Navigate::VehicleLocalPosition &value);
    void vehicleStatus(const Navigate::VehicleStatus &value);

    // NAV
    void NAV_DEBUG_LOG(bool value);
    void NAV_POS_P(float value);
    void NAV_POS_Z_P(float value);
    void NAV_HORIZONTAL_ACCEL_MSS(float value);
    void NAV_VERTICAL_ACCEL_MSS(float value);
    void NAV_YAW_RATE_DS(float value);
    void NAV_MAX_CLIMB_SPEED_MS(float value);
    void NAV_MAX_DESCENT_SPEED_MS(float value);
    void NAV_ACCEPTANCE_RADIUS_M(float value);
    void NAV_VELOCITY_FEED_FORWARD(float value);
    void NAV_VEL_P(float value);
    void NAV_VEL_Z_P(float value);
    void NAV_MAX_JERK(float value);

    // The fields, in this order and with nothing between them: a plug-in runs its own copy of
    // this class's inline and non-virtual members on the host's object, so both copies must put
    // every field at the same offset. Members lie in declaration order whatever their access.
private:
    QSettings *settingsObject = nullptr;

public:
    /// The debug switches by name, all false after construction (see C::AvailabeDebugOptions);
    /// the host turns them on as it sees fit.
    QHash<QString, bool> debugOptions;

private:
    QHash<QString, QString> signalTypes;
    bool verbose = false;
};

#endif // KELVANE_APP_H
