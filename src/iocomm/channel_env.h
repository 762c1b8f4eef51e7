// What a port channel is handed from outside: the clock, the devices, the
// settings store, the log and the process-wide reconnect counters. The station
// builds one environment and hands it to every channel it creates; tests build
// their own with fakes.
#pragma once

#include <atomic>

#include "platform/clock.h"
#include "platform/log_sink.h"
#include "platform/network.h"
#include "platform/printer_device.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"

namespace velloquin {

// One reconnect back-off pair: a failure counter and the next delay.
struct BackoffPair {
  std::atomic<int> failures{0};
  std::atomic<int> retry_delay_ms{200};
  void Reset() {
    failures = 0;
    retry_delay_ms = 200;
  }
};

// The three pairs that all channels of a station share, so that a failure on
// one port counts toward the threshold of all ports.
struct ReconnectBackoff {
  BackoffPair output;  // OutputFailures, OutputRetryDelay
  BackoffPair input;   // InputFailures, InputRetryDelay
  BackoffPair ready;   // ReadyFailures, ReadyRetryDelay
  static ReconnectBackoff& ProcessWide();
};

// The operating system family and major version, for the parallel port rules.
// The family decides how a parallel port's state is read (its status byte on
// the NT family, its error word on the 9x family); major version 5 reports a
// few status bytes of its own.
struct OsVersion {
  bool nt_family = true;  // false: the 9x family
  int major = 10;
};

struct ChannelEnv {
  Clock* clock = nullptr;            // required
  SerialOpener* serial = nullptr;    // null: serial ports cannot be opened
  PrinterOpener* printers = nullptr;  // null: USB and parallel printers cannot be opened
  Network* network = nullptr;        // null: network printers cannot be reached
  SettingsStore* settings = nullptr; // null: every settings read fails, defaults stay
  LogSink* log = nullptr;            // null: failures are not logged
  ReconnectBackoff* backoff = nullptr;  // null: the process-wide pairs
  OsVersion os_version;
};

}  // namespace velloquin
