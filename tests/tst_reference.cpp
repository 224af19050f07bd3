// The reference tables of kelvane-host (the simulator's settings, the instrument's commands) held
// to what they describe: App's signals, the defaults the plug-in writes, and docs/reference.md.

#include "app.h"
#include "ipayloadplugin.h"
#include "reference.h"

#include <QFile>
#include <QPluginLoader>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString key(const Reference::Setting &setting)
{
    return QStringLiteral("%1/%2").arg(QLatin1String(setting.group), QLatin1String(setting.name));
}

// The rows of the Markdown table under the heading that starts with heading, cells trimmed, with
// the code marks taken out and "×" written as "x", as help writes them.
QVector<QStringList> markdownTable(const QString &heading)
{
    QFile file(QStringLiteral(KELVANE_REFERENCE_DOC));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QVector<QStringList> rows;
    bool under = false;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("#")))
            under = line.contains(heading);
        if (!under || !line.startsWith(QLatin1Char('|')) || line.startsWith(QLatin1String("|---")))
            continue;
        QStringList cells = line.mid(1, line.size() - 2).split(QLatin1Char('|'));
        for (QString &cell : cells)
            cell = cell.trimmed().remove(QLatin1Char('`')).replace(QChar(0x00D7), QLatin1Char('x'));
        rows << cells;
    }
    return rows.mid(1); // the header
}

// Row for row, so that a failure names the row.
void compareRows(const QVector<QStringList> &documented, const QVector<QStringList> &table)
{
    for (int i = 0; i < std::min(documented.size(), table.size()); ++i)
        QCOMPARE(documented.at(i).join(QStringLiteral(" | ")),
                 table.at(i).join(QStringLiteral(" | ")));
    QCOMPARE(documented.size(), table.size());
}

} // namespace

class TstReference : public QObject
{
    Q_OBJECT

private slots:
    void settingTypes_data();
    void settingTypes();
    void pluginDefaults();
    void documentedSettings();
    void documentedCommands();
};

void TstReference::settingTypes_data()
{
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("type");
    for (const Reference::Setting &setting : Reference::settings()) {
        QTest::newRow(qPrintable(key(setting)))
            << QByteArray(setting.group) << QByteArray(setting.name) << QString(setting.type);
    }
}

// The table's type is the parameter type of App's signal GROUP_NAME (read from App's
// meta-object), which App converts the value to and the console checks a value against.
void TstReference::settingTypes()
{
    QFETCH(QByteArray, group);
    QFETCH(QByteArray, name);
    QFETCH(QString, type);
    QCOMPARE(Reference::settingType(group, name), type);
}

// The plug-in, constructed on an empty settings file, writes exactly the table's settings of its
// groups, each with the table's default: a setting it reads and the table lacks, or a default
// changed on one side only, shows here.
void TstReference::pluginDefaults()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    auto *app = static_cast<App *>(QCoreApplication::instance());
    app->loadSettings(path);
    QPluginLoader loader(QStringLiteral(KELVANE_PLUGIN_PATH));
    QVERIFY2(qobject_cast<IPayloadPlugin *>(loader.instance()), qPrintable(loader.errorString()));
    app->syncSettings();

    QStringList groups, expected;
    for (const Reference::Setting &setting : Reference::settings()) {
        expected << key(setting) + QLatin1Char('=') + QLatin1String(setting.defaultValue);
        if (!groups.contains(QLatin1String(setting.group)))
            groups << QLatin1String(setting.group);
    }
    QStringList written;
    QSettings file(path, QSettings::IniFormat);
    for (const QString &name : file.allKeys()) {
        if (groups.contains(name.section(QLatin1Char('/'), 0, 0)))
            written << name + QLatin1Char('=') + file.value(name).toString();
    }
    written.sort();
    expected.sort();
    QCOMPARE(written, expected);
    delete loader.instance();
}

// docs/reference.md's table of settings says what help says, row for row.
void TstReference::documentedSettings()
{
    QVector<QStringList> table;
    for (const Reference::Setting &s : Reference::settings()) {
        table << QStringList {QLatin1String(s.group), QLatin1String(s.name), QLatin1String(s.type),
                              Reference::shownDefault(s), QLatin1String(s.meaning)};
    }
    compareRows(markdownTable(QStringLiteral("settings")), table);
}

void TstReference::documentedCommands()
{
    QVector<QStringList> table;
    for (const Reference::InstrumentCommand &c : Reference::commands())
        table << QStringList {QLatin1String(c.command), QLatin1String(c.meaning)};
    compareRows(markdownTable(QStringLiteral("commands")), table);
}

int main(int argc, char **argv)
{
    App app(argc, argv);
    TstReference test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reference.moc"
