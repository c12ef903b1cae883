#include "ClientResult.h"

#include "JsonWriter.h"

#include <type_traits>

namespace vela_client {

namespace {

void write_ns(JsonWriter& w, const char* key, Duration d)
{
    const auto ns = d.as_nanos_u64();
    if (!ns) {
        throw JsonSerializeError(kValueNotRepresentable);
    }
    w.key(key);
    w.u64_value(*ns);
}

void write_opt_ns(JsonWriter& w, const char* key, const std::optional<Duration>& d)
{
    if (d) {
        write_ns(w, key, *d);
    }
}

template <class T>
void write_opt_uint(JsonWriter& w, const char* key, const std::optional<T>& v)
{
    if (v) {
        w.key(key);
        w.u64_value(*v);
    }
}

void write_stats(JsonWriter& w, const char* prefix, const DurationStats& s)
{
    const std::string p(prefix);
    write_opt_ns(w, (p + "min_ns").c_str(), s.min);
    write_opt_ns(w, (p + "max_ns").c_str(), s.max);
    write_opt_ns(w, (p + "avg_ns").c_str(), s.avg);
    write_opt_ns(w, (p + "med_ns").c_str(), s.med);
    write_opt_ns(w, (p + "std_dev_ns").c_str(), s.std_dev);
    if (s.var) {
        // The variance is a square-nanosecond count, written as a float.
        w.key(p + "var_ns");
        w.f64_value(static_cast<double>(s.var->as_nanos()));
    }
}

void write_endpoint(JsonWriter& w, const std::optional<ConnectionStreamInfoParameter>& e)
{
    if (!e) {
        w.null_value();
        return;
    }
    w.begin_object();
    w.key("local_ip");
    e->local_ip ? w.string_value(*e->local_ip) : w.null_value();
    w.key("local_port");
    e->local_port ? w.u64_value(*e->local_port) : w.null_value();
    w.key("remote_ip");
    e->remote_ip ? w.string_value(*e->remote_ip) : w.null_value();
    w.key("remote_port");
    e->remote_port ? w.u64_value(*e->remote_port) : w.null_value();
    w.end_object();
}

void write_stream_infos(JsonWriter& w, const std::optional<std::vector<ConnectionStreamInfo>>& infos)
{
    if (!infos) {
        return;
    }
    w.key("connection_stream_info");
    w.begin_array();
    for (const auto& info : *infos) {
        w.begin_object();
        w.key("client");
        write_endpoint(w, info.client);
        w.key("server");
        write_endpoint(w, info.server);
        w.end_object();
    }
    w.end_array();
}

void write_summary(JsonWriter& w, const RttSummary& s)
{
    write_opt_ns(w, "relative_start_time_ns", s.timing.relative_start);
    write_opt_ns(w, "duration_ns", s.timing.duration);
    write_opt_uint(w, "num_requested", s.num_requested);
    write_opt_uint(w, "num_sent", s.num_sent);
    write_stats(w, "rtt_", s.rtt);
    write_stats(w, "jitter_", s.jitter);
    write_stream_infos(w, s.connection_stream_info);
}

void write_rtt_tcp(JsonWriter& w, const RttTcpResult& r)
{
    w.begin_object();
    write_summary(w, r);
    if (r.rtts) {
        w.key("rtts");
        w.begin_array();
        for (const auto& s : *r.rtts) {
            w.begin_object();
            write_ns(w, "time_ns", s.time);
            write_ns(w, "rtt_ns", s.rtt);
            w.end_object();
        }
        w.end_array();
    }
    w.end_object();
}

void write_rtt_udp(JsonWriter& w, const RttUdpResult& r)
{
    w.begin_object();
    write_summary(w, r);
    if (r.packet_loss) {
        w.key("packet_loss");
        w.f32_value(*r.packet_loss);
    }
    write_opt_uint(w, "num_lost", r.num_lost);
    write_opt_uint(w, "num_out_of_order", r.num_out_of_order);
    if (r.rtts) {
        w.key("rtts");
        w.begin_array();
        for (const auto& s : *r.rtts) {
            w.begin_object();
            if (s.sample) {
                write_ns(w, "time_ns", s.sample->time);
                write_ns(w, "rtt_ns", s.sample->rtt);
            }
            if (s.lost) {
                w.key("l");
                w.bool_value(true);
            }
            if (s.out_of_order) {
                w.key("o");
                w.bool_value(true);
            }
            write_opt_uint(w, "i", s.number);
            w.end_object();
        }
        w.end_array();
    }
    w.end_object();
}

void write_throughput(JsonWriter& w, const ThroughputResult& r)
{
    w.begin_object();
    write_opt_ns(w, "relative_start_time_ns", r.timing.relative_start);
    write_opt_ns(w, "duration_ns", r.timing.duration);
    write_opt_ns(w, "pretest_duration_ns", r.pretest_duration);
    write_opt_uint(w, "bytes", r.bytes);
    write_opt_uint(w, "bps", r.bps);
    if (r.raw_data) {
        w.key("raw_data");
        w.begin_object();
        // The map is ordered by connection number, so 2 comes before 10.
        for (const auto& [conn, samples] : *r.raw_data) {
            w.key(std::to_string(conn));
            w.begin_array();
            for (const auto& s : samples) {
                w.begin_object();
                write_ns(w, "time_ns", s.time);
                w.key("b");
                w.u64_value(s.b);
                w.end_object();
            }
            w.end_array();
        }
        w.end_object();
    }
    write_stream_infos(w, r.connection_stream_info);
    w.end_object();
}

void write_server_info(JsonWriter& w, const ServerInfo& s)
{
    w.begin_object();
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {
        {"vmstat", &s.vmstat}, {"free", &s.free}, {"reverse_traceroute", &s.reverse_traceroute}};
    for (const auto& [key, value] : texts) {
        if (*value) {
            w.key(key);
            w.string_value(**value);
        }
    }
    w.end_object();
}

}  // namespace

OrError<std::string> ClientResult::write_json() const
{
    try {
        JsonWriter w;
        w.begin_object();
        if (rtt_tcp) {
            w.key("rtt_tcp");
            write_rtt_tcp(w, *rtt_tcp);
        }
        if (rtt_udp) {
            w.key("rtt_udp");
            write_rtt_udp(w, *rtt_udp);
        }
        if (dl) {
            w.key("dl");
            write_throughput(w, *dl);
        }
        if (ul) {
            w.key("ul");
            write_throughput(w, *ul);
        }
        if (client_config) {
            w.key("client_config");
            client_config->write_json(w);
        }
        if (server_info) {
            w.key("server_info");
            write_server_info(w, *server_info);
        }
        w.end_object();
        return w.take();
    } catch (const JsonSerializeError& e) {
        return OrError<std::string>::failure(e.what());
    }
}

namespace {

template <class T>
std::string opt_text(const std::optional<T>& v)
{
    if (!v) {
        return "None";
    }
    if constexpr (std::is_same_v<T, std::string>) {
        return "Some(\"" + *v + "\")";
    } else {
        return "Some(" + std::to_string(*v) + ")";
    }
}

}  // namespace

std::string to_string(const ConnectionStreamInfoParameter& p)
{
    return "ConnectionStreamInfoParameter { local_ip: " + opt_text(p.local_ip) +
           ", local_port: " + opt_text(p.local_port) + ", remote_ip: " + opt_text(p.remote_ip) +
           ", remote_port: " + opt_text(p.remote_port) + " }";
}

std::string to_string(const ConnectionStreamInfo& info)
{
    const auto side = [](const std::optional<ConnectionStreamInfoParameter>& p) {
        return p ? "Some(" + to_string(*p) + ")" : std::string("None");
    };
    return "ConnectionStreamInfo { client: " + side(info.client) + ", server: " + side(info.server) + " }";
}

}  // namespace vela_client
