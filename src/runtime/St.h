// St: the one string type of the server.
//
// An St is a reference-counted, length-counted byte string with copy-on-write.
// The value is a single pointer to a heap block laid out as
//
//   OFFSET  SIZE  MEANING
//   0       4     reference count (a new string starts at 1)
//   4       4     length in bytes (never negative)
//   8       4     capacity in bytes (room for characters, terminator excluded)
//   12      2     heap type, always 5 for strings (checked in debug mode)
//   14      2     unused
//   16      n+1   the characters and one terminating zero byte
//
// so an St can be handed to any routine that wants a zero-terminated C string.
// The characters may contain zero bytes: the length, not the terminator, is
// authoritative.
//
// The nil string (a default-constructed St) is not a block.  Every operation
// accepts it; it has length 0 and compares equal to the empty string, but
// IsNil() tells the two apart, and operations that return "nothing" return nil.
//
// Ownership: copying an St is StDup (a count increment); destroying one is
// StDestroy.  A block whose count is above 1 is shared and is never changed in
// place: every modifying operation first takes a private copy (StSoleOwner).
// Operations that take an St by value consume it: pass std::move(s) when the
// caller no longer needs s, or a copy when it does.  Operations that only read
// take const St&.
//
// Thread use: strings are used under the run lock (or within one thread); the
// count is not atomic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Ma.h"

