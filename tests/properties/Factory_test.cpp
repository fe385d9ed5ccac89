// SPDX-License-Identifier: Apache-2.0
#include "properties/Factory.h"
#include "properties/Provider.h"

#include "providers/Categories.h"
#include "support/Categories.h"

#include <gtest/gtest.h>

// Every category of the table has a provider, and every provider compares the host's version the same way.
TEST(Factory, CreatesAProviderForEveryCategoryOfTheTableOnly)
{
    Factory::registerProviders(Categories::table());
    for (const Factory::Entry& entry : Categories::table()) {
        const std::unique_ptr<Provider> provider(Factory::createProvider(TestSupport::category(entry.name), "20.1"));
        ASSERT_NE(provider, nullptr) << entry.name;
        EXPECT_TRUE(provider->hostAtLeast(20, 1) && provider->hostAtLeast(19, 9) && !provider->hostAtLeast(20, 2));
    }
    EXPECT_EQ(Factory::createProvider(TestSupport::category("os"), ""), nullptr);
}

// A provider's first complete reading is kept for good.
TEST(Factory, ProvidersKeepTheirFirstCompleteReading)
{
    Provider::KeptReading kept;
    EXPECT_TRUE(kept.keep({}).empty() && !kept.get());
    EXPECT_EQ(kept.keep({{"A", "1"}}), (PropertyMap{{"A", "1"}}));
    EXPECT_EQ(kept.keep({{"A", "2"}}), (PropertyMap{{"A", "1"}}));
    EXPECT_EQ(kept.get(), (PropertyMap{{"A", "1"}}));
}
