// Paths: name paths, unique paths, chained link paths, and links.
#include "ForumInt.h"
#include "Ma.h"

namespace quil {

St ForumLinksEnd;

namespace {

// True when a lies at or below b (following parents up from a).
bool IsAtOrBelow(const ForumFile& a, const ForumFile& b) {
  for (ForumFileRec* f = a.Rec(); f; f = f->parent) {
    if (f == b.Rec()) return true;
  }
  return false;
}

// Walks the names of rest ("a/b/c", URL-quoted) down from start.  An empty
// name fails the walk.  Links met on the way are followed, each adding its
// unique path to the link prefix of the handle (ForumLinkOpen); a link back
// to the current folder or one of its ancestors ends the walk there.
bool WalkNames(ForumFile start, const St& rest, ForumFile* out) {
  ForumFile current = std::move(start);
  std::string_view names = rest.View();
  for (size_t at = 0; !names.empty();) {
    size_t end = names.find('/', at);
    std::string_view name =
        names.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    if (name.empty()) return false;
    ForumFile child = ForumFileHasChild(current, StFromUrlQuote(StFromView(name)));
    if (!child) return false;
    if (ForumFileIsLink(child) && !ForumLinkIsLink(child)) {
      ForumFile target = ForumLinkOpen(child);
      if (!target) return false;
      if (IsAtOrBelow(current, target)) break;
      current = std::move(target);
    } else {
      current = std::move(child);
    }
    if (end == std::string_view::npos) break;
    at = end + 1;
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

bool UniqueLookup(ForumRoot root, const St& path, ForumFile* out) {
  uint32_t id = 0;
  St rest;
  if (!SplitUnique(path, &id, &rest)) return false;
  ForumFile start = ForumFileOpenUnique(root, int32_t(id));
  if (!start) return false;
  return WalkNames(std::move(start), rest, out);
}

bool PathLookup(ForumRoot root, const St& path, ForumFile* out) {
  St p = path;
  if (p.Length() >= 2 && p[p.Length() - 1] == '/') p = StSubstr(p, 0, p.Length() - 1);
  if (p.Length() >= 3 && p.View().substr(size_t(p.Length() - 3)) == "/-1")
    p = StSubstr(p, 0, p.Length() - 3);
  if (p.Empty()) return false;
  if (p[0] == '.') return UniqueLookup(root, p, out);
  if (p[0] != '/') return ForumNewsgroupLookup(root, p, out);
  St rest = StSubstr(p, 1, p.Length() - 1);
  return WalkNames(root->top, rest, out);
}

// The chained form: ".link1.link2.target/names".  Each leading part must be
// a link lying below the target of the link before it; the final part must
// lie below the last link's target.
bool ChainedLookup(ForumRoot root, const St& path, ForumFile* out) {
  int32_t slash = StIndex(path, 0, '/');
  int32_t end = slash < 0 ? path.Length() : slash;
  int32_t at = 0;
  ForumFile reached;  // the target of the last link passed
  St prefix = StCreate();
  int links = 0;
  for (;;) {
    int32_t dot = StIndex(path, at + 1, '.');
    if (dot < 0 || dot >= end) break;
    if (++links > kForumMaxLinks) return false;
    ForumFile link;
    if (!UniqueLookup(root, StSubstr(path, at, dot - at), &link)) return false;
    if (!ForumFileIsLink(link)) return false;
    if (reached && !IsAtOrBelow(link, reached)) return false;
    prefix = StCat(std::move(prefix), ForumUniquePathOf(ForumFileUniqueId(link)));
    reached = ForumLinkOpen(link);
    if (!reached) return false;
    at = dot;
  }
  ForumFile result;
  if (!PathLookup(root, StSubstr(path, at, path.Length() - at), &result)) return false;
  if (links > 0) {
    if (!IsAtOrBelow(result, reached)) return false;
    result.SetLinkPrefix(StCat(std::move(prefix), result.LinkPrefix()));
  }
  *out = std::move(result);
  return true;
}

}  // namespace

bool ForumUniqueLookup(ForumRoot root, const St& path, ForumFile* out) {
  ForumFile found;
  bool ok = UniqueLookup(root, path, &found);
  ForumLinksEnd = ok ? found.LinkPrefix() : St();
  if (ok) *out = std::move(found);
  return ok;
}

bool ForumPathLookup(ForumRoot root, const St& path, ForumFile* out) {
  ForumFile found;
  bool ok = PathLookup(root, path, &found);
  ForumLinksEnd = ok ? found.LinkPrefix() : St();
  if (ok) *out = std::move(found);
  return ok;
}

ForumFile ForumFileOpen(ForumRoot root, const St& path) {
  ForumFile result;
  bool ok = !path.IsNil() && StIndex(path, 0, ' ') < 0 &&
            (path.Length() > 0 && path[0] == '.' ? ChainedLookup(root, path, &result)
                                                 : PathLookup(root, path, &result));
  ForumLinksEnd = ok ? result.LinkPrefix() : St();
  return ok ? result : ForumFile();
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

St ForumLinkTitle(const ForumFile& link) {
  (void)LinkBits(link);
  return ForumFileTitle(link);
}
void ForumLinkSetTitle(const ForumFile& link, St title) {
  (void)LinkBits(link);
  ForumSetTitle(link, std::move(title));
}
St ForumLinkHtml(const ForumFile& link) {
  (void)LinkBits(link);
  return ForumFileHtml(link);
}
void ForumLinkSetHtml(const ForumFile& link, St html) {
  (void)LinkBits(link);
  ForumSetHtml(link, std::move(html));
}

ForumFile ForumLinkOpen(const ForumFile& link) {
  if (!ForumFileIsLink(link) || ForumLinkIsLink(link)) return ForumFile();
  St url = ForumLinkUrl(link);
  if (url.Empty() || url[0] != '.') return ForumFile();
  int32_t lastDot = StIndexLast(url, url.Length() - 1, '.');
  uint32_t last = 0;
  St lastPart = StSubstr(url, lastDot + 1, url.Length() - lastDot - 1);
  if (StHexStXfm(lastPart, &last) && int32_t(last) == ForumFileUniqueId(link)) return ForumFile();
  ForumFile target;
  if (!ChainedLookup(ForumFileRoot(link), url, &target)) return ForumFile();
  bool fits = (ForumLinkIsFolder(link) && ForumFileIsCategory(target)) ||
              (ForumLinkIsDiscussion(link) && ForumFileIsForum(target)) ||
              (ForumLinkIsContainer(link) && ForumFileKind(target) == kForumKindShipCon);
  if (!fits) return ForumFile();
  // The target is reached through the links the link was reached through,
  // and through the link itself.
  target.SetLinkPrefix(StCat(StCat(link.LinkPrefix(), ForumUniquePathOf(ForumFileUniqueId(link))),
                             target.LinkPrefix()));
  return target;
}

uint32_t ForumLinkCountBit(uint32_t flags) {
  if (flags & kForumFlagLinkFolder) return kForumFlagLinkFolder;
  if (flags & kForumFlagLinkDiscussion) return 0;
  return kForumFlagLinkContainer;  // web addresses and containers: LinkWebs
}

void ForumLinkCount(ForumRoot root, ChHandle folder, uint32_t flags, int32_t delta) {
  if (!LgDbRecHasField(folder, root->f.LinkFolders)) LgDbRecPutInt(folder, root->f.LinkFolders, 0);
  if (!LgDbRecHasField(folder, root->f.LinkWebs)) LgDbRecPutInt(folder, root->f.LinkWebs, 0);
  uint32_t bit = ForumLinkCountBit(flags);
  if (bit == kForumFlagLinkFolder) (void)LgDbRecPlusInt(folder, root->f.LinkFolders, delta);
  if (bit == kForumFlagLinkContainer) (void)LgDbRecPlusInt(folder, root->f.LinkWebs, delta);
}

void ForumLinkSetType(const ForumFile& link, int kind) {
  uint32_t stored = LinkBits(link);
  uint32_t bit = kind == kForumLinkFolder       ? kForumFlagLinkFolder
                 : kind == kForumLinkDiscussion ? kForumFlagLinkDiscussion
                 : kind == kForumLinkContainer  ? kForumFlagLinkContainer
                                                : 0;
  uint32_t flags = (stored & ~kLinkKindBits) | bit;
  ForumSetFlags(link, flags);
  ForumFile folder = ForumFileParent(link);
  if (!folder || ForumLinkCountBit(stored) == ForumLinkCountBit(flags)) return;
  ForumRoot root = ForumFileRoot(link);
  ForumLinkCount(root, ForumFileRecord(folder), stored, -1);
  ForumLinkCount(root, ForumFileRecord(folder), flags, 1);
  ForumFileChanged(folder);
}

}  // namespace quil
