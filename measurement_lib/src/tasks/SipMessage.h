#pragma once
// The small SIP dialect of the SIP test: INVITE and BYE requests with the
// three headers FROM, TO and VIA, and TRYING / RINGING / OK responses that
// are recognised by the third word of their first line alone. Every line
// ends in a single line feed; no carriage return is written.

#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_library {

inline constexpr const char* SIP_VERSION = "SIP/2.0";

enum class SipMethod { INVITE = 0, ACK = 1, BYE = 2 };
enum class SipStatus { TRYING = 0, RINGING = 1, OK = 2, UNKNOWN = 3 };

class SipMessage {
public:
    virtual std::string getName() const = 0;
    virtual std::string getCode() const = 0;
    // The start line, without line end.
    virtual std::string toString() const = 0;

    // The whole wire text: start line, headers in name order,
    // "Content-Length", an empty line and the body.
    std::string serialize() const;

    const std::map<std::string, std::string>& getHeaders() const { return headers; }
    const std::string& getBody() const { return body; }
    void setHeader(const std::string& name, const std::string& value) { headers[name] = value; }
    void setBody(std::string bytes) { body = std::move(bytes); }

protected:
    SipMessage() = default;
    SipMessage(const SipMessage&) = default;
    SipMessage(SipMessage&&) = default;
    SipMessage& operator=(const SipMessage&) = default;
    SipMessage& operator=(SipMessage&&) = default;
    // Messages are values; they are never deleted through a base pointer.
    ~SipMessage() = default;

    std::map<std::string, std::string> headers;  // name -> value, byte order of names
    std::string body;                            // bytes, empty unless set
};

class SipRequestMessage final : public SipMessage {
public:
    // FROM := from, TO := to, VIA := via, or from when via is empty.
    SipRequestMessage(SipMethod method, const std::string& from, const std::string& to, const std::string& via);

    std::string getName() const override;
    std::string getCode() const override { return " "; }
    // "<name> <TO> SIP/2.0"
    std::string toString() const override;

    SipMethod getMethod() const { return method; }

private:
    SipMethod method;
};

class SipResponseMessage final : public SipMessage {
public:
    explicit SipResponseMessage(SipStatus status) : status(status) {}

    std::string getName() const override;
    std::string getCode() const override;
    // "SIP/2.0 <code> <name>"
    std::string toString() const override;

    SipStatus getStatus() const { return status; }

    // Recognises a response by the third blank-separated word of the first
    // line ("OK", "RINGING", "TRYING", compared exactly; anything else is
    // UNKNOWN). Empty for an empty text or a first line of fewer than three
    // words. Never throws.
    static std::optional<SipResponseMessage> parse(const std::string& text);

private:
    SipStatus status;
};

}  // namespace trevask::measurement_library
