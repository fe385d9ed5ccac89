// SPDX-License-Identifier: Apache-2.0
// cvclient-rdp-test-host CERT KEY: prints "PORT n", takes one FreeRDP client on 127.0.0.1, opens the dynamic channel
// "Corvane", sends an Initialise in three writes, checks the answer, logs the client off; PASS or FAIL.
#include <freerdp/channels/channels.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/listener.h>
#include <winpr/ssl.h>
#include <winpr/wtsapi.h>
#include <rapidjson/document.h>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

namespace {
char** gArguments = nullptr;
freerdp_peer* gPeer = nullptr;
HANDLE gManager = nullptr, gChannel = nullptr;
enum Phase { Activation, DynamicChannels, Opening, Answer, Done } gPhase = Activation;
std::string gFailure, gIncoming;

BOOL onPeerAccepted(freerdp_listener*, freerdp_peer* peer)
{
    peer->ContextNew = [](freerdp_peer*, rdpContext* context) -> BOOL {
        return (gManager = WTSOpenServerA(reinterpret_cast<LPSTR>(context))) != nullptr;
    };
    peer->ContextFree = [](freerdp_peer*, rdpContext*) { WTSCloseServer(gManager); };
    if (gPeer != nullptr || !freerdp_peer_context_new(peer)) { return FALSE; }  // one client per run
    rdpSettings* settings = peer->context->settings;
    peer->PostConnect = peer->Activate = [](freerdp_peer*) -> BOOL { return TRUE; };
    if (!freerdp_settings_set_string(settings, FreeRDP_CertificateFile, gArguments[1]) ||
        !freerdp_settings_set_string(settings, FreeRDP_PrivateKeyFile, gArguments[2]) ||
        !freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, FALSE) ||
        !freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, TRUE) ||
        !freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, FALSE) || !peer->Initialize(peer)) {
        freerdp_peer_context_free(peer);
        return FALSE;
    }
    gPeer = peer;
    return TRUE;
}

Phase fail(const std::string& reason) { return gFailure = reason, Done; }

void advance()
{
    void* answer = nullptr;
    DWORD bytes = 0;
    if (gPhase == Activation && gPeer->activated) {  // then the dynamic channel service, then the channel
        gPhase = WTSVirtualChannelManagerIsChannelJoined(gManager, "drdynvc") ? DynamicChannels : fail("no drdynvc");
    } else if (gPhase == DynamicChannels && WTSVirtualChannelManagerGetDrdynvcState(gManager) == DRDYNVC_STATE_READY) {
        if (WTSQuerySessionInformationA(gManager, WTS_CURRENT_SESSION, WTSSessionId, reinterpret_cast<LPSTR*>(&answer),
                                        &bytes)) {
            gChannel = WTSVirtualChannelOpenEx(*static_cast<ULONG*>(answer), const_cast<LPSTR>("Corvane"),
                                               WTS_CHANNEL_OPTION_DYNAMIC);
        }
        gPhase = gChannel != nullptr ? Opening : fail("cannot open the dynamic channel");
    } else if (gPhase == Opening) {
        if (!WTSVirtualChannelQuery(gChannel, WTSVirtualChannelReady, &answer, &bytes)) {
            gPhase = fail("the client refused the dynamic channel Corvane");
        } else if (*static_cast<BOOL*>(answer)) {
            std::string packet = R"({"id":"Initialize","data":{"propertyCheckInterval":60000,"properties":)"
                                 R"([{"name":"Corvane","status":2}]}})";
            const uint32_t header[3] = {1, static_cast<uint32_t>(packet.size() + 12), 1};
            packet.insert(0, reinterpret_cast<const char*>(header), sizeof(header));
            for (const auto& [from, to] : {std::pair<std::size_t, std::size_t>{0, 5}, {5, 32}, {32, packet.size()}}) {
                ULONG written = 0;
                WTSVirtualChannelWrite(gChannel, packet.data() + from, static_cast<ULONG>(to - from), &written);
            }
            gPhase = Answer;
        }
    } else if (gPhase == Answer) {
        char piece[65536];
        ULONG read = 0;
        while (WTSVirtualChannelRead(gChannel, 0, piece, sizeof(piece), &read) && read > 0) { gIncoming.append(piece, read); }
        uint32_t header[3];
        if (gIncoming.size() >= 12 && (std::memcpy(header, gIncoming.data(), 12), gIncoming.size() >= header[1])) {
            // One whole packet of JSON: the initial properties with the library's version.
            const std::string payload = gIncoming.substr(12);
            rapidjson::Document message;
            gPhase = header[0] == 1 && header[1] == gIncoming.size() && header[2] == 1 &&
                             !message.Parse(payload.data(), payload.size()).HasParseError() &&
                             payload.rfind(R"({"id":"initializeDeviceProperties")", 0) == 0 &&
                             payload.find(R"(["DEVICE_CORVANE_VERSION",")") != std::string::npos
                         ? Done : fail("not one packet of initial properties");
        }
    }
    if (answer != nullptr) { WTSFreeMemory(answer); }
}
}  // namespace

