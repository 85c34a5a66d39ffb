#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "patch/merge.h"
#include "patch/patch.h"

namespace vext {
namespace {

using Entries = std::vector<std::pair<Path, Value>>;

Value val(std::string kind, std::uint64_t order = 0, std::string text = "", Attributes attrs = {}) {
  return Value{
      .kind = std::move(kind), .label = "", .text = std::move(text), .attrs = std::move(attrs), .order = order};
}

Section sec(Entries entries) { return Section::from_entries(std::move(entries)); }

// doc with children a, b and c.
Section three() {
  return sec({{{"doc"}, val("doc")},
              {{"doc", "a"}, val("a", 0)},
              {{"doc", "b"}, val("b", 1)},
              {{"doc", "c"}, val("c", 2)}});
}

std::vector<Path> paths_of(const EditSet& edits) {
  std::vector<Path> out;
  for (const auto& e : edits) out.push_back(to_path(e.path));
  return out;
}

TEST(PatchTest, DiffOfEqualSectionsIsEmptyAndApplyingNothingCopies) {
  EXPECT_TRUE(diff_sections(three(), three()).empty());
  const ApplyResult r = apply_to_section(EditSet(), three());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), three());
  EXPECT_THROW((void)r.error(), Fatal);
}

TEST(PatchTest, DiffFromEmptyAddsEveryPathInOrder) {
  const EditSet edits = diff_sections(Section(), three());
  EXPECT_EQ(paths_of(edits),
            (std::vector<Path>{{"doc"}, {"doc", "a"}, {"doc", "b"}, {"doc", "c"}}));
  for (const auto& e : edits) EXPECT_FALSE(e.value.before);
}

TEST(PatchTest, MovingAChildChangesOnlyOrders) {
  const Section a = sec({{{"r"}, val("r")}, {{"r", "x"}, val("x", 0)}, {{"r", "y"}, val("y", 1)}});
  const Section b = sec({{{"r"}, val("r")}, {{"r", "x"}, val("x", 1)}, {{"r", "y"}, val("y", 0)}});
  const EditSet edits = diff_sections(a, b);
  ASSERT_EQ(edits.size(), 2u);
  const PointEdit* x = edits.find(Path{"r", "x"});
  ASSERT_TRUE(x);
  EXPECT_EQ(*x, (PointEdit{.before = val("x", 0), .after = val("x", 1)}));
}

TEST(PatchTest, ApplyAndInvertRoundTrip) {
  const Section a = three();
  const Section b = sec({{{"doc"}, val("doc", 0, "new")},
                         {{"doc", "a"}, val("a", 0)},
                         {{"doc", "c"}, val("c", 1)},
                         {{"doc", "c", "deep", "er"}, val("e")},
                         {{"doc", "d"}, val("d", 2)}});
  const EditSet edits = diff_sections(a, b);
  EXPECT_EQ(apply_to_section(edits, a).value(), b);
  EXPECT_EQ(apply_to_section(invert(edits), b).value(), a);
  EXPECT_EQ(invert(invert(edits)), edits);
  EXPECT_EQ(edits.find(Path{"doc", "c", "deep"}), nullptr);
}

TEST(PatchTest, ApplyReportsTheFirstMismatchInPathOrder) {
  const Section a = three();
  Section b = sec({{{"doc"}, val("doc")}, {{"doc", "a"}, val("a", 0, "A")}, {{"doc", "c"}, val("c", 2, "C")}});
  const EditSet edits = diff_sections(a, b);
  const Section target = sec({{{"doc"}, val("doc")},
                              {{"doc", "a"}, val("a", 7)},
                              {{"doc", "b"}, val("b", 1)},
                              {{"doc", "c"}, val("c", 8)}});
  const ApplyResult r = apply_to_section(edits, target);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (ApplyError{.location = {"doc", "a"}, .expected = val("a", 0), .found = val("a", 7)}));
  EXPECT_THROW((void)r.value(), Fatal);
}

