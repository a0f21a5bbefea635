// Load client for bench/run_benchmark.py. Walks run in-process on Net-SNMP's
// client library (a tool's start-up would dwarf a 10 ms walk); GET load uses
// pre-encoded datagrams from closed-loop threads. Each mode prints one JSON
// line, including the CPU the client itself used, so a report can tell
// whether the client was the bottleneck.
#include "get_packet.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t maxWalkObjects = 100000;
constexpr uint64_t maxRequestsPerClient = 5000000;
constexpr size_t maxLatencySamples = 2000000;

struct Options {
    std::string mode;
    std::map<std::string, std::string> values;

    std::string text(const std::string &key, const std::string &fallback = {}) const
    {
        const auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    double number(const std::string &key, double fallback) const
    {
        const auto it = values.find(key);
        return it == values.end() ? fallback : std::atof(it->second.c_str());
    }
};

std::optional<Options> parseArguments(int argc, char **argv)
{
    if (argc < 2)
        return std::nullopt;
    Options options;
    options.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strncmp(argv[i], "--", 2) != 0)
            return std::nullopt;
        options.values[argv[i] + 2] = argv[i + 1];
    }
    if ((argc - 2) % 2 != 0 || options.text("target").empty())
        return std::nullopt;
    return options;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- walks on the Net-SNMP session API ----

void *openSession(const Options &options)
{
    setenv("MIBS", "", 1); // numeric OIDs only: no MIB files to parse
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    init_snmp("vivoe-bench-client");

    static std::string peer;
    static std::string community;
    peer = "udp:" + options.text("target");
    community = options.text("community", "maplet");
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_2c;
    settings.peername = peer.data();
    settings.community = reinterpret_cast<u_char *>(community.data());
    settings.community_len = community.size();
    settings.timeout = static_cast<long>(options.number("timeout", 1.0) * 1e6);
    settings.retries = 0;
    return snmp_sess_open(&settings);
}

std::string hex(const u_char *data, size_t length)
{
    std::string out;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", data[i]);
        out += pair;
    }
    return out;
}

std::string oidText(const oid *name, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i)
        out += (i ? "." : "") + std::to_string(name[i]);
    return out;
}

// One line of snmpsim's .snmprec format; strings in hex keep every byte.
std::string snmprecLine(const netsnmp_variable_list *var)
{
    const std::string name = oidText(var->name, var->name_length) + "|";
    switch (var->type) {
    case ASN_INTEGER:
        return name + "2|" + std::to_string(*var->val.integer);
    case ASN_OCTET_STR:
        return name + "4x|" + hex(var->val.string, var->val_len);
    case ASN_IPADDRESS:
        return name + "64x|" + hex(var->val.string, var->val_len);
    case ASN_OPAQUE:
        return name + "68x|" + hex(var->val.string, var->val_len);
    case ASN_OBJECT_ID:
        return name + "6|" + oidText(var->val.objid, var->val_len / sizeof(oid));
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        return name + std::to_string(var->type) + "|" +
               std::to_string(static_cast<unsigned long>(*var->val.integer) & 0xffffffffUL);
    case ASN_COUNTER64:
        return name + "70|" +
               std::to_string((static_cast<uint64_t>(var->val.counter64->high) << 32) | var->val.counter64->low);
    default:
        return name + "5|";
    }
}

struct WalkState {
    std::vector<oid> root;
    std::vector<oid> cursor;
    size_t objects = 0;
    bool done = false;
    std::vector<std::string> *record = nullptr;
};

// Consumes one response; false when the walk cannot go on (out of order).
bool takeVariables(WalkState &walk, const netsnmp_variable_list *vars)
{
    if (!vars)
        walk.done = true;
    for (const netsnmp_variable_list *var = vars; var && !walk.done; var = var->next_variable) {
        if (var->type == SNMP_ENDOFMIBVIEW || var->type == SNMP_NOSUCHOBJECT || var->type == SNMP_NOSUCHINSTANCE ||
            snmp_oidtree_compare(walk.root.data(), walk.root.size(), var->name, var->name_length) != 0) {
            walk.done = true;
            break;
        }
        if (snmp_oid_compare(var->name, var->name_length, walk.cursor.data(), walk.cursor.size()) <= 0)
            return false;
        walk.cursor.assign(var->name, var->name + var->name_length);
        ++walk.objects;
        if (walk.record)
            walk.record->push_back(snmprecLine(var));
        if (walk.objects >= maxWalkObjects)
            walk.done = true;
    }
    return true;
}

