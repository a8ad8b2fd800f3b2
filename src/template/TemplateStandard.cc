// The built-in standard page templates, the missing-template page, and the
// static files they use.
//
// The pages are HTML5 written in the template language with the keywords of
// the language only.  Every page shares the head (the site's character set,
// a viewport for phones, the title, the one stylesheet "/quil.css") and
// opens <body> with the site banner; the request processor closes the page
// (it appends the folder's footer and "</BODY></HTML>").  Forms label every
// field, errors are announced (role="alert"), and links back to this server
// are written "?" + command + "@@" + location, so that the certificate of
// the rendering goes into them.
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "Ma.h"
#include "TemplateInt.h"

namespace quil {

namespace {

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out += p;
  return out;
}

// The head and the top of every page: a link past the header for keyboard
// users, the site's banner, and who is reading -- the user's name with the
// preferences and a log-out link, or a guest's way to log in and (where
// the site takes registrations) to register.  Log-out is command 25 with
// the form value "logout" in the link.
#define TPL_HEAD_OPEN                                                        \
  "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n"                            \
  "<meta charset=\"%% siteDefaultCharset %%\">\n"                            \
  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n" \
  "<title>"
#define TPL_HEAD_CLOSE                                                       \
  "</title>\n<link rel=\"stylesheet\" href=\"/quil.css\">\n"                 \
  "<link rel=\"icon\" href=\"/Images/quil-icon.svg\" type=\"image/svg+xml\">\n" \
  "</head>\n<body>\n<a class=\"skip\" href=\"#content\">Skip to the content</a>\n" \
  "<header class=\"site-header\">\n<div class=\"banner\">%% banner %%</div>\n" \
  TPL_WHO "</header>\n<main class=\"page\" id=\"content\">\n"
#define TPL_HEAD(title) TPL_HEAD_OPEN "%% siteTitle.toSGML %% - " title TPL_HEAD_CLOSE
#define TPL_WHO                                                              \
  "<nav class=\"who\" aria-label=\"Account\">%% if userIsRegistered %%"     \
  "<span class=\"who-name\">Logged in as <strong>%% userName.toSGML %%</strong></span>" \
  " <a href=\"?25@@\">Preferences</a> <a href=\"?25@@!logout=1\">Log out</a>"  \
  "%% else %%<span class=\"who-name\">Reading as a guest</span>"              \
  " <a href=\"?15@@%% if !pathIsTop && !pathIsNone %%14@%% pathFull.toURL %%%% endif %%\">Log in</a>%% if siteCanAutoRegister %%"                \
  " <a href=\"?18@@\">Register</a>%% endif %%%% endif %%</nav>\n"
#define TPL_END "</main>\n"
#define TPL_ERROR \
  "%% if error %%<p class=\"error\" role=\"alert\">%% error %%</p>\n%% endif %%"
#define TPL_NOT_REGISTERED "%% if !userIsRegistered %%%% return %%%% endif %%"
#define TPL_BREADCRUMB "<nav class=\"crumbs\" aria-label=\"Location\">%% pathHier %%</nav>\n"

constexpr char kLogin[] = TPL_HEAD("Log in") R"TPL(<h1>Log in</h1>
%% loginNews %%
%% if loginIs failure %%<p class="error" role="alert">The name or password is not correct. Please try again.</p>
%% elseif loginIs noSlots %%<p class="error" role="alert">All sessions are in use. Please try again in a few minutes.</p>
%% elseif loginIs noRegister %%<p class="error" role="alert">This site does not take new registrations.</p>
%% endif %%)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?23@@%% actionPath.toSGML %%">
<label for="username">Name or e-mail address</label>
<input id="username" name="username" autocomplete="username" required value="%% form("username").toSGML %%">
<label for="password">Password</label>
<input id="password" name="password" type="password" autocomplete="current-password" required>
<div class="actions"><button type="submit">Log in</button></div>
</form>
%% if siteCanAutoRegister %%<p>New here? <a href="?18@@%% actionPath.toSGML %%">Register</a>.</p>
%% endif %%%% if siteAllowsGuests %%<p><a href="?14@@">Continue as a guest</a></p>
%% endif %%)TPL" TPL_END;

constexpr char kPassword[] = TPL_HEAD("Password") R"TPL(<h1>Password</h1>
%% passwordNews %%
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?23@@%% actionPath.toSGML %%">
<label for="username">Name</label>
<input id="username" name="username" autocomplete="username" required value="%% form("username").toSGML %%">
<label for="password">Password</label>
<input id="password" name="password" type="password" autocomplete="current-password" required>
<div class="actions"><button type="submit">Continue</button></div>
</form>
)TPL" TPL_END;

constexpr char kLoginToPost[] = TPL_HEAD("Log in to post") R"TPL(<h1>Log in to post</h1>
<p>The name <strong>%% form("name").toSGML %%</strong> belongs to a registered user. Log in to post under it, or go back and choose another name.</p>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?23@@%% actionPath.toSGML %%">
<label for="username">Name</label>
<input id="username" name="username" autocomplete="username" required value="%% form("name").toSGML %%">
<label for="password">Password</label>
<input id="password" name="password" type="password" autocomplete="current-password" required>
<input type="hidden" name="newresponse" value="%% form("newresponse").toSGML %%">
<input type="hidden" name="messageTitle" value="%% form("messageTitle").toSGML %%">
<div class="actions"><button type="submit">Log in and post</button></div>
</form>
)TPL" TPL_END;

constexpr char kRegister[] = TPL_HEAD("Register") R"TPL(<h1>Register</h1>
%% registerHeading %%
%% if registerIs failure %%<p class="error" role="alert">The registration could not be completed.</p>
%% elseif registerIs noName %%<p class="error" role="alert">Please give a name.</p>
%% elseif registerIs duplicateName %%<p class="error" role="alert">That name is taken. Please choose another.</p>
%% elseif registerIs invalidName %%<p class="error" role="alert">That name cannot be used.</p>
%% elseif registerIs noEmail %%<p class="error" role="alert">Please give an e-mail address.</p>
%% elseif registerIs badEmail %%<p class="error" role="alert">That e-mail address is not valid.</p>
%% elseif registerIs noPassword %%<p class="error" role="alert">Please choose a password.</p>
%% elseif registerIs badPassword %%<p class="error" role="alert">That password cannot be used.</p>
%% elseif registerIs masterSync %%<p class="error" role="alert">Registration is not possible right now. Please try again later.</p>
%% endif %%%% if registerError %%<p class="error" role="alert">%% registerError %%</p>
%% endif %%<form class="form" method="post" action="?20@@%% actionPath.toSGML %%">
<label for="username">Name</label>
<input id="username" name="username" autocomplete="name" required value="%% form("username").toSGML %%">
<label for="email">E-mail address</label>
<input id="email" name="email" type="email" autocomplete="email" required value="%% form("email").toSGML %%">
<label for="password">Password</label>
<input id="password" name="password" type="password" autocomplete="new-password" required>
<div class="actions"><button type="submit">Register</button></div>
</form>
)TPL" TPL_END;

