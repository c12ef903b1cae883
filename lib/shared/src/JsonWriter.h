#pragma once
// A compact, streaming JSON writer for the speed-test result and the log
// capture. It exists for its exact number layout: floats in the shortest
// digits that read back to the same value, integral values with a trailing
// ".0", exponent form only for very large or very small magnitudes.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vela_client {

// Thrown by writers that meet a value they cannot express; its text is the
// failure text the client reports.
class JsonSerializeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kValueNotRepresentable =
    "Failed to serialize value as the value cannot be represented.";

class JsonWriter {
public:
    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    // Writes the member key; the next value call writes its value.
    void key(std::string_view name);

    void string_value(std::string_view text);
    void u64_value(std::uint64_t v);
    void i64_value(std::int64_t v);
    void bool_value(bool v);
    void null_value();
    // Non-finite values are written null.
    void f64_value(double v);
    void f32_value(float v);

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void before_value();

    std::string out_;
    // One entry per open object or array: true until its first element.
    std::vector<bool> first_;
    bool after_key_ = false;
};

// JSON string with quotation marks; escapes ", \ and control characters
// below 0x20; invalid UTF-8 sequences become U+FFFD so the text stays JSON.
void append_json_string(std::string& out, std::string_view text);
// Shortest round-trip digits; "0.0", "2500.0", "0.25", "1e16", "1.2345e17",
// "1e-7". Non-finite values give "null".
std::string format_f64(double v);
std::string format_f32(float v);

}  // namespace vela_client