// One GETNEXT (repetitions 0) or GETBULK walk of the subtree; nullopt on a
// timeout, an error status or answers out of order.
std::optional<size_t> walkOnce(void *session, WalkState walk, long repetitions, Clock::time_point deadline)
{
    walk.cursor = walk.root;
    while (!walk.done) {
        if (Clock::now() > deadline)
            return std::nullopt;
        netsnmp_pdu *request = snmp_pdu_create(repetitions > 0 ? SNMP_MSG_GETBULK : SNMP_MSG_GETNEXT);
        if (repetitions > 0) {
            request->non_repeaters = 0;
            request->max_repetitions = repetitions;
        }
        snmp_add_null_var(request, walk.cursor.data(), walk.cursor.size());
        netsnmp_pdu *response = nullptr;
        const int status = snmp_sess_synch_response(session, request, &response);
        const bool ok = status == STAT_SUCCESS && response && response->errstat == SNMP_ERR_NOERROR &&
                        takeVariables(walk, response->variables);
        if (response)
            snmp_free_pdu(response);
        if (!ok)
            return std::nullopt;
    }
    return walk.objects;
}

Clock::time_point deadlineAfter(Clock::time_point start, double seconds)
{
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

struct WalkSeries {
    std::vector<double> seconds; // one per completed walk
    size_t objects = 0;
    bool failed = false;
};

// Walks until `repeat` walks or the budget is spent. The first walk also
// records and always gets the whole budget plus a grace period to finish.
WalkSeries repeatWalks(void *session, WalkState walk, long repetitions, int repeat, Clock::time_point deadline)
{
    WalkSeries series;
    for (int i = 0; i < repeat && (i == 0 || Clock::now() < deadline); ++i) {
        const auto walkStart = Clock::now();
        const auto result =
            walkOnce(session, walk, repetitions, std::max(deadline, walkStart) + std::chrono::seconds(10));
        if (!result) {
            series.failed = true;
            break;
        }
        series.seconds.push_back(secondsSince(walkStart));
        series.objects = *result;
        walk.record = nullptr;
    }
    return series;
}

void writeLines(const std::string &path, const std::vector<std::string> &lines)
{
    std::ofstream file(path);
    for (const std::string &line : lines)
        file << line << '\n';
}

int runWalk(const Options &options)
{
    const auto root = parseOid(options.text("root", "1.3.6.1"));
    void *session = root ? openSession(options) : nullptr;
    if (!session) {
        std::fprintf(stderr, "walk: bad --root or cannot open a session to %s\n", options.text("target").c_str());
        return 1;
    }
    WalkState walk;
    walk.root.assign(root->begin(), root->end());
    std::vector<std::string> lines;
    const std::string recordPath = options.text("record");
    if (!recordPath.empty())
        walk.record = &lines;
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    WalkSeries series = repeatWalks(session, walk, static_cast<long>(options.number("bulk", 0)),
                                    std::clamp(static_cast<int>(options.number("repeat", 20)), 1, 1000),
                                    deadlineAfter(start, options.number("seconds", 3.0)));
    const double cpu = cpuSeconds() - cpuStart;
    const double wall = secondsSince(start);
    snmp_sess_close(session);

    const bool ok = !series.failed && !series.seconds.empty();
    if (ok && !recordPath.empty())
        writeLines(recordPath, lines);
    std::sort(series.seconds.begin(), series.seconds.end());
    std::printf("{\"ok\": %s, \"objects\": %zu, \"walks\": %zu, \"median_s\": %.6f, \"min_s\": %.6f, "
                "\"client_cpu_s\": %.4f, \"wall_s\": %.4f}\n",
                ok ? "true" : "false", series.objects, series.seconds.size(),
                ok ? series.seconds[series.seconds.size() / 2] : 0.0, ok ? series.seconds.front() : 0.0, cpu, wall);
    return ok ? 0 : 1;
}

// ---- GET load on raw datagrams ----

struct Target {
    sockaddr_in address{};
    std::string community;
};

struct ClientTally {
    uint64_t answered = 0;
    uint64_t timeouts = 0;
    uint64_t errors = 0;
    std::vector<uint32_t> latenciesUs;
};

std::optional<Target> parseTarget(const Options &options)
{
    const std::string text = options.text("target");
    const size_t colon = text.rfind(':');
    Target target;
    target.address.sin_family = AF_INET;
    if (colon == std::string::npos || inet_pton(AF_INET, text.substr(0, colon).c_str(), &target.address.sin_addr) != 1)
        return std::nullopt;
    target.address.sin_port = htons(static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1)));
    target.community = options.text("community", "maplet");
    return target;
}

