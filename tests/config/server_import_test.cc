#include "Quorvane/config/server_import.h"

#include <gtest/gtest.h>

namespace {

TEST(ServerImport, UrlListLinesInOrder) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> urls;  // when accepted
    bool ok;
  };
  const Case cases[] = {
      {"crlf_and_lf", "https://a.example/x.md\r\nhttp://b.example/y\n", {"https://a.example/x.md", "http://b.example/y"},
       true},
      {"empty_lines_and_stray_cr", "\r\n\n\rhttps://a.example/\r\r\n\n", {"https://a.example/"}, true},
      {"kept_as_written", "https://a.example/ two words \t", {"https://a.example/ two words \t"}, true},
      {"nothing", "", {}, true},
      {"scheme_case_matters", "HTTPS://a.example/", {}, false},
      {"leading_blank", " https://a.example/", {}, false},
      {"other_scheme", "https://a.example/\nftp://b.example/", {}, false},
      {"scheme_alone_is_enough", "http://", {"http://"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> urls = {"stale"};
    std::wstring error;
    EXPECT_EQ(CServerImport::ParseUrlList(c.text, urls, error), c.ok);
    if (c.ok) {
      EXPECT_EQ(urls, c.urls);
    } else {
      EXPECT_EQ(error, L"The URL must start with http:// or https://");
    }
  }
}

}  // namespace
