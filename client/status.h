// The result of a repository service call: success, or the reason it failed (wire/reason.h
// lists them; the service gives most, the client adds kUnavailable for a service it cannot reach
// and kBadAnswer for an answer it cannot read). A value type; thread-safe to copy.
#ifndef KIV_CLIENT_STATUS_H_
#define KIV_CLIENT_STATUS_H_

#include "wire/reason.h"

namespace kiv {

class Status {
 public:
  constexpr Status() = default;  // success
  constexpr explicit Status(Reason reason) : reason_(reason) {}

  constexpr bool ok() const { return reason_ == Reason::kNone; }
  constexpr Reason reason() const { return reason_; }
  // The reason's name for log lines ("ok" on success); a static string.
  constexpr const char* name() const { return reason_name(reason_); }

  friend constexpr bool operator==(Status a, Status b) { return a.reason_ == b.reason_; }
  friend constexpr bool operator!=(Status a, Status b) { return a.reason_ != b.reason_; }

 private:
  Reason reason_ = Reason::kNone;
};

}  // namespace kiv

#endif  // KIV_CLIENT_STATUS_H_
