// Internals of the transport shared by its source files and its tests: the
// socket record, the listen entry, the resolver process entry points and
// the DNS message code of the mail-exchanger resolver.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Tcp.h"

namespace quil {

struct TcpListenEntry {
  int fd = -1;
  uint16_t port = 0;
  uint32_t address = 0;  // host order, 0: every address
  int32_t refs = 0;      // listening sockets that share the entry
  // Until this tick the entry is not polled (after running out of
  // descriptors, so that a full table does not spin the loop).
  int64_t pausedUntil = 0;
};

// The socket record.
struct TcpSocket {
  TcpKind kind = TcpKind::kTcp;
  TcpState state = TcpState::kIdle;
  int16_t error = 0;
  TcpListenEntry* listen = nullptr;  // while listening
  int fd = -1;
  bool eof = false;  // the peer has closed its sending side
  St host;           // the host named in the connect call
  uint16_t connectPort = 0;
  uint32_t localIp = 0, remoteIp = 0;
  bool localKnown = false;  // localIp and localPort have been read
  uint16_t localPort = 0, remotePort = 0;
  // Read buffer: capacity and the bytes held (a string of that capacity,
  // allocated on first use).
  int32_t readCap = kTcpDefaultBuffer;
  St readBuf;
  int32_t readHeld = 0;
  int32_t readOff = 0;  // consumed bytes at the front of readBuf
  // Write buffer.
  int32_t writeCap = kTcpDefaultBuffer;
  Strm writeBuf;
  bool noLinger = false;
  bool trace = false;
  void* owner = nullptr;
  unsigned interest = 0;  // as last given to the descriptor table
  bool watched = false;
};

// The bytes held in the read buffer (valid until the socket changes) and
// dropping the first n of them; the socket's interest follows.
std::string_view TCPReadView(const TcpSocket* s);
void TCPReadConsume(TcpSocket* s, int32_t n);

// The name of a socket in traces: "a.b.c.d:port" of the peer, or of the
// listen address.
std::string TcpSocketName(const TcpSocket* s);

// writev without SIGPIPE: a peer that has gone is an error, not a signal.
ssize_t TcpSendv(int fd, const iovec* iov, int count);

// The open-file limit rule: before a new descriptor (fd < 0) and after one
// (its number).
void TcpFileLimitCheck(int fd);

// ---------------------------------------------------------------------------
// Resolver processes.

// A forward look-up: the address (host order), 0 for not found, -1 for
// "try again later".
using TcpForwardFn = int32_t (*)(const std::string& name);
// A reverse look-up: 1 with *name, 0 not found, -1 try again.
using TcpReverseFn = int (*)(uint32_t address, std::string* name);
int32_t TcpSystemForward(const std::string& name);
int TcpSystemReverse(uint32_t address, std::string* name);

// The loops of the two resolver processes: read requests from in, write
// replies to out, until a request length of 0, the end of input, or 300
// errors in a row ("too many repeated errors.  Exit").  They return the
// process's exit status.
int TcpDnsServerMain(int in, int out, TcpForwardFn lookup);
int TcpReverseDnsServerMain(int in, int out, TcpReverseFn lookup);
// TcpHtInit with other look-up routines (tests).
void TcpHtInitWith(TcpForwardFn forward, TcpReverseFn reverse);
// Ticks of the name cache's refresh rules.
constexpr int64_t kTcpRefreshTicks = 12LL * 3600 * 1000;
constexpr int64_t kTcpRecheckTicks = 5LL * 60 * 1000;
constexpr int32_t kTcpDnsMaxName = 1023;
// Ends every mail-exchanger look-up and closes their sessions (before the
// session package terminates).
void TcpMxTerm();

// ---------------------------------------------------------------------------
// DNS messages (mail-exchanger resolver).
//
// Header, 12 bytes, big-endian:
//   OFFSET  SIZE  MEANING
//   0       2     id
//   2       2     flags (QR 0x8000, opcode, AA 0x400, TC 0x200, RD 0x100,
//                 RA 0x80, RCODE low 4 bits)
//   4       2     questions
//   6       2     answers
//   8       2     authority records
//   10      2     additional records
// then the questions (name, type 2, class 2) and the resource records
// (name, type 2, class 2, TTL 4, data length 2, data).  Names are labels
// (length byte, bytes) ending with 0; a length byte with the top two bits
// set is a pointer (14 bits) to an earlier name.

constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeNs = 2;
constexpr uint16_t kDnsTypeMx = 15;
constexpr uint16_t kDnsClassIn = 1;
constexpr size_t kDnsMaxMessage = 4096;

struct DnsRecord {
  std::string name;  // lower-case, without the final "."
  uint16_t type = 0;
  uint16_t klass = 0;
  int section = 0;   // 1 answer, 2 authority, 3 additional
  uint16_t preference = 0;  // MX
  std::string target;       // MX exchange, NS host
  uint32_t address = 0;     // A (host order)
};

struct DnsMessage {
  uint16_t id = 0;
  uint16_t flags = 0;
  std::vector<DnsRecord> records;
  bool truncated = false;  // TC set, or records cut off at the end
};

// A query: id, flags 0, one question (domain, type, class IN).  False when
// the domain cannot be written as labels (a label over 63 bytes, an empty
// label, more than 255 bytes).
bool DnsQueryBuild(uint16_t id, std::string_view domain, uint16_t type,
                   std::string* out);
// Parses a reply.  False for a message that is not one (too short, a name
// that loops or leaves the message); records cut off at the end of a
// truncated message are dropped and the rest kept.
bool DnsMessageParse(std::string_view bytes, DnsMessage* out);
// The exchanger addresses of an answer for domain: MX records sorted by
// preference (stable), the A records of their targets, at most 4, without
// duplicates.
std::vector<uint32_t> DnsMxAddresses(const DnsMessage& m);
// The name servers of a referral that have an address in the message:
// (name, address) pairs in the order of the NS records.
std::vector<std::pair<std::string, uint32_t>> DnsReferralServers(
    const DnsMessage& m);

}  // namespace quil
