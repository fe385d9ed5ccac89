// SPDX-License-Identifier: Apache-2.0
#include "providers/device/IgelTools.h"

#include "base/ProgramAnswers.h"
#include "providers/device/OSDetect.h"

std::optional<std::string> IgelTools::registry(const std::string& key)
{
    if (!OSDetect::IsIgel()) {
        return std::nullopt;
    }
    return Base::ProgramAnswers::read("get", {key}, {kRegistryFile});
}

std::optional<std::string> IgelTools::unitId()
{
    if (!OSDetect::IsIgel()) {
        return std::nullopt;
    }
    return Base::ProgramAnswers::read("get_unit_id", {}, {});
}
