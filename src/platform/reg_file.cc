#include "platform/reg_file.h"

#include <cstdio>
#include <optional>

namespace velloquin {
namespace {

// Long hex lists are wrapped as the registry editor wraps them: a line ends
// with ",\" before this column and the next one starts with two blanks.
constexpr size_t kHexWrapColumn = 78;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && RegNamesEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads 1 to max_digits hex digits making up all of `digits`.
std::optional<uint32_t> ParseHexNumber(std::string_view digits, size_t max_digits) {
  if (digits.empty() || digits.size() > max_digits) return std::nullopt;
  uint32_t n = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    n = (n << 4) | static_cast<uint32_t>(d);
  }
  return n;
}

// Lines of the file without their line ends ("\n", or "\r\n").
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  // The line end of the last line is not followed by an empty line.
  bool Next(std::string_view* line) {
    if (done_ || rest_.empty()) return false;
    size_t end = rest_.find('\n');
    if (end == std::string_view::npos) {
      done_ = true;
      *line = rest_;
      last_had_cr_ = false;
    } else {
      *line = rest_.substr(0, end);
      rest_.remove_prefix(end + 1);
      last_had_cr_ = !line->empty() && line->back() == '\r';
      if (last_had_cr_) line->remove_suffix(1);
    }
    ++number_;
    return true;
  }
  int number() const { return number_; }
  bool last_had_cr() const { return last_had_cr_; }

 private:
  std::string_view rest_;
  int number_ = 0;
  bool done_ = false;
  bool last_had_cr_ = false;
};

struct LineError {
  int line;
  std::string what;
};

// Reads a quoted text at the start of *rest, with the escapes \\ and \",
// and moves *rest past its closing quote.
std::optional<std::string> ParseQuoted(std::string_view* rest, std::string* error) {
  std::string out;
  for (size_t i = 1; i < rest->size(); ++i) {
    char c = (*rest)[i];
    if (c == '"') {
      rest->remove_prefix(i + 1);
      return out;
    }
    if (c == '\\') {
      if (i + 1 >= rest->size()) break;
      char next = (*rest)[++i];
      if (next != '\\' && next != '"') {
        *error = std::string("unknown escape \\") + next +
                 " in a quoted text (write \\\\ for a backslash, \\\" for a quote)";
        return std::nullopt;
      }
      c = next;
    }
    out.push_back(c);
  }
  *error = "a quoted text without its closing quote";
  return std::nullopt;
}