TEST(PatchTest, AddOntoPresentAndRemoveOfAbsentFail) {
  const EditSet add = diff_sections(Section(), sec({{{"doc"}, val("doc")}}));
  const ApplyResult r1 = apply_to_section(add, sec({{{"doc"}, val("doc")}}));
  ASSERT_FALSE(r1.ok());
  EXPECT_EQ(to_text(r1.error()), "ApplyError { location: [\"doc\"], expected: None, found: Some(" +
                                     to_text(val("doc")) + ") }");
  const EditSet remove = diff_sections(three(), sec({{{"doc"}, val("doc")}}));
  const ApplyResult r2 = apply_to_section(remove, sec({{{"doc"}, val("doc")}}));
  ASSERT_FALSE(r2.ok());
  EXPECT_EQ(to_text(r2.error()), "ApplyError { location: [\"doc\", \"a\"], expected: Some(" +
                                     to_text(val("a", 0)) + "), found: None }");
  // An edit with neither side passes only where there is no entry.
  const EditSet nothing = EditSet::from_entries({{{"doc", "zz"}, PointEdit{}}});
  EXPECT_EQ(apply_to_section(nothing, three()).value(), three());
  EXPECT_FALSE(apply_to_section(EditSet::from_entries({{{"doc"}, PointEdit{}}}), three()).ok());
}

TEST(PatchTest, DeepChainsDiffAndApply) {
  constexpr std::size_t kDepth = 100'000;
  TreeNode root("n");
  TreeNode* cur = &root;
  for (std::size_t i = 1; i < kDepth; ++i) cur = &cur->children.emplace_back("n");
  const Section a = to_section(root);
  cur->text = "leaf";
  const Section b = to_section(root);
  const EditSet edits = diff_sections(a, b);
  ASSERT_EQ(edits.size(), 1u);
  EXPECT_EQ((*edits.begin()).path.size(), kDepth);
  EXPECT_EQ(apply_to_section(edits, a).value(), b);
  EXPECT_EQ(merge_sections(a, b, a).merged, b);
}

TEST(MergeTest, OneSidedChangesAreTakenAndDeletionsRespected) {
  const Section base = three();
  EXPECT_EQ(merge_sections(base, base, base).merged, base);
  const Section changed = sec({{{"doc"}, val("doc")},
                               {{"doc", "a"}, val("a", 0, "A")},
                               {{"doc", "c"}, val("c", 2)},
                               {{"doc", "n"}, val("n", 3)}});
  for (bool ours_changed : {true, false}) {
    const SectionMergeResult m =
        ours_changed ? merge_sections(base, changed, base) : merge_sections(base, base, changed);
    EXPECT_TRUE(m.conflicts.empty());
    EXPECT_EQ(m.merged, changed);
  }
}

TEST(MergeTest, ConflictsKeepOurSide) {
  const Section base = sec({{{"r"}, val("r")}, {{"r", "x"}, val("x")}, {{"r", "y"}, val("y")}});
  const Section ours = sec({{{"r"}, val("r")}, {{"r", "x", "new"}, val("o")}, {{"r", "y"}, val("y", 0, "O")}});
  const Section theirs = sec({{{"r"}, val("r")},
                              {{"r", "x"}, val("x", 0, "T")},
                              {{"r", "x", "new"}, val("t")}});
  const SectionMergeResult m = merge_sections(base, ours, theirs);
  EXPECT_EQ(m.conflicts,
            (std::vector<SectionConflict>{
                {.path = {"r", "x"}, .base = val("x"), .ours = std::nullopt, .theirs = val("x", 0, "T")},
                {.path = {"r", "x", "new"}, .base = std::nullopt, .ours = val("o"), .theirs = val("t")},
                {.path = {"r", "y"}, .base = val("y"), .ours = val("y", 0, "O"), .theirs = std::nullopt},
            }));
  EXPECT_EQ(m.merged, ours);
}

