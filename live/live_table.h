// One observer's hold on the live table: the C++ behind kelto_live.h.
#ifndef KELTO_LIVE_LIVE_TABLE_H_
#define KELTO_LIVE_LIVE_TABLE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kelto_live.h"
#include "live/value_codec.h"
#include "table/named_segment.h"

namespace kelto::live {

struct NameLookup;

struct ChangeBatch {
  std::vector<uint32_t> idents;
  bool resync = false;
};

class LiveTable {
 public:
  // `segment_name` null: KELTO_SEGMENT or the default.
  explicit LiveTable(const char* segment_name);
  ~LiveTable();
  LiveTable(const LiveTable&) = delete;
  LiveTable& operator=(const LiveTable&) = delete;

  const std::string& SegmentName() const { return segment_name_; }

  // Attaching and letting go; not concurrent with any other call.
  kelto_live_result Attach();
  kelto_live_result Reattach(int32_t timeout_ms);
  kelto_live_result Check();
  // errno of the last failed attach, for a caller's message.
  int AttachErrno() const { return attach_errno_; }

  uint32_t Count() const { return count_.load(std::memory_order_relaxed); }
  kelto_live_result Info(uint32_t ident, kelto_live_info* info);
  kelto_live_result Find(std::string_view name, uint32_t* ident);
  kelto_live_result Select(const char* pattern, std::vector<uint32_t>* idents);
  kelto_live_result Read(uint32_t ident, char* type, ValueField& value);
  // `value` as parsed for the variable's type; written as by name, then
  // marked. `expected_type` guards against a re-Open that changed the type
  // between parse and write.
  kelto_live_result Write(uint32_t ident, char expected_type, const ValueField& value);
  // Encodes a value for the variable's type as it is now and writes it, all
  // under one use of the view: a typed set looks the variable up once.
  // `encode(type, value)` fills the zeroed field or refuses with its result.
  template <typename Encode>
  kelto_live_result Update(uint32_t ident, Encode encode) {
    return UpdateWith(
        ident,
        [](void* context, char type, ValueField& value) {
          return (*static_cast<Encode*>(context))(type, value);
        },
        &encode);
  }

  uint64_t Cursor();
  kelto_live_result Wait(uint64_t* cursor, std::vector<uint32_t> filter, int32_t timeout_ms,
                         ChangeBatch* batch);

 private:
  // Runs `use` with the view held against letting go, or gives NO_TABLE.
  template <typename Use>
  kelto_live_result WithView(Use use);
  using Encoder = kelto_live_result (*)(void* context, char type, ValueField& value);
  kelto_live_result UpdateWith(uint32_t ident, Encoder encode, void* context);
  void LetGo();
  bool StillLive();
  // Check, unless one found the table live less than a liveness slice ago.
  kelto_live_result CheckOncePerSlice();
  uint32_t CountShownItems() const;
  bool IsBlank(uint32_t ident) const;
  bool GrewPastCount() const;
  std::shared_ptr<const NameLookup> CurrentIndex(bool rebuild);
  bool ChangedSinceIndexed(const NameLookup& lookup) const;
  std::string_view NameAt(uint32_t ident) const;

  std::string segment_name_;
  // Shared by every use of the view, exclusive while letting go of it.
  std::shared_mutex view_mutex_;
  // Set first when letting go, so that new users stop queueing for the view.
  std::atomic<bool> gone_{true};
  SegmentHold hold_;
  std::atomic<uint32_t> count_{0};
  // When a Check last found the table live (CLOCK_MONOTONIC, ms).
  std::atomic<int64_t> live_at_ms_{INT64_MIN / 2};
  int attach_errno_ = 0;

  std::mutex index_mutex_;
  std::shared_ptr<const NameLookup> index_;
};

}  // namespace kelto::live

#endif  // KELTO_LIVE_LIVE_TABLE_H_
