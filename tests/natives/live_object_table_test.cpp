// The table of live native objects: the answers for live, removed, mistyped and foreign
// addresses, growth and the moves of removal, and lookups that race with changes.
#include "natives/common/live_object_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

enum class Kind : uint8_t { none = 0, first, second, third, seventh = 7, eighth = 8 };

using Table = jnihandles::LiveObjectTable<Kind>;

struct Object {
    uint64_t payload = 0;
};

TEST(LiveObjectTable, KnowsEachObjectWithItsKindOnly)
{
    Table table;
    auto a = std::make_unique<Object>(), b = std::make_unique<Object>();
    table.add(a.get(), Kind::first);
    table.add(b.get(), Kind::second);
    EXPECT_TRUE(table.contains(a.get(), Kind::first));
    EXPECT_FALSE(table.contains(a.get(), Kind::second));
    EXPECT_TRUE(table.contains(b.get(), Kind::second));
    EXPECT_EQ(table.kindOf(b.get()), Kind::second);
    // Neither the address inside an object, nor 0, nor no kind.
    EXPECT_FALSE(table.contains(reinterpret_cast<char *>(a.get()) + 1, Kind::first));
    EXPECT_FALSE(table.contains(reinterpret_cast<char *>(a.get()) + 8, Kind::first));
    EXPECT_FALSE(table.contains(nullptr, Kind::first));
    EXPECT_FALSE(table.contains(a.get(), Kind::none));

    // Removal needs the right kind; a second removal finds nothing.
    EXPECT_FALSE(table.remove(a.get(), Kind::second));
    EXPECT_TRUE(table.remove(a.get(), Kind::first));
    EXPECT_FALSE(table.remove(a.get(), Kind::first));
    EXPECT_FALSE(table.contains(a.get(), Kind::first));
    EXPECT_EQ(table.take(a.get()), Kind::none);
    EXPECT_EQ(table.take(b.get()), Kind::second);
    EXPECT_EQ(table.size(), 0u);

    // Adding again replaces the kind.
    table.add(a.get(), Kind::first);
    table.add(a.get(), Kind::third);
    EXPECT_FALSE(table.contains(a.get(), Kind::first));
    EXPECT_TRUE(table.contains(a.get(), Kind::third));
    EXPECT_EQ(table.size(), 1u);
}

// Addresses that are not aligned and kinds that do not fit the low bits are kept too.
TEST(LiveObjectTable, KeepsWhatDoesNotFitThePackedForm)
{
    Table table;
    alignas(16) char storage[64];
    table.add(storage + 3, Kind::first);
    table.add(storage + 16, Kind::eighth);
    table.add(storage + 32, Kind::seventh);
    EXPECT_TRUE(table.contains(storage + 3, Kind::first));
    EXPECT_TRUE(table.contains(storage + 16, Kind::eighth));
    EXPECT_TRUE(table.contains(storage + 32, Kind::seventh));
    EXPECT_FALSE(table.contains(storage + 16, Kind::seventh));
    table.add(storage + 16, Kind::second);
    EXPECT_TRUE(table.contains(storage + 16, Kind::second));
    EXPECT_FALSE(table.contains(storage + 16, Kind::eighth));
    EXPECT_EQ(table.take(storage + 3), Kind::first);
    EXPECT_EQ(table.take(storage + 16), Kind::second);
    EXPECT_EQ(table.size(), 1u);
}

// Many objects, removed in random order: every removal that moves others keeps them findable,
// and nothing removed is found again.
TEST(LiveObjectTable, GrowsAndRemovesWithoutLosingAnyObject)
{
    Table table;
    std::vector<std::unique_ptr<Object>> objects;
    for (int i = 0; i < 5000; ++i) {
        objects.push_back(std::make_unique<Object>());
        table.add(objects.back().get(), static_cast<Kind>(1 + i % 3));
    }
    std::mt19937 random(7);
    std::vector<size_t> order(objects.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    for (size_t n = 0; n < order.size(); ++n) {
        size_t removed = order[n];
        ASSERT_TRUE(table.remove(objects[removed].get(), static_cast<Kind>(1 + removed % 3)));
        if (n % 97 == 0) {
            for (size_t m = 0; m < order.size(); ++m) {
                size_t i = order[m];
                ASSERT_EQ(table.contains(objects[i].get(), static_cast<Kind>(1 + i % 3)), m > n) << m;
            }
        }
    }
    EXPECT_EQ(table.size(), 0u);
}

// Lookups of objects that stay live never fail while other threads add and remove around them,
// through growth and backward shifts; a value that was never an object is never found.
TEST(LiveObjectTable, LookupsRacingWithChangesStayExact)
{
    Table table;
    std::vector<std::unique_ptr<Object>> stable;
    for (int i = 0; i < 200; ++i) {
        stable.push_back(std::make_unique<Object>());
        table.add(stable.back().get(), Kind::first);
    }
    std::atomic<bool> done{false};
    std::atomic<long> misses{0}, falseHits{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937_64 random(static_cast<unsigned>(r));
            while (!done) {
                for (const auto &object : stable)
                    if (!table.contains(object.get(), Kind::first))
                        ++misses;
                const void *foreign = reinterpret_cast<const void *>(random() << 4);
                if (table.contains(foreign, Kind::second))
                    ++falseHits;
            }
        });
    }
    std::thread writer([&] {
        std::vector<std::unique_ptr<Object>> churn;
        for (int round = 0; round < 200; ++round) {
            for (int i = 0; i < 50; ++i) {
                churn.push_back(std::make_unique<Object>());
                table.add(churn.back().get(), Kind::second);
            }
            for (size_t i = 0; i < churn.size(); i += 2)
                table.remove(churn[i].get(), Kind::second);
            std::vector<std::unique_ptr<Object>> kept;
            for (size_t i = 1; i < churn.size(); i += 2)
                kept.push_back(std::move(churn[i]));
            churn = std::move(kept);
        }
        for (const auto &object : churn)
            table.remove(object.get(), Kind::second);
    });
    writer.join();
    done = true;
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ(misses.load(), 0);
    EXPECT_EQ(falseHits.load(), 0);
    EXPECT_EQ(table.size(), stable.size());
}

}  // namespace
