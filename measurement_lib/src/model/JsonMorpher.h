#pragma once
// Translation between the member names that the LMAP documents' readers and
// writers use and the hyphenated names on the wire, done on the JSON text as
// a whole by plain substitution.

#include <initializer_list>
#include <map>
#include <string>
#include <utility>

namespace trevask::measurement_library {

class JsonMorpher {
public:
    using KeyMap = std::map<std::string, std::string>;  // member name -> wire name

    JsonMorpher() = default;
    // Inserts the pairs in order; a member name already present keeps its
    // first wire name.
    JsonMorpher(std::initializer_list<std::pair<std::string, std::string>> pairs);
    virtual ~JsonMorpher() = default;

    JsonMorpher(const JsonMorpher&) = default;
    JsonMorpher& operator=(const JsonMorpher&) = default;
    JsonMorpher(JsonMorpher&&) = default;
    JsonMorpher& operator=(JsonMorpher&&) = default;

    KeyMap getKeyMap() const { return keyMap; }

    // Rewrites `text` in place. The pairs are visited in ascending member
    // name; the first replacement fixes the direction for the whole call:
    // a text holding member names gets wire names, a text holding only wire
    // names gets member names. Every occurrence is replaced, also inside
    // string values and longer words. Never fails.
    static void morph(KeyMap keyMap, std::string& text);

    // Public so an owner may add pairs after construction (emplace keeps an
    // existing member name). Both names must be non-empty and neither may
    // contain the other.
    KeyMap keyMap;
};

}  // namespace trevask::measurement_library
