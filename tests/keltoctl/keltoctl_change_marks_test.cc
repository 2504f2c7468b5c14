// What watch marks as changed between two refreshes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "keltoctl/change_marks.h"
#include "keltoctl/row_output.h"

namespace keltoctl {
namespace {

ItemSnapshot Item(uint32_t ident, const char* name, char type, const char* value) {
  ItemSnapshot item;
  item.ident = ident;
  item.name = name;
  item.type = type;
  item.size = kelto::SizeOfTypeLetter(type);
  std::memcpy(item.value, value, std::strlen(value));
  return item;
}

TEST(KeltoctlChangeMarks, TheFirstRefreshMarksNothing) {
  const std::vector<ItemSnapshot> now = {Item(0, "IORSH_A", 'B', "\x01")};
  EXPECT_EQ(MarkChanges({}, now), std::vector<bool>{false});
}

TEST(KeltoctlChangeMarks, ChangedValuesNamesTypesAndNewRowsAreMarked) {
  const std::vector<ItemSnapshot> before = {
      Item(0, "IORSH_A", 'B', "\x01"), Item(1, "IORSH_B", 'B', "\x01"),
      Item(2, "IORSH_C", 'B', "\x01"), Item(3, "IORSH_D", 'B', "\x01")};
  const std::vector<ItemSnapshot> after = {
      Item(0, "IORSH_A", 'B', "\x01"),  // unchanged
      Item(1, "IORSH_B", 'B', "\x02"),  // new value
      Item(2, "IORSH_X", 'B', "\x01"),  // renamed by a later Open
      Item(3, "IORSH_D", 'H', "\x01"),  // retyped
      Item(4, "IORSH_E", 'B', "\x01"),  // not there before
  };
  EXPECT_EQ(MarkChanges(before, after), (std::vector<bool>{false, true, true, true, true}));
}

TEST(KeltoctlChangeMarks, BytesAfterAStringsTerminatorDoNotCount) {
  ItemSnapshot before = Item(0, "IORSH_S", '$', "ab");
  ItemSnapshot after = before;
  std::memcpy(after.value + 3, "junk", 4);
  EXPECT_EQ(MarkChanges({before}, {after}), std::vector<bool>{false});
}

TEST(KeltoctlChangeMarks, MarkedRowsCarryAStarAndOnATerminalReverseVideo) {
  const std::vector<ItemSnapshot> rows = {Item(0, "IORSH_A", 'B', "\x01"),
                                          Item(1, "IORSH_B", 'B', "\x02")};
  EXPECT_EQ(RenderMarkedTable(rows, {false, true}, false),
            "  IDENT  NAME     TYPE  SIZE  VALUE\n"
            "      0  IORSH_A  B        1  1\n"
            "*     1  IORSH_B  B        1  2\n");
  EXPECT_EQ(RenderMarkedTable(rows, {false, true}, true),
            "  IDENT  NAME     TYPE  SIZE  VALUE\n"
            "      0  IORSH_A  B        1  1\n"
            "*     1  IORSH_B  B        1  \033[7m2\033[0m\n");
}

}  // namespace
}  // namespace keltoctl
