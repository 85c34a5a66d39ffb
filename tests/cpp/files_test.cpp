#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/files.h"
#include "files/internal/view.h"
#include "lossless/index.h"

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
  for (const FileChange& c : diff_documents(docs[0], docs[1]).value()) {
    out.push_back(std::string(change_op_name(c.op)) + " " + path_text(c.path) + " " + std::string(field_name(c.field)) + ": " +
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
  for (const FileChange& c : diff_documents(docs[0], docs[1]).value()) {
    got.push_back(std::string(change_op_name(c.op)) + " " + path_text(c.path) + " " + std::string(field_name(c.field)) + ": " +
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

TEST(FileMergeTest, WritesTheMergeInTheEncodingOfTheFileWhoseLayoutItKeeps) {
  const std::string sjis = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n";
  const std::string base = sjis + "<r>\n  <a>\x93\xFA</a>\n  <b>x</b>\n  <c><d/><d/><d/></c>\n</r>\n";
  const std::string ours = sjis + "<r>\n  <a>\x96\x7B</a>\n  <b>x</b>\n  <c><d/><d/><d/></c>\n</r>\n";
  // Theirs went over to UTF-8 and added a character Shift_JIS cannot hold.
  const std::string theirs = "<r>\n  <a>\xE6\x97\xA5</a>\n  <b>\xE2\x82\xAC y</b>\n  <c><d/><d/><d/></c>\n</r>\n";
  const std::string want = sjis + "<r>\n  <a>\x96\x7B</a>\n  <b>&#x20AC; y</b>\n  <c><d/><d/><d/></c>\n</r>\n";
  EXPECT_EQ(merge(base, ours, theirs).merged, want);
  // Reading trims what the files hold alike, and reads them again as the text they were converted to.
  auto trimmed = merge_files({base, ours, theirs}, {}, false);
  ASSERT_TRUE(trimmed.ok());
  EXPECT_EQ(trimmed->merged, want);
  EXPECT_EQ(merge(base, ours, base).merged, ours);
  EXPECT_EQ(merge(base, base, theirs).merged, theirs);
}

TEST(FileMergeTest, EntityReferencesMergeAsTheTextTheyAreWrittenAs) {
  const std::string doctype =
      "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\" [\n"
      "  <!ENTITY iface \"org.example.Vext\">\n]>\n";
  const std::string base = doctype +
                           "<node>\n  <interface name=\"&iface;\">\n    <method name=\"Get\"/>\n  </interface>\n"
                           "  <doc>Talks to &iface; over the bus.</doc>\n  <doc>Second</doc>\n</node>\n";
  std::string ours = base, theirs = base;
  ours.replace(ours.find("over the bus"), 12, "over the system bus");
  theirs.replace(theirs.find("Second"), 6, "Second, &iface; again");
  theirs.replace(theirs.find("\"Get\"/>"), 7, "\"Get\"/>\n    <method name=\"Set\"/>");
  std::string want = ours;
  want.replace(want.find("Second"), 6, "Second, &iface; again");
  want.replace(want.find("\"Get\"/>"), 7, "\"Get\"/>\n    <method name=\"Set\"/>");
  const FileMerge m = merge(base, ours, theirs);
  EXPECT_EQ(m.merged, want);
  EXPECT_TRUE(m.conflicts.empty());
  EXPECT_EQ(merge_files({base, ours, theirs}, {}, false)->merged, want);
  // Both keeping a reference agree; replacing it by its text is a change.
  EXPECT_EQ(diff(base, base), std::vector<std::string>{});
  std::string expanded = base;
  expanded.replace(expanded.find("Talks to &iface;"), 16, "Talks to org.example.Vext");
  EXPECT_EQ(diff(base, expanded), (std::vector<std::string>{
                                      "update /node/doc[1] text: Talks to &iface; over the bus. -> "
                                      "Talks to org.example.Vext over the bus.",
                                  }));
}

TEST(FileMergeTest, MarkersInAnEncodingWriteWhatItCannotHoldAsReferences) {
  const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";
  const std::string base = latin1 + "<r>\n  <a>caf\xE9</a>\n  <b>x</b>\n</r>\n";
  const std::string ours = latin1 + "<r>\n  <a>th\xE9</a>\n  <b>x</b>\n</r>\n";
  // Theirs writes its euro signs as references, and in its own encoding.
  const std::string theirs = latin1 + "<r>\n  <a t=\"&#8364;\">&#8364;</a>\n  <b>&#x20AC; y</b>\n</r>\n";
  const std::string theirs_utf8 = "<r>\n  <a t=\"\xE2\x82\xAC\">\xE2\x82\xAC</a>\n  <b>\xE2\x82\xAC y</b>\n</r>\n";
  // Theirs' new attribute is merged into ours' version.
  const std::string want = latin1 + "<r>\n<<<<<<< ours\n  <a t=\"&#x20AC;\">th\xE9</a>\n||||||| base\n  <a>caf\xE9</a>\n=======\n";
  const std::string end = ">>>>>>> theirs\n  <b>&#x20AC; y</b>\n</r>\n";
  EXPECT_EQ(merge(base, ours, theirs, true).merged,
            want + "  <a t=\"&#8364;\">&#8364;</a>\n" + end);
  EXPECT_EQ(merge(base, ours, theirs_utf8, true).merged,
            want + "  <a t=\"&#x20AC;\">&#x20AC;</a>\n" + end);
  auto trimmed = merge_files({base, ours, theirs_utf8}, {}, true);
  ASSERT_TRUE(trimmed.ok()) << trimmed.error().error.text();
  EXPECT_EQ(trimmed->merged, want + "  <a t=\"&#x20AC;\">&#x20AC;</a>\n" + end);
  // A side whose text the encoding cannot hold outside text and values is refused.
  const std::string odd = "<r>\n  <a>\xE2\x82\xAC</a>\n  <b\xCE\xB1/>\n</r>\n";
  const auto docs = read({base, ours, odd});
  auto refused = merge_documents(docs[0], docs[1], docs[2], true);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().error.text(),
            "the result holds characters that ISO-8859-1 cannot hold, outside text and attribute values");
}

// An ISO-3166 style list, one country per line, in the order `codes` gives.
std::string countries(const std::vector<std::string>& codes, const std::vector<std::string>& renamed = {}) {
  std::string out = "{\"countries\": [\n";
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::string& c = codes[i];
    out += "  {\"alpha2\": \"" + c + "\", \"name\": \"" + (std::count(renamed.begin(), renamed.end(), c) ? "New " : "") + "Land " + c + "\"}";
    out += i + 1 < codes.size() ? ",\n" : "\n";
  }
  return out + "]}\n";
}

std::vector<std::string> keyed_diff(const std::string& a, const std::string& b, std::vector<IdKey> keys) {
  auto changes = diff_files({a, b}, FileOptions{.id_keys = std::move(keys)});
  if (!changes.ok()) return {"error: " + changes.error().error.text()};
  std::vector<std::string> out;
  for (const FileChange& c : *changes) {
    out.push_back(std::string(change_op_name(c.op)) + " " + path_text(c.path) + " " + std::string(field_name(c.field)) + ": " +
                  c.old_value.value_or("-") + " -> " + c.new_value.value_or("-"));
  }
  return out;
}

TEST(FileMergeTest, ACommentASideWroteIsKeptOrTheMergeRefused) {
  const std::string base = "{\n  // port\n  \"port\": 80,\n  \"host\": \"a\"\n}\n";
  const std::string ours = "{\n  // port\n  \"port\": 80,\n  \"host\": \"b\"\n}\n";
  const auto merged = [&](const std::string& theirs) { return merge_files({base, ours, theirs}, {}, true); };
  // A comment theirs changed, where ours' layout is written: refused, never dropped.
  for (const std::string& theirs : {std::string("{\n  // the port\n  \"port\": 80,\n  \"host\": \"a\"\n}\n"),
                                    std::string("{\n  /* the\n  port */\n  \"port\": 81,\n  \"host\": \"a\"\n}\n")}) {
    const auto got = merged(theirs);
    ASSERT_FALSE(got.ok()) << theirs;
    EXPECT_TRUE(got.error().error.message.starts_with("the merge would lose a comment a side wrote (")) << got.error().error.message;
    EXPECT_EQ(got.error().error.message.find('\n'), std::string::npos);
  }
  // Comments that travel with the members they precede, or that ours changed, are kept.
  const auto added = merged("{\n  // port\n  \"port\": 80,\n  // user\n  \"user\": \"u\",\n  \"host\": \"a\"\n}\n");
  ASSERT_TRUE(added.ok()) << added.error().error.message;
  EXPECT_NE(added->merged.find("// user"), std::string::npos);
  const auto removed = merged("{\n  \"host\": \"a\"\n}\n");
  ASSERT_TRUE(removed.ok()) << removed.error().error.message;
  EXPECT_EQ(removed->merged.find("\"port\""), std::string::npos);
  EXPECT_NE(removed->merged.find("\"host\": \"b\""), std::string::npos);
  // Strings that look like comments are none.
  const auto strings = merge_files({"{\"a\": \"//x\", \"b\": 1, \"c\": 1}", "{\"a\": \"//x\", \"b\": 2, \"c\": 1}",
                                    "{\"a\": \"//y\", \"b\": 1, \"c\": 2}"}, {}, true);
  ASSERT_TRUE(strings.ok());
  EXPECT_EQ(strings->merged, "{\"a\": \"//y\", \"b\": 2, \"c\": 2}");
}

TEST(FileIdKeyTest, KeyedArrayElementsPairByTheirKey) {
  const std::string before = countries({"AD", "AE", "AF", "AG", "AI", "AL", "AM", "AO"});
  const std::string after = countries({"AD", "AE", "AF", "AFX", "AG", "AI", "AL", "AM", "AO"});
  const std::vector<std::string> one_insert = {
      "insert /countries/3 node: - -> {\"alpha2\": \"AFX\", \"name\": \"Land AFX\"}"};
  EXPECT_EQ(keyed_diff(before, after, {{.name = "alpha2"}}), one_insert);
  EXPECT_EQ(keyed_diff(before, after, {{.pointer = "/countries", .name = "alpha2"}}), one_insert);
  EXPECT_EQ(keyed_diff(before, after, {{.pointer = "/*", .name = "alpha2"}}), one_insert);
  // A reordered array is a move of the elements that moved, not a rewrite of their values.
  const std::string reordered = countries({"AD", "AE", "AF", "AO", "AG", "AI", "AL", "AM"});
  EXPECT_EQ(keyed_diff(before, reordered, {{.name = "alpha2"}}),
            std::vector<std::string>{"move /countries/7 position: 7 -> 3"});
  // Where the elements after the new one changed too, only keys tell them apart.
  const std::string edited = countries({"AD", "AE", "AF", "AFX", "AG", "AI", "AL", "AM", "AO"}, {"AG", "AI", "AL"});
  const std::vector<std::string> keyed = {"insert /countries/3 node: - -> {\"alpha2\": \"AFX\", \"name\": \"Land AFX\"}",
                                         "update /countries/3/name text: Land AG -> New Land AG",
                                         "update /countries/4/name text: Land AI -> New Land AI",
                                         "update /countries/5/name text: Land AL -> New Land AL"};
  EXPECT_EQ(keyed_diff(before, edited, {{.name = "alpha2"}}), keyed);
  // A pattern for another array leaves this one aligned by position: its keys are rewritten.
  const auto aligned = keyed_diff(before, edited, {{.pointer = "/other", .name = "alpha2"}});
  EXPECT_NE(aligned, keyed);
  EXPECT_EQ(aligned.front(), "update /countries/3/alpha2 text: AG -> AFX");
  // Patterns reach nested arrays by "*"; numbers are keys too.
  const std::string items = R"({"items": [{"parts": [{"sku": 7, "n": 1}, {"sku": 8, "n": 2}]}]})";
  const std::string items2 = R"({"items": [{"parts": [{"sku": 9, "n": 0}, {"sku": 7, "n": 1}, {"sku": 8, "n": 3}]}]})";
  EXPECT_EQ(keyed_diff(items, items2, {{.pointer = "/items/*/parts", .name = "sku"}}),
            (std::vector<std::string>{"insert /items/0/parts/0 node: - -> {\"sku\": 9, \"n\": 0}",
                                      "update /items/0/parts/1/n text: 2 -> 3"}));
}

TEST(FileIdKeyTest, KeyedMergesTakeEditsOfDifferentElementsAndRefuseWhatCannotBeTold) {
  const std::string base = countries({"AD", "AE", "AF", "AG"});
  const std::string ours = countries({"AD", "AE", "AF", "AG"}, {"AE"});
  const std::string theirs = countries({"AD", "AB", "AF", "AG", "AE"}, {"AG"});
  const FileOptions keyed{.id_keys = {{.name = "alpha2"}}};
  auto merged = merge_files({base, ours, theirs}, keyed, true);
  ASSERT_TRUE(merged.ok()) << merged.error().error.text();
  EXPECT_EQ(merged->merged, countries({"AD", "AB", "AF", "AG", "AE"}, {"AE", "AG"}));
  EXPECT_TRUE(merged->conflicts.empty());
  // Two elements with one key value, and keys for XML, are refused.
  auto twice = diff_files({base, countries({"AD", "AD"})}, keyed);
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().which, 1);
  EXPECT_EQ(twice.error().error.text(), "the elements 0 and 1 of the array /countries have the same key \"alpha2\": \"AD\"");
  auto xml = diff_files({"<a/>", "<a/>"}, keyed);
  ASSERT_FALSE(xml.ok());
  EXPECT_EQ(xml.error().error.text(), "identity keys are given, but the file is XML, whose elements take identity attributes");
  EXPECT_EQ(parse_id_key("alpha2"), (IdKey{.pointer = "", .name = "alpha2"}));
  EXPECT_EQ(parse_id_key("/a@b/*@c@d"), (IdKey{.pointer = "/a@b/*@c", .name = "d"}));
  EXPECT_EQ(parse_id_key("/a"), std::nullopt);
  EXPECT_EQ(parse_id_key("/a@"), std::nullopt);
  EXPECT_EQ(parse_id_key(""), std::nullopt);
}

TEST(FileMergeTest, NewNodesAndMarkersFollowTheLinesOfOurs) {
  const std::string base = "<r>\r\n  <a id=\"1\">x</a>\r\n  <b/>\r\n</r>\r\n";
  const std::string ours = "<r>\r\n  <a id=\"1\">y</a>\r\n  <b/>\r\n</r>\r\n";
  const std::string theirs = "<r>\r\n  <a id=\"1\">z</a>\r\n  <b/>\r\n</r>\r\n";
  EXPECT_EQ(merge(base, ours, theirs, true).merged,
            "<r>\r\n<<<<<<< ours\r\n  <a id=\"1\">y</a>\r\n||||||| base\r\n  <a id=\"1\">x</a>\r\n=======\r\n"
            "  <a id=\"1\">z</a>\r\n>>>>>>> theirs\r\n  <b/>\r\n</r>\r\n");
  // Theirs inserts nodes where ours' siblings each stand on their own line.
  const std::string xml = "<r>\n  <a/>\n  <b/>\n</r>\n";
  EXPECT_EQ(merge(xml, "<r>\n  <a/>\n  <b k=\"1\"/>\n</r>\n", "<r>\n  <a/><new/>\n  <b/><c/>\n</r>\n").merged,
            "<r>\n  <a/>\n  <new/>\n  <b k=\"1\"/>\n  <c/>\n</r>\n");
  // Ours shows no indentation where theirs adds children: they take theirs' lines.
  EXPECT_EQ(merge("<r/>\n", "<r k=\"1\"/>\n", "<r>\n  <a/>\n</r>\n").merged, "<r k=\"1\">\n  <a/>\n</r>\n");
  const std::string json = "{\n  \"a\": 1,\n  \"b\": [\n    1,\n    2\n  ]\n}\n";
  EXPECT_EQ(merge(json, "{\n  \"a\": 2,\n  \"b\": [\n    1,\n    2\n  ]\n}\n",
                  "{\n  \"a\": 1, \"n\": 0,\n  \"b\": [\n    1, 3,\n    2\n  ]\n}\n").merged,
            "{\n  \"a\": 2,\n  \"n\": 0,\n  \"b\": [\n    1,\n    3,\n    2\n  ]\n}\n");
}

// A node shown without bytes of its own is written fresh; one that cannot be
// written in the file's format is an error, never some other node's text.
TEST(FileViewTest, NodesWrittenFreshOrRefused) {
  using detail::value_text;
  TreeNode element("item");
  element.attributes = {{"a", "1 < 2"}};
  element.children.emplace_back("#text").text = "x & y";
  EXPECT_EQ(value_text(element, nullptr, std::nullopt, Format::Xml).value(), "<item a=\"1 &lt; 2\">x &amp; y</item>");
  TreeNode member("string");
  member.identity = "name";
  member.text = "q\"";
  EXPECT_EQ(value_text(member, nullptr, std::nullopt, Format::Json).value(), "\"q\\\"\"");
  for (const char* kind : {"1bad", "a b", ""}) {
    const auto text = value_text(TreeNode(kind), nullptr, std::nullopt, Format::Xml);
    ASSERT_FALSE(text.ok()) << kind;
    EXPECT_NE(text.error().text().find("XML"), std::string::npos) << text.error().text();
  }
  EXPECT_FALSE(value_text(TreeNode("no such kind"), nullptr, std::nullopt, Format::Json).ok());
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

namespace vext {
namespace {

// Texts of a diff's rows and of a merge's result, to compare two ways of
// computing them.
std::vector<std::string> rows(const std::vector<FileChange>& changes) {
  std::vector<std::string> out;
  for (const FileChange& c : changes) {
    out.push_back(std::string(change_op_name(c.op)) + " " + path_text(c.path) + " " + std::string(field_name(c.field)) + ": " +
                  c.old_value.value_or("-") + " -> " + c.new_value.value_or("-"));
  }
  return out;
}

std::string merge_text(const FileMerge& m) {
  std::string out = m.merged;
  for (const FileConflict& c : m.conflicts) {
    out += "\n! " + c.path + " " + std::string(field_name(c.field)) + " " + c.base.value_or("-") + " " +
           c.ours.value_or("-") + " " + c.theirs.value_or("-");
  }
  return out;
}

// A small document of the given format, from a list of items that a test
// edits: keyed and anonymous entries, nested lists, repeated values, so that
// equal sub-trees stand at several places.
struct Item {
  std::string key;  // empty: no identity
  std::string kind = "entry";
  std::vector<std::string> values;
};

std::string render(const std::vector<Item>& items, Format format) {
  std::string out;
  if (format == Format::Xml) {
    out = "<?xml version=\"1.0\"?>\n<list>\n";
    for (const Item& it : items) {
      out += "  <" + it.kind + (it.key.empty() ? "" : " id=\"" + it.key + "\"") + " n=\"" +
             std::to_string(it.values.size()) + "\">";
      for (const std::string& v : it.values) out += "<v>" + v + "</v>";
      out += "</" + it.kind + ">\n";
    }
    return out + "</list>\n";
  }
  out = "{\n  \"keyed\": {";
  bool first = true;
  for (const Item& it : items) {
    if (it.key.empty()) continue;
    out += std::string(first ? "" : ",") + "\n    \"" + it.key + "\": [";
    for (std::size_t k = 0; k < it.values.size(); ++k) out += (k ? ", \"" : "\"") + it.values[k] + "\"";
    out += "]";
    first = false;
  }
  out += "\n  },\n  \"anonymous\": [";
  first = true;
  for (const Item& it : items) {
    if (!it.key.empty()) continue;
    out += std::string(first ? "" : ",") + "\n    {\"kind\": \"" + it.kind + "\", \"v\": [";
    for (std::size_t k = 0; k < it.values.size(); ++k) out += (k ? ", \"" : "\"") + it.values[k] + "\"";
    out += "]}";
    first = false;
  }
  return out + "\n  ]\n}\n";
}

std::vector<Item> base_items(std::uint32_t& seed, std::size_t count) {
  auto next = [&seed] { return seed = seed * 1103515245U + 12345U, (seed >> 8) % 1000; };
  std::vector<Item> items;
  for (std::size_t i = 0; i < count; ++i) {
    Item it;
    if (next() % 3 != 0) it.key = "k" + std::to_string(i);
    it.kind = next() % 4 == 0 ? "other" : "entry";
    const std::size_t n = 1 + next() % 3;
    for (std::size_t k = 0; k < n; ++k) it.values.push_back("v" + std::to_string(next() % 4));
    items.push_back(std::move(it));
  }
  return items;
}

// Changes a few items: values, removals, duplicates, moves and new items.
std::vector<Item> edited(std::vector<Item> items, std::uint32_t& seed, std::size_t edits) {
  auto next = [&seed] { return seed = seed * 1103515245U + 12345U, (seed >> 8) % 1000; };
  for (std::size_t e = 0; e < edits && !items.empty(); ++e) {
    const std::size_t at = next() % items.size();
    switch (next() % 5) {
      case 0: items[at].values.back() = "w" + std::to_string(next() % 3); break;
      case 1: items.erase(items.begin() + static_cast<std::ptrdiff_t>(at)); break;
      case 2: {  // a copy, under a new key when it has one
        Item copy = items[at];
        if (!copy.key.empty()) copy.key += "c" + std::to_string(e);
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(next() % items.size()), std::move(copy));
        break;
      }
      case 3: {
        Item moved = items[at];
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(at));
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(next() % (items.size() + 1)), std::move(moved));
        break;
      }
      default: items.push_back(Item{"", "entry", {"new" + std::to_string(e)}}); break;
    }
  }
  return items;
}

}  // namespace

