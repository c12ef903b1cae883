// The speed-test client's result JSON as the native speed-test task reads
// it. The reader fails only on a text that is not JSON or whose root is not
// an object; every other defect leaves members empty.

#include "../FuzzTarget.h"

#include "model/result/SprintMeasurementResult.h"

#include <boost/system/system_error.hpp>

#include <stdexcept>

using namespace trevask::measurement_library;

LUMIVEX_FUZZ_TARGET(speed_result) {
    try {
        const SprintMeasurementResult result = SprintMeasurementResultReader(lumivex_fuzz::asText(data, size));
        // Counts and samples never come out of thin air: every list read
        // holds no more elements than the text has bytes.
        for (const auto* phase : {&result.dl, &result.ul}) {
            if (!*phase || !(*phase)->raw_data) continue;
            for (const auto& [connection, samples] : *(*phase)->raw_data) FUZZ_CHECK(samples.size() <= size);
        }
    } catch (const boost::system::system_error&) {  // not JSON
    } catch (const std::invalid_argument& e) {      // not an object
        FUZZ_CHECK_MSG(std::string(e.what()) == "not an object", e.what());
    }
    return 0;
}
