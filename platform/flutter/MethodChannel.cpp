#include "platform/flutter/MethodChannel.h"

#include <cstdio>

namespace flutter {

MethodResult::MethodResult(BinaryReply reply, const StandardMethodCodec* codec)
    : reply_(std::move(reply)), codec_(codec) {}

MethodResult::~MethodResult() {
    if (!answered_.load()) {
        std::fprintf(stderr, "method result dropped without an answer\n");
        NotImplemented();
    }
}

void MethodResult::answer(const ByteBuffer& bytes) {
    if (answered_.exchange(true)) {
        std::fprintf(stderr, "method result answered twice; the second answer is dropped\n");
        return;
    }
    if (reply_) reply_(bytes.data(), bytes.size());
}

void MethodResult::Success(const EncodableValue& result) {
    answer(codec_->EncodeSuccessEnvelope(&result));
}

void MethodResult::Success() {
    answer(codec_->EncodeSuccessEnvelope(nullptr));
}

void MethodResult::Error(const std::string& code, const std::string& message, const EncodableValue* details) {
    answer(codec_->EncodeErrorEnvelope(code, message, details));
}

void MethodResult::NotImplemented() {
    answer(ByteBuffer{});
}

MethodChannel::MethodChannel(BinaryMessenger* messenger, std::string name, const StandardMethodCodec* codec)
    : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

void MethodChannel::SetMethodCallHandler(MethodCallHandler handler) const {
    if (!handler) {
        messenger_->SetMessageHandler(name_, nullptr);
        return;
    }
    const StandardMethodCodec* codec = codec_;
    std::string name = name_;
    messenger_->SetMessageHandler(
        name_, [handler = std::move(handler), codec, name](const std::uint8_t* message, std::size_t size,
                                                          BinaryReply reply) {
            std::unique_ptr<MethodCall> call;
            try {
                call = std::make_unique<MethodCall>(codec->DecodeMethodCall(message, size));
            } catch (const CodecError& e) {
                // A call that cannot be read is answered as an error, so the
                // UI side is not left waiting.
                std::fprintf(stderr, "undecodable method call on %s: %s\n", name.c_str(), e.what());
                ByteBuffer bytes = codec->EncodeErrorEnvelope("Invalid method call", e.what());
                if (reply) reply(bytes.data(), bytes.size());
                return;
            }
            handler(*call, std::make_unique<MethodResult>(std::move(reply), codec));
        });
}

void MethodChannel::InvokeMethod(const std::string& method, const EncodableValue& arguments,
                                 std::function<void(const MethodReply&)> onReply) const {
    ByteBuffer bytes = codec_->EncodeMethodCall(MethodCall(method, arguments));
    BinaryReply reply;
    if (onReply) {
        const StandardMethodCodec* codec = codec_;
        reply = [onReply, codec](const std::uint8_t* data, std::size_t size) {
            try {
                onReply(codec->DecodeEnvelope(data, size));
            } catch (const CodecError& e) {
                std::fprintf(stderr, "undecodable reply: %s\n", e.what());
            }
        };
    }
    messenger_->Send(name_, bytes.data(), bytes.size(), std::move(reply));
}

}  // namespace flutter
