// Access lists: the stored lists, unfolding with inheritance, resolving a
// user's rights with the per-user cache, the operation check, editing, the
// periodic sweep and the operations of the access-list form.
#include <algorithm>
#include <array>
#include <vector>

#include "ForumAcc.h"
#include "ForumUserInt.h"
#include "Ma.h"
#include "Qu.h"

namespace quil {

// One user's result in an unfolded list: the mask the list gives (before
// moving down and finishing) and what the check needs of the user, valid
// while the root's user generation is unchanged.
struct AccCacheEntry {
  ChHandle user = 0;
  uint32_t generation = 0;
  uint32_t mask = 0;
  uint32_t flags = 0;
  bool guest = false;
};

struct ForumAccUnfolded {
  static constexpr int kBuckets = 128;
  static constexpr size_t kBucketMax = 8;
  struct Group {
    ChHandle group;
    uint32_t given, taken;
  };
  const ForumFileRec* owner = nullptr;  // the item whose list this is
  std::vector<std::pair<ChHandle, uint32_t>> users;  // sorted by principal
  std::vector<Group> groups;
  uint32_t guestDefault = 0;
  uint32_t userDefault = 0;
  // Most recently used first.
  std::array<std::vector<AccCacheEntry>, kBuckets> cache;
};

namespace {

constexpr uint32_t kValueMask = ~kForumAccGroupEntry;

// The rights a kind of item withholds from users below host.
uint32_t StructureOf(int kind) {
  constexpr uint32_t kEditDelete = kForumAccEdit | kForumAccDelete;
  switch (kind) {
    case kForumKindFolder:
      return kEditDelete;
    case kForumKindDiscussion:
    case kForumKindMessage:
    case kForumKindLive:
      return kEditDelete | kForumAccAddAny;
    default:
      return kEditDelete | kForumAccAddAny | kForumAccPost;
  }
}

// ---------------------------------------------------------------------------
// Stored lists on item records.


ChHandle ItemRec(const ForumFile& item) { return ForumFileRecord(item); }

// The record that holds the access list of an open item: a message uses
// its discussion's.
ForumFileRec* ListHolder(ForumFileRec* r) {
  return r->kind == kForumKindMessage && r->parent ? r->parent : r;
}

bool HasOwnList(ForumFileRec* r) {
  ChHandle list = 0;
  return LgDbRecGetAccPerm(r->rec, r->root->f.AccPerm, &list);
}

// The item whose list r uses when it has none: the parent; for a group the
// list of groups, and for that the top folder.
ForumFileRec* InheritFrom(ForumFileRec* r) {
  ForumRoot root = r->root;
  if (r->kind == kForumKindGroup) {
    // The root keeps the list of groups open as its own item (it is the
    // only handle of that record, ForumFileOpenUnique).
    ForumFileRec* groups = root->groups.Rec();
    if (groups == nullptr || r == groups || r->rec == groups->rec) return root->top.Rec();
    return groups;
  }
  return r->parent;
}

std::shared_ptr<ForumAccUnfolded> Build(ForumFileRec* r) {
  ForumRoot root = r->root;
  auto u = std::make_shared<ForumAccUnfolded>();
  u->owner = r;
  ChHandle given = 0, taken = 0;
  (void)LgDbRecGetAccPerm(r->rec, root->f.AccPerm, &given);
  if (!LgDbRecGetAccPerm(r->rec, root->f.AccDeny, &taken)) taken = 0;
  auto takenOf = [&](ChHandle principal) {
    uint32_t value = 0;
    return taken != 0 && AccPermGet(taken, principal, &value) ? value & kValueMask : 0;
  };
  AccPermIter it = AccPermStart(given);
  ChHandle principal = 0;
  uint32_t value = 0;
  while (AccPermNext(it, &principal, &value)) {
    uint32_t mask = value & kValueMask, off = takenOf(principal);
    if (principal == kForumAccAllUsers)
      u->userDefault = mask & ~off;
    else if (principal == kForumAccAllGuests)
      u->guestDefault = mask & ~off;
    else if (value & kForumAccGroupEntry)
      u->groups.push_back({principal, mask, off});
    else
      u->users.emplace_back(principal, mask & ~off);
  }
  AccPermStop(it);
  std::sort(u->users.begin(), u->users.end());
  return u;
}

// The unfolded list r uses (built, or shared from the ancestor that owns
// it, on first use).
ForumAccUnfolded* Unfold(ForumFileRec* r) {
  if (r->acc) return r->acc.get();
  if (HasOwnList(r)) {
    r->acc = Build(r);
  } else {
    ForumFileRec* up = InheritFrom(r);
    if (!up) MaHalt("ForumAccUnfold--no access permissions at root category");
    Unfold(up);
    r->acc = up->acc;
  }
  return r->acc.get();
}

size_t BucketOf(ChHandle user) {
  return size_t((user * 2654435761u) >> 25) % ForumAccUnfolded::kBuckets;
}

// The mask the list gives a registered user, without the cache.
uint32_t ListMaskOf(ForumRoot root, const ForumAccUnfolded& u, ChHandle user) {
  auto it = std::lower_bound(u.users.begin(), u.users.end(), std::make_pair(user, 0u));
  if (it != u.users.end() && it->first == user) return it->second;
  uint32_t given = 0, taken = 0;
  bool any = false;
  for (const ForumAccUnfolded::Group& g : u.groups) {
    if (!ForumGroupHasUser(root, g.group, user)) continue;
    any = true;
    given |= g.given;
    taken |= g.taken;
  }
  return any ? given & ~taken : u.userDefault;
}

const AccCacheEntry& CachedUser(ForumRoot root, ForumAccUnfolded& u, ChHandle user) {
  uint32_t generation = ForumUsersGeneration(root);
  std::vector<AccCacheEntry>& bucket = u.cache[BucketOf(user)];
  for (size_t i = 0; i < bucket.size(); ++i) {
    if (bucket[i].user != user) continue;
    if (bucket[i].generation != generation) {
      bucket.erase(bucket.begin() + long(i));
      break;
    }
    if (i != 0) std::rotate(bucket.begin(), bucket.begin() + long(i), bucket.begin() + long(i) + 1);
    return bucket.front();
  }
  AccCacheEntry e;
  e.user = user;
  e.generation = generation;
  e.flags = ForumUserFlags(root, user);
  e.guest = ForumUserGetType(root, user) != kForumUserRegistered;
  e.mask = e.guest ? u.guestDefault : ListMaskOf(root, u, user);
  if (bucket.size() >= ForumAccUnfolded::kBucketMax) bucket.pop_back();
  bucket.insert(bucket.begin(), e);
  return bucket.front();
}

// Resolving, with what the restricting steps need about the asker.
uint32_t Resolve(ForumFileRec* item, ChHandle user, ForumAccAsk* ask) {
  ForumRoot root = item->root;
  ForumFileRec* r = ListHolder(item);
  ask->guestAccess = ForumSysopAllowGuests(root);
  ask->provisionalReadOnly = ForumSysopProvisionalIsReadOnly(root);
  ask->provisionalModerated = ForumSysopProvisionalIsModerated(root);
  ask->foldersOrChatOnly = ForumSysopSiteKind(root) != kForumSiteFull;
  ForumAccUnfolded* u = Unfold(r);
  uint32_t mask;
  if (user == kForumAccAllUsers) {
    mask = u->userDefault;
  } else if (!ForumIsRecordPrincipal(user)) {
    ask->guest = true;
    mask = u->guestDefault;
  } else {
    const AccCacheEntry& e = CachedUser(root, *u, user);
    ask->guest = e.guest;
    ask->sysop = !e.guest && (e.flags & kForumUserSysop);
    ask->provisional = (e.flags & kForumUserProvisional) != 0;
    mask = e.mask;
  }
  if (r->kind == kForumKindGroup && r->rec == ForumGroupUsers(root)) return 0;
  if (u->owner != r) mask = ForumAccMoveDown(mask);
  return ForumAccFinish(mask, StructureOf(item->kind), *ask);
}

// The folder-structure input of a check: 0 no items (or no folder), 1 the
// first item is a discussion, 2 another kind.
int FirstItemKind(const ForumFile& item) {
  if (!ForumFileIsCategory(item) || ForumCatItemCount(item) == 0) return 0;
  ForumRoot root = ForumFileRoot(item);
  ChHandle entry = ForumCatItemOpen(item, 0);
  ChHandle child = entry ? LgDbRecGetRec(entry, root->f.File) : 0;
  return child && LgDbRecGetTextId(child, root->f.Type) == root->t.Topic ? 1 : 2;
}

// Releases the unfolded lists of the open items for which below holds.
template <typename Pred>
void ReleaseWhere(ForumRoot root, Pred below) {
  for (auto& [id, rec] : root->open)
    if (below(rec.get())) rec->acc.reset();
  for (auto& rec : root->anonymous)
    if (below(rec.get())) rec->acc.reset();
}

bool IsBelow(const ForumFileRec* r, const ForumFileRec* item) {
  for (const ForumFileRec* p = r; p; p = InheritFrom(const_cast<ForumFileRec*>(p)))
    if (p == item) return true;
  return false;
}

void SweepTimer(intptr_t argument, int32_t) {
  ForumRoot root = reinterpret_cast<ForumRoot>(argument);
  ForumUserState& s = ForumUserStateOf(root);
  s.sweepTimer = 0;
  AccSweep(root);
  s.sweepTimer = QuRamAdd(kAccSweepMs, SweepTimer, argument);
}

// Writes a list value back to its field.
void PutList(const ForumFile& item, ChHandle field, ChHandle list) {
  LgDbRecPutAccPerm(ItemRec(item), field, list);
}

void Changed(const ForumFile& item) {
  ForumRoot root = ForumFileRoot(item);
  ForumUsersChanged(root);
  ForumAccRelease(item);
  ForumChanged(root, true);
}

// Sets principal's value in the list of field, creating the list.
void SetEntry(const ForumFile& item, ChHandle field, ChHandle principal, uint32_t mask) {
  ForumRoot root = ForumFileRoot(item);
  ChHandle rec = ItemRec(item);
  if (!HasOwnList(item.Rec())) PutList(item, root->f.AccPerm, AccPermCreate(rec));
  ChHandle list = 0;
  if (!LgDbRecGetAccPerm(rec, field, &list)) list = AccPermCreate(rec);
  uint32_t value = mask;
  if (mask != kForumAccNoEntry && ForumUserGetType(root, principal) == kForumUserGroup)
    value |= kForumAccGroupEntry;
  PutList(item, field, AccPermPut(list, principal, value));
  Changed(item);
}

void RemoveList(const ForumFile& item, ChHandle field) {
  // The field's value owns the nodes of its list: removing it destroys them.
  (void)LgDbRecFieldRemoveKind(ItemRec(item), field, kLgDbAccPermType);
}

}  // namespace

// ---------------------------------------------------------------------------
// Stored lists.

ChHandle AccPermCreate(ChHandle near) { return ChLiGenCreate(near, kChLiNodeType); }

void AccPermDestroy(ChHandle list) { (void)ChLiGenDestroy(list, kChLiNodeType); }

bool AccPermGet(ChHandle list, ChHandle principal, uint32_t* value) {
  ChLiGenIter it = ChLiGenStart(list, kChLiNodeType);
  uint32_t p = 0, v = 0;
  bool found = false;
  while (ChLiGenNext(it, &p, &v, kChLiNodeType)) {
    if (p == principal) {
      *value = v;
      found = true;
      break;
    }
  }
  ChLiGenStop(it);
  return found;
}

bool AccPermChange(ChHandle list, ChHandle principal, uint32_t value) {
  ChLiGenIter it = ChLiGenStart(list, kChLiNodeType);
  bool found = false;
  for (ChHandle node; (node = ChLiGenNextEntry(it, kChLiNodeType)) != 0;) {
    uint32_t p = 0, v = 0;
    ChLiGenGetDataEntry(node, &p, &v, kChLiNodeType);
    if (p == principal) {
      ChLiGenSetDataEntry(list, node, p, value, kChLiNodeType);
      found = true;
      break;
    }
  }
  ChLiGenStop(it);
  return found;
}

ChHandle AccPermDelete(ChHandle list, ChHandle principal) {
  uint32_t value = 0;
  if (!AccPermGet(list, principal, &value)) return list;
  return ChLiGenDeleteMatch(list, principal, value, kChLiNodeType);
}

ChHandle AccPermPut(ChHandle list, ChHandle principal, uint32_t value) {
  if (value == kForumAccNoEntry) return AccPermDelete(list, principal);
  if (AccPermChange(list, principal, value)) return list;
  return ChLiGenAppend(list, principal, value, kChLiNodeType);
}

AccPermIter AccPermStart(ChHandle list) { return AccPermIter{ChLiGenStart(list, kChLiNodeType)}; }

bool AccPermNext(AccPermIter& iter, ChHandle* principal, uint32_t* value) {
  uint32_t p = 0, v = 0;
  if (!ChLiGenNext(iter.it, &p, &v, kChLiNodeType)) return false;
  *principal = p;
  *value = v;
  return true;
}

void AccPermStop(AccPermIter& iter) { ChLiGenStop(iter.it); }

// ---------------------------------------------------------------------------
// Checks.

uint32_t ForumAccStructure(const ForumFile& item) { return StructureOf(ForumFileKind(item)); }

uint32_t ForumAccResolve(const ForumFile& item, ChHandle user) {
  ForumAccAsk ask;
  return Resolve(item.Rec(), user, &ask);
}

bool ForumAccOpCk(const ForumFile& item, ChHandle user, uint32_t mask) {
  ForumAccAsk ask;
  uint32_t granted = Resolve(item.Rec(), user, &ask);
  // Only the bits of new items depend on what the folder holds.
  int first = (mask & (kForumAccAddFolder | kForumAccAddDiscussion)) ? FirstItemKind(item) : 0;
  granted = ForumAccRestrict(granted, first, ask);
  return (granted & mask) == mask;
}

// ---------------------------------------------------------------------------
// Editing.

bool ForumAccHasList(const ForumFile& item) { return HasOwnList(item.Rec()); }

namespace {

// Gives an item without a list of its own a copy of the list it uses.
void MakeOwnList(const ForumFile& item) {
  ForumFileRec* r = item.Rec();
  ForumRoot root = r->root;
  ForumAccUnfolded* u = Unfold(r);
  const ForumFileRec* owner = u->owner;
  bool down = owner != r;
  ChHandle rec = ItemRec(item);
  ChHandle taken = AccPermCreate(rec);
  bool anyTaken = false;
  // Copy the owner's entries, moved down a level when inherited.
  ChHandle ownerGiven = 0, ownerTaken = 0;
  (void)LgDbRecGetAccPerm(owner->rec, root->f.AccPerm, &ownerGiven);
  bool hasTaken = LgDbRecGetAccPerm(owner->rec, root->f.AccDeny, &ownerTaken);
  ChHandle given = AccPermCreate(rec);
  AccPermIter walk = AccPermStart(ownerGiven);
  ChHandle principal = 0;
  uint32_t value = 0;
  while (AccPermNext(walk, &principal, &value)) {
    uint32_t mask = value & kValueMask;
    given = AccPermPut(given, principal, (down ? ForumAccMoveDown(mask) : mask) |
                                             (value & kForumAccGroupEntry));
  }
  AccPermStop(walk);
  if (hasTaken) {
    walk = AccPermStart(ownerTaken);
    while (AccPermNext(walk, &principal, &value)) {
      uint32_t mask = value & kValueMask;
      taken = AccPermPut(taken, principal, (down ? ForumAccMoveDown(mask) : mask) |
                                               (value & kForumAccGroupEntry));
      anyTaken = true;
    }
    AccPermStop(walk);
  }
  PutList(item, root->f.AccPerm, given);
  if (anyTaken)
    PutList(item, root->f.AccDeny, taken);
  else
    AccPermDestroy(taken);
  Changed(item);
}

}  // namespace

bool ForumAccCreateList(const ForumFile& item) {
  if (HasOwnList(item.Rec())) return false;
  MakeOwnList(item);
  return true;
}

void ForumAccEnable(const ForumFile& item, ChHandle principal, uint32_t mask) {
  SetEntry(item, ForumFileRoot(item)->f.AccPerm, principal, mask);
}

void ForumAccInhibit(const ForumFile& item, ChHandle principal, uint32_t mask) {
  SetEntry(item, ForumFileRoot(item)->f.AccDeny, principal, mask);
}

bool ForumAccGet(const ForumFile& item, ChHandle principal, uint32_t* given, uint32_t* taken) {
  ForumRoot root = ForumFileRoot(item);
  ChHandle rec = ItemRec(item), list = 0;
  uint32_t value = 0;
  *given = *taken = 0;
  if (!LgDbRecGetAccPerm(rec, root->f.AccPerm, &list) || !AccPermGet(list, principal, &value))
    return false;
  *given = value & kValueMask;
  if (LgDbRecGetAccPerm(rec, root->f.AccDeny, &list) && AccPermGet(list, principal, &value))
    *taken = value & kValueMask;
  return true;
}

void ForumAccClear(const ForumFile& item) {
  ForumRoot root = ForumFileRoot(item);
  if (!HasOwnList(item.Rec())) return;
  if (item.Rec() == ForumTopFolder(root).Rec()) {
    uint32_t users = 0, guests = 0, taken = 0;
    bool hasUsers = ForumAccGet(item, kForumAccAllUsers, &users, &taken);
    bool hasGuests = ForumAccGet(item, kForumAccAllGuests, &guests, &taken);
    RemoveList(item, root->f.AccPerm);
    RemoveList(item, root->f.AccDeny);
    ChHandle list = AccPermCreate(ItemRec(item));
    if (hasUsers) list = AccPermPut(list, kForumAccAllUsers, users);
    if (hasGuests) list = AccPermPut(list, kForumAccAllGuests, guests);
    PutList(item, root->f.AccPerm, list);
  } else {
    RemoveList(item, root->f.AccPerm);
    RemoveList(item, root->f.AccDeny);
  }
  Changed(item);
}

void ForumAccClearInhibit(const ForumFile& item) {
  RemoveList(item, ForumFileRoot(item)->f.AccDeny);
  Changed(item);
}

ForumAccIter ForumAccStart(const ForumFile& item) {
  ForumRoot root = ForumFileRoot(item);
  ForumAccIter iter;
  ChHandle rec = ItemRec(item);
  if (!LgDbRecGetAccPerm(rec, root->f.AccPerm, &iter.given)) iter.given = ChPartNear(root->part);
  if (!LgDbRecGetAccPerm(rec, root->f.AccDeny, &iter.taken)) iter.taken = 0;
  iter.it = AccPermStart(iter.given);
  return iter;
}

bool ForumAccNext(ForumAccIter& iter, ChHandle* principal, uint32_t* given, uint32_t* taken) {
  uint32_t value = 0;
  if (!AccPermNext(iter.it, principal, &value)) return false;
  *given = value & kValueMask;
  *taken = iter.taken != 0 && AccPermGet(iter.taken, *principal, &value) ? value & kValueMask : 0;
  return true;
}

void ForumAccStop(ForumAccIter& iter) { AccPermStop(iter.it); }

void ForumAccRelease(const ForumFile& item) {
  const ForumFileRec* target = item.Rec();
  ReleaseWhere(ForumFileRoot(item), [&](const ForumFileRec* r) { return IsBelow(r, target); });
}

void AccSweep(ForumRoot root) {
  ReleaseWhere(root, [](const ForumFileRec*) { return true; });
}

void ForumAccSetDefaults(ForumRoot root) {
  ForumFile top = ForumTopFolder(root);
  if (ForumAccHasList(top)) return;
  ForumAccEnable(top, kForumAccAllUsers, kForumAccAllRights);
  ForumAccEnable(top, kForumAccAllGuests, kForumAccAllRights);
}

void ForumAccSweepStart(ForumRoot root) {
  ForumUserState& s = ForumUserStateOf(root);
  if (s.sweepTimer == 0)
    s.sweepTimer = QuRamAdd(kAccSweepMs, SweepTimer, reinterpret_cast<intptr_t>(root));
}

// ---------------------------------------------------------------------------
// The access-list form.

namespace {

// The user or group a form names; 0 with the refusal in *refusal for a
// name that is neither, and for the whole "users", "groups" and "guests"
// lists.
ChHandle PrincipalNamed(ForumRoot root, const St& name, std::string* refusal) {
  ChHandle principal = ForumUserLookup(root, name);
  if (principal == 0) principal = ForumGroupLookup(root, name);
  if (principal == ForumGroupUsers(root)) {
    *refusal = kAccMsgWholeUsers;
  } else if (principal == ForumGroupList(root)) {
    *refusal = kAccMsgWholeGroups;
  } else if (principal == ForumGroupGuests(root)) {
    *refusal = kAccMsgGuests;
  } else if (principal == 0) {
    *refusal = std::string(kAccMsgNoSuchName) + name.Str() + "\"";
  } else {
    return principal;
  }
  return 0;
}

// Sets a principal's class: given and taken masks of the class.
St SetClass(const ForumFile& item, ChHandle principal, const St& access) {
  ForumRoot root = ForumFileRoot(item);
  const ForumAccessClass* c = ForumGetAccessClass(access.View());
  if (!c) return St();
  if (ForumUserGetSysop(root, principal) && c->formValue != "host") {
    std::string msg = kAccMsgSysopHost;
    msg += ForumUserName(root, principal).View();
    return StFromView(msg);
  }
  ForumAccEnable(item, principal, c->given);
  ForumAccInhibit(item, principal, c->taken);
  return St();
}

}  // namespace

St ForumAccFormCreate(const ForumFile& item) {
  return ForumAccCreateList(item) ? St() : StCStrXfm(kAccMsgHasList);
}

St ForumAccFormAddNames(const ForumFile& item, const St& names, const St& access) {
  ForumRoot root = ForumFileRoot(item);
  std::string messages;
  auto say = [&](std::string_view line) {
    if (!messages.empty()) messages += '\n';
    messages += line;
  };
  std::string_view rest = names.View();
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    St name = StStripBlanks(StFromView(rest.substr(0, end)));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (name.Empty()) continue;
    std::string refusal;
    ChHandle principal = PrincipalNamed(root, name, &refusal);
    if (principal == 0) {
      say(refusal);
    } else {
      St msg = SetClass(item, principal, access);
      if (!msg.Empty()) say(msg.View());
    }
  }
  return StFromView(messages);
}

