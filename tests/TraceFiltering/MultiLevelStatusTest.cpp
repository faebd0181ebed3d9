#include "TraceFiltering/MultiLevelStatus.h"

#include <gtest/gtest.h>

#include <memory>

TEST(MultiLevelStatus, OwnCodeFollowsTheDefault) {
  MultiLevelStatus<0> trace;
  EXPECT_EQ(trace.Flags(), 0);
  EXPECT_EQ(trace.GetStatus(), Status::Disabled);
  trace.SetStatus(Status::Enabled);
  EXPECT_EQ(trace.Flags(), 3);
  EXPECT_EQ(trace.GetStatus(), Status::Enabled);
  trace.SetStatus(Status::Disabled);
  EXPECT_EQ(trace.Flags(), 2);
  EXPECT_EQ(trace.GetStatus(), Status::Disabled);
  trace.SetStatus(Status::NotSet);
  EXPECT_EQ(trace.Flags(), 0);

  MultiLevelStatus<2> second;
  EXPECT_EQ(second.GetStatus(), Status::Enabled);
  second.SetStatus(Status::Disabled);
  EXPECT_EQ(second.Flags(), 3);
  EXPECT_EQ(second.GetStatus(), Status::Disabled);
  second.SetStatus(Status::Enabled);
  EXPECT_EQ(second.Flags(), 2);
  EXPECT_EQ(second.GetStatus(), Status::Enabled);
}

TEST(MultiLevelStatus, ParentsShiftIntoPlaceAndShareThePositionByOr) {
  MultiLevelStatus<0> grand, first, second, child;
  first.AddParent(grand);
  child.AddParent(first);
  child.AddParent(second);
  grand.SetStatus(Status::Disabled);  // code 2 lands at bits 4-5 through the first parent
  second.SetStatus(Status::Enabled);  // code 3 lands at bits 4-5 directly
  EXPECT_EQ(first.Flags(), 2 << 2);
  EXPECT_EQ(child.Flags(), (2 << 4) | (3 << 4));
  EXPECT_EQ(child.GetStatus(), Status::Enabled) << "an explicit enable wins the shared position";

  first.SetStatus(Status::Disabled);  // nearer than both
  EXPECT_EQ(child.GetStatus(), Status::Disabled);
  child.SetStatus(Status::Enabled);  // own setting beats every parent
  EXPECT_EQ(child.GetStatus(), Status::Enabled);
  EXPECT_EQ(child.GetStatusSlow(), child.GetStatus());
}

TEST(MultiLevelStatus, BitsShiftedPastTheByteAreLost) {
  MultiLevelStatus<0> a, b, c, d, e;
  b.AddParent(a);
  c.AddParent(b);
  d.AddParent(c);
  e.AddParent(d);
  a.SetStatus(Status::Enabled);
  EXPECT_EQ(d.Flags(), 3 << 6) << "three levels up: the last position";
  EXPECT_EQ(d.GetStatus(), Status::Enabled);
  EXPECT_EQ(e.Flags(), 0) << "four levels up: shifted out of the byte";
  EXPECT_EQ(e.GetStatus(), Status::Disabled);
}

TEST(MultiLevelStatus, ResetDependsOnHavingParents) {
  MultiLevelStatus<0> parent, child;
  child.AddParent(parent);
  parent.SetStatus(Status::Enabled);
  child.SetStatus(Status::Disabled);
  parent.ResetStatus();
  child.ResetStatus();
  EXPECT_EQ(parent.Flags(), 2) << "a root is set to its default explicitly";
  EXPECT_EQ(child.Flags(), 2 << 2) << "a child only inherits";
  EXPECT_EQ(child.GetStatus(), Status::Disabled);

  MultiLevelStatus<2> root;
  root.SetStatus(Status::Disabled);
  root.ResetStatus();
  EXPECT_EQ(root.GetStatus(), Status::Enabled);
}

TEST(MultiLevelStatus, RemoveChildAndDestructionUnlinkBothSides) {
  MultiLevelStatus<0> parent, other;
  auto child = std::make_unique<MultiLevelStatus<0>>();
  child->AddParent(parent);
  child->AddParent(other);
  parent.SetStatus(Status::Enabled);
  EXPECT_EQ(child->GetStatus(), Status::Enabled);

  parent.RemoveChild(*child);
  EXPECT_TRUE(parent.Children().empty());
  ASSERT_EQ(child->Parents().size(), 1u);
  EXPECT_EQ(child->GetStatus(), Status::Disabled) << "re-resolved without the removed parent";

  child.reset();
  EXPECT_TRUE(other.Children().empty());
  other.SetStatus(Status::Enabled);  // must not touch the destroyed child

  auto parent2 = std::make_unique<MultiLevelStatus<0>>();
  MultiLevelStatus<0> orphan;
  orphan.AddParent(*parent2);
  parent2.reset();
  EXPECT_TRUE(orphan.Parents().empty());
  orphan.ApplyParentStatus();
  EXPECT_EQ(orphan.Flags(), 0);
}

TEST(MultiLevelStatus, AFourthParentIsRefused) {
  MultiLevelStatus<0> p[4], child;
  for (int i = 0; i < 3; ++i) child.AddParent(p[i]);
  EXPECT_THROW(child.AddParent(p[3]), std::logic_error);
  EXPECT_TRUE(p[3].Children().empty());
}
