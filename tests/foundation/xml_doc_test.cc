#include "Quorvane/foundation/xml_doc.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

class XmlFiles : public ::testing::Test {
 protected:

  std::wstring Write(const std::string& text, const char* name = "in.xml") {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return (dir_ / name).wstring();
  }
  static std::string Read(const fs::path& p) { return testsupport::ReadBytes(p); }
  // Loads text into doc; returns the error text ("" on success).
  std::wstring LoadText(const std::string& text, CXmlDoc& doc) {
    std::wstring error;
    bool openFailed = true;
    bool ok = doc.Load(Write(text), error, openFailed);
    EXPECT_FALSE(openFailed);
    EXPECT_EQ(ok, error.empty()) << ToText(error);
    return error;
  }
  static std::string ToText(const std::wstring& w) { return std::string(w.begin(), w.end()); }
  // Every file in the folder besides the given one.
  size_t OtherFiles(const fs::path& keep) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_)) n += e.path() != keep;
    return n;
  }
  // A second, independent parser must accept the file.
  static void CheckWithXmllint(const fs::path& p) {
    ASSERT_EQ(system("command -v xmllint >/dev/null 2>&1"), 0) << "xmllint (libxml2-utils) is needed";
    EXPECT_EQ(system(("xmllint --noout '" + p.string() + "'").c_str()), 0) << Read(p);
  }

  testsupport::TempFolder folder_;
  const fs::path dir_ = folder_.Path();
};

const CXmlDoc& Child(const CXmlDoc& d, const wchar_t* name, size_t i = 0) { return d.m_children.at(name).at(i); }

struct ErrorCase {
  const char* name;
  std::string text;
  const wchar_t* error;
};

std::string Nested(int depth, bool selfClosingInner) {
  std::string s;
  for (int i = 0; i < depth - 1; ++i) s += "<n>";
  s += selfClosingInner ? "<n/>" : "<n></n>";
  for (int i = 0; i < depth - 1; ++i) s += "</n>";
  return s;
}

std::string Attributes(int count) {
  std::string s = "<e";
  for (int i = 0; i < count; ++i) s += " a" + std::to_string(i) + "=\"v\"";
  return s + "/>";
}

std::string Siblings(int count) {
  std::string s = "<r>";
  for (int i = 0; i < count; ++i) s += (i % 2) ? "<!-- c -->" : "<s/>";
  return s + "</r>";
}

TEST_F(XmlFiles, ReaderErrorsGiveTheirTexts) {
  const ErrorCase cases[] = {
      {"no_declaration", "<a/>", L"Incorrect header format."},
      {"declaration_reversed", "?> <?xml", L"Incorrect header format."},
      {"other_declaration", "<?xsl version=\"1\"?><a/>", L"Header is not xml."},
      {"comment_open", kDecl + "<!-- never", L"Comment not closed."},
      {"tag_open", kDecl + "<abc def", L"Tag not closed."},
      {"tag_at_end", kDecl + "<a", L"Incorrect tag name."},
      {"empty_tag", kDecl + "<>x", L"Incorrect tag name."},
      {"attribute_without_equals", kDecl + "<a b/>", L"Incorrect attribute format."},
      {"value_unquoted", kDecl + "<a b=c/>", L"Incorrect attribute value."},
      {"value_single_quoted", kDecl + "<a b='c'/>", L"Incorrect attribute value."},
      {"value_unclosed", kDecl + "<a b=\"c/>", L"Incorrect attribute value format."},
      {"attributes_50", kDecl + Attributes(50), L"Too many attributes."},
      {"attributes_49", kDecl + Attributes(49), L""},
      {"nested_11", kDecl + Nested(11, false), L"Too many nested nodes."},
      {"nested_11_self_closing", kDecl + Nested(11, true), L""},
      {"nested_10", kDecl + Nested(10, false), L""},
      {"siblings_10000", kDecl + Siblings(10000), L"Too many sibling nodes."},
      {"siblings_9999", kDecl + Siblings(9999), L""},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    CXmlDoc doc(L"root");
    EXPECT_EQ(LoadText(c.text, doc), c.error);
  }
}

TEST_F(XmlFiles, MissingFileSaysOpenFailed) {
  CXmlDoc doc(L"root");
  std::wstring error;
  bool openFailed = false;
  const std::wstring path = (dir_ / "absent.xml").wstring();
  EXPECT_FALSE(doc.Load(path, error, openFailed));
  EXPECT_TRUE(openFailed);
  EXPECT_EQ(error, L"Could not open file for reading " + path);

  // A folder opens but cannot be read.
  EXPECT_FALSE(doc.Load(dir_.wstring(), error, openFailed));
  EXPECT_TRUE(openFailed);
  EXPECT_EQ(error, L"Could not open file for reading " + dir_.wstring());
}

