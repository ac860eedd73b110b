// WM_SERVER_STATE: the engine tells the main window that a query to a server
// failed or that the server answered again. Posted, never sent, so the engine
// never waits for the user interface.
#pragma once

#include <atomic>
#include <cstdint>

#include "Quorvane/platform/window_messages.h"

constexpr unsigned WM_SERVER_STATE = platform::WM_USER + 0x85;

// The main window; 0 until it exists. Set by the application.
extern std::atomic<platform::HWND> g_hMainWnd;

// wParam = server id; lParam = ok (bits 0..7) | fromRedundancyPool << 16.
// False when there is no main window to post to.
bool PostServerStateMessage(uint32_t serverId, bool ok, bool fromRedundancyPool);
