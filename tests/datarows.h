// Files of tests/data, and the rows of its case tables: one case a line, fields separated by
// " | ", blank lines and lines starting with "#" left out.

#pragma once

#include <QFile>
#include <QList>
#include <QtTest>

#include <cctype>
#include <initializer_list>

/// A whole file; empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// A file of tests/data, as it is.
inline QByteArray testData(const char *name)
{
    return readFile(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + QLatin1String(name));
}

inline QList<QList<QByteArray>> readRows(const char *name)
{
    const QByteArray text = testData(name);
    if (text.isEmpty())
        qFatal("cannot read %s", name);
    QList<QList<QByteArray>> rows;
    for (const QByteArray &line : text.split('\n')) {
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        QList<QByteArray> fields;
        int from = 0;
        for (int bar; (bar = line.indexOf(" | ", from)) >= 0; from = bar + 3)
            fields << line.mid(from, bar - from);
        rows << (fields << line.mid(from));
    }
    return rows;
}

/// Text with the escapes "\r", "\n", "\\", "\xHH" and "C\*N" (the character C N times).
inline QByteArray unescape(const QByteArray &text)
{
    QByteArray bytes;
    for (int i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text.at(i + 1) : '\0';
        if (text.at(i) != '\\' || !next) {
            bytes += text.at(i);
            continue;
        }
        ++i;
        if (next == 'x') {
            bytes += char(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else if (next == '*') {
            int n = 0;
            while (i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text.at(i + 1))))
                n = n * 10 + text.at(++i) - '0';
            bytes += QByteArray(n - 1, bytes.at(bytes.size() - 1));
        } else {
            bytes += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        }
    }
    return bytes;
}

/// Adds the rows of a table to the current _data() function: the first field is the row's tag,
/// the others, unescaped, fill the given QByteArray columns (QTest keeps the names: pass
/// literals). A row with another number of fields is fatal.
inline void addRows(const char *name, std::initializer_list<const char *> columns)
{
    for (const char *column : columns)
        QTest::addColumn<QByteArray>(column);
    for (const QList<QByteArray> &row : readRows(name)) {
        if (row.size() != int(columns.size()) + 1)
            qFatal("%s: %d fields in row %s", name, int(row.size()), row.at(0).constData());
        QTestData &data = QTest::newRow(row.at(0).constData());
        for (int i = 1; i < row.size(); ++i)
            data << unescape(row.at(i));
    }
}
