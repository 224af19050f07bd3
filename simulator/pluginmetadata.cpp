// The plug-in's two entry points and its metadata record, written out here rather than left to
// moc. The flight computer runs Qt 5.7, whose loader reads the record only in the binary JSON form
// below (moc of Qt 5.13 and later writes CBOR) and refuses a plug-in that names a newer Qt minor
// version than its own (moc writes the version it comes with). Later Qt 5 loaders read this form
// too.

#include "kelvanesimulator.h"

#include <QPointer>
#include <QtPlugin>

namespace {

// Value words of binary JSON: bits 0-2 the type, bit 3 a Latin-1 string or a number held in the
// word itself, bit 4 a Latin-1 key, bits 5-31 that number or the offset of the value's data.
constexpr unsigned Bool = 1, Number = 2, String = 3, Object = 5;
constexpr unsigned InWord = 8, Latin1Key = 16;

#define KELVANE_LE16(v) (v) & 0xff, (v) >> 8 & 0xff
#define KELVANE_LE32(v) (v) & 0xff, (v) >> 8 & 0xff, (v) >> 16 & 0xff, (v) >> 24 & 0xff

// What Qt finds in the library's .qtmetadata section, and what qt_plugin_query_metadata() hands
// it once the library is loaded: the object
//   {"IID": "com.vorn.talvik.ipayloadplugin", "MetaData": {}, "className": "KelvaneSimulator",
//    "debug": false, "version": 329473}
// in Qt 5's binary JSON, format 1: little-endian words; an object is its size, its entry count
// times two plus one, the offset of its table of entry offsets (in key order), then the entries;
// an entry is a value word, the key (16-bit length and text) and the value's data, each padded to
// a multiple of four bytes. Offsets count from the start of the object that holds them.
// clang-format off
QT_PLUGIN_METADATA_SECTION
const unsigned char metaData[] = {
    // The marker; the space after it (rather than "!") says binary JSON follows.
    'Q', 'T', 'M', 'E', 'T', 'A', 'D', 'A', 'T', 'A', ' ', ' ',
    'q', 'b', 'j', 's', KELVANE_LE32(1),
    // The object: 168 bytes, 5 entries, its table at 148.
    KELVANE_LE32(168), KELVANE_LE32(5 << 1 | 1), KELVANE_LE32(148),
    // 12: "IID", text at 24.
    KELVANE_LE32(String | InWord | Latin1Key | 24 << 5), KELVANE_LE16(3), 'I', 'I', 'D', 0, 0, 0,
    KELVANE_LE16(30), 'c', 'o', 'm', '.', 'v', 'o', 'r', 'n', '.', 't', 'a', 'l', 'v', 'i', 'k',
    '.', 'i', 'p', 'a', 'y', 'l', 'o', 'a', 'd', 'p', 'l', 'u', 'g', 'i', 'n',
    // 56: "MetaData", the empty object at 72 (12 bytes, no entries, no table).
    KELVANE_LE32(Object | Latin1Key | 72 << 5), KELVANE_LE16(8),
    'M', 'e', 't', 'a', 'D', 'a', 't', 'a', 0, 0,
    KELVANE_LE32(12), KELVANE_LE32(0 << 1 | 1), KELVANE_LE32(0),
    // 84: "className", text at 100.
    KELVANE_LE32(String | InWord | Latin1Key | 100 << 5), KELVANE_LE16(9),
    'c', 'l', 'a', 's', 's', 'N', 'a', 'm', 'e', 0,
    KELVANE_LE16(16), 'K', 'e', 'l', 'v', 'a', 'n', 'e', 'S', 'i', 'm', 'u', 'l', 'a', 't', 'o', 'r',
    0, 0,
    // 120: "debug", false.
    KELVANE_LE32(Bool | Latin1Key), KELVANE_LE16(5), 'd', 'e', 'b', 'u', 'g', 0,
    // 132: "version", 0x050701 (Qt 5.7.1) in the word itself.
    KELVANE_LE32(Number | InWord | Latin1Key | 0x050701 << 5), KELVANE_LE16(7),
    'v', 'e', 'r', 's', 'i', 'o', 'n', 0, 0, 0,
    // 148: the table.
    KELVANE_LE32(12), KELVANE_LE32(56), KELVANE_LE32(84), KELVANE_LE32(120), KELVANE_LE32(132),
};
// clang-format on

#undef KELVANE_LE16
#undef KELVANE_LE32

static_assert(sizeof metaData == 12 + 8 + 168, "the object's size word is out of step");

} // namespace

extern "C" Q_DECL_EXPORT const char *qt_plugin_query_metadata()
{
    return reinterpret_cast<const char *>(metaData);
}

// One instance per library, made again on the next call once the host has deleted it.
extern "C" Q_DECL_EXPORT QObject *qt_plugin_instance()
{
    static QPointer<QObject> instance;
    if (!instance)
        instance = new KelvaneSimulator;
    return instance;
}
