// The settings file is edited by hand and copied between stations, so its
// parser takes any bytes. A file that parses must come back the same after a
// rewrite, and a value saved into it must read back byte for byte.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_file.h"

namespace {

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
  std::abort();
}

const velloquin::RegValue* FindValue(const velloquin::RegDocument& doc, std::string_view path,
                                     std::string_view name) {
  const velloquin::RegSection* section = velloquin::RegFindSection(doc, path);
  if (!section) return nullptr;
  for (const velloquin::RegItem& item : section->items) {
    if (item.is_value && velloquin::RegNamesEqual(item.name, name)) return &item.value;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velloquin;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  RegParseResult first = ParseRegFile(text);
  if (!first.ok) {
    if (first.line < 1 || first.error.empty()) Fail("error without a line or a text", "");
    return 0;
  }

  // Parse, write, parse again: the same document, and the same text.
  std::string written = FormatRegFile(first.document);
  RegParseResult second = ParseRegFile(written);
  if (!second.ok) Fail("rewritten file does not parse", second.error + "\n" + written);
  if (!(second.document == first.document)) Fail("rewrite changed the document", written);
  if (FormatRegFile(second.document) != written) Fail("second rewrite differs", written);

  // Every key seen in the file exists, and lists only keys that exist.
  for (const RegSection& section : first.document.sections) {
    if (!RegKeyExists(first.document, section.path)) Fail("section key missing", section.path);
    for (const std::string& sub : RegSubKeyNames(first.document, section.path)) {
      if (!RegKeyExists(first.document, section.path + "\\" + sub)) Fail("subkey missing", sub);
    }
  }

  // Save the input's own bytes as a value of each form into a new and an
  // existing key: each reads back exactly.
  RegDocument doc = first.document;
  std::vector<uint8_t> bytes(data, data + std::min<size_t>(size, 300));
  const std::string fresh = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Fuzz";
  const std::string existing = doc.sections.empty() ? fresh : doc.sections.back().path;
  const RegValue values[] = {{ValueType::kString, bytes},
                             {ValueType::kBinary, bytes},
                             {ValueType::kDword, bytes},
                             {static_cast<ValueType>(size), bytes}};
  for (size_t i = 0; i < std::size(values); ++i) {
    const std::string& path = i % 2 ? existing : fresh;
    RegSetValue(&RegEnsureSection(&doc, path), "v" + std::to_string(i), values[i]);
  }
  written = FormatRegFile(doc);
  RegParseResult third = ParseRegFile(written);
  if (!third.ok) Fail("file with saved values does not parse", third.error + "\n" + written);
  for (size_t i = 0; i < std::size(values); ++i) {
    const RegValue* value =
        FindValue(third.document, i % 2 ? existing : fresh, "V" + std::to_string(i));
    if (!value || !(*value == values[i])) Fail("saved value reads back different", written);
  }
  return 0;
}
