// Makes the library's provider classes known to the factory.
#pragma once

class ClientProperties {
public:
    static void registerProviders();
};
