#include "platform/flutter/EventChannel.h"

#include <cstdio>

namespace flutter {

EventSink::EventSink(BinaryMessenger* messenger, std::string channel, const StandardMethodCodec* codec)
    : messenger_(messenger), channel_(std::move(channel)), codec_(codec) {}

void EventSink::Success(const EncodableValue& event) {
    ByteBuffer bytes = codec_->EncodeSuccessEnvelope(&event);
    messenger_->Send(channel_, bytes.data(), bytes.size());
}

void EventSink::Error(const std::string& code, const std::string& message, const EncodableValue* details) {
    ByteBuffer bytes = codec_->EncodeErrorEnvelope(code, message, details);
    messenger_->Send(channel_, bytes.data(), bytes.size());
}

void EventSink::EndOfStream() {
    messenger_->Send(channel_, nullptr, 0);
}

EventChannel::EventChannel(BinaryMessenger* messenger, std::string name, const StandardMethodCodec* codec)
    : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

void EventChannel::SetStreamHandler(std::unique_ptr<StreamHandler> handler) const {
    if (!handler) {
        messenger_->SetMessageHandler(name_, nullptr);
        return;
    }
    // Shared so the messenger's handler function stays copyable.
    std::shared_ptr<StreamHandler> shared(std::move(handler));
    auto listening = std::make_shared<bool>(false);
    BinaryMessenger* messenger = messenger_;
    const StandardMethodCodec* codec = codec_;
    std::string name = name_;
    messenger_->SetMessageHandler(
        name_, [shared, listening, messenger, codec, name](const std::uint8_t* message, std::size_t size,
                                                          BinaryReply reply) {
            auto answer = [&reply](const ByteBuffer& bytes) {
                if (reply) reply(bytes.data(), bytes.size());
            };
            MethodCall call("", EncodableValue());
            try {
                call = codec->DecodeMethodCall(message, size);
            } catch (const CodecError& e) {
                answer(codec->EncodeErrorEnvelope("Invalid method call", e.what()));
                return;
            }
            auto answerError = [&](const StreamHandlerError& error) {
                answer(codec->EncodeErrorEnvelope(error.error_code, error.error_message, error.error_details.get()));
            };
            if (call.method_name() == "listen") {
                if (*listening) {
                    // A second listen replaces the first subscription.
                    shared->OnCancel(nullptr);
                    *listening = false;
                }
                auto sink = std::make_unique<EventSink>(messenger, name, codec);
                if (auto error = shared->OnListen(call.arguments(), std::move(sink))) {
                    answerError(*error);
                    return;
                }
                *listening = true;
                answer(codec->EncodeSuccessEnvelope(nullptr));
            } else if (call.method_name() == "cancel") {
                if (!*listening) {
                    answer(codec->EncodeErrorEnvelope("error", "No active stream to cancel"));
                    return;
                }
                *listening = false;
                if (auto error = shared->OnCancel(call.arguments())) {
                    answerError(*error);
                    return;
                }
                answer(codec->EncodeSuccessEnvelope(nullptr));
            } else {
                answer(ByteBuffer{});
            }
        });
}

}  // namespace flutter
