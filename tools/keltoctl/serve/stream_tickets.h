// Short-lived, single-use passes for the event stream. A browser's
// EventSource cannot send an Authorization header, and a cookie would reach
// every other server of the host: so a page that holds the token asks for a
// ticket (POST /api/ticket) and puts that in the stream's address instead.
#ifndef KELTOCTL_SERVE_STREAM_TICKETS_H_
#define KELTOCTL_SERVE_STREAM_TICKETS_H_

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace keltoctl::serve {

class StreamTickets {
 public:
  using Clock = std::chrono::steady_clock;
  // Long enough for a page on a slow machine to open its stream, short
  // enough that a ticket seen in a log is worth nothing.
  static constexpr std::chrono::seconds kLifetime{30};
  // Only holders of the token can ask for tickets; the bound still keeps a
  // runaway client from growing the list without end (the oldest go).
  static constexpr size_t kMaxOutstanding = 256;

  // A fresh ticket; empty when the random source failed.
  std::string Issue(Clock::time_point now = Clock::now());

  // True once for a ticket issued less than kLifetime before `now`; the
  // ticket is then used up.
  bool Redeem(std::string_view ticket, Clock::time_point now = Clock::now());

 private:
  struct Ticket {
    std::string value;
    Clock::time_point issued;
  };
  void DropExpired(Clock::time_point now);

  std::mutex mutex_;
  std::deque<Ticket> tickets_;  // oldest first
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_STREAM_TICKETS_H_
