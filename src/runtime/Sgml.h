// Sgml: the incremental reader of SGML-style tags, used for every tagged
// text format of the server: export and import files, the roll-forward log
// and replication stream, the chat control protocol and the requests of the
// database access server.
//
// A reader pulls bytes from a stream source (SgmlSource: a file, a string,
// a network connection) into a 512-byte look-ahead buffer and runs them
// through a state machine; each SgmlParseNext hands back the text before a
// tag and the tag itself.  When the source has nothing more for now, the
// step returns false and everything half read (a name, a value, the
// attributes so far) stays in the reader: the next step, once more input
// has arrived, resumes in the same state.  Malformed input never fails:
// stray text is text, and a tag is whatever the states make of it.
//
// STATES (each byte is looked at in the current state and either consumed
// or left for the next state)
//
//   STATE  MEANING                ACTION
//   0      text                   bytes join the text up to "<"; at "<" the
//                                 tag's line and character are recorded,
//                                 start-tag set, ends-element cleared -> 1
//   1      after "<"              "!" -> 2; "/" end tag -> 4; else -> 4
//   2      after "<!"             "-" -> 13; else -> 3
//   3      declaration            skipped through ">" -> 0
//   4      before the name        white space skipped -> 5
//   5      tag name               a name; empty: "<" dropped -> 0; start
//                                 tag -> 7, end tag -> 6
//   6      rest of an end tag     skipped to ">": tag complete
//   7      between attributes     ">" complete; "/" ends-element -> 6;
//                                 white space skipped; "<" completes the
//                                 tag without taking the "<"; else -> 8
//   8      attribute name         a name; empty completes the tag; -> 9
//   9      after a name           ">" nil value, complete; "=" -> 10; else
//                                 nil value -> 7
//   10     after "="              ">" nil value, complete; '"' -> 12; white
//                                 space nil value -> 7; else -> 11
//   11     unquoted value         a name-like value (empty: nil, the tag
//                                 completes) -> 7
//   12     quoted value           to the closing '"'; a "<" (left unread)
//                                 also ends it -> 7
//   13-15  comment                "-" -> 14, "-" -> 15, ">" -> 0; any other
//                                 byte back to 13 (more "-" stay in 15,
//                                 so "--->" ends a comment too)
//
// A name (tag name, attribute name, unquoted value) ends before "=", ">",
// a blank, a tab, a line feed or a carriage return.  The text, the tag name
// and every attribute name and value are decoded with StFromSgml.  When the
// byte before the closing ">" was "/", ends-element is set and the "/" is
// removed from the end of the last value (or name, or the tag name).
//
// Decisions of this reader where the states leave a choice: "blanks" are
// the four white-space bytes (space, tab, line feed, carriage return) in
// states 4, 7 and 10 alike; the "-" that leads from state 2 into a comment
// is consumed; a "<" met in state 7 (which a quoted value cut short by "<"
// leads to) completes the tag so that the "<" opens the next one.
//
// End of a buffer in the text state returns the text collected so far
// (decoded), holding back an unfinished entity at its end ("&" and up to
// eight name characters, StSplitSgmlTail) for the next step.
//
// Line counting: a carriage return counts a line; a line feed counts one
// unless it follows a carriage return.  Lines and characters count from 0
// (messages for people add 1).
//
// ISO-2022 (JIS) text: an escape byte (27) starts an escape sequence.  "ESC
// $ @", "ESC $ B" and "ESC $ ( D" switch to two-byte characters, "ESC ( "
// followed by any final byte back to one-byte characters.  While two-byte
// characters are on, every byte from 0x21 to 0x7E is taken as part of a
// character (never as markup, so a "<" or ">" inside one is text); any
// other byte turns two-byte characters off and is read as usual.  The
// bytes of escape sequences and of two-byte characters are kept unchanged
// in the text, name or value being collected.
//
// Errors: with SgmlDebugFlag set, a reader that is not a reader object
// halts with "SgmlParseNext-Parse" and an impossible state with
// "SgmlParseNext--Parse->SgpState".  An exception raised by the source
// releases the partial text, name and attributes and passes on.
//
// Threads: a reader belongs to one thread (under the run lock, or private
// to a thread that reads a file of its own).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Li.h"
#include "St.h"

namespace quil {

extern bool SgmlDebugFlag;

// Counted initialisation for the process (each Init wants a Term).
void SgmlParseInit();
void SgmlParseTerm();
// Package protocol: 1 SgmlParseInit, 2 SgmlParseTerm, 3 the debug flag.
uint16_t SgmlInitRtns(int selector, int32_t value);

// Where the bytes come from.  Read copies up to max bytes into buffer and
// returns how many; 0 means nothing is available now (on a file: the end).
// It may raise (ExRaise); the reader passes the exception on.
class SgmlSource {
 public:
  virtual ~SgmlSource() = default;
  virtual int32_t Read(uint8_t* buffer, int32_t max) = 0;
};

// A source over bytes held in memory, for tests and for text that arrives
// whole.  The view must outlive the source.  Append adds bytes that a
// later read will see (a connection whose input arrives in pieces).
class SgmlStringSource : public SgmlSource {
 public:
  explicit SgmlStringSource(std::string_view bytes = {}) : bytes_(bytes) {}
  int32_t Read(uint8_t* buffer, int32_t max) override;
  void Append(std::string_view more) { bytes_.append(more); }

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

constexpr int32_t kSgmlBufferSize = 512;
constexpr uint8_t kSgmlNotSet = 255;

struct SgmlParser;
// Owner of a reader; SgmlParseStop is its destructor.
using SgmlReader = std::unique_ptr<SgmlParser, void (*)(SgmlParser*)>;

// A new reader over source (borrowed: it must outlive the reader).
SgmlReader SgmlParseStart(SgmlSource* source);
// Ends a reader early (the same as letting the owner go).
void SgmlParseStop(SgmlReader& reader);

// One step.  Out:
//   text         the text before the tag, decoded; nil when none
//   tagName      the tag's name, decoded; nil when the step gives text only
//   isStart      1 start tag, 0 end tag, 255 no tag
//   endsElement  1 for an end tag and for "/>", else 0 (255 when no tag)
//   attributes   name, value, name, value ... (a value is nil for an
//                attribute without "="); empty when the tag has none
// Returns true when something was returned or more input is already
// buffered or available, false when the source has nothing now.
bool SgmlParseNext(SgmlParser* reader, St* text, St* tagName, uint8_t* isStart,
                   uint8_t* endsElement, Li<St>* attributes);

// Where the last tag began, counted from 0.
void SgmlParseTagInfo(const SgmlParser* reader, int32_t* line, int32_t* character);
// Where the reader is now, counted from 0.
void SgmlParseCountInfo(const SgmlParser* reader, int32_t* line, int32_t* character);
// Bytes consumed so far (the position in the source of the next byte).
int64_t SgmlParseOffset(const SgmlParser* reader);

// Whether a value written into a tag must be put in double quotes for this
// reader to read it back whole: an empty value, one holding a byte that
// ends a name (blank, tab, line feed, carriage return, "=", ">"), a "<" or
// a double quote, or one ending in "/" (which "/>" would take).
bool HtmlNeedQuotes(std::string_view value);

}  // namespace quil
