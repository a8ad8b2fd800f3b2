// Paths: name paths, unique paths, chained link paths, and links.
#include "ForumInt.h"
#include "Ma.h"

namespace quil {

namespace {

// True when a lies at or below b (following parents up from a).
bool IsAtOrBelow(const ForumFile& a, const ForumFile& b) {
  for (ForumFileRec* f = a.Rec(); f; f = f->parent) {
    if (f == b.Rec()) return true;
  }
  return false;
}

// Walks the names of rest ("a/b/c", URL-quoted) down from start.  Links met
// on the way are followed; a link back to the current folder or one of its
// ancestors ends the walk there.
bool WalkNames(ForumFile start, const St& rest, ForumFile* out) {
  ForumFile current = std::move(start);
  St names = rest;
  while (!names.Empty()) {
    St name = StSplitField(&names, '/');
    if (name.Empty()) continue;
    ForumFile child = ForumFileHasChild(current, StFromUrlQuote(name));
    if (!child) return false;
    if (ForumFileIsLink(child) && !ForumLinkIsLink(child)) {
      ForumFile target = ForumLinkOpen(child);
      if (!target) return false;
      if (IsAtOrBelow(current, target)) break;
      current = std::move(target);
      continue;
    }
    current = std::move(child);
  }
  *out = std::move(current);
  return true;
}

// "." + hexadecimal, up to the first "/"; the rest after it in *rest.
bool SplitUnique(const St& path, uint32_t* id, St* rest) {
  if (path.Length() < 2 || path[0] != '.') return false;
  int32_t slash = StIndex(path, 0, '/');
  int32_t end = slash < 0 ? path.Length() : slash;
  St hex = StSubstr(path, 1, end - 1);
  if (hex.Empty() || !StHexStXfm(hex, id)) return false;
  *rest = slash < 0 ? StCreate() : StSubstr(path, slash + 1, path.Length() - slash - 1);
  return true;
}

}  // namespace

bool ForumUniqueLookup(ForumRoot root, const St& path, ForumFile* out) {
  uint32_t id = 0;
  St rest;
  if (!SplitUnique(path, &id, &rest)) return false;
  ForumFile start = ForumFileOpenUnique(root, int32_t(id));
  if (!start) return false;
  return WalkNames(std::move(start), rest, out);
}

bool ForumPathLookup(ForumRoot root, const St& path, ForumFile* out) {
  St p = path;
  if (p.Length() >= 2 && p[p.Length() - 1] == '/') p = StSubstr(p, 0, p.Length() - 1);
  if (p.Length() >= 3 && p.View().substr(size_t(p.Length() - 3)) == "/-1")
    p = StSubstr(p, 0, p.Length() - 3);
  if (p.Empty()) return false;
  if (p[0] == '.') return ForumUniqueLookup(root, p, out);
  if (p[0] != '/') return false;  // newsgroup names come with the news service
  St rest = StSubstr(p, 1, p.Length() - 1);
  return WalkNames(root->top, rest, out);
}

ForumFile ForumFileOpen(ForumRoot root, const St& path) {
  if (path.IsNil() || StIndex(path, 0, ' ') >= 0) return ForumFile();
  // Chained unique paths: ".link1.link2.target/names".
  int32_t slash = StIndex(path, 0, '/');
  int32_t end = slash < 0 ? path.Length() : slash;
  if (path.Length() > 0 && path[0] == '.') {
    int32_t at = 0;
    ForumFile reached;  // the target of the last link passed
    St prefix = StCreate();
    int links = 0;
    for (;;) {
      int32_t dot = StIndex(path, at + 1, '.');
      if (dot < 0 || dot >= end) break;
      if (++links > kForumMaxLinks) return ForumFile();
      ForumFile link;
      if (!ForumUniqueLookup(root, StSubstr(path, at, dot - at), &link)) return ForumFile();
      if (!ForumFileIsLink(link)) return ForumFile();
      if (reached && !IsAtOrBelow(link, reached)) return ForumFile();
      prefix = StCat(std::move(prefix), ForumFileUniquePath(link));
      reached = ForumLinkOpen(link);
      if (!reached) return ForumFile();
      at = dot;
    }
    ForumFile result;
    if (!ForumPathLookup(root, StSubstr(path, at, path.Length() - at), &result))
      return ForumFile();
    if (links > 0) {
      if (!IsAtOrBelow(result, reached)) return ForumFile();
      result.Rec()->linkPrefix = prefix;
    }
    return result;
  }
  ForumFile result;
  if (!ForumPathLookup(root, path, &result)) return ForumFile();
  return result;
}

// ---------------------------------------------------------------------------
// Links.

namespace {
constexpr uint32_t kLinkKindBits =
    kForumFlagLinkFolder | kForumFlagLinkDiscussion | kForumFlagLinkContainer;

uint32_t LinkBits(const ForumFile& link) {
  MA_CHECK(ForumDebugFlag, ForumFileIsLink(link), "ForumLink--File");
  return ForumFileStoredFlags(link);
}
}  // namespace

bool ForumLinkIsFolder(const ForumFile& link) {
  return (LinkBits(link) & kForumFlagLinkFolder) != 0;
}
bool ForumLinkIsDiscussion(const ForumFile& link) {
  return (LinkBits(link) & kForumFlagLinkDiscussion) != 0;
}
bool ForumLinkIsContainer(const ForumFile& link) {
  return (LinkBits(link) & kForumFlagLinkContainer) != 0;
}
bool ForumLinkIsLink(const ForumFile& link) { return (LinkBits(link) & kLinkKindBits) == 0; }
bool ForumLinkShowDescription(const ForumFile& link) {
  return (LinkBits(link) & kForumFlagLinkDescription) != 0;
}
St ForumLinkUrl(const ForumFile& link) { return ForumFileUrl(link); }
void ForumLinkSetUrl(const ForumFile& link, St url) { ForumSetUrl(link, std::move(url)); }

ForumFile ForumLinkOpen(const ForumFile& link) {
  if (!ForumFileIsLink(link) || ForumLinkIsLink(link)) return ForumFile();
  St url = ForumLinkUrl(link);
  if (url.Empty() || url[0] != '.') return ForumFile();
  int32_t lastDot = StIndexLast(url, url.Length() - 1, '.');
  uint32_t last = 0;
  St lastPart = StSubstr(url, lastDot + 1, url.Length() - lastDot - 1);
  if (StHexStXfm(lastPart, &last) && int32_t(last) == ForumFileUniqueId(link)) return ForumFile();
  ForumFile target = ForumFileOpen(ForumFileRoot(link), url);
  if (!target) return ForumFile();
  bool fits = (ForumLinkIsFolder(link) && ForumFileIsCategory(target)) ||
              (ForumLinkIsDiscussion(link) && ForumFileIsForum(target)) ||
              (ForumLinkIsContainer(link) && ForumFileKind(target) == kForumKindShipCon);
  return fits ? target : ForumFile();
}

void ForumLinkSetType(const ForumFile& link, int kind) {
  uint32_t stored = LinkBits(link);
  bool wasFolder = (stored & kForumFlagLinkFolder) != 0;
  bool wasWeb = (stored & (kForumFlagLinkFolder | kForumFlagLinkDiscussion)) == 0;
  uint32_t bit = kind == kForumLinkFolder       ? kForumFlagLinkFolder
                 : kind == kForumLinkDiscussion ? kForumFlagLinkDiscussion
                 : kind == kForumLinkContainer  ? kForumFlagLinkContainer
                                                : 0;
  ForumSetFlags(link, (stored & ~kLinkKindBits) | bit);
  bool isFolder = bit == kForumFlagLinkFolder;
  bool isWeb = bit == 0 || bit == kForumFlagLinkContainer;
  ForumFile folder = ForumFileParent(link);
  if (!folder) return;
  if (wasFolder != isFolder)
    ForumSetLinkFolders(folder, ForumFileLinkFolders(folder) + (isFolder ? 1 : -1));
  if (wasWeb != isWeb) ForumSetLinkWebs(folder, ForumFileLinkWebs(folder) + (isWeb ? 1 : -1));
}

}  // namespace quil
