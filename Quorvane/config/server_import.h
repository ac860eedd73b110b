// Import of resolvers from published resolver lists: one detached thread per
// list address downloads the list, parses its "##" headings and stamps, and
// merges the servers into the run's shared data without duplicate stamps.
// The owner (a dialog) reads that data under g_ServerImportMutex when onDone
// tells it (onDone only posts); threads of a replaced or released run find
// their id gone and drop their results.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/config/dns_server.h"

// Guards every CServerImport::SThreadData.
extern std::mutex g_ServerImportMutex;

class CServerImport {
 public:
  struct SThreadData {
    std::vector<CDnsServer> servers;  // merged in this run, in merge order
    std::set<std::string> stampKeys;
    std::function<void(uint64_t)> onDone;  // runs under g_ServerImportMutex
    uint64_t context = 0;
    std::map<std::thread::id, bool> threads;  // of this run, not reported yet
    int urlsLoaded = 0;
    int urlsFailed = 0;
    int serversFailed = 0;
    bool finished = false;
  };

  CServerImport();
  ~CServerImport();  // Release
  CServerImport(const CServerImport&) = delete;
  CServerImport& operator=(const CServerImport&) = delete;

  void Start(const std::vector<std::string>& urls, std::function<void(uint64_t)> onDone, uint64_t context);
  // A copy of the run's data, taken under the mutex.
  SThreadData Snapshot() const;

  // Bytes kept of a list at most; a longer one is cut there.
  static constexpr size_t kMaxListSize = 5000000;
  // A list of at most kMaxListSize bytes. On failure the body is empty and
  // error says why: "Could not open URL (error) 12006).", the HTTP status,
  // "Cannot get file length, error = 12150", "File is too big.", "File is
  // empty.", "File length mismatch (announced, received).", or the transfer's
  // own text + ".".
  static bool Download(const std::string& url, std::string& body, std::wstring& error);
  // Every "##" heading with the next "sdns://" stamp after it; a stamp that
  // does not parse is logged and counted in failed. Always true.
  static bool ParseResolverList(const std::string& body, std::vector<CDnsServer>& servers, const std::string& url,
                                int& failed);
  // One address per line (CR LF or LF; empty lines skipped), each kept as it
  // stands and in order. Fails on the first line that is not an http:// or
  // https:// address; urls is emptied first either way.
  static bool ParseUrlList(const std::string& text, std::vector<std::string>& urls, std::wstring& error);

 private:
  static void ImportThread(std::string url, std::shared_ptr<SThreadData> data);
  static void Merge(SThreadData& data, std::vector<CDnsServer>& parsed);

  std::shared_ptr<SThreadData> m_data;
};
