#pragma once
// Shared pieces of the speed-test tests: slot guards and recorders for the
// callback slots, a stand-in for the client's entry points, tokens the
// loopback measurement server accepts, the shortened run and a port where no
// measurement server listens.

#include "SpeedServer.h"
#include "Token.h"

#include "tasks/MeasurementCallbacks.h"
#include "tasks/NativeVelaTask.h"
#include "tasks/SpeedTestOverrides.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace speed_test_support {

namespace vela = trevask::vela;
using trevask::measurement_library::NativeVelaTask;
using trevask::measurement_library::SpeedTestClientFunctions;
using trevask::measurement_library::SpeedTestOverrides;

// A loopback port on which a measurement server listened a moment ago and
// nothing listens now.
inline std::uint16_t closedSpeedServerPort() {
    speed_server::SpeedServer gone;
    gone.start();
    const auto port = gone.tcp_port();
    gone.stop();
    return port;
}

// The key the loopback measurement server checks tokens with.
inline constexpr const char* kSecret = "loopback-secret";

// Puts a slot's function back when the test ends.
template <typename Slot>
struct SlotGuard {
    Slot& slot;
    typename Slot::Function saved = slot.get();
    ~SlotGuard() { slot.set(saved); }
};

// Records every intermediate record, from any thread.
struct IntermediateLog {
    IntermediateLog() {
        vela::intermediateMeasurementCallback = [this](const vela::IntermediateMeasurementCallback& r) {
            std::lock_guard lock(mutex);
            records.push_back(r);
        };
    }
    std::vector<vela::IntermediateMeasurementCallback> snapshot() {
        std::lock_guard lock(mutex);
        return records;
    }
    std::mutex mutex;
    std::vector<vela::IntermediateMeasurementCallback> records;
    // Last: the slot is restored before the records go.
    SlotGuard<decltype(vela::intermediateMeasurementCallback)> guard{vela::intermediateMeasurementCallback};
};

// Records every error report (message, code).
struct ErrorLog {
    ErrorLog() {
        vela::errorCallback = [this](std::shared_ptr<vela::ErrorCallback> e) {
            std::lock_guard lock(mutex);
            errors.emplace_back(e->message, e->code);
        };
    }
    std::vector<std::pair<std::string, std::int32_t>> snapshot() {
        std::lock_guard lock(mutex);
        return errors;
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, std::int32_t>> errors;
    SlotGuard<decltype(vela::errorCallback)> guard{vela::errorCallback};
};

// A stand-in for the client's entry points for the test's length.
struct ClientStandIn {
    explicit ClientStandIn(SpeedTestClientFunctions functions) {
        NativeVelaTask::setClientFunctionsForTesting(std::move(functions));
    }
    ~ClientStandIn() { NativeVelaTask::setClientFunctionsForTesting(std::nullopt); }
    ClientStandIn(const ClientStandIn&) = delete;
    ClientStandIn& operator=(const ClientStandIn&) = delete;
};

// A handle value the stand-ins hand out; never dereferenced.
inline mclient_handle fakeHandle() {
    return reinterpret_cast<mclient_handle>(static_cast<std::uintptr_t>(0x1000));
}

// A stand-in whose run delivers the given texts and returns `code`.
inline SpeedTestClientFunctions scriptedClient(std::int32_t code, std::optional<std::string> resultText,
                                               std::optional<std::string> errorText) {
    return {
        [](const mclient_config*, std::uint32_t, mclient_handle* handle) {
            *handle = fakeHandle();
            return 0;
        },
        [=](mclient_handle, mclient_progress_fn, mclient_result_fn result, mclient_error_fn error) {
            if (resultText) result(resultText->c_str());
            if (errorText) error(errorText->c_str());
            return code;
        },
        [](mclient_handle) {},
    };
}

// A token text made with `key`, as the back end would hand it out.
inline std::string validToken(const std::string& key = kSecret) {
    auto token = vela_client::build_token(key);
    if (!token) throw std::runtime_error("no token: " + token.error());
    return vela_client::token_to_string(token.value());
}

// The test seam's preset: a speed test of a few seconds on loopback.
inline SpeedTestOverrides shortRun() {
    std::string error;
    auto overrides = SpeedTestOverrides::parse("short", error);
    if (!overrides) throw std::runtime_error(error);
    return *overrides;
}

// Shortens every speed test for the holder's length.
struct ShortSpeedTests {
    ShortSpeedTests() { trevask::measurement_library::setSpeedTestOverridesForTesting(shortRun()); }
    ~ShortSpeedTests() { trevask::measurement_library::setSpeedTestOverridesForTesting(std::nullopt); }
    ShortSpeedTests(const ShortSpeedTests&) = delete;
    ShortSpeedTests& operator=(const ShortSpeedTests&) = delete;
};

}  // namespace speed_test_support
