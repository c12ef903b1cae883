// The hand-written codec against libprotobuf's generated classes of the same
// schema: random messages must give the same bytes and values both ways, and
// damaged inputs must decode alike, except where our decoder is stricter on
// purpose (a known field with another wire type, a ten-byte varint beyond 64
// bits, a key beyond 32 bits).

#include "SprintMessages.h"
#include "sprint.pb.h"

#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include <map>
#include <random>

namespace pb = ::sprintproto;
namespace vp = vela_client::sprintproto;

namespace {

using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------- conversions

pb::Msg to_pb(const vp::Msg& m)
{
    pb::Msg out;
    out.set_message_id(m.message_id);
    if (!m.submsg) return out;
    std::visit(
        [&](const auto& s) {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, vp::GenericResponse>) {
                auto* g = out.mutable_generic_response();
                g->set_status_code(static_cast<pb::ResponseStatus>(s.status_code));
                g->set_description(s.description);
            } else if constexpr (std::is_same_v<T, vp::MeasurementInitRequest>) {
                auto* r = out.mutable_measurement_init_request();
                r->set_protocol_version(s.protocol_version);
                r->set_timestamp_s(s.timestamp_s);
                r->set_uuid(std::string(s.uuid.begin(), s.uuid.end()));
                r->set_hmac(std::string(s.hmac.begin(), s.hmac.end()));
            } else if constexpr (std::is_same_v<T, vp::MeasurementInitResponse>) {
                auto* r = out.mutable_measurement_init_response();
                r->set_chunksize(s.chunksize);
                r->set_max_rtt_payload_bytes(s.max_rtt_payload_bytes);
                if (s.connection_info) {
                    auto* c = r->mutable_connection_info();
                    c->set_remote_ip(s.connection_info->remote_ip);
                    c->set_remote_port(s.connection_info->remote_port);
                    c->set_server_ip(s.connection_info->server_ip);
                    c->set_server_port(s.connection_info->server_port);
                }
            } else if constexpr (std::is_same_v<T, vp::DownlinkPretestRequest>) {
                out.mutable_downlink_pretest_request()->set_count(s.count);
            } else if constexpr (std::is_same_v<T, vp::DownlinkTestRequest>) {
                out.mutable_downlink_test_request()->set_seconds(s.seconds);
            } else if constexpr (std::is_same_v<T, vp::UplinkPretestRequest>) {
                out.mutable_uplink_pretest_request()->set_count(s.count);
            } else if constexpr (std::is_same_v<T, vp::UplinkTestRequest>) {
                out.mutable_uplink_test_request()->set_progress_update_ms(s.progress_update_ms);
            } else if constexpr (std::is_same_v<T, vp::UplinkTestProgressNotification>) {
                auto* n = out.mutable_uplink_test_progress_notification();
                n->set_duration_ns(s.duration_ns);
                n->set_bytes(s.bytes);
                n->set_completed(s.completed);
            } else if constexpr (std::is_same_v<T, vp::RttTcpRequest>) {
                out.mutable_rtt_tcp_request()->set_payload_size(s.payload_size);
            } else if constexpr (std::is_same_v<T, vp::RttUdpRequest>) {
                out.mutable_rtt_udp_request()->set_identifier(s.identifier);
            } else if constexpr (std::is_same_v<T, vp::RttUdpResponse>) {
                out.mutable_rtt_udp_response()->set_identifier(s.identifier);
            } else if constexpr (std::is_same_v<T, vp::QuitRequest>) {
                out.mutable_quit_request();
            } else if constexpr (std::is_same_v<T, vp::ServerLoadRequest>) {
                out.mutable_server_load_request();
            } else if constexpr (std::is_same_v<T, vp::ServerLoadResponse>) {
                auto* r = out.mutable_server_load_response();
                if (s.stdout_vmstat) r->set_stdout_vmstat(*s.stdout_vmstat);
                if (s.stdout_free) r->set_stdout_free(*s.stdout_free);
            } else if constexpr (std::is_same_v<T, vp::ServerTracerouteRequest>) {
                out.mutable_server_traceroute_request()->set_max_duration_ns(s.max_duration_ns);
            } else if constexpr (std::is_same_v<T, vp::ServerTracerouteResponse>) {
                out.mutable_server_traceroute_response()->set_stdout(s.stdout);
            }
        },
        *m.submsg);
    return out;
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

vp::Msg from_pb(const pb::Msg& m)
{
    vp::Msg out;
    out.message_id = m.message_id();
    switch (m.submsg_case()) {
    case pb::Msg::kGenericResponse:
        out.submsg = vp::GenericResponse{static_cast<std::int32_t>(m.generic_response().status_code()),
                                         m.generic_response().description()};
        break;
    case pb::Msg::kMeasurementInitRequest: {
        const auto& r = m.measurement_init_request();
        out.submsg = vp::MeasurementInitRequest{r.protocol_version(), r.timestamp_s(), bytes_of(r.uuid()),
                                                bytes_of(r.hmac())};
        break;
    }
    case pb::Msg::kMeasurementInitResponse: {
        const auto& r = m.measurement_init_response();
        vp::MeasurementInitResponse v{r.chunksize(), r.max_rtt_payload_bytes(), std::nullopt};
        if (r.has_connection_info()) {
            const auto& c = r.connection_info();
            v.connection_info = vp::ConnectionInfo{c.remote_ip(), c.remote_port(), c.server_ip(), c.server_port()};
        }
        out.submsg = v;
        break;
    }
    case pb::Msg::kDownlinkPretestRequest: out.submsg = vp::DownlinkPretestRequest{m.downlink_pretest_request().count()}; break;
    case pb::Msg::kDownlinkTestRequest: out.submsg = vp::DownlinkTestRequest{m.downlink_test_request().seconds()}; break;
    case pb::Msg::kUplinkPretestRequest: out.submsg = vp::UplinkPretestRequest{m.uplink_pretest_request().count()}; break;
    case pb::Msg::kUplinkTestRequest:
        out.submsg = vp::UplinkTestRequest{m.uplink_test_request().progress_update_ms()};
        break;
    case pb::Msg::kUplinkTestProgressNotification: {
        const auto& n = m.uplink_test_progress_notification();
        out.submsg = vp::UplinkTestProgressNotification{n.duration_ns(), n.bytes(), n.completed()};
        break;
    }
    case pb::Msg::kRttTcpRequest: out.submsg = vp::RttTcpRequest{m.rtt_tcp_request().payload_size()}; break;
    case pb::Msg::kRttUdpRequest: out.submsg = vp::RttUdpRequest{m.rtt_udp_request().identifier()}; break;
    case pb::Msg::kRttUdpResponse: out.submsg = vp::RttUdpResponse{m.rtt_udp_response().identifier()}; break;
    case pb::Msg::kQuitRequest: out.submsg = vp::QuitRequest{}; break;
    case pb::Msg::kServerLoadRequest: out.submsg = vp::ServerLoadRequest{}; break;
    case pb::Msg::kServerLoadResponse: {
        const auto& r = m.server_load_response();
        vp::ServerLoadResponse v;
        if (r.has_stdout_vmstat()) v.stdout_vmstat = r.stdout_vmstat();
        if (r.has_stdout_free()) v.stdout_free = r.stdout_free();
        out.submsg = v;
        break;
    }
    case pb::Msg::kServerTracerouteRequest:
        out.submsg = vp::ServerTracerouteRequest{m.server_traceroute_request().max_duration_ns()};
        break;
    case pb::Msg::kServerTracerouteResponse:
        out.submsg = vp::ServerTracerouteResponse{m.server_traceroute_response().stdout()};
        break;
    case pb::Msg::SUBMSG_NOT_SET: break;
    }
    return out;
}

// ------------------------------------------------------------- random data

class Random {
public:
    explicit Random(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }
    bool coin() { return below(2) == 0; }

