// cvclient-rdp-test-host: a one-client RDP host for the end-to-end test of the
// "Corvane" dynamic virtual channel add-in inside a real FreeRDP client.
//
// It listens on 127.0.0.1, accepts one client (TLS security, no NLA), waits
// for the session's activation and the dynamic channel service, opens the
// dynamic channel "Corvane", sends an Initialise message and checks the framed
// answers: the initial device properties and, when asked, an update after a
// change on the endpoint. Then it closes the channel and logs the client off.
//
// stdout carries the lines the test script reads:
//   PORT n            first line: the port it listens on
//   STEP ...          progress, with milliseconds since the client connected
//   INITIAL           the initial properties arrived and were valid
//   TIMING ...        how long each stage took
//   PASS ... / FAIL ...  the verdict, last
// Exit status: 0 PASS, 1 FAIL, 2 bad usage.
#include <freerdp/channels/channels.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/freerdp.h>
#include <freerdp/listener.h>
#include <freerdp/peer.h>
#include <freerdp/settings.h>
#include <winpr/ssl.h>
#include <winpr/synch.h>
#include <winpr/wtsapi.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "cvclient-rdp-test-host";
constexpr std::size_t kHeaderSize = 12;
constexpr uint32_t kContentType = 1;
constexpr uint32_t kUtf8Json = 1;
constexpr uint32_t kMaximumPacketLength = 16U * 1024U * 1024U;
// How long the host waits for the client to leave after logging it off.
constexpr int kLogoffSeconds = 15;

struct Options {
    uint16_t port = 0;
    std::string certificate;
    std::string key;
    uint32_t interval = 1000;
    bool expectUpdate = false;
    bool expectRefusal = false;
    bool splitInitialise = false;
    std::optional<std::string> osVersionBefore;
    std::optional<std::string> osVersionAfter;
    std::string onInitial;
    std::string channelName = "Corvane";
    int timeoutSeconds = 60;
};

void usage(std::ostream& out)
{
    out << "usage: " << kProgram << " --cert FILE --key FILE [options]\n"
        << "  --port N               port on 127.0.0.1 (default 0: any free one)\n"
        << "  --cert FILE            TLS certificate (PEM)\n"
        << "  --key FILE             TLS private key (PEM)\n"
        << "  --interval MS          propertyCheckInterval sent in Initialise (default 1000)\n"
        << "  --expect-update        after the initial properties, wait for an update of DEVICE_OS_VERSION\n"
        << "  --os-version-before V  DEVICE_OS_VERSION the initial properties must carry\n"
        << "  --os-version-after V   DEVICE_OS_VERSION the update must carry\n"
        << "  --on-initial CMD       run CMD with /bin/sh once the initial properties arrived\n"
        << "  --split-initialise     send the Initialise packet in three channel writes, the first\n"
        << "                         one a part of the header\n"
        << "  --expect-refusal       pass only when the client refuses the dynamic channel\n"
        << "  --channel NAME         dynamic channel to open (default Corvane)\n"
        << "  --timeout S            give up after S seconds (default 60)\n";
}

bool parseNumber(const char* text, long minimum, long maximum, long& value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < minimum || parsed > maximum) {
        return false;
    }
    value = parsed;
    return true;
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::cerr << kProgram << ": " << arg << " needs a value\n";
                return nullptr;
            }
            return argv[++i];
        };
        long number = 0;
        if (arg == "--port") {
            const char* value = next();
            if (value == nullptr || !parseNumber(value, 0, 65535, number)) {
                return std::nullopt;
            }
            options.port = static_cast<uint16_t>(number);
        } else if (arg == "--cert" || arg == "--key" || arg == "--on-initial" || arg == "--channel" ||
                   arg == "--os-version-before" || arg == "--os-version-after") {
            const char* value = next();
            if (value == nullptr) {
                return std::nullopt;
            }
            if (arg == "--cert") {
                options.certificate = value;
            } else if (arg == "--key") {
                options.key = value;
            } else if (arg == "--on-initial") {
                options.onInitial = value;
            } else if (arg == "--channel") {
                options.channelName = value;
            } else if (arg == "--os-version-before") {
                options.osVersionBefore = value;
            } else {
                options.osVersionAfter = value;
            }
        } else if (arg == "--interval") {
            const char* value = next();
            if (value == nullptr || !parseNumber(value, 0, 86400000, number)) {
                return std::nullopt;
            }
            options.interval = static_cast<uint32_t>(number);
        } else if (arg == "--timeout") {
            const char* value = next();
            if (value == nullptr || !parseNumber(value, 1, 3600, number)) {
                return std::nullopt;
            }
            options.timeoutSeconds = static_cast<int>(number);
        } else if (arg == "--expect-update") {
            options.expectUpdate = true;
        } else if (arg == "--split-initialise") {
            options.splitInitialise = true;
        } else if (arg == "--expect-refusal") {
            options.expectRefusal = true;
        } else if (arg == "--help") {
            usage(std::cout);
            std::exit(0);
        } else {
            std::cerr << kProgram << ": unknown option " << arg << "\n";
            return std::nullopt;
        }
    }
    if (options.certificate.empty() || options.key.empty()) {
        std::cerr << kProgram << ": --cert and --key are required\n";
        return std::nullopt;
    }
    if (options.expectRefusal && options.expectUpdate) {
        std::cerr << kProgram << ": --expect-refusal and --expect-update exclude each other\n";
        return std::nullopt;
    }
    return options;
}

