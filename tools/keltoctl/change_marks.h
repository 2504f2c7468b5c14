// Which rows of a watch refresh differ from the refresh before.
#ifndef KELTOCTL_CHANGE_MARKS_H_
#define KELTOCTL_CHANGE_MARKS_H_

#include <vector>

#include "keltoctl/item_snapshot.h"

namespace keltoctl {

// One flag per row of `current`: true when the item with that ident was not
// in `previous`, or shows a different name, type or value there. Nothing is
// marked on the first refresh (empty `previous`).
std::vector<bool> MarkChanges(const std::vector<ItemSnapshot>& previous,
                              const std::vector<ItemSnapshot>& current);

}  // namespace keltoctl

#endif  // KELTOCTL_CHANGE_MARKS_H_
