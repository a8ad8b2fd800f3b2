// Fuzz harness for the document and mail parsers of the string package.
//
// The input is read as a mail message: header fields and their values,
// structured value items, the MIME part tests and conversions, the multipart
// parser (every part is rebuilt as a MIME part and decoded again, which must
// give back its bytes, text parts up to their line breaks), address lists, tag
// names, uuencoded pictures, the Japanese detection and converters, and the
// objectionable-word filter with the input's first line as the word list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "St.h"

using namespace quil;

// Text parts are sent with CR LF line breaks: compare them with every line
// break (CR LF, LF or CR) as one line feed.
static std::string Lines(const St& s) {
  std::string out;
  std::string_view v = s.View();
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\r' && i + 1 < v.size() && v[i + 1] == '\n') continue;
    out += v[i] == '\r' ? '\n' : v[i];
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  St doc = StCreateLen(data, int32_t(size));
  int32_t ix = 0;
  int32_t lines = 0;
  while (!StDocGetLine(doc, &ix).IsNil()) ++lines;
  if (StDocBodyIx(doc) > doc.Length()) abort();

  for (const char* name :
       {"Subject", "From", "Content-Type", "To", "Message-Id:"}) {
    St field = StGetHeader(doc, name);
    St value = StDocFieldValue(doc, name);
    if (field.IsNil() != value.IsNil()) abort();
    St main = StFieldValueItem(value, "");
    St boundary = StFieldValueItem(value, "boundary");
  }
  St rest = StDocFieldValue(doc, "To");
  if (rest.IsNil()) rest = doc;
  for (int k = 0; k < 1000 && !StEmailPop(&rest).IsNil(); ++k) {
  }
  StList tags = StGetSGMLTags(doc);

  StEncList parts;
  StEncParse(doc, &parts);
  for (const StEncPart& part : parts) {
    St type = part.contentType;
    St mime =
        StDocToMimePartXfm(part.body, type.IsNil() ? "text/plain" : type.View(),
                           part.fileName.View());
    if (!StDocIsMimePart(mime)) abort();
    St back = StDocToBinaryXfm(mime);
    bool base64 = !StDocFieldValue(mime, "Content-Transfer-Encoding")
                       .View()
                       .compare("base64");
    if (base64 ? !(back == part.body) : Lines(back) != Lines(part.body))
      abort();
    (void)StEncIsEnclosure(part);
  }
  St binary = StDocToBinaryXfm(doc);
  St body = StToBodyXfm(doc);

  StList names, pictures;
  St text = UuDecodePict(doc, &names, &pictures);
  if (names.size() != pictures.size()) abort();

  (void)DetectCodeType(doc);
  St jis = StToJis(doc);
  St sjis = StToShiftJis(doc);
  St euc = StJisToEucXfm(doc);
  St back = StEucToShiftJisXfm(euc);
  if (!(StShiftJisToEucXfm(back) == euc) && DetectCodeType(doc) == kCodeAscii)
    abort();

  int32_t firstLine = 0;
  St words = StDocGetLine(doc, &firstLine);
  St list = StObjectionableListXfm(words);
  bool objectionable = StObjectionable(doc, list, true);
  St covered = StObjectionableCover(doc, list, true, "[", "]");
  if (objectionable != (covered.Length() > doc.Length())) abort();
  if (!(StDecrypt(StEncrypt(doc, "k"), "k") == doc)) abort();
  return 0;
}
