/* SPDX-License-Identifier: Apache-2.0 */
/*
 * cvclient.h - the session core's C interface.
 *
 * A transport (ICA virtual driver, RDP dynamic channel plugin, PCoIP plugin)
 * hands each open channel to the core through these functions. The transport
 * owns the TConnection record, zero-fills it before ClientConnected and keeps
 * it valid until ClientDisconnected has returned. The core writes every
 * outbound message through writeData, possibly from the thread that iterates
 * the GLib default main context; once ClientDisconnected has returned the core
 * never calls writeData for that record again.
 */
#ifndef CVCLIENT_H
#define CVCLIENT_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define CVCLIENT_EXPORT __attribute__((visibility("default")))
#else
#define CVCLIENT_EXPORT
#endif

typedef struct TConnection TConnection;

/* The transport's send function: data is NUL-terminated, length excludes the
 * NUL, and the pointer is valid only for the duration of the call. */
typedef void (*TWriteData)(TConnection* connection, const char* data, unsigned int length);

struct TConnection {
    void* clientConnection; /* the core's per-channel object; opaque to the transport */
    TWriteData writeData;
};

CVCLIENT_EXPORT bool ClientConnected(TConnection* connection);
CVCLIENT_EXPORT void ClientDataRead(TConnection* connection, const char* data, unsigned int length);
CVCLIENT_EXPORT void ClientDisconnected(TConnection* connection);

/* Logging: TRACE_INIT opens the log (once) and installs the fault handlers;
 * Log writes one printf-style line at a syslog level (3, 4, 6 or 7). */
CVCLIENT_EXPORT void TRACE_INIT(unsigned int flags);
CVCLIENT_EXPORT void Log(int level, const char* function, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