int main(int argc, char** argv)
{
    if ((gArguments = argv), argc != 3) { return std::cerr << "usage: cvclient-rdp-test-host CERT KEY\n", 2; }
    signal(SIGPIPE, SIG_IGN);
    WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());
    winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);
    // Our own socket, for the free port the kernel picks.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    freerdp_listener* listener = freerdp_listener_new();
    listener->PeerAccepted = onPeerAccepted;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || !listener->OpenFromSocket(listener, fd)) {
        return std::cout << "FAIL cannot listen on 127.0.0.1" << std::endl, 1;
    }
    std::cout << "PORT " << ntohs(address.sin_port) << std::endl;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    while (gPeer == nullptr && std::chrono::steady_clock::now() < deadline) {
        WaitForMultipleObjects(listener->GetEventHandles(listener, handles, MAXIMUM_WAIT_OBJECTS), handles, FALSE, 100);
        listener->CheckFileDescriptor(listener);
    }
    listener->Close(listener);
    bool connected = gPeer != nullptr;
    gFailure = connected ? "" : "no client came";
    while (connected && gPhase != Done) {
        DWORD count = gPeer->GetEventHandles(gPeer, handles, MAXIMUM_WAIT_OBJECTS - 1);
        handles[count++] = WTSVirtualChannelManagerGetEventHandle(gManager);
        WaitForMultipleObjects(count, handles, FALSE, 100);
        connected = gPeer->CheckFileDescriptor(gPeer) && WTSVirtualChannelManagerCheckFileDescriptor(gManager);
        if (!connected || std::chrono::steady_clock::now() > deadline) {
            gPhase = fail((connected ? "timed out in phase " : "the client left in phase ") + std::to_string(gPhase));
        } else { advance(); }
    }
    if (gPeer != nullptr) {
        // Close the channel, log the client off and let it leave.
        gChannel != nullptr && WTSVirtualChannelClose(gChannel);
        WTSVirtualChannelManagerCheckFileDescriptor(gManager);
        connected = connected && gPeer->Close(gPeer);
        for (int i = 0; connected && i < 150; ++i) {
            WaitForMultipleObjects(gPeer->GetEventHandles(gPeer, handles, MAXIMUM_WAIT_OBJECTS), handles, FALSE, 100);
            connected = gPeer->CheckFileDescriptor(gPeer);
        }
        gPeer->Disconnect(gPeer);
        freerdp_peer_context_free(gPeer);
        freerdp_peer_free(gPeer);
    }
    freerdp_listener_free(listener);
    std::cout << (gFailure.empty() ? "PASS" : "FAIL " + gFailure) << std::endl;
    return gFailure.empty() ? 0 : 1;
}