// Reading a file trims what every file of a call holds alike; the rows and
// the merged file must be exactly those that whole trees give, whatever the
// files hold: moves, copies and anonymous siblings with equal twins.
TEST(FileTrimTest, TrimmedDiffsAndMergesEqualThoseOfWholeTrees) {
  for (const Format format : {Format::Xml, Format::Json}) {
    for (std::uint32_t round = 0; round < 60; ++round) {
      std::uint32_t seed = round * 7919U + 1;
      const std::vector<Item> base = base_items(seed, 12 + round % 20);
      const std::string b = render(base, format);
      const std::string o = render(edited(base, seed, round % 4), format);
      const std::string t = render(edited(base, seed, 1 + round % 3), format);
      SCOPED_TRACE(b + "\n---\n" + o + "\n---\n" + t);

      const auto whole = read({b, o, t});
      const auto trimmed_diff = diff_files({b, o}, {});
      ASSERT_TRUE(trimmed_diff.ok());
      EXPECT_EQ(rows(trimmed_diff.value()), rows(diff_documents(whole[0], whole[1]).value()));
      for (const bool markers : {false, true}) {
        const auto expected = merge_documents(whole[0], whole[1], whole[2], markers);
        const auto got = merge_files({b, o, t}, {}, markers);
        ASSERT_TRUE(expected.ok() && got.ok());
        EXPECT_EQ(merge_text(got.value()), merge_text(expected.value()));
      }
    }
  }
}

