#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "builders.h"

#include "files/files.h"
#include "common/utf8.h"
#include "formats/document.h"
#include "formats/encoding.h"

namespace vext {
namespace {

using testing::node;

}  // namespace

// Shows a tree in failure messages.
void PrintTo(const TreeNode& n, std::ostream* os) {
  *os << n.kind;
  if (n.identity) *os << "#" << *n.identity;
  for (const auto& [name, value] : n.attributes) *os << " " << name << "=" << ::testing::PrintToString(value);
  if (!n.text.empty()) *os << " " << ::testing::PrintToString(n.text);
  if (n.children.empty()) return;
  *os << " {";
  for (const TreeNode& c : n.children) PrintTo(c, os), *os << "; ";
  *os << "}";
}

namespace {

Document read_ok(const std::string& source, const ReadOptions& options = {}) {
  auto doc = read_document(source, options);
  EXPECT_TRUE(doc.ok()) << (doc.ok() ? "" : doc.error().text()) << "\n" << source;
  return doc.ok() ? std::move(*doc) : Document{};
}

// Writes `tree` against `doc`, paired by position and identity.
Result<std::string, FormatError> write(const Document& doc, const TreeNode& tree) {
  return write_document(doc, tree, correspond_by_position(doc, tree));
}

// Reads `source`, applies `edit` to its tree, writes it back, and checks that
// the result reads back as the edited tree.
std::string edited(const std::string& source, const std::function<void(TreeNode&)>& edit) {
  const Document doc = read_ok(source);
  TreeNode tree = doc.tree;
  edit(tree);
  auto out = write(doc, tree);
  if (!out.ok()) return "error: " + out.error().text();
  EXPECT_EQ(read_ok(*out).tree, tree) << *out;
  return *out;
}

std::string write_error(const std::string& source, const std::function<void(TreeNode&)>& edit) {
  const Document doc = read_ok(source);
  TreeNode tree = doc.tree;
  edit(tree);
  auto out = write(doc, tree);
  return out.ok() ? "written: " + *out : out.error().text();
}

const std::vector<std::string> kXmlFiles = {
    "<a/>",
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<r>\r\n\t<x/>\r\n</r>\r\n",
    "<?xml version='1.0'?>\n<!DOCTYPE r SYSTEM \"r.dtd\" [\n  <!ELEMENT r ANY>\n  <!ATTLIST item kind CDATA \"plain\">\n"
    "  <!-- inside the subset -->\n]>\n<!-- before --><?style href=\"a.css\"?>\n"
    "<r xmlns=\"urn:r\" xmlns:f=\"urn:f\">\n  <item id=\"a\"\n        f:price = '1.50'\n        note=\"&lt;&amp;&#x41;\"/>\n"
    "  <p>Hello <b>world</b> again &amp; <![CDATA[<raw>]]>  </p>\n  <f:item xml:id=\"b\">  padded  </f:item>\n"
    "  <empty></empty><?pi   data?>\n  <!---->\n</r>\n<!-- after -->\n\n",
    "<r><a>1</a><b>2</b>   <c>  </c></r>",
    // Declared entities stay references, in text and in attribute values.
    "<!DOCTYPE book [\n  <!ENTITY product \"Vext\">\n  <!ENTITY sig \"<b>&product;</b>\">\n]>\n"
    "<book title=\"&product; &amp; co\">\n  <p>&product; &lt;3 &sig;</p>\n  <p>&product;</p>\n</book>\n",
};

const std::vector<std::string> kJsonFiles = {
    "{}",
    "[]\n",
    "{\"a\":1.50,\"b\":[-0,1e400,1E+2,12345678901234567890,\"\\u00e9\\n\"],\"c\":{\"d\":null,\"e\":true}}",
    "{\n  \"a\": [\n    1,\n    {\"x\": false}\n  ],\n  \"b\": \"caf\xC3\xA9\"\n}\n",
    "\xEF\xBB\xBF{\n\t\"k\": {\n\t\t\"n\": -1.0e-7\n\t}\n}",
    "  \"just a string\"  ",
    "{ \"a\" : [ ] , \"b\" : { } }",
};

TEST(FormatsRoundTripTest, UnchangedTreesWriteBackByteForByte) {
  for (const auto* files : {&kXmlFiles, &kJsonFiles}) {
    for (const std::string& source : *files) {
      const Document doc = read_ok(source);
      auto out = write(doc, doc.tree);
      ASSERT_TRUE(out.ok()) << out.error().text();
      EXPECT_EQ(*out, source);
    }
  }
}

TEST(FormatsXmlTest, MapsMarkupOntoNodesInDocumentOrder) {
  const Document doc = read_ok(kXmlFiles[2]);
  const TreeNode& top = doc.tree;
  ASSERT_EQ(top.kind, "#document");
  ASSERT_EQ(top.children.size(), 5u);
  EXPECT_EQ(top.children[0].kind, "#doctype");
  EXPECT_EQ(top.children[0].text.substr(0, 10), "<!DOCTYPE ");
  EXPECT_EQ(top.children[1], node("#comment", {}, " before "));
  EXPECT_EQ(top.children[2], node("#pi", {}, "style href=\"a.css\""));
  const TreeNode& r = top.children[3];
  EXPECT_EQ(r.attributes, (Attributes{{"xmlns", "urn:r"}, {"xmlns:f", "urn:f"}}));
  ASSERT_EQ(r.children.size(), 6u);
  // The DTD's default for "kind" is not added; the identity leaves the attributes.
  EXPECT_EQ(r.children[0], node("item", "a", "", {{"f:price", "1.50"}, {"note", "<&A"}}));
  EXPECT_EQ(r.children[1], node("p", {}, "", {},
                                {node("#text", {}, "Hello "), node("b", {}, "world"), node("#text", {}, " again & "),
                                 node("#cdata", {}, "<raw>")}));
  EXPECT_EQ(r.children[2], node("f:item", "b", "  padded  "));
  EXPECT_EQ(r.children[3], node("empty"));
  EXPECT_EQ(r.children[4], node("#pi", {}, "pi   data"));
  EXPECT_EQ(r.children[5], node("#comment"));
}

TEST(FormatsXmlTest, ReindentingIsNotAChange) {
  EXPECT_EQ(read_ok("<r>\n  <a x='1'>t</a>\n  <b/>\n</r>").tree, read_ok("<r><a x=\"1\">t</a><b/></r>\n").tree);
}

TEST(FormatsXmlTest, IdentityAttributesFollowTheConfiguration) {
  const std::string source = "<r><item key=\"k\" id=\"i\"/><other key=\"o\" xml:id=\"x\"/></r>";
  EXPECT_EQ(read_ok(source).tree.children[0].children[1], node("other", "x", "", {{"key", "o"}}));
  const ReadOptions by_key{.id_attrs = {*parse_id_attr("item@key")}};
  const Document keyed = read_ok(source, by_key);
  const TreeNode& r = keyed.tree.children[0];
  EXPECT_EQ(r.children[0], node("item", "k", "", {{"id", "i"}}));
  EXPECT_EQ(r.children[1], node("other", {}, "", {{"key", "o"}, {"xml:id", "x"}}));
  // A changed identity is written under the attribute it was read from.
  const Document doc = read_ok(source, by_key);
  TreeNode tree = doc.tree;
  tree.children[0].children[0].identity = "k2";
  EXPECT_EQ(*write(doc, tree), "<r><item key=\"k2\" id=\"i\"/><other key=\"o\" xml:id=\"x\"/></r>");

  EXPECT_EQ(parse_id_attr("a@b"), (IdAttr{"a", "b"}));
  EXPECT_EQ(parse_id_attr("id"), (IdAttr{"", "id"}));
  EXPECT_FALSE(parse_id_attr("a@"));
  EXPECT_FALSE(parse_id_attr(""));
}

TEST(FormatsJsonTest, MapsValuesOntoNodesWithLiteralText) {
  const TreeNode& t = read_ok(kJsonFiles[2]).tree;
  EXPECT_EQ(t.kind, "object");
  ASSERT_EQ(t.children.size(), 3u);
  EXPECT_EQ(t.children[0], node("number", "a", "1.50"));
  EXPECT_EQ(t.children[1], node("array", "b", "", {},
                                {node("number", {}, "-0"), node("number", {}, "1e400"), node("number", {}, "1E+2"),
                                 node("number", {}, "12345678901234567890"), node("string", {}, "\xC3\xA9\n")}));
  EXPECT_EQ(t.children[2], node("object", "c", "", {}, {node("null", "d"), node("boolean", "e", "true")}));
  const std::string huge = "[" + std::string(5000, '7') + "]";
  EXPECT_EQ(read_ok(huge).tree.children[0].text.size(), 5000u);
}

// Returns the UTF-16 (or with `wide`, UTF-32) code units of `text`, one per
// character, in either byte order: the tests' own converter, independent of iconv.
std::string units(std::u32string_view text, bool big_endian, bool wide = false) {
  std::string out;
  const int width = wide ? 4 : 2;
  auto put = [&](std::uint32_t u) {
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (big_endian ? width - 1 - i : i);
      out += static_cast<char>((u >> shift) & 0xFF);
    }
  };
  for (const char32_t c : text) {
    if (!wide && c > 0xFFFF) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

struct BadInput {
  std::string source;
  std::string message;
};

TEST(FormatsErrorTest, RefusesUnsafeOrBrokenInputWithItsPlace) {
  const std::vector<BadInput> cases = {
      {"<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>",
       "entity &e; is external (only entities declared inside the file are read) (line 1, column 52)"},
      {"<!DOCTYPE a [<!NOTATION n SYSTEM \"n\"><!ENTITY e SYSTEM \"x\" NDATA n>]><a/>", "entity &e; is external"},
      {"<!DOCTYPE a [<!ENTITY % p SYSTEM \"http://x/\">]><a/>", "parameter entity declarations are not allowed"},
      {"<!DOCTYPE a [<!ENTITY % p \"<!ENTITY e 'x'>\"> %p;]><a>&e;</a>", "parameter entity declarations are not allowed"},
      {"<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e; &amp;e;</a>",
       "an escaped \"&\" before the name of a declared entity could not be told from a reference to it"},
      {"<!DOCTYPE a [<!ENTITY e \"x\">]><a t=\"&#38;e;\"/>",
       "an escaped \"&\" before the name of a declared entity could not be told from a reference to it (line 1, column 37)"},
      {"<!DOCTYPE a [<!ENTITY e \"x\"><!ENTITY f \"&e;&e;\">]><a t=\"&f;\"/>",
       "the value of \"t\" cannot keep its entity references"},
      {"<!DOCTYPE a [<!ENTITY e \"x\"><!ATTLIST a t NMTOKENS #IMPLIED>]><a t=\" &e;  y\"/>",
       "the value of \"t\" cannot keep its entity references"},
      {"<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;&f;</a>", "invalid XML: undefined entity"},
      {"<!DOCTYPE a SYSTEM \"a.dtd\">\n<a price=\"[&foo;]\"/>",
       "entity &foo; is not defined (external DTDs are not read) (line 2, column 12)"},
      {"<!DOCTYPE a SYSTEM \"a.dtd\">\n<a>\n&foo;</a>", "entity &foo; is not defined (external DTDs are not read) (line 3"},
      {"<a>&foo;</a>", "invalid XML: undefined entity"},
      {"<?xml version=\"1.0\" encoding=\"bogus\"?><a/>", "unsupported encoding \"bogus\""},
      {"<?xml version=\"1.0\" encoding=\"latin1//TRANSLIT\"?><a/>", "unsupported encoding \"latin1//TRANSLIT\""},
      {"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>", "the declaration names \"UTF-16\" but the file is not in it"},
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"latin1\"?><a/>",
       "the declaration names \"latin1\" but the file is UTF-8 (line 1, column 2)"},
      {units(U"<?xml version='1.0' encoding='latin1'?><a/>", false),
       "the declaration names \"latin1\" but the file is UTF-16LE"},
      {std::string("\xFF\xFE<\0a\0>\0\x00\xDC<\0/\0a\0>\0", 16), "the bytes at offset 8 are not UTF-16LE text"},
      {std::string("\0[\0\x31", 3), "the bytes at offset 2 are not UTF-16BE text"},
      {"<?xml version=\"1.0\" encoding=\"UTF-7\"?><a>+AGEAYQ-</a>",
       "the file's UTF-7 text does not convert back to the same bytes"},
      {"<r>\n  <note\xF0\x9F\x98\x80/>\n</r>", "invalid XML: not well-formed (invalid token) (line 2, column 8)"},
      {"<a>\xC3</a>", "invalid XML: not well-formed (invalid token)"},
      {"<a></b>", "invalid XML: mismatched tag"},
      {"", "invalid JSON: the document is empty"},
      {"{\"a\": 1,\n \"a\": 2}", "duplicate member name \"a\" (line 2, column 2)"},
      {"[1, 2", "invalid JSON: missing a comma or ']' after an array element"},
      {"[01]", "invalid JSON"},
      {"[\"\xC3\"]", "invalid JSON: invalid encoding in string"},
      {"[\"\\udc00\"]", "invalid JSON: an escaped unpaired surrogate"},
      {std::string("[1]\0", 4), "invalid JSON: a NUL byte (line 1, column 4)"},
  };
  for (const BadInput& c : cases) {
    auto doc = read_document(c.source);
    ASSERT_FALSE(doc.ok()) << c.source;
    EXPECT_EQ(doc.error().text().substr(0, c.message.size()), c.message) << doc.error().text();
  }
}

TEST(FormatsXmlEntityTest, ReferencesStayUnexpandedTextAndWriteBackAsReferences) {
  const std::string& source = kXmlFiles[4];
  const Document doc = read_ok(source);
  const TreeNode& book = doc.tree.children[1];
  ASSERT_EQ(book.kind, "book");
  EXPECT_EQ(book.attributes, (Attributes{{"title", "&product; & co"}}));
  ASSERT_EQ(book.children.size(), 2u);
  EXPECT_EQ(book.children[0].text, "&product; <3 &sig;");
  EXPECT_EQ(book.children[1].text, "&product;");
  // The declarations are the DOCTYPE's text, byte for byte.
  EXPECT_EQ(doc.tree.children[0].text, source.substr(0, source.find("]>") + 2));
  // An edit next to a reference keeps it; an escaped "&" stays escaped.
  EXPECT_EQ(edited(source, [](TreeNode& t) {
              t.children[1].children[0].text = "&product; & &sig; 2";
              t.children[1].attributes[0].second = "&product; &amp; co";
            }),
            "<!DOCTYPE book [\n  <!ENTITY product \"Vext\">\n  <!ENTITY sig \"<b>&product;</b>\">\n]>\n"
            "<book title=\"&product; &amp;amp; co\">\n  <p>&product; &amp; &sig; 2</p>\n  <p>&product;</p>\n</book>\n");
  // Whitespace and character references around a reference in an attribute value.
  const Document attr = read_ok("<!DOCTYPE a [<!ENTITY e \"x\ty\">]><a t=\"&#65;\n&e;\t&#x20AC;\"/>");
  EXPECT_EQ(attr.tree.children[1].attributes, (Attributes{{"t", "A &e; \xE2\x82\xAC"}}));
}

TEST(FormatsXmlEntityTest, NestedEntitiesAreNeverExpanded) {
  // Each level names the one below ten times: expanded, the last would be 10^9 copies.
  std::string laughs = "<!DOCTYPE lolz [\n<!ENTITY lol0 \"lol\">\n";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "\">\n";
  }
  laughs += "]>\n";
  const std::string in_content = laughs + "<lolz>&lol9;</lolz>";
  const Document doc = read_ok(in_content);
  EXPECT_EQ(doc.tree.children[1].text, "&lol9;");
  EXPECT_EQ(write(doc, doc.tree).value(), in_content);
  // expat would expand a value; it stops long before that, and the reader refuses the file.
  auto in_attr = read_document(laughs + "<lolz a=\"&lol9;\"/>");
  ASSERT_FALSE(in_attr.ok());
}

// Configuration files with comments and trailing commas, each beside the
// same values as plain JSON.
const std::vector<std::pair<std::string, std::string>> kJsoncFiles = {
    {"// leading\n{\n  // before a\n  \"a\": 1, // after a\n  \"b\": /* between */ [\n    2, /* in */ 3,\n  ],\n"
     "  \"c\" /* before colon */ : \"// not /* a comment\",\n  \"d\": {\"e\": null,},\n  // after the last member\n}\n"
     "/* trailing */ // and more",
     "{\"a\": 1, \"b\": [2, 3], \"c\": \"// not /* a comment\", \"d\": {\"e\": null}}"},
    {"[1,]", "[1]"},
    {"{\"a\":1,}", "{\"a\":1}"},
    {"{} // no newline at the end", "{}"},
    {"/**/[/***/\"*/\",/* \" */12345678901234567890//1\n,1e400]", "[\"*/\", 12345678901234567890, 1e400]"},
    {"\r\n{\r\n\t\"x\": true, // crlf\r\n}\r\n", "{\"x\": true}"},
};

TEST(FormatsJsoncTest, CommentsAndTrailingCommasAreLayoutAndWriteBackByteForByte) {
  for (const auto& [source, plain] : kJsoncFiles) {
    const Document doc = read_ok(source);
    EXPECT_EQ(doc.tree, read_ok(plain).tree) << source;
    auto out = write(doc, doc.tree);
    ASSERT_TRUE(out.ok()) << out.error().text();
    EXPECT_EQ(*out, source);
    auto sketch = read_document(source, ReadOptions{.sketch = true});
    EXPECT_TRUE(sketch.ok()) << source;
  }
}

TEST(FormatsJsoncTest, EditsKeepTheCommentsAndStyleOfWhatStays) {
  const std::string settings =
      "{\n  // Output\n  \"out\": \"dist\",\n  /* Checks */\n  \"strict\": true,\n  \"lib\": [\"es2020\",],\n}\n";
  // A removed member takes the comment before it along; the rest stays.
  EXPECT_EQ(edited(settings, [](TreeNode& t) { t.children.erase(t.children.begin() + 1); }),
            "{\n  // Output\n  \"out\": \"dist\",\n  \"lib\": [\"es2020\",],\n}\n");
  // The first member goes: the next one takes the gap after the brace.
  EXPECT_EQ(edited(settings, [](TreeNode& t) { t.children.erase(t.children.begin()); }),
            "{\n  // Output\n  \"strict\": true,\n  \"lib\": [\"es2020\",],\n}\n");
  // A new last member keeps the trailing comma after the last one.
  EXPECT_EQ(edited(settings, [](TreeNode& t) { t.children.push_back(node("boolean", "noEmit", "false")); }),
            "{\n  // Output\n  \"out\": \"dist\",\n  /* Checks */\n  \"strict\": true,\n  \"lib\": [\"es2020\",],\n"
            "  \"noEmit\": false,\n}\n");
  EXPECT_EQ(edited(settings, [](TreeNode& t) { t.children[2].children.push_back(node("string", {}, "dom")); }),
            "{\n  // Output\n  \"out\": \"dist\",\n  /* Checks */\n  \"strict\": true,\n  \"lib\": [\"es2020\",\"dom\",],\n}\n");
  // Emptied containers lose their trailing comma, never their comments.
  EXPECT_EQ(edited(settings, [](TreeNode& t) { t.children[2].children.clear(); }),
            "{\n  // Output\n  \"out\": \"dist\",\n  /* Checks */\n  \"strict\": true,\n  \"lib\": [],\n}\n");
  EXPECT_EQ(edited("{\"a\": 1, /* last */ }", [](TreeNode& t) { t.children.clear(); }), "{ /* last */ }");
  // A comment on the line where a value ends, after its comma, stays with that value.
  const std::string described = "{\n  \"a\": 1, // about a\n  \"b\": 2, /* about b */\n  \"c\": 3 // about c\n}";
  EXPECT_EQ(edited(described, [](TreeNode& t) { t.children.erase(t.children.begin() + 1); }),
            "{\n  \"a\": 1, // about a\n  \"c\": 3 // about c\n}");
  EXPECT_EQ(edited(described, [](TreeNode& t) { t.children.pop_back(); }),
            "{\n  \"a\": 1, // about a\n  \"b\": 2 /* about b */\n}");
  EXPECT_EQ(edited(described, [](TreeNode& t) { t.children.erase(t.children.begin()); }),
            "{\n  \"b\": 2, /* about b */\n  \"c\": 3 // about c\n}");
  EXPECT_EQ(edited(described, [](TreeNode& t) { t.children.push_back(node("null", "d")); }),
            "{\n  \"a\": 1, // about a\n  \"b\": 2, /* about b */\n  \"c\": 3, // about c\n  \"d\": null\n}");
  EXPECT_EQ(edited(described, [](TreeNode& t) { std::swap(t.children[0], t.children[2]); }),
            "{\n  \"c\": 3, // about c\n  \"b\": 2, /* about b */\n  \"a\": 1 // about a\n}");
  EXPECT_EQ(edited(described,
                   [](TreeNode& t) { t.children.insert(t.children.begin() + 1, node("null", "n")); }),
            "{\n  \"a\": 1, // about a\n  \"n\": null,\n  \"b\": 2, /* about b */\n  \"c\": 3 // about c\n}");
  auto drop_b = [](TreeNode& t) { t.children.erase(t.children.begin() + 1); };
  EXPECT_EQ(edited("{\"a\": 1, // one\n \"b\": 2, /* two */ \"c\": 3}", drop_b), "{\"a\": 1, // one\n/* two */ \"c\": 3}");
  EXPECT_EQ(edited("{\"a\": 1, // one\n \"b\": 2, /* two\n */ \"c\": 3}", drop_b),
            "{\"a\": 1, // one\n/* two\n */ \"c\": 3}");
  EXPECT_EQ(edited("[1, // one\n]", [](TreeNode& t) { t.children.push_back(node("number", {}, "2")); }),
            "[1, // one\n2,\n]");
  // A changed value keeps the comment between its name and itself.
  EXPECT_EQ(edited("{\"a\": /* why */ 1}", [](TreeNode& t) { t.children[0].text = "2"; }), "{\"a\": /* why */ 2}");
  // New members are laid out by the file's separators, never by a comment in them.
  EXPECT_EQ(edited("{\"a\" /*x*/: 1, /*y*/ \"b\" : 2}", [](TreeNode& t) { t.children.push_back(node("null", "c")); }),
            "{\"a\" /*x*/: 1, /*y*/ \"b\" : 2, \"c\" : null}");
}

TEST(FormatsJsoncTest, PlainJsonStaysStrictAndBrokenCommentsAreRefused) {
  const std::vector<BadInput> cases = {
      // No comment and no trailing comma: the plain reader's own messages.
      {"[1, 2", "invalid JSON: missing a comma or ']' after an array element"},
      {"{\"a\": 1 / 2}", "invalid JSON: missing a comma or '}' after an object member"},
      {"[1,,2]", "invalid JSON: invalid value"},
      {"{'a': 1}", "invalid JSON: missing a name for object member"},
      {"\"/* in a string */\" x", "invalid JSON: the document root must not be followed by other values"},
      // With comments, still JSON: nothing else is allowed.
      {"// note\n[1, 2", "invalid JSON: missing a comma or ']' after an array element"},
      {"[1, /* open\n 2]", "invalid JSON: a comment \"/*\" is not closed (line 1, column 5)"},
      {"{\"a\": \"x\" /* open */ /* again", "invalid JSON: a comment \"/*\" is not closed (line 1, column 22)"},
      {"// c\n[1 / 2]", "invalid JSON"},
      {"[1,,]", "invalid JSON"},
      {"{,}", "invalid JSON"},
      {"[,]", "invalid JSON"},
      {"// c\n{\"a\": 1,\n \"a\": 2,}", "duplicate member name \"a\" (line 3, column 2)"},
      {std::string("// c\n[1]\0", 9), "invalid JSON: a NUL byte"},
      {"[1, // caf\xE9\n 2]", "invalid JSON: invalid encoding in a comment (line 1, column 11)"},
      {"/* \xFF */ {}", "invalid JSON: invalid encoding in a comment (line 1, column 4)"},
  };
  for (const BadInput& c : cases) {
    auto doc = read_document(c.source);
    ASSERT_FALSE(doc.ok()) << c.source;
    EXPECT_EQ(doc.error().text().substr(0, c.message.size()), c.message) << doc.error().text();
    auto sketch = read_document(c.source, ReadOptions{.sketch = true});
    ASSERT_FALSE(sketch.ok()) << c.source;
    EXPECT_EQ(sketch.error().text(), doc.error().text());
  }
}

TEST(FormatsJsoncTest, DiffsAndMergesSeeOnlyTheValues) {
  const std::string base = "{\n  // Output\n  \"out\": \"dist\",\n  \"strict\": false, // for now\n  \"lib\": [\"es2020\",],\n}\n";
  const std::string ours = "{\n  // Output\n  \"out\": \"build\",\n  \"strict\": false, // for now\n  \"lib\": [\"es2020\",],\n}\n";
  const std::string theirs =
      "{\n  // Output\n  \"out\": \"dist\",\n  \"strict\": true, // for now\n  \"lib\": [\"es2020\", \"dom\",],\n"
      "  // Modules\n  \"module\": \"esnext\",\n}\n";
  const auto changes = diff_files({base, theirs}, {});
  ASSERT_TRUE(changes.ok());
  std::vector<std::string> paths;
  for (const FileChange& c : *changes) paths.push_back(path_text(c.path));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"/lib/1", "/module", "/strict"}));
  const auto merged = merge_files({base, ours, theirs}, {}, false);
  ASSERT_TRUE(merged.ok());
  EXPECT_TRUE(merged->conflicts.empty());
  EXPECT_EQ(merged->merged,
            "{\n  // Output\n  \"out\": \"build\",\n  \"strict\": true, // for now\n  \"lib\": [\"es2020\",\"dom\",],\n"
            "  // Modules\n  \"module\": \"esnext\",\n}\n");
  // Comments alone are no change.
  const auto same = diff_files({base, "{\"out\": \"dist\", \"strict\": false, \"lib\": [\"es2020\"]}"}, {});
  ASSERT_TRUE(same.ok());
  EXPECT_TRUE(same->empty());
}

