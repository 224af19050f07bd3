// Command and FaultCommand as plain code: the operator's lines (console or script) and the
// control channel's requests in, one typed value or the error out. A set's value and the
// console's commands are also run end to end in tst_kelvanehost.

#include "command.h"
#include "datarows.h"

class TstCommand : public QObject
{
    Q_OBJECT

private slots:
    void refused_data() { addRows("host-console-errors.txt", {"printed"}); }
    void refused();
    void fault_data();
    void fault();
    void faultRefused_data();
    void faultRefused();
    void fromJson_data() { addRows("control-requests.txt", {"request", "line"}); }
    void fromJson();
    void fromJsonRefused_data() { addRows("control-refusals.txt", {"request", "error"}); }
    void fromJsonRefused();
};

// What the console prints for a line it refuses: "error: WHY; HINT".
void TstCommand::refused()
{
    QFETCH(QByteArray, printed);
    Command command;
    QString error, hint;
    QVERIFY(!Command::parse(QString::fromUtf8(QTest::currentDataTag()), &command, &error, &hint));
    QCOMPARE(QStringLiteral("error: %1; %2").arg(error, hint), QString::fromUtf8(printed));
}

void TstCommand::fault_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<int>("count");
    // Rates: what the output's rates become from checksum=0.2,drop=0.5.
    QTest::addColumn<QString>("rates");
    QTest::newRow("unplug") << "unplug 2" << int(FaultCommand::Unplug) << 2.0 << 0 << QString();
    QTest::newRow("stall, a fraction of a second")
        << "stall 0.25" << int(FaultCommand::Stall) << 0.25 << 0 << QString();
    QTest::newRow("hangup for no time")
        << "hangup 0" << int(FaultCommand::Hangup) << 0.0 << 0 << QString();
    QTest::newRow("the longest event: a day")
        << "unplug 86400" << int(FaultCommand::Unplug) << 86400.0 << 0 << QString();
    QTest::newRow("garbage, the most")
        << "garbage 1000000" << int(FaultCommand::Garbage) << 0.0 << 1000000 << QString();
    QTest::newRow("a rate changes its kind only") << "drop=0.1" << int(FaultCommand::Rates) << 0.0
                                                  << 0 << QStringLiteral("checksum=0.2,drop=0.1");
    QTest::newRow("several rates, one to 0") << "checksum=0,flip=0.01" << int(FaultCommand::Rates)
                                             << 0.0 << 0 << QStringLiteral("drop=0.5,flip=0.01");
}

void TstCommand::fault()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(double, seconds);
    QFETCH(int, count);
    QFETCH(QString, rates);
    FaultCommand command;
    QString error;
    QVERIFY2(FaultCommand::parse(text, &command, &error), qPrintable(error));
    QCOMPARE(int(command.kind), kind);
    QCOMPARE(command.seconds, seconds);
    QCOMPARE(command.count, count);
    if (kind != FaultCommand::Rates)
        return;
    LineFaultRates current;
    QVERIFY(current.parse(QStringLiteral("checksum=0.2,drop=0.5"), &error));
    QCOMPARE(command.appliedTo(current).toString(), rates);
}

void TstCommand::faultRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    const QString usage = QStringLiteral("fault needs unplug SECONDS, stall SECONDS, hangup "
                                         "SECONDS, garbage N or [commands] KIND=RATE");
    QTest::newRow("an event without its time") << "unplug" << usage;
    QTest::newRow("one word too many") << "unplug 1 2" << usage;
    QTest::newRow("a time that is no number")
        << "stall soon" << QStringLiteral("fault stall needs SECONDS from 0 to 86400");
    QTest::newRow("more than a day")
        << "hangup 86400.5" << QStringLiteral("fault hangup needs SECONDS from 0 to 86400");
    QTest::newRow("no garbage") << "garbage 0"
                                << QStringLiteral("fault garbage needs a count from 1 to 1000000");
    QTest::newRow("too much garbage")
        << "garbage 1000001" << QStringLiteral("fault garbage needs a count from 1 to 1000000");
    QTest::newRow("an unknown kind")
        << "noise=0.1"
        << QStringLiteral("unknown fault \"noise\" (KIND=RATE with KIND one of checksum, drop, "
                          "truncate, duplicate, garbage, flip)");
    QTest::newRow("a rate that is no number")
        << "drop=nan"
        << QStringLiteral("the rate of drop must be a number from 0 to 1, got \"nan\"");
    QTest::newRow("a rate above 1")
        << "drop=1.5"
        << QStringLiteral("the rate of drop must be a number from 0 to 1, got \"1.5\"");
}

void TstCommand::faultRefused()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    FaultCommand command;
    QString why;
    QVERIFY(!FaultCommand::parse(text, &command, &why));
    QCOMPARE(why, error);
}

// A request of the control channel is the same command value as the console's line.
void TstCommand::fromJson()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, line);
    Command fromRequest, fromLine;
    QString error, hint;
    QVERIFY2(Command::fromJson(QJsonDocument::fromJson(request).object(), &fromRequest, &error),
             qPrintable(error));
    QVERIFY2(Command::parse(QString::fromUtf8(line), &fromLine, &error, &hint), qPrintable(error));
    QCOMPARE(int(fromRequest.kind), int(fromLine.kind));
    QCOMPARE(fromRequest.group + '/' + fromRequest.name, fromLine.group + '/' + fromLine.name);
    QCOMPARE(fromRequest.value, fromLine.value);
    const FaultCommand &a = fromRequest.fault, &b = fromLine.fault;
    QCOMPARE(int(a.kind), int(b.kind));
    QCOMPARE(a.seconds, b.seconds);
    QCOMPARE(a.count, b.count);
    QCOMPARE(int(a.direction), int(b.direction));
    QVERIFY(a.rates.rate == b.rates.rate);
}

void TstCommand::fromJsonRefused()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, error);
    Command command;
    QString why;
    QVERIFY(!Command::fromJson(QJsonDocument::fromJson(request).object(), &command, &why));
    QCOMPARE(why, QString::fromUtf8(error));
}

QTEST_GUILESS_MAIN(TstCommand)
#include "tst_command.moc"