std::vector<std::vector<uint32_t>> readOids(const std::string &path)
{
    std::vector<std::vector<uint32_t>> oids;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line) && oids.size() < maxWalkObjects) {
        if (auto parsed = parseOid(line.substr(0, line.find('|'))))
            oids.push_back(*parsed);
    }
    return oids;
}

int openClientSocket(const Target &target, double timeout)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(timeout);
    wait.tv_usec = static_cast<suseconds_t>((timeout - wait.tv_sec) * 1e6);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&target.address), sizeof target.address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

enum class Outcome { Answered, Failed, TimedOut, Refused };

// Waits for the answer to requestId, skipping late answers to earlier ones.
Outcome awaitAnswer(int fd, uint32_t requestId)
{
    uint8_t buffer[65536];
    for (int stale = 0; stale < 64; ++stale) {
        const ssize_t size = recv(fd, buffer, sizeof buffer, 0);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Outcome::TimedOut;
        if (size < 0)
            return errno == ECONNREFUSED ? Outcome::Refused : Outcome::Failed;
        const ResponseCheck check = checkGetResponse(buffer, static_cast<size_t>(size), requestId);
        if (check != ResponseCheck::OtherRequest)
            return check == ResponseCheck::Ok ? Outcome::Answered : Outcome::Failed;
    }
    return Outcome::Failed;
}

// One closed-loop client: the next request leaves when the last is answered
// or has timed out.
void runClient(const Target &target, std::vector<GetPacket> packets, int index, Clock::time_point deadline,
               double timeout, ClientTally &tally)
{
    const int fd = openClientSocket(target, timeout);
    if (fd < 0)
        return;
    uint32_t requestId = 0x01000000u + static_cast<uint32_t>(index) * 0x00100000u;
    size_t next = static_cast<size_t>(index) * 37; // clients start on different objects
    for (uint64_t n = 0; n < maxRequestsPerClient && Clock::now() < deadline; ++n) {
        GetPacket &packet = packets[next++ % packets.size()];
        requestId = requestId >= 0x7ffffff0u ? 0x01000000u : requestId + 1;
        setRequestId(packet, requestId);
        const auto sent = Clock::now();
        const Outcome outcome =
            send(fd, packet.bytes.data(), packet.bytes.size(), 0) < 0 ? Outcome::Refused : awaitAnswer(fd, requestId);
        if (outcome == Outcome::Answered) {
            ++tally.answered;
            if (tally.latenciesUs.size() < maxLatencySamples)
                tally.latenciesUs.push_back(static_cast<uint32_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count()));
        } else if (outcome == Outcome::TimedOut) {
            ++tally.timeouts;
        } else {
            ++tally.errors;
            if (outcome == Outcome::Refused)
                usleep(1000); // the peer is gone: do not spin on ECONNREFUSED
        }
    }
    close(fd);
}

double percentile(std::vector<uint32_t> &samples, double fraction)
{
    if (samples.empty())
        return 0;
    const size_t rank = std::min(samples.size() - 1, static_cast<size_t>(fraction * samples.size()));
    std::nth_element(samples.begin(), samples.begin() + rank, samples.end());
    return samples[rank];
}