struct Encoded {
  std::string bytes;
  std::string attr;  // the root element's attribute "a", or a JSON file's member "k", in UTF-8
  std::string text;  // the root element's text
};

TEST(FormatsEncodingTest, EveryEncodingReadsAsItsTextAndWritesBackByteForByte) {
  auto decl = [](const char* name, std::string body) {
    return "<?xml version=\"1.0\" encoding=\"" + std::string(name) + "\"?>\n" + body + "\n";
  };
  const std::u32string cjk_name(3000, U'\u4E2D');
  const std::vector<Encoded> xml = {
      {decl("ISO-8859-1", "<r a=\"\xE9\">caf\xE9</r>"), "\xC3\xA9", "caf\xC3\xA9"},
      {decl("iso-8859-15", "<r a=\"\xA4\">\xBD</r>"), "\xE2\x82\xAC", "\xC5\x93"},
      {decl("windows-1252", "<r a=\"\x80\">\x93q\x94</r>"), "\xE2\x82\xAC", "\xE2\x80\x9Cq\xE2\x80\x9D"},
      {decl("windows-1251", "<r a=\"\xC6\">\xE4\xE0</r>"), "\xD0\x96", "\xD0\xB4\xD0\xB0"},
      {decl("Shift_JIS", "<r a=\"\x93\xFA\">\x96\x7B</r>"), "\xE6\x97\xA5", "\xE6\x9C\xAC"},
      {decl("EUC-JP", "<r a=\"\xC6\xFC\">\xCB\xDC</r>"), "\xE6\x97\xA5", "\xE6\x9C\xAC"},
      {decl("GB18030", "<r a=\"\xC8\xD5\">\xB1\xBE\x81\x30\x81\x30</r>"), "\xE6\x97\xA5", "\xE6\x9C\xAC\xC2\x80"},
      {decl("US-ASCII", "<r a=\"1\">x</r>"), "1", "x"},
      {"\xFF\xFE" + units(U"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r a=\"\u00E9\">\U0001F600</r>", false),
       "\xC3\xA9", "\xF0\x9F\x98\x80"},
      {"\xFE\xFF" + units(U"<r a=\"1\">\u4E2D</r>\r\n", true), "1", "\xE4\xB8\xAD"},
      {units(U"<r a=\"1\"><b>x</b></r>", false), "1", ""},
      {units(U"<?xml version='1.0' encoding='utf-16'?><r a=\"1\">x</r>", true), "1", "x"},
      {units(U"\uFEFF<r a=\"\u00E9\">x</r>", false, true), "\xC3\xA9", "x"},
      {units(U"<r a=\"\u00E9\">x</r>", true, true), "\xC3\xA9", "x"},
      {units(U"<" + cjk_name + U" a=\"1\">x</" + cjk_name + U">", false), "1", "x"},
  };
  for (const Encoded& c : xml) {
    const Document doc = read_ok(c.bytes);
    ASSERT_EQ(doc.tree.children.size(), 1u);
    const TreeNode& root = doc.tree.children[0];
    ASSERT_EQ(root.attributes.size(), 1u);
    EXPECT_EQ(root.attributes[0].second, c.attr);
    EXPECT_EQ(root.text, c.text);
    auto again = rewrite(doc);
    ASSERT_TRUE(again.ok()) << again.error().text();
    EXPECT_EQ(*again, c.bytes);
  }
  const std::u32string json = U"{\"k\": \"\u00E9\u65E5\U0001F600\"}";
  for (const bool be : {false, true}) {
    for (const bool wide : {false, true}) {
      for (const std::u32string& text : {json, U"\uFEFF" + json}) {
        const std::string bytes = units(text, be, wide);
        const Document doc = read_ok(bytes);
        ASSERT_EQ(doc.tree.children.size(), 1u) << bytes;
        EXPECT_EQ(doc.tree.children[0].text, "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80");
        EXPECT_EQ(rewrite(doc).value(), bytes);
      }
    }
  }
}