    // Mostly boundary values, which is where varint encodings differ.
    std::uint64_t u64()
    {
        static constexpr std::uint64_t edges[] = {0, 1, 127, 128, 16383, 16384, 0xFFFFFFFF, 0x100000000, UINT64_MAX};
        switch (below(3)) {
        case 0: return edges[below(std::size(edges))];
        case 1: return below(1000);
        default: return std::uniform_int_distribution<std::uint64_t>()(rng_) >> below(64);
        }
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u64()); }
    std::int32_t status()
    {
        switch (below(3)) {
        case 0: return static_cast<std::int32_t>(below(6));
        case 1: return -static_cast<std::int32_t>(below(3));
        default: return static_cast<std::int32_t>(u32());
        }
    }

    std::string text()
    {
        static const char* pieces[] = {"a", "Z", " ", "0", "\n", "\"", "\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", ""};
        std::string out;
        const auto n = below(12);
        for (std::uint64_t i = 0; i < n; ++i) out += pieces[below(std::size(pieces))];
        return out;
    }
    std::optional<std::string> opt_text() { return coin() ? std::optional<std::string>(text()) : std::nullopt; }
    Bytes bytes()
    {
        Bytes out(below(3) == 0 ? 0 : below(40));
        for (auto& b : out) b = static_cast<std::uint8_t>(below(256));
        return out;
    }

