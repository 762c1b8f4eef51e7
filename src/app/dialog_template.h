// The layout of the station's two dialogs, in dialog units: the main window
// with its global controls and 20 port rows, and the About box. Plain data;
// the dialogs build their widgets from it.
#pragma once

#include <array>
#include <cstdint>

#include "cycle/row_controls.h"

namespace velloquin {

struct DialogBox {
  int x, y, width, height;
};

// ---- The main window. ----
inline constexpr char kMainCaption[] = "Velloquin (brought to you by Orvenda Technologies Inc.)";
inline constexpr int kMainWidthUnits = 501;
inline constexpr int kMainHeightUnits = 305;  // with all 20 rows

enum class ControlKind { kEdit, kButton, kCheckBox, kText };

struct GlobalControl {
  int32_t id;
  ControlKind kind;
  const char* text;
  DialogBox box;
};

inline constexpr std::array<GlobalControl, 7> kGlobalControls = {{
    {kFirmwarePathControlId, ControlKind::kEdit, "", {8, 7, 233, 12}},
    {kBrowseControlId, ControlKind::kButton, "Browse...", {246, 7, 57, 11}},
    {kPreProgramVerifyControlId, ControlKind::kCheckBox, "Do Pre-Program Verify", {309, 7, 88, 12}},
    {kResetBaudRateControlId, ControlKind::kCheckBox, "Reset Baud Rate", {309, 18, 74, 12}},
    {kStartControlId, ControlKind::kButton, "Start", {397, 7, 44, 20}},
    {kHelpControlId, ControlKind::kButton, "Help", {444, 7, 44, 20}},
    {kVerifyFileControlId, ControlKind::kText, "", {7, 23, 290, 10}},
}};

// Row r (0 to 19): its port box and status text.
inline constexpr int kRowTopUnits = 38;
inline constexpr int kRowPitchUnits = 13;
inline constexpr DialogBox kPortBoxUnits = {7, 0, 112, 13};  // y relative to the row
inline constexpr DialogBox kStatusTextUnits = {121, 0, 372, 13};
// The height of each row's drop-down list.
inline constexpr std::array<int, 20> kRowDropDownUnits = {
    147, 144, 139, 149, 136, 143, 164, 216, 221, 201, 226, 196, 218, 183, 229, 172, 193, 195, 193, 144};
inline constexpr int RowTopUnits(int row) { return kRowTopUnits + kRowPitchUnits * row; }
// The height of the window's client area with `rows` rows shown: the last
// row's bottom plus the same margin the full template leaves under row 20.
inline constexpr int ClientHeightUnits(int rows) {
  return kMainHeightUnits - kRowPitchUnits * (20 - rows);
}

// Beyond the template: a column to the right of the status texts for the
// per-row counts of printers done and failed.
inline constexpr DialogBox kCountsUnits = {497, 0, 48, 13};
inline constexpr int kWindowWidthUnits = 549;

// The keyboard order: the rows' boxes and texts (1 to 15 in row order, then
// the boxes of 16 to 20, then their texts), then the global controls. Static
// texts take no focus; they are listed so the order reads as designed.
constexpr std::array<int32_t, 47> TabOrder() {
  std::array<int32_t, 47> order{};
  size_t n = 0;
  for (int row = 0; row < 15; ++row) {
    order[n++] = RowPortControlIds[row];
    order[n++] = RowStatusControlIds[row];
  }
  for (int row = 15; row < 20; ++row) order[n++] = RowPortControlIds[row];
  for (int row = 15; row < 20; ++row) order[n++] = RowStatusControlIds[row];
  for (int32_t id : {kFirmwarePathControlId, kBrowseControlId, kHelpControlId, kVerifyFileControlId,
                     kPreProgramVerifyControlId, kResetBaudRateControlId, kStartControlId}) {
    order[n++] = id;
  }
  return order;
}

// ---- The About box. ----
inline constexpr char kAboutCaption[] = "About Zambrix";
inline constexpr char kAboutVersionText[] = "Velloquin Version 1.20";
inline constexpr char kAboutNoticeText[] = "(C) Orvenda Technologies Inc.";
inline constexpr char kAboutMenuText[] = "&About Velloquin...";
inline constexpr int kAboutWidthUnits = 235;
inline constexpr int kAboutHeightUnits = 55;
inline constexpr DialogBox kAboutIconUnits = {11, 17, 20, 20};
inline constexpr DialogBox kAboutVersionUnits = {40, 10, 119, 8};
inline constexpr DialogBox kAboutNoticeUnits = {41, 31, 163, 8};
inline constexpr DialogBox kAboutOkUnits = {178, 7, 50, 14};

}  // namespace velloquin
