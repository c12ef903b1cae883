#pragma once
// Method channels: named request/reply calls from the UI, encoded with the
// standard method codec.

#include "platform/flutter/BinaryMessenger.h"
#include "platform/flutter/StandardCodec.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace flutter {

// The answer to one method call. Exactly one answer goes out; later ones
// are ignored, and a result dropped without an answer replies "not
// implemented" so no call stays open. Any thread may answer.
class MethodResult {
public:
    MethodResult(BinaryReply reply, const StandardMethodCodec* codec);
    virtual ~MethodResult();
    MethodResult(const MethodResult&) = delete;
    MethodResult& operator=(const MethodResult&) = delete;

    void Success(const EncodableValue& result);
    void Success();
    void Error(const std::string& code, const std::string& message = "", const EncodableValue* details = nullptr);
    void NotImplemented();

private:
    void answer(const ByteBuffer& bytes);

    BinaryReply reply_;
    const StandardMethodCodec* codec_;
    std::atomic<bool> answered_{false};
};

using MethodCallHandler = std::function<void(const MethodCall& call, std::unique_ptr<MethodResult> result)>;

class MethodChannel {
public:
    MethodChannel(BinaryMessenger* messenger, std::string name, const StandardMethodCodec* codec);

    // The handler stays registered with the messenger after the channel
    // object is gone.
    void SetMethodCallHandler(MethodCallHandler handler) const;
    // Calls a method on the UI side; the callback gets the decoded reply on
    // the platform thread.
    void InvokeMethod(const std::string& method, const EncodableValue& arguments,
                      std::function<void(const MethodReply&)> onReply = nullptr) const;

private:
    BinaryMessenger* messenger_;
    std::string name_;
    const StandardMethodCodec* codec_;
};

}  // namespace flutter
