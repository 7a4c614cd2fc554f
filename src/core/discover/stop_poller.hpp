// How every search answers its caller's poll (SearchControl::poll): Continue
// goes on, Stop ends the work with what was found so far, Cancel unwinds with
// Cancelled.
#pragma once

#include <functional>

#include "core/discover/search.hpp"

namespace zor::discover::detail {

class StopPoller {
 public:
  // `poll` may be empty (the work never stops early); `cut_short` is where the
  // owner records a Stop. Both must outlive the poller.
  StopPoller(const std::function<PollAnswer()>& poll, bool& cut_short) : poll_(poll), cut_short_(cut_short) {}

  // Asks the poll. True when the work is to stop: Stop now, or already cut
  // short; throws Cancelled on Cancel. False whenever there is no poll.
  bool stop_requested() const {
    if (!poll_) return false;
    const PollAnswer answer = poll_();
    if (answer == PollAnswer::Cancel) throw Cancelled();
    if (answer == PollAnswer::Stop) cut_short_ = true;
    return cut_short_;
  }

 private:
  const std::function<PollAnswer()>& poll_;
  bool& cut_short_;
};

}  // namespace zor::discover::detail