TEST_F(XmlFiles, ReadsTextsAttributesAndOrder) {
  CXmlDoc doc(L"root");
  ASSERT_EQ(LoadText(kDecl +
                         "<!-- top --><b k=\"1\"/><a>\n"
                         "  <x  one=\"1\"\tone=\"2\"\r\n\ttwo = junk\"&quot;&lt;&amp;lt;&bad&\"\n/>\n"
                         "  <t>raw &lt; text</wrong>\n"
                         "  <mixed>before<c/>after</mixed>\n"
                         "</a><b k=\"2\"/>",
                     doc),
            L"");
  EXPECT_EQ(doc.m_childOrder, (std::list<std::wstring>{L"b", L"a"}));
  EXPECT_EQ(Child(doc, L"b", 1).m_attributes.at("k"), "2");
  const CXmlDoc& a = Child(doc, L"a");
  EXPECT_EQ(a.m_text, "");  // it has children
  const CXmlDoc& x = Child(a, L"x");
  EXPECT_EQ(x.m_attributes.at("one"), "1");  // the first value stays
  EXPECT_EQ(x.m_attributes.at("two"), "\"<&lt;&bad&");
  EXPECT_EQ(x.m_attributeOrder, (std::list<std::string>{"one", "two"}));
  EXPECT_EQ(Child(a, L"t").m_text, "raw &lt; text");  // text is not decoded; the closing name is not checked
  EXPECT_EQ(Child(a, L"mixed").m_text, "");
}

TEST_F(XmlFiles, WritesTheFixedLayout) {
  CXmlDoc doc(L"root");
  CXmlDoc top(L"top");
  CXmlDoc zeta(L"zeta");
  zeta.AddAttribute("v", "a<b>\"c\"'d'&e");
  zeta.m_text = "plain";
  CXmlDoc alpha(L"alpha");
  CXmlDoc leaf(L"leaf");
  alpha.AddChild(leaf, false);
  top.AddChild(zeta, false);
  top.AddChild(alpha, false);
  doc.AddChild(top, false);
  const fs::path p = dir_ / "out.xml";
  std::wstring error;
  ASSERT_TRUE(doc.Save(p.wstring(), error)) << ToText(error);
  EXPECT_EQ(Read(p), kDecl +
                         "<top>\n"
                         "\t<zeta v=\"a&lt;b&gt;&quot;c&quot;&apos;d&apos;&amp;e\">plain</zeta>\n"
                         "\t<alpha>\n"
                         "\t\t<leaf />\n"
                         "\t</alpha>\n"
                         "</top>\n");
  CheckWithXmllint(p);
  EXPECT_EQ(OtherFiles(p), 0u);

  CXmlDoc back(L"root");
  bool openFailed = false;
  ASSERT_TRUE(back.Load(p.wstring(), error, openFailed));
  const CXmlDoc& t = Child(back, L"top");
  EXPECT_EQ(t.m_childOrder, (std::list<std::wstring>{L"zeta", L"alpha"}));
  EXPECT_EQ(Child(t, L"zeta").m_attributes.at("v"), "a<b>\"c\"'d'&e");
  EXPECT_EQ(Child(t, L"zeta").m_text, "plain");
}

TEST_F(XmlFiles, TopLevelNamesAreWrittenByName) {
  CXmlDoc doc(L"root");
  CXmlDoc z(L"z"), a(L"a");
  doc.AddChild(z, false);
  doc.AddChild(a, false);
  doc.AddChild(z, false);
  const fs::path p = dir_ / "out.xml";
  std::wstring error;
  ASSERT_TRUE(doc.Save(p.wstring(), error));
  EXPECT_EQ(Read(p), kDecl + "<a />\n<z />\n<z />\n");
  // Several top-level elements make a fragment, not a document: python
  // checks it inside a wrapper element.
  ASSERT_EQ(system("command -v python3 >/dev/null 2>&1"), 0) << "python3 is needed";
  EXPECT_EQ(system(("python3 -c \"import sys, xml.etree.ElementTree as E; "
                    "t = open(sys.argv[1], 'rb').read().split(b'?>', 1)[1]; "
                    "r = E.fromstring(b'<w>' + t + b'</w>'); assert [c.tag for c in r] == ['a', 'z', 'z']\" '" +
                    p.string() + "'").c_str()),
            0);
}

