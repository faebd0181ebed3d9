#include "TraceFiltering/TraceFilterRules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr Status kOn = Status::Enabled;
constexpr Status kOff = Status::Disabled;

class TraceFilterRulesTest : public ::testing::Test {
 protected:
  Status Ask(const char* module, const char* label) {
    return rules.GetCombinedData(rules.GetModuleHandle(module), rules.GetLabelHandle(label));
  }
  // Registers `client` under number `number` in `module` and asks.
  Status Ask(const char* module, const char* client, uint32_t number, const char* label) {
    int m = rules.GetModuleHandle(module);
    rules.RegisterClient(m, client, number);
    return rules.GetCombinedData(m, number, rules.GetLabelHandle(label));
  }

  TraceFilterRules rules;
};

TEST_F(TraceFilterRulesTest, AModuleNoRuleNamesIsDisabledForEveryLabel) {
  rules.SetGlobalLabelStatus("L", kOn);
  rules.SetModuleLabelStatus("Named", "L", kOn);  // names the module in a label rule only
  rules.SetGlobalClientStatus("C", kOn);
  EXPECT_EQ(Ask("Unknown", "L"), kOff);
  EXPECT_EQ(Ask("Named", "L"), kOff);
  EXPECT_EQ(Ask("Unknown", "C", 1, "L"), kOff);
  rules.SetModuleStatus("Named", kOn);
  EXPECT_EQ(Ask("Named", "L"), kOn);
}

TEST_F(TraceFilterRulesTest, GlobalLabelIsOverriddenByAModuleLabelInThatModuleOnly) {
  rules.SetModuleStatus("A", kOn);
  rules.SetModuleStatus("B", kOn);
  rules.SetGlobalLabelStatus("L", kOn);
  rules.SetModuleLabelStatus("B", "L", kOff);
  EXPECT_EQ(Ask("A", "L"), kOn);
  EXPECT_EQ(Ask("B", "L"), kOff);
  EXPECT_EQ(Ask("A", "Other"), kOff) << "a label no rule names";

  rules.SetGlobalLabelStatus("M", kOff);
  rules.SetModuleLabelStatus("A", "M", kOn);
  EXPECT_EQ(Ask("A", "M"), kOn);
  EXPECT_EQ(Ask("B", "M"), kOff);
  rules.SetModuleStatus("A", kOff);
  EXPECT_EQ(Ask("A", "L"), kOff) << "a disabled module hides every label";
}

TEST_F(TraceFilterRulesTest, GlobalClientLabelIsOredWithGlobalLabel) {
  rules.SetModuleStatus("A", kOn);
  rules.SetGlobalLabelStatus("L", kOff);
  rules.SetGlobalClientStatus("ByGlobal", kOn);
  rules.SetGlobalClientLabelStatus("ByGlobal", "L", kOn);
  rules.SetModuleClientStatus("A", "ByModule", kOn);
  rules.SetGlobalClientLabelStatus("ByModule", "L", kOn);
  rules.SetGlobalClientStatus("Plain", kOn);

  EXPECT_EQ(Ask("A", "ByGlobal", 1, "L"), kOn);
  EXPECT_EQ(Ask("A", "ByModule", 2, "L"), kOn);
  EXPECT_EQ(Ask("A", "Plain", 3, "L"), kOff) << "without the client label the GLabel holds";
  EXPECT_EQ(Ask("A", "L"), kOff) << "the module-label form is untouched";

  // Nearer settings still win over the OR position.
  rules.SetModuleLabelStatus("A", "L", kOff);
  EXPECT_EQ(Ask("A", "ByGlobal", 1, "L"), kOff);
  rules.SetModuleClientLabelStatus("A", "ByGlobal", "L", kOn);
  EXPECT_EQ(Ask("A", "ByGlobal", 1, "L"), kOn);
  EXPECT_EQ(Ask("A", "ByModule", 2, "L"), kOff);
}

TEST_F(TraceFilterRulesTest, AClientNoRuleEnablesAnswersDisabledWhateverTheLabels) {
  rules.SetModuleStatus("A", kOn);
  rules.SetGlobalLabelStatus("L", kOn);
  rules.SetModuleLabelStatus("A", "L", kOn);
  rules.SetModuleClientLabelStatus("A", "C", "L", kOn);
  rules.SetGlobalClientLabelStatus("C", "L", kOn);
  EXPECT_EQ(Ask("A", "C", 7, "L"), kOff);
  rules.SetGlobalClientStatus("C", kOn);
  EXPECT_EQ(Ask("A", "C", 7, "L"), kOn);
  rules.SetModuleClientStatus("A", "C", kOff);  // MClient beats GClient
  EXPECT_EQ(Ask("A", "C", 7, "L"), kOff);
}

TEST_F(TraceFilterRulesTest, HandlesAreStableAndCaseSensitive) {
  int module = rules.GetModuleHandle("Mod");
  int label = rules.GetLabelHandle("Lab");
  EXPECT_EQ(rules.GetModuleHandle("Mod"), module);
  EXPECT_EQ(rules.GetLabelHandle("Lab"), label);
  EXPECT_NE(rules.GetModuleHandle("mod"), module);
  EXPECT_NE(rules.GetModuleHandle("Mod "), module);
  EXPECT_NE(rules.GetLabelHandle("LAB"), label);
  for (int i = 0; i < 200; ++i) rules.GetModuleHandle("m" + std::to_string(i));
  EXPECT_EQ(rules.GetModuleHandle("Mod"), module);
  EXPECT_EQ(rules.GetModuleHandle("m199"), rules.GetModuleHandle("m199"));
  // Tables are separate: a label name does not take a module handle.
  EXPECT_EQ(rules.GetLabelHandle("Mod"), label + 2);
}