TEST(FormatsEncodingTest, CharactersTheEncodingCannotHoldBecomeReferencesWhereTheyMayStand) {
  const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"x\"><t>caf\xE9</t><!--c--></r>";
  const Document doc = read_ok(latin1);
  TreeNode tree = doc.tree;
  TreeNode& r = tree.children[0];
  r.attributes[0].second = "\xE2\x82\xAC<";  // the euro sign is not in Latin-1
  r.children[0].text = "\xE6\x97\xA5\xC3\xA9";  // nor is a CJK character; e-acute is
  auto text = write(doc, tree);
  ASSERT_TRUE(text.ok());
  auto bytes = encode_like(doc, *text);
  ASSERT_TRUE(bytes.ok()) << bytes.error().text();
  EXPECT_EQ(*bytes,
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"&#x20AC;&lt;\"><t>&#x65E5;\xE9</t><!--c--></r>");
  EXPECT_EQ(read_ok(*bytes).tree, tree);
  r.children[1].text = "\xE6\x97\xA5";  // a comment holds no references
  text = write(doc, tree);
  ASSERT_TRUE(text.ok());
  bytes = encode_like(doc, *text);
  ASSERT_FALSE(bytes.ok());
  EXPECT_EQ(bytes.error().text(),
            "the result holds characters that ISO-8859-1 cannot hold, outside text and attribute values");
}

