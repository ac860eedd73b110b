// The program's own XML reader and writer for its configuration file: one
// class that is both document and element. The reader accepts the subset the
// program writes (elements, attributes in double quotes, comments, text); the
// writer produces a fixed, tab-indented layout.
//
// Errors inside are thrown as CXmlDoc::XmlExc and come out of Load and Save
// as an error text; nothing escapes them. Not thread-safe: one document is
// built or read by one thread.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

class CXmlDoc {
 public:
  class XmlExc {
   public:
    explicit XmlExc(std::wstring message) : m_message(std::move(message)) {}
    const std::wstring& Message() const { return m_message; }

   private:
    std::wstring m_message;
  };

  explicit CXmlDoc(const std::wstring& name);
  // An element built for owner: it adds itself (as a copy) to owner when it is
  // destroyed, its name going to the front of owner's child-name order.
  CXmlDoc(const std::wstring& name, CXmlDoc* owner);
  // A copy or a move never carries the owner: only the original adds itself,
  // and an element assigned to keeps its own.
  CXmlDoc(const CXmlDoc& other) = default;
  CXmlDoc& operator=(const CXmlDoc& other) = default;
  CXmlDoc(CXmlDoc&& other) noexcept = default;
  CXmlDoc& operator=(CXmlDoc&& other) noexcept = default;
  ~CXmlDoc();

  // Stores a copy of child (owner cleared) after the children of its name;
  // the rvalue one moves it there. Throws XmlExc when child has an owner and
  // fromDestructor is false.
  void AddChild(const CXmlDoc& child, bool fromDestructor);
  void AddChild(CXmlDoc&& child, bool fromDestructor);
  // The first value of a name stays.
  void AddAttribute(const std::string& name, const std::string& value);

  // Reads path into this document's children. openFailed tells a missing or
  // unreadable file from a malformed one. Elements parsed before an error stay.
  bool Load(const std::wstring& path, std::wstring& error, bool& openFailed);
  // Load's reading of the file's bytes.
  bool LoadFromText(const std::string& text, std::wstring& error);
  // Replaces path (through a symbolic link, keeping the old file's mode) with
  // this document's children; on any failure the previous file stays as it
  // was and no temporary file is left behind.
  bool Save(const std::wstring& path, std::wstring& error) const;
  // Save's text of the document, with no file.
  bool SaveToText(std::string& out, std::wstring& error) const;

  // The conf-file's typed attribute layer, defined in config/conf_file.cc
  // with its number formats. Getters return false when the attribute is
  // absent (or, for the typed ones, invalid) and leave the output unchanged.
  // A mandatory attribute that is absent throws "The mandatory attribute
  // "key" not found in node <name>."; a mandatory typed one that is invalid
  // throws "Incorrect value of attribute "key" of node <name>.".
  const std::vector<CXmlDoc>& GetChildren(const std::wstring& name) const;  // empty when there are none
  bool GetAttribute(const std::string& key, std::string& value, bool mandatory) const;
  bool GetAttributeW(const std::string& key, std::wstring& value, bool mandatory) const;
  bool GetAttributeUInt(const std::string& key, uint32_t& value, bool mandatory) const;
  // "1" or "true", "0" or "false", exactly.
  bool GetAttributeBool(const std::string& key, bool& value, bool mandatory) const;
  bool GetAttributeInt(const std::string& key, int32_t& value) const;  // never mandatory
  // All through AddAttribute: a key set twice keeps its first value and position.
  void SetAttribute(const std::string& key, const std::string& value);
  void SetAttributeW(const std::string& key, const std::wstring& value);  // as UTF-8
  void SetAttributeUInt(const std::string& key, uint32_t value);
  void SetAttributeInt(const std::string& key, int32_t value);
  void SetAttributeBool(const std::string& key, bool value);  // "1" or "0"

  static std::string EncodeEntities(const std::string& value);
  static std::string DecodeEntities(const std::string& value);

  // Open to tests that compare documents.
  std::wstring m_name;
  std::map<std::string, std::string> m_attributes;     // UTF-8 name -> UTF-8 value
  std::list<std::string> m_attributeOrder;             // names in order of first insertion
  std::string m_text;                                  // raw bytes of the file, UTF-8
  std::map<std::wstring, std::vector<CXmlDoc>> m_children;
  std::list<std::wstring> m_childOrder;                // order in which child names are written

 private:
  // Content nesting limit; 10000 items per level and 49 attributes per tag.
  static constexpr int kMaxDepth = 10;
  static constexpr int kMaxItems = 10000;
  static constexpr int kMaxAttributes = 50;

  static void ParseNodes(const std::string& text, size_t& pos, CXmlDoc& parent, int depth);
  static CXmlDoc ParseTag(const std::string& tag);
  static void WriteNode(std::string& out, const CXmlDoc& element, int depth);

  // Stays with its element: copying or moving the element leaves it behind.
  struct SOwnerLink {
    CXmlDoc* doc = nullptr;
    SOwnerLink() = default;
    explicit SOwnerLink(CXmlDoc* owner) : doc(owner) {}
    SOwnerLink(const SOwnerLink&) noexcept {}
    SOwnerLink& operator=(const SOwnerLink&) noexcept { return *this; }
  };
  SOwnerLink m_owner;
};
