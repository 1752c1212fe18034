// Interfaces, TCP tables with owners and the adapter list from the IP helper API, in its own record layouts.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include "platform/windows/reader.h"

namespace net {

static_assert(sizeof(MIB_IF_ROW2) == sizeof(sysrec::IfRow));
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == sizeof(sysrec::TcpRow));
static_assert(sizeof(MIB_TCP6ROW_OWNER_PID) == sizeof(sysrec::Tcp6Row));
static_assert(sizeof(IP_ADAPTER_ADDRESSES_LH) == adapter_node_bytes);
static_assert(sizeof(IP_ADAPTER_UNICAST_ADDRESS_LH) == unicast_entry_bytes);

u64 luid_of(u32 type, u32 index) {
  return static_cast<u64>(type & 0xFFFF) << 48 | static_cast<u64>(index & 0xFFFFFF) << 24;
}

u32 interfaces(sysinfo::Reader* reader, u64* luids, u32 cap) {
  if (!reader) return 0;
  MIB_IF_TABLE2* table = nullptr;
  if (GetIfTable2(&table) != NO_ERROR || !table) return 0;
  u32 n = 0;
  // In index order: the system lists them so, but nothing promises it.
  for (ULONG i = 0; i < table->NumEntries && n < cap; ++i) {
    u64 luid = table->Table[i].InterfaceLuid.Value;
    u32 index = table->Table[i].InterfaceIndex, at = n++;
    luids[at] = luid;
    while (at > 0) {
      MIB_IF_ROW2 probe{};
      probe.InterfaceLuid.Value = luids[at - 1];
      ConvertInterfaceLuidToIndex(&probe.InterfaceLuid, &probe.InterfaceIndex);
      if (probe.InterfaceIndex <= index) break;
      luids[at] = luids[at - 1];
      luids[--at] = luid;
    }
  }
  FreeMibTable(table);
  return n;
}

bool interface_row(sysinfo::Reader* reader, sysrec::IfRow* row) {
  if (!reader) return false;
  MIB_IF_ROW2 r{};
  r.InterfaceLuid.Value = row->luid;
  if (GetIfEntry2(&r) != NO_ERROR) return false;
  __builtin_memcpy(row, &r, sizeof r);
  return true;
}

u32 tcp_table(sysinfo::Reader* reader, u32 family, mem::Slice buffer, u32* size) {
  if (!reader) return file_error;
  if (family != family_ipv4 && family != family_ipv6) return not_supported;
  DWORD length = static_cast<DWORD>(buffer.len > 0xFFFFFFFF ? 0xFFFFFFFF : buffer.len);
  DWORD r = GetExtendedTcpTable(buffer.ptr, &length, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
  *size = length;
  return r;
}

// The system's tables name each row's owner in the same call: nothing is deferred.
bool defer_owners(sysinfo::Reader*) { return false; }
u32 held_rows(sysinfo::Reader*, u32) { return 0; }
u32 time_wait_left(sysinfo::Reader*) { return 0; }

u32 adapter_addresses(sysinfo::Reader* reader, mem::Slice buffer, u32* size) {
  if (!reader) return file_error;
  ULONG length = static_cast<ULONG>(buffer.len > 0xFFFFFFFF ? 0xFFFFFFFF : buffer.len);
  ULONG r = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                 nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.ptr), &length);
  *size = length;
  return r == ERROR_BUFFER_OVERFLOW ? u32{insufficient_buffer} : static_cast<u32>(r);
}

}  // namespace net