TEST(MergeTest, FieldMergeCombinesDifferentFields) {
  Value base = val("p", 1, "t0", {{"b", "1"}, {"a", "2"}});
  base.label = "l0";
  Value ours = base;
  ours.label = "l1";
  ours.order = 0;
  ours.attrs.emplace_back("x", "o");
  Value theirs = base;
  theirs.text = "t1";
  theirs.attrs.emplace_back("y", "t");
  const SectionMergeResult m = merge_sections(sec({{{"p"}, base}}), sec({{{"p"}, ours}}), sec({{{"p"}, theirs}}));
  EXPECT_TRUE(m.conflicts.empty());
  Value expected = val("p", 0, "t1", {{"a", "2"}, {"b", "1"}, {"x", "o"}, {"y", "t"}});
  expected.label = "l1";
  EXPECT_EQ(m.merged, sec({{{"p"}, expected}}));
  // Orders that differ on all three sides conflict, as do clashing attributes.
  Value moved = theirs;
  moved.order = 2;
  Value clash = theirs;
  clash.attrs.emplace_back("x", "t");
  for (const Value& t : {moved, clash}) {
    const SectionMergeResult c = merge_sections(sec({{{"p"}, base}}), sec({{{"p"}, ours}}), sec({{{"p"}, t}}));
    ASSERT_EQ(c.conflicts.size(), 1u);
    EXPECT_EQ(c.merged, sec({{{"p"}, ours}}));
  }
}

// Merges one entry that both sides changed; nullopt when it conflicts.
std::optional<Value> merge_one(const Value& ours, const Value& base, const Value& theirs) {
  const SectionMergeResult r = merge_sections(sec({{{"p"}, base}}), sec({{{"p"}, ours}}), sec({{{"p"}, theirs}}));
  if (!r.conflicts.empty()) return std::nullopt;
  return *r.merged.find(Path{"p"});
}

TEST(MergeTest, FieldAndAttributeRules) {
  // Each side changes a different field, or both make the same change.
  EXPECT_EQ(merge_one(val("a", 0, "o"), val("a"), val("b")), val("b", 0, "o"));
  EXPECT_EQ(merge_one(val("b"), val("a"), val("a", 0, "t")), val("b", 0, "t"));
  EXPECT_EQ(merge_one(val("b", 0, "o"), val("a"), val("b")), val("b", 0, "o"));
  EXPECT_EQ(merge_one(val("b", 0, "o"), val("a"), val("c")), std::nullopt);
  using A = Attributes;
  const auto attrs = [](A ours, A base, A theirs) -> std::optional<A> {
    auto merged = merge_one(val("n", 0, "o", std::move(ours)), val("n", 0, "", std::move(base)),
                            val("n", 0, "", std::move(theirs)));
    return merged ? std::optional<A>(merged->attrs) : std::nullopt;
  };
  // The last pair of a repeated name counts, and the output is sorted by name.
  EXPECT_EQ(attrs(A{{"k", "x"}, {"k", "1"}}, A{{"k", "1"}}, A{{"k", "1"}, {"a", "0"}}),
            (A{{"a", "0"}, {"k", "1"}}));
  EXPECT_EQ(attrs(A{}, A{{"k", "1"}}, A{{"k", "1"}}), A{});  // removed by ours
  EXPECT_EQ(attrs(A{}, A{{"k", "1"}}, A{{"k", "2"}}), std::nullopt);
  EXPECT_EQ(attrs(A{{"k", "2"}}, A{{"k", "1"}}, A{}), std::nullopt);
  EXPECT_EQ(attrs(A{{"k", "2"}}, A{{"k", "1"}}, A{{"k", "2"}}), (A{{"k", "2"}}));
  EXPECT_EQ(attrs(A{{"k", "2"}}, A{}, A{{"k", "3"}}), std::nullopt);
  EXPECT_EQ(attrs(A{}, A{{"k", "1"}}, A{}), A{});
  // The same rules called directly, in the argument order base, ours, theirs.
  EXPECT_EQ(merge_attrs(A{{"k", "1"}}, A{{"k", "2"}}, A{{"j", "0"}, {"k", "1"}}), (A{{"j", "0"}, {"k", "2"}}));
  EXPECT_EQ(merge_attrs(A{{"k", "1"}}, A{{"k", "2"}}, A{{"k", "3"}}), std::nullopt);
  EXPECT_EQ(merge_field("b", "o", "b"), "o");
  EXPECT_EQ(merge_field("b", "b", "t"), "t");
  EXPECT_EQ(merge_field("b", "x", "x"), "x");
  EXPECT_EQ(merge_field("b", "o", "t"), std::nullopt);
}

}  // namespace
}  // namespace vext
