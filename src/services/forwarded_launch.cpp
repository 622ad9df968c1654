#include "services/forwarded_launch.h"

#include "services/instances.h"

namespace hux {

namespace {

// Stream constants of the Java serialisation protocol.
constexpr uint8_t kMagic[] = {0xAC, 0xED, 0x00, 0x05};
constexpr uint8_t kNull = 0x70;
constexpr uint8_t kEndBlockData = 0x78;
constexpr uint8_t kClassDesc = 0x72;
constexpr uint8_t kObject = 0x73;
constexpr uint8_t kString = 0x74;
constexpr uint8_t kArray = 0x75;
constexpr uint8_t kLongString = 0x7C;
constexpr uint8_t kSerializable = 0x02;

// Must equal the serialVersionUID of the Java class.
constexpr uint64_t kForwardedLaunchUid = 0x6875784657440001ULL;
// What the runtime computes for String[] (it declares none).
constexpr uint64_t kStringArrayUid = 0xADD256E7E91D7B47ULL;

void put8(ByteBuffer& out, uint8_t v) { out.append(&v, 1); }
void put16(ByteBuffer& out, uint16_t v) {
    const uint8_t b[] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    out.append(b, 2);
}
void put32(ByteBuffer& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v >> 16));
    put16(out, static_cast<uint16_t>(v));
}
void put64(ByteBuffer& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v >> 32));
    put32(out, static_cast<uint32_t>(v));
}

// writeUTF of an ASCII name (class and field names).
void putName(ByteBuffer& out, const char* name) {
    const size_t n = std::char_traits<char>::length(name);
    put16(out, static_cast<uint16_t>(n));
    out.append(name, static_cast<int32_t>(n));
}

void putAsciiString(ByteBuffer& out, const char* text) {
    put8(out, kString);
    putName(out, text);
}

size_t modifiedUtf8Length(std::u16string_view text) {
    size_t n = 0;
    for (char16_t c : text) n += (c >= 0x0001 && c <= 0x007F) ? 1 : (c <= 0x07FF ? 2 : 3);
    return n;
}

}  // namespace

void appendSerializedString(ByteBuffer& out, std::u16string_view text) {
    const size_t length = modifiedUtf8Length(text);
    if (length <= 0xFFFF) {
        put8(out, kString);
        put16(out, static_cast<uint16_t>(length));
    } else {
        put8(out, kLongString);
        put64(out, length);
    }
    for (char16_t c : text) {
        if (c >= 0x0001 && c <= 0x007F) {
            put8(out, static_cast<uint8_t>(c));
        } else if (c <= 0x07FF) {
            put8(out, static_cast<uint8_t>(0xC0 | ((c >> 6) & 0x1F)));
            put8(out, static_cast<uint8_t>(0x80 | (c & 0x3F)));
        } else {
            put8(out, static_cast<uint8_t>(0xE0 | ((c >> 12) & 0x0F)));
            put8(out, static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            put8(out, static_cast<uint8_t>(0x80 | (c & 0x3F)));
        }
    }
}

ByteBuffer forwardedLaunchMessage(const std::vector<std::u16string>& args, const std::u16string& workingDirectory) {
    ByteBuffer out;
    const int32_t kind = kMessageConfirmedObject;  // an object, answered with a receipt
    out.append(&kind, 4);
    out.append(kMagic, 4);
    // The object and its class: two object fields, sorted by name.
    put8(out, kObject);
    put8(out, kClassDesc);
    putName(out, "com.mordavin.hux.ForwardedLaunch");
    put64(out, kForwardedLaunchUid);
    put8(out, kSerializable);
    put16(out, 2);
    put8(out, '[');
    putName(out, "args");
    putAsciiString(out, "[Ljava/lang/String;");
    put8(out, 'L');
    putName(out, "workingDirectory");
    putAsciiString(out, "Ljava/lang/String;");
    put8(out, kEndBlockData);  // no class annotations
    put8(out, kNull);          // no serialisable superclass
    // args: a String[].
    put8(out, kArray);
    put8(out, kClassDesc);
    putName(out, "[Ljava.lang.String;");
    put64(out, kStringArrayUid);
    put8(out, kSerializable);
    put16(out, 0);
    put8(out, kEndBlockData);
    put8(out, kNull);
    put32(out, static_cast<uint32_t>(args.size()));
    for (const std::u16string& a : args) appendSerializedString(out, a);
    // workingDirectory.
    appendSerializedString(out, workingDirectory);
    return out;
}

}  // namespace hux