constexpr char kFolderFields[] = R"TPL(<label for="title">Title</label>
<input id="title" name="title" required value="%% editTitle.toSGML %%">
<label for="header">Heading</label>
<textarea id="header" name="header" rows="6">%% editHeading.toSGML %%</textarea>
<fieldset><legend>Participants may add</legend>
<label class="check"><input type="radio" name="allow_subtopics" value="all" checked> Folders at any depth</label>
<label class="check"><input type="radio" name="allow_subtopics" value="onelevel"> Folders one level deep</label>
<label class="check"><input type="radio" name="allow_subtopics" value="none"> No folders</label>
<label class="check"><input type="checkbox" name="allow_conv" value="1" checked> Discussions</label>
<label class="check"><input type="checkbox" name="allow_links" value="1"> Links</label>
</fieldset>
<label class="check"><input type="checkbox" name="showauthor" value="1"%% if editShowAuthor %% checked%% endif %%> Show the author</label>
<label class="check"><input type="checkbox" name="listFolderItems" value="1" checked> List the items of the folder</label>
<details><summary>Appearance</summary>
<label for="banner">Banner</label>
<textarea id="banner" name="banner" rows="3">%% editBanner.toSGML %%</textarea>
<label for="footer">Footer</label>
<textarea id="footer" name="footer" rows="3">%% editFooter.toSGML %%</textarea>
<label for="background">Background</label>
<input id="background" name="background" value="%% editBackground.toSGML %%">
<label for="folderTemplate">Template set</label>
<input id="folderTemplate" name="folderTemplate" value="%% editTemplate.toSGML %%">
</details>
<details><summary>News and e-mail</summary>
<label for="newsgroup">Newsgroup</label>
<input id="newsgroup" name="newsgroup" value="%% editNewsgroup.toSGML %%">
<label for="folderemail">Mirrored e-mail list</label>
<input id="folderemail" name="folderemail" type="email" value="%% editEmailMirror.toSGML %%">
<label for="folderemailpw">Password of the list</label>
<input id="folderemailpw" name="folderemailpw" type="password" value="%% editEmailPW.toSGML %%">
<label for="folderemailreplyto">Reply-to address</label>
<input id="folderemailreplyto" name="folderemailreplyto" value="%% editEmailReplyTo.toSGML %%">
<label for="folderemailfrom">From address</label>
<input id="folderemailfrom" name="folderemailfrom" value="%% editEmailFrom.toSGML %%">
<label class="check"><input type="checkbox" name="folderemailreply" value="1"%% if editEmailReply %% checked%% endif %%> Replies go to the list</label>
<label class="check"><input type="checkbox" name="folderemailpostthru" value="1"%% if editEmailPostThru %% checked%% endif %%> Send posts to the list</label>
<label class="check"><input type="checkbox" name="folderemailstripsig" value="1"%% if editEmailStripSig %% checked%% endif %%> Strip signatures</label>
</details>
<details><summary>Files</summary>
<label class="check"><input type="checkbox" name="pathHttpUploads" value="1"> Allow uploads</label>
<label class="check"><input type="checkbox" name="pathHttpDownloads" value="1"> Allow downloads</label>
<label class="check"><input type="checkbox" name="inheritsEnclosures" value="1"> Use the enclosure settings of the parent</label>
</details>
)TPL";

const std::string kAddFolder = Join({ TPL_HEAD("New folder") TPL_BREADCRUMB R"TPL(<h1>New folder in %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?4@@%% pathFull.toURL %%">
)TPL", kFolderFields, R"TPL(<div class="actions"><button type="submit">Create the folder</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a></div>
</form>
%% editHelp %%
)TPL" TPL_END});

const std::string kEditFolder = Join({ TPL_HEAD("Edit folder") TPL_BREADCRUMB R"TPL(<h1>Edit %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?58@@%% pathFull.toURL %%">
)TPL", kFolderFields, R"TPL(<div class="actions"><button type="submit">Save</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a> <a class="button danger" href="?52@@%% pathFull.toURL %%">Delete…</a></div>
</form>
%% editHelp %%
)TPL" TPL_END});

constexpr char kDiscussionFields[] = R"TPL(%% if userIsGuest %%<label for="name">Your name</label>
<input id="name" name="name" autocomplete="name" required value="%% form("name").toSGML %%">
<label for="email">Your e-mail address</label>
<input id="email" name="email" type="email" autocomplete="email" value="%% form("email").toSGML %%">
%% endif %%<label for="title">Title</label>
<input id="title" name="title" required value="%% editTitle.toSGML %%">
<label for="header">Opening text</label>
<textarea id="header" name="header" rows="10">%% editHeading.toSGML %%</textarea>
<label class="check"><input type="checkbox" name="showauthor" value="1"%% if editShowAuthor %% checked%% endif %%> Show the authors of messages</label>
)TPL";

const std::string kAddDiscussion = Join({ TPL_HEAD("New discussion") TPL_BREADCRUMB R"TPL(<h1>New discussion in %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?10@@%% pathFull.toURL %%">
)TPL", kDiscussionFields, R"TPL(<div class="actions"><button type="submit">Start the discussion</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a></div>
</form>
%% postHelp %%
)TPL" TPL_END});

const std::string kEditDiscussion = Join({ TPL_HEAD("Edit discussion") TPL_BREADCRUMB R"TPL(<h1>Edit %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?57@@%% pathFull.toURL %%">
)TPL", kDiscussionFields, R"TPL(<div class="actions"><button type="submit">Save</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a> <a class="button danger" href="?51@@%% pathFull.toURL %%">Delete…</a></div>
</form>
)TPL" TPL_END});

constexpr char kDiscussionSummary[] = TPL_HEAD("Outline") TPL_BREADCRUMB R"TPL(<h1>%% pathTitle.toSGML %%</h1>
<p class="meta">%% pathMessageCount %% messages</p>
<ol class="outline">
%% set outline pathSelect("type=message&treeOrder=1") %%%% while outline != "" %%%% set one outline.head(" ") %%%% set outline outline.tail(" ") %%%% if setPath(one) %%<li>%% treeIndent(pathTreeLabel.count(".")) %%<a href="%% pathUrl %%">%% pathTreeTitle.toSGML %%</a> <span class="meta">%% authorName.toSGML %%, <time>%% pathDate %%</time></span></li>
%% endif %%%% endwhile %%%% setPath %%</ol>
<p><a class="button" href="%% pathUrl %%">Read the discussion</a></p>
)TPL" TPL_END;

constexpr char kMessageFields[] = R"TPL(%% if userIsGuest %%<label for="name">Your name</label>
<input id="name" name="name" autocomplete="name" required value="%% form("name").toSGML %%">
<label for="email">Your e-mail address</label>
<input id="email" name="email" type="email" autocomplete="email" value="%% form("email").toSGML %%">
%% endif %%<label for="messageTitle">Title (optional)</label>
<input id="messageTitle" name="messageTitle" value="%% editTitle.toSGML %%">
<label for="newresponse">Message</label>
<textarea id="newresponse" name="newresponse" rows="12" required>%% editMessage.toSGML %%</textarea>
)TPL";

const std::string kReplyToMessage = Join({ TPL_HEAD("Reply") TPL_BREADCRUMB R"TPL(<h1>Reply to %% pathTitle.toSGML %%</h1>
%% if pathIsMessage %%<blockquote class="quoted">%% pathBodyFormatted %%</blockquote>
%% endif %%)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?11@@%% pathFull.toURL %%">
)TPL", kMessageFields, R"TPL(<div class="actions"><button type="submit">Post</button> <button type="submit" name="edit" value="1" class="secondary">Preview</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a></div>
</form>
%% if userIsGuest %%%% unknownUserHelp %%%% else %%%% postHelp %%%% endif %%
)TPL" TPL_END});

constexpr char kEditMessage[] = TPL_HEAD("Edit message") TPL_BREADCRUMB R"TPL(<h1>Edit message %% pathItemNumber %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?12@@%% pathFull.toURL %%">
<label for="messageTitle">Title (optional)</label>
<input id="messageTitle" name="messageTitle" value="%% editTitle.toSGML %%">
<label for="newresponse">Message</label>
<textarea id="newresponse" name="newresponse" rows="12" required>%% editMessage.toSGML %%</textarea>
<div class="actions"><button type="submit">Save</button> <a class="button secondary" href="%% parentUrl %%">Cancel</a> <a class="button danger" href="?54@@%% pathFull.toURL %%">Delete…</a></div>
</form>
)TPL" TPL_END;