// Runs of array elements alike in every file are read as one stub each.
// Every pair of single edits (a value changed, inserted, removed, or moved)
// to a small array that repeats its values, with runs of numbers, strings
// and objects and whitespace between them: the rows and the merged file
// are exactly those whole trees give.
TEST(FileTrimTest, RunsOfElementsDiffAndMergeAsWholeTrees) {
  const std::vector<std::string> base{"1", "2", "1", "\"a\"", "\"a\"", "{\"x\": 1}", "{\"x\": 1}", "1", "2", "3"};
  using Array = std::vector<std::string>;
  std::vector<Array> edits{base};
  for (std::size_t at = 0; at < base.size(); ++at) {
    Array changed = base, removed = base, inserted = base, moved = base;
    changed[at] = "7";
    removed.erase(removed.begin() + static_cast<std::ptrdiff_t>(at));
    inserted.insert(inserted.begin() + static_cast<std::ptrdiff_t>(at), "2");
    moved.erase(moved.begin() + static_cast<std::ptrdiff_t>(at));
    moved.insert(moved.begin() + static_cast<std::ptrdiff_t>((at + 4) % moved.size()), base[at]);
    for (Array* a : {&changed, &removed, &inserted, &moved}) edits.push_back(*a);
  }
  auto render_array = [](const Array& a) {
    std::string out = "{\"list\": [";
    for (std::size_t k = 0; k < a.size(); ++k) out += (k ? (k % 3 ? ", " : ",\n  ") : "") + a[k];
    return out + "]}\n";
  };
  const std::string b = render_array(base);
  for (const Array& ours : edits) {
    const std::string o = render_array(ours);
    const auto whole_pair = read({b, o});
    const auto trimmed_diff = diff_files({b, o}, {});
    ASSERT_TRUE(trimmed_diff.ok());
    EXPECT_EQ(rows(trimmed_diff.value()), rows(diff_documents(whole_pair[0], whole_pair[1]).value())) << o;
    for (const Array& theirs : edits) {
      const std::string t = render_array(theirs);
      const auto whole = read({b, o, t});
      const auto expected = merge_documents(whole[0], whole[1], whole[2], true);
      const auto got = merge_files({b, o, t}, {}, true);
      ASSERT_TRUE(expected.ok() && got.ok());
      EXPECT_EQ(merge_text(got.value()), merge_text(expected.value())) << o << t;
    }
  }
  // Only a run stub stands for more than one sibling; a stub that carries
  // more than a fingerprint (as the store's carry an object id) stands for one.
  const std::vector<std::uint64_t> prints{1, 2, 3, 4};
  TreeNode run("number"), other("object");
  detail::make_run_stub(run, 9, prints);
  detail::make_stub(other, 9);
  other.text.append(32, 'x');
  EXPECT_EQ(detail::stub_width(run), 4U);
  EXPECT_EQ(detail::stub_width(other), 1U);
  EXPECT_EQ(detail::run_print(run, 3), 4U);
  // A run is read as one stub, whose elements count in the paths shown.
  const std::string o = render_array({"1", "2", "1", "\"a\"", "\"a\"", "{\"x\": 1}", "{\"x\": 1}", "1", "2", "4"});
  const auto shown = diff_files({b, o}, {});
  ASSERT_TRUE(shown.ok());
  ASSERT_EQ(shown->size(), 1U);
  EXPECT_EQ(path_text(shown->front().path), "/list/9");
  // So they do in an array of one kind, whose paths are found without a sort.
  std::string numbers = "[", changed = "[";
  for (int k = 0; k < 40; ++k) {
    numbers += (k ? ", " : "") + std::to_string(k % 7);
    changed += (k ? ", " : "") + std::to_string(k == 37 ? 99 : k % 7);
  }
  const auto in_numbers = diff_files({numbers + "]", changed + "]"}, {});
  ASSERT_TRUE(in_numbers.ok());
  ASSERT_EQ(in_numbers->size(), 1U);
  EXPECT_EQ(path_text(in_numbers->front().path), "/37");
}

