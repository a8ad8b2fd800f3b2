// CgiEditInt: what the handlers that change the conference share -- who
// asks and with which rights, the guest who posts under a name, the text
// rules of posts (text-only sites, length limits, the cleaning of HTML),
// the moderation test, and the pages (a page type rendered with its page
// values, or the built-in page when the site defines none).
#pragma once

#include <string_view>

#include "CgiInt.h"
#include "Expr.h"
#include "ForumAcc.h"

namespace quil {

// ---------------------------------------------------------------------------
// Rights.

// Whether r's user has every bit of mask in item (a guest asks as the
// guest principal).
bool CgiCan(const CgiRequest& r, const ForumFile& item, uint32_t mask);
// Host rights in item: long posts and HTML allowed, no cutting.
bool CgiIsHost(const CgiRequest& r, const ForumFile& item);
// Whether the author of message index may change it whatever the list
// says: a registered author (never a guest record) editing his own.
bool CgiIsOwnMessage(const CgiRequest& r, const ForumFile& discussion, int32_t index);

// The guest step of adding something (a message, a discussion, a folder).
struct CgiGuestTexts {
  const char* reason;         // "guestAddMessage" ...
  const char* mustRegister;   // guests may post here but the site takes none
  const char* mustName;       // no name given
  const char* badEmail;       // the e-mail address fails the syntax check
  const char* secondLine;     // nil, or the new guest record's second line
};
enum class CgiGuestStep {
  kProceed,     // r.user may go on (a registered user, or the guest record made)
  kLoginToPost, // the name is a registered user's: the login-to-post page is due
  kLogin,       // guests may not add here: the login form with the request kept
  kError,       // *message says what is wrong with the form
};
// For a guest: the name and e-mail of the form checked, and the guest
// record found or made and attached to the session (r.user, r.cert).
// mask is the right the guest principal needs in item.  Where guests may
// not add, the answer is the login form with the request kept over it
// (kLogin, CgiKeepAndLogin), so that the post goes through once the user
// has logged in; the login-to-post page is for a name that is a
// registered user's.  A name that is already a guest's reuses that guest
// record (a guest posting again under the same name).
CgiGuestStep CgiGuestAdd(CgiRequest& r, const ForumFile& item, uint32_t mask,
                         const CgiGuestTexts& texts, const St& name, const St& email,
                         St* message);
// A syntax check of an e-mail address: local part "@" domain with a dot,
// no blanks or controls, at most 254 bytes.
bool CgiEmailSyntaxOk(std::string_view address);

// ---------------------------------------------------------------------------
// The text of posts.

// Removes every HTML tag (and comment) from text.
St CgiStripTags(const St& text);
// Cleans a post's body for storing.  Hosts may write any HTML.  For others
// the active parts are taken out -- the elements script, style, iframe,
// frame, frameset, object, embed, applet, form, meta, link and base with
// their contents, attributes named on... and "javascript:" / "vbscript:"
// addresses -- so that a post never runs code in another reader's browser.
St HtmlIn(const St& body, bool host);
// text cut to at most max bytes, never inside a UTF-8 sequence.
St CgiCutText(const St& text, int32_t max);
// Whether a post must wait in the moderation queue: the user is moderated
// in item, or body or title holds an objectionable word (or a telephone
// number, when the sysop asks).
bool CgiMustModerate(const CgiRequest& r, const ForumFile& item, const St& title,
                     const St& body);

// ---------------------------------------------------------------------------
// Pages.

// Page values of a rendering beyond the request's.
struct CgiPageValues {
  St error;          // the page's error text (error)
  St actionPath;     // the action path (actionPath)
  St title;          // the item's title (title)
  St message;        // the item's text (message)
  bool hasForm = false;
  ExprEditForm form; // the edit-form values (editTitle ...)
};
// Whether the site or the built-in templates have a page of pageType for
// folder.
bool CgiHasPage(int pageType, const ForumFile& folder);
// Renders pageType (the site's macro, else the standard template) for path
// into r.page with the page values.
void CgiRenderPage(CgiRequest& r, int pageType, const ForumFile& path,
                   const CgiPageValues& values);
// A built-in page: the site's head and banner, the title, and body (HTML,
// written as it is) in the page's main part.
void CgiBuiltinPage(CgiRequest& r, const ForumFile& path, std::string_view title,
                    std::string_view body);
// pageType when the site has it, else the built-in page of title and body.
void CgiPageOr(CgiRequest& r, int pageType, const ForumFile& path,
               const CgiPageValues& values, std::string_view title, std::string_view body);
// A link to this script: "?" command "@@" the location quoted.
std::string CgiLink(int command, const St& location);
// A hidden input of a form.
std::string CgiHidden(std::string_view name, const St& value);
// Shows location with command 14 (the location display), the page that
// ends a successful change.
void CgiShowAfter(CgiRequest& r, const ForumFile& item);
// Runs filter name; true when its output answers the request (r.page then
// holds it).
bool CgiFilterAnswers(CgiRequest& r, const char* name);
// "The item that was asked for could not be found" pages: title and the
// quoted location.
void CgiNotFound(CgiRequest& r, std::string_view title);
// The access error page of a right the user lacks.
void CgiAccessError(CgiRequest& r, std::string_view what);
// The answer to a request that lacks a right: a guest is asked to log in
// (the request kept, carried out after the login), anyone else gets the
// access error page with what.
void CgiRefuseRight(CgiRequest& r, std::string_view what);

// The handlers (CgiReply.cc, CgiItems.cc, CgiModerate.cc, CgiLinks.cc).
void CgiActAddFolderForm(CgiRequest& r);        // 3
void CgiActAddFolder(CgiRequest& r);            // 4
void CgiActAddDiscussionForm(CgiRequest& r);    // 9
void CgiActAddDiscussion(CgiRequest& r);        // 10
void CgiActAddMessage(CgiRequest& r);           // 11
void CgiActEditMessage(CgiRequest& r);          // 12
void CgiActEditFolderForm(CgiRequest& r);       // 39
void CgiActDeleteFolder(CgiRequest& r);         // 40
void CgiActEditDiscussionForm(CgiRequest& r);   // 41
void CgiActDeleteDiscussion(CgiRequest& r);     // 42
void CgiActDeleteDiscussionCk(CgiRequest& r);   // 51
void CgiActDeleteFolderCk(CgiRequest& r);       // 52
void CgiActEditMessageForm(CgiRequest& r);      // 53
void CgiActDeleteMessageCk(CgiRequest& r);      // 54
void CgiActDeleteMessage(CgiRequest& r);        // 55
void CgiActEditDiscussion(CgiRequest& r);       // 57
void CgiActEditFolder(CgiRequest& r);           // 58
void CgiActReplyForm(CgiRequest& r);            // 229
void CgiActSubscribe(CgiRequest& r);            // 29
void CgiActCancelSubscription(CgiRequest& r);   // 36
void CgiActReadSubscription(CgiRequest& r);     // 38
void CgiActCheckModerated(CgiRequest& r);       // 124
void CgiActApproveModerated(CgiRequest& r);     // 125
void CgiActAddLinkForm(CgiRequest& r);          // 136
void CgiActAddLink(CgiRequest& r);              // 137
void CgiActEditLinkForm(CgiRequest& r);         // 138
void CgiActEditLink(CgiRequest& r);             // 139
void CgiActDeleteLink(CgiRequest& r);           // 140

}  // namespace quil
