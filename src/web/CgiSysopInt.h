// CgiSysopInt: what the sysop's pages share -- the page builder of the
// control-panel pages, the settings forms described as tables, and the
// handlers of the sysop's commands (log-in, control panel, first-start
// wizard, settings forms, switches, user administration).
//
// Every change these pages make goes through the journaling setters of
// FrmBk.h, so that it reaches the roll-forward log.  The dispatcher has
// already refused the sysop's commands to everybody else ("Sysop
// Function"); the handlers check the sysop again where a forward could
// reach them (the log-in and the wizard).
//
// Pages are built here, not from page types: the site's template file has
// no page type for the control panel, and the built-in pages use the
// standard stylesheet and the site's banner so that they look like the rest
// of the site.  The first-start wizard's general step is the exception: it
// renders page type 64 ("startupGeneral"), which a site may redefine.
#pragma once

#include <string>
#include <string_view>

#include "CgiInt.h"
#include "ForumSet.h"

namespace quil {

// ---------------------------------------------------------------------------
// Page builder.

// Text escaped for HTML content and attribute values.
std::string SysopEsc(std::string_view text);
std::string SysopEsc(const St& text);

// Opens r.page with the head of a sysop page: the document head with the
// site title, " - " and title, the stylesheet, the banner, and the first
// heading (title).  The request processor closes the page (footer and
// "</BODY></HTML>").
void SysopPageBegin(CgiRequest& r, std::string_view title);
// Adds HTML as it is.
void SysopPageAdd(CgiRequest& r, std::string_view html);
// A message announced to screen readers: an error (role="alert") or a
// confirmation (role="status").  text is plain text.
void SysopPageError(CgiRequest& r, std::string_view text);
void SysopPageNote(CgiRequest& r, std::string_view text);
// The link back to the control panel.
void SysopPageBackLink(CgiRequest& r);

// ---------------------------------------------------------------------------
// Reading the request.

// ASCII case ignored.
bool SysopEqualNoCase(std::string_view a, std::string_view b);
// A form field without its outer blanks (empty when absent).
std::string SysopTrimmed(const CgiRequest& r, std::string_view name);
// A decimal integer with an optional sign and outer blanks; false for
// anything else (and for more than 12 characters).
bool SysopReadInt(const St& value, int64_t* out);
// True when r's user is the sysop.  Otherwise the request is answered:
// a guest is sent to log in (the request kept), anybody else gets
// "Sysop Function".  The dispatcher refuses the sysop's commands already;
// this covers the commands outside that set and requests forwarded here.
bool SysopRefused(CgiRequest& r);

// ---------------------------------------------------------------------------
// Settings forms.
//
// A form is a table of fields, each bound to one sysop setting through its
// getter and its journaling setter.  Processing reads every field of the
// table that the post carries and checks it before anything is stored: a
// value of the wrong kind or out of range answers the form again with a
// message naming the field, and nothing is stored.  A field the post does
// not carry leaves its setting as it is (so that a form with fewer fields,
// or a script that changes one setting, does not clear the others); a
// check box is written with a hidden companion of value "0" ahead of it, so
// that an unchecked box arrives as "0" and a checked one as "1" (the form
// keeps a name's last value).  A text sent empty removes the setting.

enum class SysopFieldKind { kFlag, kInt, kLine, kText };

// The longest values the forms take: a line (a name, a path, an address)
// and a text (a heading, a template).  Longer ones are refused with the
// field named, so that no post can grow the settings record without bound.
constexpr int32_t kSysopLineMax = 1024;
constexpr int32_t kSysopTextMax = 65536;

struct SysopField {
  const char* name;   // the form field
  const char* label;  // what the form shows
  SysopFieldKind kind;
  bool (*getFlag)(ForumRoot);
  void (*setFlag)(ForumRoot, bool);
  int32_t (*getInt)(ForumRoot);
  void (*setInt)(ForumRoot, int32_t);
  St (*getText)(ForumRoot);
  void (*setText)(ForumRoot, St);
  int32_t min;  // integers: the accepted range
  int32_t max;
  // Texts: a check of the value (null: any text); false with the reason
  // in *why.
  bool (*check)(const St& value, std::string* why);
};

struct SysopForm {
  int showCommand;     // the command that shows the form
  int processCommand;  // the command the form posts to
  const char* title;
  const char* intro;   // a sentence under the heading (may be null)
  const SysopField* fields;
  int fieldCount;
  // Runs after the settings were stored (may be null): what a change must
  // set in motion beyond the stored value.  Returns a note for the page
  // (empty: the usual one).
  std::string (*after)(CgiRequest& r);
};

// The forms by their commands (show or process); null when none.
const SysopForm* SysopFormFind(int command);
// Shows form with the stored values (or, after a refused post, the values
// posted), an error or a note.
void SysopFormShow(CgiRequest& r, const SysopForm& form, std::string_view error,
                   std::string_view note, bool fromPost);
// Checks and stores the posted fields of form.  False with the message in
// *error (nothing stored) when a field is refused.
bool SysopFormStore(CgiRequest& r, const SysopForm& form, std::string* error);

// ---------------------------------------------------------------------------
// The sysop user and the factory password.

// True when user's stored password is still the one a new site starts
// with: the wizard is shown until it changes.
bool SysopOnFactoryPassword(ForumRoot root, ChHandle user);

// ---------------------------------------------------------------------------
// Handlers.

void CgiActSysopLoginForm(CgiRequest& r);      // 94
void CgiActSysopLogin(CgiRequest& r);          // 95
void CgiActSysopControls(CgiRequest& r);       // 59
void CgiActSysopStartupWelcome(CgiRequest& r); // 78
void CgiActSysopStartupImages(CgiRequest& r);  // 81
void CgiActSysopStartupPassword(CgiRequest& r);// 84
void CgiActSysopStartupGeneral(CgiRequest& r); // 85
void CgiActSysopSettingsShow(CgiRequest& r);   // every form's show command
void CgiActSysopSettingsProcess(CgiRequest& r);// every form's process command
void CgiActSysopSwitch(CgiRequest& r);         // 90, 92, 93, 96, 201, 205, 206, 210, 211
void CgiActSysopReset(CgiRequest& r);          // 99
void CgiActSysopBackupStatus(CgiRequest& r);   // 219
void CgiActSysopTest(CgiRequest& r);           // 100
void CgiActSysopPickUser(CgiRequest& r);       // 129
void CgiActSysopPickUserProcess(CgiRequest& r);// 130
void CgiActSysopSetPasswordForm(CgiRequest& r);// 70
void CgiActSysopSetPassword(CgiRequest& r);    // 71
void CgiActSysopRemoveUserForm(CgiRequest& r); // 72
void CgiActSysopRemoveUser(CgiRequest& r);     // 73
void CgiActSysopClearPictureForm(CgiRequest& r);// 74
void CgiActSysopClearPicture(CgiRequest& r);   // 75
void CgiActAccessShow(CgiRequest& r);          // 115
void CgiActAccessProcess(CgiRequest& r);       // 116
void CgiActAccessImport(CgiRequest& r);        // 117
void CgiActGroupsShow(CgiRequest& r);          // 118
void CgiActGroupsProcess(CgiRequest& r);       // 119
void CgiActGroupShow(CgiRequest& r);           // 120
void CgiActGroupProcess(CgiRequest& r);        // 121
void CgiActGroupImport(CgiRequest& r);         // 123
void CgiActGroupAccessShow(CgiRequest& r);     // 239
void CgiActGroupAccessProcess(CgiRequest& r);  // 240
void CgiActSysopSynch(CgiRequest& r);          // 190
void CgiActSysopChatStatus(CgiRequest& r);     // 207
void CgiActSysopSpiderStatus(CgiRequest& r);   // 237
void CgiActSysopStats(CgiRequest& r);          // 131
void CgiActSysopStatsClear(CgiRequest& r);     // 132
void CgiActSysopExportUsersForm(CgiRequest& r);// 212
void CgiActSysopExportUsers(CgiRequest& r);    // 213
void CgiActSysopLookupUsersForm(CgiRequest& r);// 214
void CgiActSysopLookupUsers(CgiRequest& r);    // 215
void CgiActSysopIndexShow(CgiRequest& r);      // 216
void CgiActSysopIndexConfirm(CgiRequest& r);   // 217
void CgiActSysopIndexProcess(CgiRequest& r);   // 218

}  // namespace quil
