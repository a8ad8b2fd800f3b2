// Pictures: a user's picture by name (27) or by unique identifier (31),
// the site's default picture (30), the picture of a message's author (43),
// and the picture a user uploads with the preferences form.
//
// A picture is served as its bytes with the Content-type its signature
// names (image/gif, image/jpeg).  Whoever has no picture (an unknown name,
// a user without one, a malformed location) gets the default picture, so
// that an <img> on a page never breaks; a site without a default picture
// gets a blank GIF of one pixel.
//
// UPLOADS.  The file of the form field "picture" (multipart/form-data) is
// taken when it is a GIF or a JPEG whose dimensions can be read (the GIF
// reader and libjpeg of Img.h), of at most kPictureMaxBytes bytes and
// kPictureMaxSide pixels a side; it is stored with its own dimensions and
// the format 1 (GIF) or 2 (JPEG), and the user's PictureRev goes up so that
// pages can tell a new picture from the old one.  Pages show pictures at
// the sysop's user-picture size; the limits here only keep the record and
// every page that embeds it small.
#include <string_view>

#include "CgiInt.h"
#include "FrmBk.h"
#include "Img.h"

namespace quil {

namespace {

constexpr int32_t kPictureMaxBytes = 256 * 1024;
constexpr int32_t kPictureMaxSide = 1024;
constexpr int32_t kFormatGif = 1;
constexpr int32_t kFormatJpeg = 2;

// A transparent GIF of one pixel.
constexpr uint8_t kBlankGif[] = {'G',  'I',  'F',  '8',  '9',  'a', 1, 0, 1, 0, 0x80, 0,    0,
                                 0xff, 0xff, 0xff, 0,    0,    0,   0x21, 0xf9, 4, 1, 0, 0, 0,
                                 0,    0x2c, 0,    0,    0,    0,   1,    0,    1, 0, 0, 2, 2,
                                 0x44, 1,    0,    0x3b};

void Serve(CgiRequest& r, const St& data) {
  BufOpen(r.page);
  BufAddS(r.page, data);
  r.html = false;
  r.pageComplete = true;
  switch (ImgKindOf(data)) {
    case ImgKind::kGif: r.contentType = StCStrXfm("image/gif"); break;
    case ImgKind::kJpeg: r.contentType = StCStrXfm("image/jpeg"); break;
    case ImgKind::kPng: r.contentType = StCStrXfm("image/png"); break;
    case ImgKind::kBmp: r.contentType = StCStrXfm("image/bmp"); break;
    default: r.contentType = StCStrXfm("application/octet-stream"); break;
  }
}

void ServeDefault(CgiRequest& r) {
  LgDbPicture picture;
  if (r.root) {
    ChHandle rec = ForumRootSysopRec(r.root);
    ChHandle field = rec ? LgDbFieldIdLookup(rec, StCStrXfm("UserPicture")) : 0;
    if (field && LgDbRecGetPicture(rec, field, &picture) && !picture.data.Empty())
      return Serve(r, picture.data);
  }
  Serve(r, StCreateLen(kBlankGif, sizeof kBlankGif));
}

void ServeUser(CgiRequest& r, ChHandle user) {
  LgDbPicture picture;
  int type = user && r.root ? ForumUserGetType(r.root, user) : kForumUserNone;
  if ((type == kForumUserRegistered || type == kForumUserGuest) &&
      ForumUserPicture(r.root, user, &picture) && !picture.data.Empty())
    return Serve(r, picture.data);
  ServeDefault(r);
}

// The location without a leading "/" (templates write "27@@Name" and
// "31@@id"; a "/" in front is taken as well).
St Bare(const St& location) {
  if (!location.Empty() && location[0] == '/') return StSubstr(location, 1, location.Length() - 1);
  return location.IsNil() ? StCreate() : location;
}

// A unique identifier as links write it: lower-case hexadecimal, a "."
// in front allowed.  0 when the text is none.
int32_t IdFromText(std::string_view v) {
  if (!v.empty() && v[0] == '.') v.remove_prefix(1);
  if (v.empty() || v.size() > 8) return 0;
  uint32_t out = 0;
  for (char c : v) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return 0;
    out = out * 16 + uint32_t(d);
  }
  return int32_t(out);
}

// The author of the message the location names: a path that opens as the
// message, else a discussion and the message's number (as the location
// display reads them).  0 when there is none.
ChHandle MessageAuthor(const CgiRequest& r) {
  if (!r.root || r.location.Empty()) return 0;
  ForumFile item = CgiOpenLocation(r.root, r.location);
  if (item) return ForumFileIsMessage(item) ? ForumFileUser(item) : 0;
  std::string_view loc = r.location.View();
  size_t slash = loc.rfind('/');
  if (slash == std::string_view::npos) return 0;
  std::string_view last = loc.substr(slash + 1);
  if (last.empty() || last.size() > 9) return 0;
  for (char c : last)
    if (c < '0' || c > '9') return 0;
  int32_t number = 0;
  if (!StIntStXfm(StFromView(last), &number)) return 0;
  ForumFile discussion = CgiOpenLocation(r.root, StFromView(loc.substr(0, slash)));
  if (!discussion || !ForumFileIsForum(discussion)) return 0;
  int32_t end = ForumFileCount(discussion);
  for (int32_t k = 0; k < end; ++k)
    if (ForumItemRec(discussion, k) && ForumItemNumber(discussion, k) == number)
      return ForumItemAuthor(discussion, k);
  return 0;
}

}  // namespace

