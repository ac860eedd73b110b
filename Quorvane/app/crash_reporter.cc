#include "Quorvane/app/crash_reporter.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Quorvane/foundation/fatal_error.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/paths.h"

std::atomic<bool> g_bCrashReported{false};

namespace {

constexpr size_t kPathBytes = 4096;
// UTF-8; the wide reason is converted before the report, never inside it.
char g_szFatalReason[kFatalReasonChars * 4];
char g_dumpPath[kPathBytes];
char g_logPath[kPathBytes];
char g_programPath[kPathBytes];
bool g_showBox = false;
alignas(16) char g_alternateStack[64 * 1024];

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// A fixed buffer with safe appends; truncates at the capacity.
struct SBuffer {
  char* data;
  size_t capacity, length = 0;
  void Add(const char* text) {
    while (*text && length + 1 < capacity) data[length++] = *text++;
    data[length] = '\0';
  }
  void AddNumber(unsigned long long value, int base = 10) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[value % base];
      value /= base;
    } while (value && n < 24);
    char out[25];
    for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    out[n] = '\0';
    Add(out);
  }
  void AddSigned(long long value) {
    if (value < 0) {
      Add("-");
      AddNumber(static_cast<unsigned long long>(-value));
    } else {
      AddNumber(static_cast<unsigned long long>(value));
    }
  }
};

void CopyInto(char* target, size_t capacity, const std::string& text) {
  size_t n = std::min(capacity - 1, text.size());
  memcpy(target, text.data(), n);
  target[n] = '\0';
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void WriteText(int fd, const char* text) { WriteAll(fd, text, strlen(text)); }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "";
  }
}

// "[YYYY.MM.DD HH:MM:SS] " in UTC: localtime takes a lock.
void AddStamp(SBuffer& out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  long long seconds = now.tv_sec;
  long long days = seconds / 86400, rest = seconds % 86400;
  // Civil date from days since 1970 (H. Hinnant's algorithm).
  days += 719468;
  long long era = days / 146097, doe = days - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  long long day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
  long long year = yoe + era * 400 + (month <= 2);
  auto two = [&out](long long v) {
    if (v < 10) out.Add("0");
    out.AddNumber(static_cast<unsigned long long>(v));
  };
  out.Add("[");
  out.AddNumber(static_cast<unsigned long long>(year));
  out.Add(".");
  two(month);
  out.Add(".");
  two(day);
  out.Add(" ");
  two(rest / 3600);
  out.Add(":");
  two(rest / 60 % 60);
  out.Add(":");
  two(rest % 60);
  out.Add("] ");
}

// Copies /proc/self/maps into fd: which library each address belongs to.
void CopyMemoryMap(int fd) {
  int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return;
  char buffer[4096];
  ssize_t n;
  while ((n = read(maps, buffer, sizeof buffer)) > 0) WriteAll(fd, buffer, static_cast<size_t>(n));
  close(maps);
}

// Starts the box as a new program: a raw fork (no atfork handlers, whose
// locks a crashed thread may hold) and execve, nothing else in the child.
void StartCrashBox(const char* message) {
  if (!g_showBox || !g_programPath[0]) return;
  char option[] = "--crash-box";
  char* argv[] = {g_programPath, option, g_dumpPath, const_cast<char*>(message), nullptr};
  long pid = syscall(SYS_fork);
  if (pid == 0) {
    // Its own session: it outlives the crashed process.
    setsid();
    execve(g_programPath, argv, environ);
    _exit(127);
  }
}

