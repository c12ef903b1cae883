// Hand-written Protocol Buffers codec of the speed-test envelope.
//
// Encoding follows proto3: fields in ascending number, scalars only when not
// zero, optional strings and message fields whenever present, each nested
// length computed before it is written.
//
// Decoding is deliberately stricter than a general protobuf parser: a known
// field with another wire type fails, a ten-byte varint must not exceed 64
// bits, strings must be UTF-8, and nesting is bounded. Nested messages are
// read from the same cursor and checked against their length afterwards, so
// a field that runs past its message reports "delimited length exceeded"
// while a length beyond the whole input reports "buffer underflow".

#include "SprintMessages.h"

#include <algorithm>
#include <stdexcept>

namespace vela_client::sprintproto {
namespace {

// ---------------------------------------------------------------- encoding

enum WireType : std::uint32_t {
    Varint = 0,
    SixtyFourBit = 1,
    LengthDelimited = 2,
    StartGroup = 3,
    EndGroup = 4,
    ThirtyTwoBit = 5,
};

std::string_view wire_type_name(std::uint32_t wt)
{
    switch (wt) {
    case Varint: return "Varint";
    case SixtyFourBit: return "SixtyFourBit";
    case LengthDelimited: return "LengthDelimited";
    case StartGroup: return "StartGroup";
    case EndGroup: return "EndGroup";
    case ThirtyTwoBit: return "ThirtyTwoBit";
    }
    return "?";
}

constexpr std::size_t varint_len(std::uint64_t v)
{
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

constexpr std::size_t key_len(std::uint32_t field) { return varint_len(std::uint64_t{field} << 3); }

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

void put_key(std::vector<std::uint8_t>& out, std::uint32_t field, WireType wt)
{
    put_varint(out, (std::uint64_t{field} << 3) | wt);
}

// Size and writer of one field; each skips the default as proto3 does.
struct Sizer {
    std::size_t n = 0;
    void uint(std::uint32_t f, std::uint64_t v)
    {
        if (v != 0) n += key_len(f) + varint_len(v);
    }
    void enumeration(std::uint32_t f, std::int32_t v)
    {
        // int32 goes out sign-extended to 64 bits: a negative value takes 10 bytes.
        if (v != 0) n += key_len(f) + varint_len(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
    }
    void boolean(std::uint32_t f, bool v)
    {
        if (v) n += key_len(f) + 1;
    }
    void bytes(std::uint32_t f, std::size_t len, bool present)
    {
        if (present) n += key_len(f) + varint_len(len) + len;
    }
};

struct Writer {
    std::vector<std::uint8_t>& out;
    void uint(std::uint32_t f, std::uint64_t v)
    {
        if (v == 0) return;
        put_key(out, f, Varint);
        put_varint(out, v);
    }
    void enumeration(std::uint32_t f, std::int32_t v)
    {
        if (v == 0) return;
        put_key(out, f, Varint);
        put_varint(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
    }
    void boolean(std::uint32_t f, bool v)
    {
        if (!v) return;
        put_key(out, f, Varint);
        out.push_back(1);
    }
    template <class Range>
    void bytes(std::uint32_t f, const Range& r, bool present)
    {
        if (!present) return;
        put_key(out, f, LengthDelimited);
        put_varint(out, r.size());
        out.insert(out.end(), r.begin(), r.end());
    }
};

// Body length of each message (without its own key and length).
std::size_t body_len(const ConnectionInfo& m)
{
    Sizer s;
    s.bytes(3, m.remote_ip.size(), !m.remote_ip.empty());
    s.uint(4, m.remote_port);
    s.bytes(5, m.server_ip.size(), !m.server_ip.empty());
    s.uint(6, m.server_port);
    return s.n;
}

std::size_t body_len(const GenericResponse& m)
{
    Sizer s;
    s.enumeration(1, m.status_code);
    s.bytes(2, m.description.size(), !m.description.empty());
    return s.n;
}

std::size_t body_len(const MeasurementInitRequest& m)
{
    Sizer s;
    s.bytes(1, m.protocol_version.size(), !m.protocol_version.empty());
    s.uint(2, m.timestamp_s);
    s.bytes(3, m.uuid.size(), !m.uuid.empty());
    s.bytes(4, m.hmac.size(), !m.hmac.empty());
    return s.n;
}

std::size_t body_len(const MeasurementInitResponse& m)
{
    Sizer s;
    s.uint(1, m.chunksize);
    s.uint(2, m.max_rtt_payload_bytes);
    if (m.connection_info) s.bytes(3, body_len(*m.connection_info), true);
    return s.n;
}

template <class T>
    requires requires(T t) { t.count; }
std::size_t body_len(const T& m)
{
    Sizer s;
    s.uint(1, m.count);
    return s.n;
}

std::size_t body_len(const DownlinkTestRequest& m)
{
    Sizer s;
    s.uint(1, m.seconds);
    return s.n;
}

std::size_t body_len(const UplinkTestRequest& m)
{
    Sizer s;
    s.uint(1, m.progress_update_ms);
    return s.n;
}

std::size_t body_len(const UplinkTestProgressNotification& m)
{
    Sizer s;
    s.uint(1, m.duration_ns);
    s.uint(2, m.bytes);
    s.boolean(3, m.completed);
    return s.n;
}

std::size_t body_len(const RttTcpRequest& m)
{
    Sizer s;
    s.uint(1, m.payload_size);
    return s.n;
}

template <class T>
    requires requires(T t) { t.identifier; }
std::size_t body_len(const T& m)
{
    Sizer s;
    s.uint(1, m.identifier);
    return s.n;
}

std::size_t body_len(const QuitRequest&) { return 0; }
std::size_t body_len(const ServerLoadRequest&) { return 0; }

std::size_t body_len(const ServerLoadResponse& m)
{
    Sizer s;
    if (m.stdout_vmstat) s.bytes(1, m.stdout_vmstat->size(), true);
    if (m.stdout_free) s.bytes(2, m.stdout_free->size(), true);
    return s.n;
}

std::size_t body_len(const ServerTracerouteRequest& m)
{
    Sizer s;
    s.uint(1, m.max_duration_ns);
    return s.n;
}

std::size_t body_len(const ServerTracerouteResponse& m)
{
    Sizer s;
    s.bytes(1, m.stdout.size(), !m.stdout.empty());
    return s.n;
}

void write_body(Writer& w, const ConnectionInfo& m)
{
    w.bytes(3, m.remote_ip, !m.remote_ip.empty());
    w.uint(4, m.remote_port);
    w.bytes(5, m.server_ip, !m.server_ip.empty());
    w.uint(6, m.server_port);
}

void write_body(Writer& w, const GenericResponse& m)
{
    w.enumeration(1, m.status_code);
    w.bytes(2, m.description, !m.description.empty());
}

void write_body(Writer& w, const MeasurementInitRequest& m)
{
    w.bytes(1, m.protocol_version, !m.protocol_version.empty());
    w.uint(2, m.timestamp_s);
    w.bytes(3, m.uuid, !m.uuid.empty());
    w.bytes(4, m.hmac, !m.hmac.empty());
}

void write_body(Writer& w, const MeasurementInitResponse& m)
{
    w.uint(1, m.chunksize);
    w.uint(2, m.max_rtt_payload_bytes);
    if (m.connection_info) {
        put_key(w.out, 3, LengthDelimited);
        put_varint(w.out, body_len(*m.connection_info));
        write_body(w, *m.connection_info);
    }
}

template <class T>
    requires requires(T t) { t.count; }
void write_body(Writer& w, const T& m)
{
    w.uint(1, m.count);
}

void write_body(Writer& w, const DownlinkTestRequest& m) { w.uint(1, m.seconds); }
void write_body(Writer& w, const UplinkTestRequest& m) { w.uint(1, m.progress_update_ms); }

void write_body(Writer& w, const UplinkTestProgressNotification& m)
{
    w.uint(1, m.duration_ns);
    w.uint(2, m.bytes);
    w.boolean(3, m.completed);
}

void write_body(Writer& w, const RttTcpRequest& m) { w.uint(1, m.payload_size); }

template <class T>
    requires requires(T t) { t.identifier; }
void write_body(Writer& w, const T& m)
{
    w.uint(1, m.identifier);
}

void write_body(Writer&, const QuitRequest&) {}
void write_body(Writer&, const ServerLoadRequest&) {}

void write_body(Writer& w, const ServerLoadResponse& m)
{
    if (m.stdout_vmstat) w.bytes(1, *m.stdout_vmstat, true);
    if (m.stdout_free) w.bytes(2, *m.stdout_free, true);
}

void write_body(Writer& w, const ServerTracerouteRequest& m) { w.uint(1, m.max_duration_ns); }
void write_body(Writer& w, const ServerTracerouteResponse& m) { w.bytes(1, m.stdout, !m.stdout.empty()); }

// ---------------------------------------------------------------- decoding

constexpr int kRecursionLimit = 100;

struct Failure {
    DecodeError error;
};

[[noreturn]] void fail(std::string reason) { throw Failure{DecodeError{std::move(reason), {}}}; }

struct Cursor {
    const std::uint8_t* p;
    const std::uint8_t* end;
    std::size_t remaining() const { return static_cast<std::size_t>(end - p); }
};

std::uint64_t decode_varint(Cursor& c)
{
    std::uint64_t value = 0;
    const std::size_t n = std::min<std::size_t>(10, c.remaining());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t byte = *c.p++;
        value |= std::uint64_t{byte & 0x7Fu} << (7 * i);
        if (byte < 0x80) {
            // The tenth byte may only carry the 64th bit.
            if (i == 9 && byte >= 0x02) fail("invalid varint");
            return value;
        }
    }
    fail("invalid varint");
}

struct Key {
    std::uint32_t tag;
    std::uint32_t wire_type;
};

Key decode_key(Cursor& c)
{
    const std::uint64_t key = decode_varint(c);
    if (key > 0xFFFFFFFFull) fail("invalid key value: " + std::to_string(key));
    const auto wt = static_cast<std::uint32_t>(key & 7);
    if (wt > ThirtyTwoBit) fail("invalid wire type value: " + std::to_string(wt));
    const auto tag = static_cast<std::uint32_t>(key >> 3);
    if (tag == 0) fail("invalid tag value: 0");
    return {tag, wt};
}

void check_wire_type(std::uint32_t expected, std::uint32_t actual)
{
    if (expected != actual) {
        fail("invalid wire type: " + std::string(wire_type_name(actual)) + " (expected " +
             std::string(wire_type_name(expected)) + ")");
    }
}

void check_budget(int budget)
{
    if (budget <= 0) fail("recursion limit reached");
}

void skip_field(std::uint32_t wt, std::uint32_t tag, Cursor& c, int budget)
{
    check_budget(budget);
    std::uint64_t len = 0;
    switch (wt) {
    case Varint: decode_varint(c); break;
    case ThirtyTwoBit: len = 4; break;
    case SixtyFourBit: len = 8; break;
    case LengthDelimited: len = decode_varint(c); break;
    case StartGroup:
        for (;;) {
            const Key inner = decode_key(c);
            if (inner.wire_type == EndGroup) {
                if (inner.tag != tag) fail("unexpected end group tag");
                break;
            }
            skip_field(inner.wire_type, inner.tag, c, budget - 1);
        }
        break;
    case EndGroup: fail("unexpected end group tag");
    }
    if (len > c.remaining()) fail("buffer underflow");
    c.p += len;
}

// Adds the message and field in which a nested failure arose, then rethrows.
template <class F>
void in_field(std::string_view message, std::string_view field, F&& f)
{
    try {
        f();
    } catch (Failure& failure) {
        failure.error.path.emplace_back(message, field);
        throw;
    }
}

std::uint64_t read_uint64(std::uint32_t wt, Cursor& c)
{
    check_wire_type(Varint, wt);
    return decode_varint(c);
}

std::uint32_t read_uint32(std::uint32_t wt, Cursor& c) { return static_cast<std::uint32_t>(read_uint64(wt, c)); }
std::int32_t read_int32(std::uint32_t wt, Cursor& c) { return static_cast<std::int32_t>(read_uint64(wt, c)); }
bool read_bool(std::uint32_t wt, Cursor& c) { return read_uint64(wt, c) != 0; }

template <class Container>
void read_bytes(std::uint32_t wt, Cursor& c, Container& out)
{
    check_wire_type(LengthDelimited, wt);
    const std::uint64_t len = decode_varint(c);
    if (len > c.remaining()) fail("buffer underflow");
    out.assign(c.p, c.p + len);
    c.p += len;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            n = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= n) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t i = 2; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += n + 1;
    }
    return true;
}

void read_string(std::uint32_t wt, Cursor& c, std::string& out)
{
    read_bytes(wt, c, out);
    if (!is_utf8(out)) fail("invalid string value: data is not UTF-8 encoded");
}

template <class T>
void merge_field(T& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget);

// Merges a length-delimited occurrence of a message into `m`.
template <class T>
void merge_message(std::uint32_t wt, T& m, Cursor& c, int budget)
{
    check_wire_type(LengthDelimited, wt);
    check_budget(budget);
    const std::uint64_t len = decode_varint(c);
    const std::size_t remaining = c.remaining();
    if (len > remaining) fail("buffer underflow");
    const std::size_t limit = remaining - static_cast<std::size_t>(len);
    while (c.remaining() > limit) {
        const Key key = decode_key(c);
        merge_field(m, key.tag, key.wire_type, c, budget - 1);
    }
    if (c.remaining() != limit) fail("delimited length exceeded");
}

template <>
void merge_field(GenericResponse& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    switch (tag) {
    case 1: in_field("GenericResponse", "status_code", [&] { m.status_code = read_int32(wt, c); }); break;
    case 2: in_field("GenericResponse", "description", [&] { read_string(wt, c, m.description); }); break;
    default: skip_field(wt, tag, c, budget);
    }
}

template <>
void merge_field(MeasurementInitRequest& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    constexpr std::string_view name = "MeasurementInitRequest";
    switch (tag) {
    case 1: in_field(name, "protocol_version", [&] { read_string(wt, c, m.protocol_version); }); break;
    case 2: in_field(name, "timestamp_s", [&] { m.timestamp_s = read_uint64(wt, c); }); break;
    case 3: in_field(name, "uuid", [&] { read_bytes(wt, c, m.uuid); }); break;
    case 4: in_field(name, "hmac", [&] { read_bytes(wt, c, m.hmac); }); break;
    default: skip_field(wt, tag, c, budget);
    }
}

template <>
void merge_field(ConnectionInfo& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    constexpr std::string_view name = "ConnectionInfo";
    switch (tag) {
    case 3: in_field(name, "remote_ip", [&] { read_string(wt, c, m.remote_ip); }); break;
    case 4: in_field(name, "remote_port", [&] { m.remote_port = read_uint32(wt, c); }); break;
    case 5: in_field(name, "server_ip", [&] { read_string(wt, c, m.server_ip); }); break;
    case 6: in_field(name, "server_port", [&] { m.server_port = read_uint32(wt, c); }); break;
    default: skip_field(wt, tag, c, budget);
    }
}

template <>
void merge_field(MeasurementInitResponse& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    constexpr std::string_view name = "MeasurementInitResponse";
    switch (tag) {
    case 1: in_field(name, "chunksize", [&] { m.chunksize = read_uint32(wt, c); }); break;
    case 2: in_field(name, "max_rtt_payload_bytes", [&] { m.max_rtt_payload_bytes = read_uint32(wt, c); }); break;
    case 3:
        in_field(name, "connection_info", [&] {
            if (!m.connection_info) m.connection_info.emplace();
            merge_message(wt, *m.connection_info, c, budget);
        });
        break;
    default: skip_field(wt, tag, c, budget);
    }
}

// Messages with a single uint32 field number 1.
template <class T, std::uint32_t T::*Field>
void merge_single_uint32(T& m, std::string_view name, std::string_view field, std::uint32_t tag,
                         std::uint32_t wt, Cursor& c, int budget)
{
    if (tag == 1) {
        in_field(name, field, [&] { m.*Field = read_uint32(wt, c); });
    } else {
        skip_field(wt, tag, c, budget);
    }
}

#define SPRINT_SINGLE_UINT32(Type, member)                                                         \
    template <>                                                                                    \
    void merge_field(Type& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)          \
    {                                                                                              \
        merge_single_uint32<Type, &Type::member>(m, #Type, #member, tag, wt, c, budget);           \
    }

SPRINT_SINGLE_UINT32(DownlinkPretestRequest, count)
SPRINT_SINGLE_UINT32(DownlinkTestRequest, seconds)
SPRINT_SINGLE_UINT32(UplinkPretestRequest, count)
SPRINT_SINGLE_UINT32(UplinkTestRequest, progress_update_ms)
SPRINT_SINGLE_UINT32(RttTcpRequest, payload_size)
SPRINT_SINGLE_UINT32(RttUdpRequest, identifier)
SPRINT_SINGLE_UINT32(RttUdpResponse, identifier)
#undef SPRINT_SINGLE_UINT32

template <>
void merge_field(UplinkTestProgressNotification& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    constexpr std::string_view name = "UplinkTestProgressNotification";
    switch (tag) {
    case 1: in_field(name, "duration_ns", [&] { m.duration_ns = read_uint64(wt, c); }); break;
    case 2: in_field(name, "bytes", [&] { m.bytes = read_uint64(wt, c); }); break;
    case 3: in_field(name, "completed", [&] { m.completed = read_bool(wt, c); }); break;
    default: skip_field(wt, tag, c, budget);
    }
}

template <>
void merge_field(QuitRequest&, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    skip_field(wt, tag, c, budget);
}

template <>
void merge_field(ServerLoadRequest&, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    skip_field(wt, tag, c, budget);
}

template <>
void merge_field(ServerLoadResponse& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    constexpr std::string_view name = "ServerLoadResponse";
    switch (tag) {
    case 1:
        in_field(name, "stdout_vmstat", [&] { read_string(wt, c, m.stdout_vmstat.emplace()); });
        break;
    case 2:
        in_field(name, "stdout_free", [&] { read_string(wt, c, m.stdout_free.emplace()); });
        break;
    default: skip_field(wt, tag, c, budget);
    }
}

template <>
void merge_field(ServerTracerouteRequest& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    if (tag == 1) {
        in_field("ServerTracerouteRequest", "max_duration_ns", [&] { m.max_duration_ns = read_uint64(wt, c); });
    } else {
        skip_field(wt, tag, c, budget);
    }
}

template <>
void merge_field(ServerTracerouteResponse& m, std::uint32_t tag, std::uint32_t wt, Cursor& c, int budget)
{
    if (tag == 1) {
        in_field("ServerTracerouteResponse", "stdout", [&] { read_string(wt, c, m.stdout); });
    } else {
        skip_field(wt, tag, c, budget);
    }
}

// Submessage kind index of an envelope field number, or -1 outside the oneof.
int submsg_index(std::uint32_t tag)
{
    if (tag >= 2 && tag <= 10) return static_cast<int>(tag) - 2;
    if (tag >= 12 && tag <= 18) return static_cast<int>(tag) - 3;
    return -1;
}

// A further occurrence of the kind already held merges into it; another kind replaces it.
template <std::size_t I>
void merge_submsg_as(Msg& msg, std::uint32_t wt, Cursor& c, int budget)
{
    using T = std::variant_alternative_t<I, Submsg>;
    if (T* held = msg.get<T>()) {
        merge_message(wt, *held, c, budget);
    } else {
        T fresh;
        merge_message(wt, fresh, c, budget);
        msg.submsg.emplace(std::in_place_index<I>, std::move(fresh));
    }
}

template <std::size_t... I>
void merge_submsg(Msg& msg, int index, std::uint32_t wt, Cursor& c, int budget, std::index_sequence<I...>)
{
    ((static_cast<int>(I) == index ? merge_submsg_as<I>(msg, wt, c, budget) : void()), ...);
}

} // namespace

std::string_view response_status_name(std::int32_t value)
{
    switch (value) {
    case 0: return "UnknownMessage";
    case 1: return "Ok";
    case 2: return "Error";
    case 3: return "InvalidToken";
    case 4: return "NotImplemented";
    case 5: return "Timeout";
    }
    return {};
}

std::string_view submsg_name(std::size_t index)
{
    static constexpr std::string_view names[] = {
        "GenericResponse",         "MeasurementInitRequest",  "MeasurementInitResponse",
        "DownlinkPretestRequest",  "DownlinkTestRequest",     "UplinkPretestRequest",
        "UplinkTestRequest",       "UplinkTestProgressNotification",
        "RttTcpRequest",           "RttUdpRequest",           "RttUdpResponse",
        "QuitRequest",             "ServerLoadRequest",       "ServerLoadResponse",
        "ServerTracerouteRequest", "ServerTracerouteResponse",
    };
    static_assert(std::size(names) == std::variant_size_v<Submsg>);
    return index < std::size(names) ? names[index] : std::string_view{};
}

std::string DecodeError::to_string() const
{
    std::string text;
    for (const auto& [message, field] : path) {
        text.append(message).append(".").append(field).append(": ");
    }
    return text + reason;
}

std::size_t Msg::encoded_len() const
{
    std::size_t n = message_id != 0 ? 1 + varint_len(message_id) : 0;
    if (submsg) {
        const std::size_t body = std::visit([](const auto& m) { return body_len(m); }, *submsg);
        n += key_len(submsg_field_number(submsg->index())) + varint_len(body) + body;
    }
    return n;
}

void Msg::encode(std::vector<std::uint8_t>& out) const
{
    out.reserve(out.size() + encoded_len());
    Writer w{out};
    w.uint(1, message_id);
    if (submsg) {
        put_key(out, submsg_field_number(submsg->index()), LengthDelimited);
        std::visit(
            [&](const auto& m) {
                put_varint(out, body_len(m));
                write_body(w, m);
            },
            *submsg);
    }
}

std::vector<std::uint8_t> Msg::encode() const
{
    std::vector<std::uint8_t> out;
    encode(out);
    return out;
}

Expected<Msg, DecodeError> Msg::decode(std::span<const std::uint8_t> bytes)
{
    Msg msg;
    Cursor c{bytes.data(), bytes.data() + bytes.size()};
    try {
        while (c.remaining() > 0) {
            const Key key = decode_key(c);
            if (key.tag == 1) {
                in_field("Msg", "message_id", [&] { msg.message_id = read_uint32(key.wire_type, c); });
            } else if (const int index = submsg_index(key.tag); index >= 0) {
                in_field("Msg", "submsg", [&] {
                    merge_submsg(msg, index, key.wire_type, c, kRecursionLimit,
                                 std::make_index_sequence<std::variant_size_v<Submsg>>{});
                });
            } else {
                skip_field(key.wire_type, key.tag, c, kRecursionLimit);
            }
        }
    } catch (Failure& failure) {
        return unexpected(std::move(failure.error));
    }
    return msg;
}

} // namespace vela_client::sprintproto
