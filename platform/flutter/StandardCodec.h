#pragma once
// The standard message and method codecs in their public binary format:
// one type byte per value, little-endian numbers, sizes as one byte below
// 254, else 254 + uint16 or 255 + uint32, and numeric lists and doubles
// aligned to their element size from the start of the message.

#include "platform/flutter/EncodableValue.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace flutter {

using ByteBuffer = std::vector<std::uint8_t>;

// Raised for a message that cannot be decoded (truncated, unknown type,
// trailing bytes, nesting deeper than 64, more than 2^20 values).
class CodecError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class StandardMessageCodec {
public:
    static const StandardMessageCodec& GetInstance();

    ByteBuffer EncodeMessage(const EncodableValue& value) const;
    // An empty message decodes to null.
    EncodableValue DecodeMessage(const std::uint8_t* data, std::size_t size) const;
    EncodableValue DecodeMessage(const ByteBuffer& bytes) const { return DecodeMessage(bytes.data(), bytes.size()); }

    // Building blocks shared with the method codec.
    static void WriteValue(ByteBuffer& out, const EncodableValue& value);
    static EncodableValue ReadValue(const std::uint8_t* data, std::size_t size, std::size_t& pos);
};

class MethodCall {
public:
    MethodCall(std::string method, EncodableValue arguments)
        : method_(std::move(method)), arguments_(std::move(arguments)) {}
    const std::string& method_name() const { return method_; }
    const EncodableValue* arguments() const { return &arguments_; }

private:
    std::string method_;
    EncodableValue arguments_;
};

// A decoded reply envelope.
struct MethodReply {
    enum class Kind { Success, Error, NotImplemented };
    Kind kind = Kind::NotImplemented;
    EncodableValue value;  // success value or error details
    std::string errorCode;
    std::string errorMessage;  // empty when the envelope holds null
};

class StandardMethodCodec {
public:
    static const StandardMethodCodec& GetInstance();

    ByteBuffer EncodeMethodCall(const MethodCall& call) const;
    // Throws CodecError when the name is not a string or the message is malformed.
    MethodCall DecodeMethodCall(const std::uint8_t* data, std::size_t size) const;

    ByteBuffer EncodeSuccessEnvelope(const EncodableValue* result = nullptr) const;
    ByteBuffer EncodeErrorEnvelope(const std::string& code, const std::string& message = "",
                                   const EncodableValue* details = nullptr) const;
    // An empty reply means "not implemented".
    MethodReply DecodeEnvelope(const std::uint8_t* data, std::size_t size) const;
};

}  // namespace flutter
