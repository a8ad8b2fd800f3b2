// Change records: building one line of tagged text and routing it.
#include "Rec.h"

#include <cstdio>
#include <vector>

#include "ForumEi.h"
#include "ForumUser.h"
#include "FrmBkInt.h"
#include "Ma.h"

namespace quil {

namespace {

std::unique_ptr<RecRoutes>& RouteSlot() {
  static std::unique_ptr<RecRoutes> routes;
  return routes;
}

}  // namespace

RecRoutes* frmbk::Routes() { return RouteSlot().get(); }

void RecSetRoutes(std::unique_ptr<RecRoutes> routes) {
  MA_CHECK(true, !RouteSlot() || !routes, "RecSetRoutes--twice");
  RouteSlot() = std::move(routes);
}

bool RootNeedsSend(ForumRoot root) {
  return ForumLogSinkOf(root) != nullptr || (RouteSlot() && RouteSlot()->Needed(root, false));
}

bool RootNeedsUserSend(ForumRoot root) {
  return ForumLogSinkOf(root) != nullptr || (RouteSlot() && RouteSlot()->Needed(root, true));
}

// ---------------------------------------------------------------------------
// Building.

namespace {

// The buffers of RecBuilder, one per nesting level.
thread_local std::vector<std::unique_ptr<std::string>> builderBuffers;
thread_local size_t builderDepth = 0;

}  // namespace

RecBuilder::RecBuilder(std::string_view tag) {
  if (builderBuffers.size() <= builderDepth)
    builderBuffers.push_back(std::make_unique<std::string>());
  out_ = builderBuffers[builderDepth++].get();
  out_->clear();
  out_->push_back('<');
  out_->append(tag);
}

RecBuilder::~RecBuilder() { --builderDepth; }

void RecBuilder::Name(std::string_view name) {
  ++attributes_;
  MA_CHECK(true, attributes_ <= kRecMaxAttributes, "RecBuilder--too many attributes");
  out_->push_back(' ');
  out_->append(name);
}

RecBuilder& RecBuilder::Attr(std::string_view name, St value) {
  Name(name);
  if (value.IsNil()) return *this;  // nil: the name alone
  out_->push_back('=');
  ForumEiAddValue(*out_, value.View());
  return *this;
}

RecBuilder& RecBuilder::Attr(std::string_view name, std::string_view value) {
  Name(name);
  out_->push_back('=');
  ForumEiAddValue(*out_, value);
  return *this;
}

RecBuilder& RecBuilder::Int(std::string_view name, int64_t value) {
  Name(name);
  out_->push_back('=');
  char digits[24];
  int n = 0;
  uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
  do {
    digits[n++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) out_->push_back('-');
  while (n > 0) out_->push_back(digits[--n]);
  return *this;
}

namespace {
// Hexadecimal without leading zeros, in place.
void AddHex(std::string& out, uint32_t value) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 15];
    value >>= 4;
  } while (value != 0);
  for (int i = n - 1; i >= 0; --i) out.push_back(digits[i]);
}
}  // namespace

RecBuilder& RecBuilder::Hex(std::string_view name, uint32_t value) {
  Name(name);
  out_->push_back('=');
  AddHex(*out_, value);
  return *this;
}

RecBuilder& RecBuilder::Path(std::string_view name, const ForumFile& file, int32_t message) {
  Name(name);
  out_->append("=.");
  if (ForumFileIsMessage(file)) {
    AddHex(*out_, uint32_t(ForumFileUniqueId(ForumFileParent(file))));
    out_->push_back('/');
    out_->append(ForumFileName(file).View());
  } else {
    AddHex(*out_, uint32_t(ForumFileUniqueId(file)));
  }
  if (message >= 0) {
    out_->push_back('/');
    out_->append(std::to_string(message));
  }
  return *this;
}

RecBuilder& RecBuilder::Date(std::string_view name, const LgDbTd& value) {
  Name(name);
  out_->push_back('=');
  out_->append(ForumEiTdToSt(value).View());
  return *this;
}

RecBuilder& RecBuilder::Flag(std::string_view name) {
  Name(name);
  return *this;
}

St RecBuilder::Close() {
  out_->append(">\r\n");
  return StFromView(*out_);
}

uint16_t RecBuilder::Send(ForumRoot root) {
  out_->append(">\r\n");
  return frmbk::SendView(root, *out_);
}

// ---------------------------------------------------------------------------
// Routing.

uint16_t RecSendDual(ForumRoot root, const St& localText, const St& remoteText) {
  bool user = localText.View().substr(0, 3) == "<u ";
  if (RouteSlot() && RouteSlot()->Needed(root, user) && RouteSlot()->Route(root, remoteText, user))
    return 0;
  ForumLogSink* sink = ForumLogSinkOf(root);
  if (!sink) return 0;
  uint16_t status = sink->Append(localText.View());
  if (status == 0) (void)frmbk::CountRecord();
  return status;
}

uint16_t frmbk::SendView(ForumRoot root, std::string_view text) {
  // The routes take texts; without them the record goes to the log as it is.
  if (RouteSlot()) {
    St st = StFromView(text);
    return RecSendDual(root, st, st);
  }
  ForumLogSink* sink = ForumLogSinkOf(root);
  if (!sink) return 0;
  uint16_t status = sink->Append(text);
  if (status == 0) (void)CountRecord();
  return status;
}

