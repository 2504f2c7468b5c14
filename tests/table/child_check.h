// Checks inside a forked child, where gtest cannot report: a failed check
// ends the child with a status derived from its line (never 0), so the
// parent's EXPECT_EQ(child.Wait(), 0) shows where it failed.
#ifndef KELTO_TESTS_TABLE_CHILD_CHECK_H_
#define KELTO_TESTS_TABLE_CHILD_CHECK_H_

#define CHILD_CHECK(condition)                   \
  do {                                           \
    if (!(condition)) return 1 + __LINE__ % 250; \
  } while (0)

#endif  // KELTO_TESTS_TABLE_CHILD_CHECK_H_
