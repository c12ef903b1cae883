#pragma once
// The measurement event channels: a wrapper that owns an event channel and
// its stream handler, and the texts pushed on the intermediate, status and
// QoS channels.

#include "platform/flutter/EventChannel.h"
#include "platform/flutter/HeadlessEngine.h"

#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace trevask::vela {
struct IntermediateMeasurementCallback;
struct QosProgressUpdate;
}  // namespace trevask::vela

namespace trevask::measurement_library {
class MeasurementResultResponse;
}

namespace trevask {

// Keeps the sink of the UI's current subscription. Sends come from worker
// threads while listen and cancel come from the platform thread, so the
// sink is guarded; the guarded state is shared with the channel wrapper so
// that a send after the engine has gone finds no sink instead of a freed
// handler.
template <typename T>
class MorvStreamHandler : public flutter::StreamHandler {
public:
    struct State {
        std::mutex mutex;
        std::unique_ptr<flutter::EventSink> sink;
    };

    MorvStreamHandler() : state_(std::make_shared<State>()) {}
    ~MorvStreamHandler() override {
        std::lock_guard lock(state_->mutex);
        state_->sink.reset();
    }

    // Drops the text while nobody listens.
    void send(const std::string& text) { send(*state_, text); }
    static void send(State& state, const std::string& text) {
        std::lock_guard lock(state.mutex);
        if (state.sink) state.sink->Success(T(text));
    }
    std::shared_ptr<State> state() const { return state_; }

protected:
    std::unique_ptr<flutter::StreamHandlerError> OnListenInternal(const T* arguments,
                                                                  std::unique_ptr<flutter::EventSink>&& events) override {
        std::lock_guard lock(state_->mutex);
        state_->sink = std::move(events);
        return nullptr;
    }
    std::unique_ptr<flutter::StreamHandlerError> OnCancelInternal(const T* arguments) override {
        std::lock_guard lock(state_->mutex);
        state_->sink.reset();
        return nullptr;
    }

private:
    std::shared_ptr<State> state_;
};

template <typename T>
class EventChannelWrapper {
public:
    EventChannelWrapper(flutter::HeadlessEngine* engine, const std::string& name)
        : channel_(std::make_unique<flutter::EventChannel>(engine->messenger(), name,
                                                           &flutter::StandardMethodCodec::GetInstance())) {
        auto handler = std::make_unique<MorvStreamHandler<T>>();
        streamHandler_ = handler.get();
        state_ = handler->state();
        channel_->SetStreamHandler(std::move(handler));
    }
    virtual ~EventChannelWrapper() = default;

    // Sends through the stream handler; safe after the engine has gone.
    void send(const std::string& text) const { MorvStreamHandler<T>::send(*state_, text); }
    // Owned by the engine's registration; valid while the engine lives.
    MorvStreamHandler<T>* streamHandler() const { return streamHandler_; }

private:
    std::unique_ptr<flutter::EventChannel> channel_;
    MorvStreamHandler<T>* streamHandler_ = nullptr;
    std::shared_ptr<typename MorvStreamHandler<T>::State> state_;
};

using EncodableEventChannel = EventChannelWrapper<flutter::EncodableValue>;

extern EncodableEventChannel* intermediateResultsChannel;
extern EncodableEventChannel* measurementStatusChannel;
extern EncodableEventChannel* qosResultsChannel;

// Replaces one of the globals above, deleting the wrapper it held.
void replaceEventChannel(EncodableEventChannel*& global, EncodableEventChannel* wrapper);

// The text with every character JSON needs escaped (quote, backslash and
// control characters), without the surrounding quotes. The event texts are
// put together by hand; every text inserted into them goes through this.
std::string escapeJsonText(std::string_view text);
// A number in the stream's default form, or null when it is not finite.
std::string formatJsonNumber(double value);

std::string formatJsonMember(const std::string& name, std::int32_t value);
std::string formatJsonMember(const std::string& name, float value);
std::string formatJsonMember(const std::string& name, double value);
std::string formatJsonMember(const std::string& name, std::string value);

std::ostream& intermediateResultToJson(std::ostream& out, const vela::IntermediateMeasurementCallback& result);
std::string qosProgressToJson(const std::shared_ptr<vela::QosProgressUpdate>& update);
std::string measurementStatusToJson(const measurement_library::MeasurementResultResponse& response);

// The handlers the measurement worker puts into the callback slots.
void sendIntermediateResult(const vela::IntermediateMeasurementCallback& result);
void sendQosProgress(std::shared_ptr<vela::QosProgressUpdate> update);

}  // namespace trevask
