#pragma once

// The control messages of the speed-test protocol (package "sprintproto"):
// the envelope Msg with at most one of sixteen submessages, its hand-written
// Protocol Buffers codec and a one-line text form for log lines.
//
// Field numbers and types are fixed by the wire; see SprintCodec.cpp for the
// exact encoding and decoding rules.

#include "VelaExpected.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vela_client::sprintproto {

// Values of GenericResponse::status_code. A received value outside 0..5 is
// kept as a plain number, so the field itself is an int32.
enum class ResponseStatus : std::int32_t {
    UnknownMessage = 0,
    Ok = 1,
    Error = 2,
    InvalidToken = 3,
    NotImplemented = 4,
    Timeout = 5,
};

// Name of a status value ("Ok", ...), or empty when outside 0..5.
std::string_view response_status_name(std::int32_t value);

struct GenericResponse {                  // 2, server
    std::int32_t status_code = 0;         // 1, ResponseStatus
    std::string description;              // 2

    bool is_ok() const { return status_code == static_cast<std::int32_t>(ResponseStatus::Ok); }
    bool operator==(const GenericResponse&) const = default;
};

struct MeasurementInitRequest {           // 3, client
    std::string protocol_version;         // 1, always "0.1.0" from the client
    std::uint64_t timestamp_s = 0;        // 2
    std::vector<std::uint8_t> uuid;       // 3, 16 bytes in text order
    std::vector<std::uint8_t> hmac;       // 4
    bool operator==(const MeasurementInitRequest&) const = default;
};

struct ConnectionInfo {                   // numbers 1 and 2 unassigned
    std::string remote_ip;                // 3
    std::uint32_t remote_port = 0;        // 4
    std::string server_ip;                // 5
    std::uint32_t server_port = 0;        // 6
    bool operator==(const ConnectionInfo&) const = default;
};

struct MeasurementInitResponse {          // 4, server
    std::uint32_t chunksize = 0;          // 1
    std::uint32_t max_rtt_payload_bytes = 0;  // 2
    std::optional<ConnectionInfo> connection_info;  // 3
    bool operator==(const MeasurementInitResponse&) const = default;
};

struct DownlinkPretestRequest {           // 5, client
    std::uint32_t count = 0;              // 1
    bool operator==(const DownlinkPretestRequest&) const = default;
};

struct DownlinkTestRequest {              // 6, client
    std::uint32_t seconds = 0;            // 1
    bool operator==(const DownlinkTestRequest&) const = default;
};

struct UplinkPretestRequest {             // 7, client
    std::uint32_t count = 0;              // 1
    bool operator==(const UplinkPretestRequest&) const = default;
};

struct UplinkTestRequest {                // 8, client
    std::uint32_t progress_update_ms = 0; // 1
    bool operator==(const UplinkTestRequest&) const = default;
};

struct UplinkTestProgressNotification {   // 9, server
    std::uint64_t duration_ns = 0;        // 1
    std::uint64_t bytes = 0;              // 2
    bool completed = false;               // 3
    bool operator==(const UplinkTestProgressNotification&) const = default;
};

struct RttTcpRequest {                    // 10, client
    std::uint32_t payload_size = 0;       // 1
    bool operator==(const RttTcpRequest&) const = default;
};

struct RttUdpRequest {                    // 12, client over UDP
    std::uint32_t identifier = 0;         // 1
    bool operator==(const RttUdpRequest&) const = default;
};

struct RttUdpResponse {                   // 13, server over UDP
    std::uint32_t identifier = 0;         // 1
    bool operator==(const RttUdpResponse&) const = default;
};

struct QuitRequest {                      // 14, client
    bool operator==(const QuitRequest&) const = default;
};

struct ServerLoadRequest {                // 15, client
    bool operator==(const ServerLoadRequest&) const = default;
};

struct ServerLoadResponse {               // 16, server
    std::optional<std::string> stdout_vmstat;  // 1
    std::optional<std::string> stdout_free;    // 2
    bool operator==(const ServerLoadResponse&) const = default;
};

struct ServerTracerouteRequest {          // 17, client
    std::uint64_t max_duration_ns = 0;    // 1
    bool operator==(const ServerTracerouteRequest&) const = default;
};

struct ServerTracerouteResponse {         // 18, server
    std::string stdout;                   // 1
    bool operator==(const ServerTracerouteResponse&) const = default;
};

// The oneof "submsg", in field-number order (2..10, then 12..18).
using Submsg = std::variant<GenericResponse, MeasurementInitRequest, MeasurementInitResponse,
                            DownlinkPretestRequest, DownlinkTestRequest, UplinkPretestRequest,
                            UplinkTestRequest, UplinkTestProgressNotification, RttTcpRequest,
                            RttUdpRequest, RttUdpResponse, QuitRequest, ServerLoadRequest,
                            ServerLoadResponse, ServerTracerouteRequest, ServerTracerouteResponse>;

// Field number of the envelope that carries the submessage kind at `index`.
constexpr std::uint32_t submsg_field_number(std::size_t index)
{
    return index < 9 ? static_cast<std::uint32_t>(index) + 2 : static_cast<std::uint32_t>(index) + 3;
}

// Message name of the kind at `index` ("GenericResponse", ...).
std::string_view submsg_name(std::size_t index);

// Why a decode failed: the reason text and the message/field names in which
// it arose, innermost first, e.g. {("GenericResponse","description"),
// ("Msg","submsg")}.
struct DecodeError {
    std::string reason;
    std::vector<std::pair<std::string_view, std::string_view>> path;

    // "GenericResponse.description: Msg.submsg: <reason>"
    std::string to_string() const;
};

struct Msg {
    std::uint32_t message_id = 0;  // 1; the client always sends 0
    std::optional<Submsg> submsg;  // absent when the envelope carries none

    Msg() = default;
    template <class T>
        requires std::is_constructible_v<Submsg, T&&>
    Msg(T&& sub) : submsg(std::in_place, std::forward<T>(sub))
    {
    }

    // The submessage if it is of kind T, else nullptr.
    template <class T>
    const T* get() const
    {
        return submsg ? std::get_if<T>(&*submsg) : nullptr;
    }
    template <class T>
    T* get()
    {
        return submsg ? std::get_if<T>(&*submsg) : nullptr;
    }
    template <class T>
    bool holds() const
    {
        return get<T>() != nullptr;
    }

    // Exact size of encode()'s output.
    std::size_t encoded_len() const;
    // Appends the encoding to `out` (the transport may have put a length prefix there).
    void encode(std::vector<std::uint8_t>& out) const;
    std::vector<std::uint8_t> encode() const;

    // Decodes the whole byte sequence as one envelope.
    static Expected<Msg, DecodeError> decode(std::span<const std::uint8_t> bytes);

    bool operator==(const Msg&) const = default;
};

// One-line text form for log lines, e.g.
// Msg { message_id: 0, submsg: Some(GenericResponse { status_code: Ok, description: "" }) }
std::string to_log_text(const Msg& msg);
std::ostream& operator<<(std::ostream& os, const Msg& msg);

} // namespace vela_client::sprintproto
