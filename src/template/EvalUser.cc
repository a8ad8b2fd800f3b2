// Keywords of users, authors and groups: the current user (userName ...),
// the author of the current item (authorName ...), the user methods whose
// receiver is a user's unique identifier (.userName, .setUserEmail ...),
// certificates and groups.
//
// A user in a template is its unique identifier: an integer, or its text in
// hexadecimal (a leading "." allowed), which is what userLookup,
// userUniqueId and the other keywords that name a user give.  userGuests
// and userOthers are the general principals of access lists (all guests,
// all registered users).  Names are shown "First Last".
#include <random>

#include "Auth.h"
#include "ForumAcc.h"
#include "ForumUser.h"
#include "Td.h"
#include "TemplateInt.h"

namespace quil {

namespace {

// What a user getter reads (the selector of the handler).
enum UserSel : int32_t {
  kName, kEmail, kEmailCode, kForwardTo, kUniqueId, kHomePage,
  kChatPreference, k2ndLine, kBio, kUrlsRaw, kUrls, kApop, kAlias,
  kLastLogin, kDate, kLogoutTime, kMaxData, kMaxMessages, kRespNameSize,
  kRespInfoSize, kRespBodySize, kFolderSortBy, kHasRespNameSize,
  kHasRespInfoSize, kHasRespBodySize, kShowPictures, kPictBorder,
  kShowPrepared, kThreading, kReplyTo, kSummaryButton, kThreadingBySite,
  kCheckRemoteAddr, kIsSysop, kIsHost, kIsHostOrSysop, kIsGuest,
  kIsRegistered, kIsUnknown, kIsProvisional, kHasPicture, kUseCookies,
  kAwayHours, kPicture, kInfoUrl, kPostCount, kSubscriptionCount,
};

constexpr int kCmdUserInfoById = 135;
constexpr int kCmdDefaultPicture = 30;
constexpr int kCmdPictureById = 31;

bool Flag(ForumRoot root, ChHandle u, uint32_t bit) {
  return (ForumUserFlags(root, u) & bit) != 0;
}

St Urls(ForumRoot root, ChHandle u) {
  St raw = ForumUserUrls(root, u);
  std::string out;
  std::string_view v = raw.View();
  while (!v.empty()) {
    size_t nl = v.find_first_of("\r\n");
    std::string_view line = v.substr(0, nl);
    v.remove_prefix(nl == std::string_view::npos ? v.size() : nl + 1);
    while (!line.empty() && StCharIsWhiteSpace(uint8_t(line.back())))
      line.remove_suffix(1);
    if (line.empty()) continue;
    St escaped = StToSgml(StFromView(line));
    if (!out.empty()) out += "<br>";
    out += "<a href=\"";
    out += escaped.View();
    out += "\">";
    out += escaped.View();
    out += "</a>";
  }
  return StFromView(out);
}

bool HostHere(ExprContext& ctx, ChHandle u) {
  return ctx.path && ForumIsRecordPrincipal(u) &&
         ForumAccOpCk(ctx.path, u, kForumAccHost);
}

// One value of user u (0: nobody) into the call's result.
void UserValue(ExprCall& c, ForumRoot root, ChHandle u, int32_t sel) {
  ExprContext& ctx = c.Context();
  if (sel == kName)
    return c.Return(ForumIsRecordPrincipal(u) ? TemplateFactUserName(ctx, u)
                                              : StCreate());
  bool real = ForumIsRecordPrincipal(u) &&
              ForumUserGetType(root, u) != kForumUserNone;
  LgDbTd td;
  switch (sel) {
    case kName: return c.Return(TemplateDisplayName(root, u));
    case kEmail: return c.Return(real ? ForumUserEmail(root, u) : St());
    case kEmailCode: return c.Return(real ? ForumUserEmailCode(root, u) : St());
    case kForwardTo: return c.Return(real ? ForumUserForwardTo(root, u) : St());
    case kUniqueId:
      return c.Return(real ? TemplateIdText(ForumUserUniqueId(root, u))
                           : StCreate());
    case kHomePage: return c.Return(real ? ForumUserHomePage(root, u) : St());
    case kChatPreference:
      return c.Return(real ? ForumUserChatPreference(root, u) : St());
    case k2ndLine: return c.Return(real ? ForumUser2ndLine(root, u) : St());
    case kBio: return c.Return(real ? ForumUserBio(root, u) : St());
    case kUrlsRaw: return c.Return(real ? ForumUserUrls(root, u) : St());
    case kUrls: return c.Return(real ? Urls(root, u) : St());
    case kApop: return c.Return(real ? ForumUserApop(root, u) : St());
    case kAlias: return c.Return(real ? TemplateRecText(u, "Alias") : St());
    case kLastLogin:
    case kDate: {
      bool have = real && (sel == kDate ? ForumUserDate(root, u, &td)
                                        : ForumUserLastLogin(root, u, &td));
      St format = c.Written(0) ? c.ArgSt(0) : TemplateTimeFormat(root);
      return c.Return(have ? TemplateDate(td, format.View()) : StCreate());
    }
    case kLogoutTime: return c.Return(real ? ForumUserLogoutTime(root, u) : 0);
    case kMaxData: return c.Return(real ? ForumUserMaxData(root, u) : 0);
    case kMaxMessages: return c.Return(real ? ForumUserMaxMessages(root, u) : 0);
    case kRespNameSize: return c.Return(real ? ForumUserRespNameSize(root, u) : 0);
    case kRespInfoSize: return c.Return(real ? ForumUserRespInfoSize(root, u) : 0);
    case kRespBodySize: return c.Return(real ? ForumUserRespBodySize(root, u) : 0);
    case kFolderSortBy: return c.Return(real ? ForumUserCatForumSeq(root, u) : 2);
    case kHasRespNameSize:
      return c.ReturnBool(real && ForumUserRespNameSize(root, u) != 0);
    case kHasRespInfoSize:
      return c.ReturnBool(real && ForumUserRespInfoSize(root, u) != 0);
    case kHasRespBodySize:
      return c.ReturnBool(real && ForumUserRespBodySize(root, u) != 0);
    case kShowPictures:
      return c.ReturnBool(real && Flag(root, u, kForumUserShowPictures));
    case kPictBorder:
      return c.ReturnBool(real && Flag(root, u, kForumUserPictureBorders));
    case kShowPrepared:
      return c.ReturnBool(real && Flag(root, u, kForumUserShowPrepared));
    case kThreading:
      return c.ReturnBool(real && Flag(root, u, kForumUserThreading));
    case kReplyTo: return c.ReturnBool(real && Flag(root, u, kForumUserReplyTo));
    case kSummaryButton:
      return c.ReturnBool(real && Flag(root, u, kForumUserSummaryButton));
    case kThreadingBySite:
      return c.ReturnBool(!real || !Flag(root, u, kForumUserNoSiteThreading));
    case kCheckRemoteAddr:
      return c.ReturnBool(real && !Flag(root, u, kForumUserNoRemoteCheck));
    case kIsSysop: return c.ReturnBool(real && ForumUserGetSysop(root, u));
    case kIsHost:
      return c.ReturnBool(real && !ForumUserGetSysop(root, u) && HostHere(ctx, u));
    case kIsHostOrSysop:
      return c.ReturnBool(real && (ForumUserGetSysop(root, u) || HostHere(ctx, u)));
    case kIsGuest:
      return c.ReturnBool(!real || ForumUserGetType(root, u) == kForumUserGuest);
    case kIsRegistered:
      return c.ReturnBool(real &&
                          ForumUserGetType(root, u) == kForumUserRegistered);
    case kIsUnknown: return c.ReturnBool(!real);
    case kIsProvisional:
      return c.ReturnBool(real && ForumUserIsProvisional(root, u));
    case kHasPicture: {
      LgDbPicture pict;
      return c.ReturnBool(real && ForumUserPicture(root, u, &pict) &&
                          !pict.data.Empty());
    }
    case kUseCookies: return c.ReturnBool(real && ForumUserCookiesOn(root, u));
    case kAwayHours: {
      if (!real || !ForumUserLastLogin(root, u, &td)) return c.Return(0);
      int64_t away = (TdSecondsNow() - TdToSeconds(LgDbTdToTd(td), false)) / 3600;
      return c.Return(int32_t(away < 0 ? 0 : away > INT32_MAX ? INT32_MAX : away));
    }
    case kPicture: {
      LgDbPicture pict;
      if (real && ForumUserPicture(root, u, &pict) && !pict.data.Empty())
        return c.Return(TemplateLink(ctx, kCmdPictureById,
                                     TemplateIdText(ForumUserUniqueId(root, u))
                                         .View()));
      return c.Return(TemplateLink(ctx, kCmdDefaultPicture, ""));
    }
    case kInfoUrl:
      if (!real) return c.Return(StCreate());
      return c.Return(TemplateLink(
          ctx, kCmdUserInfoById, TemplateIdText(ForumUserUniqueId(root, u)).View()));
    case kPostCount: {
      LgDbUserPosts posts;
      int64_t n = 0;
      if (real && ForumUserUserPosts(root, u, &posts))
        for (uint32_t v : posts.counts) n += v;
      return c.Return(int32_t(n > INT32_MAX ? INT32_MAX : n));
    }
  }
}

ChHandle ReceiverUser(ExprCall& c, ForumRoot root) {
  int32_t id = c.ReceiverIsInt() ? c.ReceiverInt()
                                 : TemplateIdFromText(c.ReceiverSt().View());
  return TemplatePrincipalById(root, id);
}

void KwUser(ExprCall& c) {
  if (ForumRoot root = KwRoot(c)) UserValue(c, root, c.Context().user, c.Selector());
}

void KwAuthor(ExprCall& c) {
  if (ForumRoot root = KwRoot(c))
    UserValue(c, root, TemplateAuthorOf(c.Context()), c.Selector());
}

void KwUserMethod(ExprCall& c) {
  if (ForumRoot root = KwRoot(c)) UserValue(c, root, ReceiverUser(c, root), c.Selector());
}

// userIsHttpBasic, userHasCookie: from the request.
void KwUserHttpBasic(ExprCall& c) {
  ExprContext& ctx = c.Context();
  c.ReturnBool(ctx.request && ctx.request->IsHttpBasic());
}
void KwUserHasCookie(ExprCall& c) {
  ExprContext& ctx = c.Context();
  c.ReturnBool(ctx.request && ctx.request->UserHasCookie());
}

// lastLogin < date: the parser pushed the date in the date-object form.
void KwLastLogin(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  Td when;
  if (!TdParse(c.ArgSt(0).View(), &when)) return c.Return(0);
  LgDbTd last;
  ChHandle u = c.Context().user;
  if (!ForumIsRecordPrincipal(u) || !ForumUserLastLogin(root, u, &last))
    return c.Return(1);
  c.ReturnBool(LgDbTdCompare(last, LgDbTdFromTd(when)) == kStBefore);
}

// userFolderSortBy NAME: the word's index is the CatForumSeq value.
void KwUserFolderSortBy(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = c.Context().user;
  int32_t seq = ForumIsRecordPrincipal(u) ? ForumUserCatForumSeq(root, u) : 2;
  c.ReturnBool(seq == c.Item().value);
}

// ---------------------------------------------------------------------------
// Rights.  The selector is the mask asked; kEditRight and kDeleteRight are
// the host right or, for the item's own author, the post right.

constexpr int32_t kEditRight = -1;
constexpr int32_t kDeleteRight = -2;

bool Can(ExprContext& ctx, ChHandle u, int32_t sel) {
  if (!ctx.path) return false;
  if (sel >= 0) return ForumAccOpCk(ctx.path, u, uint32_t(sel));
  if (ForumAccOpCk(ctx.path, u, kForumAccHost)) return true;
  return ForumIsRecordPrincipal(u) && TemplateItemAuthor(ctx.path) == u &&
         ForumAccOpCk(ctx.path, u, kForumAccPost);
}

void KwUserCan(ExprCall& c) {
  if (KwRoot(c)) c.ReturnBool(Can(c.Context(), c.Context().user, c.Selector()));
}
void KwOtherCan(ExprCall& c) {
  if (KwRoot(c)) c.ReturnBool(Can(c.Context(), kForumAccAllUsers, c.Selector()));
}
void KwUserCanMethod(ExprCall& c) {
  if (ForumRoot root = KwRoot(c))
    c.ReturnBool(Can(c.Context(), ReceiverUser(c, root), c.Selector()));
}

// .userIsParticipant and its siblings: the resolved rights on the path.
enum AccessSel { kParticipant, kModerated, kReadOnly, kNoAccess };
void KwUserAccessClass(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  ExprContext& ctx = c.Context();
  if (!root || !ctx.path) return;
  uint32_t mask = ForumAccResolve(ctx.path, ReceiverUser(c, root));
  bool read = mask & kForumAccRead, post = mask & kForumAccPost;
  bool moderated = mask & kForumAccModerated;
  switch (c.Selector()) {
    case kParticipant: return c.ReturnBool(post && !moderated);
    case kModerated: return c.ReturnBool(moderated);
    case kReadOnly: return c.ReturnBool(read && !post);
    default: return c.ReturnBool(!read);
  }
}

// .userPathAccess: the access class of the user's entry in the path's own
// list ("" when it has none).
void KwUserPathAccess(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  ExprContext& ctx = c.Context();
  if (!root || !ctx.path) return;
  uint32_t given, taken;
  ChHandle u = ReceiverUser(c, root);
  if (!u || !ForumAccGet(ctx.path, u, &given, &taken)) return c.Return(StCreate());
  c.Return(StFromView(ForumAccClassOf(given, taken)));
}

// .setUserPathAccess(class): gives the user the class in the path's own
// list; an empty or unknown class removes the entry.
void KwSetUserPathAccess(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  ExprContext& ctx = c.Context();
  if (!root || !ctx.path) return;
  ChHandle u = ReceiverUser(c, root);
  if (!u) return c.Return(0);
  St cls = c.ArgSt(0);
  const ForumAccessClass* k = ForumGetAccessClass(cls.View());
  if (!k) {
    TplStoreAccEnable(ctx.path, u, kForumAccNoEntry);
    return c.Return(1);
  }
  TplStoreAccEnable(ctx.path, u, k->given);
  TplStoreAccInhibit(ctx.path, u, k->taken);
  c.Return(1);
}

// ---------------------------------------------------------------------------
// Changing users.  Each setter gives 1 when done, 0 when the receiver is no
// user (or the store refused).

enum SetSel : int32_t {
  kSetName, kSetPassword, kSetText, kSetInt, kSetFlag, kSetAlias,
  kSetUseCookies, kSetProvisional, kSetFolderSortBy,
};

struct UserSetter {
  const char* name;
  SetSel kind;
  int32_t which;  // TplUserText, TplUserInt or a flag bit
};

constexpr UserSetter kUserSetters[] = {
    {".setUserName", kSetName, 0},
    {".setUserPassword", kSetPassword, 0},
    {".setUserEmail", kSetText, int32_t(TplUserText::kEmail)},
    {".setUserForwardTo", kSetText, int32_t(TplUserText::kForwardTo)},
    {".setUserApop", kSetText, int32_t(TplUserText::kApop)},
    {".setUserHomePage", kSetText, int32_t(TplUserText::kHomePage)},
    {".setUserChatPreference", kSetText, int32_t(TplUserText::kChatPreference)},
    {".setUser2ndLine", kSetText, int32_t(TplUserText::k2ndLine)},
    {".setUserBio", kSetText, int32_t(TplUserText::kBio)},
    {".setUserUrls", kSetText, int32_t(TplUserText::kUrls)},
    {".setUserUrlsRaw", kSetText, int32_t(TplUserText::kUrls)},
    {".setUserFolderSortBy", kSetFolderSortBy, 0},
    {".setUserRespNameSize", kSetInt, int32_t(TplUserInt::kRespNameSize)},
    {".setUserRespInfoSize", kSetInt, int32_t(TplUserInt::kRespInfoSize)},
    {".setUserRespBodySize", kSetInt, int32_t(TplUserInt::kRespBodySize)},
    {".setUserLogoutTime", kSetInt, int32_t(TplUserInt::kLogoutTime)},
    {".setUserMaxData", kSetInt, int32_t(TplUserInt::kMaxData)},
    {".setUserMaxMessages", kSetInt, int32_t(TplUserInt::kMaxMessages)},
    {".setUserShowPictures", kSetFlag, int32_t(kForumUserShowPictures)},
    {".setUserPictBorder", kSetFlag, int32_t(kForumUserPictureBorders)},
    {".setUserShowPrepared", kSetFlag, int32_t(kForumUserShowPrepared)},
    {".setUserAlias", kSetAlias, 0},
    {".setUserUseCookies", kSetUseCookies, 0},
    {".setUserIsProvisional", kSetProvisional, 0},
};

void KwSetUser(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = ReceiverUser(c, root);
  int type = ForumUserGetType(root, u);
  if (!ForumIsRecordPrincipal(u) ||
      (type != kForumUserRegistered && type != kForumUserGuest))
    return c.Return(0);
  const UserSetter& s = kUserSetters[size_t(c.Selector())];
  St value = c.ArgSt(0);
  switch (s.kind) {
    case kSetName:
      return c.ReturnBool(TplStoreUserSetName(root, u, value) == 0);
    case kSetPassword:
      if (value.Empty()) return c.Return(0);
      TplStoreUserPassword(root, u, StHashMd5(value));
      break;
    case kSetText:
      TplStoreUserText(root, u, TplUserText(s.which),
                       value.Empty() ? St() : std::move(value));
      break;
    case kSetInt:
      TplStoreUserInt(root, u, TplUserInt(s.which), c.ArgInt(0));
      break;
    case kSetFolderSortBy: {
      int32_t seq = c.ArgInt(0);
      for (int i = 0; i < 5; ++i)
        if (ExprEqualNoCase(value.View(), kExprFolderSortTypes[i])) seq = i;
      TplStoreUserInt(root, u, TplUserInt::kCatForumSeq, seq);
      break;
    }
    case kSetFlag:
    case kSetUseCookies:
    case kSetProvisional: {
      uint32_t flags = ForumUserFlags(root, u);
      bool on = c.ArgTruth(0);
      if (s.kind == kSetFlag) {
        flags = on ? flags | uint32_t(s.which) : flags & ~uint32_t(s.which);
      } else if (s.kind == kSetUseCookies) {
        flags |= kForumUserCookieChosen;
        flags = on ? flags & ~kForumUserCookiesOff : flags | kForumUserCookiesOff;
      } else {
        flags = on ? flags | kForumUserProvisional : flags & ~kForumUserProvisional;
      }
      TplStoreUserFlags(root, u, flags);
      break;
    }
    case kSetAlias:
      TplStoreRecordField(root, u, StCStrXfm("Alias"),
                          value.Empty() ? St() : std::move(value));
      break;
  }
  c.Return(1);
}

// .userCheckPassword(password): the digest of the password equals the
// stored one.
void KwUserCheckPassword(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = ReceiverUser(c, root);
  St password = c.ArgSt(0);
  if (!ForumIsRecordPrincipal(u) || password.Empty()) return c.Return(0);
  St stored = ForumUserPassword(root, u);
  c.ReturnBool(!stored.Empty() && stored == StHashMd5(password));
}

void KwUserDestroy(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = ReceiverUser(c, root);
  c.ReturnBool(ForumIsRecordPrincipal(u) && TplStoreUserDestroy(root, u) == 0);
}

// A group named by its identifier or its name.
ChHandle GroupFrom(ForumRoot root, const St& text, bool isInt, int32_t id) {
  if (!isInt) id = TemplateIdFromText(text.View());
  ChHandle g = TemplatePrincipalById(root, id);
  if (g && ForumIsRecordPrincipal(g) && ForumUserGetType(root, g) == kForumUserGroup)
    return g;
  return isInt ? 0 : ForumGroupLookup(root, text);
}

ChHandle ReceiverGroup(ExprCall& c, ForumRoot root) {
  bool isInt = c.ReceiverIsInt();
  return GroupFrom(root, isInt ? St() : c.ReceiverSt(), isInt,
                   isInt ? c.ReceiverInt() : 0);
}

void KwGroupMembership(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = ReceiverUser(c, root);
  St name = c.ArgSt(0);
  ChHandle g = GroupFrom(root, name, false, 0);
  if (!ForumIsRecordPrincipal(u) || !g) return c.Return(0);
  switch (c.Selector()) {
    case 0: return c.ReturnBool(ForumGroupHasUser(root, g, u));
    case 1: return c.ReturnBool(TplStoreGroupAddUser(root, g, u) == 0);
    default: return c.ReturnBool(TplStoreGroupRemoveUser(root, g, u) == 0);
  }
}

void KwUserGeneral(ExprCall& c) {
  c.Return(c.Selector() == 0 ? TemplateIdText(int32_t(kForumAccAllGuests))
                             : TemplateIdText(int32_t(kForumAccAllUsers)));
}

// ---------------------------------------------------------------------------
// Looking users and groups up, creating them.

void KwUserLookup(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle u = ForumUserLookup(root, c.ArgSt(0));
  c.Return(u ? TemplateIdText(ForumUserUniqueId(root, u)) : StCreate());
}

// userCreate(name): a registered user without address or password.
void KwUserCreate(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  St name = StStripBlanks(c.ArgSt(0));
  ChHandle u = 0;
  if (name.Empty() ||
      TplStoreUserCreate(root, kForumUserRegistered, name, St(), St(), &u) != 0)
    return c.Return(StCreate());
  c.Return(TemplateIdText(ForumUserUniqueId(root, u)));
}

void KwGroupCreate(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  St name = StStripBlanks(c.ArgSt(0));
  ChHandle g = 0;
  if (name.Empty() || TplStoreGroupCreate(root, name, &g) != 0)
    return c.Return(StCreate());
  c.Return(TemplateIdText(ForumUniqueIdFromRec(root, g)));
}

void KwGroupDestroy(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle g = GroupFrom(root, c.ArgSt(0), false, 0);
  c.ReturnBool(g && TplStoreGroupDestroy(root, g) == 0);
}

void KwGroupLookup(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle g = ForumGroupLookup(root, c.ArgSt(0));
  c.Return(g ? TemplateIdText(ForumUniqueIdFromRec(root, g)) : StCreate());
}

// .groupCount: members of the group; .groupItem(i): the identifier of its
// i-th member (from 0, in name order); .isGroup.
void KwGroupMethod(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ChHandle g = ReceiverGroup(c, root);
  switch (c.Selector()) {
    case 0: return c.Return(g ? int32_t(ForumGroupSize(root, g)) : 0);
    case 1: {
      int32_t i = c.ArgInt(0);
      ChHandle m = g && i >= 0 ? ForumGroupMemberAt(root, g, uint32_t(i)) : 0;
      return c.Return(m ? TemplateIdText(ForumUniqueIdFromRec(root, m))
                        : StCreate());
    }
    default: return c.ReturnBool(g != 0);
  }
}

void KwUsersCount(ExprCall& c) {
  if (ForumRoot root = KwRoot(c)) c.Return(int32_t(ForumUserCount(root)));
}

void KwSelectRandomUser(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  uint32_t n = ForumUserCount(root);
  if (n == 0) return c.Return(StCreate());
  thread_local std::mt19937 gen{std::random_device{}()};
  ChHandle u = ForumUserAt(root, uint32_t(gen() % n));
  c.Return(u ? TemplateIdText(ForumUserUniqueId(root, u)) : StCreate());
}

// selectUsers(prefix): the identifiers of the registered users whose names
// begin with prefix, blank-separated, at most 1,000.
void KwSelectUsers(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  St prefix = c.ArgSt(0);
  uint32_t ix;
  St out = StCreate();
  if (!ForumUserPrefixIx(root, prefix, &ix)) return c.Return(std::move(out));
  for (int n = 0; n < 1000; ++n, ++ix) {
    ChHandle u = ForumUserAt(root, ix);
    if (!u || !StIsPrefixCNoCase(ForumUserName(root, u), prefix.CStr())) break;
    if (n > 0) out = StAppend(std::move(out), ' ');
    out = StCat(std::move(out), TemplateIdText(ForumUserUniqueId(root, u)));
  }
  c.Return(std::move(out));
}

void KwSetAuthor(ExprCall& c) {
  ForumRoot root = KwRoot(c);
  if (!root) return;
  ExprContext& ctx = c.Context();
  ChHandle u = TemplatePrincipalById(root, TemplateIdFromText(c.ArgSt(0).View()));
  ExprContextSetAuthorID(ctx, ForumIsRecordPrincipal(u) ? u : 0);
}

// ---------------------------------------------------------------------------
// Certificates.

void KwCertificate(ExprCall& c) { c.Return(c.Context().certificate); }
void KwCertificateTag(ExprCall& c) { c.Return(c.Context().authTag); }
void KwCertificateIs(ExprCall& c) {
  c.ReturnBool(c.ArgSt(0) == c.Context().certificate);
}
// A certificate even for a visitor without one: a new guest certificate,
// which the page's links then carry.
void KwAlwaysCertificate(ExprCall& c) {
  ExprContext& ctx = c.Context();
  if (ctx.certificate.Empty()) ctx.certificate = AuthGuest(ctx.authTag);
  c.Return(ctx.certificate);
}
// Ends the login session of the certificate; the rest of the page is
// rendered with a guest certificate.
void KwCertificateLogout(ExprCall& c) {
  ExprContext& ctx = c.Context();
  AuthCertParts parts;
  if (AuthParse(ctx.certificate, &parts) && !parts.code.Empty())
    AuthRemoveAuthCode(parts.code);
  if (!ctx.certificate.Empty()) ctx.certificate = AuthGuest(ctx.authTag);
  ctx.user = 0;
}

constexpr KwEntry kUserEntries[] = {
    // The current user.
    {"userName", KwUser, kName},
    {"userEmail", KwUser, kEmail},
    {"userEmailCode", KwUser, kEmailCode},
    {"userForwardTo", KwUser, kForwardTo},
    {"userUniqueId", KwUser, kUniqueId},
    {"userIsSysop", KwUser, kIsSysop},
    {"userIsHost", KwUser, kIsHost},
    {"userIsHostOrSysop", KwUser, kIsHostOrSysop},
    {"userIsGuest", KwUser, kIsGuest},
    {"userIsRegistered", KwUser, kIsRegistered},
    {"userIsUnknown", KwUser, kIsUnknown},
    {"awayHours", KwUser, kAwayHours},
    {"userHomePage", KwUser, kHomePage},
    {"userChatPreference", KwUser, kChatPreference},
    {"userShowPictures", KwUser, kShowPictures},
    {"userPictBorder", KwUser, kPictBorder},
    {"userHasRespNameSize", KwUser, kHasRespNameSize},
    {"userHasRespInfoSize", KwUser, kHasRespInfoSize},
    {"userHasRespBodySize", KwUser, kHasRespBodySize},
    {"userRespNameSize", KwUser, kRespNameSize},
    {"userRespInfoSize", KwUser, kRespInfoSize},
    {"userRespBodySize", KwUser, kRespBodySize},
    {"userLogoutTime", KwUser, kLogoutTime},
    {"userMaxData", KwUser, kMaxData},
    {"userMaxMessages", KwUser, kMaxMessages},
    {"user2ndLine", KwUser, k2ndLine},
    {"userBio", KwUser, kBio},
    {"userUrlsRaw", KwUser, kUrlsRaw},
    {"userUrls", KwUser, kUrls},
    {"userShowPrepared", KwUser, kShowPrepared},
    {"userHasPicture", KwUser, kHasPicture},
    {"userPicture", KwUser, kPicture},
    {"userUseCookies", KwUser, kUseCookies},
    {"userIsProvisional", KwUser, kIsProvisional},
    {"userHasCookie", KwUserHasCookie, 0},
    {"userIsHttpBasic", KwUserHttpBasic, 0},
    {"lastLogin", KwLastLogin, 0},
    {"userFolderSortBy", KwUserFolderSortBy, 0},
    {"userCanAddFolders", KwUserCan, int32_t(kForumAccAddFolder)},
    {"userCanAddDiscussions", KwUserCan, int32_t(kForumAccAddDiscussion)},
    {"userCanAddMessages", KwUserCan, int32_t(kForumAccPost)},
    {"userCanAddLinks", KwUserCan, int32_t(kForumAccAddFolder)},
    {"userCanDelete", KwUserCan, kDeleteRight},
    {"userCanEdit", KwUserCan, kEditRight},
    {"otherCanAddFolders", KwOtherCan, int32_t(kForumAccAddFolder)},
    {"otherCanAddDiscussions", KwOtherCan, int32_t(kForumAccAddDiscussion)},
    {"otherCanAddMessages", KwOtherCan, int32_t(kForumAccPost)},
    {"otherCanAddLinks", KwOtherCan, int32_t(kForumAccAddFolder)},
    {"selectRandomUser", KwSelectRandomUser, 0},
    {"selectUsers", KwSelectUsers, 0},
    {"usersCount", KwUsersCount, 0},
    {"userCreate", KwUserCreate, 0},
    {"userLookup", KwUserLookup, 0},
    {"userGuests", KwUserGeneral, 0},
    {"userOthers", KwUserGeneral, 1},
    // Certificates.
    {"certificate", KwCertificate, 0},
    {"certificateTag", KwCertificateTag, 0},
    {"certificateIs", KwCertificateIs, 0},
    {"alwaysCertificate", KwAlwaysCertificate, 0},
    {"certificateLogout", KwCertificateLogout, 0},
    // The author of the current item.
    {"authorIsSysop", KwAuthor, kIsSysop},
    {"pathCreatedBySysop", KwAuthor, kIsSysop},
    {"authorName", KwAuthor, kName},
    {"authorLine2", KwAuthor, k2ndLine},
    {"authorInfoUrl", KwAuthor, kInfoUrl},
    {"authorEmail", KwAuthor, kEmail},
    {"authorHasPicture", KwAuthor, kHasPicture},
    {"authorPicture", KwAuthor, kPicture},
    {"authorHomePage", KwAuthor, kHomePage},
    {"authorBio", KwAuthor, kBio},
    {"authorUrlsRaw", KwAuthor, kUrlsRaw},
    {"authorUrls", KwAuthor, kUrls},
    {"authorUniqueID", KwAuthor, kUniqueId},
    {"setAuthor", KwSetAuthor, 0},
    // Groups.
    {"groupCreate", KwGroupCreate, 0},
    {"groupDestroy", KwGroupDestroy, 0},
    {"groupLookup", KwGroupLookup, 0},
    {".groupCount", KwGroupMethod, 0},
    {".groupItem", KwGroupMethod, 1},
    {".isGroup", KwGroupMethod, 2},
    // User methods.
    {".userName", KwUserMethod, kName},
    {".userEmail", KwUserMethod, kEmail},
    {".userEmailCode", KwUserMethod, kEmailCode},
    {".userForwardTo", KwUserMethod, kForwardTo},
    {".userApop", KwUserMethod, kApop},
    {".userUniqueId", KwUserMethod, kUniqueId},
    {".userIsSysop", KwUserMethod, kIsSysop},
    {".userIsHost", KwUserMethod, kIsHost},
    {".userIsGuest", KwUserMethod, kIsGuest},
    {".userIsRegistered", KwUserMethod, kIsRegistered},
    {".userIsUnknown", KwUserMethod, kIsUnknown},
    {".userAwayHours", KwUserMethod, kAwayHours},
    {".userLastLogin", KwUserMethod, kLastLogin},
    {".userHomePage", KwUserMethod, kHomePage},
    {".userChatPreference", KwUserMethod, kChatPreference},
    {".userFolderSortBy", KwUserMethod, kFolderSortBy},
    {".userShowPictures", KwUserMethod, kShowPictures},
    {".userPictBorder", KwUserMethod, kPictBorder},
    {".userRespNameSize", KwUserMethod, kRespNameSize},
    {".userRespInfoSize", KwUserMethod, kRespInfoSize},
    {".userRespBodySize", KwUserMethod, kRespBodySize},
    {".userLogoutTime", KwUserMethod, kLogoutTime},
    {".userMaxData", KwUserMethod, kMaxData},
    {".userMaxMessages", KwUserMethod, kMaxMessages},
    {".user2ndLine", KwUserMethod, k2ndLine},
    {".userAlias", KwUserMethod, kAlias},
    {".userBio", KwUserMethod, kBio},
    {".userUrlsRaw", KwUserMethod, kUrlsRaw},
    {".userUrls", KwUserMethod, kUrls},
    {".userShowPrepared", KwUserMethod, kShowPrepared},
    {".userHasPicture", KwUserMethod, kHasPicture},
    {".userPicture", KwUserMethod, kPicture},
    {".userUseCookies", KwUserMethod, kUseCookies},
    {".userIsProvisional", KwUserMethod, kIsProvisional},
    {".userPostCount", KwUserMethod, kPostCount},
    {".userThreadingBySite", KwUserMethod, kThreadingBySite},
    {".userThreading", KwUserMethod, kThreading},
    {".userReplyTo", KwUserMethod, kReplyTo},
    {".userSummaryButton", KwUserMethod, kSummaryButton},
    {".userCheckRemoteAddr", KwUserMethod, kCheckRemoteAddr},
    {".userDate", KwUserMethod, kDate},
    {".userCanView", KwUserCanMethod, int32_t(kForumAccRead)},
    {".userCanAddFolders", KwUserCanMethod, int32_t(kForumAccAddFolder)},
    {".userCanAddDiscussions", KwUserCanMethod, int32_t(kForumAccAddDiscussion)},
    {".userCanAddMessages", KwUserCanMethod, int32_t(kForumAccPost)},
    {".userCanAddLinks", KwUserCanMethod, int32_t(kForumAccAddFolder)},
    {".userCanDelete", KwUserCanMethod, kDeleteRight},
    {".userCanEdit", KwUserCanMethod, kEditRight},
    {".userIsParticipant", KwUserAccessClass, kParticipant},
    {".userIsModerated", KwUserAccessClass, kModerated},
    {".userIsReadOnly", KwUserAccessClass, kReadOnly},
    {".userHasNoAccess", KwUserAccessClass, kNoAccess},
    {".userPathAccess", KwUserPathAccess, 0},
    {".setUserPathAccess", KwSetUserPathAccess, 0},
    {".userIsMember", KwGroupMembership, 0},
    {".addUserToGroup", KwGroupMembership, 1},
    {".removeUserFromGroup", KwGroupMembership, 2},
    {".userCheckPassword", KwUserCheckPassword, 0},
    {".userDestroy", KwUserDestroy, 0},
};

}  // namespace

void ExprInstallUserBuiltins() {
  KwInstall(kUserEntries);
  for (size_t i = 0; i < std::size(kUserSetters); ++i)
    if (!ExprKeywordRegisterArg(kUserSetters[i].name, KwSetUser, int32_t(i)))
      MaAssertFailure(std::string("ExprInstallUserBuiltins--") +
                      kUserSetters[i].name);
}

}  // namespace quil