int CrashDumpExceptionFilter(int signal, const siginfo_t* info) {
  if (g_bCrashReported.exchange(true)) {
    for (;;) pause();
  }
  static char text[1024];
  SBuffer detail{text, sizeof text};
  int result = 0;
  int fd = open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    int error = errno;
    detail.Add("Failed to create dump file \"");
    detail.Add(g_dumpPath);
    detail.Add("\" (error ");
    detail.AddSigned(error);
    detail.Add(").\nPlease contact ");
    detail.Add(kCrashSupportAddress);
  } else {
    static char head[512];
    SBuffer h{head, sizeof head};
    h.Add("Tarnwick crash dump\nsignal: ");
    if (signal) {
      h.AddNumber(static_cast<unsigned>(signal));
      h.Add(" ");
      h.Add(SignalName(signal));
    } else {
      h.Add("none (fatal error)");
    }
    if (info) {
      h.Add("\naddress: 0x");
      h.AddNumber(reinterpret_cast<uintptr_t>(info->si_addr), 16);
    }
    h.Add("\nreason: ");
    WriteText(fd, head);
    WriteText(fd, g_szFatalReason);
    WriteText(fd, "\nbacktrace:\n");
    void* frames[64];
    int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, fd);
    WriteText(fd, "memory map:\n");
    CopyMemoryMap(fd);
    bool ok = fsync(fd) == 0 || errno == EINVAL;
    int error = errno;
    close(fd);
    if (ok) {
      detail.Add("The dump file was saved to:\n\"");
      detail.Add(g_dumpPath);
      detail.Add("\"\n\nPlease email it to ");
      detail.Add(kCrashSupportAddress);
      detail.Add("\nThanks!");
      result = 1;
    } else {
      detail.Add("Failed to save dump file to \"");
      detail.Add(g_dumpPath);
      detail.Add("\" (error ");
      detail.AddSigned(error);
      detail.Add(").\nPlease contact ");
      detail.Add(kCrashSupportAddress);
    }
  }

  static char message[kCrashMessageChars * 4 + 1];
  SBuffer m{message, kCrashMessageChars + 1};
  m.Add("Tarnwick has encountered a critical error! The program will be terminated.\n");
  if (g_szFatalReason[0]) m.Add(g_szFatalReason);
  m.Add("\n\n");
  m.Add(text);

  WriteText(STDERR_FILENO, message);
  WriteText(STDERR_FILENO, "\n");
  if (g_logPath[0]) {
    int log = open(g_logPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (log >= 0) {
      static char line[kCrashMessageChars * 4 + 64];
      SBuffer l{line, sizeof line};
      AddStamp(l);
      l.Add(message);
      l.Add("\r\n");
      WriteText(log, line);
      close(log);
    }
  }
  StartCrashBox(message);
  timespec wait{kCrashBoxWaitMs / 1000, 0};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
  return result;
}

void OnCrashSignal(int signal, siginfo_t* info, void*) {
  if (signal == SIGABRT && !g_szFatalReason[0]) CopyInto(g_szFatalReason, sizeof g_szFatalReason, "SIGABRT");
  CrashDumpExceptionFilter(signal, signal == SIGABRT ? nullptr : info);
  // The default action ends the process: at once for the raise, or when the
  // faulting instruction runs again after the return.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  raise(signal);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

}  // namespace

void InstallCrashHandlers(bool showBox) {
  g_showBox = showBox;
  CopyInto(g_dumpPath, sizeof g_dumpPath, (platform::TempFolder() / "Tarnwick.dmp").string());
  // The running file itself, even when an upgrade has replaced it since.
  CopyInto(g_programPath, sizeof g_programPath, "/proc/self/exe");
  void* frames[4];
  backtrace(frames, 4);  // loads the unwinder now, outside any handler

  stack_t stack{};
  stack.ss_sp = g_alternateStack;
  stack.ss_size = sizeof g_alternateStack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_sigaction = &OnCrashSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
  SetFatalErrorHook(&CrashReportFatalError);
}

void SetCrashLogFile(const std::filesystem::path& file) { CopyInto(g_logPath, sizeof g_logPath, file.string()); }

std::filesystem::path CrashDumpPath() { return g_dumpPath; }

void CrashReportFatalError(const std::wstring& text, bool terminate) {
  if (!text.empty()) {
    std::wstring reason = text.substr(0, kFatalReasonChars - 1);
    CopyInto(g_szFatalReason, sizeof g_szFatalReason, WideToUtf8(reason));
  }
  CrashDumpExceptionFilter(0, nullptr);
  if (terminate) _exit(1);
}