TEST_F(TraceFilterRulesTest, ClientNumbersAreKnownOnlyWhereRegistered) {
  rules.SetModuleStatus("A", kOn);
  rules.SetModuleStatus("B", kOn);
  rules.SetGlobalLabelStatus("L", kOn);
  rules.SetGlobalClientStatus("C", kOn);
  rules.SetGlobalClientStatus("D", kOn);
  int a = rules.GetModuleHandle("A"), b = rules.GetModuleHandle("B"), l = rules.GetLabelHandle("L");
  rules.RegisterClient(a, "C", 5);
  EXPECT_EQ(rules.GetCombinedData(a, 5u, l), kOn);
  EXPECT_EQ(rules.GetCombinedData(a, 6u, l), kOff);
  EXPECT_EQ(rules.GetCombinedData(b, 5u, l), kOff) << "registered with another module";

  rules.SetModuleClientStatus("A", "D", kOff);
  rules.RegisterClient(a, "D", 5);  // the first mapping of a number is kept
  EXPECT_EQ(rules.GetCombinedData(a, 5u, l), kOn);
  rules.RegisterClient(99, "D", 5);  // unknown module: nothing happens
  rules.RegisterClient(-1, "D", 5);
  EXPECT_EQ(rules.GetCombinedData(a, 5u, l), kOn);
}

TEST_F(TraceFilterRulesTest, OutOfRangeHandlesAndInactiveRulesAnswerDisabled) {
  rules.SetModuleStatus("A", kOn);
  rules.SetGlobalLabelStatus("L", kOn);
  int a = rules.GetModuleHandle("A"), l = rules.GetLabelHandle("L");
  EXPECT_EQ(rules.GetCombinedData(a, l), kOn);
  EXPECT_EQ(rules.GetCombinedData(a + 1, l), kOff);
  EXPECT_EQ(rules.GetCombinedData(-1, l), kOff);
  EXPECT_EQ(rules.GetCombinedData(a, l + 1), kOff);
  EXPECT_EQ(rules.GetCombinedData(a, 0u, -5), kOff);
  rules.SetActive(false);
  EXPECT_EQ(rules.GetCombinedData(a, l), kOff);
  rules.SetActive(true);
  EXPECT_EQ(rules.GetCombinedData(a, l), kOn);
  TraceFilterRules inactive(false);
  inactive.SetModuleStatus("A", kOn);
  inactive.SetGlobalLabelStatus("L", kOn);
  EXPECT_EQ(inactive.GetCombinedData(0, 0), kOff);
}

TEST_F(TraceFilterRulesTest, NamesAndFlagAreReturnedOnlyWhenEnabled) {
  rules.SetModuleStatus("Mod", kOn);
  rules.SetGlobalLabelStatus("Lab", kOn);
  rules.SetGlobalClientStatus("Cli", kOn);
  int m = rules.GetModuleHandle("Mod"), l = rules.GetLabelHandle("Lab");
  rules.RegisterClient(m, "Cli", 3);
  const char *module = nullptr, *client = nullptr, *label = nullptr;
  bool flag = false;
  ASSERT_EQ(rules.GetCombinedData(m, 3u, l, &module, &client, &label, &flag), kOn);
  EXPECT_STREQ(module, "Mod");
  EXPECT_STREQ(client, "Cli");
  EXPECT_STREQ(label, "Lab");
  EXPECT_TRUE(flag) << "the second status is enabled when nothing sets it";

  module = label = nullptr;
  int other = rules.GetLabelHandle("Other");
  EXPECT_EQ(rules.GetCombinedData(m, other, &module, &label, &flag), kOff);
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(label, nullptr);
}

TEST_F(TraceFilterRulesTest, ResetForgetsRulesButKeepsHandlesAndClients) {
  rules.SetModuleStatus("A", kOn);
  rules.SetGlobalLabelStatus("L", kOn);
  rules.SetModuleLabelStatus("A", "L2", kOn);
  rules.SetGlobalClientStatus("C", kOn);
  int a = rules.GetModuleHandle("A"), l = rules.GetLabelHandle("L"), l2 = rules.GetLabelHandle("L2");
  rules.RegisterClient(a, "C", 1);
  ASSERT_EQ(rules.GetCombinedData(a, 1u, l), kOn);
  uint64_t before = rules.Generation();

  rules.ResetStatus();
  EXPECT_GT(rules.Generation(), before);
  EXPECT_EQ(rules.GetCombinedData(a, l), kOff);
  EXPECT_EQ(rules.GetCombinedData(a, l2), kOff);
  EXPECT_EQ(rules.GetModuleHandle("A"), a);

  // Only the module comes back: the stale MLabel and GLabel stay forgotten.
  rules.SetModuleStatus("A", kOn);
  EXPECT_EQ(rules.GetCombinedData(a, l), kOff);
  EXPECT_EQ(rules.GetCombinedData(a, l2), kOff);
  rules.SetGlobalLabelStatus("L", kOn);
  rules.SetGlobalClientStatus("C", kOn);
  EXPECT_EQ(rules.GetCombinedData(a, 1u, l), kOn) << "the registration survived";
}

}  // namespace
