// Messages: the reply form (229), posting (11) with its previews and the
// moderation queue, editing (53, 12) and deleting (54, 55).
#include <string>

#include "CgiEditInt.h"
#include "Ec.h"
#include "ForumModerated.h"
#include "ForumRead.h"
#include "FrmBk.h"
#include "ForumUser.h"

namespace quil {

namespace {

// "Could not open discussion.": a location that names no discussion.
constexpr uint32_t kCouldNotOpenDiscussion = 2404;

// The discussion and message a location names: a message gives its
// discussion and its position; a discussion position -1.
struct MessageTarget {
  ForumFile item;        // what the location opened
  ForumFile discussion;  // empty when the location names none
  int32_t index = -1;
};

MessageTarget OpenTarget(const CgiRequest& r) {
  MessageTarget t;
  t.item = CgiOpenLocation(r.root, r.location);
  if (ForumFileIsMessage(t.item)) {
    t.discussion = ForumFileParent(t.item);
    if (!StIntStXfm(ForumFileName(t.item), &t.index)) t.index = -1;
  } else if (ForumFileIsForum(t.item)) {
    t.discussion = t.item;
  }
  return t;
}

// The form of a post as it came.
struct PostForm {
  St body, name, email, title;
  bool approved = false;   // the OK of the moderated preview
  bool postDirect = false;
  bool edit = false;       // "edit" or "edit.x": the preview is asked for
};

PostForm ReadPostForm(const CgiRequest& r) {
  PostForm f;
  f.body = GetValueFromName(r.form, "newresponse");
  f.name = GetValueFromName(r.form, "name");
  f.email = GetValueFromName(r.form, "email");
  f.title = GetValueFromName(r.form, "messageTitle");
  f.approved = CkIsChecked(r.form, "approved");
  f.postDirect = CkIsChecked(r.form, "postDirect");
  f.edit = CkHasName(r.form, "edit") || CkHasName(r.form, "edit.x");
  if (f.body.IsNil()) f.body = StCreate();
  if (f.title.IsNil()) f.title = StCreate();
  return f;
}

bool HasUploads(const CgiRequest& r) {
  for (const CgiUpload& u : r.uploads)
    if (!u.data.Empty()) return true;
  return false;
}

// The reply form again, with the values typed and an error.
void ReplyForm(CgiRequest& r, const ForumFile& path, const PostForm& f, const St& error) {
  CgiPageValues v;
  v.error = error;
  v.hasForm = true;
  v.form[size_t(ExprEdit::kTitle)] = f.title;
  v.form[size_t(ExprEdit::kMessage)] = f.body;
  v.form[size_t(ExprEdit::kName)] = f.name;
  v.form[size_t(ExprEdit::kEmail)] = f.email;
  CgiRenderPage(r, 27, path, v);
}

// The hidden fields that carry a post through a preview.
std::string CarriedFields(const PostForm& f) {
  return CgiHidden("name", f.name) + CgiHidden("email", f.email) +
         CgiHidden("newresponse", f.body) + CgiHidden("messageTitle", f.title);
}

// The message as it will appear.
std::string MessageBlock(const St& title, const St& body) {
  std::string s = "<article class=\"message\">\n";
  if (!title.Empty()) {
    s += "<h2>";
    s.append(StToSgml(title).View());
    s += "</h2>\n";
  }
  s += "<div class=\"message-body\">";
  s.append(body.View());
  s += "</div>\n</article>\n";
  return s;
}

// The preview of a post (step 8) with the form to change it.
void PreviewPage(CgiRequest& r, const ForumFile& path, const PostForm& f, const St& body,
                 int command) {
  CgiPageValues v;
  v.title = f.title;
  v.message = body;
  v.hasForm = true;
  v.form[size_t(ExprEdit::kTitle)] = f.title;
  v.form[size_t(ExprEdit::kMessage)] = f.body;
  std::string b = MessageBlock(f.title, body);
  b += "<form class=\"form\" method=\"post\" action=\"" + CgiLink(command, r.location) + "\">\n";
  if (r.guest && command == 11) {
    b += "<label for=\"name\">Your name</label>\n<input id=\"name\" name=\"name\" "
         "autocomplete=\"name\" required value=\"";
    b.append(StToSgml(f.name.IsNil() ? StCreate() : f.name).View());
    b += "\">\n<label for=\"email\">Your e-mail address</label>\n<input id=\"email\" "
         "name=\"email\" type=\"email\" autocomplete=\"email\" value=\"";
    b.append(StToSgml(f.email.IsNil() ? StCreate() : f.email).View());
    b += "\">\n";
  }
  b += "<label for=\"messageTitle\">Title (optional)</label>\n<input id=\"messageTitle\" "
       "name=\"messageTitle\" value=\"";
  b.append(StToSgml(f.title).View());
  b += "\">\n<label for=\"newresponse\">Message</label>\n<textarea id=\"newresponse\" "
       "name=\"newresponse\" rows=\"12\" required>";
  b.append(StToSgml(f.body).View());
  b += "</textarea>\n<div class=\"actions\"><button type=\"submit\">Post</button> "
       "<button type=\"submit\" name=\"edit\" value=\"1\" class=\"secondary\">Preview</button>"
       "</div>\n</form>\n";
  CgiPageOr(r, command == 11 ? 30 : 31, path, v, "Preview", b);
}

// The page of a post that goes to the moderation queue, before it does:
// OK sends it (with "approved"), Edit brings the form back.
void ModeratedPreview(CgiRequest& r, const PostForm& f, const St& body, int command) {
  std::string b =
      "A moderator will review your message. If you want to change your message, please click "
      "on <tt>Edit</tt> now. (A reviewed message can only be deleted.) <b>To submit your "
      "message, please click on <tt>OK</tt>.</b><p>When your message is added to the "
      "discussion, it will appear as follows:<hr>";
  b += MessageBlock(f.title, body);
  b += "<form class=\"form\" method=\"post\" action=\"" + CgiLink(command, r.location) + "\">\n";
  b += CarriedFields(f);
  b += CgiHidden("approved", StCStrXfm("1"));
  b += "<div class=\"actions\"><button type=\"submit\">OK</button> <button type=\"submit\" "
       "name=\"edit\" value=\"1\" class=\"secondary\">Edit</button></div>\n</form>\n";
  CgiBuiltinPage(r, CgiOpenLocation(r.root, r.location), "Preview Moderated Message", b);
}

// The body as it is stored: tags out on a text-only site for all but
// hosts, cut to the sysop's length without host rights, cleaned.
St PreparedBody(const CgiRequest& r, const St& body, bool host) {
  St b = body;
  if (!host && ForumSysopUserIsText(r.root)) b = CgiStripTags(b);
  if (!host) b = CgiCutText(b, ForumSysopMessageMax(r.root));
  return HtmlIn(b, host);
}

St PreparedTitle(const CgiRequest& r, const St& title, bool host) {
  St t = title;
  if (!host && ForumSysopUserIsText(r.root)) t = CgiStripTags(t);
  if (!host) t = CgiCutText(t, ForumSysopTitleMax(r.root));
  return t;
}

// Attaches the files sent with a post (a file whose name the message
// holds already is passed over).
void StoreEnclosures(const CgiRequest& r, const ForumFile& discussion, int32_t index) {
  for (const CgiUpload& u : r.uploads) {
    if (u.data.Empty() || u.fileName.Empty()) continue;
    // The name without the browser's directories.
    std::string_view n = u.fileName.View();
    size_t cut = n.find_last_of("/\\");
    if (cut != std::string_view::npos) n = n.substr(cut + 1);
    std::string name;
    for (char c : n) name += (c == ' ' ? '_' : c);
    if (name.empty()) continue;
    St type = u.contentType.Empty() ? StCStrXfm("application/octet-stream") : u.contentType;
    (void)FrmBkItemAddEnclosure(discussion, index, StFromView(name), type, u.data);
  }
}

bool MessageOpens(const MessageTarget& t) {
  return t.discussion && t.index >= 0 && ForumItemRec(t.discussion, t.index) != 0;
}

}  // namespace

// 229: the reply form.
void CgiActReplyForm(CgiRequest& r) {
  MessageTarget t = OpenTarget(r);
  if (!t.discussion) {
    CgiErrorPage(r, "Message Not Posted", EcToSt(kCouldNotOpenDiscussion).View());
    return;
  }
  if (!CgiCan(r, t.discussion, kForumAccPost)) {
    if (r.guest && !ForumAccOpCk(t.discussion, kForumAccAllGuests, kForumAccPost)) {
      CgiKeepAndLogin(r);
      return;
    }
    if (!r.guest) {
      CgiAccessError(r, "You do not have access to post in this discussion");
      return;
    }
  }
  PostForm f = ReadPostForm(r);
  ReplyForm(r, t.item, f, St());
}

// 11: posts a message.
void CgiActAddMessage(CgiRequest& r) {
  MessageTarget t = OpenTarget(r);
  if (!t.discussion) {
    CgiErrorPage(r, "Message Not Posted", EcToSt(kCouldNotOpenDiscussion).View());
    return;
  }
  if (CgiFilterAnswers(r, "messageAddFilterPre")) return;
  PostForm f = ReadPostForm(r);

  static const CgiGuestTexts kTexts = {
      "guestAddMessage", "You must be a registered user to post--enter your registered name",
      "You must specify a name to post", "Invalid e-mail address", nullptr};
  St message;
  switch (CgiGuestAdd(r, t.discussion, kForumAccPost, kTexts, f.name, f.email, &message)) {
    case CgiGuestStep::kProceed: break;
    case CgiGuestStep::kLoginToPost: {
      CgiPageValues v;
      v.actionPath = StFromView(std::to_string(PostMark(r)) + "@" + std::string(r.location.View()));
      CgiRenderPage(r, 4, t.item, v);
      return;
    }
    case CgiGuestStep::kLogin: CgiKeepAndLogin(r); return;
    case CgiGuestStep::kError: ReplyForm(r, t.item, f, message); return;
  }
  if (!CgiCan(r, t.discussion, kForumAccPost)) {
    CgiAccessError(r, "You do not have access to post in this discussion");
    return;
  }
  if (f.body.Empty() && !HasUploads(r)) {
    CgiErrorPage(r, "Post Message", "No message provided");
    return;
  }
  bool host = CgiIsHost(r, t.discussion);
  St title = PreparedTitle(r, f.title, host);
  St body = PreparedBody(r, f.body, host);

  if (!f.edit && CgiMustModerate(r, t.discussion, title, body)) {
    if (!f.approved) {
      ModeratedPreview(r, f, body, 11);
      return;
    }
    int32_t position = -1;
    uint16_t ec = FrmBkFileAddModerated(t.discussion, t.index, kForumModMessage, r.user, title,
                                        body, true, StCStrXfm("text"), St(), &position);
    if (ec != 0) {
      CgiErrorPage(r, "Message Not Posted",
                   ("Error posting message: " + EcToSt(ec).Str()));
      return;
    }
    CgiShowAfter(r, t.discussion);
    return;
  }
  if (f.edit) {
    PreviewPage(r, t.item, f, body, 11);
    return;
  }

  // The same body by the same author right after itself is a second click
  // on the same form (or a reload of its answer): nothing is posted again.
  int32_t last = ForumMessageLast(t.discussion);
  bool duplicate = last >= 0 && ForumItemAuthor(t.discussion, last) == r.user &&
                   ForumItemData(t.discussion, last).View() == body.View();
  if (!duplicate) {
    int32_t index = -1;
    uint16_t ec = FrmBkForumItemCreate(t.discussion, r.user, title, StCStrXfm("text"), body,
                                       t.index, false, &index);
    if (ec != 0) {
      CgiErrorPage(r, "Message Not Posted", "Error posting message: " + EcToSt(ec).Str());
      return;
    }
    FrmBkItemSetSource(t.discussion, index, StCStrXfm("http"));
    ForumFileCountPost(t.discussion);
    // Read marks, like hit and post counts, are kept by the store alone.
    FrmBkSetHighwater(r.user, t.discussion, index);
    StoreEnclosures(r, t.discussion, index);
  }
  if (CgiFilterAnswers(r, "messageAddFilterPost")) return;
  CgiShowAfter(r, t.discussion);
}

namespace {

// The message of an edit (53, 12): false when the request is answered
// (no such message, or no right to edit it: authors may edit their own).
bool EditTarget(CgiRequest& r, MessageTarget* t) {
  *t = OpenTarget(r);
  if (!MessageOpens(*t)) {
    CgiErrorPage(r, "Edit Message", "Could not locate message--pathname is not valid");
    return false;
  }
  if (!CgiIsOwnMessage(r, t->discussion, t->index) && !CgiCan(r, t->item, kForumAccEdit)) {
    CgiRefuseRight(r, "You do not have edit access for this message");
    return false;
  }
  return true;
}

}  // namespace

// 53: the edit form of a message.
void CgiActEditMessageForm(CgiRequest& r) {
  MessageTarget t;
  if (!EditTarget(r, &t)) return;
  CgiPageValues v;
  v.hasForm = true;
  v.form[size_t(ExprEdit::kTitle)] = ForumItemTitle(t.discussion, t.index);
  v.form[size_t(ExprEdit::kMessage)] = ForumItemData(t.discussion, t.index);
  CgiRenderPage(r, 29, t.item, v);
}

// 12: stores an edited message.
void CgiActEditMessage(CgiRequest& r) {
  MessageTarget t;
  if (!EditTarget(r, &t)) return;
  PostForm f = ReadPostForm(r);
  if (f.body.Empty()) {
    CgiErrorPage(r, "Post Message", "No message provided");
    return;
  }
  bool host = CgiIsHost(r, t.discussion);
  St title = PreparedTitle(r, f.title, host);
  St body = PreparedBody(r, f.body, host);
  if (f.edit) {
    PreviewPage(r, t.item, f, body, 12);
    return;
  }
  uint16_t ec = 0;
  if (ForumItemTitle(t.discussion, t.index).View() != title.View())
    ec = FrmBkItemSetTitle(t.discussion, t.index, title);
  if (ec == 0 && ForumItemData(t.discussion, t.index).View() != body.View())
    ec = FrmBkItemSetData(t.discussion, t.index, body);
  if (ec != 0) {
    CgiErrorPage(r, "Message Not Posted", "Error posting message: " + EcToSt(ec).Str());
    return;
  }
  CgiShowAfter(r, t.discussion);
}

// 54: asks before a message is deleted.
void CgiActDeleteMessageCk(CgiRequest& r) {
  MessageTarget t = OpenTarget(r);
  if (!MessageOpens(t)) {
    CgiErrorPage(r, "Delete Message", "Could not locate message--pathname is not valid");
    return;
  }
  if (!CgiIsOwnMessage(r, t.discussion, t.index) && !CgiCan(r, t.item, kForumAccDelete)) {
    CgiErrorPage(r, "Delete Message", "You do not have delete access for this message item");
    return;
  }
  std::string b = "<p>Delete this message? It cannot be brought back.</p>\n";
  b += MessageBlock(ForumItemTitle(t.discussion, t.index), ForumItemData(t.discussion, t.index));
  b += "<p class=\"actions\"><a class=\"button danger\" href=\"" + CgiLink(55, r.location) +
       "\">Delete</a> <a class=\"button secondary\" href=\"" +
       CgiLink(14, StFromUrlQuote(ForumFilePath(t.discussion))) + "\">Cancel</a></p>\n";
  CgiPageOr(r, 32, t.item, CgiPageValues(), "Delete Message", b);
}

// 55: deletes a message.
void CgiActDeleteMessage(CgiRequest& r) {
  MessageTarget t = OpenTarget(r);
  if (!MessageOpens(t)) {
    CgiErrorPage(r, "Delete Message", "Could not locate message--pathname is not valid");
    return;
  }
  if (!CgiIsOwnMessage(r, t.discussion, t.index) && !CgiCan(r, t.item, kForumAccDelete)) {
    CgiErrorPage(r, "Delete Message", "You do not have delete access for this message item");
    return;
  }
  ForumFile discussion = t.discussion;
  int32_t index = t.index;
  t.item = ForumFile();
  bool ok = FrmBkItemDestroy(discussion, index);
  std::string b = ok ? "<p role=\"status\">The message has been deleted.</p>\n"
                     : "<p role=\"alert\">The message could not be deleted.</p>\n";
  b += "<p><a class=\"button\" href=\"" + CgiLink(14, StFromUrlQuote(ForumFilePath(discussion))) +
       "\">Back to the discussion</a></p>\n";
  CgiPageValues v;
  v.message = StCStrXfm(ok ? "The message has been deleted." : "The message could not be deleted.");
  CgiPageOr(r, 33, discussion, v, "Delete Message", b);
}

}  // namespace quil
