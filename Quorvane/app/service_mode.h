// Running under systemd with /ServiceMode, in place of the Service Control
// Manager. STOP is SIGTERM: a signal handler writes the signal number to a
// self-pipe, and ServiceMainThread (the dispatcher's stand-in) reads it and
// calls ServiceCtrlHandler(SERVICE_CONTROL_STOP) outside signal context.
// The RUNNING and STOPPED reports are READY=1 and STOPPING=1 sent to
// $NOTIFY_SOCKET (nothing when it is unset). Outside service mode the same
// pipe carries SIGTERM and SIGINT to the UI loop, which closes the main
// window as Exit does.
//
// A STOP that comes before the main window exists is remembered;
// OnMainWindowCreated posts the WM_CLOSE then, so the program stops instead
// of running on after it said it stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Quorvane/platform/system_errors.h"
#include "Quorvane/platform/window_messages.h"

constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
using platform::ERROR_CALL_NOT_IMPLEMENTED;
constexpr unsigned WM_CLOSE = 0x10;

// g_hMainWnd, the main frame's window (0 until step 8 of the start-up), is
// the engine's: it posts server states to it.
#include "Quorvane/engine/server_state.h"

// Installs the SIGTERM and SIGINT handlers and makes the pipe; the read end,
// or -1 when the pipe could not be made. Once, before any thread starts.
int InstallStopSignals();
// The pipe's read end (-1 before InstallStopSignals).
int StopSignalDescriptor();

// The detached service thread: reports running, then turns every signal
// read from the pipe into a STOP.
void ServiceMainThread();
void ServiceMain();
uint32_t ServiceCtrlHandler(uint32_t control);

// Stores the window in g_hMainWnd and delivers a STOP that came before.
void OnMainWindowCreated(platform::HWND window);

// Sends one state line ("READY=1") to $NOTIFY_SOCKET; false when unset or
// the send failed.
bool NotifyServiceManager(const std::string& state);

// Back to "no STOP seen" for tests.
void ResetServiceStateForTesting();
