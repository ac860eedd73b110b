#include "Quorvane/foundation/xml_doc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <type_traits>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/file_write.h"

namespace {

// Blanks where the reader skips them or cuts a name: hand-edited files put
// line breaks and tabs between attributes.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The refused characters of element and attribute names.
const char kRefused[] = " !\"#$%&'()*+,/;<=>?@[\\]^`{|}~<>";
const char kRefusedFirst[] = "0123456789-.";

struct SEntity {
  char c;
  const char* entity;  // without the leading "&"
};
// "&" first when encoding, so that the other entities are not encoded twice.
const SEntity kEntities[] = {{'&', "amp;"}, {'<', "lt;"}, {'>', "gt;"}, {'\'', "apos;"}, {'"', "quot;"}};

void CheckName(const std::string& name, const wchar_t* what) {
  if (name.find_first_of(kRefused, 0, sizeof kRefused - 1) != std::string::npos) {
    throw CXmlDoc::XmlExc(std::wstring(what) + Utf8ToWide(name) + L" contains not allowed character(s).");
  }
  if (!name.empty() && std::strchr(kRefusedFirst, name[0])) {
    throw CXmlDoc::XmlExc(std::wstring(what) + Utf8ToWide(name) + L" cannot start with character \"" +
                          static_cast<wchar_t>(name[0]) + L"\".");
  }
}

std::wstring ErrnoText(int error) { return std::to_wstring(error); }

// The file a save replaces: path itself, or the end of its chain of links.
std::filesystem::path ResolveLinks(std::filesystem::path path) {
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec)); ++hops) {
    std::filesystem::path link = std::filesystem::read_symlink(path, ec);
    if (ec) break;
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return path;
}

bool ReadAll(const std::string& path, std::string& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace

// A children's vector moves its elements when it grows only if moving cannot throw.
static_assert(std::is_nothrow_move_constructible_v<CXmlDoc>);

CXmlDoc::CXmlDoc(const std::wstring& name) : m_name(name) {}

CXmlDoc::CXmlDoc(const std::wstring& name, CXmlDoc* owner) : m_name(name), m_owner(owner) {}

CXmlDoc::~CXmlDoc() {
  if (!m_owner.doc) return;
  // Nothing reads this element after it is gone: its content moves over.
  CXmlDoc* owner = m_owner.doc;
  m_owner.doc = nullptr;
  owner->AddChild(std::move(*this), true);
}

void CXmlDoc::AddChild(const CXmlDoc& child, bool fromDestructor) {
  if (child.m_owner.doc && !fromDestructor) {
    throw XmlExc(L"Node <" + child.m_name + L"> is already assigned to <" + child.m_owner.doc->m_name + L">.");
  }
  AddChild(CXmlDoc(child), fromDestructor);  // the copy has no owner
}

void CXmlDoc::AddChild(CXmlDoc&& child, bool fromDestructor) {
  if (child.m_owner.doc) {
    AddChild(static_cast<const CXmlDoc&>(child), fromDestructor);
    return;
  }
  std::vector<CXmlDoc>& same = m_children[child.m_name];
  if (same.empty()) {
    if (fromDestructor) {
      m_childOrder.push_front(child.m_name);
    } else {
      m_childOrder.push_back(child.m_name);
    }
  }
  same.push_back(std::move(child));
}

void CXmlDoc::AddAttribute(const std::string& name, const std::string& value) {
  if (m_attributes.emplace(name, value).second) m_attributeOrder.push_back(name);
}

std::string CXmlDoc::EncodeEntities(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const SEntity* hit = nullptr;
    for (const SEntity& e : kEntities) {
      if (e.c == c) hit = &e;
    }
    if (hit) {
      out += '&';
      out += hit->entity;
    } else {
      out += c;
    }
  }
  return out;
}

std::string CXmlDoc::DecodeEntities(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  size_t i = 0;
  while (i < value.size()) {
    if (value[i] == '&') {
      const SEntity* hit = nullptr;
      for (const SEntity& e : kEntities) {
        if (value.compare(i + 1, std::strlen(e.entity), e.entity) == 0) hit = &e;
      }
      if (hit) {
        out += hit->c;
        i += 1 + std::strlen(hit->entity);
        continue;
      }
    }
    out += value[i++];
  }
  return out;
}

CXmlDoc CXmlDoc::ParseTag(const std::string& tag) {
  size_t nameEnd = 0;
  while (nameEnd < tag.size() && !IsBlank(tag[nameEnd])) ++nameEnd;
  CXmlDoc element(Utf8ToWide(tag.substr(0, nameEnd)));
  size_t p = nameEnd;
  int added = 0;
  while (p < tag.size() && tag[p] != '\0') {
    while (p < tag.size() && IsBlank(tag[p])) ++p;
    if (p >= tag.size() || tag[p] == '\0') break;
    size_t eq = tag.find('=', p);
    if (eq == std::string::npos) throw XmlExc(L"Incorrect attribute format.");
    std::string name = tag.substr(p, eq - p);
    for (size_t i = 0; i < name.size(); ++i) {
      if (IsBlank(name[i])) {
        name.resize(i);
        break;
      }
    }
    size_t open = tag.find('"', eq + 1);
    if (open == std::string::npos) throw XmlExc(L"Incorrect attribute value.");
    size_t close = tag.find('"', open + 1);
    if (close == std::string::npos) throw XmlExc(L"Incorrect attribute value format.");
    element.AddAttribute(name, DecodeEntities(tag.substr(open + 1, close - open - 1)));
    if (++added >= kMaxAttributes) throw XmlExc(L"Too many attributes.");
    p = close + 1;
  }
  return element;
}

