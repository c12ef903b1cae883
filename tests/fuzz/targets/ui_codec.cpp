// The UI's standard codec: a message, a method call or a reply envelope, as
// the first byte picks. A decoded value encodes to bytes that decode to a
// value with the same encoding (the first encoding may differ from the
// input: a map keeps the last of duplicate keys).

#include "../FuzzTarget.h"

#include "platform/flutter/StandardCodec.h"

using namespace flutter;

namespace {

ByteBuffer stable(const EncodableValue& value) {
    const auto& codec = StandardMessageCodec::GetInstance();
    const ByteBuffer encoded = codec.EncodeMessage(value);
    ByteBuffer again;
    try {
        again = codec.EncodeMessage(codec.DecodeMessage(encoded));
    } catch (const CodecError& e) {
        lumivex_fuzz::checkFailed("encoded value decodes", __FILE__, __LINE__, e.what());
    }
    FUZZ_CHECK(again == encoded);
    return encoded;
}

}  // namespace

LUMIVEX_FUZZ_TARGET(ui_codec) {
    if (size == 0) return 0;
    const std::uint8_t* body = data + 1;
    const std::size_t length = size - 1;
    try {
        switch (data[0] % 3) {
            case 0:
                stable(StandardMessageCodec::GetInstance().DecodeMessage(body, length));
                break;
            case 1: {
                const MethodCall call = StandardMethodCodec::GetInstance().DecodeMethodCall(body, length);
                const ByteBuffer encoded = StandardMethodCodec::GetInstance().EncodeMethodCall(call);
                const MethodCall again = StandardMethodCodec::GetInstance().DecodeMethodCall(encoded.data(), encoded.size());
                FUZZ_CHECK(again.method_name() == call.method_name());
                stable(*call.arguments());
                break;
            }
            case 2: {
                const MethodReply reply = StandardMethodCodec::GetInstance().DecodeEnvelope(body, length);
                stable(reply.value);
                break;
            }
        }
    } catch (const CodecError&) {
    }
    return 0;
}
