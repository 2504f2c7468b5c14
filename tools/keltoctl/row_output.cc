#include "keltoctl/row_output.h"

#include <algorithm>
#include <array>

#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

constexpr size_t kColumns = 5;
using Fields = std::array<std::string, kColumns>;

Fields EscapedFields(const ItemSnapshot& item) {
  return {std::to_string(item.ident), EscapeText(item.name),
          EscapeText(std::string_view(&item.type, 1)), std::to_string(item.size),
          FormatValue(item)};
}

// Escaped fields are valid UTF-8 (bytes outside it are escaped), so a
// column is as wide as its characters: the bytes that start one.
size_t Width(const std::string& field) {
  return static_cast<size_t>(std::count_if(field.begin(), field.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

void AppendPadded(std::string* line, const std::string& field, size_t width, bool right) {
  const std::string padding(width - std::min(width, Width(field)), ' ');
  *line += right ? padding + field : field + padding;
}

std::string RenderTable(const std::vector<ItemSnapshot>& rows, const std::vector<bool>* changed,
                        bool highlight) {
  const Fields header = {"IDENT", "NAME", "TYPE", "SIZE", "VALUE"};
  std::vector<Fields> lines;
  lines.reserve(rows.size());
  std::array<size_t, kColumns> widths{};
  for (size_t c = 0; c < kColumns; ++c) widths[c] = header[c].size();
  for (const ItemSnapshot& item : rows) {
    lines.push_back(EscapedFields(item));
    for (size_t c = 0; c < kColumns; ++c) widths[c] = std::max(widths[c], Width(lines.back()[c]));
  }
  // Numbers align right, text left; the last column is not padded.
  constexpr std::array<bool, kColumns> kRight = {true, false, false, true, false};
  auto render = [&](const Fields& fields, bool is_changed) {
    std::string line;
    if (changed != nullptr) line += is_changed ? "* " : "  ";
    for (size_t c = 0; c + 1 < kColumns; ++c) {
      AppendPadded(&line, fields[c], widths[c], kRight[c]);
      line += "  ";
    }
    line += is_changed && highlight ? "\033[7m" + fields.back() + "\033[0m" : fields.back();
    return line + "\n";
  };
  std::string text = render(header, false);
  for (size_t i = 0; i < lines.size(); ++i) {
    text += render(lines[i], changed != nullptr && (*changed)[i]);
  }
  return text;
}

std::string RenderTsv(const std::vector<ItemSnapshot>& rows) {
  std::string text;
  for (const ItemSnapshot& item : rows) {
    const Fields fields = EscapedFields(item);
    for (size_t c = 0; c < kColumns; ++c) {
      text += fields[c];
      text += c + 1 < kColumns ? '\t' : '\n';
    }
  }
  return text;
}

std::string RenderJson(const std::vector<ItemSnapshot>& rows) {
  if (rows.empty()) return "[]\n";
  std::string text = "[\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const ItemSnapshot& item = rows[i];
    text += "  {\"ident\": " + std::to_string(item.ident) + ", \"name\": " + JsonString(item.name) +
            ", \"type\": " + JsonString(std::string_view(&item.type, 1)) +
            ", \"size\": " + std::to_string(item.size) + ", \"value\": " + JsonValue(item) + "}";
    text += i + 1 < rows.size() ? ",\n" : "\n";
  }
  return text + "]\n";
}

std::string RenderCsv(const std::vector<ItemSnapshot>& rows) {
  std::string text = "ident,name,type,size,value\n";
  for (const ItemSnapshot& item : rows) {
    // A type byte can be a control character; its escaped form keeps the
    // file readable, and the letters people use are unchanged by it.
    text += std::to_string(item.ident) + "," + CsvField(item.name) + "," +
            CsvField(EscapeText(std::string_view(&item.type, 1))) + "," +
            std::to_string(item.size) + "," + CsvValue(item) + "\n";
  }
  return text;
}

}  // namespace

std::string RenderRows(const std::vector<ItemSnapshot>& rows, OutputFormat format) {
  switch (format) {
    case OutputFormat::kTable: return RenderTable(rows, nullptr, false);
    case OutputFormat::kJson: return RenderJson(rows);
    case OutputFormat::kCsv: return RenderCsv(rows);
    default: return RenderTsv(rows);
  }
}

std::string RenderMarkedTable(const std::vector<ItemSnapshot>& rows,
                              const std::vector<bool>& changed, bool highlight) {
  return RenderTable(rows, &changed, highlight);
}

std::string RenderValues(const std::vector<ItemSnapshot>& rows) {
  std::string text;
  for (const ItemSnapshot& item : rows) text += FormatValue(item) + "\n";
  return text;
}

}  // namespace keltoctl
