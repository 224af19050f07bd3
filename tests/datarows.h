// Rows of the case tables in tests/data: one case a line, fields separated by " | ", blank
// lines and lines starting with "#" left out.

#pragma once

#include <QFile>
#include <QList>

#include <cctype>

inline QList<QList<QByteArray>> readRows(const char *name)
{
    QFile file(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", name);
    QList<QList<QByteArray>> rows;
    for (const QByteArray &line : file.readAll().split('\n')) {
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
            bytes += QByteArray(n - 1, bytes.back());
        } else {
            bytes += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        }
    }
    return bytes;
}