TEST(FormatsErrorTest, DepthIsBoundedWithoutRecursion) {
  const std::size_t n = kMaxTreeDepth;  // with the document node, one level too many
  std::string xml, json;
  for (std::size_t i = 0; i < n; ++i) xml += "<a>", json += '[';
  for (std::size_t i = 0; i < n; ++i) xml += "</a>", json += ']';
  auto deep_xml = read_xml(xml);
  ASSERT_FALSE(deep_xml.ok());
  EXPECT_EQ(deep_xml.error().message, "nested deeper than 200,000 levels");
  // Stopping inside an empty-element tag, whose end expat reports at once.
  const ReadOptions shallow{.max_depth = 2};
  EXPECT_EQ(read_xml("<a><b/><c/></a>", shallow).error().text(), "nested deeper than 2 levels (line 1, column 4)");
  // The same depth in JSON fits, and writes back without recursion.
  const Document doc = read_ok(json);
  EXPECT_EQ(*write(doc, doc.tree), json);
  auto deeper = read_json("[" + json + "]");
  ASSERT_FALSE(deeper.ok());
  EXPECT_EQ(deeper.error().text(), "nested deeper than 200,000 levels (line 1, column 200001)");
}

const std::string kItems =
    "<?xml version=\"1.0\"?>\n<r>\n  <item id=\"a\"\n        price=\"1\"\n        name='n'/>\n"
    "  <item id=\"b\" price=\"2\">text</item>\n  <empty/>\n</r>\n";

