// The mail-exchanger resolver: DNS queries of type MX over UDP, answers
// with name compression, preference order, referrals, resends and the
// time limit.
#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Ht.h"
#include "Ma.h"
#include "Qu.h"
#include "Sess.h"
#include "TcpInt.h"

namespace quil {

// ---------------------------------------------------------------------------
// Messages.

namespace {

void Put16(std::string* out, uint16_t v) {
  out->push_back(char(v >> 8));
  out->push_back(char(v & 255));
}

uint16_t Get16(std::string_view b, size_t at) {
  return uint16_t((uint8_t(b[at]) << 8) | uint8_t(b[at + 1]));
}

uint32_t Get32(std::string_view b, size_t at) {
  return (uint32_t(Get16(b, at)) << 16) | Get16(b, at + 2);
}

enum class NameResult { kOk, kCut, kBad };

// Reads the name at *pos (advancing past it), following compression
// pointers.  kCut when the message ends inside it, kBad for a loop or a
// pointer that leaves the message.
NameResult ReadName(std::string_view b, size_t* pos, std::string* name) {
  name->clear();
  size_t at = *pos;
  bool jumped = false;
  int jumps = 0;
  for (;;) {
    if (at >= b.size()) return jumped ? NameResult::kBad : NameResult::kCut;
    uint8_t len = uint8_t(b[at]);
    if ((len & 0xC0) == 0xC0) {
      if (at + 1 >= b.size()) return jumped ? NameResult::kBad : NameResult::kCut;
      size_t target = size_t(Get16(b, at) & 0x3FFF);
      if (!jumped) *pos = at + 2;
      // Pointers lead backwards; a bounded number of them stops loops.
      if (target >= at || target >= b.size() || ++jumps > 64) return NameResult::kBad;
      at = target;
      jumped = true;
      continue;
    }
    if ((len & 0xC0) != 0) return NameResult::kBad;
    if (len == 0) {
      if (!jumped) *pos = at + 1;
      return NameResult::kOk;
    }
    if (at + 1 + len > b.size()) return jumped ? NameResult::kBad : NameResult::kCut;
    if (!name->empty()) name->push_back('.');
    for (size_t i = 0; i < len; ++i) name->push_back(char(StASCIILower[uint8_t(b[at + 1 + i])]));
    if (name->size() > 1024) return NameResult::kBad;
    at += 1 + len;
  }
}

std::string Lower(std::string_view v) {
  std::string s(v);
  for (char& c : s) c = char(StASCIILower[uint8_t(c)]);
  while (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

}  // namespace

bool DnsQueryBuild(uint16_t id, std::string_view domain, uint16_t type, std::string* out) {
  out->clear();
  Put16(out, id);
  Put16(out, 0);  // flags
  Put16(out, 1);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, 0);
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  if (domain.empty() || domain.size() > 253) return false;
  size_t start = 0;
  while (start <= domain.size()) {
    size_t dot = domain.find('.', start);
    if (dot == std::string_view::npos) dot = domain.size();
    size_t len = dot - start;
    if (len == 0 || len > 63) return false;
    out->push_back(char(len));
    out->append(domain.data() + start, len);
    start = dot + 1;
  }
  out->push_back(0);
  Put16(out, type);
  Put16(out, kDnsClassIn);
  return true;
}

bool DnsMessageParse(std::string_view b, DnsMessage* out) {
  *out = DnsMessage();
  if (b.size() < 12) return false;
  out->id = Get16(b, 0);
  out->flags = Get16(b, 2);
  out->truncated = (out->flags & 0x200) != 0;
  uint16_t counts[4] = {Get16(b, 4), Get16(b, 6), Get16(b, 8), Get16(b, 10)};
  size_t pos = 12;
  std::string name;
  for (uint16_t i = 0; i < counts[0]; ++i) {
    NameResult r = ReadName(b, &pos, &name);
    if (r == NameResult::kBad) return false;
    if (r == NameResult::kCut || pos + 4 > b.size()) {
      out->truncated = true;
      return true;
    }
    pos += 4;
  }
  for (int section = 1; section <= 3; ++section) {
    for (uint16_t i = 0; i < counts[section]; ++i) {
      DnsRecord rec;
      rec.section = section;
      NameResult r = ReadName(b, &pos, &rec.name);
      if (r == NameResult::kBad) return false;
      if (r == NameResult::kCut || pos + 10 > b.size()) {
        out->truncated = true;
        return true;
      }
      rec.type = Get16(b, pos);
      rec.klass = Get16(b, pos + 2);
      uint16_t rdlen = Get16(b, pos + 8);
      pos += 10;
      if (pos + rdlen > b.size()) {
        out->truncated = true;
        return true;
      }
      size_t data = pos;
      pos += rdlen;
      std::string_view rdata = b.substr(0, pos);  // names may point before
      if (rec.type == kDnsTypeA && rdlen == 4) {
        rec.address = Get32(b, data);
      } else if (rec.type == kDnsTypeMx && rdlen >= 3) {
        rec.preference = Get16(b, data);
        size_t at = data + 2;
        if (ReadName(rdata, &at, &rec.target) != NameResult::kOk || at > pos) return false;
      } else if (rec.type == kDnsTypeNs && rdlen >= 1) {
        size_t at = data;
        if (ReadName(rdata, &at, &rec.target) != NameResult::kOk || at > pos) return false;
      }
      out->records.push_back(std::move(rec));
    }
  }
  return true;
}

std::vector<uint32_t> DnsMxAddresses(const DnsMessage& m) {
  std::vector<const DnsRecord*> mx;
  for (const DnsRecord& r : m.records)
    if (r.section == 1 && r.type == kDnsTypeMx && r.klass == kDnsClassIn) mx.push_back(&r);
  std::stable_sort(mx.begin(), mx.end(), [](const DnsRecord* a, const DnsRecord* b) {
    return a->preference < b->preference;
  });
  std::vector<uint32_t> out;
  for (const DnsRecord* x : mx) {
    for (const DnsRecord& a : m.records) {
      if (out.size() >= 4) return out;
      if (a.type != kDnsTypeA || a.klass != kDnsClassIn || a.name != x->target || a.address == 0)
        continue;
      if (std::find(out.begin(), out.end(), a.address) == out.end()) out.push_back(a.address);
    }
  }
  return out;
}

std::vector<std::pair<std::string, uint32_t>> DnsReferralServers(const DnsMessage& m) {
  std::vector<std::pair<std::string, uint32_t>> out;
  for (const DnsRecord& ns : m.records) {
    if (ns.type != kDnsTypeNs || ns.klass != kDnsClassIn) continue;
    for (const DnsRecord& a : m.records) {
      if (a.type == kDnsTypeA && a.klass == kDnsClassIn && a.name == ns.target && a.address) {
        out.emplace_back(ns.target, a.address);
        break;
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// The resolver.

namespace {

constexpr int32_t kMxResendMs = 10000;
constexpr int32_t kMxLimitMs = 60000;
constexpr int kMxMaxReferrals = 10;

struct MxEntry {
  uint64_t serial = 0;
  bool done = false;
  bool inProgress = false;
  int64_t lastLookedUp = 0;
  int64_t lastUsed = 0;
  std::string domain;
  int count = 0;
  uint32_t addresses[4] = {};
  uint16_t queryId = 0;
  Sess* referral = nullptr;  // UDP session of the current referral
  std::vector<uint32_t> tried;
  int32_t lookupTimer = 0;
  int32_t resendTimer = 0;
  int referrals = 0;
  std::string lastQuery;
};

struct MxState {
  std::unordered_map<std::string, std::unique_ptr<MxEntry>> byName;  // MxNameHa
  std::vector<MxEntry*> waiting;                                      // MxWaitLi
  uint32_t server = 0;
  uint16_t port = 53;
  Sess* session = nullptr;  // to the configured name server
  uint16_t nextId = 0;
  uint64_t nextSerial = 1;
};
MxState mx;

MxEntry* BySerial(uint64_t serial) {
  for (MxEntry* e : mx.waiting)
    if (e->serial == serial) return e;
  return nullptr;
}

void CloseSession(Sess*& s) {
  if (s) {
    SessChannelSource(s, kSessCmdChannel)->onData = nullptr;
    SessDisconnect(s);
  }
  s = nullptr;
}

void Complete(MxEntry* e, const std::vector<uint32_t>& found) {
  e->done = true;
  e->inProgress = false;
  e->count = int(std::min<size_t>(found.size(), 4));
  for (int i = 0; i < 4; ++i) e->addresses[i] = i < e->count ? found[size_t(i)] : 0;
  if (e->lookupTimer) QuRamKill(e->lookupTimer);
  if (e->resendTimer) QuRamKill(e->resendTimer);
  e->lookupTimer = e->resendTimer = 0;
  CloseSession(e->referral);
  mx.waiting.erase(std::remove(mx.waiting.begin(), mx.waiting.end(), e), mx.waiting.end());
  if (HtTrace)
    HtWriteAll(2, "MX " + e->domain + ": " + std::to_string(e->count) + " exchanger(s)\n");
}

void OnDatagrams(Sess* s);

Sess* OpenUdp(uint32_t address) {
  Sess* s = nullptr;
  int16_t error = 0;
  if (!SessConnectUDP(kSessDns, address, mx.port, &s, &error)) return nullptr;
  Strm* in = SessChannelSource(s, kSessCmdChannel);
  in->onData = [s] { OnDatagrams(s); };
  return s;
}

void Send(MxEntry* e) {
  Sess* s = e->referral ? e->referral : mx.session;
  if (!s) return;
  int32_t len = int32_t(e->lastQuery.size());
  Strm* out = SessChannelSink(s, kSessCmdChannel);
  out->Write(&len, 4);
  out->WriteView(e->lastQuery);
}

void Resend(intptr_t serial, int32_t) {
  MxEntry* e = BySerial(uint64_t(serial));
  if (!e) return;
  e->resendTimer = QuRamAdd(kMxResendMs, Resend, serial);
  Send(e);
}

void GiveUp(intptr_t serial, int32_t) {
  MxEntry* e = BySerial(uint64_t(serial));
  if (!e) return;
  e->lookupTimer = 0;
  Complete(e, {});
}

void Ask(MxEntry* e) {
  e->queryId = ++mx.nextId;
  if (!DnsQueryBuild(e->queryId, e->domain, kDnsTypeMx, &e->lastQuery)) {
    Complete(e, {});
    return;
  }
  if (e->resendTimer) QuRamKill(e->resendTimer);
  e->resendTimer = QuRamAdd(kMxResendMs, Resend, intptr_t(e->serial));
  Send(e);
}

void Start(MxEntry* e) {
  e->inProgress = true;
  e->lastLookedUp = SysTime();
  e->referrals = 0;
  e->tried.clear();
  if (!mx.session) mx.session = OpenUdp(mx.server);
  if (!mx.session) {
    e->inProgress = false;
    e->done = true;
    e->count = 0;
    return;
  }
  mx.waiting.push_back(e);
  e->lookupTimer = QuRamAdd(kMxLimitMs, GiveUp, intptr_t(e->serial));
  Ask(e);
}

void Answer(MxEntry* e, const DnsMessage& m) {
  std::vector<uint32_t> found = DnsMxAddresses(m);
  bool nameError = (m.flags & 0xF) == 3;
  if (!found.empty() || nameError) {
    Complete(e, found);
    return;
  }
  // A referral: the untried name server with an address and the highest
  // address value.
  uint32_t next = 0;
  for (auto& [name, address] : DnsReferralServers(m)) {
    if (std::find(e->tried.begin(), e->tried.end(), address) != e->tried.end()) continue;
    next = std::max(next, address);
  }
  if (next == 0 || e->referrals >= kMxMaxReferrals) {
    Complete(e, {});
    return;
  }
  ++e->referrals;
  e->tried.push_back(next);
  CloseSession(e->referral);
  e->referral = OpenUdp(next);
  if (!e->referral) {
    Complete(e, {});
    return;
  }
  Ask(e);
}

void OnDatagrams(Sess* s) {
  Strm* in = SessChannelSource(s, kSessCmdChannel);
  while (in->Size() >= 4) {
    int32_t len;
    memcpy(&len, in->Peek(4).data(), 4);
    if (len < 0 || in->Size() < 4 + len) break;
    std::string datagram(in->Peek(size_t(4 + len)).substr(4));
    in->Consume(size_t(4 + len));
    DnsMessage m;
    if (!DnsMessageParse(datagram, &m) || (m.flags & 0x8000) == 0) continue;  // not an answer
    for (MxEntry* e : mx.waiting) {
      Sess* expected = e->referral ? e->referral : mx.session;
      if (e->queryId == m.id && expected == s) {
        Answer(e, m);
        break;
      }
    }
    // Answer may have closed this session.
    if (s != mx.session && std::none_of(mx.waiting.begin(), mx.waiting.end(),
                                        [s](MxEntry* e) { return e->referral == s; }))
      return;
  }
}

}  // namespace

bool TcpMxLookupByName(int index, uint32_t* address, const St& domain) {
  *address = 0;
  if (index < 0 || index > 3 || domain.Length() == 0 || mx.server == 0) return true;
  std::string key = Lower(domain.View());
  if (key.empty()) return true;
  int64_t now = SysTime();
  auto it = mx.byName.find(key);
  if (it == mx.byName.end()) {
    auto e = std::make_unique<MxEntry>();
    e->serial = mx.nextSerial++;
    e->domain = key;
    e->lastUsed = now;
    MxEntry* raw = e.get();
    mx.byName.emplace(key, std::move(e));
    Start(raw);
    if (!raw->done) return false;
    *address = 0;
    return true;
  }
  MxEntry* e = it->second.get();
  e->lastUsed = now;
  if (!e->done) {
    if (!e->inProgress) Start(e);
    return false;
  }
  *address = index < e->count ? e->addresses[index] : 0;
  if (!e->inProgress) {
    int64_t age = now - e->lastLookedUp;
    if ((e->count == 0 && age > kTcpRecheckTicks) || (e->count > 0 && age > kTcpRefreshTicks))
      Start(e);
  }
  return true;
}

void TcpMxTerm() {
  for (MxEntry* e : std::vector<MxEntry*>(mx.waiting)) Complete(e, {});
  CloseSession(mx.session);
  mx.byName.clear();
  mx.waiting.clear();
}

void TcpMxSetDns(const St& address) {
  uint32_t server = 0;
  uint16_t port = 53;
  std::string_view text = address.View();
  size_t colon = text.find(':');
  if (colon != std::string_view::npos) {
    int32_t p = 0;
    if (StIntStXfm(StFromView(text.substr(colon + 1)), &p) && p > 0 && p < 65536)
      port = uint16_t(p);
    text = text.substr(0, colon);
  }
  if (!text.empty() && !TcpStToIp(text, &server)) server = 0;
  if (server == mx.server && port == mx.port) return;
  TcpMxTerm();
  mx.server = server;
  mx.port = port;
}

}  // namespace quil
