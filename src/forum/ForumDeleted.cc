// The "deleted" file: a discussion written in the export format and
// appended to the file (ForumModerated.h).
//
// ForumExportDiscussion stands in for the export writer, which does not
// exist yet: it writes one discussion as far as the export format needs
// for one discussion (no user elements, no enclosure files).  The export
// writer will replace it, and ForumDeletedFileAppend will then call that
// writer.
#include <cstdio>

#include "Fi.h"
#include "ForumAcc.h"
#include "ForumInt.h"
#include "ForumModerated.h"
#include "ForumUser.h"
#include "Ma.h"

namespace quil {

namespace {

std::string& DeletedDir() {
  static std::string dir;
  return dir;
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%x", value);
  return text;
}

std::string Date(LgDbTd td) { return TdToSt(LgDbTdToTd(td), "M2/D2/Y4.H4:I2:S2").Str(); }

// name="value", the value escaped as SGML data.
void Quoted(std::string& out, const char* name, const St& value) {
  out += ' ';
  out += name;
  out += "=\"";
  if (!value.IsNil()) out += StToSgmlData(value).View();
  out += '"';
}

// The author attribute: only for a legal user.
void Author(std::string& out, ForumRoot root, ChHandle user) {
  if (user == 0 || !ForumUserIsLegal(root, user)) return;
  out += " author=" + Hex(uint32_t(ForumUserUniqueId(root, user)));
}

// An unquoted value, quoted when it could not stand alone.
void Bare(std::string& out, const char* name, const St& value) {
  std::string_view v = value.View();
  if (v.empty() || v.find_first_of(" \"'<>=\t\r\n") != std::string_view::npos) {
    Quoted(out, name, value);
    return;
  }
  out += ' ';
  out += name;
  out += '=';
  out += v;
}

void Message(std::string& out, const ForumFile& discussion, int32_t index) {
  ForumRoot root = ForumFileRoot(discussion);
  out += "  <message";
  Quoted(out, "title", ForumItemTitle(discussion, index));
  out += " date=" + Date(ForumItemDate(discussion, index));
  Bare(out, "content-type", ForumItemContentType(discussion, index));
  int32_t parent = ForumItemReplyTo(discussion, index);
  if (parent >= 0) out += " parent=" + std::to_string(parent);
  Author(out, root, ForumItemAuthor(discussion, index));
  Quoted(out, "body", ForumItemData(discussion, index));
  struct Optional {
    const char* name;
    St value;
  };
  const Optional optional[] = {
      {"from", ForumItemFrom(discussion, index)},
      {"to", ForumItemTo(discussion, index)},
      {"other", ForumItemOther(discussion, index)},
      {"messageId", ForumItemMessageId(discussion, index)},
      {"itemSource", ForumItemSource(discussion, index)},
      {"alternative", ForumItemAlternative(discussion, index)},
  };
  for (const Optional& o : optional) {
    if (!o.value.IsNil()) Quoted(out, o.name, o.value);
  }
  out += ">\n";
}

}  // namespace

void ForumSetDeletedDir(std::string dir) { DeletedDir() = std::move(dir); }

std::string ForumDeletedFilePath() {
  const std::string& dir = DeletedDir();
  if (dir.empty()) return "deleted";
  return dir.back() == '/' ? dir + "deleted" : dir + "/deleted";
}

St ForumExportDiscussion(const ForumFile& discussion) {
  MA_CHECK(ForumDebugFlag, ForumFileIsForum(discussion), "ForumExportDiscussion--Forum");
  ForumRoot root = ForumFileRoot(discussion);
  std::string out = "<discussion";
  Quoted(out, "title", ForumFileTitle(discussion));
  out += " date=" + Date(ForumFileDate(discussion));
  out += " created=" + Date(ForumFileCreateDate(discussion));
  out += " flags=" + Hex(ForumFileStoredFlags(discussion));
  out += " inherits=" + Hex(ForumFileInherits(discussion));
  Author(out, root, ForumFileUser(discussion));
  out += " unique=" + Hex(uint32_t(ForumFileUniqueId(discussion)));
  out += " sortSeq=" + std::to_string(ForumFileSortSeq(discussion));
  Quoted(out, "from", ForumItemFrom(discussion, -1));
  Quoted(out, "to", ForumItemTo(discussion, -1));
  Quoted(out, "itemSource", ForumItemSource(discussion, -1));
  Quoted(out, "alternative", ForumItemAlternative(discussion, -1));
  Quoted(out, "template", ForumFileTemplate(discussion));
  Quoted(out, "other", ForumItemOther(discussion, -1));
  Quoted(out, "messageId", ForumItemMessageId(discussion, -1));
  Quoted(out, "heading", ForumItemData(discussion, -1));
  out += ">\n";
  if (ForumAccHasList(discussion)) {
    std::string_view access = ForumAccExport(discussion).View();
    while (!access.empty()) {
      size_t end = access.find('\n');
      std::string_view line = access.substr(0, end);
      out += "  ";
      out += line;
      out += '\n';
      access.remove_prefix(end == std::string_view::npos ? access.size() : end + 1);
    }
  }
  for (int32_t i = ForumMessageFirst(discussion); i >= 0; i = ForumMessageNext(discussion, i))
    Message(out, discussion, i);
  out += "</discussion>\n";
  return StFromView(out);
}

uint16_t ForumDeletedFileAppend(const ForumFile& discussion) {
  St text = ForumExportDiscussion(discussion);
  std::string path = ForumDeletedFilePath();
  FiFile file;
  uint16_t status = FiExists(path) ? FiOpen(path, kFiReadWrite, file) : FiCreate(path, file);
  if (status != 0) return status;
  std::string_view bytes = text.View();
  (void)FiWrite(file, bytes.data(), FiGetEOF(file), int64_t(bytes.size()), status);
  uint16_t closed = FiClose(file);
  return status != 0 ? status : closed;
}

}  // namespace quil
