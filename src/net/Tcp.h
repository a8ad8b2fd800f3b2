// Tcp: the transport under every network service -- non-blocking TCP and
// UDP sockets with bounded buffers, shared listen entries, the open-file
// limit rule, the closing of descriptors off the event loop; the name cache
// with its two resolver processes; and the mail-exchanger resolver that
// speaks DNS over UDP itself.  (UDP sockets are socket records of the same
// list; UDPInitRtns is their package entry.)
//
// Socket states and the poll hook (TcpSocketPoll runs before every wait to
// set each socket's interest in the event loop's descriptor table; the
// table calls back when a descriptor is ready):
//
//   STATE            INTEREST                        WHEN READY
//   1 lookup         (the resolver pipe is watched)  name answered: connect (2)
//   2 connecting     write                           writable: open (4),
//                                                    trace "connected %s"
//   3 listening      the listen entry's descriptor   the sharing sockets
//                    (once for all sockets sharing)  accept one connection
//                                                    each while any wait:
//                                                    open (4)
//   4 open           read while the read buffer has  read / write
//                    room and the peer has not
//                    closed; write while output waits
//   0 idle, 5 closed, 6 failed: nothing
//
// Errors are codes on the socket, never exceptions: 1552 accept failed, 1553
// end of file (peer closed and every byte read), 1557 unrecoverable read or
// write error.  Set-up failures (socket, bind, listen) are reported through
// Wf_err_exit with code 590.
//
// Listen entries: one per (port, address), shared by every listening socket
// on it; the descriptor is closed once no socket uses the entry any more
// (checked at the start of the next pass, so that a service that replaces
// its listener in the same pass keeps the queue of waiting connections).
//
// Open-file limit: before each accept() and socket(), when the highest
// descriptor the soft limit allows is in use, the soft limit goes up by 64
// (at most to the hard limit); after a new descriptor, the same when it is
// within 10 of the soft limit.  Changes are written to the error log.
//
// Closing: with threads enabled, descriptors are closed by one long-lived
// close thread (TcpCloseThread) fed through a queue -- the loop never waits
// on a close, and no thread is created per connection; without threads they
// are closed in line.
//
// Name look-ups: TCPLookupByName/TCPLookupByIp answer from the cache or
// start a look-up in one of the two resolver processes ("quil-DNS",
// "quil-ReverseDNS") and return false; callers ask again on a later pass.
// Answers are kept 12 hours, "not found" 5 minutes (reverse answers of
// either kind 5 minutes).  Resolver pipe protocol, all integers 4 bytes in
// host order:
//
//   DIRECTION          LAYOUT
//   forward request    n (1..1023), n bytes of host name; n = 0 ends
//   forward reply      IPv4 address (host order); 0 not found; -1 try again
//   reverse request    IPv4 address (host order)
//   reverse reply      n, n bytes of name; n = 0 not found; -1 try again
//
// Mail exchangers: TcpMxLookupByName sends standard DNS queries (type MX)
// over UDP to the name server set with TcpMxSetDns, resends every 10 s,
// gives up after 60 s, follows up to 10 referrals.
//
// Thread use: everything under the run lock, except the close thread, which
// touches nothing but the descriptors handed to it.
#pragma once

#include <cstdint>
#include <string>

#include "St.h"
#include "Strm.h"

