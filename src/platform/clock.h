// The system clock as an instant.
#pragma once

#include "platform/platform.h"
#include "util/timestamp.h"

namespace quendal {

// Now, in UTC.
inline Instant now_utc() {
  const platform::SystemTime now = platform::system_time_now();
  return Instant{now.seconds, now.nanoseconds};
}

}  // namespace quendal