St RecPathOf(const ForumFile& file) {
  if (ForumFileIsMessage(file)) {
    ForumFile discussion = ForumFileParent(file);
    return StFromView(ForumUniquePathOf(ForumFileUniqueId(discussion)).Str() + "/" +
                      ForumFileName(file).Str());
  }
  return ForumUniquePathOf(ForumFileUniqueId(file));
}

St RecPrincipal(ForumRoot root, ChHandle principal) {
  if (principal == kForumAccAllUsers) return StCStrXfm("1");
  if (principal == kForumAccAllGuests) return StCStrXfm("2");
  if (principal == 0) return StCreate();
  return ForumEiHex(uint32_t(ForumUniqueIdFromRec(root, principal)));
}

// ---------------------------------------------------------------------------
// Writers.

uint16_t RecRoot(ForumRoot root, std::string_view name, St value) {
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("r");
  r.Attr(name, std::move(value));
  return r.Send(root);
}

uint16_t RecFile(const ForumFile& file, std::string_view name, St value) {
  ForumRoot root = ForumFileRoot(file);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Path("f", file).Attr(name, std::move(value));
  return r.Send(root);
}

uint16_t RecForumItem(const ForumFile& file, int32_t itemNumber, std::string_view name,
                      St value) {
  ForumRoot root = ForumFileRoot(file);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Path("f", file, itemNumber).Attr(name, std::move(value));
  return r.Send(root);
}

uint16_t RecUser(ForumRoot root, ChHandle user, std::string_view name, St value) {
  if (!RootNeedsUserSend(root)) return 0;
  RecBuilder r("u");
  r.Attr("u", RecPrincipal(root, user)).Attr(name, std::move(value));
  return r.Send(root);
}

uint16_t RecSysop(ForumRoot root, std::string_view name, St value) {
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("s");
  r.Attr(name, std::move(value));
  return r.Send(root);
}

uint16_t RecGroupItemAdd(ForumRoot root, ChHandle group, ChHandle member) {
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("g");
  r.Attr("g", RecPrincipal(root, group)).Attr("add", RecPrincipal(root, member));
  return r.Send(root);
}

uint16_t RecFileItemCreate(const ForumFile& folder, const St& type, const St& name,
                           const St& title, ChHandle author, int32_t unique, const LgDbTd& date,
                           uint32_t flags) {
  ForumRoot root = ForumFileRoot(folder);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Path("f", folder).Attr("create", type).Attr("name", name);
  if (!title.IsNil()) r.Attr("title", title);
  if (author != 0) r.Attr("author", RecPrincipal(root, author));
  r.Hex("unique", uint32_t(unique)).Date("date", date);
  if (flags != 0) r.Hex("flags", flags);
  return r.Send(root);
}

uint16_t RecForumItemCreate(const ForumFile& discussion, int32_t index, int32_t unique,
                            ChHandle author, const St& title, const St& contentType,
                            int32_t replyTo, const LgDbTd& date, const St& body) {
  ForumRoot root = ForumFileRoot(discussion);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Path("f", discussion).Int("new", index).Hex("unique", uint32_t(unique));
  if (author != 0) r.Attr("author", RecPrincipal(root, author));
  if (!title.Empty()) r.Attr("title", title);
  // "text" is what a message without a content type has.
  if (!contentType.Empty() && contentType.View() != "text") r.Attr("contentType", contentType);
  if (replyTo >= 0) r.Int("parent", replyTo);
  r.Date("date", date).Attr("body", body);
  return r.Send(root);
}

uint16_t RecAddModerated(const ForumFile& target, int32_t replyTo, int32_t position, int type,
                         int32_t unique, ChHandle author, const St& title, const St& body,
                         bool showAuthor, const St& contentType, const St& other) {
  ForumRoot root = ForumFileRoot(target);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Path("f", target, replyTo).Int("moderated", position).Int("type", type);
  r.Hex("unique", uint32_t(unique)).Attr("title", title).Attr("body", body);
  r.Attr("contentType", contentType);
  if (author != 0) r.Attr("author", RecPrincipal(root, author));
  if (showAuthor) r.Flag("showAuthor");
  if (!other.Empty()) r.Attr("other", other);
  return r.Send(root);
}

uint16_t RecUserCreate(ForumRoot root, int32_t id, int kind, const St& name, const St& email,
                       const St& digest) {
  if (!RootNeedsUserSend(root)) return 0;
  RecBuilder r("u");
  r.Hex("create", uint32_t(id)).Attr("name", name);
  if (!email.IsNil()) r.Attr("email", email);
  if (!digest.IsNil()) r.Attr("pwmd5", StToHex(digest));
  r.Flag(kind == kForumUserGuest ? "guest" : "registered");
  return r.Send(root);
}

uint16_t RecGroupCreate(ForumRoot root, int32_t id, const St& name) {
  if (!RootNeedsUserSend(root)) return 0;
  RecBuilder r("u");
  r.Hex("createg", uint32_t(id)).Attr("name", name);
  return r.Send(root);
}

uint16_t RecFileAcc(const ForumFile& item, std::string_view what, ChHandle principal,
                    uint32_t mask) {
  ForumRoot root = ForumFileRoot(item);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Path("f", item);
  if (principal != 0) {
    bool group = ForumIsRecordPrincipal(principal) &&
                 ForumUserGetType(root, principal) == kForumUserGroup;
    r.Attr(group ? "g" : "u", RecPrincipal(root, principal)).Hex(what, mask);
  } else {
    r.Flag(what);
  }
  return r.Send(root);
}

}  // namespace quil
