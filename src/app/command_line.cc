#include "app/command_line.h"

#include <cctype>
#include <strings.h>

namespace velloquin {

bool ParsePortsParameter(const std::string& argument, int* rows) {
  std::string text = argument;
  if (!text.empty() && (text[0] == '-' || text[0] == '/')) text.erase(0, 1);
  if (text.size() < 6 || strncasecmp(text.c_str(), "ports:", 6) != 0) return false;
  size_t i = 6;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    // Saturate: anything this large is clamped to 20 below anyway.
    if (value < 1000) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > kMaxRows) value = kMaxRows;
  if (value < kMinRows) value = kMinRows;
  *rows = static_cast<int>(value);
  return true;
}

int CommandLineRows(const std::vector<std::string>& arguments) {
  int rows = 0;
  for (const std::string& argument : arguments) ParsePortsParameter(argument, &rows);
  return rows;
}

}  // namespace velloquin
