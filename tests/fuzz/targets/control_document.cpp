// The LMAP control document as the controller's answer reaches the agent:
// wire names morphed to member names, parsed, read with every task option,
// measurement parameter and task configuration. What the agent reads it
// must be able to write, and what it writes it must read again to the same
// document.

#include "../FuzzTarget.h"

#include "model/JsonMembers.h"
#include "model/JsonMorpher.h"
#include "model/LmapControlDto.h"

#include <boost/json/value.hpp>

#include <stdexcept>

using namespace trevask::measurement_library;

namespace {

// The read of a text the agent wrote itself never fails.
std::string rewrite(const std::string& written) {
    LmapControlDto again;
    try {
        LmapControlDtoReader(parseJson(written), again);
    } catch (const std::exception& e) {
        lumivex_fuzz::checkFailed("written document reads again", __FILE__, __LINE__, e.what() + (": " + written));
    }
    return LmapControlDtoSerializer(again);
}

}  // namespace

LUMIVEX_FUZZ_TARGET(control_document) {
    lumivex_fuzz::silenceLogs();
    std::string text(lumivex_fuzz::asText(data, size));
    LmapControlDto document;
    try {
        JsonMorpher::morph(document.getKeyMap(), text);
        LmapControlDtoReader(parseJson(text), document);
    } catch (const std::runtime_error&) {     // syntax errors, enumerators, numbers that do not fit
        return 0;
    } catch (const std::invalid_argument&) {  // a member of the wrong kind
        return 0;
    }
    // A document read once keeps its form from the second writing on (the
    // first may drop members the writer leaves out).
    const std::string first = rewrite(LmapControlDtoSerializer(document));
    const std::string second = rewrite(first);
    FUZZ_CHECK_MSG(first == second, first + " <> " + second);
    return 0;
}