// A sketch's fingerprints are those the engine computes on the whole tree,
// so that a stub stands in the engine's pairing exactly as its sub-tree.
TEST(FileTrimTest, SketchFingerprintsAreTheEnginesOwn) {
  const std::vector<std::string> sources = {
      R"(<?xml version="1.0"?><!--c--><a x="1" id="r"><b>text &amp; more</b><b/>)"
      R"(mixed <i>run</i> tail<![CDATA[x<y]]><?pi d?></a>)",
      R"({"a": [1, 1.50, "s\u00e9", true, null, {"k": {}}], "b": {"c": []}})",
  };
  for (const std::string& source : sources) {
    auto sketch = read_document(source, ReadOptions{.sketch = true});
    auto whole = read_document(source);
    ASSERT_TRUE(sketch.ok() && whole.ok());
    const StopCheck no_stop;
    detail::Ticker ticker(no_stop);
    const detail::IndexedTree index(whole->tree, ticker);
    // The index is breadth-first; a walk of it in preorder meets the nodes
    // in the order of the sketch.
    std::vector<std::uint64_t> in_preorder;
    std::vector<std::size_t> stack{0};
    while (!stack.empty()) {
      const std::size_t i = stack.back();
      stack.pop_back();
      in_preorder.push_back(index[i].hash);
      for (std::size_t k = index.child_count(i); k-- > 0;) stack.push_back(index.child(i, k));
    }
    ASSERT_EQ(sketch->sketch.size(), in_preorder.size()) << source;
    for (std::size_t i = 0; i < in_preorder.size(); ++i) EXPECT_EQ(sketch->sketch[i].fingerprint, in_preorder[i]) << i;
  }
}

