// The control ids of the station's rows: the port box and the status text of
// each of the 20 rows. The ids are irregular from row 16 on. Workers name
// their row's controls by these ids; both front ends map them back to rows.
#pragma once

#include <array>
#include <cstdint>

namespace velloquin {

inline constexpr std::array<int32_t, 20> RowPortControlIds = {
    1002, 1004, 1006, 1008, 1010, 1012, 1014, 1016, 1018, 1020,
    1022, 1024, 1026, 1028, 1030, 1032, 1033, 1034, 1035, 1036};
inline constexpr std::array<int32_t, 20> RowStatusControlIds = {
    1003, 1005, 1007, 1009, 1011, 1013, 1015, 1017, 1019, 1021,
    1023, 1025, 1027, 1029, 1031, 1037, 1038, 1039, 1040, 1041};

inline constexpr int32_t kFirmwarePathControlId = 1042;
inline constexpr int32_t kBrowseControlId = 1043;
inline constexpr int32_t kHelpControlId = 1046;
inline constexpr int32_t kVerifyFileControlId = 1047;
inline constexpr int32_t kPreProgramVerifyControlId = 1048;
inline constexpr int32_t kResetBaudRateControlId = 1049;
inline constexpr int32_t kStartControlId = 1050;

// The row (0 to 19) of a port box or status text id, or -1.
constexpr int RowOfPortControl(int32_t id) {
  for (int i = 0; i < 20; ++i) {
    if (RowPortControlIds[i] == id) return i;
  }
  return -1;
}
constexpr int RowOfStatusControl(int32_t id) {
  for (int i = 0; i < 20; ++i) {
    if (RowStatusControlIds[i] == id) return i;
  }
  return -1;
}

}  // namespace velloquin