TEST_F(XmlFiles, SavedFileReadsTheSameInPython) {
  CXmlDoc doc(L"root");
  {
    CXmlDoc config(L"Config", &doc);
    CXmlDoc servers(L"servers", &config);
    for (int i = 0; i < 3; ++i) {
      CXmlDoc s(L"server", &servers);
      s.AddAttribute("id", std::to_string(i + 1));
      s.AddAttribute("name", "R&D <" + std::to_string(i) + "> 'q' \"w\" \xC3\xA9");
    }
    CXmlDoc rules(L"rules", &config);
  }
  const fs::path p = dir_ / "conf.xml";
  std::wstring error;
  ASSERT_TRUE(doc.Save(p.wstring(), error)) << ToText(error);
  CheckWithXmllint(p);
  ASSERT_EQ(system("command -v python3 >/dev/null 2>&1"), 0) << "python3 is needed";
  std::ofstream(dir_ / "check.py") << "import sys, xml.etree.ElementTree as E\n"
                                      "r = E.parse(sys.argv[1]).getroot()\n"
                                      "sys.stdout.buffer.write(('|'.join([r.tag] + [c.tag for c in r] + "
                                      "[s.get('id') + '=' + s.get('name') for s in r.iter('server')])).encode())\n";
  FILE* out = popen(("python3 " + (dir_ / "check.py").string() + " " + p.string() + " 2>&1").c_str(), "r");
  ASSERT_NE(out, nullptr);
  char buf[1024];
  std::string got;
  while (size_t n = fread(buf, 1, sizeof buf, out)) got.append(buf, n);
  EXPECT_EQ(pclose(out), 0) << got;
  // Owned elements are destroyed last first, each new name going to the
  // front, so the names come out in the order they were declared.
  EXPECT_EQ(got,
            "Config|servers|rules|1=R&D <0> 'q' \"w\" \xC3\xA9|2=R&D <1> 'q' \"w\" \xC3\xA9|"
            "3=R&D <2> 'q' \"w\" \xC3\xA9");
}

TEST_F(XmlFiles, OwnedElementsGoToTheFrontOnce) {
  CXmlDoc doc(L"root");
  {
    CXmlDoc first(L"first", &doc);
    CXmlDoc copy = first;  // a copy never adds itself
    { CXmlDoc second(L"second", &doc); }
    EXPECT_THROW(doc.AddChild(first, false), CXmlDoc::XmlExc);
    try {
      doc.AddChild(first, false);
    } catch (const CXmlDoc::XmlExc& e) {
      EXPECT_EQ(e.Message(), L"Node <first> is already assigned to <root>.");
    }
  }
  EXPECT_EQ(doc.m_childOrder, (std::list<std::wstring>{L"first", L"second"}));
  EXPECT_EQ(doc.m_children.at(L"first").size(), 1u);
  { CXmlDoc third(L"third", &doc); }
  EXPECT_EQ(doc.m_childOrder.front(), L"third");
}

TEST_F(XmlFiles, RefusedNameLeavesThePreviousFile) {
  const std::wstring path = Write("previous", "conf.xml");
  struct Case { const wchar_t* element; const char* attribute; const wchar_t* error; };
  const Case cases[] = {
      {L"9lives", "a", L"Node name 9lives cannot start with character \"9\"."},
      {L"bad name", "a", L"Node name bad name contains not allowed character(s)."},
      {L"ok", "x=y", L"Attribute name x=y contains not allowed character(s)."},
      {L"ok", ".hidden", L"Attribute name .hidden cannot start with character \".\"."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToText(c.error));
    CXmlDoc doc(L"root");
    CXmlDoc good(L"a-good");
    CXmlDoc e(c.element);
    e.AddAttribute(c.attribute, "v");
    doc.AddChild(good, false);
    doc.AddChild(e, false);
    std::wstring error;
    EXPECT_FALSE(doc.Save(path, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(Read(path), "previous");
    EXPECT_EQ(OtherFiles(path), 0u);
  }
}

TEST_F(XmlFiles, UncreatableTemporaryFileSaysOpen) {
  Write("x", "plain");
  const std::wstring path = (dir_ / "plain" / "conf.xml").wstring();  // under a regular file: ENOTDIR
  CXmlDoc doc(L"root");
  std::wstring error;
  EXPECT_FALSE(doc.Save(path, error));
  EXPECT_EQ(error, L"Could not open file for writing " + path);
}

TEST_F(XmlFiles, FullDiskFailsLoudlyAndKeepsTheOldFile) {
  const std::wstring path = Write("previous servers", "conf.xml");
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The file-size limit stands in for a full disk: writes past it fail with EFBIG.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    CXmlDoc doc(L"root");
    CXmlDoc big(L"big");
    big.m_text = std::string(5000, 'x');
    doc.AddChild(big, false);
    std::wstring error;
    bool ok = doc.Save(path, error);
    std::string text = ok ? "saved" : std::string(error.begin(), error.end());
    (void)!write(pipefd[1], text.data(), text.size());
    _exit(0);
  }
  close(pipefd[1]);
  char buf[512] = {};
  ssize_t n = read(pipefd[0], buf, sizeof buf - 1);
  close(pipefd[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0),
            "Could not write file " + ToText(path) + ", error " + std::to_string(EFBIG));
  EXPECT_EQ(Read(path), "previous servers");
  EXPECT_EQ(OtherFiles(path), 0u);
}

TEST_F(XmlFiles, SaveThroughALinkKeepsLinkAndMode) {
  const fs::path real = dir_ / "real.xml";
  std::ofstream(real) << "old";
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  const fs::path link = dir_ / "link.xml";
  fs::create_symlink("real.xml", link);
  CXmlDoc doc(L"root");
  CXmlDoc e(L"e");
  doc.AddChild(e, false);
  std::wstring error;
  ASSERT_TRUE(doc.Save(link.wstring(), error)) << ToText(error);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Read(real), kDecl + "<e />\n");
  CheckWithXmllint(real);
  struct stat st {};
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
