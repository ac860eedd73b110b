#include "Quorvane/config/server_import.h"

bool CServerImport::ParseUrlList(const std::string& text, std::vector<std::string>& urls, std::wstring& error) {
  urls.clear();
  std::string lines;
  lines.reserve(text.size());
  for (char c : text)
    if (c != '\r') lines.push_back(c);
  size_t start = 0;
  while (start <= lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.rfind("http://", 0) != 0 && line.rfind("https://", 0) != 0) {
      error = L"The URL must start with http:// or https://";
      return false;
    }
    urls.push_back(line);
  }
  return true;
}
