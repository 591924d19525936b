// Pending-request table: expiry at 60 seconds, oldest-first claiming, caps, and agreement with a plain list.
#include "capture/detect/PendingRequestTable.h"

#include <gtest/gtest.h>

#include <list>
#include <random>

namespace tarnwick {
namespace {

ConnectionKey Key(uint8_t n, uint16_t port = 80) { return {{10, 0, 0, n}, {10, 0, 1, n}, 1000, port}; }

PendingRequest Entry(const ConnectionKey& key, const std::string& path) {
    PendingRequest entry;
    entry.key = key;
    entry.path = path;
    return entry;
}

TEST(PendingRequestTable, EntriesOlderThanSixtySecondsGoOnTheNextAdd) {
    PendingRequestTable table;
    table.Add(Entry(Key(1), "/sixty "), 1000);
    table.Add(Entry(Key(2), "/sixty-one "), 999);
    // Without a new Add nothing expires: a late response still claims its request.
    EXPECT_EQ(table.Size(), 2u);
    table.Add(Entry(Key(3), "/new "), 1060);
    EXPECT_EQ(table.Take(Key(1)).path, "/sixty ");
    EXPECT_TRUE(table.Take(Key(2)).IsEmpty());
    EXPECT_EQ(table.Take(Key(3)).timeAdded, 1060);
}

TEST(PendingRequestTable, TakeWithoutMatchChangesNothing) {
    PendingRequestTable table;
    EXPECT_TRUE(table.Take(Key(1)).IsEmpty());
    table.Add(Entry(Key(1), "/a "), 10);
    EXPECT_TRUE(table.Take(Key(1, 81)).IsEmpty());
    EXPECT_EQ(table.Size(), 1u);
    // Taking into a used entry leaves nothing of its old texts behind, on a miss as on a hit.
    PendingRequest reused = Entry(Key(2), "/old ");
    reused.host = "old-host";
    EXPECT_FALSE(table.Take(Key(3), reused));
    EXPECT_TRUE(reused.IsEmpty());
    reused.requestText = "stale";
    EXPECT_TRUE(table.Take(Key(1), reused));
    EXPECT_EQ(reused.path, "/a ");
    EXPECT_EQ(reused.host, "");
    EXPECT_EQ(reused.requestText, "");
    table.Add(Entry(Key(1), "/a "), 10);
    table.Clear();
    EXPECT_EQ(table.Size(), 0u);
    EXPECT_EQ(table.Bytes(), 0u);
}

TEST(PendingRequestTable, CapsDropTheOldestEntriesFirst) {
    PendingRequestTable byCount(3, 1u << 30);
    for (uint8_t i = 1; i <= 5; ++i) byCount.Add(Entry(Key(i), "/x "), 100);
    EXPECT_EQ(byCount.Size(), 3u);
    EXPECT_TRUE(byCount.Take(Key(2)).IsEmpty());
    EXPECT_FALSE(byCount.Take(Key(3)).IsEmpty());

    const size_t perEntry = PendingRequestTable::kEntryOverheadBytes + 1000;
    PendingRequestTable byBytes(1000, perEntry * 4);
    for (uint8_t i = 1; i <= 10; ++i) {
        PendingRequest entry = Entry(Key(i), "/x ");
        entry.requestText.assign(1000 - entry.path.size(), 'r');
        byBytes.Add(std::move(entry), 100);
        EXPECT_LE(byBytes.Bytes(), perEntry * 4 + 64);
    }
    EXPECT_FALSE(byBytes.Take(Key(10)).IsEmpty());
    EXPECT_TRUE(byBytes.Take(Key(1)).IsEmpty());
}

// The indexed table gives the same results as walking a plain list of every entry.
TEST(PendingRequestTable, AgreesWithAPlainListWalk) {
    std::mt19937 random(7);
    PendingRequestTable table;
    std::list<PendingRequest> plain;
    int64_t now = 1000;
    for (int step = 0; step < 5000; ++step) {
        now += static_cast<int64_t>(random() % 9) - 2;  // mostly forward, sometimes back
        const ConnectionKey key = Key(static_cast<uint8_t>(random() % 6), static_cast<uint16_t>(80 + random() % 2));
        if (random() % 2) {
            const std::string path = "/" + std::to_string(step) + " ";
            plain.remove_if([&](const PendingRequest& e) { return now - e.timeAdded > 60; });
            PendingRequest entry = Entry(key, path);
            entry.timeAdded = now;
            plain.push_back(entry);
            table.Add(Entry(key, path), now);
        } else {
            std::string expected;
            for (auto it = plain.begin(); it != plain.end(); ++it)
                if (it->key == key) {
                    expected = it->path;
                    plain.erase(it);
                    break;
                }
            ASSERT_EQ(table.Take(key).path, expected) << "step " << step;
        }
        ASSERT_EQ(table.Size(), plain.size()) << "step " << step;
    }
}

}  // namespace
}  // namespace tarnwick
