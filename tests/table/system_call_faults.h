// Makes one system call of the segment's attach and detach fail at its N-th
// use, with an errno of the test's choosing, and counts every use.
#ifndef KELTO_TESTS_TABLE_SYSTEM_CALL_FAULTS_H_
#define KELTO_TESTS_TABLE_SYSTEM_CALL_FAULTS_H_

#include "table/unix/system_calls.h"

namespace kelto::testing {

enum class Call { kShmOpen, kShmUnlink, kFstat, kStat, kLstat, kLock, kFallocate, kMmap };
inline constexpr int kCallKinds = 8;
const char* CallName(Call call);

struct Fault {
  Call call = Call::kShmOpen;
  int nth = 0;  // 0: count only, fail nothing
  int error = 0;
  // Further failures: `times` in all, one every `every` uses from the nth.
  int times = 1;
  int every = 1;
};

// While it exists the segment code sees the faulty table; one at a time.
class InjectedFault {
 public:
  explicit InjectedFault(Fault fault = {});
  ~InjectedFault();
  InjectedFault(const InjectedFault&) = delete;
  InjectedFault& operator=(const InjectedFault&) = delete;

  bool fired() const;
  int uses(Call call) const;
};

}  // namespace kelto::testing

#endif  // KELTO_TESTS_TABLE_SYSTEM_CALL_FAULTS_H_
