// The moderation queue's pages (124 the next entry to review, 125 approving
// or rejecting it) and subscriptions (29 subscribe, 36 cancel, 38 read the
// new messages of everything subscribed to).
#include <string>

#include "CgiEditInt.h"
#include "Ec.h"
#include "ForumModerated.h"
#include "ForumRead.h"
#include "FrmBk.h"
#include "ForumUser.h"

namespace quil {

namespace {

// Whether r's user may review the entry at position: the sysop, or a host
// of the item it is meant for.
bool MayReview(const CgiRequest& r, int32_t position) {
  if (r.user == 0 || r.guest) return false;
  if (ForumUserGetSysop(r.root, r.user)) return true;
  ForumFile target = ForumModeratedItemOpen(r.root, position);
  return target && CgiCan(r, target, kForumAccHost);
}

// The first entry r's user may review, -1 when none.
int32_t NextForReview(const CgiRequest& r) {
  int32_t n = ForumModeratedItemCount(r.root);
  for (int32_t p = 0; p < n; ++p)
    if (MayReview(r, p)) return p;
  return -1;
}

// Approval and rejection go through the journaling setter, which records
// the queue operation so that a crash after the answer loses neither.
uint16_t UpdateEntry(ForumRoot root, int32_t position, bool approve) {
  return FrmBkModeratedItemUpdate(root, position, approve, nullptr);
}

void ShowEntry(CgiRequest& r, int32_t position) {
  ForumFile target = ForumModeratedItemOpen(r.root, position);
  int type = ForumModeratedItemType(r.root, position);
  const char* title = type == kForumModFolder       ? "Approve New Folder"
                      : type == kForumModDiscussion ? "Approve New Discussion"
                                                    : "Approve Message";
  const char* where = type == kForumModFolder       ? "the new folder"
                      : type == kForumModDiscussion ? "the new discussion"
                                                    : "the message to the discussion";
  St words = StObjectionableListXfm(ForumSysopObjectionable(r.root));
  bool phone = ForumSysopObjectionablePhone(r.root);
  St itemTitle = StToSgml(ForumModeratedItemTitle(r.root, position));
  St body = ForumModeratedItemData(r.root, position);
  std::string b;
  if (target) {
    b += "<p class=\"meta\">For <a href=\"" +
         CgiLink(14, StFromUrlQuote(ForumFilePath(target))) + "\">" +
         StToSgml(ForumFileTitle(target)).Str() + "</a>";
    ChHandle author = ForumModeratedItemAuthor(r.root, position);
    if (author != 0) b += ", from " + StToSgml(ForumUserName(r.root, author)).Str();
    b += "</p>\n";
    if (!ForumFileHtml(target).Empty())
      b += "<div class=\"heading\">" + ForumFileHtml(target).Str() + "</div>\n";
  }
  b += "<article class=\"message\">\n<h2>" +
       StObjectionableCover(itemTitle, words, phone).Str() + "</h2>\n<div class=\"message-body\">" +
       StObjectionableCover(body, words, phone).Str() + "</div>\n</article>\n";
  b += "<p><b>Note:</b> objectionable words are highlighted in red to make it easier to "
       "moderate. This red highlighting will be removed before adding ";
  b += type == kForumModMessage ? "the message to the discussion" : where;
  b += "</p>\n";
  b += "<form class=\"form\" method=\"post\" action=\"" + CgiLink(125, r.location) + "\">\n";
  b += CgiHidden("item", StStIntXfm(position));
  b += CgiHidden("unique", StStIntXfm(ForumModeratedItemUniqueId(r.root, position)));
  b += "<div class=\"actions\"><button type=\"submit\" name=\"approve\" value=\"1\">Approve"
       "</button> <button type=\"submit\" name=\"approve\" value=\"0\" class=\"danger\">Reject"
       "</button></div>\n</form>\n";
  CgiPageValues v;
  v.title = ForumModeratedItemTitle(r.root, position);
  v.message = body;
  CgiPageOr(r, 59, target, v, title, b);
}

void NothingWaits(CgiRequest& r) {
  CgiBuiltinPage(r, ForumFile(), "Approve Message",
                 "<p role=\"status\">No items are waiting for approval.</p>\n");
}

}  // namespace

// 124: the next entry for the user to review.
void CgiActCheckModerated(CgiRequest& r) {
  if (r.guest) {
    CgiKeepAndLogin(r);
    return;
  }
  int32_t position = NextForReview(r);
  if (position < 0) {
    NothingWaits(r);
    return;
  }
  ShowEntry(r, position);
}

// 125: approves ("approve" 1) or rejects the entry "item", then shows the
// next one.  "unique" (the entry's identifier, as the review page sends it)
// finds the entry even when the queue moved meanwhile.
void CgiActApproveModerated(CgiRequest& r) {
  if (r.guest) {
    CgiKeepAndLogin(r);
    return;
  }
  int32_t position = -1, unique = 0;
  bool hasItem = CkGetIntFromName(r.form, "item", &position);
  if (CkGetIntFromName(r.form, "unique", &unique) && unique != 0 &&
      ForumModeratedItemUniqueId(r.root, position) != unique)
    position = ForumModeratedLookup(r.root, unique);
  if (!hasItem || !ForumModeratedExists(r.root, position)) {
    CgiErrorPage(r, "Error Posting", "Error posting: " + EcToSt(kForumNoEntry).Str());
    return;
  }
  if (!MayReview(r, position)) {
    CgiAccessError(r, "Only a host of the item may approve it");
    return;
  }
  bool approve = GetIntFromName(r.form, "approve", 0) != 0;
  uint16_t ec = UpdateEntry(r.root, position, approve);
  if (ec != 0) {
    CgiErrorPage(r, "Error Posting", "Error posting: " + EcToSt(ec).Str());
    return;
  }
  BufOpen(r.page);
  CgiActCheckModerated(r);
}

// ---------------------------------------------------------------------------
// Subscriptions.

namespace {

ForumFile SubscribedItem(CgiRequest& r) {
  ForumFile item = CgiOpenLocation(r.root, r.location);
  if (r.location.Empty()) item = ForumTopFolder(r.root);
  if (ForumFileIsMessage(item)) item = ForumFileParent(item);
  return item;
}

}  // namespace

// 29: subscribes to the location.
void CgiActSubscribe(CgiRequest& r) {
  if (r.guest) {
    CgiKeepAndLogin(r);
    return;
  }
  ForumFile item = SubscribedItem(r);
  if (!ForumFileIsCategory(item) && !ForumFileIsForum(item)) {
    CgiNotFound(r, "Pathname not found");
    return;
  }
  uint16_t ec = FrmBkSubscrAdd(r.user, item);
  if (ec != 0) {
    CgiErrorPage(r, "Subscribe", EcToSt(ec).View());
    return;
  }
  std::string b = "<p role=\"status\">You are subscribed to <a href=\"" +
                  CgiLink(14, StFromUrlQuote(ForumFilePath(item))) + "\">" +
                  StToSgml(ForumFileTitle(item)).Str() +
                  "</a>. Its new messages are listed under <a href=\"?38@@\">New messages</a>."
                  "</p>\n";
  CgiPageOr(r, 47, item, CgiPageValues(), "Subscribed", b);
}

// 36: cancels the subscription of the location.
void CgiActCancelSubscription(CgiRequest& r) {
  if (r.guest) {
    CgiKeepAndLogin(r);
    return;
  }
  ForumFile item = SubscribedItem(r);
  if (!item) {
    CgiNotFound(r, "Pathname not found");
    return;
  }
  (void)FrmBkSubscrRemove(r.user, item);
  std::string b = "<p role=\"status\">You are no longer subscribed to " +
                  StToSgml(ForumFileTitle(item)).Str() + ".</p>\n";
  CgiPageOr(r, 48, item, CgiPageValues(), "Subscription cancelled", b);
}

// 38: the new messages of everything subscribed to, discussion by
// discussion.  Showing them is reading them: each discussion listed has
// its read mark moved to its end, so the next visit lists only what came
// since.  At most kMaxDiscussions discussions are listed at once (the rest
// on the next visit).
void CgiActReadSubscription(CgiRequest& r) {
  if (r.guest) {
    CgiKeepAndLogin(r);
    return;
  }
  constexpr int kMaxDiscussions = 20;
  constexpr int kMaxMessages = 200;
  if (ForumSubscrCount(r.root, r.user) == 0) {
    CgiPageOr(r, 49, ForumFile(), CgiPageValues(), "New messages",
              "<p role=\"status\">You have no subscriptions.</p>\n");
    return;
  }
  ForumSubscrRead read = ForumSubscrReadStart(r.root, r.user);
  std::string b;
  int discussions = 0, messages = 0;
  std::vector<ForumFile> shown;
  while (discussions < kMaxDiscussions && messages < kMaxMessages) {
    ForumFile d = ForumSubscrReadNext(read);
    if (!d) break;
    ++discussions;
    b += "<section class=\"discussion\">\n<h2><a href=\"" +
         CgiLink(14, StFromUrlQuote(ForumFilePath(d))) + "\">" +
         StToSgml(ForumFileTitle(d)).Str() + "</a></h2>\n";
    for (int32_t i = ForumMessageFirst(d); i >= 0 && messages < kMaxMessages;
         i = ForumMessageNext(d, i)) {
      if (!ForumItemIsNew(d, i, r.user)) continue;
      ++messages;
      ChHandle author = ForumItemAuthor(d, i);
      b += "<article class=\"message\">\n";
      St t = ForumItemTitle(d, i);
      if (!t.Empty()) b += "<h3>" + StToSgml(t).Str() + "</h3>\n";
      if (author != 0)
        b += "<p class=\"meta\">" + StToSgml(ForumUserName(r.root, author)).Str() + "</p>\n";
      b += "<div class=\"message-body\">" + ForumItemData(d, i).Str() + "</div>\n</article>\n";
    }
    b += "</section>\n";
    shown.push_back(d);
  }
  ForumSubscrReadStop(read);
  if (shown.empty()) {
    CgiPageOr(r, 50, ForumFile(), CgiPageValues(), "New messages",
              "<p role=\"status\">There are no new messages.</p>\n");
    return;
  }
  for (const ForumFile& d : shown) FrmBkSetHighwaterAll(r.user, d);
  CgiBuiltinPage(r, ForumFile(), "New messages", b);
}

}  // namespace quil