    vp::Msg msg()
    {
        vp::Msg m;
        if (below(4) == 0) m.message_id = u32();
        const auto kind = below(std::variant_size_v<vp::Submsg> + 1);
        switch (kind) {
        case 0: m.submsg = vp::GenericResponse{status(), text()}; break;
        case 1: m.submsg = vp::MeasurementInitRequest{text(), u64(), bytes(), bytes()}; break;
        case 2: {
            vp::MeasurementInitResponse r{u32(), u32(), std::nullopt};
            if (coin()) r.connection_info = vp::ConnectionInfo{text(), u32(), text(), u32()};
            m.submsg = r;
            break;
        }
        case 3: m.submsg = vp::DownlinkPretestRequest{u32()}; break;
        case 4: m.submsg = vp::DownlinkTestRequest{u32()}; break;
        case 5: m.submsg = vp::UplinkPretestRequest{u32()}; break;
        case 6: m.submsg = vp::UplinkTestRequest{u32()}; break;
        case 7: m.submsg = vp::UplinkTestProgressNotification{u64(), u64(), coin()}; break;
        case 8: m.submsg = vp::RttTcpRequest{u32()}; break;
        case 9: m.submsg = vp::RttUdpRequest{u32()}; break;
        case 10: m.submsg = vp::RttUdpResponse{u32()}; break;
        case 11: m.submsg = vp::QuitRequest{}; break;
        case 12: m.submsg = vp::ServerLoadRequest{}; break;
        case 13: m.submsg = vp::ServerLoadResponse{opt_text(), opt_text()}; break;
        case 14: m.submsg = vp::ServerTracerouteRequest{u64()}; break;
        case 15: m.submsg = vp::ServerTracerouteResponse{text()}; break;
        default: break;  // no submessage
        }
        return m;
    }

    // Damages an encoding: changed, inserted or dropped bytes, a cut, or
    // extra fields (known and unknown numbers, any wire type) appended.
    void damage(Bytes& b)
    {
        const auto edits = 1 + below(3);
        for (std::uint64_t i = 0; i < edits; ++i) {
            switch (below(5)) {
            case 0:
                if (!b.empty()) b[below(b.size())] = static_cast<std::uint8_t>(below(256));
                break;
            case 1: b.insert(b.begin() + static_cast<std::ptrdiff_t>(below(b.size() + 1)), static_cast<std::uint8_t>(below(256))); break;
            case 2:
                if (!b.empty()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(below(b.size())));
                break;
            case 3: b.resize(below(b.size() + 1)); break;
            default: {
                const auto field = 1 + below(22);
                const auto wt = below(6);
                b.push_back(static_cast<std::uint8_t>((field << 3 | wt) & 0x7F) | (field >= 16 ? 0x80 : 0));
                if (field >= 16) b.push_back(static_cast<std::uint8_t>(field >> 4));
                const auto tail = below(6);
                for (std::uint64_t k = 0; k < tail; ++k) b.push_back(static_cast<std::uint8_t>(below(256)));
            }
            }
        }
    }

private:
    std::mt19937_64 rng_;
};

