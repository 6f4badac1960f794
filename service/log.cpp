#include "service/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace kiv::service {

void log_line(const char* format, ...) {
  char line[1024];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  std::size_t n = std::strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%SZ kivd[", &tm);
  n += static_cast<std::size_t>(
      std::snprintf(line + n, sizeof line - n, "%ld]: ", static_cast<long>(::getpid())));
  va_list ap;
  va_start(ap, format);
  const int body = std::vsnprintf(line + n, sizeof line - n - 1, format, ap);
  va_end(ap);
  if (body > 0) n += static_cast<std::size_t>(body);
  if (n > sizeof line - 2) n = sizeof line - 2;
  line[n++] = '\n';
  // A failed write of a log line has nowhere better to go.
  ssize_t ignored = ::write(STDERR_FILENO, line, n);
  (void)ignored;
}

}  // namespace kiv::service
