#ifndef KELVANE_TESTS_DATATABLE_H
#define KELVANE_TESTS_DATATABLE_H

// Test data under tests/data: golden files read whole, and tables read row by row.
//
// A table has one row a line, its fields separated by " | ", the first field the row's tag.
// Lines that are empty or start with "#" are skipped. Fields are bytes as written, except for the
// escapes \r \n \t \0 \\ and \xHH (\x7C for a "|").

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QtGlobal>

/// A file of tests/data, bytes as they are; empty when it cannot be read.
inline QByteArray testData(const char *name)
{
    QFile file(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// A table field with its escapes resolved.
inline QByteArray unescaped(const QByteArray &field)
{
    QByteArray bytes;
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            bytes += field[i];
            continue;
        }
        const char c = field[++i];
        if (c == 'x') {
            bytes += char(field.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            bytes += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
        }
    }
    return bytes;
}

/// The rows of the table tests/data/<name>, each with exactly columns fields; a file that is
/// missing or a row of another width ends the test program.
inline QList<QList<QByteArray>> dataTable(const char *name, int columns)
{
    QList<QList<QByteArray>> rows;
    const QList<QByteArray> lines = testData(name).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].isEmpty() || lines[i].startsWith('#'))
            continue;
        QList<QByteArray> fields;
        for (const QByteArray &field : lines[i].split('|'))
            fields << field;
        // "|" splits " | " into "a " and " b": the one blank on each side belongs to the
        // separator.
        for (int f = 0; f < fields.size(); ++f)
            fields[f] = unescaped(fields[f].mid(f > 0 ? 1 : 0).chopped(f + 1 < fields.size()));
        if (fields.size() != columns)
            qFatal("%s:%d: %d fields, %d expected", name, i + 1, int(fields.size()), columns);
        rows << fields;
    }
    if (rows.isEmpty())
        qFatal("%s: no rows", name);
    return rows;
}

#endif // KELVANE_TESTS_DATATABLE_H
