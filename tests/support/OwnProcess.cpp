// SPDX-License-Identifier: Apache-2.0
#include "support/OwnProcess.h"

#include "support/ChildProcess.h"
#include "support/Json.h"
#include "support/LoadedLibrary.h"

#include <sys/wait.h>

#include <filesystem>

namespace TestSupport {
bool passedInOwnProcess(const std::string& test)
{
    const pid_t child = startChild({std::filesystem::read_symlink("/proc/self/exe"), "--gtest_filter=" + test},
                                   {{1, 1}, {2, 2}});
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
std::string initialAnswer(const std::string& initialise)
{
    CapturingChannel channel;
    channel.connect();
    channel.send(initialise);
    std::string pairs;
    if (channel.waitForCount(1, std::chrono::seconds(60))) {
        const rapidjson::Document message = parseJson(channel.message(0));
        for (const auto& [key, value] : updatedPairs(message)) pairs += " " + key + "=" + value;
        pairs += std::string(" deviceId=") + message["data"]["deviceId"].GetString() + " ";
    }
    channel.disconnect();
    return pairs;
}
}  // namespace TestSupport