constexpr char kLinkFields[] = R"TPL(<label for="title">Title</label>
<input id="title" name="title" required value="%% editTitle.toSGML %%">
<label for="url">Address (a web address, or the path of an item here)</label>
<input id="url" name="url" required value="%% editUrl.toSGML %%">
<label for="description">Description</label>
<textarea id="description" name="description" rows="4">%% editMessage.toSGML %%</textarea>
<label class="check"><input type="checkbox" name="showdescription" value="1"%% if editShowDescription %% checked%% endif %%> Show the description in the folder</label>
)TPL";

const std::string kAddLink = Join({ TPL_HEAD("New link") TPL_BREADCRUMB R"TPL(<h1>New link in %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?137@@%% pathFull.toURL %%">
)TPL", kLinkFields, R"TPL(<div class="actions"><button type="submit">Add the link</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a></div>
</form>
)TPL" TPL_END});

const std::string kEditLink = Join({ TPL_HEAD("Edit link") TPL_BREADCRUMB R"TPL(<h1>Edit %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?139@@%% pathFull.toURL %%">
)TPL", kLinkFields, R"TPL(<div class="actions"><button type="submit">Save</button> <a class="button secondary" href="%% parentUrl %%">Cancel</a> <a class="button danger" href="?140@@%% pathFull.toURL %%">Delete</a></div>
</form>
)TPL" TPL_END});

constexpr char kChatFields[] = R"TPL(<label for="title">Name of the room</label>
<input id="title" name="title" required value="%% editTitle.toSGML %%">
<label for="header">Description</label>
<textarea id="header" name="header" rows="4">%% editHeading.toSGML %%</textarea>
<label for="maxUsers">Most people at once</label>
<input id="maxUsers" name="maxUsers" type="number" min="0" value="%% pathMaxUsers.toSGML %%">
)TPL";

const std::string kAddChat = Join({ TPL_HEAD("New chat room") TPL_BREADCRUMB R"TPL(<h1>New chat room in %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?192@@%% pathFull.toURL %%">
)TPL", kChatFields, R"TPL(<div class="actions"><button type="submit">Open the room</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a></div>
</form>
)TPL" TPL_END});

const std::string kEditChat = Join({ TPL_HEAD("Edit chat room") TPL_BREADCRUMB R"TPL(<h1>Edit %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?194@@%% pathFull.toURL %%">
)TPL", kChatFields, R"TPL(<div class="actions"><button type="submit">Save</button> <a class="button secondary" href="%% parentUrl %%">Cancel</a> <a class="button danger" href="?195@@%% pathFull.toURL %%">Close the room</a></div>
</form>
)TPL" TPL_END});

constexpr char kChatEnter[] = TPL_HEAD("Chat") TPL_BREADCRUMB R"TPL(<h1>%% pathTitle.toSGML %%</h1>
%% pathBody %%
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?241@@%% pathFull.toURL %%">
<label for="name">Your name in the room</label>
<input id="name" name="name" autocomplete="nickname" required value="%% if userIsRegistered %%%% userName.toSGML %%%% else %%%% form("name").toSGML %%%% endif %%">
<div class="actions"><button type="submit">Enter the room</button></div>
</form>
)TPL" TPL_END;

constexpr char kChatRoom[] = TPL_HEAD("Chat") R"TPL(<h1>%% pathTitle.toSGML %%</h1>
<section class="chat" aria-live="polite" aria-label="Messages">
%% chatTextGroup %%
</section>
<form class="form chat-input" method="post" action="?243@@%% pathFull.toURL %%">
<label for="text">Message</label>
<input id="text" name="text" autocomplete="off" autofocus>
<div class="actions"><button type="submit">Send</button> <a class="button secondary" href="%% parentUrl %%">Leave</a></div>
</form>
)TPL" TPL_END;

constexpr char kEditPreferences[] = TPL_HEAD("Preferences") R"TPL(<h1>Preferences of %% userName.toSGML %%</h1>
%% if prefsRenameMessage %%<p class="notice" role="status">%% prefsRenameMessage %%</p>
%% endif %%%% if prefsEmailError %%<p class="error" role="alert">%% prefsEmailError %%</p>
%% endif %%%% if prefsPasswordError %%<p class="error" role="alert">%% prefsPasswordError %%</p>
%% endif %%%% if prefsPasswordMessage %%<p class="notice" role="status">%% prefsPasswordMessage %%</p>
%% endif %%%% if prefsSubscrUpdated %%<p class="notice" role="status">%% prefsSubscrUpdated %%</p>
%% endif %%)TPL" TPL_ERROR R"TPL(<form class="form" method="post" enctype="multipart/form-data" action="?26@@%% pathFull.toURL %%">
<fieldset><legend>You</legend>
<label for="name">Name</label>
<input id="name" name="name" autocomplete="name" value="%% if prefsNewName %%%% prefsNewName.toSGML %%%% else %%%% userName.toSGML %%%% endif %%">
<label for="email">E-mail address</label>
<input id="email" name="email" type="email" autocomplete="email" value="%% if prefsNewEmail %%%% prefsNewEmail.toSGML %%%% else %%%% userEmail.toSGML %%%% endif %%">
<label for="secondLine">Second line under your name</label>
<input id="secondLine" name="secondLine" value="%% user2ndLine.toSGML %%">
<label for="homePage">Home page</label>
<input id="homePage" name="homePage" type="url" value="%% userHomePage.toSGML %%">
<label for="bio">About you</label>
<textarea id="bio" name="bio" rows="4">%% userBio.toSGML %%</textarea>
<label for="urls">Links (one a line)</label>
<textarea id="urls" name="urls" rows="3">%% userUrlsRaw.toSGML %%</textarea>
</fieldset>
<fieldset><legend>Picture</legend>
%% if userHasPicture %%<img class="user-picture" src="%% userPicture %%" alt="Your picture">
<label class="check"><input type="checkbox" name="clearPicture" value="1"> Remove the picture</label>
%% endif %%<label for="picture">A new picture (GIF or JPEG)</label>
<input id="picture" name="picture" type="file" accept="image/gif,image/jpeg">
</fieldset>
<fieldset><legend>Password</legend>
<label for="password">New password</label>
<input id="password" name="password" type="password" autocomplete="new-password">
<label for="password2">The new password again</label>
<input id="password2" name="password2" type="password" autocomplete="new-password">
</fieldset>
<fieldset><legend>Reading</legend>
<label for="maxMessages">Messages on a page (0: the site's choice)</label>
<input id="maxMessages" name="maxMessages" type="number" min="0" value="%% userMaxMessages %%">
<label for="folderSortBy">Order of folder lists</label>
<select id="folderSortBy" name="folderSortBy">
<option value="2"%% if userFolderSortBy default %% selected%% endif %%>The site's order</option>
<option value="0"%% if userFolderSortBy oldestCreated %% selected%% endif %%>Oldest first</option>
<option value="3"%% if userFolderSortBy newestCreated %% selected%% endif %%>Newest first</option>
<option value="1"%% if userFolderSortBy newestModified %% selected%% endif %%>Recently changed first</option>
<option value="4"%% if userFolderSortBy alphabetically %% selected%% endif %%>Alphabetically</option>
</select>
<label class="check"><input type="checkbox" name="showPictures" value="1"%% if userShowPictures %% checked%% endif %%> Show pictures</label>
<label class="check"><input type="checkbox" name="threading" value="1"%% if userUniqueId.userThreading %% checked%% endif %%> Show discussions as threads</label>
<label class="check"><input type="checkbox" name="useCookies" value="1"%% if userUseCookies %% checked%% endif %%> Remember me on this computer</label>
<label class="check"><input type="checkbox" name="showPrepared" value="1"%% if userShowPrepared %% checked%% endif %%> Show whom pages are prepared for</label>
<label for="logoutTime">Log out after this many idle seconds</label>
<input id="logoutTime" name="logoutTime" type="number" min="0" value="%% userLogoutTime %%">
</fieldset>
<div class="actions"><button type="submit">Save</button> <a class="button secondary" href="%% pathUrl %%">Cancel</a></div>
</form>
<p><a href="?25@@!logout=1">Log out</a></p>
)TPL" TPL_END;

constexpr char kEditedPreferences[] = TPL_HEAD("Preferences saved") R"TPL(<h1>Preferences saved</h1>
%% if prefsRenameMessage %%<p class="notice" role="status">%% prefsRenameMessage %%</p>
%% endif %%%% if prefsEmailError %%<p class="error" role="alert">%% prefsEmailError %%</p>
%% endif %%%% if prefsPasswordError %%<p class="error" role="alert">%% prefsPasswordError %%</p>
%% endif %%%% if prefsPasswordMessage %%<p class="notice" role="status">%% prefsPasswordMessage %%</p>
%% endif %%%% if prefsSubscrUpdated %%<p class="notice" role="status">%% prefsSubscrUpdated %%</p>
%% endif %%%% if prefsSysopCertificate %%<p class="notice" role="status">%% prefsSysopCertificate %%</p>
%% endif %%<p>Your preferences have been saved, %% userName.toSGML %%.</p>
<p><a class="button" href="%% pathUrl %%">Back to %% pathTitle.toSGML %%</a> <a class="button secondary" href="?25@@%% pathFull.toURL %%">Change them again</a></p>
)TPL" TPL_END;

