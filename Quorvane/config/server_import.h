// Import of resolvers from published resolver lists. For now only the
// parsing of the list of list addresses, which the conf-file reader and the
// import settings share.
#pragma once

#include <string>
#include <vector>

class CServerImport {
 public:
  // One address per line (CR LF or LF; empty lines skipped), each kept as it
  // stands and in order. Fails on the first line that is not an http:// or
  // https:// address; urls is emptied first either way.
  static bool ParseUrlList(const std::string& text, std::vector<std::string>& urls, std::wstring& error);
};