std::string hex(const Bytes& bytes)
{
    std::string out;
    char buf[4];
    for (const auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    return out;
}

class SprintDifferential : public ::testing::Test {
protected:
    // libprotobuf logs every rejected UTF-8 text; keep the test output readable.
    void SetUp() override { previous_ = google::protobuf::SetLogHandler([](auto, auto, auto, auto) {}); }
    void TearDown() override { google::protobuf::SetLogHandler(previous_); }

private:
    google::protobuf::LogHandler* previous_ = nullptr;
};

TEST_F(SprintDifferential, RandomMessagesEncodeAndDecodeAlike)
{
    Random random(0x5eed);
    for (int i = 0; i < 30000; ++i) {
        const vp::Msg original = random.msg();
        const Bytes ours = original.encode();
        const pb::Msg theirs_msg = to_pb(original);
        const std::string theirs = theirs_msg.SerializeAsString();
        ASSERT_EQ(hex(ours), hex(bytes_of(theirs))) << vp::to_log_text(original);
        ASSERT_EQ(ours.size(), original.encoded_len());

        pb::Msg parsed;
        ASSERT_TRUE(parsed.ParseFromArray(ours.data(), static_cast<int>(ours.size()))) << vp::to_log_text(original);
        ASSERT_EQ(from_pb(parsed), original);

        const auto decoded = vp::Msg::decode(bytes_of(theirs));
        ASSERT_TRUE(decoded.has_value()) << decoded.error().to_string();
        ASSERT_EQ(*decoded, original);
    }
}

// Our decoder rejects, by design, some inputs that libprotobuf accepts.
bool deliberately_stricter(const std::string& reason)
{
    return reason.starts_with("invalid wire type: ") || reason == "invalid varint" ||
           reason.starts_with("invalid key value: ");
}

TEST_F(SprintDifferential, DamagedInputsDecodeAlike)
{
    Random random(0xdecade);
    std::map<std::string, int> stricter;
    int both_ok = 0, both_failed = 0;
    for (int i = 0; i < 60000; ++i) {
        Bytes input = random.msg().encode();
        // Merges and replacements: several envelopes back to back.
        if (random.below(4) == 0) random.msg().encode(input);
        random.damage(input);

        const auto ours = vp::Msg::decode(input);
        pb::Msg theirs;
        const bool theirs_ok = theirs.ParseFromArray(input.data(), static_cast<int>(input.size()));
        if (ours) {
            ASSERT_TRUE(theirs_ok) << "libprotobuf rejects what we accept: " << hex(input);
            ASSERT_EQ(*ours, from_pb(theirs)) << hex(input);
            ++both_ok;
        } else if (theirs_ok) {
            ASSERT_TRUE(deliberately_stricter(ours.error().reason))
                << ours.error().to_string() << " for " << hex(input);
            ++stricter[ours.error().reason.substr(0, 20)];
        } else {
            ++both_failed;
        }
    }
    // The damage must exercise all three outcomes, or the test proves little.
    EXPECT_GT(both_ok, 1000);
    EXPECT_GT(both_failed, 1000);
    EXPECT_FALSE(stricter.empty());
}

TEST_F(SprintDifferential, KnownDeliberateDifferences)
{
    struct Case {
        const char* name;
        Bytes bytes;
        const char* reason;
    };
    const Case cases[] = {
        // libprotobuf keeps a known field with another wire type as an unknown field.
        {"message id length-delimited", {0x0A, 0x01, 0x05}, "invalid wire type: LengthDelimited (expected Varint)"},
        {"status as fixed32", {0x12, 0x05, 0x0D, 0x01, 0x00, 0x00, 0x00}, "invalid wire type: ThirtyTwoBit (expected Varint)"},
        {"submessage as varint", {0x10, 0x01}, "invalid wire type: Varint (expected LengthDelimited)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pb::Msg theirs;
        EXPECT_TRUE(theirs.ParseFromArray(c.bytes.data(), static_cast<int>(c.bytes.size())));
        const auto ours = vp::Msg::decode(c.bytes);
        ASSERT_FALSE(ours.has_value());
        EXPECT_EQ(ours.error().reason, c.reason);
    }
}

} // namespace
