// Sess: sessions, the network objects of every service.  A session owns one
// socket of the transport, has a type (the service it belongs to), one
// channel (channel 1, the command channel) with a source stream (bytes
// received) and a sink stream (bytes to send), a status code and a
// request-close callback.
//
// The event loop drives sessions through two hooks: SessPollWrite before
// each wait (queued output goes out, pending disconnects happen) and
// SessPoll after it (received bytes move into the sources and their
// consumers are told; output moves to the transport; closed peers are
// reported; sessions waiting to disconnect go once drained).
//
// Life: created listening (SessListenTCPIP), connecting (SessConnectTCP) or
// connected (SessConnectUDP); a listening session turns into a connected
// one when it accepts; every session ends through SessDisconnect, called
// directly or by SessPoll after SessFlushAndDisconnect once the output has
// drained or the connection failed.  A Sess* stays valid until then.
//
// Consumers learn of events through the source stream's data callback
// (Strm::onData), called after new bytes arrived, after a listening
// session accepted, and after the session failed (status not 0).
//
// Thread use: under the run lock.
#pragma once

#include <cstdint>

#include "St.h"
#include "Strm.h"
#include "Tcp.h"

namespace quil {

// Session types: the usage report prints their names ("None", "Chat",
// "HTTP", "SMTP", "POP3", "NNTP", "LDAP", "IMAP", "QUIL", "DNS", "FCGI",
// "Other").
enum SessType : uint8_t {
  kSessNone = 0,
  kSessChat = 1,
  kSessHttp = 2,
  kSessSmtp = 3,
  kSessPop3 = 4,
  kSessNntp = 5,
  kSessLdap = 6,
  kSessImap = 7,
  kSessQuil = 8,
  kSessDns = 9,
  kSessFcgi = 10,
  kSessOther = 11,
};
constexpr int kSessTypeCount = 12;
const char* SessTypeName(int type);

// The command channel, the only channel of single-channel sessions.
constexpr int kSessCmdChannel = 1;

struct Sess;

extern bool SessDebugFlag;

// Package protocol; terminating asserts "SessInitRtns-- session list not
// empty".  Initialising registers the loop hooks.
uint16_t SessInitRtns(int selector, int32_t value);

// A session listening on port (and address, 0 for all) that becomes the
// connection it accepts.  bufferSize is the read and write buffer capacity
// (0: default).  False with *error on failure (set-up failures are reported
// with code 590 first).
bool SessListenTCPIP(int type, uint16_t port, uint32_t address, int32_t bufferSize,
                     Sess** session, int16_t* error);
// A session connecting to host (name or dotted address) and port.
bool SessConnectTCP(int type, const St& host, uint16_t port, int32_t bufferSize,
                    Sess** session, int16_t* error);
// A UDP session to address and port: datagrams in both streams are a
// 4-byte length (host order) followed by the bytes.
bool SessConnectUDP(int type, uint32_t address, uint16_t port, Sess** session,
                    int16_t* error);

// Opens a channel.  REQUIRES: channel 1 ("SessChannelOpen-- single-channel
// session can only use CmdChannelId").
void SessChannelOpen(Sess* s, int channel, int priority);
// REQUIRES: the channel is open ("SessChannelSource-- channel not open").
Strm* SessChannelSource(Sess* s, int channel);
Strm* SessChannelSink(Sess* s, int channel);

int16_t SessGetStatus(const Sess* s);
bool SessIsConnected(const Sess* s);
int SessGetType(const Sess* s);
// A listening session still waiting for a connection.
bool SessIsListening(const Sess* s);
// A listening session that has accepted and has not been acknowledged.
bool SessListenJustConnected(const Sess* s);
void SessMarkListenCompleted(Sess* s);
uint32_t SessGetLocalIp(const Sess* s);
uint32_t SessGetRemoteIp(const Sess* s);
uint16_t SessGetLocalPort(const Sess* s);
TcpSocket* SessSocket(Sess* s);

// Closes once every queued byte has been sent (or the connection failed).
// With linger (for an answer sent before the peer's input was all read),
// the sending side is shut first and input is read and dropped until the
// peer closes or 2 seconds pass, so that closing with unread input (which
// resets the connection) does not destroy the answer in flight.
void SessFlushAndDisconnect(Sess* s, bool linger = false);
constexpr int64_t kSessLingerMs = 2000;
bool SessDisconnectRequested(const Sess* s);
// Closes now and destroys the session.
void SessDisconnect(Sess* s);

// Called once when the peer has closed its sending side and nothing is left
// to read, unless a disconnect was requested.
using SessReqCloseFn = void (*)(void* argument);
void SessSetReqCloseCb(Sess* s, SessReqCloseFn callback, void* argument);
void SessClearReqCloseCb(Sess* s);

// The loop hooks.
void SessPoll();
void SessPollWrite();
// True while any session exists.
bool SessNeedsPoll();
int32_t SessCount();

// The usage report: "Type TCP-call TCP-listen UDP-call UDP-listen<br>\r\n"
// and a line per type with connected sessions; nil when there are none.
St SessGetUsage();

}  // namespace quil
