#include "model/JsonMorpher.h"

namespace trevask::measurement_library {

namespace {

// Replaces every occurrence of `from` with `to`; true when anything was
// replaced. The search goes on after each inserted text, so a pair whose
// replacement holds or forms its own name again cannot loop forever; an
// empty name never matches.
bool replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return false;
    bool replaced = false;
    std::size_t pos = text.find(from);
    while (pos != std::string::npos) {
        text.replace(pos, from.size(), to);
        replaced = true;
        pos = text.find(from, pos + to.size());
    }
    return replaced;
}

}  // namespace

JsonMorpher::JsonMorpher(std::initializer_list<std::pair<std::string, std::string>> pairs) {
    for (const auto& [member, wire] : pairs) keyMap.emplace(member, wire);
}

void JsonMorpher::morph(KeyMap keyMap, std::string& text) {
    bool toWire = false;
    bool toMember = false;
    for (const auto& [member, wire] : keyMap) {
        if (!toMember && replaceAll(text, member, wire)) toWire = true;
        if (!toWire && replaceAll(text, wire, member)) toMember = true;
    }
}

}  // namespace trevask::measurement_library
