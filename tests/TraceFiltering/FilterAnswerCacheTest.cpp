#include "TraceFiltering/FilterAnswerCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport/Sandbox.h"

namespace {

constexpr Status kOn = Status::Enabled;
constexpr Status kOff = Status::Disabled;

struct Caches {
  explicit Caches(TraceFilterRules& rules) : labels(rules), clients(rules) {}
  KivCachedModuleLabelData<70, 30> labels;
  KivCachedModuleClientLabelData<70, 70, 30> clients;
};

TEST(FilterAnswerCache, AnswersAndNamesMatchTheRules) {
  TraceFilterRules rules;
  Caches cache(rules);
  rules.SetModuleStatus("Mod", kOn);
  rules.SetGlobalLabelStatus("Lab", kOn);
  rules.SetGlobalClientStatus("Cli", kOn);
  int m = rules.GetModuleHandle("Mod"), l = rules.GetLabelHandle("Lab"), off = rules.GetLabelHandle("Off");
  rules.RegisterClient(m, "Cli", 4);

  for (int round = 0; round < 2; ++round) {  // a fill, then a hit
    const char *module = nullptr, *client = nullptr, *label = nullptr;
    bool flag = false;
    ASSERT_EQ(cache.labels.GetCombinedData(m, l, &module, &label, &flag), kOn);
    EXPECT_STREQ(module, "Mod");
    EXPECT_STREQ(label, "Lab");
    EXPECT_TRUE(flag);
    module = label = nullptr;
    ASSERT_EQ(cache.clients.GetCombinedData(m, 4u, l, &module, &client, &label), kOn);
    EXPECT_STREQ(module, "Mod");
    EXPECT_STREQ(client, "Cli");
    EXPECT_STREQ(label, "Lab");

    module = "stale";
    EXPECT_EQ(cache.labels.GetCombinedData(m, off, &module), kOff);
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(cache.clients.GetCombinedData(m, 5u, l), kOff);
  }
}

TEST(FilterAnswerCache, HandlesBeyondTheCellsAreAskedOfTheRules) {
  TraceFilterRules rules;
  Caches cache(rules);
  for (int i = 0; i < 80; ++i) rules.SetModuleStatus("m" + std::to_string(i), kOn);
  for (int i = 0; i < 40; ++i) rules.SetGlobalLabelStatus("l" + std::to_string(i), i % 2 ? kOn : kOff);
  rules.SetGlobalClientStatus("C", kOn);
  int m = rules.GetModuleHandle("m75");
  rules.RegisterClient(m, "C", 100);
  rules.RegisterClient(3, "C", 100);
  for (int label = 0; label < 40; ++label) {
    Status expected = label % 2 ? kOn : kOff;
    EXPECT_EQ(cache.labels.GetCombinedData(m, label), expected);
    EXPECT_EQ(cache.labels.GetCombinedData(3, label), expected);
    EXPECT_EQ(cache.clients.GetCombinedData(m, 100u, label), expected);
    EXPECT_EQ(cache.clients.GetCombinedData(3, 100u, label), expected);
  }
  EXPECT_EQ(cache.labels.GetCombinedData(-1, 0), kOff);
  EXPECT_EQ(cache.labels.GetCombinedData(200, 0), kOff);
  EXPECT_EQ(cache.clients.GetCombinedData(3, 0xFFFFFFFFu, 1), kOff);
}

TEST(FilterAnswerCache, ARuleChangeIsSeenWithoutAnExplicitClear) {
  TraceFilterRules rules;
  Caches cache(rules);
  rules.SetModuleStatus("A", kOn);
  rules.SetGlobalLabelStatus("L", kOn);
  rules.SetGlobalClientStatus("C", kOn);
  int a = rules.GetModuleHandle("A"), l = rules.GetLabelHandle("L");
  EXPECT_EQ(cache.clients.GetCombinedData(a, 2u, l), kOff) << "not registered yet";
  rules.RegisterClient(a, "C", 2);
  EXPECT_EQ(cache.clients.GetCombinedData(a, 2u, l), kOn);
  EXPECT_EQ(cache.labels.GetCombinedData(a, l), kOn);

  rules.SetModuleLabelStatus("A", "L", kOff);
  EXPECT_EQ(cache.labels.GetCombinedData(a, l), kOff);
  EXPECT_EQ(cache.clients.GetCombinedData(a, 2u, l), kOff);

  rules.ResetStatus();
  rules.SetModuleStatus("A", kOn);
  rules.SetGlobalLabelStatus("L", kOn);
  EXPECT_EQ(cache.labels.GetCombinedData(a, l), kOn);
  rules.SetActive(false);
  EXPECT_EQ(cache.labels.GetCombinedData(a, l), kOff);
  rules.SetActive(true);
  EXPECT_EQ(cache.labels.GetCombinedData(a, l), kOn);

  // Explicit clears keep working and refill with the same answers.
  cache.labels.Clear();
  cache.clients.ClearClient(2);
  cache.clients.ClearClient(5000);
  EXPECT_EQ(cache.labels.GetCombinedData(a, l), kOn);
  EXPECT_EQ(cache.clients.GetCombinedData(a, 2u, l), kOff) << "C is no longer enabled after the reset";
}

// Readers hammer both caches (cells and beyond) while a writer flips rules,
// resets and clears. Run under ThreadSanitizer to check the lock-free path.
TEST(FilterAnswerCache, ConcurrentQueriesAndRuleChanges) {
  TraceFilterRules rules;
  Caches cache(rules);
  rules.SetModuleStatus("A", kOn);
  rules.SetGlobalClientStatus("C", kOn);
  int a = rules.GetModuleHandle("A");
  std::vector<int> labels;
  for (int i = 0; i < 35; ++i) labels.push_back(rules.GetLabelHandle("l" + std::to_string(i)));
  rules.RegisterClient(a, "C", 1);

  std::atomic<bool> stop{false};
  std::atomic<long> queries{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      while (!stop.load(std::memory_order_relaxed)) {
        for (int label : labels) {
          const char *module = nullptr, *name = nullptr;
          if (cache.labels.GetCombinedData(a, label, &module, &name) == kOn) {
            // Names published with an Enabled cell must be readable.
            EXPECT_STREQ(module, "A");
            ASSERT_NE(name, nullptr);
          }
          cache.clients.GetCombinedData(a, 1u, label);
          queries.fetch_add(1, std::memory_order_relaxed);
        }
        if (t == 0) rules.GetModuleHandle("new" + std::to_string(queries.load() % 50));
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    std::string label = "l" + std::to_string(round % 35);
    rules.SetGlobalLabelStatus(label, round % 2 ? kOn : kOff);
    if (round % 50 == 0) {
      rules.ResetStatus();
      rules.SetModuleStatus("A", kOn);
      rules.SetGlobalClientStatus("C", kOn);
    }
    if (round % 7 == 0) cache.labels.Clear();
    if (round % 11 == 0) cache.clients.ClearClient(1);
  }
  // The final rules: every label enabled except l0.
  for (int i = 0; i < 35; ++i) rules.SetGlobalLabelStatus("l" + std::to_string(i), i == 0 ? kOff : kOn);
  // Let the readers fill cells against the final rules before checking.
  long mark = queries.load();
  EXPECT_TRUE(kivtest::WaitFor([&] { return queries.load() > mark + 1000; }));
  stop = true;
  for (auto& r : readers) r.join();
  for (int i = 0; i < 35; ++i) {
    Status expected = i == 0 ? kOff : kOn;
    EXPECT_EQ(cache.labels.GetCombinedData(a, labels[i]), expected) << i;
    EXPECT_EQ(cache.clients.GetCombinedData(a, 1u, labels[i]), expected) << i;
  }
}

}  // namespace
