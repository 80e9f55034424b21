#pragma once

#include <source_location>
#include <string_view>

namespace morfex::py {

inline constexpr const char* kBacktraceVariable = "MORFEX_BACKTRACE";

// Writes the report of an internal failure to standard error: thread, source
// location, message, and either a native stack trace or how to ask for one.
void write_failure_report(std::string_view message, const std::source_location& where) noexcept;

}  // namespace morfex::py