constexpr char kSearch[] = TPL_HEAD("Search") TPL_BREADCRUMB R"TPL(<h1>Search %% pathTitle.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<form class="form" role="search" method="post" action="?127@@%% pathFull.toURL %%">
<label for="search">Words to look for</label>
<input id="search" name="search" type="search" required value="%% form("search").toSGML %%">
<label class="check"><input type="checkbox" name="titles" value="1"> Titles only</label>
<div class="actions"><button type="submit">Search</button></div>
</form>
)TPL" TPL_END;

constexpr char kSearchResults[] = TPL_HEAD("Search results") TPL_BREADCRUMB R"TPL(<h1>Results for “%% form("search").toSGML %%”</h1>
%% if searchItems %%<div class="results">
%% searchItems %%
</div>
%% else %%<p>Nothing was found.</p>
%% endif %%%% if searchToContinue %%<p><a class="button" href="%% searchToContinue.toSGML %%">More results</a></p>
%% endif %%<p><a href="?126@@%% pathFull.toURL %%">New search</a></p>
)TPL" TPL_END;

constexpr char kGetInfo[] = TPL_HEAD("Information") TPL_BREADCRUMB R"TPL(<h1>%% pathTitle.toSGML %%</h1>
<dl class="info">
<dt>Kind</dt><dd>%% if pathIsTop %%The top level%% elseif pathIsFolder %%Folder%% elseif pathIsDiscussion %%Discussion%% elseif pathIsMessage %%Message %% pathItemNumber %%%% elseif pathIsLink %%Link%% elseif pathIsChat %%Chat room%% else %%Item%% endif %%</dd>
<dt>Location</dt><dd><a href="%% pathUrl %%">%% pathFull.toSGML %%</a></dd>
%% if authorUniqueID %%<dt>Created by</dt><dd><a href="%% authorInfoUrl %%">%% authorName.toSGML %%</a></dd>
%% endif %%<dt>Created</dt><dd><time>%% pathCreatedDate %%</time></dd>
<dt>Changed</dt><dd><time>%% pathModifiedDate %%</time></dd>
%% if pathIsFolder %%<dt>Folders</dt><dd>%% pathFolderCount %%</dd>
<dt>Discussions</dt><dd>%% pathDiscussionCount %%</dd>
%% endif %%%% if pathIsDiscussion %%<dt>Messages</dt><dd>%% pathMessageCount %%</dd>
%% endif %%<dt>Visits</dt><dd>%% pathHits %%</dd>
<dt>Posts</dt><dd>%% pathPosts %%</dd>
</dl>
)TPL" TPL_END;

