// Error texts.
#include "Ec.h"

#include <string>

namespace quil {

const char kEcProductName[] = "Quillmoot";

namespace {

const char* FixedText(uint16_t code) {
  switch (code) {
    case 1: return "Too many databases open at one time.";
    case 2: return "Attempt to save an untitled file.";
    case 4: return "Corrupted database.";
    case 5: return "No such revision.";
    case 6: return "Database file already exists.";
    case 7: return "No more memory for database page table.";
    case 8: return "No more pages in transient file.";
    case 9: return "No more pages in database file.";
    case 10: return "Internal error, attempt to write read-only database.";
    case 11: return "Attempt to open read-only file with write access.";
    case 12: return "Internal error, save denied.";
    case 13: return "Internal error, old revision specified.";
    case 14: return "Internal error, no relocation available for this object.";
    case 15: return "Internal error, no master partition.";
    case 16: return "Internal error, user already reserved.";
    case 18: return "Database file too large for this version to open.";
    case 100: return "No heap memory.";
    case 101: return "Insufficient inital memory for the heap package.";
    case 102: return "No host memory.";
    case 200: return "Illegal host spec.";
    case 201: return "Illegal device spec.";
    case 202: return "Illegal directory spec.";
    case 203: return "Illegal file spec.";
    case 204: return "Illegal attributes.";
    case 205: return "Bad handle passed to FiXX call.";
    case 206: return "No such device.";
    case 207: return "No such directory.";
    case 208: return "No such file.";
    case 209: return "Too many files open.";
    case 210: return "Directory is full.";
    case 211: return "Disk is full.";
    case 212: return "File is locked.";
    case 213: return "Access is denied.";
    case 214: return "End of file.";
    case 215: return "Call is not applicable.";
    case 216: return "No such host.";
    case 217: return "I/O request is too large.";
    case 218: return "Invalid lock request.";
    case 219: return "FiInit failed.";
    case 220: return "Ambiguous directory.";
    case 225: return "Filename already exists.";
    case 226: return "Mismatched access permission.";
    case 230: return "Media write protected.";
    case 231: return "General host error.";
    case 233: return "Media error occurred, no resolution.";
    case 234: return "No disk present.";
    case 1550: return "Internet address not found.";
    case 1551: return "Internet address is not available.";
    case 1552: return "Internet connection failed, try later.";
    case 1553: return "End of file for Internet connection.";
    case 1554: return "Internet connection not established.";
    case 1555: return "reserved or invalid Internet address or port.";
    case 1556: return "Internet address or port already in use.";
    case 1557: return "Internet address disconnected.";
#define EC_FORUM_CASE(name, code, text) \
  case code: return text;
      EC_FORUM_CODES(EC_FORUM_CASE)
#undef EC_FORUM_CASE
    case 2402: return "Not a legal UU-encoded GIF or JPEG picture.";
    case 2403: return "Could not open folder.";
    case 2404: return "Could not open discussion.";
    case 2405: return "No folder name specified.";
    case 2406:
      return "You cannot use a slash (\"/\") in a folder name.\t\t\tTry \"-\", "
             "or \":\".";
    case 2407: return "No access.";
    case 2408: return "No message to post.";
    case 2409: return "Shutting down.";
    case 2410: return "Source server not available.";
    case 2411: return "Source server protocol error.";
    case 2412:
      return "Name server temporarily unavailable.  Please try again in a few "
             "minutes.";
    case 2414: return "Error creating or saving the search keyword index.";
    case 2416: return "Error deleting old search keyword index.";
    default: return nullptr;
  }
}

}  // namespace

St EcToSt(uint32_t code) {
  uint16_t c = uint16_t(code & 0xFFFF);
  if (c == 3) return StFromView(std::string("Not a ") + kEcProductName + " database file.");
  if (const char* text = FixedText(c)) return StCStrXfm(text);
  return StFromView("error #" + std::to_string(c) + ".");
}

}  // namespace quil
