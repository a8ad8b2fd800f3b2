// Fuzz harness for the replayer.
//
// A real database is created once in a scratch directory; each input is
// replayed into it as a roll-forward log, and every 2,000 inputs the
// database goes back to its first state.  An input whose first byte is odd
// is read raw; otherwise each of its bytes picks a fragment of a change
// record (tags, attribute names, the identifiers the database holds,
// values good and bad), so that most runs reach the handlers.  A replay may
// fail; it must never halt or touch memory it should not.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Ch.h"
#include "Forum.h"
#include "FrmBk.h"
#include "Ht.h"
#include "Qu.h"
#include "Sgml.h"
#include "Store.h"
#include "Ut.h"

using namespace quil;

namespace {

const char* const kFragments[] = {
    "<f f=.ee6b280 ", "<f f=.ee6b284 ", "<f f=.ee6b285 ", "<f f=.ee6b286/0 ", "<f f=.ee6b286 ",
    "<u u=ee6b281 ", "<u u=ee6b284 ", "<u u=ee6b287 ", "<g g=ee6b288 ", "<g g=ee6b281 ",
    "<r ", "<s ", "<save id=abcdefghijk unique=ee6b2a0>", "<restart>", "<eof>", "<masterSave id=x>",
    "<d f=.ee6b280>", "<zap>", ">\r\n", ">", "\r\n", " ", "=", "\"", "/",
    "title=", "body=", "name=", "flags=", "inherits=", "sortSeq=", "date=", "createDate=",
    "author=", "banner=", "url=", "linkType=", "showAuthor", "showAuthor=0", "moveTo=",
    "destroy", "deleteItem=", "create=forum-topic", "create=forum-category", "create=forum-link",
    "create=bogus", "new=", "unique=", "parent=", "contentType=", "messageId=", "u=1 ", "u=2 ",
    "g=ee6b288 ", "enable=", "inhibit=", "enable", "clearAcc", "clearInhibit", "deletePermits",
    "create=", "createg=", "email=", "pwmd5=", "registered", "guest", "isSysop=1", "incLogin=",
    "picture=", "picture=2,2,1,00ff", "bio=", "maxData=", "lastLogin=", "field=", "value=",
    "field=LoginCount", "field=UrlBase", "add=", "remove=", "nextUnique=", "rollForward=",
    "backupCount=", "greeting=", "allowGuests=", "recentAdd=", "response", "save", "id=",
    "0", "1", "-1", "7", "ee6b280", "ee6b284", "ee6b286", "ee6b287", "ee6b288", "ee6b289",
    "ffffffff", "x", "\"a b\"", "\"\"", "01/02/2003.04:05:06", "13/45/2003.99:05:06",
    "&lt;", "&#09;", "&", "100", "40000000", "3:00", ".ee6b280", ".ee6b284", ".ee6b286",
    "2147483647", "-2147483648", "99999999999", "abc", "2,3", "0123456789abcdef0123456789abcdef",
};
constexpr size_t kFragmentCount = sizeof kFragments / sizeof kFragments[0];

std::string dir;
std::string pristine;
ForumRoot root = nullptr;
int runs = 0;

void OpenFresh() {
  if (root) {
    ForumDbCloseReadOnly(root);
    root = nullptr;
  }
  FILE* f = fopen("quil.db", "wb");
  fwrite(pristine.data(), 1, pristine.size(), f);
  fclose(f);
  ForumDbOpenOptions options;
  options.check = false;
  root = ForumDbOpenI("quil.db", &options);
  wfForumRoot = root;
}

void Setup() {
  // In memory when the machine has it: saves sync the file, which a disk
  // makes slow.
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string tmpl = base + "/quil-fuzz-replay-XXXXXX";
  if (!mkdtemp(tmpl.data())) abort();
  dir = tmpl;
  std::atexit([] { std::filesystem::remove_all(dir); });
  std::filesystem::current_path(dir);
  (void)UtInitRtns(kPkgInit, kPkgVersion);
  StoreRegisterTypes();
  (void)QuInitRtns(kPkgInit, kPkgVersion);
  if (ChInit(kPkgVersion, 512) != 0) abort();
  (void)ForumInitRtns(kPkgInit, kPkgVersion);
  (void)FrmBkInitRtns(kPkgInit, kPkgVersion);
  // A conference with a folder, a discussion with a message, a user and a
  // group, saved once.
  ForumDbOpenOptions options;
  root = ForumDbOpenI("quil.db", &options);
  wfForumRoot = root;
  ForumFile top = ForumTopFolder(root);
  St name;
  if (ForumCatItemCreate(top, StCStrXfm("forum-category"), StCStrXfm("a"), StCStrXfm("A"), 0,
                         false, &name) != 0)
    abort();
  if (ForumCatItemCreate(top, StCStrXfm("forum-topic"), StCStrXfm("x"), StCStrXfm("T"), 0, false,
                         &name) != 0)
    abort();
  ForumFile d = ForumFileHasChild(top, name);
  int32_t index = 0;
  ForumItemCreate(d, 0, StCStrXfm("t"), StCStrXfm("text"), StCStrXfm("b"), -1, true, &index);
  ChHandle user = 0, group = 0;
  (void)ForumUserCreate(root, kForumUserRegistered, StCStrXfm("Jo Smith"), St(), St(), &user);
  (void)ForumGroupCreate(root, StCStrXfm("staff"), &group);
  top = d = ForumFile();
  ForumDbCloseI(root);
  root = nullptr;
  FILE* f = fopen("quil.db", "rb");
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) pristine.append(buf, n);
  fclose(f);
  OpenFresh();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    Setup();
    return true;
  }();
  (void)ready;
  if (++runs % 2000 == 0) OpenFresh();
  std::string text;
  if (size > 0 && data[0] % 2 == 1) {
    text.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else {
    for (size_t i = 1; i < size; ++i) text += kFragments[data[i] % kFragmentCount];
  }
  SgmlStringSource source(text);
  St expected = size > 1 && data[0] % 4 == 2 ? StCStrXfm("abcdefghijk") : St();
  (void)FrmBkRollForwardEx(root, &source, expected);
  return 0;
}