void say(const std::string& line)
{
    std::cout << line << std::endl;
}

long long millisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

uint32_t readLittleEndian32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void writeLittleEndian32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>((value >> shift) & 0xFFU));
    }
}

std::string initialiseMessage(uint32_t interval)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("id");
    writer.String("Initialize");
    writer.Key("data");
    writer.StartObject();
    writer.Key("propertyCheckInterval");
    writer.Uint(interval);
    writer.Key("softwareVersion");
    writer.String("20.1.0.0");
    writer.Key("properties");
    writer.StartArray();
    for (const char* category : {"OS", "Corvane"}) {
        writer.StartObject();
        writer.Key("name");
        writer.String(category);
        writer.Key("status");
        writer.Int(2);
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    writer.EndObject();
    return buffer.GetString();
}

std::vector<uint8_t> framePacket(const std::string& payload)
{
    std::vector<uint8_t> packet;
    packet.reserve(kHeaderSize + payload.size());
    writeLittleEndian32(packet, kContentType);
    writeLittleEndian32(packet, static_cast<uint32_t>(payload.size() + kHeaderSize));
    writeLittleEndian32(packet, kUtf8Json);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

// One device-properties message from the library, checked for its shape.
struct PropertiesMessage {
    std::string id;
    uint64_t index = 0;
    std::vector<std::pair<std::string, std::string>> updated;
    std::vector<std::string> removed;

    const std::string* value(const std::string& key) const
    {
        for (const auto& [name, text] : updated) {
            if (name == key) {
                return &text;
            }
        }
        return nullptr;
    }
};

// Empty string: valid; otherwise why not.
std::string parseProperties(const std::string& payload, PropertiesMessage& message)
{
    rapidjson::Document document;
    document.Parse(payload.data(), payload.size());
    if (document.HasParseError()) {
        return "payload is not JSON (error at offset " + std::to_string(document.GetErrorOffset()) + ")";
    }
    if (!document.IsObject()) {
        return "payload is not a JSON object";
    }
    auto member = [&](const rapidjson::Value& object, const char* name) -> const rapidjson::Value* {
        const auto found = object.FindMember(name);
        return found == object.MemberEnd() ? nullptr : &found->value;
    };
    const rapidjson::Value* id = member(document, "id");
    if (id == nullptr || !id->IsString()) {
        return "message has no string \"id\"";
    }
    message.id = id->GetString();
    const rapidjson::Value* index = member(document, "index");
    if (index == nullptr || !index->IsUint64()) {
        return "message has no unsigned \"index\"";
    }
    message.index = index->GetUint64();
    const rapidjson::Value* version = member(document, "version");
    if (version == nullptr || !version->IsInt() || version->GetInt() != 1) {
        return "message \"version\" is not 1";
    }
    const rapidjson::Value* time = member(document, "time");
    if (time == nullptr || !time->IsString() || time->GetStringLength() == 0) {
        return "message has no \"time\"";
    }
    const rapidjson::Value* data = member(document, "data");
    if (data == nullptr || !data->IsObject()) {
        return "message has no \"data\" object";
    }
    for (const char* name : {"deviceName", "deviceId", "deviceOS"}) {
        const rapidjson::Value* field = member(*data, name);
        if (field == nullptr || !field->IsString()) {
            return std::string("data has no string \"") + name + "\"";
        }
    }
    const rapidjson::Value* hops = member(*data, "multihopCount");
    if (hops == nullptr || !hops->IsInt()) {
        return "data has no integer \"multihopCount\"";
    }
    const rapidjson::Value* updated = member(*data, "updated");
    if (updated == nullptr || !updated->IsArray()) {
        return "data has no \"updated\" array";
    }
    for (const auto& pair : updated->GetArray()) {
        if (!pair.IsArray() || pair.Size() != 2 || !pair[0].IsString() || !pair[1].IsString()) {
            return "\"updated\" holds something other than [key, value] string pairs";
        }
        message.updated.emplace_back(pair[0].GetString(), std::string(pair[1].GetString(), pair[1].GetStringLength()));
    }
    const rapidjson::Value* removed = member(*data, "removed");
    if (removed == nullptr || !removed->IsArray()) {
        return "data has no \"removed\" array";
    }
    for (const auto& key : removed->GetArray()) {
        if (!key.IsString()) {
            return "\"removed\" holds something other than strings";
        }
        message.removed.emplace_back(key.GetString());
    }
    return "";
}

// Runs `command` with /bin/sh and waits for it; its exit status, or -1.
int runHook(const std::string& command)
{
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What FreeRDP gives each peer: the standard context plus the channel manager.
struct HostContext {
    rdpContext base;
    HANDLE channelManager;
    BOOL activated;
};

BOOL onContextNew(freerdp_peer*, rdpContext* context)
{
    auto* host = reinterpret_cast<HostContext*>(context);
    host->activated = FALSE;
    host->channelManager = WTSOpenServerA(reinterpret_cast<LPSTR>(context));
    return host->channelManager != nullptr && host->channelManager != INVALID_HANDLE_VALUE;
}

void onContextFree(freerdp_peer*, rdpContext* context)
{
    auto* host = reinterpret_cast<HostContext*>(context);
    if (host->channelManager != nullptr && host->channelManager != INVALID_HANDLE_VALUE) {
        WTSCloseServer(host->channelManager);
    }
    host->channelManager = nullptr;
}

BOOL onPostConnect(freerdp_peer*)
{
    return TRUE;
}

BOOL onActivate(freerdp_peer* peer)
{
    reinterpret_cast<HostContext*>(peer->context)->activated = TRUE;
    return TRUE;
}

struct Listening {
    const Options* options = nullptr;
    freerdp_peer* peer = nullptr;
    std::string failure;
};

BOOL onPeerAccepted(freerdp_listener* listener, freerdp_peer* peer)
{
    auto* listening = static_cast<Listening*>(listener->info);
    if (listening->peer != nullptr) {
        // One client per run; the listener drops the others.
        return FALSE;
    }
    peer->ContextSize = sizeof(HostContext);
    peer->ContextNew = onContextNew;
    peer->ContextFree = onContextFree;
    if (!freerdp_peer_context_new(peer)) {
        listening->failure = "cannot create the peer context";
        return FALSE;
    }
    rdpSettings* settings = peer->context->settings;
    const bool configured =
        freerdp_settings_set_string(settings, FreeRDP_CertificateFile, listening->options->certificate.c_str()) &&
        freerdp_settings_set_string(settings, FreeRDP_PrivateKeyFile, listening->options->key.c_str()) &&
        freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, FALSE) &&
        freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, FALSE);
    peer->PostConnect = onPostConnect;
    peer->Activate = onActivate;
    if (!configured || !peer->Initialize(peer)) {
        listening->failure = "cannot initialise the peer";
        freerdp_peer_context_free(peer);
        return FALSE;
    }
    listening->peer = peer;
    return TRUE;
}

