#include "reference.h"

#include "app.h"

#include <QHash>
#include <QMetaMethod>
#include <QSettings>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The settings the simulator reads, in the order it reads them. The type is that of App's signal
// GROUP_NAME and the default what the plug-in writes into a settings file that lacks the key
// (tst_reference holds both to the plug-in and to docs/reference.md).
const std::vector<Reference::Setting> settingsTable = {
    {"KELVANE_SIMULATOR", "SERIAL_DEVICE", "QString", "/dev/pts/1",
     "the device the simulator opens (the host writes the one it gives it); taken at the next "
     "start",
     nullptr, nullptr},
    {"KELVANE_SIMULATOR", "FREQUENCY_MODE", "QString", "SINGLE",
     "SINGLE (one 450 kHz channel) or DUAL (200 kHz and 50 kHz pings in turn), any case; "
     "silent in any other mode",
     "SINGLE|DUAL", "the simulator stays silent in any other mode"},
    {"KELVANE_SIMULATOR", "CONST_MODE", "bool", "false",
     "true: the depth stays at MAX_DEPTH_M; false: it sweeps from MIN_DEPTH_M to MAX_DEPTH_M and "
     "back",
     nullptr, nullptr},
    {"KELVANE_SIMULATOR", "SIN_MODE", "bool", "false",
     "true: the echo trace is a sine wave that moves one sample a ping, not one echo at the depth",
     nullptr, nullptr},
    {"KELVANE_SIMULATOR", "DELTA_M", "float", "0.1",
     "step of the depth sweep in metres; taken at the sweep's first step only", nullptr, nullptr},
    {"ECHOSOUNDER", "MIN_DEPTH_M", "float", "", "shallow end of the sweep, metres", nullptr,
     nullptr},
    {"ECHOSOUNDER", "MAX_DEPTH_M", "float", "",
     "deep end of the sweep and the depth of CONST_MODE, metres", nullptr, nullptr},
};

// The instrument's commands, sent by the client on the serial line.
const std::vector<Reference::InstrumentCommand> commandTable = {
    {"interval S (or #interval S)", "ping period in seconds, e.g. interval 0.5 (default 1)"},
    {"output N (or #output N)",
     "3: NMEA sentences DBT, MTW and YXXDR (default); 2 or 4: echo frames (single: header, "
     "YXXDR, debug header, data block; dual: frequency line, dual header, data block); 1, 5 or "
     "any other: nothing"},
    {"#range MM",
     "working range in millimetres, cut to whole metres; a data block has 2 x range / 1500 m/s x "
     "sampling frequency samples (0 until set)"},
    {"#rangeh MM", "the same for the 200 kHz channel (dual)"},
    {"#rangel MM", "the same for the 50 kHz channel (dual)"},
    {"#samplfreq HZ", "sampling frequency of the echo samples (default, and for 0: 100000)"},
    {"go", "pinging on again, e.g. #go or #range 10000 #output 2 #go"},
};

const char *const commandsIntro =
    "Instrument commands, sent by the client on the serial line (a whole line at a time: every\n"
    "read is one command text, so a terminal that sends each key as it is typed does not work):";

const char *const commandsNotes =
    "Every command text stops the pinging until a text that holds \"go\"; one text may carry\n"
    "several commands. The reply is the text, then \">ok.\" (single) or \">ok\" (dual); a text\n"
    "under 2 bytes gets \">\". In dual mode the first command after the host starts is answered\n"
    "\"Invalid command >\" and applied all the same. NMEA output steps the depth sweep twice a\n"
    "ping, frames once; NMEA dual output falls silent for 15 s once, after its 100th ping.";

// Rows of cells as columns two spaces apart, each line indented by two; the last column is
// wrapped at Width with its continuation lines under its start.
QString columns(const QVector<QStringList> &rows)
{
    const int Width = 100;
    QVector<int> widths(rows.constFirst().size() - 1);
    for (const QStringList &row : rows) {
        for (int c = 0; c < widths.size(); ++c)
            widths[c] = std::max(widths[c], int(row.at(c).size()));
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line = QStringLiteral("  ");
        for (int c = 0; c < widths.size(); ++c)
            line += row.at(c).leftJustified(widths[c] + 2);
        const int indent = line.size();
        for (const QString &word : row.constLast().split(QLatin1Char(' '))) {
            if (line.size() > indent && line.size() + 1 + word.size() > Width) {
                text += line + QLatin1Char('\n');
                line = QString(indent, QLatin1Char(' '));
            } else if (line.size() > indent) {
                line += QLatin1Char(' ');
            }
            line += word;
        }
        text += line + QLatin1Char('\n');
    }
    return text;
}

// Bits of an unsigned setting type in either spelling; 0 for any other type.
int unsignedBits(const QString &type)
{
    if (type == QLatin1String("uint") || type == QLatin1String("quint32"))
        return 32;
    if (type == QLatin1String("ushort") || type == QLatin1String("quint16"))
        return 16;
    if (type == QLatin1String("uchar") || type == QLatin1String("quint8"))
        return 8;
    return 0;
}

// App's setting signals by name (GROUP_NAME) and their parameter types, read from its
// meta-object once.
const QHash<QByteArray, QString> &signalTypes()
{
    static const QHash<QByteArray, QString> types = [] {
        QHash<QByteArray, QString> found;
        const QMetaObject &meta = App::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            if (method.methodType() == QMetaMethod::Signal && method.parameterCount() == 1 &&
                !found.contains(method.name()))
                found.insert(method.name(), QString::fromLatin1(method.parameterTypes().first()));
        }
        return found;
    }();
    return types;
}

} // namespace

