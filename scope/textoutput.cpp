#include "textoutput.h"

#include "nmea.h"

#include <QTextCodec>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// Written out at this size: large enough for few system calls, small enough to stay in cache.
constexpr int FlushSize = 64 * 1024;

} // namespace

TextOutput::TextOutput() : codec(QTextCodec::codecForLocale())
{
    buffer.reserve(FlushSize + 1024);
}

TextOutput::~TextOutput()
{
    flush();
}

TextOutput &TextOutput::to(int descriptor)
{
    if (descriptor != fd) {
        flush();
        fd = descriptor;
    }
    return *this;
}

TextOutput &TextOutput::operator<<(const char *text)
{
    buffer.append(text, int(std::strlen(text)));
    gathered();
    return *this;
}

TextOutput &TextOutput::operator<<(char c)
{
    buffer.append(c);
    gathered();
    return *this;
}

TextOutput &TextOutput::operator<<(const QByteArray &bytes)
{
    buffer.append(bytes);
    gathered();
    return *this;
}

TextOutput &TextOutput::operator<<(const QString &text)
{
    buffer.append(codec->fromUnicode(text));
    gathered();
    return *this;
}

TextOutput &TextOutput::operator<<(int value)
{
    buffer.append(QByteArray::number(value));
    gathered();
    return *this;
}

TextOutput &TextOutput::fixed(double value, int decimals)
{
    appendFixed(buffer, value, decimals);
    gathered();
    return *this;
}

void TextOutput::gathered()
{
    if (buffer.size() >= FlushSize)
        flush();
}

void TextOutput::flush()
{
    const char *p = buffer.constData();
    qsizetype left = buffer.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the reader went away or the disk is full: the text is lost
        p += n;
        left -= n;
    }
    buffer.resize(0);
}