// The listening socket on 127.0.0.1, or -1.
int listenOn(uint16_t port, uint16_t& bound)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    bound = ntohs(address.sin_port);
    return fd;
}

// One client's session, driven from a single thread.
class Session {
public:
    Session(freerdp_peer* peer, const Options& options, Clock::time_point connected, Clock::time_point deadline)
        : _peer(peer), _options(options), _connected(connected), _deadline(deadline),
          _manager(reinterpret_cast<HostContext*>(peer->context)->channelManager)
    {
    }

    // The verdict: 0 PASS, 1 FAIL; the PASS or FAIL line is printed.
    int run()
    {
        step("client connected from " + std::string(_peer->hostname));
        const bool passed = drive();
        closeChannel();
        logOff();
        printTimings();
        if (passed) {
            say("PASS " + _verdict);
            return 0;
        }
        say("FAIL " + _verdict);
        return 1;
    }

private:
    enum class Phase { Activation, DynamicChannels, ChannelOpening, Initial, Update, Done };

    static const char* describe(Phase phase)
    {
        switch (phase) {
        case Phase::Activation:
            return "the session's activation";
        case Phase::DynamicChannels:
            return "the dynamic channel service";
        case Phase::ChannelOpening:
            return "the client's answer to the channel open";
        case Phase::Initial:
            return "the initial device properties";
        case Phase::Update:
            return "the device properties update";
        case Phase::Done:
            break;
        }
        return "nothing";
    }

