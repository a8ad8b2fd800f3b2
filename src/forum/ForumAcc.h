// Access rights: the mask arithmetic of access lists.
//
// Rights are bits of a 32-bit mask.  A folder's mask also carries rights
// for the items below it; ForumAccMoveDown turns the mask of a list into the
// mask it gives one level down.  kForumAccNoEntry is never stored; the sign
// bit of a stored value marks a group entry.
#pragma once

#include <cstdint>
#include <string_view>

namespace quil {

constexpr uint32_t kForumAccRead = 0x1;
constexpr uint32_t kForumAccPost = 0x100;
constexpr uint32_t kForumAccHost = 0x1000000;
constexpr uint32_t kForumAccModerated = 0x2000000;
constexpr uint32_t kForumAccNoEntry = 0x40000000;
constexpr uint32_t kForumAccGroupEntry = 0x80000000;
// Rights of a host or the sysop beyond their list.
constexpr uint32_t kForumAccAllRights = 0x3cffffff;
// The folder-structure bits: add subfolders, add discussions, mix both in
// one folder (a folder otherwise holds one kind, after its first item).
constexpr uint32_t kForumAccAddFolder = 0x80;
constexpr uint32_t kForumAccAddDiscussion = 0x40;
constexpr uint32_t kForumAccMixed = 0x400000;
// Bits taken away on sites of folders only or chat only.
constexpr uint32_t kForumAccAddItems = 0x180;

// The mask a list gives the items one level below its owner.
uint32_t ForumAccMoveDown(uint32_t mask);

// An access class of the access-list pages.
struct ForumAccessClass {
  std::string_view formValue;  // "host", "participant", ...
  uint32_t given;
  uint32_t taken;
};
// The class of a form value; null for an unknown one.
const ForumAccessClass* ForumGetAccessClass(std::string_view formValue);

// Who asks and where: the input of the last steps of a rights check.
struct ForumAccAsk {
  bool guest = false;         // no user, the guest principal or a guest
  bool sysop = false;
  bool provisional = false;   // a user whose address is unconfirmed
  bool guestAccess = true;    // the sysop's guest-access flag
  bool provisionalReadOnly = false;
  bool provisionalModerated = false;
  bool foldersOrChatOnly = false;  // the site's kind
};

// Steps 4 and 5 of resolving: the structure mask removed unless host, the
// sysop and hosts raised to every right but moderated, guests shut out when
// the site allows no guests.  mask has been moved down already where the
// list belongs to an ancestor.
uint32_t ForumAccFinish(uint32_t mask, uint32_t structure, const ForumAccAsk& ask);

// The folder-structure rule and the user and site restrictions of an
// operation check applied to a resolved mask.  firstItem: 0 for an empty
// folder (or no folder), 1 when its first item is a discussion, 2 for
// another kind.
uint32_t ForumAccRestrict(uint32_t mask, int firstItem, const ForumAccAsk& ask);

}  // namespace quil
