// SPDX-License-Identifier: Apache-2.0
// IGEL OS's command-line tools: `get`, which answers one key of the IGEL
// registry, and `get_unit_id`, which prints the device's unit id. Elsewhere
// (OSDetect) neither is started and each answer is nullopt.
//
// `get` answers from the registry's file, /wfs/group.ini, which IGEL's setup
// rewrites whenever a setting changes: an answer is kept while that file and
// the tool stay as they were (Base::ProgramAnswers). The unit id is kept while
// the tool stays as it was.
#pragma once

#include <optional>
#include <string>

class IgelTools {
public:
    static constexpr const char* kRegistryFile = "/wfs/group.ini";

    static std::optional<std::string> registry(const std::string& key);
    static std::optional<std::string> unitId();
};
