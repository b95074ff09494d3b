// SPDX-License-Identifier: MIT
// The ledger of connections and bytes per owner, on made-up looks and
// stream records: each case a sequence of steps and the totals it must end
// with.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "traffic_ledger.h"

namespace sockscope_tool {

void PrintTo(const TrafficCounts& c, std::ostream* out) {
    *out << "{open " << c.open << ", opened " << c.opened << ", closed " << c.closed << ", sent " << c.bytes_sent
         << ", received " << c.bytes_received << "}";
}

namespace {

const TrafficKey web{0, "web", "c1", false};
const TrafficKey db{0, "db", "", false};
const TrafficKey cache{0, "cache", "", false};
const TrafficKey other{0, "", "", true};

struct Look {
    std::vector<LiveConnection> connections;
    bool changes_recorded = true;
};
struct BeginLook {};
using Step = std::variant<Look, ConnectionChange, BeginLook>;

ConnectionChange opened(std::uint64_t cookie, const TrafficKey& key) { return {cookie, key, false, 0, 0}; }
ConnectionChange closed(std::uint64_t cookie, const TrafficKey& key, std::uint64_t sent, std::uint64_t received) {
    return {cookie, key, true, sent, received};
}

struct LedgerCase {
    const char* name;
    std::size_t max_keys;
    std::vector<Step> steps;
    std::map<TrafficKey, TrafficCounts> totals;
};

const std::vector<LedgerCase> ledger_cases = {
    {"a first look counts every byte so far",
     0,
     {Look{{{1, web, 100, 40}, {2, web, 10, 0}, {3, db, 0, 7}}}},
     {{web, {2, 0, 0, 110, 40}}, {db, {1, 0, 0, 0, 7}}}},
    {"later looks count the growth, a new cookie all of its bytes",
     0,
     {Look{{{1, web, 100, 40}}}, Look{{{1, web, 150, 45}, {2, web, 30, 3}}}},
     {{web, {2, 0, 0, 180, 48}}}},
    {"a counter that went back adds nothing",
     0,
     {Look{{{1, web, 100, 40}}}, Look{{{1, web, 90, 40}}}},
     {{web, {1, 0, 0, 100, 40}}}},
    {"a close adds what the looks had not seen of it",
     0,
     {Look{{{1, web, 100, 40}}}, closed(1, web, 130, 41), Look{{}}},
     {{web, {0, 0, 1, 130, 41}}}},
    {"a close below the last look (its SYN and FIN were counted) adds no bytes",
     0,
     {Look{{{1, web, 102, 41}}}, closed(1, web, 100, 40)},
     {{web, {1, 0, 1, 102, 41}}}},
    {"a connection that opened and closed between two looks counts whole",
     0,
     {Look{{}}, opened(7, db), closed(7, db, 5, 9), Look{{}}},
     {{db, {0, 1, 1, 5, 9}}}},
    {"a look older than a close record is not counted again",
     0,
     {Look{{{1, web, 10, 0}}}, BeginLook{}, closed(1, web, 50, 0), Look{{{1, web, 40, 0}}}, Look{{}}},
     {{web, {0, 0, 1, 50, 0}}}},
    {"nor is a connection that opened and closed while the look was taken",
     0,
     {Look{{}}, BeginLook{}, opened(4, db), closed(4, db, 9, 9), Look{{{4, db, 3, 3}}}},
     {{db, {0, 1, 1, 9, 9}}}},
    {"closes outside a look are not kept for it: a later look counts the cookie afresh",
     0,
     {Look{{}}, closed(5, db, 1, 1), BeginLook{}, Look{{{5, db, 2, 2}}}},
     {{db, {1, 0, 1, 3, 3}}}},
    {"a close goes to the key the looks followed it under",
     0,
     {Look{{{1, web, 10, 0}}}, closed(1, db, 20, 0)},
     {{web, {1, 0, 1, 20, 0}}}},
    {"without the stream, looks count cookies that came and went",
     0,
     {Look{{{1, web, 0, 0}}, false}, Look{{{1, web, 0, 0}, {2, web, 0, 0}, {3, db, 0, 0}}, false},
      Look{{{3, db, 0, 0}}, false}},
     {{web, {0, 1, 2, 0, 0}}, {db, {1, 1, 0, 0, 0}}}},
    {"a socket without a cookie (UDP) is open and has no bytes",
     0,
     {Look{{{0, cache, 0, 0}, {0, cache, 0, 0}}, false}, Look{{{0, cache, 0, 0}}, false}},
     {{cache, {1, 0, 0, 0, 0}}}},
    {"keys past the limit are counted under the overflow key",
     2,
     {Look{{{1, web, 10, 0}, {2, db, 20, 0}, {3, cache, 30, 0}}}, opened(9, TrafficKey{0, "new", "", false}),
      closed(9, TrafficKey{0, "new", "", false}, 4, 4)},
     {{web, {1, 0, 0, 10, 0}}, {db, {1, 0, 0, 20, 0}}, {other, {1, 1, 1, 34, 4}}}},
    {"a key admitted before the limit keeps its own series",
     1,
     {Look{{{1, web, 10, 0}}}, Look{{{2, db, 1, 0}, {3, web, 5, 0}}}},
     {{web, {1, 0, 0, 15, 0}}, {other, {1, 0, 0, 1, 0}}}},
};

class TrafficLedgerCases : public testing::TestWithParam<LedgerCase> {};

TEST_P(TrafficLedgerCases, EndsWithTheTotals) {
    const LedgerCase& c = GetParam();
    TrafficLedger ledger(c.max_keys);
    for (const Step& step : c.steps) {
        if (const Look* look = std::get_if<Look>(&step))
            ledger.look(look->connections, look->changes_recorded);
        else if (std::holds_alternative<BeginLook>(step))
            ledger.begin_look();
        else
            ledger.change(std::get<ConnectionChange>(step));
    }
    EXPECT_EQ(ledger.totals().size(), c.totals.size()) << c.name;
    for (const auto& [key, counts] : c.totals) {
        const auto found = ledger.totals().find(key);
        ASSERT_NE(found, ledger.totals().end()) << c.name << ": no totals for " << key.name;
        EXPECT_EQ(found->second, counts) << c.name << ": " << key.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, TrafficLedgerCases, testing::ValuesIn(ledger_cases));

TEST(TrafficLedger, FollowsOnlyTheConnectionsOfTheLastLook) {
    TrafficLedger ledger;
    std::vector<LiveConnection> many;
    for (std::uint64_t cookie = 1; cookie <= 1000; ++cookie) many.push_back({cookie, web, cookie, 0});
    ledger.look(many, true);
    EXPECT_EQ(ledger.followed(), 1000u);
    ledger.look({{5000, web, 1, 0}}, true);
    EXPECT_EQ(ledger.followed(), 1u);
}

TEST(TrafficRates, AreTheGrowthPerSecondAndTheBusiestComeFirst) {
    const std::map<TrafficKey, TrafficCounts> before = {{web, {3, 10, 8, 1000, 500}}, {db, {1, 0, 0, 0, 0}}};
    const std::map<TrafficKey, TrafficCounts> now = {
        {web, {4, 14, 10, 3000, 900}}, {db, {2, 2, 0, 100000, 0}}, {cache, {1, 1, 0, 0, 0}}};
    std::vector<TrafficRates> rates = traffic_rates(before, now, 2.0);
    sort_busiest_first(rates);
    ASSERT_EQ(rates.size(), 3u);
    EXPECT_EQ(rates[0].key, db);
    EXPECT_DOUBLE_EQ(rates[0].bytes_sent, 50000.0);
    EXPECT_EQ(rates[0].open, 2u);
    EXPECT_EQ(rates[1].key, web);
    EXPECT_DOUBLE_EQ(rates[1].opened, 2.0);
    EXPECT_DOUBLE_EQ(rates[1].closed, 1.0);
    EXPECT_DOUBLE_EQ(rates[1].bytes_sent, 1000.0);
    EXPECT_DOUBLE_EQ(rates[1].bytes_received, 200.0);
    EXPECT_EQ(rates[2].key, cache);
    EXPECT_DOUBLE_EQ(rates[2].opened, 0.5);
    // No time between two looks: no rates, never a division by zero.
    for (const TrafficRates& rate : traffic_rates(before, now, 0.0)) EXPECT_EQ(rate.bytes_sent, 0.0);
}

} // namespace
} // namespace sockscope_tool
