// Counts every heap allocation of the process, the library's included: the
// benchmark binary replaces malloc, calloc and realloc, which operator new
// also goes through.
#ifndef KELTO_BENCH_ALLOCATION_COUNTER_H_
#define KELTO_BENCH_ALLOCATION_COUNTER_H_

#include <cstdint>

namespace kelto::bench {

uint64_t AllocationCount();

}  // namespace kelto::bench

#endif  // KELTO_BENCH_ALLOCATION_COUNTER_H_
