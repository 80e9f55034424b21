#include "binding/failure_report.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace morfex::py {
namespace {

bool backtrace_requested() noexcept {
  const char* value = std::getenv(kBacktraceVariable);
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

void write_backtrace() noexcept {
  void* frames[64];
  const int count = ::backtrace(frames, 64);
  std::fputs("stack backtrace:\n", stderr);
  for (int i = 0; i < count; ++i) {
    Dl_info info{};
    const char* symbol = nullptr;
    const char* object = "??";
    std::uintptr_t offset = 0;
    if (::dladdr(frames[i], &info) != 0) {
      symbol = info.dli_sname;
      if (info.dli_fname != nullptr) object = info.dli_fname;
      const void* base = info.dli_saddr != nullptr ? info.dli_saddr : info.dli_fbase;
      offset = reinterpret_cast<std::uintptr_t>(frames[i]) - reinterpret_cast<std::uintptr_t>(base);
    }
    int status = -1;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        symbol != nullptr ? abi::__cxa_demangle(symbol, nullptr, nullptr, &status) : nullptr, &std::free);
    const char* name = status == 0 ? demangled.get() : symbol;
    std::fprintf(stderr, "  %2d: %s+0x%zx\n             in %s\n", i, name != nullptr ? name : "<unknown>",
                 static_cast<std::size_t>(offset), object);
  }
}

}  // namespace

void write_failure_report(std::string_view message, const std::source_location& where) noexcept {
  char name[64] = {};
  if (::pthread_getname_np(::pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    std::strcpy(name, "<unnamed>");
  }
  std::fprintf(stderr, "thread '%s' (%ld) failed at %s:%u:%u:\n%.*s\n", name, static_cast<long>(::gettid()),
               where.file_name(), static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               static_cast<int>(message.size()), message.data());
  if (backtrace_requested()) {
    write_backtrace();
  } else {
    std::fprintf(stderr, "note: run with `%s=1` environment variable to display a stack trace\n",
                 kBacktraceVariable);
  }
  std::fflush(stderr);
}

}  // namespace morfex::py