bool ParseHexBytes(std::string_view list, std::vector<uint8_t>* out) {
  list = Trim(list);
  if (list.empty()) return true;
  while (true) {
    size_t comma = list.find(',');
    auto byte = ParseHexNumber(Trim(list.substr(0, comma)), 2);
    if (!byte) return false;
    out->push_back(static_cast<uint8_t>(*byte));
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

// Parses the data after "=" into *value. A hex list may go on over further
// lines, each but the last ending with a backslash.
std::optional<std::string> ParseValueData(std::string_view data, LineReader* reader,
                                          RegValue* value) {
  if (!data.empty() && data.front() == '"') {
    std::string error;
    auto text = ParseQuoted(&data, &error);
    if (!text) return error;
    if (!Trim(data).empty()) return "unexpected characters after the quoted text";
    value->type = ValueType::kString;
    value->data.assign(text->begin(), text->end());
    value->data.push_back(0);  // stored with its terminating zero, as the registry does
    return std::nullopt;
  }
  if (StartsWithNoCase(data, "dword:")) {
    auto n = ParseHexNumber(Trim(data.substr(6)), 8);
    if (!n) return "dword: needs 1 to 8 hex digits";
    value->type = ValueType::kDword;
    value->data = {static_cast<uint8_t>(*n), static_cast<uint8_t>(*n >> 8),
                   static_cast<uint8_t>(*n >> 16), static_cast<uint8_t>(*n >> 24)};
    return std::nullopt;
  }
  if (StartsWithNoCase(data, "hex")) {
    data.remove_prefix(3);
    value->type = ValueType::kBinary;
    if (!data.empty() && data.front() == '(') {
      size_t close = data.find(')');
      auto type = close == std::string_view::npos ? std::nullopt
                                                  : ParseHexNumber(data.substr(1, close - 1), 8);
      if (!type) return "hex(N): needs a type number of 1 to 8 hex digits";
      value->type = static_cast<ValueType>(*type);
      data.remove_prefix(close + 1);
    }
    if (data.empty() || data.front() != ':') return "expected : after hex or hex(N)";
    std::string list(data.substr(1));
    while (true) {
      std::string_view trimmed = TrimRight(list);
      if (trimmed.empty() || trimmed.back() != '\\') break;
      list.resize(trimmed.size() - 1);
      std::string_view next;
      if (!reader->Next(&next)) return "the hex list goes on past the end of the file";
      list += TrimLeft(next);
    }
    if (!ParseHexBytes(list, &value->data)) {
      return "a hex list must be bytes of 1 or 2 hex digits separated by commas";
    }
    return std::nullopt;
  }
  if (Trim(data) == "-") return "deleting a value (=-) is not supported in a settings file";
  return "unknown value form (expected \"text\", dword:, hex: or hex(N):)";
}

RegItem* FindValueItem(RegSection* section, std::string_view name) {
  for (RegItem& item : section->items) {
    if (item.is_value && RegNamesEqual(item.name, name)) return &item;
  }
  return nullptr;
}

std::optional<LineError> ParseValueLine(std::string_view line, LineReader* reader,
                                        RegSection* section) {
  const int number = reader->number();
  std::string name;
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else {
    std::string error;
    auto quoted = ParseQuoted(&line, &error);
    if (!quoted) return LineError{number, "value name: " + error};
    name = std::move(*quoted);
  }
  line = TrimLeft(line);
  if (line.empty() || line.front() != '=')
    return LineError{number, "expected = after the value name"};
  RegValue value;
  if (auto error = ParseValueData(TrimLeft(line.substr(1)), reader, &value)) {
    return LineError{number, *error};
  }
  if (RegItem* existing = FindValueItem(section, name)) {
    existing->value = std::move(value);  // a repeated name: the later one wins
  } else {
    section->items.push_back(RegItem{});
    section->items.back().is_value = true;
    section->items.back().name = std::move(name);
    section->items.back().value = std::move(value);
  }
  return std::nullopt;
}

std::optional<LineError> ParseSectionLine(std::string_view line, int number, RegDocument* document,
                                          size_t* current) {
  if (line.back() != ']') return LineError{number, "a key line without its closing ]"};
  std::string_view path = line.substr(1, line.size() - 2);
  if (!path.empty() && path.front() == '-') {
    return LineError{number, "deleting a key ([-...]) is not supported in a settings file"};
  }
  std::vector<std::string> parts;
  if (!SplitKeyPath(path, &parts)) return LineError{number, "an empty part in the key path"};
  for (size_t i = 0; i < document->sections.size(); ++i) {
    if (RegNamesEqual(document->sections[i].path, path)) {
      *current = i;  // a repeated section adds to the first one
      return std::nullopt;
    }
  }
  document->sections.push_back(RegSection{std::string(path), {}});
  *current = document->sections.size() - 1;
  return std::nullopt;
}

std::string EscapeQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// A text value is written as "text" when its bytes are a line of text and
// exactly one terminating zero; anything else keeps its exact bytes as hex(1).
bool IsPlainText(const std::vector<uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0 || data[i] == '\n' || data[i] == '\r') return false;
  }
  return true;
}

void AppendHexList(std::string line, const std::vector<uint8_t>& data, const char* nl,
                   std::string* out) {
  const size_t continuation_indent = 2;
  for (size_t i = 0; i < data.size(); ++i) {
    char piece[4];
    std::snprintf(piece, sizeof piece, i + 1 < data.size() ? "%02x," : "%02x", data[i]);
    if (line.size() + 3 > kHexWrapColumn && line.size() > continuation_indent) {
      *out += line + "\\" + nl;
      line.assign(continuation_indent, ' ');
    }
    line += piece;
  }
  *out += line + nl;
}

void AppendValue(const RegItem& item, const char* nl, std::string* out) {
  std::string prefix = item.name.empty() ? "@=" : EscapeQuoted(item.name) + "=";
  const RegValue& v = item.value;
  if (v.type == ValueType::kString && IsPlainText(v.data)) {
    *out += prefix +
            EscapeQuoted({reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1}) + nl;
  } else if (v.type == ValueType::kDword && v.data.size() == 4) {
    char number[16];
    std::snprintf(
        number, sizeof number, "dword:%08x",
        v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24);
    *out += prefix + number + nl;
  } else if (v.type == ValueType::kBinary) {
    AppendHexList(prefix + "hex:", v.data, nl, out);
  } else {
    char type[24];
    std::snprintf(type, sizeof type, "hex(%x):", static_cast<uint32_t>(v.type));
    AppendHexList(prefix + type, v.data, nl, out);
  }
}

bool IsAtOrBelow(std::string_view section_path, std::string_view path) {
  return section_path.size() >= path.size() &&
         RegNamesEqual(section_path.substr(0, path.size()), path) &&
         (section_path.size() == path.size() || section_path[path.size()] == '\\');
}

bool EndsWithBlankLine(const std::vector<std::string>& lines) {
  return !lines.empty() && Trim(lines.back()).empty();
}

}  // namespace

