#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/files.h"

namespace vext {
namespace {

std::vector<Document> read(std::vector<std::string> sources, const FileOptions& options = {}) {
  auto docs = read_files(std::move(sources), options);
  EXPECT_TRUE(docs.ok()) << (docs.ok() ? "" : docs.error().error.text());
  return docs.ok() ? std::move(docs).value() : std::vector<Document>{};
}

// Each change as "op path what: old -> new".
std::vector<std::string> diff(const std::string& a, const std::string& b) {
  const auto docs = read({a, b});
  std::vector<std::string> out;
  for (const FileChange& c : diff_documents(docs[0], docs[1])) {
    out.push_back(std::string(change_op_name(c.op)) + " " + c.path + " " + std::string(field_name(c.field)) + ": " +
                  c.old_value.value_or("-") + " -> " + c.new_value.value_or("-"));
  }
  return out;
}

FileMerge merge(const std::string& base, const std::string& ours, const std::string& theirs, bool markers = false) {
  const auto docs = read({base, ours, theirs});
  auto out = merge_documents(docs[0], docs[1], docs[2], markers);
  EXPECT_TRUE(out.ok());
  return out.ok() ? std::move(out).value() : FileMerge{};
}

}  // namespace

TEST(FileDiffTest, NamesXmlNodesByIdentityAttributeAndPosition) {
  const std::string a = R"(<catalog><product sku="p7"><name>Old</name></product><item/><item>x</item></catalog>)";
  const std::string b = R"(<catalog><product sku="p7" price="3"><name>New</name></product><item/><item>y</item><!--c--></catalog>)";
  const FileOptions options{.id_attrs = {IdAttr{"", "sku"}}};
  const auto docs = read({a, b}, options);
  std::vector<std::string> got;
  for (const FileChange& c : diff_documents(docs[0], docs[1])) {
    got.push_back(std::string(change_op_name(c.op)) + " " + c.path + " " + std::string(field_name(c.field)) + ": " +
                  c.old_value.value_or("-") + " -> " + c.new_value.value_or("-"));
  }
  EXPECT_EQ(got, (std::vector<std::string>{
                     R"(insert /catalog/product[@sku="p7"]/@price attribute: - -> 3)",
                     R"(update /catalog/product[@sku="p7"]/name text: Old -> New)",
                     R"(update /catalog/item[2] text: x -> y)",
                     R"(insert /catalog/comment()[1] node: - -> <!--c-->)",
                 }));
}

TEST(FileDiffTest, NamesJsonNodesByPointer) {
  EXPECT_EQ(diff(R"({"a/b": [1, {"~": true}], "c": 1.50})", R"({"a/b": [1, {"~": false}], "c": 1.50, "d": {"x": 1}})"),
            (std::vector<std::string>{
                "update /a~1b/1/~0 text: true -> false",
                R"(insert /d node: - -> {"x": 1})",
            }));
}

TEST(FileMergeTest, KeepsOursBytesAndTakesTheirChanges) {
  const std::string base = "<r>\n  <a id=\"1\">x</a>\n  <b   k='v'/>\n</r>\n";
  const std::string ours = "<?xml version=\"1.0\"?>\n<r>\n  <a id=\"1\">x</a>\n  <b   k='v'/><!-- mine -->\n</r>\n";
  const std::string theirs = "<r>\n  <a id=\"1\">y</a>\n  <b k=\"w\"/>\n</r>\n";
  const FileMerge m = merge(base, ours, theirs);
  EXPECT_EQ(m.merged, "<?xml version=\"1.0\"?>\n<r>\n  <a id=\"1\">y</a>\n  <b   k='w'/><!-- mine -->\n</r>\n");
  EXPECT_TRUE(m.conflicts.empty());
  EXPECT_EQ(merge(base, ours, base).merged, ours);
  EXPECT_EQ(merge(base, ours, ours).merged, ours);
}

TEST(FileMergeTest, NodesOnlyTheirsHasKeepTheirBytes) {
  const std::string base = "{\n  \"a\": 1,\n  \"b\": [1]\n}\n";
  const std::string ours = "{\n  \"a\": 2,\n  \"b\": [1]\n}\n";
  const std::string theirs = "{\n  \"a\": 1,\n  \"b\": [1, {\"x\" :[ 1 ]}],\n  \"c\" :  {\"y\":2}\n}\n";
  const FileMerge m = merge(base, ours, theirs, true);
  // The gaps around them follow ours' layout.
  EXPECT_EQ(m.merged, "{\n  \"a\": 2,\n  \"b\": [1,\n    {\"x\" :[ 1 ]}],\n  \"c\" :  {\"y\":2}\n}\n");
  const std::string xml_base = "<r>\n  <a>1</a>\n  <a>2</a>\n</r>\n";
  const std::string xml_ours = "<r>\n  <a>1</a>\n  <a>3</a>\n</r>\n";
  const std::string xml_theirs = "<r>\n  <a>1</a>\n  <b  k='v' ><c/></b>\n  <a>4</a>\n</r>\n";
  // The conflict's block is found after the copied bytes shifted it.
  EXPECT_EQ(merge(xml_base, xml_ours, xml_theirs, true).merged,
            "<r>\n  <a>1</a>\n  <b  k='v' ><c/></b>\n<<<<<<< ours\n  <a>3</a>\n||||||| base\n  <a>2</a>\n"
            "=======\n  <a>4</a>\n>>>>>>> theirs\n</r>\n");
}

TEST(FileMergeTest, WritesMarkersAroundTheSmallestEnclosingElement) {
  const std::string base = "<r>\n  <a id=\"1\"><t>x</t></a>\n  <b/>\n</r>\n";
  const std::string ours = "<r>\n  <a id=\"1\"><t>y</t></a>\n  <b/>\n</r>\n";
  const std::string theirs = "<r>\n  <a id=\"1\"><t>z</t></a>\n  <b/>\n</r>\n";
  const FileMerge plain = merge(base, ours, theirs);
  EXPECT_EQ(plain.merged, ours);
  ASSERT_EQ(plain.conflicts.size(), 1u);
  EXPECT_EQ(plain.conflicts[0].path, "/r/a[@id=\"1\"]/t");
  EXPECT_EQ(plain.conflicts[0].ours, "y");
  EXPECT_EQ(merge(base, ours, theirs, true).merged,
            "<r>\n  <a id=\"1\">"
            "\n<<<<<<< ours\n<t>y</t>\n||||||| base\n<t>x</t>\n=======\n<t>z</t>\n>>>>>>> theirs\n"
            "</a>\n  <b/>\n</r>\n");
}

TEST(FileMergeTest, MarksJsonMembersOnTheirOwnLines) {
  const std::string base = "{\n  \"a\": 1,\n  \"b\": 2\n}\n";
  const std::string ours = "{\n  \"a\": 3,\n  \"b\": 2\n}\n";
  const std::string theirs = "{\n  \"a\": 4,\n  \"b\": 5\n}\n";
  const FileMerge m = merge(base, ours, theirs, true);
  EXPECT_EQ(m.merged, "{\n<<<<<<< ours\n  \"a\": 3,\n||||||| base\n  \"a\": 1,\n=======\n  \"a\": 4,\n>>>>>>> theirs\n"
                      "  \"b\": 5\n}\n");
  ASSERT_EQ(m.conflicts.size(), 1u);
  EXPECT_EQ(m.conflicts[0].path, "/a");
}

TEST(FileReadTest, FilesReadSideBySideReportTheFirstFailureInOrder) {
  // Large enough to be read on threads; the file that fails first in order
  // is reported, whichever thread finished first.
  std::string big = "[";
  for (int i = 0; i < 200'000; ++i) big += "1,";
  big += "2]";
  const std::string bad = big.substr(0, big.size() - 1);  // unterminated
  auto docs = read_files({big, bad, "<r/>", bad}, {});
  ASSERT_FALSE(docs.ok());
  EXPECT_EQ(docs.error().which, 1);
  docs = read_files({big, big, "<r/>", bad}, {});
  ASSERT_FALSE(docs.ok());
  EXPECT_EQ(docs.error().which, 2);
  EXPECT_EQ(docs.error().error.message, "the file is XML but the first is JSON");
  docs = read_files({big, big, big}, {});
  ASSERT_TRUE(docs.ok());
  EXPECT_EQ(docs.value()[2].tree.children.size(), 200'001u);
}

}  // namespace vext
