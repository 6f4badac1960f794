// The module's lines in the server's error log. Every line the module writes starts with a stable
// message number, "KIV" and five digits (KIVLOGNO(10001) gives "KIV10001: "), from the module's
// own range 10001-10099, so that operators can search for it and tools can count it; the numbers
// and what each line means are listed in docs/logging.md. A number is never reused for another
// message.
//
// A file that logs says APLOG_USE_MODULE(dav_kiv) inside an extern "C" block, before its first
// use of APLOG_MARK, so that the module's own LogLevel applies.
#ifndef KIV_PROVIDER_LOG_H_
#define KIV_PROVIDER_LOG_H_

#include "common/host.h"

#define KIVLOGNO(n) "KIV" #n ": "

namespace kiv {

// Makes s the server whose error log gets the lines that belong to no request (the repository
// service lost and regained, the calls at LogLevel debug). Set at start-up, before any request;
// s must live as long as the configuration.
void log_to(server_rec* s);

// The server set by log_to, or null before it was (then such lines are not written).
server_rec* log_server();

}  // namespace kiv

#endif  // KIV_PROVIDER_LOG_H_
