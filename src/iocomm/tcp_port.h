// Network printers: how a port name becomes an address, how an address text
// is read, and the list of addresses a station has connected to.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network.h"
#include "platform/settings_store.h"

namespace velloquin {

// The standard TCP/IP printer ports: one subkey per port, named after it,
// with "IPAddress" (text) and "PortNumber" (4-byte number).
inline constexpr char kTcpPortsKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\"
    "Standard TCP/IP Port\\Ports";

// The "TCP" value of the channel's settings: a field of this many bytes
// holding " address:port" entries, filled up with zero bytes.
inline constexpr size_t kTcpListSize = 1000;

// The address text for a port name: a name that begins with a digit is an
// address already; any other name is looked up among the standard TCP/IP
// printer ports, the first port whose whole name begins the given name
// giving "IPAddress:PortNumber". Empty when there is no such port (or no
// store).
std::string ResolveTcpPortName(SettingsStore* store, const std::string& name);

// A dotted IPv4 address, as inet_pton reads one: four decimal numbers of
// 0..255 without leading zeros, nothing else. Host names are not addresses.
bool ParseIpv4(std::string_view text, uint32_t* address);

// "a.b.c.d:port", split at the last colon; the port is 1..65535 in decimal.
bool ParseTcpAddress(std::string_view text, Ipv4Endpoint* endpoint);

// Adds " address" to the list (the stored "TCP" value, of any size: it is
// read as text within its first kTcpListSize bytes) when the address is not
// an entry of it yet and the longer list and its zero byte still fit; the
// list then becomes the whole zero-filled field. Returns whether it did.
bool AddToTcpList(std::vector<uint8_t>* list, const std::string& address);

}  // namespace velloquin
