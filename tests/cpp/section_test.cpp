#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "section/section.h"

namespace vext {
namespace {

TreeNode node(std::string kind, std::optional<std::string> id = std::nullopt,
              std::vector<TreeNode> children = {}, std::string text = "") {
  TreeNode n(std::move(kind));
  n.identity = std::move(id);
  n.children = std::move(children);
  n.text = std::move(text);
  return n;
}

Value val(std::string kind, std::uint64_t order = 0, std::string text = "") {
  return Value{.kind = std::move(kind), .label = "", .text = std::move(text), .attrs = {}, .order = order};
}

std::vector<std::pair<Path, Value>> entries_of(const Section& s) {
  std::vector<std::pair<Path, Value>> out;
  for (const auto& e : s) out.emplace_back(to_path(e.path), e.value);
  return out;
}

// Quotes `s` the way the text form of a value writes its kind.
std::string quote(std::string_view s) {
  const std::string text = to_text(val(std::string(s)));
  const std::string_view head = "Value { kind: ";
  const std::size_t end = text.rfind(R"(, label: "", text: "", attrs: [], order: 0 })");
  return text.substr(head.size(), end - head.size());
}

TEST(SectionTest, SingleDocNodeHashesToTheKnownValue) {
  const Section s = to_section(node("doc"));
  ASSERT_EQ(entries_of(s), (std::vector<std::pair<Path, Value>>{{{"doc"}, val("doc")}}));
  std::string input;
  for (const auto& e : s) {
    for (std::string_view element : e.path) {
      input.append(element);
      input.push_back('\0');
    }
    input.push_back('|');
    append_text(input, e.value);
    input.push_back('\n');
  }
  ASSERT_EQ(input.size(), 69u);
  EXPECT_EQ(to_text(val("doc")), R"(Value { kind: "doc", label: "", text: "", attrs: [], order: 0 })");
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : input) hash = (hash ^ c) * 0x100000001b3ull;
  EXPECT_EQ(hash, 0xe644401aa7f6dab1ull);
}

TEST(SectionTest, FlattensPathsAndOrders) {
  const TreeNode tree = node("root", "r1", {node("a"), node("b", std::nullopt, {node("x", "id")}), node("c")});
  EXPECT_EQ(entries_of(to_section(tree)),
            (std::vector<std::pair<Path, Value>>{{{"r1"}, val("root")},
                                                 {{"r1", "a"}, val("a", 0)},
                                                 {{"r1", "b"}, val("b", 1)},
                                                 {{"r1", "b", "id"}, val("x", 0)},
                                                 {{"r1", "c"}, val("c", 2)}}));
  EXPECT_EQ(to_tree(to_section(tree)), tree);
  const TreeNode reversed = node("root", std::nullopt, {node("z"), node("a")});
  EXPECT_EQ(to_tree(to_section(reversed)), reversed);
}

TEST(SectionTest, SiblingsSharingAnElementMergeLaterWins) {
  TreeNode first = node("p", std::nullopt, {node("x", std::nullopt, {}, "1"), node("y")}, "first");
  TreeNode second = node("p", std::nullopt, {node("x", std::nullopt, {}, "2")}, "second");
  const Section s = to_section(node("r", std::nullopt, {first, node("q"), second}));
  EXPECT_EQ(entries_of(s), (std::vector<std::pair<Path, Value>>{{{"r"}, val("r")},
                                                                {{"r", "p"}, val("p", 2, "second")},
                                                                {{"r", "p", "x"}, val("x", 0, "2")},
                                                                {{"r", "p", "y"}, val("y", 1)},
                                                                {{"r", "q"}, val("q", 1)}}));
  const std::optional<TreeNode> back = to_tree(s);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->children.size(), 2u);
  EXPECT_EQ(back->children[0].kind, "q");
  EXPECT_EQ(back->children[1].text, "second");
  EXPECT_EQ(back->children[1].children.size(), 2u);
}

TEST(SectionTest, IdentityComesBackUnlessItEqualsTheKind) {
  const TreeNode tree = node("r", std::nullopt, {node("same", "same"), node("k", "")});
  const std::optional<TreeNode> back = to_tree(to_section(tree));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->children[0].identity, std::nullopt);
  EXPECT_EQ(back->children[1].identity, std::optional<std::string>(""));
}

TEST(SectionTest, RebuildRepairsMalformedSections) {
  using Entries = std::vector<std::pair<Path, Value>>;
  EXPECT_EQ(to_tree(Section()), std::nullopt);
  EXPECT_EQ(to_tree(Section::from_entries(Entries{{{"a", "b"}, val("b")}})), std::nullopt);
  EXPECT_EQ(to_tree(Section::from_entries(Entries{{{}, val("e")}})), std::nullopt);
  // Of two roots the first in path order wins; [b]'s sub-tree goes with it.
  EXPECT_EQ(to_tree(Section::from_entries(
                Entries{{{"b"}, val("b")}, {{"b", "c"}, val("c")}, {{"a"}, val("a")}, {{}, val("e")}})),
            node("a"));
  // [r, x, y] has no parent entry and is dropped; [r, z] stays.
  EXPECT_EQ(to_tree(Section::from_entries(
                Entries{{{"r"}, val("r")}, {{"r", "x", "y"}, val("y")}, {{"r", "z"}, val("z")}})),
            node("r", std::nullopt, {node("z")}));
  // Equal orders under one parent keep path order; the later duplicate entry wins.
  EXPECT_EQ(to_tree(Section::from_entries(Entries{{{"r"}, val("r")},
                                                  {{"r", "n2"}, val("k", 5)},
                                                  {{"r", "n1"}, val("k", 9)},
                                                  {{"r", "n1"}, val("k", 5)}})),
            node("r", std::nullopt, {node("k", "n1"), node("k", "n2")}));
}

