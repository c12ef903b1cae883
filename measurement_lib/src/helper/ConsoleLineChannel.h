#pragma once
// The console log channel: POCO's console channel (plain or coloured) whose
// output reaches the stream through writeLine (helper/ConsoleOutput.h), so
// each message goes out whole, never mixed with lines other threads print
// at the same time.

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <string>

namespace trevask::measurement_library {

class ConsoleLineChannel : public Poco::Channel {
public:
    // out: where the lines go (POCO's console channels write to std::clog);
    // colored: the coloured channel with its properties ("enableColors",
    // "traceColor" ...), else the plain one.
    explicit ConsoleLineChannel(bool colored = false, std::ostream& out = std::clog);

    void log(const Poco::Message& message) override;
    void setProperty(const std::string& name, const std::string& value) override;
    std::string getProperty(const std::string& name) const override;

protected:
    ~ConsoleLineChannel() override;

private:
    class LineBuffer;

    std::mutex mutex;
    std::unique_ptr<LineBuffer> buffer;
    std::unique_ptr<std::ostream> stream;
    Poco::AutoPtr<Poco::Channel> inner;
};

}  // namespace trevask::measurement_library
