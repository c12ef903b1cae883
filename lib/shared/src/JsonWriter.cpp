#include "JsonWriter.h"

#include "Utf8.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vela_client {

void JsonWriter::before_value()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) {
            out_ += ',';
        }
        first_.back() = false;
    }
}

void JsonWriter::begin_object()
{
    before_value();
    out_ += '{';
    first_.push_back(true);
}

void JsonWriter::end_object()
{
    out_ += '}';
    first_.pop_back();
}

void JsonWriter::begin_array()
{
    before_value();
    out_ += '[';
    first_.push_back(true);
}

void JsonWriter::end_array()
{
    out_ += ']';
    first_.pop_back();
}

void JsonWriter::key(std::string_view name)
{
    before_value();
    append_json_string(out_, name);
    out_ += ':';
    after_key_ = true;
}

void JsonWriter::string_value(std::string_view text)
{
    before_value();
    append_json_string(out_, text);
}

void JsonWriter::u64_value(std::uint64_t v)
{
    before_value();
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
}

void JsonWriter::i64_value(std::int64_t v)
{
    before_value();
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
}

void JsonWriter::bool_value(bool v)
{
    before_value();
    out_ += v ? "true" : "false";
}

void JsonWriter::null_value()
{
    before_value();
    out_ += "null";
}

void JsonWriter::f64_value(double v)
{
    before_value();
    out_ += format_f64(v);
}

void JsonWriter::f32_value(float v)
{
    before_value();
    out_ += format_f32(v);
}

void append_json_string(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= 0x80) {
            const std::size_t len = utf8_sequence_length(text, pos);
            if (len == 0) {
                out += "\xEF\xBF\xBD";
                ++pos;
            } else {
                out.append(text.substr(pos, len));
                pos += len;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++pos;
    }
    out += '"';
}

namespace {

// Lays out the shortest digits of a finite, non-zero value. `plain_max` is
// the largest decimal exponent + 1 written without exponent, `small_min` the
// first exponent + 1 (from below) written as 0.000ddd.
template <class F>
std::string layout_float(F v, int plain_max, int small_min)
{
    if (!std::isfinite(v)) {
        return "null";
    }
    if (v == 0) {
        return std::signbit(v) ? "-0.0" : "0.0";
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));

    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') {
            digits += c;
        }
    }
    const int exp10 = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    const int length = static_cast<int>(digits.size());
    const int kk = exp10 + 1;  // 10^(kk-1) <= v < 10^kk
    const int k = kk - length;

    if (k >= 0 && kk <= plain_max) {
        out += digits;
        out.append(static_cast<std::size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= plain_max) {
        out += digits.substr(0, static_cast<std::size_t>(kk));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(kk));
    } else if (kk > small_min && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += std::to_string(kk - 1);
    }
    return out;
}

}  // namespace

std::string format_f64(double v) { return layout_float(v, 16, -5); }

std::string format_f32(float v) { return layout_float(v, 13, -6); }

}  // namespace vela_client