TEST(SectionTest, PathOrderIsBytewiseWithPrefixesFirst) {
  const std::vector<Path> sorted = {
      {},
      {""},
      {"", "a"},
      {"a"},
      {"a", ""},
      {"a", "b"},
      {"a", "b", "c"},
      {"a", "c"},
      {"ab"},
      {"ab", "a"},
      {"b"},
      {"\x7f"},
      {"\x80"},
      {"\xc3\xa9"},
      {"\xff"},
  };
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    for (std::size_t j = 0; j < sorted.size(); ++j) {
      EXPECT_EQ(compare_paths(sorted[i], sorted[j]), i <=> j) << i << " vs " << j;
    }
  }
  std::vector<std::pair<Path, Value>> entries;
  for (std::size_t i = sorted.size(); i-- > 0;) entries.emplace_back(sorted[i], val("v", i));
  const Section s = Section::from_entries(entries);
  ASSERT_EQ(s.size(), sorted.size());
  std::size_t i = 0;
  for (const auto& e : s) {
    EXPECT_EQ(to_path(e.path), sorted[i]);
    EXPECT_EQ(s.find(e.path), &e.value);
    EXPECT_EQ(e.value.order, i++);
  }
  EXPECT_EQ(s.find(Path{"a", "d"}), nullptr);
  EXPECT_EQ(s.find(Path{"zz"}), nullptr);
  EXPECT_EQ(s, Section::from_entries({entries.rbegin(), entries.rend()}));
  Section::Builder builder;
  builder.move_to(1, "b");
  EXPECT_THROW(builder.move_to(1, "a"), Fatal);
  EXPECT_THROW(builder.move_to(3, "x"), Fatal);
}

TEST(SectionTest, QuotedStringsEscapeByClass) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" ", " "},
      {"'", "'"},
      {"\xc2\xa0", "\\u{a0}"},            // U+00A0, Zs
      {"\xe3\x80\x80", "\\u{3000}"},      // U+3000, Zs
      {"\xc2\xad", "\\u{ad}"},            // U+00AD, Cf
      {"\xe2\x80\x8b", "\\u{200b}"},      // U+200B, Cf
      {"\xe2\x80\x8f", "\\u{200f}"},      // U+200F, Cf
      {"\xcc\x81", "\\u{301}"},           // U+0301, Grapheme_Extend
      {"\xe2\x80\x8c", "\\u{200c}"},      // U+200C, Grapheme_Extend
      {"\xe2\x80\xa8", "\\u{2028}"},      // Zl
      {"\xe2\x80\xa9", "\\u{2029}"},      // Zp
      {"\xee\x80\x80", "\\u{e000}"},      // Co
      {"\xcd\xb8", "\\u{378}"},           // unassigned
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},  // U+1F600, printed
      {"\xc3\xa9", "\xc3\xa9"},
      {std::string(1, '\0'), "\\0"},
      {"\t\r\n\\\"", "\\t\\r\\n\\\\\\\""},
      {"\x07\x7f", "\\u{7}\\u{7f}"},
      {"a\xed\xa0\x80z", "a\\u{d800}z"},  // an encoded surrogate, Cs
      // Bytes that are not UTF-8: a stray continuation, a truncated sequence,
      // an overlong form and a code point past U+10FFFF.
      {"\x80", "\\x80"},
      {"\xe2\x82z", "\\xe2\\x82z"},
      {"\xc0\xaf", "\\xc0\\xaf"},
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(quote(input), "\"" + expected + "\"") << expected;
  }
}

TEST(SectionTest, TextFormsOfValuesAndOptionals) {
  const Value v{.kind = "p", .label = "L", .text = "a\"b", .attrs = {{"x", "1"}, {"y", ""}}, .order = 12};
  EXPECT_EQ(to_text(v),
            R"(Value { kind: "p", label: "L", text: "a\"b", attrs: [("x", "1"), ("y", "")], order: 12 })");
  EXPECT_EQ(to_text(std::optional<Value>(v)), "Some(" + to_text(v) + ")");
  EXPECT_EQ(to_text(std::optional<Value>()), "None");
  std::string list;
  append_path_list(list, Path{"doc", "p\n"});
  EXPECT_EQ(list, R"(["doc", "p\n"])");
}

TEST(SectionTest, DeepChainsFlattenAndRebuild) {
  constexpr std::size_t kDepth = 100'000;
  TreeNode root("n");
  TreeNode* cur = &root;
  for (std::size_t i = 1; i < kDepth; ++i) cur = &cur->children.emplace_back(i % 3 ? "n" : "m");
  cur->text = "leaf";
  const Section s = to_section(root);
  EXPECT_EQ(s.size(), kDepth);
  EXPECT_EQ(s.trie().node(static_cast<std::uint32_t>(kDepth)).depth, kDepth);
  const std::optional<TreeNode> back = to_tree(s);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, root);
}

}  // namespace
}  // namespace vext