    void step(const std::string& text) const
    {
        say("STEP +" + std::to_string(millisecondsBetween(_connected, Clock::now())) + "ms " + text);
    }

    bool fail(const std::string& reason)
    {
        _verdict = reason;
        return false;
    }

    bool drive()
    {
        while (_phase != Phase::Done) {
            HANDLE handles[MAXIMUM_WAIT_OBJECTS];
            DWORD count = _peer->GetEventHandles(_peer, handles, MAXIMUM_WAIT_OBJECTS - 2);
            if (count == 0) {
                return fail("the peer has no event handles");
            }
            handles[count++] = WTSVirtualChannelManagerGetEventHandle(_manager);
            if (_channelEvent != nullptr) {
                handles[count++] = _channelEvent;
            }
            const auto now = Clock::now();
            if (now >= _deadline) {
                return fail("timed out after " + std::to_string(_options.timeoutSeconds) + " s waiting for " +
                            describe(_phase));
            }
            const auto wait = std::min<long long>(100, millisecondsBetween(now, _deadline) + 1);
            if (WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(wait)) == WAIT_FAILED) {
                return fail("waiting for events failed");
            }
            if (!_peer->CheckFileDescriptor(_peer)) {
                _clientGone = true;
                return fail(std::string("the client disconnected while the host waited for ") + describe(_phase));
            }
            if (!WTSVirtualChannelManagerCheckFileDescriptor(_manager)) {
                return fail("the channel manager failed");
            }
            if (!advance()) {
                return false;
            }
        }
        return true;
    }

    bool advance()
    {
        auto* context = reinterpret_cast<HostContext*>(_peer->context);
        switch (_phase) {
        case Phase::Activation:
            if (!context->activated) {
                return true;
            }
            _activated = Clock::now();
            step("session activated");
            if (!WTSVirtualChannelManagerIsChannelJoined(_manager, "drdynvc")) {
                return fail("the client did not join the static channel drdynvc: it offers no dynamic channels");
            }
            _phase = Phase::DynamicChannels;
            return true;
        case Phase::DynamicChannels: {
            const BYTE state = WTSVirtualChannelManagerGetDrdynvcState(_manager);
            if (state == DRDYNVC_STATE_FAILED) {
                return fail("the dynamic channel service failed");
            }
            if (state != DRDYNVC_STATE_READY) {
                return true;
            }
            _dynamicChannelsReady = Clock::now();
            step("dynamic channel service ready");
            return openChannel();
        }
        case Phase::ChannelOpening:
            return checkChannelOpen();
        case Phase::Initial:
        case Phase::Update:
            return receive();
        case Phase::Done:
            break;
        }
        return true;
    }

    bool openChannel()
    {
        LPSTR buffer = nullptr;
        DWORD bytes = 0;
        if (!WTSQuerySessionInformationA(_manager, WTS_CURRENT_SESSION, WTSSessionId, &buffer, &bytes) ||
            buffer == nullptr || bytes < sizeof(ULONG)) {
            if (buffer != nullptr) {
                WTSFreeMemory(buffer);
            }
            return fail("cannot query the session id");
        }
        ULONG sessionId = 0;
        std::memcpy(&sessionId, buffer, sizeof(sessionId));
        WTSFreeMemory(buffer);
        _channel = WTSVirtualChannelOpenEx(sessionId, const_cast<LPSTR>(_options.channelName.c_str()),
                                           WTS_CHANNEL_OPTION_DYNAMIC);
        if (_channel == nullptr) {
            return fail("cannot open the dynamic channel " + _options.channelName);
        }
        _channelOpened = Clock::now();
        step("dynamic channel " + _options.channelName + " requested (session " + std::to_string(sessionId) + ")");
        _phase = Phase::ChannelOpening;
        return true;
    }

    bool checkChannelOpen()
    {
        void* buffer = nullptr;
        DWORD bytes = 0;
        const BOOL answered = WTSVirtualChannelQuery(_channel, WTSVirtualChannelReady, &buffer, &bytes);
        BOOL ready = FALSE;
        if (buffer != nullptr) {
            if (bytes >= sizeof(BOOL)) {
                std::memcpy(&ready, buffer, sizeof(ready));
            }
            WTSFreeMemory(buffer);
        }
        if (!answered) {
            // The client answered the open with a failure: nobody listens for the name.
            _channelAnswered = Clock::now();
            step("dynamic channel " + _options.channelName + " refused by the client");
            closeChannel();
            if (_options.expectRefusal) {
                _verdict = "the client refused the dynamic channel " + _options.channelName + " cleanly";
                _phase = Phase::Done;
                return true;
            }
            return fail("the client refused the dynamic channel " + _options.channelName +
                        ": no add-in accepted it");
        }
        if (!ready) {
            return true;
        }
        _channelAnswered = Clock::now();
        step("dynamic channel " + _options.channelName + " open");
        if (_options.expectRefusal) {
            return fail("the client accepted the dynamic channel " + _options.channelName +
                        " though a refusal was expected");
        }
        void* event = nullptr;
        bytes = 0;
        if (WTSVirtualChannelQuery(_channel, WTSVirtualEventHandle, &event, &bytes) && event != nullptr &&
            bytes >= sizeof(HANDLE)) {
            std::memcpy(&_channelEvent, event, sizeof(HANDLE));
        }
        if (event != nullptr) {
            WTSFreeMemory(event);
        }
        if (_channelEvent == nullptr) {
            return fail("cannot get the channel's event handle");
        }
        auto packet = framePacket(initialiseMessage(_options.interval));
        // Each write reaches the add-in as one piece.
        std::vector<std::size_t> cuts{0};
        if (_options.splitInitialise) {
            cuts.push_back(5);
            cuts.push_back(kHeaderSize + 20);
        }
        cuts.push_back(packet.size());
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            const ULONG length = static_cast<ULONG>(cuts[i + 1] - cuts[i]);
            ULONG written = 0;
            if (!WTSVirtualChannelWrite(_channel, reinterpret_cast<PCHAR>(packet.data() + cuts[i]), length, &written) ||
                written != length) {
                return fail("cannot write the Initialise message to the channel");
            }
        }
        _initialiseSent = Clock::now();
        step("Initialise sent (" + std::to_string(packet.size()) + " bytes in " + std::to_string(cuts.size() - 1) +
             " writes, propertyCheckInterval " + std::to_string(_options.interval) + " ms)");
        _phase = Phase::Initial;
        return true;
    }

    // Drains the channel into the reassembly buffer and handles every whole packet.
    bool receive()
    {
        for (;;) {
            ULONG size = 0;
            if (!WTSVirtualChannelRead(_channel, 0, nullptr, 0, &size)) {
                break;
            }
            std::vector<char> piece(std::max<ULONG>(size, 1));
            ULONG read = 0;
            if (!WTSVirtualChannelRead(_channel, 0, piece.data(), static_cast<ULONG>(piece.size()), &read)) {
                return fail("reading the channel failed");
            }
            ++_pieces;
            _incoming.insert(_incoming.end(), piece.begin(), piece.begin() + read);
        }
        while (_phase != Phase::Done && _incoming.size() >= kHeaderSize) {
            const uint32_t type = readLittleEndian32(_incoming.data());
            const uint32_t length = readLittleEndian32(_incoming.data() + 4);
            const uint32_t encoding = readLittleEndian32(_incoming.data() + 8);
            if (type != kContentType || encoding != kUtf8Json || length < kHeaderSize ||
                length > kMaximumPacketLength) {
                return fail("bad packet header: type " + std::to_string(type) + " length " + std::to_string(length) +
                            " encoding " + std::to_string(encoding));
            }
            if (_incoming.size() < length) {
                break;
            }
            const std::string payload(reinterpret_cast<const char*>(_incoming.data()) + kHeaderSize,
                                      length - kHeaderSize);
            _incoming.erase(_incoming.begin(), _incoming.begin() + length);
            ++_packets;
            if (!handle(payload)) {
                return false;
            }
        }
        return true;
    }

    bool handle(const std::string& payload)
    {
        PropertiesMessage message;
        const std::string problem = parseProperties(payload, message);
        if (!problem.empty()) {
            return fail("packet " + std::to_string(_packets) + ": " + problem + ": " + payload.substr(0, 300));
        }
        step("received " + message.id + " index " + std::to_string(message.index) + " with " +
             std::to_string(message.updated.size()) + " updated, " + std::to_string(message.removed.size()) +
             " removed (" + std::to_string(payload.size()) + " bytes; " + std::to_string(_pieces) +
             " channel reads so far)");
        if (_phase == Phase::Initial) {
            return handleInitial(message);
        }
        return handleUpdate(message);
    }

    bool handleInitial(const PropertiesMessage& message)
    {
        if (message.id != "initializeDeviceProperties") {
            return fail("the first message is " + message.id + ", not initializeDeviceProperties");
        }
        const std::string* version = message.value("DEVICE_CORVANE_VERSION");
        if (version == nullptr || version->empty()) {
            return fail("the initial properties lack DEVICE_CORVANE_VERSION");
        }
        const std::string* osVersion = message.value("DEVICE_OS_VERSION");
        if (_options.osVersionBefore && (osVersion == nullptr || *osVersion != *_options.osVersionBefore)) {
            return fail("the initial DEVICE_OS_VERSION is [" + (osVersion ? *osVersion : std::string("absent")) +
                        "], expected [" + *_options.osVersionBefore + "]");
        }
        _initialReceived = Clock::now();
        _initialIndex = message.index;
        _initialOsVersion = osVersion ? *osVersion : "";
        _verdict = "initializeDeviceProperties with DEVICE_CORVANE_VERSION " + *version + " and " +
                   std::to_string(message.updated.size()) + " keys";
        say("INITIAL");
        if (!_options.onInitial.empty()) {
            const int status = runHook(_options.onInitial);
            if (status != 0) {
                return fail("the --on-initial command exited with " + std::to_string(status));
            }
            _changed = Clock::now();
            step("--on-initial command done");
        }
        _phase = _options.expectUpdate ? Phase::Update : Phase::Done;
        return true;
    }

    bool handleUpdate(const PropertiesMessage& message)
    {
        if (message.id != "updateDeviceProperties") {
            return fail("after the initial properties came " + message.id + ", not updateDeviceProperties");
        }
        if (message.index <= _initialIndex) {
            return fail("the update's index " + std::to_string(message.index) + " does not follow the initial " +
                        std::to_string(_initialIndex));
        }
        const std::string* osVersion = message.value("DEVICE_OS_VERSION");
        if (osVersion == nullptr) {
            // Something else changed; keep waiting for the change the test made.
            return true;
        }
        if (_options.osVersionAfter ? *osVersion != *_options.osVersionAfter : *osVersion == _initialOsVersion) {
            return fail("the update carries DEVICE_OS_VERSION [" + *osVersion + "], expected [" +
                        _options.osVersionAfter.value_or("a changed value") + "]");
        }
        _updateReceived = Clock::now();
        _verdict += "; then updateDeviceProperties index " + std::to_string(message.index) +
                    " with DEVICE_OS_VERSION " + *osVersion;
        _phase = Phase::Done;
        return true;
    }

    void closeChannel()
    {
        if (_channel != nullptr) {
            WTSVirtualChannelClose(_channel);
            _channel = nullptr;
            _channelEvent = nullptr;
        }
    }

    // Logs the client off and waits for it to leave, pumping its connection.
    void logOff()
    {
        if (_clientGone) {
            return;
        }
        // Send what is queued (the channel's close) before the logoff.
        WTSVirtualChannelManagerCheckFileDescriptor(_manager);
        if (!_peer->Close(_peer)) {
            step("logoff could not be sent");
            return;
        }
        const auto limit = Clock::now() + std::chrono::seconds(kLogoffSeconds);
        while (Clock::now() < limit) {
            HANDLE handles[MAXIMUM_WAIT_OBJECTS];
            const DWORD count = _peer->GetEventHandles(_peer, handles, MAXIMUM_WAIT_OBJECTS);
            if (count == 0 || WaitForMultipleObjects(count, handles, FALSE, 100) == WAIT_FAILED) {
                break;
            }
            if (!_peer->CheckFileDescriptor(_peer)) {
                step("client left after the logoff");
                return;
            }
        }
        step("client still connected " + std::to_string(kLogoffSeconds) + " s after the logoff");
    }

    void printTimings() const
    {
        const Clock::time_point none{};
        std::string line = "TIMING";
        auto add = [&](const char* name, Clock::time_point from, Clock::time_point to) {
            if (from != none && to != none) {
                line += std::string(" ") + name + "=" + std::to_string(millisecondsBetween(from, to)) + "ms";
            }
        };
        add("connect-to-activation", _connected, _activated);
        add("activation-to-dvc-ready", _activated, _dynamicChannelsReady);
        add("channel-open-to-answer", _channelOpened, _channelAnswered);
        add("initialise-to-initial", _initialiseSent, _initialReceived);
        add("channel-open-to-initial", _channelOpened, _initialReceived);
        add("connect-to-initial", _connected, _initialReceived);
        add("change-to-update", _changed, _updateReceived);
        say(line);
    }

    freerdp_peer* _peer;
    const Options& _options;
    Clock::time_point _connected;
    Clock::time_point _deadline;
    HANDLE _manager;
    Phase _phase = Phase::Activation;
    HANDLE _channel = nullptr;
    HANDLE _channelEvent = nullptr;
    std::vector<uint8_t> _incoming;
    std::size_t _pieces = 0;
    std::size_t _packets = 0;
    uint64_t _initialIndex = 0;
    std::string _initialOsVersion;
    bool _clientGone = false;
    std::string _verdict;
    Clock::time_point _activated{}, _dynamicChannelsReady{}, _channelOpened{}, _channelAnswered{},
        _initialiseSent{}, _initialReceived{}, _changed{}, _updateReceived{};
};

}  // namespace

