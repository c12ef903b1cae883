#include "platform/flutter/StandardCodec.h"

#include <algorithm>
#include <cstring>

namespace flutter {
namespace {

enum Type : std::uint8_t {
    kNull = 0,
    kTrue = 1,
    kFalse = 2,
    kInt32 = 3,
    kInt64 = 4,
    kFloat64 = 6,
    kString = 7,
    kUInt8List = 8,
    kInt32List = 9,
    kInt64List = 10,
    kFloat64List = 11,
    kList = 12,
    kMap = 13,
};

// Deeper nesting than this is refused, so a hostile message cannot exhaust
// the stack.
constexpr int kMaxDepth = 64;
// Every value takes at least one byte of the message but far more memory
// once decoded; more values than this in one message are refused.
constexpr std::size_t kMaxValues = std::size_t{1} << 20;
// A list's count is only a claim: room for more elements than this is made
// as they arrive.
constexpr std::size_t kMaxReserve = 4096;

template <typename T>
void writeRaw(ByteBuffer& out, T value) {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));  // the host is little-endian
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

void writeSize(ByteBuffer& out, std::size_t size) {
    if (size < 254) {
        out.push_back(static_cast<std::uint8_t>(size));
    } else if (size <= 0xffff) {
        out.push_back(254);
        writeRaw<std::uint16_t>(out, static_cast<std::uint16_t>(size));
    } else {
        out.push_back(255);
        writeRaw<std::uint32_t>(out, static_cast<std::uint32_t>(size));
    }
}

void writeAlignment(ByteBuffer& out, std::size_t alignment) {
    while (out.size() % alignment != 0) out.push_back(0);
}

template <typename T>
void writeList(ByteBuffer& out, const std::vector<T>& list) {
    writeSize(out, list.size());
    if constexpr (sizeof(T) > 1) writeAlignment(out, sizeof(T));
    for (const T& v : list) writeRaw<T>(out, v);
}

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t& pos;
    std::size_t values = 0;

    void need(std::size_t n) const {
        if (n > size - pos) throw CodecError("message truncated");
    }
    std::uint8_t byte() {
        need(1);
        return data[pos++];
    }
    template <typename T>
    T raw() {
        need(sizeof(T));
        T v;
        std::memcpy(&v, data + pos, sizeof(T));
        pos += sizeof(T);
        return v;
    }
    std::size_t readSize() {
        std::uint8_t b = byte();
        if (b < 254) return b;
        if (b == 254) return raw<std::uint16_t>();
        return raw<std::uint32_t>();
    }
    void align(std::size_t alignment) {
        std::size_t mod = pos % alignment;
        if (mod != 0) {
            need(alignment - mod);
            pos += alignment - mod;
        }
    }
    template <typename T>
    std::vector<T> list() {
        std::size_t count = readSize();
        if constexpr (sizeof(T) > 1) align(sizeof(T));
        if (count > (size - pos) / sizeof(T)) throw CodecError("message truncated");
        std::vector<T> out(count);
        if (count > 0) std::memcpy(out.data(), data + pos, count * sizeof(T));
        pos += count * sizeof(T);
        return out;
    }

    EncodableValue value(int depth) {
        if (depth > kMaxDepth) throw CodecError("message nested too deeply");
        if (++values > kMaxValues) throw CodecError("message holds too many values");
        std::uint8_t type = byte();
        switch (type) {
            case kNull:
                return EncodableValue();
            case kTrue:
                return EncodableValue(true);
            case kFalse:
                return EncodableValue(false);
            case kInt32:
                return EncodableValue(raw<std::int32_t>());
            case kInt64:
                return EncodableValue(raw<std::int64_t>());
            case kFloat64:
                align(8);
                return EncodableValue(raw<double>());
            case kString: {
                std::size_t n = readSize();
                need(n);
                std::string s(reinterpret_cast<const char*>(data + pos), n);
                pos += n;
                return EncodableValue(std::move(s));
            }
            case kUInt8List:
                return EncodableValue(list<std::uint8_t>());
            case kInt32List:
                return EncodableValue(list<std::int32_t>());
            case kInt64List:
                return EncodableValue(list<std::int64_t>());
            case kFloat64List:
                return EncodableValue(list<double>());
            case kList: {
                std::size_t n = readSize();
                if (n > size - pos) throw CodecError("message truncated");  // each element takes a byte at least
                EncodableList out;
                out.reserve(std::min(n, kMaxReserve));
                for (std::size_t i = 0; i < n; ++i) out.push_back(value(depth + 1));
                return EncodableValue(std::move(out));
            }
            case kMap: {
                std::size_t n = readSize();
                if (n > (size - pos) / 2) throw CodecError("message truncated");
                EncodableMap out;
                for (std::size_t i = 0; i < n; ++i) {
                    EncodableValue k = value(depth + 1);
                    EncodableValue v = value(depth + 1);
                    out.insert_or_assign(std::move(k), std::move(v));
                }
                return EncodableValue(std::move(out));
            }
            default:
                throw CodecError("unsupported value type " + std::to_string(type));
        }
    }
};

}  // namespace