RegParseResult ParseRegFile(std::string_view text) {
  RegParseResult result;
  auto fail = [&result](LineError e) {
    result.line = e.line;
    result.error = std::move(e.what);
    result.document = {};
    return result;
  };
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    return fail({1, "the file is UTF-16 text; save it as 8-bit text"});
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    result.ok = true;
    return result;
  }
  RegDocument& document = result.document;
  LineReader reader(text);
  std::string_view line;
  reader.Next(&line);
  document.crlf = reader.last_had_cr();
  line = TrimRight(line);
  if (line != kRegHeader4 && line != kRegHeader5) {
    return fail({1, std::string("the first line must be ") + kRegHeader4 + " or " + kRegHeader5});
  }
  document.header = line;
  std::optional<size_t> current;  // index of the section being read
  while (reader.Next(&line)) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';') {
      // Kept as written, less stray carriage returns that the line end
      // written back would not reproduce.
      while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (current) {
        document.sections[*current].items.push_back(RegItem{});
        document.sections[*current].items.back().text = line;
      } else {
        document.preamble.emplace_back(line);
      }
    } else if (t.front() == '[') {
      size_t index = 0;
      if (auto e = ParseSectionLine(t, reader.number(), &document, &index)) return fail(*e);
      current = index;
    } else if (t.front() == '"' || t.front() == '@') {
      if (!current) return fail({reader.number(), "a value before the first [key] line"});
      if (auto e = ParseValueLine(t, &reader, &document.sections[*current])) return fail(*e);
    } else {
      return fail({reader.number(), "a line that is neither [key], \"value\"=, @= nor ; comment"});
    }
  }
  result.ok = true;
  return result;
}

std::string FormatRegFile(const RegDocument& document) {
  const char* nl = document.crlf ? "\r\n" : "\n";
  std::string out = document.header + nl;
  for (const std::string& line : document.preamble) out += line + nl;
  for (const RegSection& section : document.sections) {
    out += "[" + section.path + "]" + nl;
    for (const RegItem& item : section.items) {
      if (item.is_value) {
        AppendValue(item, nl, &out);
      } else {
        out += item.text + nl;
      }
    }
  }
  return out;
}

bool RegNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  if (path.empty() || path.front() == '-' ||
      path.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return false;
  }
  while (true) {
    size_t slash = path.find('\\');
    std::string_view part = path.substr(0, slash);
    if (part.empty()) return false;
    parts->emplace_back(part);
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

bool IsWritableValueName(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos;
}

bool RegKeyExists(const RegDocument& document, std::string_view path) {
  for (const RegSection& section : document.sections) {
    if (IsAtOrBelow(section.path, path)) return true;
  }
  return false;
}

std::string RegCanonicalPath(const RegDocument& document, std::string_view path) {
  // Case folding keeps lengths, so a known prefix can be copied from a section.
  for (size_t end = path.size(); end != std::string_view::npos && end > 0;
       end = path.rfind('\\', end - 1)) {
    std::string_view prefix = path.substr(0, end);
    for (const RegSection& section : document.sections) {
      if (IsAtOrBelow(section.path, prefix)) {
        return section.path.substr(0, end) + std::string(path.substr(end));
      }
    }
  }
  return std::string(path);
}

std::vector<std::string> RegSubKeyNames(const RegDocument& document, std::string_view path) {
  std::vector<std::string> names;
  for (const RegSection& section : document.sections) {
    if (section.path.size() <= path.size() || !IsAtOrBelow(section.path, path)) continue;
    std::string_view rest = std::string_view(section.path).substr(path.size() + 1);
    std::string_view name = rest.substr(0, rest.find('\\'));
    bool known = false;
    for (const std::string& n : names) known = known || RegNamesEqual(n, name);
    if (!known) names.emplace_back(name);
  }
  return names;
}

const RegSection* RegFindSection(const RegDocument& document, std::string_view path) {
  for (const RegSection& section : document.sections) {
    if (RegNamesEqual(section.path, path)) return &section;
  }
  return nullptr;
}

RegSection& RegEnsureSection(RegDocument* document, std::string_view path) {
  if (const RegSection* found = RegFindSection(*document, path)) {
    return const_cast<RegSection&>(*found);
  }
  // Keep one blank line between sections, as an export has them.
  if (document->sections.empty()) {
    if (!EndsWithBlankLine(document->preamble)) document->preamble.emplace_back();
  } else {
    std::vector<RegItem>& items = document->sections.back().items;
    if (items.empty() || items.back().is_value || !Trim(items.back().text).empty()) {
      items.push_back(RegItem{});
    }
  }
  document->sections.push_back(RegSection{RegCanonicalPath(*document, path), {RegItem{}}});
  return document->sections.back();
}

void RegSetValue(RegSection* section, std::string_view name, const RegValue& value) {
  if (RegItem* existing = FindValueItem(section, name)) {
    existing->value = value;
    return;
  }
  auto where = section->items.begin();
  for (auto it = section->items.begin(); it != section->items.end(); ++it) {
    if (it->is_value) where = it + 1;
  }
  RegItem item;
  item.is_value = true;
  item.name = name;
  item.value = value;
  section->items.insert(where, std::move(item));
}

}  // namespace velloquin
