// A doubly linked list through its records' own next and prev fields, as
// the flow and pending-connect lists keep them. The caller holds the
// list's spin lock around every call; the size may be read without it.
#pragma once

#include <atomic>
#include <cstdint>

template <typename T>
struct TvnList {
  T* head = nullptr;
  T* tail = nullptr;
  std::atomic<uint32_t> size{0};  // written under the list's lock

  void Clear() {
    head = tail = nullptr;
    size.store(0);
  }

  void Append(T* item) {
    item->next = nullptr;
    item->prev = tail;
    if (tail) tail->next = item; else head = item;
    tail = item;
    size.fetch_add(1);
  }

  void Unlink(T* item) {
    if (item->prev) item->prev->next = item->next; else head = item->next;
    if (item->next) item->next->prev = item->prev; else tail = item->prev;
    item->next = item->prev = nullptr;
    size.fetch_sub(1);
  }
};
