// SPDX-License-Identifier: Apache-2.0
// FreeRDP's dynamic virtual channel client plugin interface, as the "Corvane"
// plugin uses it. FreeRDP 2's header declares no C linkage, so the entry
// point is declared here.
#pragma once

#include "core/cvclient.h"

#include <freerdp/dvc.h>

extern "C" CVCLIENT_EXPORT UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints);

namespace Rdp {

constexpr const char* kPluginName = "Corvane";
constexpr const char* kChannelName = "Corvane";

// Result codes toward the client.
constexpr UINT kSuccess = 0;
constexpr UINT kNoMemory = 12;
constexpr UINT kConnectionRefused = 10;

}  // namespace Rdp
