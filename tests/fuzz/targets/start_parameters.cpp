// The parameters of "startMeasurement" as the UI sends them: one JSON text,
// read as the measurement channel reads it.

#include "../FuzzTarget.h"

#include "model/JsonMembers.h"
#include "model/StartMeasurementParameters.h"

#include <boost/json/value.hpp>

#include <stdexcept>

using namespace trevask::measurement_library;

LUMIVEX_FUZZ_TARGET(start_parameters) {
    lumivex_fuzz::silenceLogs();
    try {
        const boost::json::value value = parseJson(lumivex_fuzz::asText(data, size));
        StartMeasurementParameters parameters;
        readStartMeasurementParameters(requireObject(value), parameters);
    } catch (const std::runtime_error&) {
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
