#pragma once
// The agent's identity with the controller: checks a UUID by registering it,
// asks for a new one, and stores an accepted UUID into the settings, the
// crash reporter and the files the settings name.

#include <memory>
#include <regex>
#include <string>
#include <unordered_set>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

struct MeasurementExecutorSettings;
class RegistrationResponse;

class UuidVerificationHelper {
public:
    static UuidVerificationHelper& getInstance();

    UuidVerificationHelper(const UuidVerificationHelper&) = delete;
    UuidVerificationHelper& operator=(const UuidVerificationHelper&) = delete;

    // True when the controller confirms the UUID as this agent's (byte for
    // byte); a confirmed UUID is not asked about again in this process.
    bool verifyAgentUuid(const std::string& uuid);
    // A new UUID from the controller; empty when none came.
    std::string requestNewAgentUuid();
    // Registers `uuid` (empty: ask for a new one); empty when no answer was read.
    std::unique_ptr<RegistrationResponse> registerAgent(const std::string& uuid);
    // Puts `uuid` into the settings and the crash reporter and rewrites the
    // agent-UUID file and the control-document file. Nothing for an empty
    // UUID. True when at least one file was written.
    bool storeAgentUuid(const std::string& uuid, MeasurementExecutorSettings& settings, const std::string& targetPath);

    // Forgets every confirmed UUID (tests).
    void clearVerified() { verifiedUuids.clear(); }

private:
    UuidVerificationHelper();

    std::unordered_set<std::string> verifiedUuids;
    std::regex agentUuidPattern;
    std::regex agentIdPattern;
    Poco::Logger& logger;
};

}  // namespace trevask::measurement_library
