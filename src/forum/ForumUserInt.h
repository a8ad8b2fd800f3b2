// ForumUserInt: what the user, group, session and access-list sources
// share -- the per-root state with the interned user field names.
#pragma once

#include <cstdint>

#include "ForumInt.h"
#include "ForumUser.h"

namespace quil {

// User fields beyond the root's own table: X(name).
#define FORUM_USER_FIELD_NAMES(X)                                             \
  X(Email) X(Password) X(LastLogin) X(ThisLogin) X(Picture) X(Highwater)      \
  X(Subscriptions) X(UserPosts) X(LastExport)

struct ForumUserState {
  explicit ForumUserState(ForumRoot r);
  ~ForumUserState();
  ForumUserState(const ForumUserState&) = delete;
  ForumUserState& operator=(const ForumUserState&) = delete;

  ForumRoot root;
#define FORUM_USER_FIELD(name, ...) ChHandle f##name = 0;
  FORUM_USER_FIELD_NAMES(FORUM_USER_FIELD)
  FORUM_USER_TEXTS(FORUM_USER_FIELD)
  FORUM_USER_INTS(FORUM_USER_FIELD)
#undef FORUM_USER_FIELD
  uint32_t sequence = 0;
  uint32_t generation = 1;
  int32_t sweepTimer = 0;
  bool hooksInstalled = false;
};

// The root's state, created (and the names interned) on first use.
ForumUserState& ForumUserStateOf(ForumRoot root);
// The records a user handle may name: a record principal of record type.
bool ForumUserIsRecord(ChHandle h);
// Installs the session hooks on the store of root (AuthUser.cc); the
// removal also ends every session (their users are records of root).
void ForumAuthHooksInstall(ForumRoot root);
void ForumAuthHooksRemove(ForumRoot root);
// The top folder's default list, the periodic sweep (ForumAcc.cc).
void ForumAccSetDefaults(ForumRoot root);
void ForumAccSweepStart(ForumRoot root);

}  // namespace quil