ClientTally runClients(const Target &target, const std::vector<GetPacket> &packets, int clients,
                       Clock::time_point deadline, double timeout)
{
    std::vector<ClientTally> tallies(clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(runClient, std::cref(target), packets, i, deadline, timeout, std::ref(tallies[i]));
    for (std::thread &thread : threads)
        thread.join();
    ClientTally total;
    for (ClientTally &tally : tallies) {
        total.answered += tally.answered;
        total.timeouts += tally.timeouts;
        total.errors += tally.errors;
        total.latenciesUs.insert(total.latenciesUs.end(), tally.latenciesUs.begin(), tally.latenciesUs.end());
    }
    return total;
}

int runLoad(const Options &options)
{
    const auto target = parseTarget(options);
    const auto oids = readOids(options.text("oids"));
    if (!target || oids.empty()) {
        std::fprintf(stderr, "load: bad --target or no OIDs in --oids file\n");
        return 1;
    }
    std::vector<GetPacket> packets;
    for (const auto &oid : oids)
        packets.push_back(encodeGetRequest(target->community, oid));
    const int clients = std::clamp(static_cast<int>(options.number("clients", 1)), 1, 64);
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    ClientTally total = runClients(*target, packets, clients, deadlineAfter(start, options.number("seconds", 3.0)),
                                   options.number("timeout", 1.0));
    const double wall = secondsSince(start);
    const double cpu = cpuSeconds() - cpuStart;

    const double p50 = percentile(total.latenciesUs, 0.50);
    const double p99 = percentile(total.latenciesUs, 0.99);
    std::printf("{\"ok\": %s, \"clients\": %d, \"answered\": %llu, \"timeouts\": %llu, \"errors\": %llu, "
                "\"rate\": %.1f, \"p50_us\": %.0f, \"p99_us\": %.0f, \"client_cpu_s\": %.4f, \"wall_s\": %.4f}\n",
                total.answered > 0 ? "true" : "false", clients, static_cast<unsigned long long>(total.answered),
                static_cast<unsigned long long>(total.timeouts), static_cast<unsigned long long>(total.errors),
                total.answered / wall, p50, p99, cpu, wall);
    return total.answered > 0 ? 0 : 1;
}

// Retries one GET until anything answers: readiness of a freshly started peer.
int runProbe(const Options &options)
{
    const auto target = parseTarget(options);
    const auto oid = parseOid(options.text("oid", "1.3.6.1.2.1.1.1.0"));
    if (!target || !oid)
        return 1;
    GetPacket packet = encodeGetRequest(target->community, *oid);
    const int fd = openClientSocket(*target, 0.1);
    const auto deadline = deadlineAfter(Clock::now(), options.number("seconds", 10.0));
    bool answered = false;
    for (uint32_t id = 0x01000001u; fd >= 0 && !answered && Clock::now() < deadline; ++id) {
        setRequestId(packet, id);
        const Outcome outcome =
            send(fd, packet.bytes.data(), packet.bytes.size(), 0) < 0 ? Outcome::Refused : awaitAnswer(fd, id);
        answered = outcome == Outcome::Answered;
        if (outcome == Outcome::Refused || outcome == Outcome::Failed)
            usleep(100000); // not listening or not ready yet
    }
    if (fd >= 0)
        close(fd);
    std::printf("{\"ok\": %s}\n", answered ? "true" : "false");
    return answered ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const auto options = parseArguments(argc, argv);
    if (options && options->mode == "walk")
        return runWalk(*options);
    if (options && options->mode == "load")
        return runLoad(*options);
    if (options && options->mode == "probe")
        return runProbe(*options);
    std::fprintf(stderr,
                 "usage: vivoe-bench-client walk  --target IP:PORT [--community C] [--root OID] [--bulk N]\n"
                 "                                [--repeat N] [--seconds S] [--record FILE]\n"
                 "       vivoe-bench-client load  --target IP:PORT [--community C] --oids FILE [--clients N]\n"
                 "                                [--seconds S] [--timeout S]\n"
                 "       vivoe-bench-client probe --target IP:PORT [--community C] [--oid OID] [--seconds S]\n");
    return 2;
}
