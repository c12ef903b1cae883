#include "FuzzTarget.h"

#include <Poco/AutoPtr.h>
#include <Poco/Logger.h>
#include <Poco/NullChannel.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace lumivex_fuzz {

#ifdef LUMIVEX_FUZZ_LIBFUZZER
void checkFailed(const char* condition, const char* file, int line, const std::string& detail) {
    std::fprintf(stderr, "fuzz check failed: %s at %s:%d %s\n", condition, file, line, detail.c_str());
    std::abort();
}
#else
// The replay catches this and names the input.
void checkFailed(const char* condition, const char* file, int line, const std::string& detail) {
    throw std::logic_error(std::string("check failed: ") + condition + " at " + file + ":" + std::to_string(line) +
                           (detail.empty() ? "" : " " + detail));
}
#endif

// Messages are still formatted at their usual levels (a hostile text goes
// through the formatting), only the output is dropped. Loggers made later
// inherit the root's channel.
void silenceLogs() {
    static const bool done = [] {
        Poco::AutoPtr<Poco::NullChannel> sink(new Poco::NullChannel);
        Poco::Logger::root().setChannel(sink);
        Poco::Logger::setChannel("", sink);
        return true;
    }();
    (void)done;
}

}  // namespace lumivex_fuzz
