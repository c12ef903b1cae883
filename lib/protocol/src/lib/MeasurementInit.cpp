// Measurement initialisation of a runner connection: presents the run's
// token, learns the connection's chunk size and fills the shared random
// buffer once per measurement.

#include "lib/ProtocolConnection.h"

#include "ClientLog.h"

#include <cstring>
#include <random>

namespace asio = boost::asio;
using namespace vela_client::sprintproto;

namespace vela_client {

namespace {

// xoshiro256**, seeded once per thread.
class FastRandom {
public:
    FastRandom()
    {
        std::random_device device;
        std::uint64_t seed = (std::uint64_t(device()) << 32) ^ device();
        for (auto& word : state_)
            word = splitmix(seed);
    }
    std::uint64_t next()
    {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static std::uint64_t splitmix(std::uint64_t& x)
    {
        std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::uint64_t state_[4];
};

} // namespace

void append_random_bytes(std::vector<std::uint8_t>& out, std::size_t count)
{
    thread_local FastRandom random;
    const std::size_t start = out.size();
    out.resize(start + count);
    for (std::size_t i = start; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(random.next());
}

void build_chunk_image(SharedRandomBuffer& buffer, std::uint32_t chunk_size)
{
    buffer.chunk_image.clear();
    buffer.image_chunk_size = 0;
    if (chunk_size < 2 || chunk_size - 1 > buffer.bytes.size())
        return;
    // Chunks are cut at multiples of the payload size until the next one
    // would not fit, then from the start again.
    const std::size_t payload = chunk_size - 1;
    const std::size_t chunks = buffer.bytes.size() / payload;
    buffer.chunk_image.resize(chunks * chunk_size);
    for (std::size_t i = 0; i < chunks; ++i) {
        std::memcpy(buffer.chunk_image.data() + i * chunk_size, buffer.bytes.data() + i * payload, payload);
        buffer.chunk_image[i * chunk_size + payload] = 0x00;
    }
    buffer.image_chunk_size = chunk_size;
}

asio::awaitable<Expected<std::optional<ConnectionStreamInfoParameter>, std::string>>
ProtocolConnection::measurement_init(Timeout request_timeout)
{
    using Result = Expected<std::optional<ConnectionStreamInfoParameter>, std::string>;
    MeasurementInitRequest init;
    init.protocol_version = "0.1.0";
    init.timestamp_s = token.unix_seconds;
    init.uuid.assign(token.uuid.begin(), token.uuid.end());
    init.hmac = token.mac;
    auto reply = co_await request(Msg(std::move(init)), request_timeout);
    if (!reply)
        co_return Result(unexpected(reply.error()));
    const std::string id = log_id(token);
    log_event(LogLevel::Debug, "protocol", "[" + id + "] measurement_init: response from server: " + to_log_text(*reply));

    if (const auto* generic = reply->get<GenericResponse>())
        co_return Result(unexpected(generic->description));
    const auto* response = reply->get<MeasurementInitResponse>();
    if (!response)
        co_return Result(unexpected(std::string("unexpected response from server")));
    // A chunk is at least its marker byte; a size of 0 would leave every
    // later chunk computation without a payload length.
    if (response->chunksize == 0)
        co_return Result(unexpected(std::string("server announced a chunk size of 0 bytes")));

    auto& shared = *random_buffer;
    // Uplink chunks are cut from the shared buffer: a chunk that does not fit
    // in it could never be sent.
    auto too_large = [&shared, &response] {
        return "chunk size of " + std::to_string(response->chunksize) + " bytes exceeds the shared random buffer of " +
               std::to_string(shared.bytes.size()) + " bytes";
    };
    bool filled = false;
    {
        // A connection opened while other runners send holds no writer's
        // lock: it would wait for their whole test.
        auto guard = co_await shared.lock.lock_shared();
        filled = !shared.bytes.empty();
        if (filled && response->chunksize > shared.bytes.size())
            co_return Result(unexpected(too_large()));
    }
    if (!filled) {
        auto guard = co_await shared.lock.lock_exclusive();
        if (shared.bytes.empty()) {
            const std::uint64_t size = std::uint64_t(buffer_multiplier) * response->chunksize;
            if (size > SharedRandomBuffer::kMaxSize)
                co_return Result(unexpected(std::string("allocation would exceed maximum allowed buffer size, aborting")));
            log_event(LogLevel::Trace, "protocol", "[" + id + "] initializing shared buffer with random data");
            shared.bytes.reserve(size);
            append_random_bytes(shared.bytes, size);
            build_chunk_image(shared, response->chunksize);
        } else if (response->chunksize > shared.bytes.size()) {
            co_return Result(unexpected(too_large()));
        }
    }
    chunk_size = response->chunksize;
    chunk_buffer.resize(chunk_size - 1);
    max_rtt_payload_bytes = response->max_rtt_payload_bytes;

    std::optional<ConnectionStreamInfoParameter> server;
    if (response->connection_info) {
        const auto& info = *response->connection_info;
        server = ConnectionStreamInfoParameter{info.server_ip, static_cast<std::uint16_t>(info.server_port), info.remote_ip,
                                               static_cast<std::uint16_t>(info.remote_port)};
    }
    co_return Result(std::move(server));
}

} // namespace vela_client
