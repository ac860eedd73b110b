#include "Quorvane/config/server_import.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "Quorvane/foundation/text_utils.h"
#include "tests/support/log_capture.h"
#include "tests/support/http_server.h"


// Routes name only the fields they script.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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

// Resolver lists, their download and the importer's threads, against
// stamps made by the server record itself and a scripted loopback server.
namespace {

CDnsServer PlainServer(uint8_t last) {
  CDnsServer server;
  server.protocol = EDnsProtocol::Plain;
  server.family = AF_INET;
  server.address = {192, 0, 2, last};
  server.addressKnown = true;
  server.port = 53;
  return server;
}

CDnsServer CryptServer(uint8_t last) {
  CDnsServer server = PlainServer(last);
  server.protocol = EDnsProtocol::DnsCrypt;
  server.port = 443;
  server.dnscrypt_public_key = ByteString(32, last);
  server.dnscrypt_provider_name = "2.dnscrypt-cert.example";
  return server;
}

std::string Stamp(const CDnsServer& server) {
  std::string stamp, error;
  EXPECT_TRUE(server.ToStamp(stamp, error)) << error;
  return stamp;
}

std::vector<std::wstring> Names(const std::vector<CDnsServer>& servers) {
  std::vector<std::wstring> names;
  for (const CDnsServer& server : servers) names.push_back(server.name);
  return names;
}

TEST(ResolverList, HeadingsAndStamps) {
  const std::string a = Stamp(PlainServer(1)), b = Stamp(PlainServer(2));
  struct Case {
    const char* name;
    std::string body;
    std::vector<std::wstring> names;
    int failed;
  } cases[] = {
      {"preamble", "# public resolvers\n\nsdns://AAAA not a heading\n## one\ntext\n" + a + "\n", {L"one"}, 0},
      {"crlf", "##  one\r\n" + a + "\r\n## two\r\n" + b + "\r\n", {L"one", L"two"}, 0},
      {"last_stamp_without_line_end", "## one\n" + a + "\n## two\n" + b, {L"one", L"two"}, 0},
      {"heading_without_stamp_takes_the_next", "## lost\n## two\n" + b + "\n", {L"lost"}, 0},
      {"broken_stamp", "## bad\nsdns://AAAA\n## two\n" + b + "\n", {L"two"}, 1},
      {"heading_at_the_end", "## one\n" + a + "\n## two", {L"one"}, 0},
      {"nothing", "", {}, 0},
  };
  testsupport::LogCapture log(LogError);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<CDnsServer> servers;
    int failed = 0;
    EXPECT_TRUE(CServerImport::ParseResolverList(c.body, servers, "http://l.example/x", failed));
    EXPECT_EQ(Names(servers), c.names);
    EXPECT_EQ(failed, c.failed);
    const auto lines = log.TakeTexts();
    EXPECT_EQ(lines.size(), static_cast<size_t>(c.failed));
    if (c.failed) {
      EXPECT_EQ(lines[0].rfind(L"Cannot load sdns for server \"bad\". Cannot parse stamp: ", 0), 0u)
          << WideToUtf8(lines[0]);
      EXPECT_TRUE(lines[0].ends_with(L". URL=http://l.example/x"));
    }
  }
}

TEST(ResolverList, DownloadTable) {
  testsupport::CHttpServer server;
  const std::string list = "## one\n" + Stamp(PlainServer(1)) + "\n";
  struct Case {
    const char* name;
    testsupport::SHttpRoute route;
    std::wstring error;  // empty: success
  } cases[] = {
      {"ok", {.body = list}, L""},
      {"not_found", {.status = 404, .body = "x"}, L"File not found on the server (status 404)."},
      {"server_error", {.status = 500, .body = "x"}, L"Request failed with HTTP status 500 "},
      {"chunked", {.body = list, .chunked = true}, L"Cannot get file length, error = 12150"},
      {"empty", {.body = ""}, L"File is empty."},
      {"above_limit", {.body = std::string(5000001, 'a')}, L"File is too big."},
      {"at_limit", {.body = std::string(5000000, 'a')}, L""},
      {"short", {.body = list, .shortBy = 3}, L"File length mismatch (" + std::to_wstring(list.size() + 3) + L", " +
                                                  std::to_wstring(list.size()) + L")."},
      {"redirect_served", {.status = 301, .location = "/served"}, L""},
      {"redirect_ftp", {.status = 302, .location = "ftp://127.0.0.1/x"}, L"Could not open URL (error) 12006)."},
  };
  server.SetRoute("/served", {.body = list});
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = "/d" + std::to_string(index++);
    server.SetRoute(path, c.route);
    const std::string url = server.Origin() + path;
    std::string body = "stale";
    std::wstring error;
    EXPECT_EQ(CServerImport::Download(url, body, error), c.error.empty()) << WideToUtf8(error);
    std::wstring want = c.error;
    if (want.ends_with(L"500 ")) want += Utf8ToWide(url);
    EXPECT_EQ(error, want);
    if (!c.error.empty()) {
      EXPECT_TRUE(body.empty());
    }
  }
  std::string body;
  std::wstring error;
  EXPECT_FALSE(CServerImport::Download("ftp://127.0.0.1/x", body, error));
  EXPECT_EQ(error, L"Could not open URL (error) 12006).");
}