St ForumAccFormSetClass(const ForumFile& item, ChHandle principal, const St& access) {
  return SetClass(item, principal, access);
}

St ForumAccFormClear(const ForumFile& item) {
  ForumAccClear(item);
  return St();
}

}  // namespace quil

// ---------------------------------------------------------------------------
// The list part of the access-list form, export and import.

namespace quil {

namespace {

int NameOrder(const St& a, const St& b) { return StCompare(a, b, StASCIILower); }

bool HasPrefix(const St& name, const St& prefix) {
  if (prefix.Empty()) return true;
  return name.Length() >= prefix.Length() &&
         StCompare(StSubstr(name, 0, prefix.Length()), prefix, StASCIILower) == kStEqual;
}

ForumAccRow RowOf(const ForumFile& item, ChHandle principal) {
  ForumRoot root = ForumFileRoot(item);
  ForumAccRow row;
  row.principal = principal;
  row.group = ForumUserGetType(root, principal) == kForumUserGroup;
  row.name = row.group ? LgDbRecGetText(principal, root->f.Name) : ForumUserName(root, principal);
  row.inList = ForumAccGet(item, principal, &row.given, &row.taken);
  if (row.inList) row.access = ForumAccClassOf(row.given, row.taken);
  return row;
}

bool Fits(const ForumAccRow& row, const ForumAccPageAsk& ask) {
  if (!HasPrefix(row.name, ask.prefix)) return false;
  if (!ask.after.IsNil()) return NameOrder(row.name, ask.after) == kStAfter;
  if (!ask.before.IsNil()) return NameOrder(row.name, ask.before) == kStBefore;
  return true;
}

// The live groups of the site other than the three built in.
std::vector<ChHandle> PlainGroups(ForumRoot root) {
  std::vector<ChHandle> groups;
  for (uint32_t ix = 0;; ++ix) {
    ChHandle g = ForumGroupAt(root, ix);
    if (g == 0) break;
    if (g != ForumGroupUsers(root) && g != ForumGroupGuests(root) && g != ForumGroupList(root))
      groups.push_back(g);
  }
  return groups;
}

// Registered users in name order that fit ask: up to want of them after
// ask.after (or from the start), or the last want before ask.before.  One
// more than want tells that more follow.
void CollectUsers(const ForumFile& item, const ForumAccPageAsk& ask, size_t want,
                  std::vector<ForumAccRow>* rows) {
  ForumRoot root = ForumFileRoot(item);
  uint32_t count = ForumUserCount(root);
  if (!ask.after.IsNil() || ask.before.IsNil()) {
    St from = ask.after.IsNil() ? ask.prefix
              : ask.prefix.IsNil() || NameOrder(ask.after, ask.prefix) == kStAfter ? ask.after
                                                                                    : ask.prefix;
    uint32_t ix = from.IsNil() ? 0 : ForumUserIxAtOrAfter(root, from);
    for (size_t got = 0; ix < count && got < want; ++ix) {
      ForumAccRow row = RowOf(item, ForumUserAt(root, ix));
      if (!ask.prefix.Empty() && !HasPrefix(row.name, ask.prefix) &&
          NameOrder(row.name, ask.prefix) == kStAfter)
        break;  // past the names with the prefix
      if (!Fits(row, ask)) continue;
      rows->push_back(std::move(row));
      ++got;
    }
    return;
  }
  uint32_t ix = ForumUserIxAtOrAfter(root, ask.before);
  std::vector<ForumAccRow> back;
  while (ix > 0 && back.size() < want) {
    ForumAccRow row = RowOf(item, ForumUserAt(root, --ix));
    if (!ask.prefix.Empty() && !HasPrefix(row.name, ask.prefix) &&
        NameOrder(row.name, ask.prefix) == kStBefore)
      break;  // before the names with the prefix
    if (Fits(row, ask)) back.push_back(std::move(row));
  }
  rows->insert(rows->end(), std::make_move_iterator(back.rbegin()),
               std::make_move_iterator(back.rend()));
}

}  // namespace

St ForumAccFormNewUsers(const ForumFile& item, const St& access) {
  return ForumAccFormSetClass(item, kForumAccAllUsers, access);
}

ForumAccPage ForumAccFormPage(const ForumFile& item, const ForumAccPageAsk& ask) {
  ForumRoot root = ForumFileRoot(item);
  size_t count = size_t(std::max(ask.count, 1));
  std::vector<ForumAccRow> rows;
  if (ask.showAll) {
    // One more than a page of users and every group that fits: enough to
    // cut a page and know whether more follow.
    CollectUsers(item, ask, count + 1, &rows);
    for (ChHandle g : PlainGroups(root)) {
      ForumAccRow row = RowOf(item, g);
      if (Fits(row, ask)) rows.push_back(std::move(row));
    }
  } else {
    ForumAccIter it = ForumAccStart(item);
    ChHandle principal = 0;
    uint32_t given = 0, taken = 0;
    std::vector<ChHandle> members;
    while (ForumAccNext(it, &principal, &given, &taken))
      if (ForumIsRecordPrincipal(principal)) members.push_back(principal);
    ForumAccStop(it);
    for (ChHandle p : members) {
      ForumAccRow row = RowOf(item, p);
      if (Fits(row, ask)) rows.push_back(std::move(row));
    }
  }
  std::stable_sort(rows.begin(), rows.end(), [](const ForumAccRow& a, const ForumAccRow& b) {
    return NameOrder(a.name, b.name) == kStBefore;
  });
  ForumAccPage page;
  bool backwards = ask.after.IsNil() && !ask.before.IsNil();
  if (rows.size() > count) {
    if (backwards) {
      rows.erase(rows.begin(), rows.end() - long(count));
      page.moreBefore = true;
    } else {
      rows.resize(count);
      page.moreAfter = true;
    }
  }
  if (backwards) page.moreAfter = true;
  if (!ask.after.IsNil()) page.moreBefore = true;
  page.rows = std::move(rows);
  return page;
}

namespace {

// The class order of the export, with the element names.
struct ExportClass {
  std::string_view formValue;
  std::string_view element;
};
constexpr ExportClass kExportClasses[] = {
    {"host", "host"},         {"participant", "participant"}, {"moderated", "moderated"},
    {"readOnly", "read-only"}, {"noAccess", "no-access"},
};

std::string Hex(uint32_t v) { return StHexNoZerosIntXfm(v).Str(); }

}  // namespace

St ForumAccExport(const ForumFile& item) {
  std::string out = "<access\n";
  uint32_t given = 0, taken = 0;
  if (ForumAccGet(item, kForumAccAllGuests, &given, &taken)) {
    out += "  guestPermit=" + Hex(given) + "\n";
    if (taken != 0) out += "  guestInhibit=" + Hex(taken) + "\n";
  }
  if (ForumAccGet(item, kForumAccAllUsers, &given, &taken)) {
    out += "  otherPermit=" + Hex(given) + "\n";
    if (taken != 0) out += "  otherInhibit=" + Hex(taken) + "\n";
  }
  out += ">\n";
  ForumAccPageAsk all;
  all.count = INT32_MAX;
  std::vector<ForumAccRow> rows = ForumAccFormPage(item, all).rows;
  for (const ExportClass& c : kExportClasses) {
    bool any = false;
    for (const ForumAccRow& row : rows) {
      if (row.access != c.formValue) continue;
      if (!any) out += "<" + std::string(c.element) + ">\n";
      any = true;
      out += StToSgmlData(row.name).Str() + "\n";
    }
  }
  bool tagged = false;
  uint32_t lastGiven = 0, lastTaken = 0;
  for (const ForumAccRow& row : rows) {
    if (!row.access.empty()) continue;
    if (!tagged || row.given != lastGiven || row.taken != lastTaken)
      out += "<other-access permit=" + Hex(row.given) + " inhibit=" + Hex(row.taken) + ">\n";
    tagged = true;
    lastGiven = row.given;
    lastTaken = row.taken;
    out += StToSgmlData(row.name).Str() + "\n";
  }
  out += "</access>\n";
  return StFromView(out);
}

namespace {

// A reader of the "access" element: tags and the lines of data between
// them, over a text held whole.
class AccessReader {
 public:
  explicit AccessReader(std::string_view text) : text_(text) {}
  // The next piece: a tag's inside (without "<" and ">") with *tag true, or
  // one line of data with *tag false.  False at the end.
  bool Next(std::string_view* piece, bool* tag) {
    while (at_ < text_.size()) {
      char c = text_[at_];
      if (c == '<') {
        size_t end = text_.find('>', at_);
        if (end == std::string_view::npos) end = text_.size();
        *piece = text_.substr(at_ + 1, end - at_ - 1);
        *tag = true;
        at_ = end + 1;
        return true;
      }
      size_t end = text_.find_first_of("\n<", at_);
      if (end == std::string_view::npos) end = text_.size();
      std::string_view line = Trim(text_.substr(at_, end - at_));
      at_ = end < text_.size() && text_[end] == '\n' ? end + 1 : end;
      if (!line.empty()) {
        *piece = line;
        *tag = false;
        return true;
      }
    }
    return false;
  }
  static std::string_view Trim(std::string_view s) {
    while (!s.empty() && StCharIsWhiteSpace(uint8_t(s.front()))) s.remove_prefix(1);
    while (!s.empty() && StCharIsWhiteSpace(uint8_t(s.back()))) s.remove_suffix(1);
    return s;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

// The attributes of a tag's inside: name=value pairs split at blanks.
bool Attribute(std::string_view inside, std::string_view name, uint32_t* value) {
  size_t at = 0;
  while (at < inside.size()) {
    size_t end = inside.find_first_of(" \t\r\n", at);
    if (end == std::string_view::npos) end = inside.size();
    std::string_view word = inside.substr(at, end - at);
    size_t eq = word.find('=');
    if (eq != std::string_view::npos && StCompare(StFromView(word.substr(0, eq)),
                                                  StFromView(name), StASCIILower) == kStEqual) {
      return StHexStXfm(StFromView(word.substr(eq + 1)), value);
    }
    at = end + 1;
  }
  return false;
}

std::string_view TagName(std::string_view inside) {
  size_t end = inside.find_first_of(" \t\r\n");
  return inside.substr(0, end);
}

bool SameWord(std::string_view a, std::string_view b) {
  return StCompare(StFromView(a), StFromView(b), StASCIILower) == kStEqual;
}

}  // namespace

St ForumAccImport(const ForumFile& item, const St& text) {
  if (text.Length() > kForumAccImportMax) return StCStrXfm("Access list too long");
  ForumRoot root = ForumFileRoot(item);
  std::string report;
  auto say = [&](std::string_view line) {
    if (!report.empty()) report += '\n';
    report += line;
  };
  AccessReader reader(text.View());
  std::string_view piece;
  bool tag = false;
  bool inAccess = false;
  const ForumAccessClass* cls = nullptr;  // the class of the members that follow
  bool explicitMasks = false;
  uint32_t permit = 0, inhibit = 0;
  auto give = [&](ChHandle principal) {
    if (explicitMasks) {
      ForumAccEnable(item, principal, permit);
      ForumAccInhibit(item, principal, inhibit);
    } else if (cls) {
      ForumAccEnable(item, principal, cls->given);
      ForumAccInhibit(item, principal, cls->taken);
    }
  };
  while (reader.Next(&piece, &tag)) {
    if (!tag) {
      if (!inAccess || (!cls && !explicitMasks)) continue;
      St name = StFromSgml(StFromView(piece));
      std::string refusal;
      ChHandle principal = PrincipalNamed(root, name, &refusal);
      if (principal == 0) {
        say(refusal);
      } else if (ForumUserGetSysop(root, principal) && !explicitMasks && cls &&
                 cls->formValue != "host") {
        say(std::string(kAccMsgSysopHost) + name.Str());
      } else {
        give(principal);
        bool isGroup = ForumUserGetType(root, principal) == kForumUserGroup;
        say(std::string(isGroup ? "  Add group: " : "  Add user: ") + name.Str());
      }
      continue;
    }
    std::string_view name = TagName(piece);
    if (SameWord(name, "access")) {
      inAccess = true;
      // The list starts as the one in use, so that what the text leaves
      // out keeps its rights.
      if (!ForumAccHasList(item)) MakeOwnList(item);
      uint32_t v = 0;
      if (Attribute(piece, "guestPermit", &v)) ForumAccEnable(item, kForumAccAllGuests, v);
      if (Attribute(piece, "guestInhibit", &v)) ForumAccInhibit(item, kForumAccAllGuests, v);
      if (Attribute(piece, "otherPermit", &v)) ForumAccEnable(item, kForumAccAllUsers, v);
      if (Attribute(piece, "otherInhibit", &v)) ForumAccInhibit(item, kForumAccAllUsers, v);
      // The classes' own masks are fixed here: moderatedInhibit and
      // participantInhibit are not read.
      continue;
    }
    if (!inAccess) continue;
    if (SameWord(name, "/access")) break;
    if (SameWord(name, "other-access")) {
      explicitMasks = Attribute(piece, "permit", &permit) && Attribute(piece, "inhibit", &inhibit);
      cls = nullptr;
      continue;
    }
    if (SameWord(name, "GuestAny") || SameWord(name, "OtherUser")) {
      ChHandle principal = SameWord(name, "GuestAny") ? kForumAccAllGuests : kForumAccAllUsers;
      give(principal);
      continue;
    }
    if (SameWord(name, "SysopAny")) continue;
    const ForumAccessClass* found = nullptr;
    for (const ExportClass& c : kExportClasses)
      if (SameWord(name, c.element) || SameWord(name, c.formValue))
        found = ForumGetAccessClass(c.formValue);
    if (found) {
      cls = found;
      explicitMasks = false;
    }
  }
  return StFromView(report);
}

}  // namespace quil
