#include "nmeareference.h"

#include <QRegularExpression>

namespace NmeaReference {

namespace {

// Received bytes as text: UTF-8 up to the first zero byte.
QString toText(const QByteArray &data)
{
    return QString::fromUtf8(data.constData(), int(qstrnlen(data.constData(), uint(data.size()))));
}

// The templates compiled once; matching a shared const expression is thread-safe, and gives
// what compiling the template for each call gives.
const QHash<int, QRegularExpression> &compiledTemplates()
{
    static const QHash<int, QRegularExpression> compiled = [] {
        QHash<int, QRegularExpression> expressions;
        for (auto it = C::NmeaRegEx.cbegin(); it != C::NmeaRegEx.cend(); ++it)
            expressions.insert(it.key(), QRegularExpression(it.value()));
        return expressions;
    }();
    return compiled;
}

QRegularExpressionMatch matchTemplate(const QByteArray &sentence, int key, bool *known,
                                      Compile compile)
{
    const auto it = compiledTemplates().constFind(key);
    *known = it != compiledTemplates().constEnd();
    if (!*known)
        return QRegularExpressionMatch();
    if (compile == EachCall)
        return QRegularExpression(C::NmeaRegEx.value(key)).match(toText(sentence));
    return it->match(toText(sentence));
}

} // namespace

bool checksum(const QByteArray &sentence)
{
    const int start = sentence.indexOf('$');
    const int end = start < 0 ? -1 : sentence.indexOf('*', start);
    if (end < 0)
        return sentence.endsWith(QByteArray(2, '\0'));
    return sentence.endsWith(Nmea::calcChecksum(sentence.mid(start + 1, end - start - 1)));
}

bool isNmeaString(const QByteArray &data, QByteArray *sentence)
{
    static const QRegularExpression expression(QStringLiteral("(\\$..[A-Z]+,[^*]+\\*..)"));
    const QRegularExpressionMatch match = expression.match(toText(data));
    if (!match.hasMatch())
        return false;
    if (sentence)
        *sentence = match.captured(1).toUtf8();
    return true;
}

bool getValue(const QByteArray &sentence, int key, float &value, Compile compile)
{
    bool known = false;
    const QRegularExpressionMatch match = matchTemplate(sentence, key, &known, compile);
    if (!known || !match.hasMatch() || match.lastCapturedIndex() < 1)
        return false;
    value = match.capturedRef(1).toFloat();
    return true;
}

bool getValues(const QByteArray &sentence, int key, float &first, float &second, Compile compile)
{
    bool known = false;
    const QRegularExpressionMatch match = matchTemplate(sentence, key, &known, compile);
    if (!known || !match.hasMatch() || match.lastCapturedIndex() < 2)
        return false;
    first = match.capturedRef(1).toFloat();
    second = match.capturedRef(2).toFloat();
    return true;
}

bool getMwvValues(const QByteArray &sentence, MwvData &data, Compile compile)
{
    bool known = false;
    const QRegularExpressionMatch match = matchTemplate(sentence, C::Mwv, &known, compile);
    if (!known || !match.hasMatch() || match.lastCapturedIndex() < 5)
        return false;
    data.angle = match.capturedRef(1).toFloat();
    data.reference = match.capturedRef(2).toString().toUpper() == QLatin1String("T")
        ? MwvData::TrueWind
        : MwvData::RelativeWind;
    float speed = match.capturedRef(3).toFloat();
    const QString unit = match.capturedRef(4).toString().toUpper();
    if (unit == QLatin1String("K"))
        speed *= 0.2777778f;
    else if (unit == QLatin1String("N"))
        speed *= 0.5144445f;
    data.speed = speed;
    data.valid = match.capturedRef(5).toString().toUpper() == QLatin1String("A");
    return true;
}

} // namespace NmeaReference
