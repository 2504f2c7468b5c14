// Rows of items in every output format of list, get and watch.
#ifndef KELTOCTL_ROW_OUTPUT_H_
#define KELTOCTL_ROW_OUTPUT_H_

#include <string>
#include <vector>

#include "keltoctl/arguments.h"
#include "keltoctl/item_snapshot.h"

namespace keltoctl {

// Columns ident, name, type, size, value in `format`, which must not be
// kAuto. Table and TSV fields are escaped (see EscapeText); JSON is an array
// of objects; CSV has a header line and raw text.
std::string RenderRows(const std::vector<ItemSnapshot>& rows, OutputFormat format);

// The aligned table with a mark column in front: '*' where `changed` is
// true. With `highlight`, changed values are also shown in reverse video.
std::string RenderMarkedTable(const std::vector<ItemSnapshot>& rows,
                              const std::vector<bool>& changed, bool highlight);

// Just the values, one per line, as in the table's value column.
std::string RenderValues(const std::vector<ItemSnapshot>& rows);

}  // namespace keltoctl

#endif  // KELTOCTL_ROW_OUTPUT_H_