class Importer : public ::testing::Test {
 protected:
  Importer() : m_savedNextId(g_NextObjectId.load()) { g_NextObjectId = 7000; }
  ~Importer() override { g_NextObjectId = m_savedNextId; }

  // Bounded wait for the posted count to reach count.
  bool WaitForDone(int count) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_done >= count; });
  }
  std::function<void(uint64_t)> OnDone() {
    return [this](uint64_t context) {
      std::lock_guard lock(m_mutex);
      ++m_done;
      m_context = context;
      m_changed.notify_all();
    };
  }

  testsupport::CHttpServer m_server;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_done = 0;
  uint64_t m_context = 0;
  uint32_t m_savedNextId;
};

TEST_F(Importer, ThreeListsSharingAStampGiveOneServerWithTheFirstId) {
  testsupport::LogCapture log(LogError);
  const std::string shared = Stamp(PlainServer(1));
  CDnsServer cisco = CryptServer(7), quad9 = CryptServer(8), other = CryptServer(9), plainQuad9 = PlainServer(5);
  m_server.SetRoute("/a", {.body = "## shared\n" + shared + "\n## cisco-east\n" + Stamp(cisco) + "\n"});
  m_server.SetRoute("/b", {.body = "## shared again\n" + shared + "\n## my quad9\n" + Stamp(quad9) + "\n",
                           .delayMs = 300});
  m_server.SetRoute("/c", {.body = "## Cisco\n" + Stamp(other) + "\n## quad9 plain\n" + Stamp(plainQuad9) + "\n",
                           .delayMs = 600});
  m_server.SetRoute("/missing", {.status = 404, .body = "x"});
  CServerImport import;
  const std::string o = m_server.Origin();
  import.Start({o + "/a", o + "/b", o + "/c", o + "/missing"}, OnDone(), 42);
  ASSERT_TRUE(WaitForDone(4));
  const CServerImport::SThreadData data = import.Snapshot();
  EXPECT_TRUE(data.finished);
  EXPECT_EQ(data.urlsLoaded, 3);
  EXPECT_EQ(data.urlsFailed, 1);
  EXPECT_EQ(data.serversFailed, 0);
  EXPECT_EQ(m_context, 42u);
  ASSERT_EQ(data.servers.size(), 5u);
  EXPECT_EQ(data.servers[0].name, L"shared");
  EXPECT_EQ(data.servers[0].id, 7000u);
  std::map<std::wstring, bool> padding;
  for (const CDnsServer& s : data.servers) padding[s.name] = s.dnscrypt_disable_padding;
  EXPECT_TRUE(padding[L"cisco-east"]);
  EXPECT_TRUE(padding[L"my quad9"]);
  EXPECT_FALSE(padding[L"Cisco"]);        // the match is case-sensitive
  EXPECT_FALSE(padding[L"quad9 plain"]);  // DNSCrypt servers only
  EXPECT_EQ(g_NextObjectId, 7005u);
  const auto lines = log.TakeTexts();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"Cannot import servers from URL " + Utf8ToWide(o) +
                          L"/missing. File not found on the server (status 404).");
}

TEST_F(Importer, ReleasingDuringADelayPostsNothing) {
  m_server.SetRoute("/slow", {.body = "## one\n" + Stamp(PlainServer(1)) + "\n", .delayMs = 300});
  {
    CServerImport import;
    import.Start({m_server.Origin() + "/slow"}, OnDone(), 1);
    ASSERT_TRUE(m_server.WaitForRequests(1));
  }
  // The thread ends after the delay; give it time to have reported.
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  std::lock_guard lock(m_mutex);
  EXPECT_EQ(m_done, 0);
  EXPECT_EQ(g_NextObjectId, 7000u);
}

TEST_F(Importer, ARestartedRunDropsTheOldRunsResults) {
  m_server.SetRoute("/slow", {.body = "## old\n" + Stamp(PlainServer(1)) + "\n", .delayMs = 300});
  m_server.SetRoute("/fast", {.body = "## new\n" + Stamp(PlainServer(2)) + "\n"});
  CServerImport import;
  import.Start({m_server.Origin() + "/slow"}, OnDone(), 1);
  ASSERT_TRUE(m_server.WaitForRequests(1));
  import.Start({m_server.Origin() + "/fast"}, OnDone(), 2);
  ASSERT_TRUE(WaitForDone(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(Names(import.Snapshot().servers), std::vector<std::wstring>{L"new"});
  std::lock_guard lock(m_mutex);
  EXPECT_EQ(m_done, 1);
}

}  // namespace
