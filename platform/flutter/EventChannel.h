#pragma once
// Event channels: the UI subscribes with "listen" and unsubscribes with
// "cancel"; while subscribed the native side pushes events through a sink.

#include "platform/flutter/BinaryMessenger.h"
#include "platform/flutter/StandardCodec.h"

#include <memory>
#include <string>

namespace flutter {

// Pushes events of one subscription to the UI; thread-safe.
class EventSink {
public:
    EventSink(BinaryMessenger* messenger, std::string channel, const StandardMethodCodec* codec);
    void Success(const EncodableValue& event);
    void Success() { Success(EncodableValue()); }
    void Error(const std::string& code, const std::string& message = "", const EncodableValue* details = nullptr);
    void EndOfStream();

private:
    BinaryMessenger* messenger_;
    std::string channel_;
    const StandardMethodCodec* codec_;
};

struct StreamHandlerError {
    StreamHandlerError(std::string code, std::string message, std::unique_ptr<EncodableValue> details = nullptr)
        : error_code(std::move(code)), error_message(std::move(message)), error_details(std::move(details)) {}
    std::string error_code;
    std::string error_message;
    std::unique_ptr<EncodableValue> error_details;
};

class StreamHandler {
public:
    virtual ~StreamHandler() = default;
    // Both run on the platform thread; a null result means success.
    std::unique_ptr<StreamHandlerError> OnListen(const EncodableValue* arguments, std::unique_ptr<EventSink>&& events) {
        return OnListenInternal(arguments, std::move(events));
    }
    std::unique_ptr<StreamHandlerError> OnCancel(const EncodableValue* arguments) {
        return OnCancelInternal(arguments);
    }

protected:
    virtual std::unique_ptr<StreamHandlerError> OnListenInternal(const EncodableValue* arguments,
                                                                 std::unique_ptr<EventSink>&& events) = 0;
    virtual std::unique_ptr<StreamHandlerError> OnCancelInternal(const EncodableValue* arguments) = 0;
};

class EventChannel {
public:
    EventChannel(BinaryMessenger* messenger, std::string name, const StandardMethodCodec* codec);
    // The messenger's registration takes the handler over and keeps it for
    // as long as the channel name stays registered.
    void SetStreamHandler(std::unique_ptr<StreamHandler> handler) const;

private:
    BinaryMessenger* messenger_;
    std::string name_;
    const StandardMethodCodec* codec_;
};

}  // namespace flutter
