// Fuzz harness for the DNS message parser of the mail-exchanger resolver:
// any datagram parses or is refused without reading outside it, and the
// exchanger and referral lists drawn from it stay within their bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "TcpInt.h"

using namespace quil;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);  // exact bounds for ASan
  DnsMessage m;
  if (!DnsMessageParse(bytes, &m)) return 0;
  if (DnsMxAddresses(m).size() > 4) abort();
  for (auto& [name, address] : DnsReferralServers(m))
    if (address == 0 || name.size() > 1100) abort();
  std::string q;
  if (!m.records.empty() && DnsQueryBuild(m.id, m.records[0].name, kDnsTypeMx, &q)) {
    DnsMessage back;
    if (!DnsMessageParse(q, &back) || back.id != m.id) abort();
  }
  return 0;
}
