#include "keltoctl/serve/stream_tickets.h"

#include "keltoctl/serve/access_token.h"

namespace keltoctl::serve {

std::string StreamTickets::Issue(Clock::time_point now) {
  std::string value = GenerateToken();
  if (value.empty()) return value;
  const std::lock_guard lock(mutex_);
  DropExpired(now);
  if (tickets_.size() >= kMaxOutstanding) tickets_.pop_front();
  tickets_.push_back({value, now});
  return value;
}

bool StreamTickets::Redeem(std::string_view ticket, Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  DropExpired(now);
  for (auto it = tickets_.begin(); it != tickets_.end(); ++it) {
    // Each stored ticket is compared whole, so that time tells nothing
    // about how much of a guess was right.
    if (SameToken(ticket, it->value)) {
      tickets_.erase(it);
      return true;
    }
  }
  return false;
}

void StreamTickets::DropExpired(Clock::time_point now) {
  while (!tickets_.empty() && now - tickets_.front().issued >= kLifetime) tickets_.pop_front();
}

}  // namespace keltoctl::serve