namespace quil {

// Comparison results used by StCompare and every ordered container.
constexpr int kStBefore = 1;
constexpr int kStEqual = 2;
constexpr int kStAfter = 3;

// Heap type of string blocks.
constexpr uint16_t kStHeapType = 5;

struct StRep {
  uint32_t refs;
  int32_t len;
  int32_t cap;
  uint16_t heapType;
  uint16_t unused;
  char* Chars() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* Chars() const noexcept {
    return reinterpret_cast<const char*>(this + 1);
  }
};
static_assert(sizeof(StRep) == 16);

// Debug flag of the strings package: argument checks and live counts.
extern bool StDebugFlag;
// Number of live string blocks (leak checks).
extern int64_t StrStats;

// Package entry: 1 initialises (value 19), 2 terminates, 3 sets StDebugFlag;
// the rules and messages are those of PkgDispatch ("StInitRtns-- ...").
uint16_t StInitRtns(int selector, int32_t value);

void StFreeRep(StRep* rep) noexcept;

class St {
 public:
  constexpr St() noexcept = default;
  St(const St& other) noexcept : rep_(other.rep_) {
    if (rep_) ++rep_->refs;
  }
  St(St&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  St& operator=(const St& other) noexcept {
    if (other.rep_) ++other.rep_->refs;
    Release();
    rep_ = other.rep_;
    return *this;
  }
  St& operator=(St&& other) noexcept {
    if (this != &other) {
      Release();
      rep_ = other.rep_;
      other.rep_ = nullptr;
    }
    return *this;
  }
  ~St() { Release(); }

  bool IsNil() const noexcept { return rep_ == nullptr; }
  int32_t Length() const noexcept { return rep_ ? rep_->len : 0; }
  bool Empty() const noexcept { return Length() == 0; }
  // The characters, zero-terminated; "" for nil.  Valid while this St lives
  // and is not changed.
  const char* CStr() const noexcept { return rep_ ? rep_->Chars() : ""; }
  const uint8_t* Bytes() const noexcept {
    return reinterpret_cast<const uint8_t*>(CStr());
  }
  std::string_view View() const noexcept {
    return rep_ ? std::string_view(rep_->Chars(), size_t(rep_->len))
                : std::string_view();
  }
  std::string Str() const { return std::string(View()); }
  uint8_t operator[](int32_t i) const noexcept { return Bytes()[i]; }
  uint32_t RefCount() const noexcept { return rep_ ? rep_->refs : 0; }

  // Writable characters.  REQUIRES: not nil and RefCount() == 1 (call
  // StSoleOwner first).
  char* MutableChars() noexcept { return rep_->Chars(); }
  // Sets the length of a sole-owned string within its capacity and writes the
  // terminator.  REQUIRES: 0 <= n <= capacity.
  void SetLength(int32_t n) noexcept {
    rep_->len = n;
    rep_->Chars()[n] = 0;
  }
  int32_t Capacity() const noexcept { return rep_ ? rep_->cap : 0; }

  // Raw access for code that keeps strings outside of St values (containers
  // of 32-bit data, the chunk store's caches).  Release gives up this value's
  // reference; Adopt takes one over.
  StRep* ReleaseRep() noexcept {
    StRep* r = rep_;
    rep_ = nullptr;
    return r;
  }
  static St Adopt(StRep* rep) noexcept {
    St s;
    s.rep_ = rep;
    return s;
  }
  StRep* Rep() const noexcept { return rep_; }

 private:
  void Release() noexcept {
    if (rep_ && --rep_->refs == 0) StFreeRep(rep_);
    rep_ = nullptr;
  }
  StRep* rep_ = nullptr;
};

// Byte-exact equality (nil equals empty).
inline bool operator==(const St& a, const St& b) noexcept {
  return a.View() == b.View();
}
inline bool operator==(const St& a, std::string_view b) noexcept {
  return a.View() == b;
}

// ---------------------------------------------------------------------------
// Creation.  Each returns a new string with count 1.

St StCreate();                                  // the empty string, not nil
St StAlloc(int32_t length);                     // contents unset, terminated
St StCreateLen(const void* bytes, int32_t length);
St StCreateRepeat(int32_t length, uint8_t byte);
St StCreateOne(uint8_t byte);
St StCStrXfm(const char* cstring);              // null gives nil
St StFromView(std::string_view text);           // copy of any byte range
St StStIntXfm(int64_t value);                   // decimal text
// Resize: makes str sole-owned and sets its length (contents beyond the old
// length unset); nil gives a fresh string of that length.
St StRAlloc(St str, int32_t length);
// Ensures room for at least `capacity` characters without changing the length.
St StReserve(St str, int32_t capacity);

// ---------------------------------------------------------------------------
// Reference handling.

// True when rep looks like a live string block: heap type 5, 0 <= length <=
// capacity, count above 0.
inline bool StRepIsValid(const StRep& rep) noexcept {
  return rep.heapType == kStHeapType && rep.len >= 0 && rep.len <= rep.cap &&
         rep.refs > 0;
}

// Debug-mode argument check: while StDebugFlag is set, fails the assertion
// `what` ("StXxx-- str") unless str is nil or a valid string block.
inline void StCheck(const St& str, const char* what) {
  if (StDebugFlag && str.Rep() && !StRepIsValid(*str.Rep()))
    MaAssertFailure(what);
}

// Adds a reference and returns the same block (nil stays nil).
inline St StDup(const St& str) {
  StCheck(str, "StDup-- str.");
  return str;
}
void StDestroy(St& str) noexcept; // releases and leaves str nil
St StSoleOwner(St str);           // copy-on-write step

// Exception clean-up forms: identical to StDestroy (and StLiDestroy for a
// list), kept for the clean-up lists of long operations.  The Stop forms
// release in the same way when a long operation is abandoned.
void ExStDestroy(St& str) noexcept;
void ExStStop(St& str) noexcept;

// ---------------------------------------------------------------------------
// Reading.

int32_t StByteLength(const St& str);   // length + 5; nil gives 0
int32_t StCStrSize(const char* cstring);
// Position of byte at or after start; -1 when none, when start is at or past
// the end, or for nil.
int32_t StIndex(const St& str, int32_t start, uint8_t byte);
// Position of byte at or before start, searching backwards; -1 when none.
int32_t StIndexLast(const St& str, int32_t start, uint8_t byte);
// Position of the first byte at or after start that is one of delims.
int32_t StMIndex(const St& str, int32_t start, const St& delims);
bool StIsPrefixC(const St& str, const char* prefix);
bool StIsPrefixCNoCase(const St& str, const char* prefix);
bool StIsPrefixCNoCaseLatin(const St& str, const char* prefix);
// Parses the whole text as a decimal integer with optional sign; out is set to
// 0 first.  False for nil, empty, trailing junk or overflow.
bool StIntStXfm(const St& str, int32_t* out);

// ---------------------------------------------------------------------------
// Changing.  Each consumes its St arguments and returns the result.

St StCat(St a, St b);
St StAppend(St str, uint8_t byte);
St StAppendData(St str, const void* bytes, int32_t length);
// Appends the first `length` bytes of src (clipped to its length).
St StAppendLength(St str, const St& src, int32_t length);
inline St StAppendView(St str, std::string_view text) {
  return StAppendData(std::move(str), text.data(), int32_t(text.size()));
}
// Reads only: the bytes from start, count clipped to the end; start at or
// past the end gives nil; an empty input gives the empty string.
St StSubstr(const St& str, int32_t start, int32_t count);
// Every double quote becomes two; returned unchanged when there is none.
St StToDoubleQuote(St str);

// ---------------------------------------------------------------------------
// Comparison and hashing.

// A translation table maps every byte before comparison.  StLiteral compares
// bytes unmapped.
using StTable = const uint8_t*;
constexpr StTable StLiteral = nullptr;

namespace st_detail {
enum class Fold { kAsciiLower, kAsciiUpper, kLatinLower, kLatinUpper };
constexpr std::array<uint8_t, 256> MakeFoldTable(Fold fold) {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    int m = c;
    bool lower = fold == Fold::kAsciiLower || fold == Fold::kLatinLower;
    bool latin = fold == Fold::kLatinLower || fold == Fold::kLatinUpper;
    if (lower && c >= 'A' && c <= 'Z') m = c + 32;
    if (!lower && c >= 'a' && c <= 'z') m = c - 32;
    // Latin-1: 0xC0-0xDE <-> 0xE0-0xFE, except the multiplication sign 0xD7
    // and the division sign 0xF7; 0xDF and 0xFF have no other case.
    if (latin && lower && c >= 0xC0 && c <= 0xDE && c != 0xD7) m = c + 32;
    if (latin && !lower && c >= 0xE0 && c <= 0xFE && c != 0xF7) m = c - 32;
    t[size_t(c)] = uint8_t(m);
  }
  return t;
}
inline constexpr auto kAsciiLower = MakeFoldTable(Fold::kAsciiLower);
inline constexpr auto kAsciiUpper = MakeFoldTable(Fold::kAsciiUpper);
inline constexpr auto kLatinLower = MakeFoldTable(Fold::kLatinLower);
inline constexpr auto kLatinUpper = MakeFoldTable(Fold::kLatinUpper);
}  // namespace st_detail

inline constexpr StTable StASCIILower = st_detail::kAsciiLower.data();
inline constexpr StTable StASCIIUpper = st_detail::kAsciiUpper.data();
inline constexpr StTable StLatinLower = st_detail::kLatinLower.data();
inline constexpr StTable StLatinUpper = st_detail::kLatinUpper.data();

// Three-way comparison: kStBefore, kStEqual or kStAfter.  Nil is empty.
int StCompare(const St& a, const St& b, StTable table);
int StCStrCompare(const char* a, const char* b, StTable table);
int StArrayCompare(const void* a, int32_t alen, const void* b, int32_t blen,
                   StTable table);
bool StArrayEqual(const void* a, const void* b, int32_t length, StTable table);

// The byte hash used for strings everywhere: h = h + ((h >> 1) ^ c).
uint32_t StBytesHash(const void* bytes, size_t length) noexcept;
inline uint32_t StHash(const St& str) noexcept {
  return StBytesHash(str.CStr(), size_t(str.Length()));
}

// ---------------------------------------------------------------------------
// Escaping conversions (StEscape.cc).  Each consumes its input; when nothing
// needs changing the input block itself is returned.  Conversions that change
// the length count the output first, allocate it once and fill it; a second
// pass that disagrees with the count fails "<Function>--string length
// mismatch".

// Makes text safe inside HTML: "<" "&lt;", ">" "&gt;", "&" "&amp;", '"'
// "&quot;", and every byte below 32 other than line feed and carriage return
// "&#NN;" with two decimal digits (tab is "&#09;").  Other bytes are copied.
St StToSgml(St str);
// Export-file escaping: as StToSgml, but every byte below 32 (tab, carriage
// return and line feed included) and every byte from 128 up becomes "&#N;"
// with at least two digits ("&#09;", "&#233;").
St StToSgmlData(St str);
// Reverse of StToSgml, in the string's own block (taken private first when
// shared): every byte below 32 other than tab, line feed, carriage return and
// escape (27) becomes a space; then each "&name;" with a name of at most 4
// characters found by StSgmlEntityByte is replaced by its byte.  Every other
// ampersand is copied.  Names are case-sensitive.
St StFromSgml(St str);
// The byte an entity name stands for, or -1: "lt", "gt", "amp", "quot", the
// numeric names "#00" to "#99" and "#100" to "#255" (no other zero-padded or
// hexadecimal forms), and the 96 Latin-1 names of HTML 4 ("nbsp" 160 to
// "yuml" 255) of any length.
int StSgmlEntityByte(std::string_view name);
// For a reader that receives text in pieces: when str ends in an unfinished
// entity (an "&" followed only by up to 8 letters, digits or "#"), cuts that
// tail off str and returns it; otherwise returns nil and leaves str alone.
St StSplitSgmlTail(St& str);

// Percent-encodes for a URL: bytes 0-31, "%" and each of " /?:=$,;#@+!*&"
// become "%" and two upper-case hexadecimal digits; all other bytes,
// including those from 128 up, are copied.
St StToUrlQuote(St str);
// As StToUrlQuote with `chars` in place of the fixed list (bytes 0-31 and "%"
// are always encoded; a null chars encodes only those).
St StToUrlQuoteC(St str, const char* chars);
// Decodes "%" followed by two hexadecimal digits (either case), in the
// string's own block; any other "%" is copied.  "+" stays "+".
St StFromUrlQuote(St str);

// ---------------------------------------------------------------------------
// MIME transfer encodings and encoded words (StMime.cc).  Each Count function
// returns the exact output size for its input; the matching Data function
// writes that many bytes to out and returns the number written.

// Base64 with the standard alphabet and "=" padding.  lineLength 0 writes one
// line; otherwise CR LF is written between lines of lineLength characters
// (MIME bodies use 76).  REQUIRES: lineLength is 0 or a positive multiple of 4.
int32_t StBytesToBase64Count(const void* bytes, int32_t length,
                             int32_t lineLength = 0);
int32_t StBytesToBase64Data(const void* bytes, int32_t length, char* out,
                            int32_t lineLength = 0);
// Decoding skips every byte outside the alphabet (line breaks, blanks) and
// stops at the first "="; a final group of one character is dropped.
int32_t StBytesFromBase64Count(const void* bytes, int32_t length);
int32_t StBytesFromBase64Data(const void* bytes, int32_t length, char* out);
St StToBase64(St str, int32_t lineLength = 0);
St StFromBase64(St str);

// Quoted-printable for text.  A line feed, with or without a carriage return
// before it, is a line break and is written as CR LF; bytes 33-126 other than
// "=" are written as themselves, and so are blanks and tabs that do not end a
// line; everything else is "=" and two upper-case hexadecimal digits.  Lines
// are kept to 76 characters with soft breaks ("=" CR LF), never inside an
// "=XX".
int32_t StBytesToQuotedPrintableCount(const void* bytes, int32_t length);
int32_t StBytesToQuotedPrintableData(const void* bytes, int32_t length,
                                     char* out);
// Decoding: "=XX" (either case) gives the byte, "=" followed by optional
// blanks and a line break (or the end) is a soft break and vanishes, blanks at
// the end of a line are dropped, anything else is copied (a stray "=" too).
int32_t StBytesFromQuotedPrintableCount(const void* bytes, int32_t length);
int32_t StBytesFromQuotedPrintableData(const void* bytes, int32_t length,
                                       char* out);
// True when the bytes are already their own quoted-printable form, so that
// they can be sent as they are: only bytes 33-126 other than "=", blanks and
// tabs that do not end a line, CR LF line breaks, and lines of at most 76
// characters.
bool StBytesAreQuotedPrintable(const void* bytes, int32_t length);
St StToQuotedPrintable(St str);
St StFromQuotedPrintable(St str);
// True when every byte is printable ASCII (32-126), tab, carriage return or
// line feed, so that the text needs no MIME encoding.
bool StIsStandardText(const St& str);

// A header value as RFC 2047 encoded words: "=?", charset, "?Q?" (or "?B?"
// when base64 is set), the encoded text and "?=".  Q keeps letters, digits and
// "!*+-/", writes a blank as "_" and everything else as "=XX".  Text that does
// not fit in one word of 75 characters is cut into several words separated by
// CR LF and a blank.  Nil and empty input are returned unchanged.
St StToIsoQuoted(St str, std::string_view charset = "ISO-8859-1",
                 bool base64 = false);
// Decodes the RFC 2047 encoded words in a header value (Q or B, either case;
// the charset is not converted) and drops the white space between two
// adjacent encoded words.  Malformed words are copied as they are.
St StStripEncodedWords(St str);

// ---------------------------------------------------------------------------
// MD5 message digest of RFC 1321 (Md5.cc).

struct MD5Context {
  uint32_t state[4];
  uint64_t count;  // bytes hashed so far
  uint8_t buffer[64];
};
constexpr int kMd5DigestSize = 16;

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const void* input, size_t length);
// Writes the 16-byte digest and clears the context.
void MD5Final(uint8_t digest[kMd5DigestSize], MD5Context* context);
void HashMd5(const void* bytes, size_t length, uint8_t digest[kMd5DigestSize]);
// Reads only: the 16 digest bytes as a string (stored password digests).
St StHashMd5(const St& str);

