/* SPDX-License-Identifier: Apache-2.0 */
/*
 * PcoipChannel.h - the PCoIP client's virtual channel plugin interface, as we
 * assume it.
 *
 * The client does not publish this interface. Everything below is the layout
 * the plugin is written against: the client calls the plugin's exported
 * entry points, and hands pcoip_vchan_plugin_client_init a table of its own
 * functions. Every function of the table returns 0 on success unless stated
 * otherwise.
 *
 * Threads: the client raises connection events on threads of its own, one
 * event at a time. Channel events come on the client's threads too, except
 * that a channel's first events may come from inside openChannel, before it
 * returns. No event comes from inside send, receive or bytesAvailable.
 */
#ifndef CVCLIENT_PCOIP_CHANNEL_H
#define CVCLIENT_PCOIP_CHANNEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Connection events, the `event` argument of a connection-event callback. */
enum {
    PCOIP_CONNECTION_EVENT_STATE = 0,          /* eventData: const int*, the new state (0 = disconnected) */
    PCOIP_CONNECTION_EVENT_OPEN = 1,           /* the PCoIP connection opened; eventData unused */
    PCOIP_CONNECTION_EVENT_PEER_LOADED = 2,    /* the host side of the channel is loaded */
    PCOIP_CONNECTION_EVENT_PEER_NOT_LOADED = 3 /* the host side of the channel is not loaded */
};

/* The state reported by a state event and by connectionState(). */
enum { PCOIP_CONNECTION_STATE_DISCONNECTED = 0 };

/* Channel events, the `event` argument of a channel-event callback. */
enum {
    PCOIP_CHANNEL_EVENT_OPENED = 0,
    PCOIP_CHANNEL_EVENT_OPEN_REJECTED = 1,
    PCOIP_CHANNEL_EVENT_CLOSE_PENDING = 2,        /* the channel is closing */
    PCOIP_CHANNEL_EVENT_CLOSE_PENDING_OTHER = 3,  /* the channel is closing, second kind */
    PCOIP_CHANNEL_EVENT_RECEIVE_READY = 4,        /* eventData: const uint32_t*, bytes waiting */
    PCOIP_CHANNEL_EVENT_ERROR_DETECTED = 5
};

/* Called by the client for an event of the PCoIP connection. `context` is the
 * context given at registration, `connection` the registration's handle. */
typedef void (*PcoipConnectionEventCallback)(void* context, uint32_t connection, int event, const void* eventData);

/* Called by the client for an event of an open channel. `context` is the
 * context given when the channel was opened. */
typedef void (*PcoipChannelEventCallback)(void* context, uint32_t channel, int event, const void* eventData);

/* The first interface version whose table holds probeForHost. */
#define PCOIP_INTERFACE_VERSION_PROBE 3u

/* The send timeout that waits until everything is sent. */
#define PCOIP_WAIT_FOREVER 0xFFFFFFFFu

/* The client's function table, in the order the client lays it out. */
typedef struct PcoipClientInterface {
    /* The interface version; decides which slots exist. */
    uint32_t version;

    /* Registers for events of the PCoIP connection under the plugin's name;
     * the registration's handle is written to *handle. */
    int (*registerConnectionEvents)(const char* name, PcoipConnectionEventCallback callback, void* context,
                                    uint32_t* handle);

    /* Opens the virtual channel `name`. The plugin always passes flags 0,
     * priority 10 and reserved 0. The channel's handle is written to *channel;
     * its events go to `callback` with `context`. */
    int (*openChannel)(const char* name, uint32_t flags, uint32_t priority, uint32_t reserved,
                       PcoipChannelEventCallback callback, void* context, uint32_t* channel);

    /* Tells the client that opening `name` failed, so it can release what it
     * prepared for the channel. The plugin always passes reserved 0. */
    int (*channelRejected)(const char* name, uint32_t reserved);

    /* Closes an open channel. The plugin always passes 0 and 0. */
    int (*closeChannel)(uint32_t channel, uint32_t reserved1, uint32_t reserved2);

    /* Sends `size` bytes; the number sent is written to *sent. `timeout` in
     * milliseconds, PCOIP_WAIT_FOREVER to wait until everything is sent. */
    int (*send)(uint32_t channel, const void* buffer, uint32_t size, uint32_t* sent, uint32_t timeout);

    /* Receives at most `size` bytes without waiting (timeout 0); the number
     * received is written to *received. */
    int (*receive)(uint32_t channel, void* buffer, uint32_t size, uint32_t* received, uint32_t timeout);

    /* Writes the number of bytes waiting to be received to *count. */
    int (*bytesAvailable)(uint32_t channel, uint32_t* count);

    /* The state of the PCoIP connection: PCOIP_CONNECTION_STATE_DISCONNECTED
     * or another value. */
    int (*connectionState)(void);

    /* From version PCOIP_INTERFACE_VERSION_PROBE on only: asks the client to
     * look for the host side of channel `name`. Non-zero when the probe has
     * started. An older table ends before this slot. */
    int (*probeForHost)(const char* name);
} PcoipClientInterface;

/* The plugin's entry points, as the client calls them. */

/* Called once when the client loads the plugin. Returns 1 when the plugin
 * took the interface (even when its registration failed), 0 when it cannot
 * run; *context receives the plugin's per-client state. */
typedef int (*PcoipPluginClientInit)(const PcoipClientInterface* interface, const char* args, void** context);

/* Called once when the client unloads the plugin; `context` is what
 * client_init returned and is invalid afterwards. */
typedef void (*PcoipPluginClientExit)(void* context);

/* Writes the plugin's version, four dotted numbers NUL-terminated, to
 * `buffer`, which the client sizes for such a string. */
typedef void (*PcoipPluginGetVersion)(char* buffer);

/* The host-side entry points: the plugin refuses to run there. */
typedef int (*PcoipPluginServerInit)(uint32_t version, const char* args);
typedef int (*PcoipPluginServerExit)(void);

#ifdef __cplusplus
}
#endif

#endif
