#include "datatable.h"
#include "ibase.h"
#include "logcapture.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

class Echo : public IBase
{
public:
    QString id() const override { return QStringLiteral("ECHO"); }
};

} // namespace

class TstIBase : public QObject
{
    Q_OBJECT

private slots:
    void runSystemCommand_data()
    {
        addTableRows("ibase-commands.txt", {"command", "result", "line", "written"});
    }
    void runSystemCommand();

private:
    QTemporaryDir dir;
};

void TstIBase::runSystemCommand()
{
    QFETCH(QString, command);
    QFETCH(QString, result);
    QFETCH(QString, line);
    QFETCH(QString, written);
    const QString path = dir.filePath(QStringLiteral("written"));
    QFile::remove(path);
    LogCapture log;
    QCOMPARE(Echo().runSystemCommand(command.replace(QLatin1String("%1"), path)),
             result == QLatin1String("true"));
    QCOMPARE(log.take(), QStringList {line.replace(QLatin1String("%1"), path)});
    if (!written.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(file.readAll()), written);
    }
}

QTEST_APPLESS_MAIN(TstIBase)

#include "tst_ibase.moc"
