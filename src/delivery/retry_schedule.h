// The back-off delays of the uploader: a short table normally, a long one for a suspended account.
#pragma once

#include <cstdint>

namespace ostrivel {

// No jitter: the sequence is fixed by the calls made. Used from the uploader's worker only.
class RetrySchedule {
 public:
  virtual ~RetrySchedule() = default;
  // Seconds to wait before the next try; the table's last delay repeats once it is reached.
  virtual std::int32_t next();
  // Switches to the long table, keeping the position in it.
  virtual void escalate();
  // Back to the start of the short table (after every accepted upload).
  virtual void reset();

 private:
  std::int32_t attempt = 0;
  bool longSchedule = false;
};

}  // namespace ostrivel
