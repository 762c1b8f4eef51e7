// The settings file in the registry export format, as a document: a header
// line ("REGEDIT4"), then sections named by a key path, each holding typed
// values. Comment and blank lines are kept where they were, so that a rewrite
// after a change leaves an operator's notes in place.
//
// Parsing is strict: anything that a registry import would not take the same
// way is an error with a line number, and the store then leaves the file alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/settings_store.h"

namespace velloquin {

// One line (or, for a long hex list, several) of a section: a value, or a
// comment or blank line kept as it was written.
struct RegItem {
  bool is_value = false;
  std::string text;  // the verbatim line when !is_value
  std::string name;  // the value's name when is_value; "" is the default value
  RegValue value;
  bool operator==(const RegItem&) const = default;
};

struct RegSection {
  std::string path;  // "HKEY_LOCAL_MACHINE\SOFTWARE\..." as written
  std::vector<RegItem> items;
  bool operator==(const RegSection&) const = default;
};

inline constexpr char kRegHeader4[] = "REGEDIT4";
inline constexpr char kRegHeader5[] = "Windows Registry Editor Version 5.00";

struct RegDocument {
  std::string header = kRegHeader4;
  bool crlf = false;                  // line ends of the file as read
  std::vector<std::string> preamble;  // comment and blank lines before the first section
  std::vector<RegSection> sections;   // one per key path: repeated sections are merged
  bool operator==(const RegDocument&) const = default;
};

struct RegParseResult {
  bool ok = false;
  int line = 0;       // 1-based line of the problem when !ok
  std::string error;  // what is wrong, when !ok
  RegDocument document;
};

// Parses the whole file. An empty file (or one of blanks only) is an empty
// document; a UTF-8 byte order mark is skipped.
RegParseResult ParseRegFile(std::string_view text);

// Writes the document in the same format (the line ends it was read with).
std::string FormatRegFile(const RegDocument& document);

// Names compared the registry's way: without case.
bool RegNamesEqual(std::string_view a, std::string_view b);

// Splits a key path at its backslashes. False when the path is empty, has an
// empty part, or holds a character the file cannot carry in a key line.
bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts);

// True when a value name can be written into the file (no line breaks).
bool IsWritableValueName(std::string_view name);

// A key exists when its own section or a section below it exists.
bool RegKeyExists(const RegDocument& document, std::string_view path);

// The path with each part spelt as the file already spells it (the first
// section that has it), the rest as given.
std::string RegCanonicalPath(const RegDocument& document, std::string_view path);

// Names of the direct subkeys, in the order their sections first appear.
std::vector<std::string> RegSubKeyNames(const RegDocument& document, std::string_view path);

// The key's own section, or null.
const RegSection* RegFindSection(const RegDocument& document, std::string_view path);

// The key's own section, appended (after a blank line) when missing.
RegSection& RegEnsureSection(RegDocument* document, std::string_view path);

// Replaces the value of that name (keeping the stored spelling of the name) or
// adds it after the section's last value.
void RegSetValue(RegSection* section, std::string_view name, const RegValue& value);

}  // namespace velloquin