int main(int argc, char** argv)
{
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        usage(std::cerr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());
    winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);

    uint16_t port = 0;
    const int socketFd = listenOn(options->port, port);
    if (socketFd < 0) {
        say(std::string("FAIL cannot listen on 127.0.0.1:") + std::to_string(options->port) + ": " +
            std::strerror(errno));
        return 1;
    }
    say("PORT " + std::to_string(port));

    freerdp_listener* listener = freerdp_listener_new();
    if (listener == nullptr) {
        close(socketFd);
        say("FAIL cannot create the listener");
        return 1;
    }
    Listening listening;
    listening.options = &*options;
    listener->info = &listening;
    listener->PeerAccepted = onPeerAccepted;
    if (!listener->OpenFromSocket(listener, socketFd)) {
        close(socketFd);
        freerdp_listener_free(listener);
        say("FAIL cannot listen through FreeRDP");
        return 1;
    }

    const auto deadline = Clock::now() + std::chrono::seconds(options->timeoutSeconds);
    int result = 1;
    while (listening.peer == nullptr && listening.failure.empty()) {
        const auto now = Clock::now();
        if (now >= deadline) {
            listening.failure = "timed out after " + std::to_string(options->timeoutSeconds) +
                                " s waiting for a client to connect";
            break;
        }
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        const DWORD count = listener->GetEventHandles(listener, handles, MAXIMUM_WAIT_OBJECTS);
        if (count == 0) {
            listening.failure = "the listener has no event handles";
            break;
        }
        const auto wait = std::min<long long>(100, millisecondsBetween(now, deadline) + 1);
        if (WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(wait)) == WAIT_FAILED) {
            listening.failure = "waiting for a client failed";
            break;
        }
        if (!listener->CheckFileDescriptor(listener)) {
            listening.failure = "accepting a client failed";
            break;
        }
    }
    // No other client gets in.
    listener->Close(listener);

    if (listening.peer != nullptr) {
        Session session(listening.peer, *options, Clock::now(), deadline);
        result = session.run();
        listening.peer->Disconnect(listening.peer);
        freerdp_peer_context_free(listening.peer);
        freerdp_peer_free(listening.peer);
    } else {
        say("FAIL " + listening.failure);
    }
    freerdp_listener_free(listener);
    return result;
}