// ---------------------------------------------------------------------------
// Names of people (StName.cc).  A name is written either "First Last" or
// "Last, First"; suffixes ("Jr.", "PhD") follow the last name after a comma,
// particles ("von", "van") belong to the last name.

inline constexpr std::array<std::string_view, 26> LastNameSuffix = {
    "II",  "III", "IV",   "V",     "VI", "VII",  "VIII", "VIIII", "X",
    "2nd", "3rd", "4th",  "5th",   "6th", "MD",  "M.D.", "JD",    "J.D.",
    "PhD", "Ph.D.", "MA", "M.A.",  "Jr", "Jr.",  "Sr",   "Sr."};
inline constexpr std::array<std::string_view, 4> LastNamePrefix = {
    "von", "Von", "van", "Van"};

// Canonical form: white space runs become one blank, leading and trailing
// white space and blanks before a comma are removed, and every comma that is
// not last is followed by exactly one blank.  Returned unchanged when already
// canonical.
St StNameCanonical(St name);
// "Last, First" to "First Last": the canonical name; at the first comma whose
// following field (up to the next comma or the end) is not a suffix, the text
// after that comma and its blank, a blank, and the text before the comma
// ("Smith, Jr., John" gives "John Smith, Jr.").  Without such a comma the
// canonical name is returned.  familyFirst (sites whose names are written
// family name first) gives the text before the comma, a blank and the text
// after it.
St StNameToFirstLast(St name, bool familyFirst = false);
// "First Last" to "Last, First".  A name that already has a comma followed by
// a non-suffix field, and a one-word name, come back canonical.  Otherwise the
// suffix part (from the first comma, or trailing suffix words) stays with the
// last name, which is the last word together with the particles before it
// ("Ludwig van Beethoven" gives "van Beethoven, Ludwig", "John Smith, Jr."
// gives "Smith, Jr., John").  familyFirst takes the first word as the last
// name.
St StNameToLastCommaFirst(St name, bool familyFirst = false);
// The given names and the last name (without its suffixes) of a name in
// either form; a one-word name is a last name with an empty first name.
St StFirstName(St name, bool familyFirst = false);
St StLastName(St name, bool familyFirst = false);
// True when the word at ix (up to the next blank) is a particle and another
// word follows it.
bool StNameIxIsPrefix(const St& name, int32_t ix);
// True when the field at ix (up to the next comma or the end) is a suffix,
// compared exactly.
bool StNameIxIsSuffix(const St& name, int32_t ix);

