#ifndef KELVANE_TEXTOUTPUT_H
#define KELVANE_TEXTOUTPUT_H

#include <QByteArray>
#include <QString>

class QTextCodec;

/// The program's standard output and standard error, written in large pieces. Text gathers in
/// one buffer for the stream last chosen; choosing the other one, flush() and a full buffer
/// write it out, so that a terminal or a file that takes both streams shows the lines in the
/// order they were written. QString text is encoded as QTextStream encodes it (the locale's
/// codec); bytes and numbers go as they are. Write errors are ignored, as QTextStream ignores
/// them.
class TextOutput
{
public:
    TextOutput();
    /// Writes what is left.
    ~TextOutput();

    /// Further text goes to standard output, or to standard error.
    TextOutput &out() { return to(1); }
    TextOutput &err() { return to(2); }

    TextOutput &operator<<(const char *text);
    TextOutput &operator<<(char c);
    TextOutput &operator<<(const QByteArray &bytes);
    TextOutput &operator<<(const QString &text);
    TextOutput &operator<<(int value);
    /// value as QString::number(value, 'f', decimals) writes it.
    TextOutput &fixed(double value, int decimals);

    /// Writes everything gathered so far.
    void flush();

private:
    TextOutput &to(int fd);
    void gathered();

    QByteArray buffer;
    int fd = 1;
    QTextCodec *codec;
};

#endif // KELVANE_TEXTOUTPUT_H
