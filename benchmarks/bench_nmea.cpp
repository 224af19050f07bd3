// The NMEA toolkit against the straightforward ways of doing the same: parsers against a
// QRegularExpression compiled per call (and one compiled once), builders against QStringList +
// QString::number + join + toLatin1 and against snprintf + XOR. Each benchmark also counts the
// malloc calls it makes per sentence ("mallocs").

#include "nmea.h"
#include "nmeareference.h"

#include <QStringList>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

// Every malloc of the process (Qt's containers allocate with malloc) is counted.
extern "C" void *__libc_malloc(size_t size);
namespace {
size_t mallocCount = 0;
}
extern "C" void *malloc(size_t size)
{
    ++mallocCount;
    return __libc_malloc(size);
}

namespace {

void countMallocs(benchmark::State &state, size_t before, int perIteration)
{
    state.counters["mallocs"] = benchmark::Counter(
        double(mallocCount - before) / double(state.iterations() * uint64_t(perIteration)));
}

// ---- Parsers ---------------------------------------------------------------------------------

struct Received
{
    QByteArray sentence;
    int key;
};

const std::vector<Received> &mix()
{
    static const std::vector<Received> sentences = {
        {"$SDDBT,40.4,f,12.3,M,6.7,F*07", C::Dbt},
        {"$YXMTW,19.5,C*1F", C::Mtw},
        {"$YXXDR,A,-3.2,D,PTCH,A,10.0,D,ROLL*40", C::Xdr},
        {"$WIMWV,045,T,10.0,N,A*0B", C::Mwv},
    };
    return sentences;
}

// The regex readers of fuzz/nmeareference: the key's expression either compiled on every call
// (the naive way) or compiled once.
template<NmeaReference::Compile compile> struct RegexParser
{
    bool value(const QByteArray &s, int key, float &v)
    {
        return NmeaReference::getValue(s, key, v, compile);
    }
    bool values(const QByteArray &s, int key, float &a, float &b)
    {
        return NmeaReference::getValues(s, key, a, b, compile);
    }
    bool mwv(const QByteArray &s, MwvData &d) { return NmeaReference::getMwvValues(s, d, compile); }
};
using NaiveParser = RegexParser<NmeaReference::EachCall>;
using CachedParser = RegexParser<NmeaReference::Once>;

struct FastParser
{
    bool value(const QByteArray &s, int key, float &v) { return Nmea::getValue(s, key, v); }
    bool values(const QByteArray &s, int key, float &a, float &b)
    {
        return Nmea::getValues(s, key, a, b);
    }
    bool mwv(const QByteArray &s, MwvData &d) { return Nmea::getMwvValues(s, d); }
};

// One pass over the mix: checksum, then the sentence's own reader.
template<typename Parser> void parseMix(benchmark::State &state)
{
    Parser parser;
    const auto &sentences = mix();
    const size_t before = mallocCount;
    for (auto _ : state) {
        for (const Received &r : sentences) {
            bool ok = Nmea::checksum(r.sentence);
            float a = 0, b = 0;
            MwvData wind;
            switch (r.key) {
            case C::Xdr:
                ok = ok && parser.values(r.sentence, r.key, a, b);
                break;
            case C::Mwv:
                ok = ok && parser.mwv(r.sentence, wind);
                a = wind.speed;
                break;
            default:
                ok = ok && parser.value(r.sentence, r.key, a);
                break;
            }
            if (!ok)
                state.SkipWithError("a sentence of the mix did not parse");
            benchmark::DoNotOptimize(a);
            benchmark::DoNotOptimize(b);
        }
    }
    countMallocs(state, before, int(sentences.size()));
    state.SetItemsProcessed(int64_t(state.iterations() * sentences.size()));
}

void BM_ParseMix_NaiveRegex(benchmark::State &state)
{
    parseMix<NaiveParser>(state);
}
void BM_ParseMix_CachedRegex(benchmark::State &state)
{
    parseMix<CachedParser>(state);
}
void BM_ParseMix_Toolkit(benchmark::State &state)
{
    parseMix<FastParser>(state);
}
BENCHMARK(BM_ParseMix_NaiveRegex);
BENCHMARK(BM_ParseMix_CachedRegex);
BENCHMARK(BM_ParseMix_Toolkit);

// ---- Builders --------------------------------------------------------------------------------

const std::vector<float> &values()
{
    static const std::vector<float> v = [] {
        std::mt19937 random(1856);
        std::uniform_real_distribution<float> range(-90.0f, 200.0f);
        std::vector<float> out(1024);
        for (float &x : out)
            x = range(random);
        return out;
    }();
    return v;
}

QByteArray joinSentence(const QStringList &fields)
{
    const QByteArray body = fields.join(QLatin1Char(',')).toLatin1();
    return '$' + body + '*' + Nmea::calcChecksum(body);
}

QByteArray listDbt(float depth, const QString &talker)
{
    return joinSentence({formatPrefix(talker) + QLatin1String("DBT"),
                         QString::number(double(depth * 3.28084f), 'f', 3), QStringLiteral("f"),
                         QString::number(double(depth), 'f', 3), QStringLiteral("M"), QString(),
                         QString()});
}

QByteArray listMtw(float temperature, const QString &talker)
{
    return joinSentence({formatPrefix(talker) + QLatin1String("MTW"),
                         QString::number(double(temperature), 'f', 2), QStringLiteral("C")});
}

QByteArray listYxxdr(float pitch, float roll)
{
    return joinSentence(
        {QStringLiteral("YXXDR"), QStringLiteral("A"), QString::number(double(pitch), 'f', 1),
         QStringLiteral("D"), QStringLiteral("PTCH"), QStringLiteral("A"),
         QString::number(double(roll), 'f', 1), QStringLiteral("D"), QStringLiteral("ROLL")});
}

// snprintf the body after "$", XOR it, snprintf the checksum.
QByteArray finishPrintf(char *buffer, int bodyLength)
{
    unsigned char sum = 0;
    for (int i = 1; i <= bodyLength; ++i)
        sum ^= static_cast<unsigned char>(buffer[i]);
    const int length = 1 + bodyLength;
    std::snprintf(buffer + length, 4, "*%02X", sum);
    return QByteArray(buffer, length + 3);
}

QByteArray printfDbt(float depth, const QString &talker)
{
    char buffer[128];
    const QByteArray prefix = formatPrefix(talker).toLatin1();
    buffer[0] = '$';
    const int body = std::snprintf(buffer + 1, sizeof buffer - 4, "%sDBT,%.3f,f,%.3f,M,,",
                                   prefix.constData(), double(depth * 3.28084f), double(depth));
    return finishPrintf(buffer, body);
}

QByteArray printfMtw(float temperature, const QString &talker)
{
    char buffer[128];
    const QByteArray prefix = formatPrefix(talker).toLatin1();
    buffer[0] = '$';
    const int body = std::snprintf(buffer + 1, sizeof buffer - 4, "%sMTW,%.2f,C",
                                   prefix.constData(), double(temperature));
    return finishPrintf(buffer, body);
}

QByteArray printfYxxdr(float pitch, float roll)
{
    char buffer[128];
    buffer[0] = '$';
    const int body =
        std::snprintf(buffer + 1, sizeof buffer - 4, "YXXDR,A,%.1f,D,PTCH,A,%.1f,D,ROLL",
                      double(pitch), double(roll));
    return finishPrintf(buffer, body);
}

template<typename Build> void build(benchmark::State &state, Build buildOne)
{
    const std::vector<float> &v = values();
    const size_t mask = v.size() - 1;
    size_t i = 0;
    const size_t before = mallocCount;
    for (auto _ : state) {
        QByteArray sentence = buildOne(v[i & mask], v[(i + 7) & mask]);
        benchmark::DoNotOptimize(sentence.constData());
        ++i;
    }
    countMallocs(state, before, 1);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

const QString Talker = QStringLiteral("SM");

void BM_Dbt_StringList(benchmark::State &s)
{
    build(s, [](float a, float) { return listDbt(a, Talker); });
}
void BM_Dbt_Snprintf(benchmark::State &s)
{
    build(s, [](float a, float) { return printfDbt(a, Talker); });
}
void BM_Dbt_Toolkit(benchmark::State &s)
{
    build(s, [](float a, float) { return Nmea::dbt(a, Talker); });
}
void BM_Mtw_StringList(benchmark::State &s)
{
    build(s, [](float a, float) { return listMtw(a, Talker); });
}
void BM_Mtw_Snprintf(benchmark::State &s)
{
    build(s, [](float a, float) { return printfMtw(a, Talker); });
}
void BM_Mtw_Toolkit(benchmark::State &s)
{
    build(s, [](float a, float) { return Nmea::mtw(a, Talker); });
}
void BM_Yxxdr_StringList(benchmark::State &s)
{
    build(s, [](float a, float b) { return listYxxdr(a, b); });
}
void BM_Yxxdr_Snprintf(benchmark::State &s)
{
    build(s, [](float a, float b) { return printfYxxdr(a, b); });
}
void BM_Yxxdr_Toolkit(benchmark::State &s)
{
    build(s, [](float a, float b) { return Nmea::yxxdr(a, b); });
}
BENCHMARK(BM_Dbt_StringList);
BENCHMARK(BM_Dbt_Snprintf);
BENCHMARK(BM_Dbt_Toolkit);
BENCHMARK(BM_Mtw_StringList);
BENCHMARK(BM_Mtw_Snprintf);
BENCHMARK(BM_Mtw_Toolkit);
BENCHMARK(BM_Yxxdr_StringList);
BENCHMARK(BM_Yxxdr_Snprintf);
BENCHMARK(BM_Yxxdr_Toolkit);

// ---- Hostile input ---------------------------------------------------------------------------

// DBT sentence starts with the only "*" on the next line: the template's ".*\*" sends a
// backtracking matcher to the end of the line from every start, so its time grows with the
// square of the length.
QByteArray backtrackingLine(int length)
{
    QByteArray l;
    while (l.size() < length)
        l += "$SDDBT,1,f,2,M";
    return l + "\n*";
}

const QByteArray &megabyte()
{
    static const QByteArray text = [] {
        QByteArray t(1 << 20, 'A');
        for (int i = 0; i < t.size(); i += 7)
            t[i] = '$';
        return t;
    }();
    return text;
}

void BM_Hostile_DbtBacktrackingLine_Toolkit(benchmark::State &state)
{
    const QByteArray line = backtrackingLine(int(state.range(0)));
    for (auto _ : state) {
        float v = 0;
        benchmark::DoNotOptimize(Nmea::getValue(line, C::Dbt, v));
    }
}
BENCHMARK(BM_Hostile_DbtBacktrackingLine_Toolkit)
    ->Arg(30000)
    ->Arg(300000)
    ->Unit(benchmark::kMillisecond);

void BM_Hostile_DbtBacktrackingLine_Regex(benchmark::State &state)
{
    const QByteArray line = backtrackingLine(int(state.range(0)));
    for (auto _ : state) {
        float v = 0;
        benchmark::DoNotOptimize(NaiveParser().value(line, C::Dbt, v));
    }
}
BENCHMARK(BM_Hostile_DbtBacktrackingLine_Regex)
    ->Arg(30000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_Hostile_Megabyte_AllToolkitCalls(benchmark::State &state)
{
    for (auto _ : state) {
        float a = 0, b = 0;
        MwvData wind;
        QByteArray piece;
        for (int key = C::Dbt; key <= C::Mwv; ++key) {
            benchmark::DoNotOptimize(Nmea::getValue(megabyte(), key, a));
            benchmark::DoNotOptimize(Nmea::getValues(megabyte(), key, a, b));
        }
        benchmark::DoNotOptimize(Nmea::getMwvValues(megabyte(), wind));
        benchmark::DoNotOptimize(Nmea::isNmeaString(megabyte(), &piece));
        benchmark::DoNotOptimize(Nmea::checksum(megabyte()));
    }
}
BENCHMARK(BM_Hostile_Megabyte_AllToolkitCalls)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