// Trimmed nodes read as stubs in place, the rest as usual, and the file
// writes back byte for byte.
TEST(FileTrimTest, TrimmedReadingKeepsStubsInPlaceAndWritesBackTheSameBytes) {
  const std::string xml = "<a>\n  <b id=\"1\" x=\"y\">\n    <c>t</c>\n  </b>\n  <b id=\"2\"><c>u</c></b>\n</a>\n";
  auto sketch = read_xml(xml, ReadOptions{.sketch = true});
  ASSERT_TRUE(sketch.ok());
  const SketchNode& first = sketch->sketch[2];  // #document, a, then the first b
  const std::vector<Trim> trims{{first.begin, first.head_end, first.tail_begin, first.fingerprint}};
  auto doc = read_xml(xml, ReadOptions{.trims = &trims, .node_count = 4});
  ASSERT_TRUE(doc.ok()) << doc.error().text();
  const TreeNode& stub = doc->tree.children[0].children[0];
  EXPECT_TRUE(detail::is_stub(stub));
  EXPECT_EQ(stub.identity, "1");
  EXPECT_TRUE(stub.children.empty() && stub.attributes.empty());
  EXPECT_EQ(doc->tree.children[0].children[1].children.size(), 1U);
  const auto written = rewrite(*doc);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(written.value(), xml);

  // A trim that names no node where it says is refused, never read wrongly.
  const std::vector<Trim> wrong{{first.begin + 1, first.head_end, first.tail_begin, first.fingerprint}};
  EXPECT_FALSE(read_xml(xml, ReadOptions{.trims = &wrong}).ok());

  // A run of JSON elements reads as one stub and writes back as its bytes;
  // one that is not in an array, not at an element, or whose fingerprints
  // are not all there is refused.
  const std::string json = "{\"a\": [1, 2, 3, 4], \"b\": 5}";
  const std::vector<std::uint64_t> prints{11, 12, 13};
  const std::vector<Trim> run{{.begin = 10, .skip_begin = 10, .skip_end = 17, .fingerprint = 7, .width = 3}};
  auto runs = read_json(json, ReadOptions{.trims = &run, .run_prints = &prints});
  ASSERT_TRUE(runs.ok()) << runs.error().text();
  const TreeNode& array = runs->tree.children[0];
  ASSERT_EQ(array.children.size(), 2U);
  EXPECT_EQ(detail::stub_width(array.children[1]), 3U);
  EXPECT_EQ(detail::run_print(array.children[1], 2), 13U);
  const auto back = rewrite(*runs);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value(), json);
  for (const Trim& bad : {Trim{.begin = 9, .skip_begin = 9, .skip_end = 17, .fingerprint = 7, .width = 3},
                          Trim{.begin = 26, .skip_begin = 26, .skip_end = 27, .fingerprint = 7, .width = 1},
                          Trim{.begin = 10, .skip_begin = 10, .skip_end = 17, .fingerprint = 7, .width = 3,
                               .prints_at = 1}}) {
    const std::vector<Trim> one{bad};
    EXPECT_FALSE(read_json(json, ReadOptions{.trims = &one, .run_prints = &prints}).ok()) << bad.begin;
  }
}

