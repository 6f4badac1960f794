// Log lines of the service on stderr: one line per call, with a UTC time stamp, written with
// one write(2) so that lines of concurrent threads never interleave. Thread-safe.
#ifndef KIV_SERVICE_LOG_H_
#define KIV_SERVICE_LOG_H_

namespace kiv::service {

void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kiv::service

#endif  // KIV_SERVICE_LOG_H_
