#include "BenchSupport.h"

#include <boost/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bench {

namespace {

double cpu_of(const rusage& usage)
{
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

} // namespace

double self_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpu_of(usage);
}

double process_cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The command name may hold spaces: the fields counted here follow its
    // closing parenthesis (utime and stime are fields 14 and 15).
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Child Child::start(const std::vector<std::string>& args)
{
    int to_child[2], from_child[2];
    // Close-on-exec: a later child must not keep an earlier one's standard input open.
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Child child;
    const int rc = posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    if (rc != 0) {
        close(to_child[1]);
        close(from_child[0]);
        throw std::runtime_error("cannot start " + args[0]);
    }
    child.in = to_child[1];
    child.out = fdopen(from_child[0], "r");
    return child;
}

std::string Child::read_all()
{
    std::string text;
    char buf[4096];
    while (std::size_t n = fread(buf, 1, sizeof buf, out))
        text.append(buf, n);
    return text;
}

std::string Child::read_line()
{
    std::string line;
    char buf[512];
    while (fgets(buf, sizeof buf, out)) {
        line += buf;
        if (!line.empty() && line.back() == '\n')
            break;
    }
    return line;
}

Child::End Child::finish()
{
    if (in >= 0)
        close(in);
    in = -1;
    End end;
    rusage usage{};
    if (pid > 0)
        wait4(pid, &end.status, 0, &usage);
    pid = -1;
    if (out)
        fclose(out);
    out = nullptr;
    end.cpu_seconds = cpu_of(usage);
    end.max_rss_kib = usage.ru_maxrss;
    return end;
}

std::uint16_t free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

IperfFigure iperf3_pairs(int pairs, int seconds, bool downlink, const IperfSetup& setup)
{
    std::vector<Child> servers;
    std::vector<std::string> ports;
    for (int i = 0; i < pairs; ++i) {
        ports.push_back(std::to_string(free_port()));
        std::vector<std::string> args = setup.server_prefix;
        for (const char* a : {"iperf3", "-s", "-1", "--forceflush", "-p"})
            args.emplace_back(a);
        args.push_back(ports.back());
        if (!setup.bind.empty()) {
            args.emplace_back("-B");
            args.push_back(setup.bind);
        }
        servers.push_back(Child::start(args));
    }
    // A server is ready once it says that it listens.
    for (auto& s : servers)
        for (int line = 0; line < 5; ++line)
            if (s.read_line().find("listening") != std::string::npos)
                break;

    std::vector<Child> clients;
    for (int i = 0; i < pairs; ++i) {
        std::vector<std::string> args{"iperf3", "-c", setup.host, "-p", ports[i], "-t", std::to_string(seconds), "-J"};
        if (downlink)
            args.emplace_back("-R");
        clients.push_back(Child::start(args));
    }
    IperfFigure f;
    f.ok = true;
    for (auto& c : clients) {
        const std::string json = c.read_all();
        f.client_cpu += c.finish().cpu_seconds;
        try {
            const auto doc = boost::json::parse(json).as_object();
            const auto& end = doc.at("end").as_object();
            const auto& received = end.at("sum_received").as_object();
            f.bps += received.at("bits_per_second").to_number<double>();
            f.bytes += received.at("bytes").to_number<double>();
        } catch (const std::exception& e) {
            std::cerr << "iperf3 output not understood: " << e.what() << "\n";
            f.ok = false;
        }
    }
    for (auto& s : servers)
        f.server_cpu += s.finish().cpu_seconds;
    return f;
}

Spread spread(std::vector<double> values)
{
    Spread s;
    s.n = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

std::string format_spread(const Spread& s, int decimals)
{
    char buf[96];
    if (s.n <= 1)
        std::snprintf(buf, sizeof buf, "%.*f", decimals, s.median);
    else
        std::snprintf(buf, sizeof buf, "%.*f (%.*f-%.*f)", decimals, s.median, decimals, s.min, decimals, s.max);
    return buf;
}

std::string machine_line()
{
    std::string model = "unknown";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    std::string load;
    std::ifstream loadavg("/proc/loadavg");
    std::getline(loadavg, load);
    load = load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
    return "machine: " + std::to_string(std::thread::hardware_concurrency()) + " processors, " + model +
           ", load average " + load;
}

} // namespace bench