constexpr char kSessionLimit[] = TPL_HEAD("Busy") R"TPL(<h1>The site is busy</h1>
<p role="alert">All sessions of %% siteTitle.toSGML %% are in use. Please try again in a few minutes.</p>
<p><a class="button" href="?14@@">Try again</a></p>
)TPL" TPL_END;

constexpr char kStartupGeneral[] = TPL_HEAD("Setting up") R"TPL(<h1>Setting up %% program %%</h1>
<p>Give the site a title and the address that its mail comes from. Everything can be changed later in the sysop's control panel.</p>
)TPL" TPL_ERROR R"TPL(<form class="form" method="post" action="?85@@">
<label for="siteTitle">Title of the site</label>
<input id="siteTitle" name="siteTitle" required value="%% siteTitle.toSGML %%">
<label for="serverName">Name of the server</label>
<input id="serverName" name="serverName" value="%% siteHost.toSGML %%">
<label for="sysopEmail">The sysop's e-mail address</label>
<input id="sysopEmail" name="sysopEmail" type="email" value="%% sysopEmail.toSGML %%">
<label class="check"><input type="checkbox" name="allowGuests" value="1"%% if siteAllowsGuests %% checked%% endif %%> Guests may read</label>
<label class="check"><input type="checkbox" name="autoRegister" value="1"%% if siteCanAutoRegister %% checked%% endif %%> Visitors may register themselves</label>
<div class="actions"><button type="submit">Continue</button></div>
</form>
)TPL" TPL_END;

constexpr char kMailNav[] = R"TPL(<nav class="tabs" aria-label="Mail"><a href="?250@@">Inbox</a> <a href="?252@@">Write</a></nav>
)TPL";