namespace quil {

constexpr int16_t kTcpErrAccept = 1552;
constexpr int16_t kTcpErrEof = 1553;
constexpr int16_t kTcpErrIo = 1557;

constexpr int32_t kTcpDefaultBuffer = 4096;

enum class TcpState : uint8_t {
  kIdle = 0,
  kLookup = 1,
  kConnecting = 2,
  kListening = 3,
  kOpen = 4,
  kClosed = 5,
  kFailed = 6,
};

enum class TcpKind : uint8_t { kTcp = 1, kUdp = 2 };

struct TcpSocket;  // the socket record (TcpInt.h)

extern bool TcpDebugFlag;

// Package protocol.  TCPInitRtns 1 empties the lists and the name cache,
// 2 checks that no socket is left, 5/6 start and end the close thread.
uint16_t TCPInitRtns(int selector, int32_t value);
uint16_t UDPInitRtns(int selector, int32_t value);

// ---------------------------------------------------------------------------
// Sockets.

// A new idle socket record with buffers of the given capacities (0 or less:
// the default of 4096).  owner is the session it belongs to.
TcpSocket* TCPCreateSession(void* owner, int32_t readSize, int32_t writeSize,
                            TcpKind kind = TcpKind::kTcp);
// Starts listening on port and address (0: every address), sharing the
// listen entry of that pair when one exists.  False (code 590 reported, or
// the error in *error) when the socket cannot be bound.
bool TCPListenSocketIp(TcpSocket* s, uint16_t port, uint32_t address,
                       int16_t* error);
// Connects to host (a name, looked up first, or a dotted address) and port.
bool TCPConnectSocket(TcpSocket* s, const St& host, uint16_t port,
                      int16_t* error);
// UDP: a socket connected to address and port.  Datagrams travel through
// the buffers preceded by their length (4 bytes, host order).
bool UDPConnectSocket(TcpSocket* s, uint32_t address, uint16_t port,
                      int16_t* error);

// Bytes waiting in the read buffer and the socket's status (0, or 1553 when
// the peer has closed and nothing is left, or the socket's error).
void TCPReadStatus(const TcpSocket* s, int32_t* count, int16_t* status);
// Takes n bytes from the front of the read buffer.  REQUIRES: n <= count
// ("TCPReadBlock--Count").
void TCPReadBlock(TcpSocket* s, void* buffer, int32_t n);
// Room in the write buffer, and the status.
void TCPWriteStatus(const TcpSocket* s, int32_t* room, int16_t* status);
// Appends n bytes to the write buffer.  REQUIRES: n <= room
// ("TCPWriteBlock--Count").
void TCPWriteBlock(TcpSocket* s, const void* buffer, int32_t n);
// Moves queued output from a stream into the write buffer (whole segments,
// without copying) while it has room; returns the bytes moved.
int64_t TCPWriteStrm(TcpSocket* s, Strm& from);
// Tries to send what the write buffer holds now (never blocks).
void TCPFlush(TcpSocket* s);
// Bytes waiting to be sent.
int64_t TCPWritePending(const TcpSocket* s);
// The transport is open (state 4) without an error.
bool TCPIsConnected(const TcpSocket* s);
// The peer has closed its sending side.
bool TCPRcvOrderlyDisconnect(const TcpSocket* s);
TcpState TCPGetState(const TcpSocket* s);
int16_t TCPGetError(const TcpSocket* s);
bool TCPIsListening(const TcpSocket* s);
TcpKind TCPGetKind(const TcpSocket* s);
// Addresses (host order) and ports of an open socket; 0 before.
uint32_t TCPLocalIp(const TcpSocket* s);
uint32_t TCPRemoteIp(const TcpSocket* s);
uint16_t TCPLocalPort(const TcpSocket* s);
uint16_t TCPRemotePort(const TcpSocket* s);
int TCPDescriptor(const TcpSocket* s);
// Shuts the sending side (after the last byte queued has been sent).
void TCPShutdownWrite(TcpSocket* s);
// Switch lingering off before the descriptor is closed.
void TCPSetNoLinger(TcpSocket* s, bool on);
// Leaves the listen entry, hands the descriptor to the close thread (or
// closes it), releases the record.
void TCPDestroySession(TcpSocket* s);

// The listen() backlog of listen entries created from now on (the
// "connection limit" of the transport; the HTTP service sets it to
// webMaxListens), at least 511.
void TCPSetListenBacklog(int32_t backlog);
// The poll hook: with setUp, sets every socket's interest for the next
// wait and closes listen entries nobody uses; dispatch happens through the
// descriptor table.
void TcpSocketPoll(bool setUp);
// -traceSession: sockets created from now on write their events (accept,
// connect, errors, close) to standard error.
void TcpSetTraceSessions(bool on);
// Number of socket records.
int32_t TcpSocketCount();
// Closes fd off the event loop (the close thread) or in line.
void TcpCloseFd(int fd, bool noLinger);

// "a.b.c.d" for a host-order address.
St TcpIpToSt(uint32_t address);
// Parses a dotted address; false when text is not one.
bool TcpStToIp(std::string_view text, uint32_t* address);

// ---------------------------------------------------------------------------
// Name look-ups.

// Starts the two resolver processes (before threads exist): forks, pipes
// ("could not open pipes for coprocess", "could not fork coprocess").
// They run in a process group of their own.
void TcpHtInit();
// Asks each resolver to end (request length 0), closes the pipes ("could
// not close DNS pipes") and, with signalGroup, sends SIGTERM to the
// resolvers' process group.  Asserts that no request is outstanding
// ("TcpDnsTerm -- outstanding request not cleared").
void TcpHtTerm(bool signalGroup);
// True while the resolver processes run.
bool TcpDnsRunning();

// True with *address (0: not found) when the cache holds an answer; false
// while a look-up is in progress (started when needed).  Names longer than
// 255 or holding characters other than letters, digits, "-" and "." give
// false without a look-up.
bool TCPLookupByName(uint32_t* address, const St& name);
// True with *name (nil: none) when answered; address 0 gives true and nil.
bool TCPLookupByIp(uint32_t address, St* name);
// Drops the whole name cache.
void TCPDnsCacheFlush();
// The poll hooks of the resolver pipes (the pipes are watched while a
// request is outstanding; these report how many requests are queued).
int32_t TcpDnsPoll();
int32_t TcpReverseDnsPoll();

// Mail exchangers: the index-th (0..3) exchanger address of domain.  True
// when answered (address 0: none); false while the look-up runs.
bool TcpMxLookupByName(int index, uint32_t* address, const St& domain);
// The name server for mail-exchanger look-ups: a dotted address,
// optionally ":port" (default 53; referrals use the same port).  Nil or
// empty: none, and look-ups complete at once with no address.
void TcpMxSetDns(const St& address);

}  // namespace quil