TEST(FormatsWriteTest, ChangesOnlyTheBytesOfWhatChanged) {
  EXPECT_EQ(edited(kItems, [](TreeNode& t) { t.children[0].children[0].attributes[0].second = "9 & <\"'"; }),
            "<?xml version=\"1.0\"?>\n<r>\n  <item id=\"a\"\n        price=\"9 &amp; &lt;&quot;'\"\n        name='n'/>\n"
            "  <item id=\"b\" price=\"2\">text</item>\n  <empty/>\n</r>\n");
  // A new attribute takes the layout of the one before it; a removed one takes its own.
  EXPECT_EQ(edited(kItems,
                   [](TreeNode& t) {
                     Attributes& a = t.children[0].children[0].attributes;
                     a.erase(a.begin());
                     a.emplace_back("new", "v");
                   }),
            "<?xml version=\"1.0\"?>\n<r>\n  <item id=\"a\"\n        name='n'\n        new=\"v\"/>\n"
            "  <item id=\"b\" price=\"2\">text</item>\n  <empty/>\n</r>\n");
  EXPECT_EQ(edited(kItems,
                   [](TreeNode& t) {
                     TreeNode& r = t.children[0];
                     r.children.erase(r.children.begin());
                     r.children[0].kind = "thing";
                     r.children[0].text = "new <text>";
                   }),
            "<?xml version=\"1.0\"?>\n<r>\n  <thing id=\"b\" price=\"2\">new &lt;text></thing>\n  <empty/>\n</r>\n");
}