void StandardMessageCodec::WriteValue(ByteBuffer& out, const EncodableValue& value) {
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                out.push_back(kNull);
            } else if constexpr (std::is_same_v<T, bool>) {
                out.push_back(v ? kTrue : kFalse);
            } else if constexpr (std::is_same_v<T, std::int32_t>) {
                out.push_back(kInt32);
                writeRaw(out, v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out.push_back(kInt64);
                writeRaw(out, v);
            } else if constexpr (std::is_same_v<T, double>) {
                out.push_back(kFloat64);
                writeAlignment(out, 8);
                writeRaw(out, v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                out.push_back(kString);
                writeSize(out, v.size());
                out.insert(out.end(), v.begin(), v.end());
            } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
                out.push_back(kUInt8List);
                writeList(out, v);
            } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
                out.push_back(kInt32List);
                writeList(out, v);
            } else if constexpr (std::is_same_v<T, std::vector<std::int64_t>>) {
                out.push_back(kInt64List);
                writeList(out, v);
            } else if constexpr (std::is_same_v<T, std::vector<double>>) {
                out.push_back(kFloat64List);
                writeList(out, v);
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                out.push_back(kList);
                writeSize(out, v.size());
                for (const auto& e : v) WriteValue(out, e);
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                out.push_back(kMap);
                writeSize(out, v.size());
                for (const auto& [k, e] : v) {
                    WriteValue(out, k);
                    WriteValue(out, e);
                }
            }
        },
        value.variant());
}

EncodableValue StandardMessageCodec::ReadValue(const std::uint8_t* data, std::size_t size, std::size_t& pos) {
    Reader r{data, size, pos};
    return r.value(0);
}

const StandardMessageCodec& StandardMessageCodec::GetInstance() {
    static const StandardMessageCodec instance;
    return instance;
}

ByteBuffer StandardMessageCodec::EncodeMessage(const EncodableValue& value) const {
    ByteBuffer out;
    WriteValue(out, value);
    return out;
}

EncodableValue StandardMessageCodec::DecodeMessage(const std::uint8_t* data, std::size_t size) const {
    if (size == 0) return EncodableValue();
    std::size_t pos = 0;
    EncodableValue v = ReadValue(data, size, pos);
    if (pos != size) throw CodecError("trailing bytes after message");
    return v;
}

const StandardMethodCodec& StandardMethodCodec::GetInstance() {
    static const StandardMethodCodec instance;
    return instance;
}

ByteBuffer StandardMethodCodec::EncodeMethodCall(const MethodCall& call) const {
    ByteBuffer out;
    StandardMessageCodec::WriteValue(out, EncodableValue(call.method_name()));
    StandardMessageCodec::WriteValue(out, *call.arguments());
    return out;
}

MethodCall StandardMethodCodec::DecodeMethodCall(const std::uint8_t* data, std::size_t size) const {
    std::size_t pos = 0;
    EncodableValue name = StandardMessageCodec::ReadValue(data, size, pos);
    const auto* text = name.getIf<std::string>();
    if (text == nullptr) throw CodecError("method name is not a string");
    EncodableValue args;
    if (pos < size) args = StandardMessageCodec::ReadValue(data, size, pos);
    if (pos != size) throw CodecError("trailing bytes after method call");
    return MethodCall(*text, std::move(args));
}

ByteBuffer StandardMethodCodec::EncodeSuccessEnvelope(const EncodableValue* result) const {
    ByteBuffer out{0};
    StandardMessageCodec::WriteValue(out, result ? *result : EncodableValue());
    return out;
}

ByteBuffer StandardMethodCodec::EncodeErrorEnvelope(const std::string& code, const std::string& message,
                                                    const EncodableValue* details) const {
    ByteBuffer out{1};
    StandardMessageCodec::WriteValue(out, EncodableValue(code));
    StandardMessageCodec::WriteValue(out, message.empty() ? EncodableValue() : EncodableValue(message));
    StandardMessageCodec::WriteValue(out, details ? *details : EncodableValue());
    return out;
}

MethodReply StandardMethodCodec::DecodeEnvelope(const std::uint8_t* data, std::size_t size) const {
    MethodReply reply;
    if (size == 0) return reply;  // not implemented
    std::size_t pos = 1;
    if (data[0] == 0) {
        reply.kind = MethodReply::Kind::Success;
        reply.value = StandardMessageCodec::ReadValue(data, size, pos);
    } else if (data[0] == 1) {
        reply.kind = MethodReply::Kind::Error;
        EncodableValue code = StandardMessageCodec::ReadValue(data, size, pos);
        EncodableValue message = StandardMessageCodec::ReadValue(data, size, pos);
        const auto* codeText = code.getIf<std::string>();
        if (codeText == nullptr) throw CodecError("error code is not a string");
        reply.errorCode = *codeText;
        if (const auto* m = message.getIf<std::string>()) {
            reply.errorMessage = *m;
        } else if (!message.IsNull()) {
            throw CodecError("error message is not a string");
        }
        if (pos < size) reply.value = StandardMessageCodec::ReadValue(data, size, pos);
    } else {
        throw CodecError("unknown reply envelope");
    }
    if (pos != size) throw CodecError("trailing bytes after reply");
    return reply;
}

}  // namespace flutter