const std::string kEmailList = Join({ TPL_NOT_REGISTERED TPL_HEAD("Mail"), kMailNav, R"TPL(<h1>Mail of %% userName.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(%% if message %%<div class="mail-list">
%% message %%
</div>
%% else %%<p>There is no mail.</p>
%% endif %%)TPL" TPL_END});

const std::string kEmailRead = Join({ TPL_NOT_REGISTERED TPL_HEAD("Mail"), kMailNav, R"TPL(<article class="mail">
<h1>%% title.toSGML %%</h1>
)TPL" TPL_ERROR R"TPL(<div class="mail-body">%% message %%</div>
</article>
<p class="actions"><a class="button" href="?253@@%% location.toSGML %%">Reply</a> <a class="button secondary" href="?254@@%% location.toSGML %%">Forward</a> <a class="button danger" href="?255@@%% location.toSGML %%">Delete</a></p>
)TPL" TPL_END});

constexpr char kMailForm[] = R"TPL(<form class="form" method="post" action="?256@@">
<label for="to">To</label>
<input id="to" name="to" required value="%% editEmail.toSGML %%">
<label for="subject">Subject</label>
<input id="subject" name="subject" value="%% editTitle.toSGML %%">
<label for="body">Message</label>
<textarea id="body" name="body" rows="14">%% editMessage.toSGML %%</textarea>
<div class="actions"><button type="submit">Send</button> <a class="button secondary" href="?250@@">Cancel</a></div>
</form>
)TPL";

const std::string kEmailWrite = Join({TPL_NOT_REGISTERED TPL_HEAD("Write mail"), kMailNav, "<h1>Write mail</h1>\n" TPL_ERROR, kMailForm, TPL_END});
const std::string kEmailReply = Join({TPL_NOT_REGISTERED TPL_HEAD("Reply"), kMailNav, "<h1>Reply</h1>\n" TPL_ERROR, kMailForm, TPL_END});
const std::string kEmailForward = Join({TPL_NOT_REGISTERED TPL_HEAD("Forward"), kMailNav, "<h1>Forward</h1>\n" TPL_ERROR, kMailForm, TPL_END});

const std::string kEmailDelete = Join({ TPL_NOT_REGISTERED TPL_HEAD("Mail deleted"), kMailNav, R"TPL(<h1>Mail deleted</h1>
)TPL" TPL_ERROR R"TPL(<p role="status">%% if message %%%% message %%%% else %%The message has been deleted.%% endif %%</p>
<p><a class="button" href="?250@@">Back to the inbox</a></p>
)TPL" TPL_END});

const std::string kEmailSend = Join({ TPL_NOT_REGISTERED TPL_HEAD("Mail sent"), kMailNav, R"TPL(<h1>Mail sent</h1>
)TPL" TPL_ERROR R"TPL(<p role="status">%% if message %%%% message %%%% else %%Your message has been sent.%% endif %%</p>
<p><a class="button" href="?250@@">Back to the inbox</a></p>
)TPL" TPL_END});

// The login filters: one expression each, a line of the mail log.
constexpr char kLoginFilter[] =
    R"TPL(%% ("LOGIN by " & userName).emailLog("web", "OK") %%)TPL";
constexpr char kLoginFailureFilter[] =
    R"TPL(%% ("LOGIN ATTEMPT by " & form("username")).emailLog("web", "warning") %%)TPL";

constexpr char kMissing[] = TPL_HEAD("Missing template") R"TPL(<h1>Missing standard template</h1>
<p>This page has no template. The site's template file "quil.tpl" can define one under the name of the page.</p>
<p><a class="button" href="?14@@">Go to the top level</a></p>
)TPL" TPL_END;

// PageStandardTable: the built-in text of each page type (null: none).
using PageTable = std::array<const char*, kTemplatePageTypes + 1>;
const PageTable& PageStandardTable() {
  static const PageTable table = [] {
    PageTable t{};
    t[1] = kLogin;
    t[2] = kPassword;
    t[4] = kLoginToPost;
    t[5] = kRegister;
    t[11] = kAddFolder.c_str();
    t[12] = kEditFolder.c_str();
    t[19] = kAddDiscussion.c_str();
    t[20] = kEditDiscussion.c_str();
    t[25] = kDiscussionSummary;
    t[27] = kReplyToMessage.c_str();
    t[29] = kEditMessage;
    t[35] = kAddLink.c_str();
    t[36] = kEditLink.c_str();
    t[38] = kAddChat.c_str();
    t[39] = kEditChat.c_str();
    t[42] = kChatEnter;
    t[43] = kChatRoom;
    t[44] = kEditPreferences;
    t[45] = kEditedPreferences;
    t[53] = kSearch;
    t[54] = kSearchResults;
    t[62] = kGetInfo;
    t[63] = kSessionLimit;
    t[64] = kStartupGeneral;
    t[65] = kEmailList.c_str();
    t[66] = kEmailRead.c_str();
    t[67] = kEmailWrite.c_str();
    t[68] = kEmailReply.c_str();
    t[69] = kEmailForward.c_str();
    t[70] = kEmailDelete.c_str();
    t[71] = kEmailSend.c_str();
    t[72] = kLoginFilter;
    t[73] = kLoginFailureFilter;
    return t;
  }();
  return table;
}

std::array<TemplateRef, kTemplatePageTypes + 1>& ParsedTemplate() {
  static std::array<TemplateRef, kTemplatePageTypes + 1> parsed;
  return parsed;
}

TemplateRef& MissingPage() {
  static TemplateRef missing;
  return missing;
}

}  // namespace

std::string_view TemplateHeadOpen() { return TPL_HEAD_OPEN; }
std::string_view TemplateHeadClose() { return TPL_HEAD_CLOSE; }

const char* TemplateStandardText(int pageType) {
  if (pageType < 1 || pageType > kTemplatePageTypes) return nullptr;
  return PageStandardTable()[size_t(pageType)];
}

void StandardTemplateInit() {
  for (TemplateRef& t : ParsedTemplate()) t = TemplateRef();
  MissingPage() = TemplateParse(StCStrXfm(kMissing));
}

TemplateRef MissingStandardTemplate() {
  if (!MissingPage()) MissingPage() = TemplateParse(StCStrXfm(kMissing));
  return MissingPage();
}

TemplateRef StandardTemplate(int pageType) {
  MA_CHECK(TemplateDebugFlag, pageType >= 1 && pageType <= kTemplatePageTypes,
           "StandardTemplate--Type");
  const char* text = PageStandardTable()[size_t(pageType)];
  if (!text) return MissingStandardTemplate();
  TemplateRef& parsed = ParsedTemplate()[size_t(pageType)];
  if (!parsed) parsed = TemplateParse(StCStrXfm(text));
  return parsed;
}

void StandardTemplateTerm() {
  for (TemplateRef& t : ParsedTemplate()) t = TemplateRef();
  MissingPage() = TemplateRef();
}

TemplateRef TemplateForPage(int pageType, const ForumFile& folder) {
  TemplateRef found;
  const char* name = TemplatePageTypeName(pageType);
  if (name && TemplateFileLookup(StCStrXfm(name), folder, &found)) return found;
  return StandardTemplate(pageType);
}

// ---------------------------------------------------------------------------
// Static files.

namespace {

constexpr char kStylesheet[] = R"CSS(/* quil.css: the stylesheet of the built-in pages.
   Light and dark colours follow the browser's preference; every pair of
   text and background colours below has a contrast of at least 4.5:1.
   The layout is one column that widens to 64rem and works without
   scripts at any width from 320 px. */
:root {
  color-scheme: light dark;
  --bg: #f6f7f9;
  --fg: #1b1d21;
  --muted: #555b66;
  --line: #cdd1d8;
  --panel: #ffffff;
  --accent: #1f5fbf;
  --accent-fg: #ffffff;
  --accent-soft: #e6eefb;
  --danger: #a4221b;
  --notice: #e6eefb;
  --error-bg: #fdecea;
  --focus: #c2410c;
  --radius: 10px;
  --gap: 1rem;
  --shadow: 0 1px 2px rgb(0 0 0 / 6%), 0 1px 8px rgb(0 0 0 / 4%);
  font-family: system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", "DejaVu Sans", sans-serif;
  line-height: 1.55;
}
@media (prefers-color-scheme: dark) {
  :root {
    --bg: #121418;
    --fg: #e7e9ec;
    --muted: #a7adb6;
    --line: #3a3f47;
    --panel: #1b1e23;
    --accent: #86b4ff;
    --accent-fg: #0b1730;
    --accent-soft: #1d2a40;
    --danger: #ff9b91;
    --notice: #1d2a40;
    --error-bg: #3a1d1b;
    --focus: #ffb454;
    --shadow: none;
  }
  /* The item pictures, drawn in a mid grey for light pages, lightened. */
  .folder-list img { filter: invert(1); }
}
*, *::before, *::after { box-sizing: border-box; }
html { -webkit-text-size-adjust: 100%; text-size-adjust: 100%; }
body { margin: 0; background: var(--bg); color: var(--fg); font-size: 1rem; overflow-wrap: break-word; }
img, svg, video, iframe, embed, object { max-width: 100%; height: auto; }
pre { white-space: pre-wrap; overflow-x: auto; }
a { color: var(--accent); text-underline-offset: 0.15em; }
a:hover { text-decoration-thickness: 2px; }
:focus-visible { outline: 3px solid var(--focus); outline-offset: 2px; border-radius: 2px; }
.skip {
  position: absolute; left: 0.5rem; top: -3rem; z-index: 10; padding: 0.5rem 1rem;
  background: var(--panel); color: var(--accent); border: 2px solid var(--accent); border-radius: var(--radius);
}
.skip:focus { top: 0.5rem; }
/* Read by screen readers, not shown. */
.vh { position: absolute; width: 1px; height: 1px; margin: -1px; padding: 0; overflow: hidden; clip: rect(0 0 0 0); white-space: nowrap; border: 0; }

/* The header: the site's banner and who is reading. */
.site-header {
  background: var(--panel); border-bottom: 1px solid var(--line);
  display: flex; flex-wrap: wrap; align-items: center; justify-content: space-between;
  gap: 0.25rem var(--gap); padding: 0.5rem max(var(--gap), calc((100% - 64rem) / 2 + var(--gap)));
}
.site-header .banner { min-width: 0; }
.site-header .banner center, .site-header .banner > * { text-align: left; }
.site-header .banner h1, .site-header .banner h2 { font-size: 1.25rem; margin: 0.25rem 0; line-height: 1.3; }
.site-header .banner h1 a, .site-header .banner h2 a { color: var(--fg); text-decoration: none; }
.site-header .banner hr { display: none; }
.who { display: flex; flex-wrap: wrap; align-items: center; gap: 0.25rem 0.9rem; font-size: 0.95rem; }
.who-name { color: var(--muted); }
.who-name strong { color: var(--fg); }
.who a { padding: 0.35rem 0; }

.page, .site-footer { max-width: 64rem; margin: 0 auto; padding: 0 var(--gap); }
.page { padding-bottom: 2rem; }
h1 { font-size: clamp(1.45rem, 1.15rem + 1.4vw, 2rem); line-height: 1.25; margin: 1.25rem 0 0.75rem; }
h2 { font-size: 1.25rem; line-height: 1.3; }
h3 { font-size: 1.1rem; }
.meta, time { color: var(--muted); font-size: 0.9rem; }

/* Where am I: the folder path. */
.crumbs { font-size: 0.92rem; color: var(--muted); margin-top: 0.9rem; }
.crumbs ol, .crumbs ul { list-style: none; display: flex; flex-wrap: wrap; gap: 0.25rem; margin: 0; padding: 0; }
.crumbs li + li::before { content: "/"; margin-right: 0.25rem; color: var(--muted); }
.crumbs a { padding: 0.2rem 0; }

.tabs { display: flex; flex-wrap: wrap; gap: 0.5rem var(--gap); margin-top: 0.9rem; }
.error, .notice { padding: 0.65rem 0.9rem; border-radius: var(--radius); margin: 0.75rem 0; }
.error { background: var(--error-bg); color: var(--danger); border: 1px solid var(--danger); }
.notice { background: var(--notice); border: 1px solid var(--line); }

/* Forms: a label above each field; required fields are marked. */
.form { display: grid; gap: 0.35rem; max-width: 42rem; margin: 1rem 0; }
.form label { font-weight: 600; margin-top: 0.6rem; }
.form label:has(+ :is(input, select, textarea)[required])::after { content: " (required)"; font-weight: 400; color: var(--muted); font-size: 0.9rem; }
.form label.check { font-weight: 400; display: flex; gap: 0.55rem; align-items: center; margin-top: 0.25rem; }
input, select, textarea, button, .button { font: inherit; }
input:not([type=checkbox]):not([type=radio]), select, textarea {
  width: 100%; min-height: 2.75rem; padding: 0.5rem 0.7rem; color: var(--fg); background: var(--panel);
  border: 1px solid var(--muted); border-radius: var(--radius);
}
input[type=checkbox], input[type=radio] { width: 1.15rem; height: 1.15rem; accent-color: var(--accent); flex: none; }
textarea { resize: vertical; min-height: 7rem; }
fieldset { border: 1px solid var(--line); border-radius: var(--radius); padding: 0.5rem 1rem 1rem; margin: 0.75rem 0 0; display: grid; gap: 0.3rem; min-width: 0; }
legend { font-weight: 600; padding: 0 0.3rem; }
details { border: 1px solid var(--line); border-radius: var(--radius); padding: 0.5rem 1rem; display: grid; gap: 0.3rem; margin-top: 0.5rem; }
summary { cursor: pointer; font-weight: 600; padding: 0.25rem 0; }
.actions { display: flex; flex-wrap: wrap; gap: 0.5rem; margin-top: 0.9rem; align-items: center; }
button, .button {
  display: inline-flex; align-items: center; justify-content: center; gap: 0.4rem;
  padding: 0.5rem 1.1rem; min-height: 2.75rem; border-radius: var(--radius); border: 1px solid var(--accent);
  background: var(--accent); color: var(--accent-fg); text-decoration: none; cursor: pointer; font-weight: 600;
}
button:hover, .button:hover { filter: brightness(1.08); }
button.secondary, .button.secondary { background: transparent; color: var(--accent); }
button.danger, .button.danger { background: transparent; color: var(--danger); border-color: var(--danger); }

/* Lists of folders and discussions, messages. */
.messages { list-style: none; padding: 0; margin: 1rem 0; display: grid; gap: 0.75rem; }
.message, .mail, .results > * {
  background: var(--panel); border: 1px solid var(--line); border-radius: var(--radius); padding: 0.85rem 1rem;
  box-shadow: var(--shadow); overflow-wrap: anywhere; min-width: 0;
}
.message header { display: flex; flex-wrap: wrap; gap: 0.25rem 0.75rem; align-items: baseline; margin-bottom: 0.35rem; }
.message .author { font-weight: 600; }
.message h2 { font-size: 1.1rem; margin: 0.25rem 0; }
.message img { border-radius: 4px; }
.folder-list { list-style: none; padding: 0; margin: 1rem 0; background: var(--panel); border: 1px solid var(--line); border-radius: var(--radius); box-shadow: var(--shadow); }
.folder-list li { display: flex; gap: 0.75rem; align-items: flex-start; padding: 0.7rem 1rem; border-top: 1px solid var(--line); min-width: 0; overflow-wrap: anywhere; }
.folder-list li:first-child { border-top: 0; }
.folder-list img { width: 1.5rem; height: 1.5rem; flex: none; margin-top: 0.1rem; }
.outline { padding-left: 1.25rem; }
.outline li { margin: 0.2rem 0; }
.indent { display: inline-block; }
.quoted, blockquote { margin: 0.5rem 0; padding: 0.5rem 1rem; border-left: 4px solid var(--line); color: var(--muted); }
.chat { min-height: 12rem; max-height: 60vh; overflow-y: auto; background: var(--panel); border: 1px solid var(--line); border-radius: var(--radius); padding: 0.75rem 1rem; }
.info { display: grid; grid-template-columns: max-content 1fr; gap: 0.3rem 1rem; }
.info dt { font-weight: 600; }
.info dd { margin: 0; min-width: 0; }
mark { background: var(--accent-soft); color: var(--fg); padding: 0 0.2em; border-radius: 3px; }
mark.objectionable { background: var(--error-bg); color: var(--danger); }
table { border-collapse: collapse; width: 100%; display: block; overflow-x: auto; }
th, td { border-bottom: 1px solid var(--line); padding: 0.45rem 0.6rem; text-align: left; vertical-align: top; }
hr { border: 0; border-top: 1px solid var(--line); }

/* The toolbar (what I can do here) and paging of long folders and discussions. */
.toolbar, nav.actions { display: flex; flex-wrap: wrap; gap: 0.5rem; margin: 1rem 0; }
.toolbar a, nav.actions a {
  display: inline-flex; align-items: center; min-height: 2.75rem; padding: 0.4rem 0.9rem;
  border: 1px solid var(--line); border-radius: var(--radius); background: var(--panel); text-decoration: none;
  color: var(--accent); font-weight: normal;
}
.paging { display: flex; flex-wrap: wrap; gap: 0.4rem; align-items: center; margin: 1rem 0; }
.paging a, .paging [aria-current] {
  display: inline-flex; align-items: center; justify-content: center; min-width: 2.75rem; min-height: 2.75rem;
  padding: 0.3rem 0.7rem; border: 1px solid var(--line); border-radius: var(--radius); background: var(--panel); text-decoration: none;
}
.paging [aria-current] { background: var(--accent); color: var(--accent-fg); border-color: var(--accent); font-weight: 600; }
.paging .gap { color: var(--muted); padding: 0 0.2rem; }
.site-footer { color: var(--muted); font-size: 0.9rem; padding-bottom: 2rem; text-align: center; }

@media (max-width: 30rem) {
  :root { --gap: 0.8rem; }
  .info { grid-template-columns: 1fr; }
  .info dd { margin-bottom: 0.4rem; }
  .actions > * { flex: 1 1 auto; }
  .site-header { padding-top: 0.35rem; padding-bottom: 0.35rem; }
}
@media (prefers-reduced-motion: reduce) { * { scroll-behavior: auto !important; transition: none !important; } }
@media print {
  .site-header, .actions, .toolbar, .paging, nav, .skip { display: none; }
  body { background: #fff; color: #000; }
  .message, .folder-list { box-shadow: none; }
}
)CSS";

#define TPL_ICON(body)                                                        \
  "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 24 24\" "          \
  "width=\"24\" height=\"24\" fill=\"none\" stroke=\"#5f6368\" "              \
  "stroke-width=\"1.8\" stroke-linecap=\"round\" stroke-linejoin=\"round\" "  \
  "role=\"img\">" body "</svg>\n"

constexpr char kFolderIcon[] = TPL_ICON(
    "<title>Folder</title><path d=\"M3 6.5A1.5 1.5 0 0 1 4.5 5H9l2 2h8.5A1.5 "
    "1.5 0 0 1 21 8.5v9A1.5 1.5 0 0 1 19.5 19h-15A1.5 1.5 0 0 1 3 17.5z\"/>");
constexpr char kDiscussionIcon[] = TPL_ICON(
    "<title>Discussion</title><path d=\"M4 5h16v10H9l-5 4z\"/>");
constexpr char kMessageIcon[] = TPL_ICON(
    "<title>Message</title><path d=\"M5 4h14v16H5z\"/><path d=\"M8 9h8M8 13h8M8 "
    "17h5\"/>");
constexpr char kLinkIcon[] = TPL_ICON(
    "<title>Link</title><path d=\"M10 14a4 4 0 0 0 5.7 0l3-3a4 4 0 0 0-5.7-5.7l-1 "
    "1\"/><path d=\"M14 10a4 4 0 0 0-5.7 0l-3 3a4 4 0 0 0 5.7 5.7l1-1\"/>");
constexpr char kChatIcon[] = TPL_ICON(
    "<title>Chat room</title><path d=\"M3 6h12v8H7l-4 3z\"/><path d=\"M15 9h6v8l-3-2h-7v-1\"/>");
constexpr char kContainerIcon[] = TPL_ICON(
    "<title>Container</title><path d=\"M4 7l8-4 8 4v10l-8 4-8-4z\"/><path d=\"M4 "
    "7l8 4 8-4M12 11v10\"/>");
constexpr char kDocumentIcon[] = TPL_ICON(
    "<title>Document</title><path d=\"M6 3h8l4 4v14H6z\"/><path d=\"M14 3v4h4\"/>");
constexpr char kPoweredBy[] =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 120 32\" "
    "width=\"120\" height=\"32\" role=\"img\"><title>Powered by Quillmoot</title>"
    "<rect width=\"120\" height=\"32\" rx=\"6\" fill=\"#1f5fbf\"/>"
    "<text x=\"60\" y=\"20.5\" font-family=\"sans-serif\" font-size=\"11\" "
    "text-anchor=\"middle\" fill=\"#fff\">Powered by Quillmoot</text></svg>\n";

// The site's icon (the browser's tab): a speech bubble in the accent blue.
constexpr char kSiteIcon[] =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 32 32\">"
    "<rect width=\"32\" height=\"32\" rx=\"7\" fill=\"#1f5fbf\"/>"
    "<path d=\"M8 9h16v11H14l-5 4v-4H8z\" fill=\"#fff\"/></svg>\n";

}  // namespace

const std::vector<TemplateStaticFile>& TemplateStaticFiles() {
  static const std::vector<TemplateStaticFile> files = {
      {"quil.css", kStylesheet},
      {"Images/folder.svg", kFolderIcon},
      {"Images/discussion.svg", kDiscussionIcon},
      {"Images/message.svg", kMessageIcon},
      {"Images/link.svg", kLinkIcon},
      {"Images/chat.svg", kChatIcon},
      {"Images/container.svg", kContainerIcon},
      {"Images/document.svg", kDocumentIcon},
      {"Images/powerby.svg", kPoweredBy},
      {"Images/powerby.gif", TemplatePoweredByGif()},
      {"Images/quil-icon.svg", kSiteIcon},
      {"favicon.ico", TemplateFavicon()},
  };
  return files;
}

const char* TemplateStaticFileType(std::string_view name) {
  auto ends = [&](std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
  };
  if (ends(".css")) return "text/css";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".gif")) return "image/gif";
  if (ends(".ico")) return "image/x-icon";
  return "text/html";
}

int TemplateStaticFilesInstall(const TemplateSite& site) {
  int written = 0;
  for (const TemplateStaticFile& f : TemplateStaticFiles()) {
    std::string full;
    if (!TemplateSiteFilePath(site, f.name, &full)) continue;
    struct stat st;
    if (stat(full.c_str(), &st) == 0) continue;
    // Directories on the way, the document directory itself included.
    for (size_t slash = full.find('/'); slash != std::string::npos;
         slash = full.find('/', slash + 1))
      if (slash > 0) mkdir(full.substr(0, slash).c_str(), 0755);
    std::string tmp = full + ".tmp";
    FILE* out = fopen(tmp.c_str(), "wb");
    if (!out) continue;
    bool ok = fwrite(f.contents.data(), 1, f.contents.size(), out) ==
              f.contents.size();
    ok = fclose(out) == 0 && ok;
    if (ok && rename(tmp.c_str(), full.c_str()) == 0) ++written;
    else remove(tmp.c_str());
  }
  return written;
}

}  // namespace quil