TEST(FormatsWriteTest, NewNodesTakeTheirIndentationFromTheFile) {
  EXPECT_EQ(edited(kItems,
                   [](TreeNode& t) {
                     TreeNode& r = t.children[0];
                     r.children[2].children.push_back(node("sub", {}, "", {}, {node("leaf", "z")}));
                     r.children.push_back(node("item", "c", "x"));
                     std::swap(r.children[0], r.children[1]);
                   }),
            "<?xml version=\"1.0\"?>\n<r>\n  <item id=\"b\" price=\"2\">text</item>\n  <item id=\"a\"\n        price=\"1\"\n"
            "        name='n'/>\n  <empty>\n    <sub>\n      <leaf id=\"z\"/>\n    </sub>\n  </empty>\n"
            "  <item id=\"c\">x</item>\n</r>\n");
  // Mixed content gets no indentation added.
  EXPECT_EQ(edited("<p>Hello <b>world</b> again</p>",
                   [](TreeNode& t) {
                     t.children[0].children[1].text = "there";
                     t.children[0].children.push_back(node("i", {}, "x"));
                   }),
            "<p>Hello <b>there</b> again<i>x</i></p>");
  const std::string json = "{\n\t\"a\": 1.50,\n\t\"list\": [\n\t\t1\n\t],\n\t\"o\": {}\n}\n";
  EXPECT_EQ(edited(json,
                   [](TreeNode& t) {
                     t.children.erase(t.children.begin());
                     t.children[0].children.push_back(node("string", {}, "a\"\x01"));
                     t.children[1].children.push_back(node("object", "k", "", {}, {node("number", "n", "-2")}));
                   }),
            "{\n\t\"list\": [\n\t\t1,\n\t\t\"a\\\"\\u0001\"\n\t],\n\t\"o\": {\n\t\t\"k\": {\n\t\t\t\"n\": -2\n\t\t}\n\t}\n}\n");
  EXPECT_EQ(edited("{\"a\": 1, \"b\": [1, 2]}",
                   [](TreeNode& t) {
                     t.children.push_back(node("null", "z"));
                     std::swap(t.children[0], t.children[1]);
                     t.children[0].children[1].text = "20";
                   }),
            "{\"b\": [1, 20], \"a\": 1, \"z\": null}");
  EXPECT_EQ(edited("{\"a\":1}", [](TreeNode& t) { t.children.insert(t.children.begin(), node("true", "t")); }),
            "error: cannot write \"true#t\" as JSON: the kind \"true\" has no JSON form");
}