void CXmlDoc::ParseNodes(const std::string& text, size_t& pos, CXmlDoc& parent, int depth) {
  if (depth > kMaxDepth) throw XmlExc(L"Too many nested nodes.");
  int items = 0;
  for (;;) {
    size_t lt = text.find('<', pos);
    if (lt == std::string::npos) {
      pos = text.size();
      return;
    }
    if (text.size() - (lt + 1) < 2) throw XmlExc(L"Incorrect tag name.");
    if (text.compare(lt + 1, 3, "!--") == 0) {
      size_t end = text.find("-->", lt + 4);
      if (end == std::string::npos) throw XmlExc(L"Comment not closed.");
      if (++items >= kMaxItems) throw XmlExc(L"Too many sibling nodes.");
      pos = end + 3;
      continue;
    }
    size_t gt = text.find('>', lt + 1);
    if (gt == std::string::npos) throw XmlExc(L"Tag not closed.");
    std::string tag = text.substr(lt + 1, gt - lt - 1);
    if (tag.empty()) throw XmlExc(L"Incorrect tag name.");
    if (tag[0] == '/') {
      if (parent.m_children.empty()) parent.m_text = text.substr(pos, lt - pos);
      pos = gt + 1;
      return;
    }
    if (++items >= kMaxItems) throw XmlExc(L"Too many sibling nodes.");
    const bool selfClosing = tag.back() == '/';
    if (selfClosing) tag.pop_back();
    CXmlDoc element = ParseTag(tag);
    pos = gt + 1;
    if (!selfClosing) ParseNodes(text, pos, element, depth + 1);
    parent.AddChild(std::move(element), false);
  }
}

bool CXmlDoc::Load(const std::wstring& path, std::wstring& error, bool& openFailed) {
  std::string text;
  // A folder opens but cannot be read: that counts as not opened too.
  if (!ReadAll(WideToUtf8(path), text)) {
    error = L"Could not open file for reading " + path;
    openFailed = true;
    return false;
  }
  openFailed = false;
  return LoadFromText(text, error);
}

bool CXmlDoc::LoadFromText(const std::string& text, std::wstring& error) {
  try {
    size_t start = text.find("<?");
    size_t end = text.find("?>");
    if (start == std::string::npos || end == std::string::npos || end < start + 2) {
      throw XmlExc(L"Incorrect header format.");
    }
    CXmlDoc header = ParseTag(text.substr(start + 2, end - start - 2));
    if (header.m_name != L"xml") throw XmlExc(L"Header is not xml.");
    size_t pos = end + 2;
    ParseNodes(text, pos, *this, 0);
  } catch (const XmlExc& e) {
    error = e.Message();
    return false;
  }
  return true;
}

void CXmlDoc::WriteNode(std::string& out, const CXmlDoc& element, int depth) {
  const std::string name = WideToUtf8(element.m_name);
  CheckName(name, L"Node name ");
  out.append(static_cast<size_t>(depth), '\t');
  out += '<';
  out += name;
  for (const std::string& attribute : element.m_attributeOrder) {
    CheckName(attribute, L"Attribute name ");
    out += ' ';
    out += attribute;
    out += "=\"";
    out += EncodeEntities(element.m_attributes.at(attribute));
    out += '"';
  }
  const bool hasChildren = !element.m_children.empty();
  if (!hasChildren && element.m_text.empty()) {
    out += " />\n";
    return;
  }
  out += '>';
  if (!element.m_text.empty()) {
    out += element.m_text;
  } else {
    out += '\n';
  }
  for (const std::wstring& childName : element.m_childOrder) {
    auto it = element.m_children.find(childName);
    if (it == element.m_children.end()) continue;
    for (const CXmlDoc& child : it->second) WriteNode(out, child, depth + 1);
  }
  if (hasChildren) out.append(static_cast<size_t>(depth), '\t');
  out += "</" + name + ">\n";
}

bool CXmlDoc::SaveToText(std::string& out, std::wstring& error) const {
  out = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
  try {
    for (const auto& [name, elements] : m_children) {
      for (const CXmlDoc& element : elements) WriteNode(out, element, 0);
    }
  } catch (const XmlExc& e) {
    error = e.Message();
    return false;
  }
  return true;
}

bool CXmlDoc::Save(const std::wstring& path, std::wstring& error) const {
  // The whole text is built first, so that a refused name touches no file.
  std::string out;
  if (!SaveToText(out, error)) return false;

  // Written beside the file it replaces and renamed over it, so that a full
  // disk or a failed write keeps the previous file.
  const std::filesystem::path target = ResolveLinks(std::filesystem::path(WideToUtf8(path)));
  struct stat old {};
  const bool hadOld = ::stat(target.c_str(), &old) == 0;
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = target.string() + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = L"Could not open file for writing " + path;
    return false;
  }
  auto fail = [&](int code) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    error = L"Could not write file " + path + L", error " + ErrnoText(code);
    return false;
  };
  if (hadOld && ::fchmod(fd, old.st_mode & 07777) != 0) return fail(errno);
  if (!platform::WriteFully(fd, out)) return fail(errno);
  if (::fsync(fd) != 0) return fail(errno);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(errno);
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(errno);
  // The rename itself reaches the disk with the folder's sync.
  std::filesystem::path folder = target.parent_path();
  int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}
