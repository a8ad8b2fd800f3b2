// Ut: chunk types and their layout templates.
//
// Every chunk carries a 16-bit type.  The type's layout template lists the
// fields of the chunk's data in order, so that a page can be converted
// between its memory form (host byte order, memory handles, global type
// numbers) and its file form (the writer's byte order, file handles,
// file-local type numbers).
//
// Two kinds of types:
//   - built-in types (below 0x8000): the template is compiled into the
//     program and registered at start-up with UtRegisterBuiltin.  The store
//     registers its own (kUtTypeRaw, kUtTypeChSt, kUtTypeListHead,
//     kUtTypePartInfo); every other package that keeps chunks registers its
//     types the same way from its XxInitRtns(1) (or from any code that runs
//     before the first chunk of the type is created or read), for example
//
//       UtRegisterBuiltin(410, UtLayout().Op(kUtHandle).Op(kUtHandle)
//                                  .Op(kUtInt32).Done());
//
//   - registered types (bit 15 set): defined at run time by name with
//     UtCreate; the global number is the registration order.  A database
//     file lists the registered types it uses in its type table, where each
//     has a file-local number; the definition (including the template) is
//     stored there, so a file read by another process maps its types by name.
//
// Template bytes: a flags byte (kUtFlagValid must be set; kUtFlagReals,
// kUtFlagHandles and kUtFlagTypes say what the chunk holds; with none of
// them and no byte swap the data is copied unchanged), then commands, with
// 16-bit arguments most significant byte first:
//
//   CMD  ARGUMENTS              MEANING
//   0                           end of template
//   2                           one byte, copied
//   3                           16-bit integer
//   4                           32-bit integer
//   5                           real number, 16 bytes (see UtRealXfm)
//   6                           chunk handle
//   7                           16-bit chunk type
//   8    n                      group repeated n times
//   9    offset                 group repeated by the signed byte at offset
//   10   offset                 ... by the 16-bit count at offset
//   11   offset                 ... by the 32-bit count at offset
//   12                          end of group (a group counted 0 is skipped)
//   14   offset, value, length  if the signed 16-bit field at offset equals
//                               value go on with the next length template
//                               bytes, otherwise skip them
//   16   length                 skip the next length template bytes
//
// Data past the last field is copied unchanged; a field that would reach
// past the chunk's length is an error (kUtOverrun).
//
// Threads: registration runs on the thread that holds the run lock.  Lookups
// (UtLayoutOf, UtXlateChunk) may run on the background save writer for types
// registered before the save started: entries never move once registered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quil {

constexpr uint16_t kUtRegisteredBit = 0x8000;

// Built-in types of the store.
constexpr uint16_t kUtTypeRaw = 1;         // raw bytes, copied unchanged
constexpr uint16_t kUtTypeChSt = 10;       // chunk string: length, bytes, 0
constexpr uint16_t kUtTypeListHead = 40;   // list node: 3 handles, 1 word
constexpr uint16_t kUtTypePartInfo = 616;  // part information, 288 bytes

// Template flags.
constexpr uint8_t kUtFlagValid = 0x80;
constexpr uint8_t kUtFlagReals = 0x08;
constexpr uint8_t kUtFlagHandles = 0x10;
constexpr uint8_t kUtFlagTypes = 0x20;

// Template commands.
enum UtCommand : uint8_t {
  kUtEnd = 0,
  kUtByte = 2,
  kUtInt16 = 3,
  kUtInt32 = 4,
  kUtReal = 5,
  kUtHandle = 6,
  kUtType = 7,
  kUtGroupN = 8,
  kUtGroupCount8 = 9,
  kUtGroupCount16 = 10,
  kUtGroupCount32 = 11,
  kUtGroupEnd = 12,
  kUtIfEqual = 14,
  kUtSkip = 16,
};

// Real-number formats, named by the page-flag bit that marks them:
//   16  IEEE 754 binary64 in bytes 0-7, bytes 8-15 zero (this system)
//   32  x87 80-bit extended in bytes 0-9, bytes 10-15 zero
//   64  IEEE 754 binary128 in bytes 0-15
// Each is stored in the writer's byte order: a swapped value has the
// significant bytes of its format reversed.
constexpr uint8_t kUtRealDouble = 16;
constexpr uint8_t kUtRealExtended = 32;
constexpr uint8_t kUtRealQuad = 64;

