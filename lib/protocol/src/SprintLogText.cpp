// One-line text form of the protocol messages for log lines:
//   Msg { message_id: 0, submsg: Some(GenericResponse { status_code: Ok, description: "" }) }

#include "SprintMessages.h"

#include <cstdio>
#include <ostream>

namespace vela_client::sprintproto {
namespace {

void quoted(std::string& out, std::string_view s)
{
    out += '"';
    for (const char ch : s) {
        const auto b = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (b < 0x20 || b == 0x7F) {
                char buf[12];
                std::snprintf(buf, sizeof buf, "\\u{%x}", b);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

struct Fields {
    std::string& out;
    bool first = true;

    Fields(std::string& o, std::string_view name) : out(o)
    {
        out.append(name);
        out += " {";
    }
    std::string& next(std::string_view field)
    {
        out += first ? " " : ", ";
        first = false;
        out.append(field).append(": ");
        return out;
    }
    void num(std::string_view field, std::uint64_t v) { next(field) += std::to_string(v); }
    void boolean(std::string_view field, bool v) { next(field) += v ? "true" : "false"; }
    void str(std::string_view field, std::string_view v) { quoted(next(field), v); }
    void opt_str(std::string_view field, const std::optional<std::string>& v)
    {
        if (!v) {
            next(field) += "None";
            return;
        }
        next(field) += "Some(";
        quoted(out, *v);
        out += ')';
    }
    void bytes(std::string_view field, const std::vector<std::uint8_t>& v)
    {
        next(field) += '[';
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            out += std::to_string(v[i]);
        }
        out += ']';
    }
    void close() { out += first ? "}" : " }"; }
};

void text(std::string& out, const ConnectionInfo& m)
{
    Fields f(out, "ConnectionInfo");
    f.str("remote_ip", m.remote_ip);
    f.num("remote_port", m.remote_port);
    f.str("server_ip", m.server_ip);
    f.num("server_port", m.server_port);
    f.close();
}

void text(std::string& out, const GenericResponse& m)
{
    Fields f(out, "GenericResponse");
    const auto name = response_status_name(m.status_code);
    f.next("status_code") += name.empty() ? std::to_string(m.status_code) : std::string(name);
    f.str("description", m.description);
    f.close();
}

void text(std::string& out, const MeasurementInitRequest& m)
{
    Fields f(out, "MeasurementInitRequest");
    f.str("protocol_version", m.protocol_version);
    f.num("timestamp_s", m.timestamp_s);
    f.bytes("uuid", m.uuid);
    f.bytes("hmac", m.hmac);
    f.close();
}

void text(std::string& out, const MeasurementInitResponse& m)
{
    Fields f(out, "MeasurementInitResponse");
    f.num("chunksize", m.chunksize);
    f.num("max_rtt_payload_bytes", m.max_rtt_payload_bytes);
    if (m.connection_info) {
        f.next("connection_info") += "Some(";
        text(out, *m.connection_info);
        out += ')';
    } else {
        f.next("connection_info") += "None";
    }
    f.close();
}

void single(std::string& out, std::string_view name, std::string_view field, std::uint64_t v)
{
    Fields f(out, name);
    f.num(field, v);
    f.close();
}

void text(std::string& out, const DownlinkPretestRequest& m) { single(out, "DownlinkPretestRequest", "count", m.count); }
void text(std::string& out, const DownlinkTestRequest& m) { single(out, "DownlinkTestRequest", "seconds", m.seconds); }
void text(std::string& out, const UplinkPretestRequest& m) { single(out, "UplinkPretestRequest", "count", m.count); }
void text(std::string& out, const UplinkTestRequest& m)
{
    single(out, "UplinkTestRequest", "progress_update_ms", m.progress_update_ms);
}
void text(std::string& out, const RttTcpRequest& m) { single(out, "RttTcpRequest", "payload_size", m.payload_size); }
void text(std::string& out, const RttUdpRequest& m) { single(out, "RttUdpRequest", "identifier", m.identifier); }
void text(std::string& out, const RttUdpResponse& m) { single(out, "RttUdpResponse", "identifier", m.identifier); }
void text(std::string& out, const ServerTracerouteRequest& m)
{
    single(out, "ServerTracerouteRequest", "max_duration_ns", m.max_duration_ns);
}

void text(std::string& out, const UplinkTestProgressNotification& m)
{
    Fields f(out, "UplinkTestProgressNotification");
    f.num("duration_ns", m.duration_ns);
    f.num("bytes", m.bytes);
    f.boolean("completed", m.completed);
    f.close();
}

void text(std::string& out, const QuitRequest&) { out += "QuitRequest"; }
void text(std::string& out, const ServerLoadRequest&) { out += "ServerLoadRequest"; }

void text(std::string& out, const ServerLoadResponse& m)
{
    Fields f(out, "ServerLoadResponse");
    f.opt_str("stdout_vmstat", m.stdout_vmstat);
    f.opt_str("stdout_free", m.stdout_free);
    f.close();
}

void text(std::string& out, const ServerTracerouteResponse& m)
{
    Fields f(out, "ServerTracerouteResponse");
    f.str("stdout", m.stdout);
    f.close();
}

} // namespace

std::string to_log_text(const Msg& msg)
{
    std::string out = "Msg { message_id: " + std::to_string(msg.message_id) + ", submsg: ";
    if (msg.submsg) {
        out += "Some(";
        std::visit([&](const auto& m) { text(out, m); }, *msg.submsg);
        out += ')';
    } else {
        out += "None";
    }
    out += " }";
    return out;
}

std::ostream& operator<<(std::ostream& os, const Msg& msg) { return os << to_log_text(msg); }

} // namespace vela_client::sprintproto