TEST(FormatsWriteTest, RefusesWhatWouldNotReadBack) {
  auto in_item = [](std::function<void(TreeNode&)> f) {
    return [f](TreeNode& t) { f(t.children[0].children[0]); };
  };
  const std::vector<std::pair<std::function<void(TreeNode&)>, std::string>> xml_cases = {
      {[](TreeNode& t) { t.children[0].children[2].attributes.emplace_back("id", "x"); },
       "cannot write \"r/empty\" as XML: the attribute \"id\" would read back as the element's identity"},
      {[](TreeNode& t) { t.children[0].children[2].attributes.emplace_back("xml:id", "x"); },
       "the attribute \"xml:id\" would read back as the element's identity"},
      {in_item([](TreeNode& n) { n.kind = "note\xF0\x9F\x98\x80"; }), "the kind \"note\xF0\x9F\x98\x80\" is not an XML name"},
      {in_item([](TreeNode& n) { n.attributes.emplace_back("a b", "x"); }), "the attribute name \"a b\" is not an XML name"},
      {in_item([](TreeNode& n) { n.attributes.emplace_back("price", "x"); }), "the attribute \"price\" appears twice"},
      {in_item([](TreeNode& n) { n.attributes[0].second = "\x01"; }), "holds a character XML cannot represent"},
      {in_item([](TreeNode& n) { n.label = "l"; }), "XML has no place for a label"},
      {in_item([](TreeNode& n) { n.children.push_back(node("#comment", {}, "a--b")); }), "cannot hold \"--\""},
      {in_item([](TreeNode& n) { n.children.push_back(node("#cdata", {}, "]]>")); }), "CDATA cannot hold \"]]>\""},
      {in_item([](TreeNode& n) { n.children.push_back(node("#pi", {}, "xml version='1.0'")); }),
       "not a valid processing instruction"},
      {[](TreeNode& t) { t.children.push_back(node("second")); }, "a document has exactly one root element"},
  };
  for (const auto& [edit, message] : xml_cases) {
    const std::string got = write_error(kItems, edit);
    EXPECT_NE(got.find(message), std::string::npos) << got;
  }
  EXPECT_EQ(write_error("{\"a\":[1]}", [](TreeNode& t) { t.children[0].children[0].text = "1."; }),
            "cannot write \"array#a/number\" as JSON: the number \"1.\" is not a JSON number");
  EXPECT_EQ(write_error("{\"a\":[1]}", [](TreeNode& t) { t.children.push_back(node("null")); }),
            "cannot write \"null\" as JSON: an object member needs a name (its identity)");
  EXPECT_EQ(write_error("{\"a\":[1]}", [](TreeNode& t) { t.children.push_back(node("null", "a")); }),
            "cannot write \"object\" as JSON: the member name \"a\" appears twice");
}

TEST(FormatsWriteTest, KeepsTagAndLineLayout) {
  EXPECT_EQ(edited("<r><a x=\"1\" /></r>", [](TreeNode& t) { t.children[0].children[0].children.push_back(node("b")); }),
            "<r><a x=\"1\" ><b/></a></r>");
  EXPECT_EQ(edited("{\r\n  \"a\": 1\r\n}", [](TreeNode& t) { t.children.push_back(node("number", "b", "2")); }),
            "{\r\n  \"a\": 1,\r\n  \"b\": 2\r\n}");
  // A replaced DOCTYPE is checked like one read: internal general entities only.
  const std::string with_doctype = "<!DOCTYPE r><r/>";
  EXPECT_EQ(edited(with_doctype, [](TreeNode& t) { t.children[0].text = "<!DOCTYPE r SYSTEM \"r.dtd\">"; }),
            "<!DOCTYPE r SYSTEM \"r.dtd\"><r/>");
  EXPECT_EQ(write_error(with_doctype, [](TreeNode& t) { t.children[0].text = "<!DOCTYPE r [<!ENTITY e SYSTEM \"x\">]>"; }),
            "cannot write \"#doctype\" as XML: not a valid DOCTYPE declaration");
  EXPECT_EQ(write_error(with_doctype, [](TreeNode& t) { t.children[0].text = "<!DOCTYPE r [<!ENTITY % e \"x\">]>"; }),
            "cannot write \"#doctype\" as XML: not a valid DOCTYPE declaration");
  // References to the entities of the DOCTYPE written are kept; others are text.
  EXPECT_EQ(edited(with_doctype, [](TreeNode& t) {
              t.children[0].text = "<!DOCTYPE r [<!ENTITY e \"x\">]>";
              t.children[1].text = "&e; &f;";
              t.children[1].attributes.emplace_back("a", "&e;&");
            }),
            "<!DOCTYPE r [<!ENTITY e \"x\">]><r a=\"&e;&amp;\">&e; &amp;f;</r>");
}

TEST(FormatsWriteTest, PairsByIdentityThenByPositionAmongTheSameKind) {
  const Document doc = read_ok("<r><x/><x a=\"1\"/><y id=\"k\"/></r>");
  const TreeNode tree = node("#document", {}, "", {},
                             {node("r", {}, "", {}, {node("y", "k"), node("x", {}, "", {{"a", "1"}}), node("x"), node("z")})});
  const Correspondence match = correspond_by_position(doc, tree);
  EXPECT_EQ(match.origin, (std::vector<std::optional<std::uint32_t>>{0, 1, 4, 2, 3, std::nullopt}));
  EXPECT_EQ(*write_document(doc, tree, match), "<r><y id=\"k\"/><x a=\"1\"/><x/><z/></r>");
}

TEST(FormatsWriteTest, CorrespondenceMustFitTheTree) {
  const Document doc = read_ok("<r><a/></r>");
  EXPECT_FALSE(write_document(doc, doc.tree, Correspondence{{0, 1}}).ok());
  EXPECT_FALSE(write_document(doc, doc.tree, Correspondence{{0, 1, 2, 3}}).ok());
  EXPECT_FALSE(write_document(doc, doc.tree, Correspondence{{0, 1, 7}}).ok());
  // A pairing with a node of another sort is ignored; one with the document
  // itself copies nothing.
  EXPECT_EQ(*write_document(doc, doc.tree, Correspondence{{0, 0, 0}}), "<r><a/></r>");
  TreeNode odd = doc.tree;
  odd.children[0].children[0] = node("#document");
  EXPECT_FALSE(write_document(doc, odd, Correspondence{{0, 1, 0}}).ok());
  // With no correspondence at all every node is new, yet the file stays whole.
  auto fresh = write_document(doc, doc.tree, Correspondence{{std::nullopt, std::nullopt, std::nullopt}});
  ASSERT_TRUE(fresh.ok());
  EXPECT_EQ(read_ok(*fresh).tree, doc.tree);
}