// ---------------------------------------------------------------------------
// Lists of strings.  A list owns its strings.

using StList = std::vector<St>;

// Three-way comparison, element by element with StCompare; a list that is a
// prefix of the other comes first.
int StLiCompare(const StList& a, const StList& b, StTable table);
void StLiDestroy(StList& list) noexcept;
void ExStLiDestroy(StList& list) noexcept;
void ExStLiStop(StList& list) noexcept;
// A new list holding a reference to every string of list.
StList StListDup(const StList& list);
bool StLiIsMember(const StList& list, const St& str, StTable table);
// Total number of bytes of the strings of list.
int64_t StLiLength(const StList& list);

// ---------------------------------------------------------------------------
// Trimming and editing (StMisc.cc).  Functions taking St by value consume it
// and return the input block itself when nothing changes.

// Space, tab, line feed or carriage return.
constexpr bool StCharIsWhiteSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
// True when str holds only white space (nil and empty included).
bool StIsWhitespace(const St& str);
// Removes leading and trailing white space.
St StStripBlanks(St str);
// Removes leading and trailing bytes that occur in chars.
St StStripEdges(St str, const char* chars);
// Removes every occurrence of byte.
St StStripChar(St str, uint8_t byte);

// Replaces the byte at ix; an ix outside the string changes nothing.
St StSet(St str, int32_t ix, uint8_t byte);
// Stores value in *var when *var is nil and returns true; otherwise releases
// value and returns false.
bool StSetOnce(St* var, St value);
// Inserts byte before position ix (clipped to 0..length).
St StAddByte(St str, int32_t ix, uint8_t byte);
// Deletes the byte at ix; an ix outside the string changes nothing.
St StSubtractByte(St str, int32_t ix);
// Deletes count bytes from start (clipped to the string).
St StRemove(St str, int32_t start, int32_t count);
// Replaces every occurrence of from (not overlapping, left to right) by to.
// An empty from changes nothing.
St StReplace(St str, const St& from, const St& to);
// str repeated count times; count <= 0 gives the empty string.
St StRepeat(St str, int32_t count);

