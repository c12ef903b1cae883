#pragma once
// One fuzz target: a function that takes an arbitrary byte string, feeds it
// to a parser the way the agent receives it from outside, and checks what
// must hold for every input. The same source builds two ways:
//  - with clang's libFuzzer (LUMIVEX_FUZZ_LIBFUZZER): the function is the
//    fuzzer's entry point, and a failed check aborts so the fuzzer keeps the
//    input;
//  - with the normal compiler into the corpus replay: the function is
//    registered under its name, and a failed check throws so the replay
//    names the input and goes on.
// A target catches the errors its parser documents; anything else that
// escapes is a finding.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumivex_fuzz {

using TargetFunction = int (*)(const std::uint8_t* data, std::size_t size);

[[noreturn]] void checkFailed(const char* condition, const char* file, int line, const std::string& detail);

// The input as text (a parser that reads JSON or lines sees exactly these bytes).
inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Turns off every log channel of the measurement library: a target's parser
// may log each defect, and the fuzzer would spend its time writing them.
void silenceLogs();

#ifndef LUMIVEX_FUZZ_LIBFUZZER
struct TargetRegistration {
    TargetRegistration(const char* name, TargetFunction function);
};
#endif

}  // namespace lumivex_fuzz

#ifdef LUMIVEX_FUZZ_LIBFUZZER
#define LUMIVEX_FUZZ_TARGET(name) extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
#else
#define LUMIVEX_FUZZ_TARGET(name)                                                                              \
    static int lumivexFuzzTarget_##name(const std::uint8_t* data, std::size_t size);                         \
    static const ::lumivex_fuzz::TargetRegistration lumivexFuzzRegistration_##name(#name,                    \
                                                                                   lumivexFuzzTarget_##name); \
    static int lumivexFuzzTarget_##name(const std::uint8_t* data, std::size_t size)
#endif

// A property every input must keep; `detail` is streamed into the report.
#define FUZZ_CHECK(condition)                                                                        \
    do {                                                                                             \
        if (!(condition)) ::lumivex_fuzz::checkFailed(#condition, __FILE__, __LINE__, std::string()); \
    } while (false)
#define FUZZ_CHECK_MSG(condition, detail)                                                  \
    do {                                                                                   \
        if (!(condition)) ::lumivex_fuzz::checkFailed(#condition, __FILE__, __LINE__, detail); \
    } while (false)