// Builds a template.  Flags for handles, types and reals are set from the
// commands given; Done() appends the end command.
class UtLayout {
 public:
  UtLayout() { bytes_.push_back(char(kUtFlagValid)); }
  UtLayout& Op(uint8_t cmd);
  UtLayout& Op(uint8_t cmd, uint16_t a);
  UtLayout& Op(uint8_t cmd, uint16_t a, uint16_t b, uint16_t c);
  // count times a command without arguments.
  UtLayout& Times(int count, uint8_t cmd);
  std::string Done();

 private:
  void Put16(uint16_t v);
  std::string bytes_;
};

// A registered type's definition.  The layout is stored in the file's type
// table as the first string of the entry's string list, the further strings
// after it.
struct UtDefinition {
  std::string name;
  uint32_t def1 = 0;
  uint32_t def2 = 0;
  std::string layout;                // "" when the type has no template
  std::vector<std::string> strings;  // further strings, kept as given
  std::vector<uint16_t> components;  // registered types this type names
  bool operator==(const UtDefinition&) const = default;
};

// Registers (or replaces) the template of built-in type.  Halts with
// "UtRegisterBuiltin-- bad type" for 0 or a type with bit 15 set, and as
// UtXlateHalt when the template does not parse.
void UtRegisterBuiltin(uint16_t type, std::string layout);
// Registers a type by name and returns its global number (bit 15 set).  The
// same name with an equal definition returns the same number; a different
// definition under a registered name returns 0.  Halts as UtXlateHalt when
// a non-empty layout does not parse and
// "UtCreate-- component not registered" for an unknown component.
[[nodiscard]] uint16_t UtCreate(const UtDefinition& def);
// The template of a type, or nullptr when it has none.  The pointer stays
// valid for the life of the process.
const std::string* UtLayoutOf(uint16_t type);
// The definition of a registered type, or nullptr.
const UtDefinition* UtGetDefinition(uint16_t type);
// Number of registered types (their numbers are 0x8001 to 0x8000 + count).
int UtRegisteredCount();

// Conversion of one chunk's data.
enum class UtDir : uint8_t {
  kIn,   // file form to memory form
  kOut,  // memory form to file form
};

enum UtXlateResult : int {
  kUtOk = 0,
  kUtNoFlags,         // flags byte without kUtFlagValid
  kUtUnknownCommand,  // a command outside the table
  kUtOverrun,         // a field reaches past the chunk's length
  kUtBadGroup,        // unbalanced group or missing end
  kUtBadType,         // the type callback refused a chunk type field
};
const char* UtXlateResultText(int result);
// Halts for a template error: "UtCReloc-- No flags" and "UTCReloc-- Unknown
// parse command." for those two results, otherwise where followed by the
// result's text.
[[noreturn]] void UtXlateHalt(int result, const std::string& where);

struct UtXlateOps {
  // The file side is in the other byte order: 16- and 32-bit fields are
  // swapped (read swapped on kIn, written swapped on kOut).
  bool swap = false;
  // Real format of the file side.
  uint8_t realFormat = kUtRealDouble;
  // Handle and type translations; null leaves the values unchanged.  The
  // type callback returns false to refuse a value.
  uint32_t (*handleXfm)(uint32_t value, UtDir dir, const void* arg) = nullptr;
  bool (*typeXfm)(uint16_t value, UtDir dir, const void* arg,
                  uint16_t* out) = nullptr;
  const void* arg = nullptr;
};

// Converts length bytes of chunk data from src into dst (which must not
// overlap src) by layout.  Returns kUtOk or the first error; on error dst
// holds the fields converted so far and a copy of the rest.
int UtXlateChunk(std::string_view layout, const uint8_t* src, uint8_t* dst,
                 uint32_t length, UtDir dir, const UtXlateOps& ops);
// Checks a template's syntax without data: kUtOk, kUtNoFlags,
// kUtUnknownCommand or kUtBadGroup.
int UtLayoutCheck(std::string_view layout);

// Converts one 16-byte real between formats.  Halts with
// "UtRealXfm-- unknown real format" for a format other than 16, 32, 64.
void UtRealXfm(const uint8_t* src, uint8_t srcFormat, bool srcSwapped,
               uint8_t* dst, uint8_t dstFormat, bool dstSwapped);

extern bool UtDebugFlag;
// Package entry: 1 registers the store's built-in types, 2 terminates, 3 sets
// the debug flag.
[[nodiscard]] uint16_t UtInitRtns(int selector, int32_t value);

}  // namespace quil
