// Ids shared by servers and pools: one counter, one lookup.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// The next free id; whoever creates a server or pool takes it and
// increments it. Writers: the thread that edits the configuration, and
// import threads (under g_ServerImportMutex).
extern std::atomic<uint32_t> g_NextObjectId;

// Index of the first record whose id matches, or -1 (also for an empty list).
template <class Record>
int FindIndexById(const std::vector<Record>& records, uint32_t id) {
  for (size_t i = 0; i < records.size(); ++i)
    if (records[i].id == id) return static_cast<int>(i);
  return -1;
}