// A stub asked for anything but the bytes it stands for cannot give them:
// writing, diffing and merging say so, and the whole trees give the answer.
TEST(FileTrimTest, AStubAskedForMoreThanItsBytesAsksForWholeTrees) {
  struct Case {
    std::string source, changed, elsewhere;
    Format format;
  };
  const std::vector<Case> cases{
      {"<a>\n  <b id=\"1\"><c>t</c></b>\n  <b id=\"2\"/>\n</a>\n",
       "<a>\n  <b id=\"1\"><c>T</c></b>\n  <b id=\"2\"/>\n</a>\n",
       "<a>\n  <b id=\"1\"><c>t</c></b>\n  <b id=\"2\" k=\"v\"/>\n</a>\n", Format::Xml},
      {"{\"p\": {\"q\": [1, 2]}, \"r\": 3}", "{\"p\": {\"q\": [1, 5]}, \"r\": 3}",
       "{\"p\": {\"q\": [1, 2]}, \"r\": 4}", Format::Json},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const ReadOptions plain;
    auto sketch = read_document(c.source, ReadOptions{.sketch = true});
    ASSERT_TRUE(sketch.ok());
    const SketchNode& first = sketch->sketch[c.format == Format::Xml ? 2 : 1];
    const std::vector<Trim> trims{{first.begin, first.head_end, first.tail_begin, first.fingerprint}};
    ReadOptions trimmed = plain;
    trimmed.trims = &trims;
    auto doc = read_document(c.source, trimmed);
    auto changed = read_document(c.changed, plain);
    ASSERT_TRUE(doc.ok() && changed.ok());
    ASSERT_TRUE(doc->stubs);
    TreeNode& stub = c.format == Format::Xml ? doc->tree.children[0].children[0] : doc->tree.children[0];
    ASSERT_TRUE(detail::is_stub(stub));
    Correspondence same{std::vector<std::optional<std::uint32_t>>(doc->layout.size())};
    for (std::uint32_t i = 0; i < same.origin.size(); ++i) same.origin[i] = i;
    EXPECT_TRUE(write_document(*doc, doc->tree, same).ok());

    // In place of a node that is not its equal, or as a node of its own.
    TreeNode other = doc->tree;
    TreeNode& replaced = c.format == Format::Xml ? other.children[0].children[0] : other.children[0];
    replaced.label.clear();
    auto written = write_document(*doc, other, same);
    ASSERT_FALSE(written.ok());
    EXPECT_TRUE(written.error().needs_whole_trees);
    Correspondence fresh = same;
    fresh.origin[c.format == Format::Xml ? 2 : 1].reset();
    written = write_document(*doc, doc->tree, fresh);
    ASSERT_FALSE(written.ok());
    EXPECT_TRUE(written.error().needs_whole_trees);
    // A real problem of the tree is never taken for one.
    TreeNode bad = doc->tree;
    bad.children.emplace_back(c.format == Format::Xml ? "#text" : "number").text = "1";
    Correspondence grown = same;
    grown.origin.push_back(std::nullopt);
    written = write_document(*doc, bad, grown);
    ASSERT_FALSE(written.ok());
    EXPECT_FALSE(written.error().needs_whole_trees) << written.error().text();

    // The stub meets the changed sub-tree it stood for.
    auto diff = diff_documents(*doc, *changed);
    ASSERT_FALSE(diff.ok());
    EXPECT_TRUE(diff.error().error.needs_whole_trees);
    auto merged = merge_documents(*doc, *doc, *changed, false);
    EXPECT_TRUE(merged.ok());
    auto base = read_document(c.source, plain), elsewhere = read_document(c.elsewhere, plain);
    ASSERT_TRUE(base.ok() && elsewhere.ok());
    merged = merge_documents(*changed, *doc, *elsewhere, false);
    ASSERT_FALSE(merged.ok());
    EXPECT_TRUE(merged.error().error.needs_whole_trees);
    // Read whole, the files answer.
    EXPECT_TRUE(diff_documents(*base, *changed).ok());
    EXPECT_EQ(diff_files({c.source, c.changed}, {}).value().size(), 1U);
    EXPECT_TRUE(merge_documents(*changed, *base, *elsewhere, false).ok());
  }
}

}  // namespace vext
