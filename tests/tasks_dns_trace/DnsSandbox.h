#pragma once
// A private DNS world for tests of code that uses the system resolver
// configuration: the process moves into its own network, mount and UTS
// namespaces (loopback up, host name "dnstest"), and /etc/resolv.conf and
// /etc/hosts are replaced, for this process only, by files the test writes.
// A real DNS server (dnsmasq) then serves on 127.0.0.1:53 of that network.

#include <string>
#include <sys/types.h>
#include <vector>

namespace lumivex::test {

class DnsSandbox {
public:
    // Enters the namespaces once per process. Returns an empty text on
    // success, else why it is not possible here (the tests then skip).
    static const std::string& enter();
    // Replaces what the resolver library reads as /etc/resolv.conf.
    static void writeResolvConf(const std::string& content);
};

// dnsmasq on 127.0.0.1:53 of the sandbox, answering only from the records on
// its command line (the domain "test" is local: unknown names there get
// NXDOMAIN; names elsewhere get REFUSED, as there is no upstream).
class DnsmasqPeer {
public:
    DnsmasqPeer() = default;
    ~DnsmasqPeer();
    DnsmasqPeer(const DnsmasqPeer&) = delete;
    DnsmasqPeer& operator=(const DnsmasqPeer&) = delete;

    // Starts dnsmasq with the given extra options ("--host-record=...") and
    // waits (at most 3 s) until it answers. Returns an error text or "".
    std::string start(const std::vector<std::string>& records);
    void stop();

private:
    pid_t pid = -1;
};

// A UDP socket that takes DNS queries and never answers them.
class SilentUdpPeer {
public:
    // Binds address:port; throws std::runtime_error when that fails.
    SilentUdpPeer(const std::string& address, unsigned short port);
    ~SilentUdpPeer();
    SilentUdpPeer(const SilentUdpPeer&) = delete;
    SilentUdpPeer& operator=(const SilentUdpPeer&) = delete;

private:
    int fd = -1;
};

}  // namespace lumivex::test