void CgiActUserPicture(CgiRequest& r) {
  St name = Bare(r.location);
  ServeUser(r, name.Empty() || !r.root ? 0 : ForumUserLookup(r.root, name));
}

void CgiActDefaultPicture(CgiRequest& r) { ServeDefault(r); }

void CgiActUserPictureI(CgiRequest& r) {
  int32_t id = IdFromText(Bare(r.location).View());
  ServeUser(r, id != 0 && r.root ? ForumRecFromUniqueId(r.root, id) : 0);
}

void CgiActGuestPicture(CgiRequest& r) { ServeUser(r, MessageAuthor(r)); }

St CgiPrefsPicture(CgiRequest& r) {
  const CgiUpload* upload = nullptr;
  for (const CgiUpload& u : r.uploads)
    if (u.name.View() == "picture" && !u.data.Empty()) upload = &u;
  if (!upload) {
    if (CkIsChecked(r.form, "clearPicture")) {
      LgDbPicture none;
      if (ForumUserPicture(r.root, r.user, &none) && !none.data.Empty()) {
        FrmBkUserSetPicture(r.root, r.user, LgDbPicture{});
        FrmBkUserSetPictureRev(r.root, r.user, ForumUserPictureRev(r.root, r.user) + 1);
      }
    }
    return St();
  }
  if (upload->data.Length() > kPictureMaxBytes)
    return StCStrXfm("The picture is too large: it may have at most 262144 bytes.");
  ImgKind kind = ImgKindOf(upload->data);
  if (kind != ImgKind::kGif && kind != ImgKind::kJpeg)
    return StCStrXfm("The picture must be a GIF or a JPEG file.");
  ImgSize size;
  if (!ImgSizeOf(upload->data, &size) || size.width <= 0 || size.height <= 0)
    return StCStrXfm("The picture could not be read.");
  if (size.width > kPictureMaxSide || size.height > kPictureMaxSide)
    return StCStrXfm("The picture is too large: it may be at most 1024 pixels a side.");
  LgDbPicture picture;
  picture.width = size.width;
  picture.height = size.height;
  picture.format = kind == ImgKind::kGif ? kFormatGif : kFormatJpeg;
  picture.data = upload->data;
  FrmBkUserSetPicture(r.root, r.user, picture);
  FrmBkUserSetPictureRev(r.root, r.user, ForumUserPictureRev(r.root, r.user) + 1);
  return St();
}

}  // namespace quil
