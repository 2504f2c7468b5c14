// The name index on a view of our own: every name found under its ident and
// nothing else, whatever its length; later duplicates win; names another
// process changed in the segment are never trusted; the index stays small.
#include "table/var_directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace kelto {
namespace {

// A view filled the way Open fills it: full names cut to 255 characters.
class View {
 public:
  explicit View(const std::vector<std::string>& full_names) : items_(full_names.size()) {
    std::memset(items_.data(), 0, items_.size() * sizeof(VarItem));
    for (size_t ident = 0; ident < full_names.size(); ++ident) {
      const std::string cut = full_names[ident].substr(0, VarDirectory::kLongestFullName);
      std::memcpy(items_[ident].name, cut.c_str(), cut.size() + 1);
    }
  }
  char* data() { return reinterpret_cast<char*>(items_.data()); }
  uint32_t count() const { return static_cast<uint32_t>(items_.size()); }
  VarItem& item(uint32_t ident) { return items_[ident]; }

 private:
  std::vector<VarItem> items_;
};

// The ways an index is built: reserved and set one by one, growing as it
// goes, or all at once from packed names as Open builds it.
enum class Way { kReserved, kGrowing, kPacked };

void Build(VarDirectory& directory, const std::vector<std::string>& full_names,
           Way way = Way::kPacked) {
  directory.Clear();
  if (way == Way::kPacked) {
    std::string packed;
    std::vector<size_t> starts;
    for (const std::string& name : full_names) {
      starts.push_back(packed.size());
      packed += name.substr(0, VarDirectory::kLongestFullName);
      packed += '\0';
    }
    directory.BuildPacked(packed, starts);
    return;
  }
  if (way == Way::kReserved) {
    directory.Reserve(full_names.size() / 2, full_names.size() - full_names.size() / 2);
  }
  for (size_t ident = 0; ident < full_names.size(); ++ident) {
    const std::string cut = full_names[ident].substr(0, VarDirectory::kLongestFullName);
    directory.Set(cut, static_cast<uint32_t>(ident));
  }
  directory.Finish();
}

uint32_t FindEither(const VarDirectory& directory, View& view, const std::string& full_name) {
  const uint32_t found = directory.Find(view.data(), view.count(), full_name.c_str());
  // The facade's way must agree with the full name's.
  const VarDirectory::VarSet set = VarDirectory::SetOfFullName(full_name);
  if (set != VarDirectory::kNoSet) {
    EXPECT_EQ(directory.FindInSet(view.data(), view.count(), set, full_name.c_str() + 6), found)
        << full_name;
  }
  return found;
}

// Random names of every length from 0 to past the longest, in both sets,
// many sharing long beginnings and ends, with duplicates; each lookup is
// checked against a plain map of the same names.
TEST(VarDirectory, FindsExactlyWhatAPlainMapFinds) {
  std::mt19937_64 random(7);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789";
  std::vector<std::string> full_names;
  for (int i = 0; i < 6000; ++i) {
    const size_t length = random() % 3 == 0 ? random() % 20 : random() % 260;
    std::string name(length, 'N');
    // Only the last few characters vary for most names: long equal runs.
    for (size_t at = length > 4 ? length - 4 : 0; at < length; ++at) {
      name[at] = alphabet[random() % alphabet.size()];
    }
    if (random() % 2 == 0) name[0] = 'Q';
    full_names.push_back((i % 2 == 0 ? "IORSH_" : "MEMSH_") + name);
  }
  for (int i = 0; i < 300; ++i) full_names.push_back(full_names[random() % full_names.size()]);

  std::unordered_map<std::string, uint32_t> expected;
  for (size_t ident = 0; ident < full_names.size(); ++ident) {
    expected[full_names[ident].substr(0, 255)] = static_cast<uint32_t>(ident);
  }
  for (const Way way : {Way::kReserved, Way::kGrowing, Way::kPacked}) {
    VarDirectory directory;
    Build(directory, full_names, way);
    View view(full_names);
    for (const std::string& name : full_names) {
      const std::string cut = name.substr(0, 255);
      EXPECT_EQ(FindEither(directory, view, cut), expected.at(cut)) << cut;
      // Longer than an item holds: never found, even when cut it would be.
      if (name.size() >= 255) {
        EXPECT_EQ(FindEither(directory, view, cut + "N"), VarDirectory::kNotFound);
      }
      std::string near = cut;
      near.back() = static_cast<char>(near.back() + 1);
      const auto other = expected.find(near);
      EXPECT_EQ(FindEither(directory, view, near),
                other == expected.end() ? VarDirectory::kNotFound : other->second);
      EXPECT_EQ(FindEither(directory, view, cut + "\x80"), VarDirectory::kNotFound);
    }
    for (const char* name : {"", "I", "IORSH", "iorsh_N", "XXXXX_N", "MEMSH"}) {
      EXPECT_EQ(FindEither(directory, view, name), VarDirectory::kNotFound) << name;
    }
    // Fewer items than the index knows (a smaller view): none past the end.
    EXPECT_EQ(directory.Find(view.data(), 2, full_names[5].c_str()), VarDirectory::kNotFound);
  }
}

TEST(VarDirectory, NeverTrustsNamesChangedInTheSegment) {
  const std::vector<std::string> full_names = {"IORSH_SPEED", "IORSH_" + std::string(249, 'L'),
                                               "MEMSH_LEVEL", "MEMSH_COUNT"};
  VarDirectory directory;
  Build(directory, full_names);
  View view(full_names);
  ASSERT_EQ(FindEither(directory, view, full_names[1]), 1u);

  // Every byte of the field written, no terminator: the longest name no
  // longer matches and nothing reads past the field (the sanitizers check).
  std::memset(view.item(1).name, 'L', sizeof view.item(1).name);
  EXPECT_EQ(FindEither(directory, view, full_names[1]), VarDirectory::kNotFound);
  std::memset(view.item(0).name, 'S', sizeof view.item(0).name);
  EXPECT_EQ(FindEither(directory, view, "IORSH_SPEED"), VarDirectory::kNotFound);
  // A renamed item is not found under its old name nor under its new one,
  // which the index never saw; a changed prefix counts as a change.
  std::memcpy(view.item(2).name, "MEMSH_DEPTH", 12);
  EXPECT_EQ(FindEither(directory, view, "MEMSH_LEVEL"), VarDirectory::kNotFound);
  EXPECT_EQ(FindEither(directory, view, "MEMSH_DEPTH"), VarDirectory::kNotFound);
  std::memcpy(view.item(3).name, "IORSH_", 6);
  EXPECT_EQ(FindEither(directory, view, "MEMSH_COUNT"), VarDirectory::kNotFound);
  // A name made longer in the segment (its terminator overwritten).
  View again(full_names);
  again.item(2).name[11] = 'X';
  EXPECT_EQ(FindEither(directory, again, "MEMSH_LEVEL"), VarDirectory::kNotFound);
  EXPECT_EQ(FindEither(directory, again, "MEMSH_COUNT"), 3u);
}

TEST(VarDirectory, EmptyOrClearedFindsNothingAndTheIndexStaysSmall) {
  VarDirectory directory;
  EXPECT_EQ(directory.Find(nullptr, 0, "IORSH_SPEED"), VarDirectory::kNotFound);
  const std::vector<char> empty(1, '\0');
  EXPECT_EQ(directory.FindInSet(nullptr, 0, VarDirectory::kMemsh, empty.data()),
            VarDirectory::kNotFound);
  EXPECT_EQ(directory.HeapBytes(), 0u);

  for (const size_t count : {size_t{16}, size_t{1000}, size_t{65537}, size_t{100000}}) {
    std::vector<std::string> full_names;
    for (size_t i = 0; i < count; ++i) {
      full_names.push_back((i < count / 2 ? "IORSH_SIGNAL_" : "MEMSH_SIGNAL_") + std::to_string(i));
    }
    Build(directory, full_names);
    EXPECT_LE(directory.HeapBytes(), 32 * count) << count;
    View view(full_names);
    EXPECT_EQ(FindEither(directory, view, full_names[count - 1]), count - 1);
  }
  directory.Clear();
  EXPECT_EQ(directory.HeapBytes(), 0u);
}

}  // namespace
}  // namespace kelto