// ---------------------------------------------------------------------------
// Splitting and joining.

// The fields between delimiters: "a,,b" gives "a", "", "b"; nil or empty
// gives an empty list.
StList StSplit(const St& str, uint8_t delim);
// Takes the first field off *rest: returns the text before the first delim
// and leaves the text after it in *rest; with no delim the whole text is
// returned and *rest becomes nil.  A nil *rest gives nil.
St StSplitField(St* rest, uint8_t delim);
// As StSplitField for lines: the text before the first line feed (a carriage
// return before it is dropped).
St StSplitLine(St* rest);
// Packs a list into one string that StUnpack reverses for any bytes: each
// string as its length in decimal, ":" and its bytes.
St StPack(const StList& list);
// Returns false (and an empty list) when packed is not a StPack result.
bool StUnpack(const St& packed, StList* list);
// The strings of list joined with separator between them.
St StLiPack(const StList& list, std::string_view separator);
// Parses form data "name=value&name=value" (application/x-www-form-
// urlencoded: "+" is a blank, "%XX" a byte) into names and values; a part
// without "=" has an empty value, empty parts are skipped.
void StParseDataString(const St& data, StList* names, StList* values);
// Builds form data from names and values, URL-quoting both (a blank becomes
// "+").  REQUIRES: names and values have the same length.
St StParseDataStringReverse(const StList& names, const StList& values);

// ---------------------------------------------------------------------------
// Look-up and translation.

// Walks the tokens of a string: runs of delimiter bytes separate tokens.
struct StScan {
  St str;
  int32_t pos = 0;
  bool member[256] = {};
};
StScan StStart(const St& str, const char* delims);
// The next token, or nil when there is none left.
St StNext(StScan* scan);
void StStop(StScan* scan) noexcept;

// Position of the first occurrence of pattern in str with bytes mapped
// through table; -1 when none.  An empty pattern is found at 0.
int32_t StLookup(const St& str, const St& pattern, StTable table);
// As StLookup, searching only matches that lie inside [start, limit).
int32_t StLookupLimit(const St& str, int32_t start, int32_t limit,
                      const St& pattern, StTable table);
int32_t StLookupLimitC(const St& str, int32_t start, int32_t limit,
                       const char* pattern, StTable table);
// The last match that lies inside [start, limit).
int32_t StLookupLimitRevC(const St& str, int32_t start, int32_t limit,
                          const char* pattern, StTable table);
// StLookup ignoring Latin-1 case.
int32_t StLookupEquiv(const St& str, const St& pattern);
// Maps every byte through table.
St StTranslate(St str, StTable table);
// Replaces each byte that occurs in from by the byte at the same position in
// to.  REQUIRES: to is at least as long as from.
St StTranslateC(St str, const char* from, const char* to);
// Number of leading bytes on which a and b agree under table.
int32_t StAgree(const St& a, const St& b, StTable table);

// ---------------------------------------------------------------------------
// Number forms.