struct Rng {
  std::uint64_t state;
  std::size_t below(std::size_t n) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::size_t>(state % n);
  }
};

// Brings an edited XML tree to the form reading gives it: adjacent text runs
// are one run, and a lone run is the element's text.
void as_read(TreeNode& root) {
  for (TreeNode* n : all_nodes(root, SiblingOrder::Reversed)) {
    auto& kids = n->children;
    for (std::size_t i = 1; i < kids.size();) {
      if (kids[i].kind == "#text" && kids[i - 1].kind == "#text") {
        kids[i - 1].text += kids[i].text;
        kids.erase(kids.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    if (n->kind[0] != '#' && kids.size() == 1 && kids[0].kind == "#text") {
      n->text = std::move(kids[0].text);
      kids.clear();
    }
  }
}

const char* const kValues[] = {"plain", "a & b", "<tag>", "q\"uo'te", "tab\there", "line\nbreak", "cr\r",
                                "caf\xC3\xA9", "]]>", "  spaced  "};

// Applies one random edit that XML can hold to an element of `tree`.
void edit_xml(TreeNode& tree, Rng& rng, int serial) {
  std::vector<TreeNode*> elements;
  for (TreeNode* n : all_nodes(tree.children[3], SiblingOrder::Reversed)) {
    if (n->kind[0] != '#') elements.push_back(n);
  }
  TreeNode& e = *elements[rng.below(elements.size())];
  const std::string value = kValues[rng.below(std::size(kValues))];
  switch (rng.below(7)) {
    case 0:
      if (!e.attributes.empty()) e.attributes[rng.below(e.attributes.size())].second = value;
      break;
    case 1:
      e.attributes.emplace(e.attributes.begin() + static_cast<std::ptrdiff_t>(rng.below(e.attributes.size() + 1)),
                           "n" + std::to_string(serial), value);
      break;
    case 2:
      if (!e.attributes.empty()) e.attributes.erase(e.attributes.begin() + static_cast<std::ptrdiff_t>(rng.below(e.attributes.size())));
      break;
    case 3:
      if (!e.children.empty()) e.children.erase(e.children.begin() + static_cast<std::ptrdiff_t>(rng.below(e.children.size())));
      break;
    case 4:
      if (e.text.empty()) {
        e.children.insert(e.children.begin() + static_cast<std::ptrdiff_t>(rng.below(e.children.size() + 1)),
                          node("new", std::to_string(serial), value, {{"k", value}}));
      }
      break;
    case 5:
      e.kind = rng.below(2) ? "renamed" : "f:renamed";
      break;
    default:
      if (e.children.empty()) e.text = value;
      if (e.children.size() > 1) std::swap(e.children[0], e.children.back());
  }
}

// Applies one random edit to a value of a JSON tree.
void edit_json(TreeNode& tree, Rng& rng, int serial) {
  std::vector<TreeNode*> nodes = all_nodes(tree, SiblingOrder::Reversed);
  TreeNode& n = *nodes[rng.below(nodes.size())];
  const bool container = n.kind == "object" || n.kind == "array";
  TreeNode fresh = rng.below(2) ? node("string", {}, kValues[rng.below(std::size(kValues))])
                                : node("object", {}, "", {}, {node("number", "x", "-1.5e3")});
  if (!container && rng.below(4) == 0) {
    fresh.identity = n.identity;
    n = fresh;
    return;
  }
  if (!container) {
    n.text = n.kind == "number" ? "3.25" : n.kind == "string" ? kValues[rng.below(std::size(kValues))] : n.text;
    return;
  }
  switch (rng.below(3)) {
    case 0:
      if (n.kind == "object") fresh.identity = "m" + std::to_string(serial);
      n.children.insert(n.children.begin() + static_cast<std::ptrdiff_t>(rng.below(n.children.size() + 1)), fresh);
      break;
    case 1:
      if (!n.children.empty()) n.children.erase(n.children.begin() + static_cast<std::ptrdiff_t>(rng.below(n.children.size())));
      break;
    default:
      if (n.children.size() > 1) std::swap(n.children[0], n.children.back());
  }
}

TEST(FormatsWriteTest, RandomEditsReadBackAsWritten) {
  Rng rng{0x9E3779B97F4A7C15ull};
  for (int round = 0; round < 1000; ++round) {
    const bool xml = round % 2 == 0;
    const std::size_t pick = rng.below(kJsonFiles.size() + kJsoncFiles.size());
    const std::string& source = xml                        ? kXmlFiles[2]
                                : pick < kJsonFiles.size() ? kJsonFiles[pick]
                                                           : kJsoncFiles[pick - kJsonFiles.size()].first;
    const Document doc = read_ok(source);
    TreeNode tree = doc.tree;
    for (std::size_t k = 0, n = 1 + rng.below(3); k < n; ++k) {
      if (xml) edit_xml(tree, rng, round * 10 + static_cast<int>(k));
      else edit_json(tree, rng, round * 10 + static_cast<int>(k));
    }
    auto out = write(doc, tree);
    ASSERT_TRUE(out.ok()) << out.error().text();
    if (xml) as_read(tree);
    auto back = read_document(*out);
    ASSERT_TRUE(back.ok()) << back.error().text() << "\n" << *out;
    ASSERT_EQ(back->tree, tree) << *out << "\nread back: " << ::testing::PrintToString(back->tree) << "\nexpected:  " << ::testing::PrintToString(tree);
  }
}

// The one UTF-8 encoder agrees with iconv on every code point UTF-8 holds.
TEST(Utf8Test, AppendUtf8AgreesWithIconvOnEveryCodePoint) {
  std::string wide, ours;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c < 0xE000) continue;
    for (int shift = 0; shift < 32; shift += 8) wide.push_back(static_cast<char>((c >> shift) & 0xFF));
    detail::append_utf8(ours, c);
  }
  const auto theirs = detail::decode(wide, "UTF-32LE");
  ASSERT_TRUE(theirs.ok()) << theirs.error().text();
  // Each code point's bytes start with a lead byte, so equal wholes mean
  // equal parts.
  EXPECT_TRUE(theirs.value() == ours);
}

}  // namespace
}  // namespace vext
