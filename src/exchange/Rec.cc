// Change records: building one line of tagged text and routing it.
#include "Rec.h"

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

RecBuilder::RecBuilder(std::string_view tag) {
  BufOpenSmall(buf_);
  BufAddChar(buf_, '<');
  BufAddView(buf_, tag);
}

void RecBuilder::Name(std::string_view name) {
  ++attributes_;
  MA_CHECK(true, attributes_ <= kRecMaxAttributes, "RecBuilder--too many attributes");
  BufAddChar(buf_, ' ');
  BufAddView(buf_, name);
}

RecBuilder& RecBuilder::Attr(std::string_view name, St value) {
  Name(name);
  if (value.IsNil()) return *this;  // nil: the name alone
  BufAddChar(buf_, '=');
  BufAddS(buf_, ForumEiValue(std::move(value)));
  return *this;
}

RecBuilder& RecBuilder::Attr(std::string_view name, std::string_view value) {
  return Attr(name, StFromView(value));
}

RecBuilder& RecBuilder::Int(std::string_view name, int64_t value) {
  Name(name);
  BufAddChar(buf_, '=');
  BufAddInt(buf_, value);
  return *this;
}

RecBuilder& RecBuilder::Hex(std::string_view name, uint32_t value) {
  Name(name);
  BufAddChar(buf_, '=');
  BufAddS(buf_, ForumEiHex(value));
  return *this;
}

RecBuilder& RecBuilder::Date(std::string_view name, const LgDbTd& value) {
  Name(name);
  BufAddChar(buf_, '=');
  BufAddS(buf_, ForumEiTdToSt(value));
  return *this;
}

RecBuilder& RecBuilder::Flag(std::string_view name) {
  Name(name);
  return *this;
}

St RecBuilder::Close() {
  BufAddC(buf_, ">\r\n");
  return BufClose(buf_);
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
  return RecSend(root, r.Close());
}

uint16_t RecFile(const ForumFile& file, std::string_view name, St value) {
  ForumRoot root = ForumFileRoot(file);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Attr("f", RecPathOf(file)).Attr(name, std::move(value));
  return RecSend(root, r.Close());
}

uint16_t RecForumItem(const ForumFile& file, int32_t itemNumber, std::string_view name,
                      St value) {
  ForumRoot root = ForumFileRoot(file);
  if (!RootNeedsSend(root)) return 0;
  St path = RecPathOf(file);
  if (itemNumber >= 0) path = StFromView(path.Str() + "/" + std::to_string(itemNumber));
  RecBuilder r("f");
  r.Attr("f", std::move(path)).Attr(name, std::move(value));
  return RecSend(root, r.Close());
}

uint16_t RecUser(ForumRoot root, ChHandle user, std::string_view name, St value) {
  if (!RootNeedsUserSend(root)) return 0;
  RecBuilder r("u");
  r.Attr("u", RecPrincipal(root, user)).Attr(name, std::move(value));
  return RecSend(root, r.Close());
}

uint16_t RecSysop(ForumRoot root, std::string_view name, St value) {
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("s");
  r.Attr(name, std::move(value));
  return RecSend(root, r.Close());
}

uint16_t RecGroupItemAdd(ForumRoot root, ChHandle group, ChHandle member) {
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("g");
  r.Attr("g", RecPrincipal(root, group)).Attr("add", RecPrincipal(root, member));
  return RecSend(root, r.Close());
}

uint16_t RecFileItemCreate(const ForumFile& folder, const St& type, const St& name,
                           const St& title, ChHandle author, int32_t unique, const LgDbTd& date,
                           uint32_t flags) {
  ForumRoot root = ForumFileRoot(folder);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Attr("f", RecPathOf(folder)).Attr("create", type).Attr("name", name);
  if (!title.IsNil()) r.Attr("title", title);
  if (author != 0) r.Attr("author", RecPrincipal(root, author));
  r.Hex("unique", uint32_t(unique)).Date("date", date);
  if (flags != 0) r.Hex("flags", flags);
  return RecSend(root, r.Close());
}

uint16_t RecForumItemCreate(const ForumFile& discussion, int32_t index, int32_t unique,
                            ChHandle author, const St& title, const St& contentType,
                            int32_t replyTo, const LgDbTd& date, const St& body) {
  ForumRoot root = ForumFileRoot(discussion);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Attr("f", RecPathOf(discussion)).Int("new", index).Hex("unique", uint32_t(unique));
  if (author != 0) r.Attr("author", RecPrincipal(root, author));
  if (!title.Empty()) r.Attr("title", title);
  if (!contentType.Empty()) r.Attr("contentType", contentType);
  if (replyTo >= 0) r.Int("parent", replyTo);
  r.Date("date", date).Attr("body", body);
  return RecSend(root, r.Close());
}

uint16_t RecUserCreate(ForumRoot root, int32_t id, int kind, const St& name, const St& email,
                       const St& digest) {
  if (!RootNeedsUserSend(root)) return 0;
  RecBuilder r("u");
  r.Hex("create", uint32_t(id)).Attr("name", name);
  if (!email.IsNil()) r.Attr("email", email);
  if (!digest.IsNil()) r.Attr("pwmd5", StToHex(digest));
  r.Flag(kind == kForumUserGuest ? "guest" : "registered");
  return RecSend(root, r.Close());
}

uint16_t RecGroupCreate(ForumRoot root, int32_t id, const St& name) {
  if (!RootNeedsUserSend(root)) return 0;
  RecBuilder r("u");
  r.Hex("createg", uint32_t(id)).Attr("name", name);
  return RecSend(root, r.Close());
}

uint16_t RecFileAcc(const ForumFile& item, std::string_view what, ChHandle principal,
                    uint32_t mask) {
  ForumRoot root = ForumFileRoot(item);
  if (!RootNeedsSend(root)) return 0;
  RecBuilder r("f");
  r.Attr("f", RecPathOf(item));
  if (principal != 0) {
    bool group = ForumIsRecordPrincipal(principal) &&
                 ForumUserGetType(root, principal) == kForumUserGroup;
    r.Attr(group ? "g" : "u", RecPrincipal(root, principal)).Hex(what, mask);
  } else {
    r.Flag(what);
  }
  return RecSend(root, r.Close());
}

}  // namespace quil
