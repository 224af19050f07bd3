#ifndef KELVANE_TESTS_DATATABLE_H
#define KELVANE_TESTS_DATATABLE_H

#include <QFile>
#include <QtTest>

#include <initializer_list>

/// Adds the rows of a table file under tests/data to the current _data() function. The file has
/// a section per test function, "[function]", holding one row a line: the row's tag, then its
/// columns, separated by "|" and trimmed; "\n" in a column stands for a line break. Blank lines
/// and lines starting with "#" are skipped. Every column is a QString, named by columns (QTest
/// keeps the pointers: pass literals).
inline void addTableRows(const char *file, std::initializer_list<const char *> columns)
{
    QFile in(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + QLatin1String(file));
    QVERIFY2(in.open(QIODevice::ReadOnly | QIODevice::Text), file);
    for (const char *column : columns)
        QTest::addColumn<QString>(column);
    const QString section = QStringLiteral("[%1]").arg(QTest::currentTestFunction());
    bool inSection = false;
    int rows = 0;
    while (!in.atEnd()) {
        const QString line = QString::fromUtf8(in.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inSection = line == section;
        if (!inSection || line.isEmpty() || line.startsWith(QLatin1Char('[')) ||
            line.startsWith(QLatin1Char('#')))
            continue;
        QStringList cells = line.split(QLatin1Char('|'));
        QVERIFY2(cells.size() == int(columns.size()) + 1, qPrintable(line));
        QTestData &row = QTest::newRow(qPrintable(cells.takeFirst().trimmed()));
        for (const QString &cell : qAsConst(cells))
            row << cell.trimmed().replace(QLatin1String("\\n"), QLatin1String("\n"));
        ++rows;
    }
    QVERIFY2(rows > 0, qPrintable(section + QLatin1String(" has no rows")));
}

#endif // KELVANE_TESTS_DATATABLE_H
