#include "helper/ConsoleLineChannel.h"

#include "helper/ConsoleOutput.h"

#include <Poco/ConsoleChannel.h>

#include <streambuf>
#include <string_view>

namespace trevask::measurement_library {

// Collects what the inner channel writes and hands every completed line to
// writeLine when the inner channel flushes (it ends each message with
// std::endl); a message spanning several lines goes out as one block.
class ConsoleLineChannel::LineBuffer : public std::streambuf {
public:
    explicit LineBuffer(std::ostream& out) : out(out) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) pending.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending.append(text, static_cast<std::size_t>(count));
        return count;
    }
    int sync() override {
        const auto end = pending.rfind('\n');
        if (end == std::string::npos) return 0;
        writeLine(out, std::string_view(pending).substr(0, end));
        pending.erase(0, end + 1);
        return 0;
    }

private:
    std::ostream& out;
    std::string pending;
};

ConsoleLineChannel::ConsoleLineChannel(bool colored, std::ostream& out)
    : buffer(std::make_unique<LineBuffer>(out)), stream(std::make_unique<std::ostream>(buffer.get())) {
    if (colored)
        inner = new Poco::ColorConsoleChannel(*stream);
    else
        inner = new Poco::ConsoleChannel(*stream);
}

// The inner channel goes first: it writes to the stream.
ConsoleLineChannel::~ConsoleLineChannel() { inner.reset(); }

void ConsoleLineChannel::log(const Poco::Message& message) {
    std::lock_guard lock(mutex);
    inner->log(message);
}

void ConsoleLineChannel::setProperty(const std::string& name, const std::string& value) {
    std::lock_guard lock(mutex);
    inner->setProperty(name, value);
}

std::string ConsoleLineChannel::getProperty(const std::string& name) const {
    // Properties are read rarely and only change through setProperty.
    return inner->getProperty(name);
}

}  // namespace trevask::measurement_library
