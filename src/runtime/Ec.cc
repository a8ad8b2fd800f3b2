// Error texts.
#include "Ec.h"

#include <string.h>

#include <string>

namespace quil {

const char kEcProductName[] = "Quillmoot";

namespace {

const char* FixedText(uint16_t code) {
  switch (code) {
#define EC_CASE(name, code, text) \
  case name:                       \
    return text;
    EC_STORE_CODES(EC_CASE)
    EC_FILE_CODES(EC_CASE)
#undef EC_CASE
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
  if (c == kEcNotDatabase)
    return StFromView(std::string("Not a ") + kEcProductName + " database file.");
  if (const char* text = FixedText(c)) return StCStrXfm(text);
  if (EcIsHost(c) && c > kEcHostBase) {
    // The host's own description, the same in every locale.
    int error = c - kEcHostBase;
    const char* desc = strerrordesc_np(error);
    std::string text = desc ? desc : "Unknown error";
    return StFromView(text + " (host error " + std::to_string(error) + ").");
  }
  return StFromView("error #" + std::to_string(c) + ".");
}

}  // namespace quil