namespace Reference {

QString settingType(const QByteArray &group, const QByteArray &name)
{
    return signalTypes().value(group + '_' + name);
}

QString refusal(const QByteArray &group, const QByteArray &name, const QString &value)
{
    const QString type = settingType(group, name);
    bool ok = true;
    QString expected;
    if (type == QLatin1String("bool")) {
        // App takes "true" (any case) and "1" for true and everything else for false.
        const QString v = value.toLower();
        ok = v == QLatin1String("true") || v == QLatin1String("false") || v == QLatin1String("1") ||
            v == QLatin1String("0");
        expected = QStringLiteral("true or false");
    } else if (type == QLatin1String("float") || type == QLatin1String("double")) {
        const double v = value.toDouble(&ok);
        const double limit = type == QLatin1String("float") ? std::numeric_limits<float>::max()
                                                            : std::numeric_limits<double>::max();
        ok = ok && std::isfinite(v) && std::fabs(v) <= limit;
        expected = QStringLiteral("a number such as 2.5");
    } else if (type == QLatin1String("int")) {
        value.toInt(&ok);
        expected = QStringLiteral("a whole number");
    } else if (const int bits = unsignedBits(type)) {
        // App keeps the low bits of a larger number: 300 would become 44 for a uchar.
        const qulonglong max = (1ull << bits) - 1;
        const qulonglong v = value.toULongLong(&ok);
        ok = ok && v <= max;
        expected = QStringLiteral("a whole number from 0 to %1").arg(max);
    } else {
        return QString(); // QString takes anything; App itself reports an unknown setting
    }
    if (ok)
        return QString();
    return QStringLiteral("%1/%2 takes type %3 (%4), not: %5")
        .arg(QString::fromLatin1(group), QString::fromLatin1(name), type, expected, value);
}

QString warning(const QByteArray &group, const QByteArray &name, const QString &value)
{
    for (const Setting &s : settingsTable) {
        if (!s.choices || group != s.group || name != s.name)
            continue;
        const QStringList choices = QString::fromLatin1(s.choices).split(QLatin1Char('|'));
        if (choices.contains(value.toUpper()))
            return QString();
        return QStringLiteral("%1/%2 is %3 (any case): %4")
            .arg(QString::fromLatin1(group), QString::fromLatin1(name),
                 choices.join(QStringLiteral(" or ")), QLatin1String(s.otherwise));
    }
    return QString();
}

QStringList valueWarnings(const QSettings &store)
{
    QStringList warnings;
    // Looked up by App's signals, each split at every underscore (KELVANE_SIMULATOR_DELTA_M may
    // be KELVANE_SIMULATOR/DELTA_M), rather than by the file's keys: a file of many keys costs
    // no more than one of few.
    for (auto it = signalTypes().begin(); it != signalTypes().end(); ++it) {
        const QByteArray &signal = it.key();
        for (int at = signal.indexOf('_'); at > 0; at = signal.indexOf('_', at + 1)) {
            const QByteArray group = signal.left(at), name = signal.mid(at + 1);
            const QString key = QString::fromLatin1(group + '/' + name);
            if (!store.contains(key))
                continue;
            // The INI reader splits a value at its commas (a decimal comma: 1,5).
            const QVariant raw = store.value(key);
            const QString value = raw.type() == QVariant::StringList
                ? raw.toStringList().join(QLatin1Char(','))
                : raw.toString();
            // An empty value is the plug-in's own default for a depth (read as 0), no mistake.
            if (value.isEmpty())
                continue;
            QString why = refusal(group, name, value);
            if (why.isEmpty())
                why = warning(group, name, value);
            if (!why.isEmpty())
                warnings << why;
        }
    }
    // In the order of the keys, whatever the order of the signals.
    std::sort(warnings.begin(), warnings.end());
    return warnings;
}

const std::vector<Setting> &settings()
{
    return settingsTable;
}

const std::vector<InstrumentCommand> &commands()
{
    return commandTable;
}

QString shownDefault(const Setting &setting)
{
    // An empty value reads as 0 for a number.
    return *setting.defaultValue ? QLatin1String(setting.defaultValue)
                                 : QStringLiteral("empty (0)");
}

QString text()
{
    QVector<QStringList> settingRows = {{QStringLiteral("GROUP"), QStringLiteral("NAME"),
                                         QStringLiteral("TYPE"), QStringLiteral("DEFAULT"),
                                         QStringLiteral("MEANING")}};
    for (const Setting &s : settingsTable) {
        settingRows << QStringList {QLatin1String(s.group), QLatin1String(s.name),
                                    QLatin1String(s.type), shownDefault(s),
                                    QLatin1String(s.meaning)};
    }
    QVector<QStringList> commandRows;
    for (const InstrumentCommand &c : commandTable)
        commandRows << QStringList {QLatin1String(c.command), QLatin1String(c.meaning)};
    return QStringLiteral("Simulator settings (set GROUP NAME VALUE; a value that does not "
                          "convert to the type is refused):\n") +
        columns(settingRows) + QLatin1String(commandsIntro) + QLatin1Char('\n') +
        columns(commandRows) + QLatin1String(commandsNotes);
}

} // namespace Reference