// Decimal text with thousands separated by commas: "-1,234,567".
St StStIntCommaXfm(int64_t value);
// printf into a new string.
St StPrintCvt(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Parses a decimal real number (the whole text); out is 0 on failure.
bool StRealStXfm(const St& str, double* out);
// The shortest decimal text that reads back as value.
St StStRealXfm(double value);
// Lower-case hexadecimal: 8 digits; without leading zeros ("0" for zero);
// signed (a "-" before the digits of the magnitude); two digits of a byte.
St StHexIntXfm(uint32_t value);
St StHexNoZerosIntXfm(uint32_t value);
St StHexSIntXfm(int32_t value);
St StHexByteXfm(uint8_t value);
// Parses hexadecimal text (either case, at most 8 significant digits); out is
// 0 on failure.
bool StHexStXfm(const St& str, uint32_t* out);
// Each byte as two lower-case hexadecimal digits.
St StToHex(St str);
// The reverse; nil for an odd length or a byte that is not a hexadecimal
// digit.
St StFromHex(St hex);
// Decodes hexadecimal text into out; the number of bytes written, or -1 for
// an odd length, a bad digit or more than max bytes.
int32_t StHexToArray(const St& hex, uint8_t* out, int32_t max);
// The four bytes of value, most significant first.
St StCharsIntXfm(uint32_t value);
// Roman numerals for 1-3999 (upper or lower case); other values decimal.
St StRomanIntXfm(int32_t value, bool upper = true);
// Letters for list numbering: 1 "a" ... 26 "z", 27 "aa", 28 "ab"; values
// below 1 decimal.
St StLetterIntXfm(int32_t value, bool upper = false);
// A string of "*" as long as str (a password shown in a form).
St StBlotsStXfm(St str);
// Dotted-quad text of an IPv4 address given in host byte order.
St StNetworkXfm(uint32_t address);
// Author line of a mail header: "name <address>", or whichever of the two is
// not empty.
St StAuthorXfm(St name, St address);

// ---------------------------------------------------------------------------
// Keyword search.  A query is cut into keywords at white space; a phrase in
// double quotes is one keyword.  Keywords are kept in Latin-1 lower case and
// matched as substrings ignoring Latin-1 case.

StList StKeywordsCreate(const St& query);
// Takes the next keyword off *rest (nil when none is left).
St StPopKeyword(St* rest);
// True when at least one keyword occurs in text (false for no keywords).
bool StKeywordsAny(const StList& keywords, const St& text);
// True when every keyword occurs in text (true for no keywords).
bool StKeywordsAll(const StList& keywords, const St& text);
void StKeywordsDestroy(StList& keywords) noexcept;

// A field of a comma-separated export line: text holding a comma, a double
// quote, a line break or leading or trailing blanks is enclosed in double
// quotes with its double quotes doubled; other text is returned unchanged.
St StToDbFieldQuote(St str);

// ---------------------------------------------------------------------------
// Documents and mail (StDoc.cc).  A document is a mail message, a news
// article or a MIME part: a head of header fields (RFC 5322), an empty line,
// and a body.  Lines may end in CR LF, LF or a lone CR (old Macintosh
// clients); all three are accepted wherever lines are read.  A field that
// continues on lines starting with a blank or tab is folded.  A document
// without an empty line is all head: its body is missing.

// The next line of doc from *ix, without its line break, and moves *ix past
// the break; nil when *ix is at or past the end.
St StDocGetLine(const St& doc, int32_t* ix);
// Position of the first byte of the body: just after the first empty line.
// A document whose first line is empty has no head.  Without an empty line
// the body is missing and the result is the length of doc.
int32_t StDocBodyIx(const St& doc);
int32_t StBytesDocBodyIx(const void* bytes, int32_t length);
// The body of doc (consumes it): nil when the body is missing or empty.
St StToBodyXfm(St doc);

// The whole field named `name` (compared without regard to ASCII case; a
// trailing colon in name is ignored) from the head: its name, colon and value
// with the folding line breaks kept, without the final line break.  The
// first such field wins; nil when the head has none.
St StBytesGetHeader(const void* bytes, int32_t length, std::string_view name);
St StGetHeader(const St& doc, std::string_view name);
// The value of that field, unfolded (the line breaks of folding removed, the
// blanks after them kept, as RFC 5322 unfolds) and without leading and
// trailing white space.  Nil when the field is absent, empty when it is
// present with no value.  Encoded words are left for StStripEncodedWords.
St StBytesDocFieldValue(const void* bytes, int32_t length,
                        std::string_view name);
St StDocFieldValue(const St& doc, std::string_view name);
// One item of a structured field value such as Content-Type or
// Content-Disposition ("multipart/mixed; boundary=\"b1\"").  An empty item
// gives the main value (the text before the first ";", trimmed, in ASCII
// lower case); otherwise the value of the parameter named item (ASCII case
// ignored), with quotes removed and backslash escapes resolved.  Nil when
// there is no such parameter.  RFC 2231 continued parameters are not joined.
St StFieldValueItem(const St& value, std::string_view item);

// Takes the first address off an address list ("a@b.c, Ann <d@e.f>, \"Doe,
// J\" <g@h.i>") in *rest and returns it as a bare address (the text between
// angle brackets when there are some, else the entry without comments and
// blanks).  Commas inside quotes, comments and angle brackets do not split.
// A group ("team: a@b.c, d@e.f;") gives its members one by one.  Empty
// entries are skipped; nil (with *rest nil) when no address is left.  When
// name is given it receives the display name (quotes removed; nil when none).
St StEmailPop(St* rest, St* name = nullptr);

// The tag names of the SGML/HTML markup in text, in ASCII lower case, each
// once, in order of first appearance; end tags count under their name and
// comments and declarations ("<!...>") are skipped.  Used to check a body
// against the list of HTML elements the sysop disallows.
StList StGetSGMLTags(const St& text);

// A MIME boundary for a multipart body holding content: "=_Quil_" and 24
// lower-case hexadecimal digits taken from the MD5 digest of content and an
// attempt number, so that it is the same for the same content (and tests can
// know it); a boundary whose "--" line would occur in content is replaced by
// the next attempt.
St StMakeBoundary(const St& content);

// True when doc cannot be sent as text: it holds a zero byte, DEL, or a
// control byte other than tab, line feed, form feed, carriage return and
// escape (which JIS text needs).  Latin-1 bytes from 128 up are text.
bool StDocIsBinary(const St& doc);
// True when doc starts with a head of header fields (every line before the
// empty line is a field or a continuation) that has a Content-Type or a
// Content-Transfer-Encoding field: a MIME part as stored for an enclosure.
bool StDocIsMimePart(const St& doc);
// The body of a MIME part decoded according to its Content-Transfer-Encoding
// (base64, quoted-printable, x-uuencode; 7bit, 8bit and binary as they are).
// A doc that is not a MIME part is returned unchanged.
St StDocToBinaryXfm(St doc);
// Makes doc a MIME part of the given content type: "Content-Type: " type
// (with "; name=" and the quoted file name when fileName is not empty),
// "Content-Transfer-Encoding: ", and "Content-Disposition: attachment;
// filename=" when there is a file name, each ended by CR LF, then CR LF and
// the body.  Encoding: text types that are not binary go as "7bit" when every
// byte is printable ASCII (line breaks made CR LF) and as "quoted-printable"
// otherwise; all else as "base64" in lines of 76 characters.
St StDocToMimePartXfm(St doc, std::string_view contentType,
                      std::string_view fileName = {});

// One leaf part of a parsed MIME document.
struct StEncPart {
  St head;         // the part's header lines, without the empty line
  St contentType;  // type/subtype in lower case ("text/plain" by default)
  St charset;      // the charset parameter, nil when none
  St fileName;     // Content-Disposition filename or Content-Type name
  St body;         // the decoded bytes
  // Position among the parts of the innermost multipart/alternative that
  // holds this part (0 for the first), -1 outside any alternative.
  int32_t alternative = -1;
};
using StEncList = std::vector<StEncPart>;
// Maximum nesting of multipart bodies that StEncParse descends into; deeper
// multiparts are returned as one undecoded part.
constexpr int kStEncMaxDepth = 16;
// Parses doc (head and body) into its leaf parts in order and appends them to
// *parts, descending into nested multiparts (RFC 2046: preamble and epilogue
// dropped, the line break before a delimiter belongs to the delimiter, a
// missing close delimiter ends the last part at the end of the body; the
// parts of multipart/digest default to message/rfc822).  A document that is
// not multipart gives one part, and so does an attached message
// (message/rfc822), whose own parts are not taken apart.  Each body is decoded with StDocToBinaryXfm's
// rules.  Returns the number of parts appended.
int32_t StEncParse(const St& doc, StEncList* parts);
// The boundary parameter of a head's multipart Content-Type; nil when the
// head is not multipart or names no boundary.
St StEncBoundary(const St& doc);
// True when a part is an enclosure (an attached document) rather than text of
// the message: it has a file name, or its type is neither text/plain nor
// text/html.
bool StEncIsEnclosure(const StEncPart& part);
void StEncLiDestroy(StEncList& parts) noexcept;

// ---------------------------------------------------------------------------
// uuencoding (StUu.cc), as POSIX uuencode and uudecode write and read it: a
// file is "begin <octal mode> <name>", lines of at most 45 bytes each, a line
// "`" and "end".  A line is its byte count as a character (count + 32), then
// every 3 bytes as 4 characters of 6 bits (value + 32); a zero value is
// written as "`" (not a blank, which mail transports strip), and both are
// read as zero.

constexpr int32_t kUuLineBytes = 45;
// Characters of the encoded line for length bytes, without a line break.
// REQUIRES: 0 <= length <= kUuLineBytes.
int32_t UuEncodeLineCount(int32_t length);
int32_t UuEncodeLine(const void* bytes, int32_t length, char* out);
// Bytes that an encoded line (without its line break) decodes to: the count
// its first character gives.  -1 when the line is empty or a character
// within the counted groups lies outside " " to "`".  Characters missing at
// the end (trailing blanks cut off on the way) are read as zero.
int32_t UuDecodeLineCount(const void* line, int32_t length);
// Writes UuDecodeLineCount bytes to out and returns that count (or -1).
int32_t UuDecodeLine(const void* line, int32_t length, char* out);
// A whole uuencoded file of data with mode 644 and the given name, lines
// ended by CR LF.
St StUuEncode(const St& data, std::string_view name);
// Decodes the first complete "begin" ... "end" block of text; nil when there
// is none or a line in it is malformed.  *name receives the file name.
St StUuDecode(const St& text, St* name);
// Takes the uuencoded pictures out of message text (consumed): every
// complete, well-formed block whose file name ends in ".gif", ".jpg",
// ".jpeg", ".jpe", ".png" or ".bmp" (any case) is removed from the text, its
// name appended to *names and its bytes to *pictures.  Other blocks stay in
// the text.  Returns the remaining text (the input block when there was no
// picture).
St UuDecodePict(St text, StList* names, StList* pictures);

// ---------------------------------------------------------------------------
// Scrambling of stored text (StCrypt.cc).  Not protection against anyone who
// has this code: it keeps stored secrets (outside mailbox passwords and the
// like) from being read at a glance in the database, export files and logs.
// Printable ASCII bytes (32-126) are rotated within that range by a key
// stream that depends on the position and on key; every other byte is left
// as it is, so the result has the same length and line structure, holds no
// new zero or control bytes and passes through text-only channels.  The key
// stream is part of the stored format and must never change.

St StEncrypt(St str, std::string_view key = {});
// The reverse of StEncrypt with the same key.
St StDecrypt(St str, std::string_view key = {});

// ---------------------------------------------------------------------------
// Objectionable words (StObjectionable.cc).  The sysop's word list is kept
// compiled: each word in Latin-1 upper case, cut to 255 bytes, as a one-byte
// length followed by its bytes, the words concatenated.  Matching ignores
// Latin-1 case.  A word matches whole words only ("ASS" does not match
// "class"); a word written with a trailing "*" matches every word that begins
// with it ("DAMN*" matches "damned").  A word holding a byte from 128 up
// matches anywhere, as text in languages written without blanks between
// words (Japanese) has no word boundaries.  Letters and digits (with the
// Latin-1 letters) make up words.
//
// The telephone-number rule, when asked for, also matches a run of 7 to 15
// digits in groups separated by one or two of " -.()" (with an optional
// leading "+" or "("), whose last group has at least 4 digits and which is not
// part of a longer word: "555-1234", "(212) 555-1234", "+1 212 555 1234";
// dates such as "2026-12-05" and amounts such as "1,234,567" do not match.

// Compiles the sysop's list: words separated by white space or commas.
St StObjectionableListXfm(const St& words);
// True when text holds a word of list (or a telephone number, with phone).
bool StObjectionable(const St& text, const St& list, bool phone);
// Consumes text and wraps every match in before and after (the moderation
// page marks them in red); the input block is returned when nothing matches.
St StObjectionableCover(St text, const St& list, bool phone,
                        std::string_view before = "<font color=red>",
                        std::string_view after = "</font>");

// ---------------------------------------------------------------------------
// Japanese text (StJapanese.cc).  Three encodings of JIS X 0208 are in use:
// JIS (ISO-2022-JP, 7 bits: "ESC $ B" or "ESC $ @" switch to two-byte
// characters, "ESC ( B" or "ESC ( J" back to one byte; mail and news), Shift
// JIS (lead bytes 0x81-0x9F and 0xE0-0xFC; web pages) and EUC-JP (both bytes
// 0xA1-0xFE; Unix systems).  Half-width katakana (JIS X 0201: single bytes
// 0xA1-0xDF in Shift JIS, 0x8E and the byte in EUC, "ESC ( I" or SO/SI in
// JIS) are turned into their full-width forms by every converter, a voiced or
// semi-voiced sound mark joining the kana before it (half-width "ka" and
// "dakuten" give full-width "ga"), because ISO-2022-JP cannot carry them and
// many mail readers show them as garbage.  A character that has no JIS X 0208
// form (JIS X 0212 in EUC, the Shift JIS user-defined area) and a broken or
// cut multi-byte sequence become the geta mark (JIS 0x222E).  Bytes below
// 0x80 are copied.  JIS output switches back to one-byte mode before every
// line break and at the end.

enum StCodeType : int {
  kCodeAscii = 0,      // no byte from 128 up and no JIS escape
  kCodeJis = 1,
  kCodeShiftJis = 2,
  kCodeEuc = 3,
};
// The encoding of text, judged from the first byte sequences that only one
// encoding allows.  Text that either Shift JIS or EUC could be (two-byte
// sequences of 0xA1-0xFC only) is taken as EUC: read as Shift JIS it would be
// runs of half-width kana, which real text seldom is.
int DetectCodeType(const St& text);

St StJisToShiftJisXfm(St text);
St StJisToEucXfm(St text);
St StShiftJisToJisXfm(St text);
St StShiftJisToEucXfm(St text);
St StEucToJisXfm(St text);
St StEucToShiftJisXfm(St text);
// Text in any of the encodings converted to JIS (mail) or Shift JIS (web
// pages); text already in that encoding, and ASCII, is returned unchanged.
St StToJis(St text);
St StToShiftJis(St text);

}  // namespace quil
