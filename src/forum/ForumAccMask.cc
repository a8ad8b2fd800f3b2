// Access-rights arithmetic: moving masks down a level, the access classes,
// and the adjustments of a resolved mask.
#include "ForumAcc.h"

namespace quil {

namespace {

struct Move {
  uint32_t from, to;
};
constexpr Move kMoves[] = {
    {0x4000, 0x2},       {0x8000, 0x4},        {0x10000, 0x8},      {0x20000, 0x10},
    {0x40000, 0x40},     {0x80000, 0x80},      {0x100000, 0x400},   {0x200000, 0x800},
    {0x800000, 0x400000}, {0x10000000, 0x4000000}, {0x20000000, 0x8000000},
};
constexpr uint32_t kKept = 0xf3bff321;

constexpr ForumAccessClass kClasses[] = {
    {"host", 0x3dffffff, 0x2000000},
    {"participant", 0x3cffffff, 0x3000000},
    {"moderated", 0x3effffff, 0x1000000},
    {"readOnly", 0x1, 0x3ffffffe},
    {"noAccess", 0, 0x3fffffff},
};

}  // namespace

uint32_t ForumAccMoveDown(uint32_t mask) {
  uint32_t out = mask & kKept;
  for (const Move& m : kMoves)
    if (mask & m.from) out |= m.to;
  return out;
}

const ForumAccessClass* ForumGetAccessClass(std::string_view formValue) {
  for (const ForumAccessClass& c : kClasses)
    if (c.formValue == formValue) return &c;
  return nullptr;
}

std::string_view ForumAccClassOf(uint32_t given, uint32_t taken) {
  for (const ForumAccessClass& c : kClasses)
    if (c.given == given && c.taken == taken) return c.formValue;
  return {};
}

uint32_t ForumAccFinish(uint32_t mask, uint32_t structure, const ForumAccAsk& ask) {
  bool host = (mask & kForumAccHost) != 0;
  if (!host && (ask.guest || !ask.sysop)) mask &= ~structure;
  if (ask.sysop || host) mask = (mask | kForumAccAllRights) & ~kForumAccModerated;
  if (ask.guest && !ask.guestAccess) return 0;
  return mask;
}

uint32_t ForumAccRestrict(uint32_t mask, int firstItem, const ForumAccAsk& ask) {
  if (firstItem != 0 && !(mask & kForumAccMixed))
    mask &= firstItem == 1 ? ~kForumAccAddFolder : ~kForumAccAddDiscussion;
  if (ask.provisional && !ask.guest) {
    if (ask.provisionalReadOnly)
      mask &= kForumAccRead;
    else if (ask.provisionalModerated)
      mask |= kForumAccModerated;
  }
  if (ask.foldersOrChatOnly) mask &= ~kForumAccAddItems;
  return mask;
}

}  // namespace quil
