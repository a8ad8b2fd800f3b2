// Read marks, the per-discussion message cache, new-message tests and
// counts, and the guests' cut-off (ForumRead.h).
#include <algorithm>
#include <unordered_map>

#include "Bt.h"
#include "ChSt.h"
#include "ForumInt.h"
#include "ForumModerated.h"
#include "ForumRead.h"
#include "ForumUserInt.h"
#include "Ma.h"
#include "Sl.h"

namespace quil {

struct ForumReadState {
  // The last answer of ForumUserHasMarks, good while the users' generation
  // stays (a user's type changes only with it).
  ChHandle marksUser = 0;
  uint32_t marksGeneration = 0;
  bool marksAnswer = false;
  // That user's mark tree (0: none yet, or still the older list), kept up
  // by MarkTree.
  ChHandle marksTree = 0;
  // What a folder listing asks of each child, by the handle of the child's
  // entry record or of the child's own record, kept until the root's
  // messages or structure change (ForumChanged moves MsgRev or StructRev;
  // an entry loses its child or is destroyed only with StructRev).
  struct Summary {
    ChHandle key = 0;
    int32_t msgRev = 0, structRev = 0;
    ChHandle rec = 0;  // the child record, 0: an entry without one
    int32_t id = 0;
    // A discussion's last live message (-1: none) and its date; kNoTopic
    // for anything but a discussion.
    int32_t lastLive = -1;
    LgDbTd lastDate;
    bool Topic() const { return lastLive != kNoTopic; }
    static constexpr int32_t kNoTopic = -2;
  };
  static_assert(sizeof(Summary) == 32);
  // Open addressing with linear probing, at most three quarters full: one
  // cache line per look-up, where a node-based map costs a miss per node.
  std::vector<Summary> summaries = std::vector<Summary>(1024);
  size_t summaryCount = 0;
  // The guests' cut-off.
  bool valid = false;
  int32_t hours = 0;
  int64_t computedAt = 0;
  LgDbTd cutoff;
};

// One position of a discussion.
struct ForumMsgCacheEntry {
  ChHandle rec = 0;  // 0: the position holds no message
  int32_t number = 0;
  int32_t uniqueId = 0;
  int32_t parent = -1;  // the position answered; -1: none
  int32_t firstChild = -1, lastChild = -1, nextSibling = -1;
};

struct ForumMsgCache {
  std::vector<ForumMsgCacheEntry> entries;
  int32_t deleted = 0;  // the discussion's DeletedCount when built
  int32_t firstTop = -1, lastTop = -1;  // the messages that answer none
  int32_t live = 0;
  // The last count of new messages and what it was counted for: the user
  // and the mark (guests: user 0 and the cut-off).
  bool countValid = false;
  ChHandle countUser = 0;
  int32_t countMark = 0;
  LgDbTd countCutoff;
  int32_t count = 0;
};

namespace {

constexpr int64_t kCutoffAgeSeconds = 900;
// An old interval list converts at most this many marks: an entry
// stretching over more identifiers than that is no list of read marks.
constexpr uint32_t kConvertMax = 1u << 20;

ForumReadState& ReadState(ForumRoot root) {
  if (!root->readState) root->readState = std::make_shared<ForumReadState>();
  return *root->readState;
}

ChHandle MarkField(ForumRoot root) { return ForumUserStateOf(root).fHighwater; }

// Whether rec is a live discussion, by the bytes of its Type: a listing
// asks this of every entry, and interning the text (LgDbRecGetTextId) would
// cost more than the rest of the test.
bool IsTopicRec(ForumRoot root, ChHandle rec) {
  static const St topic = StCStrXfm("forum-topic");
  ChHandle h = LgDbRecGetTextBuf(rec, root->f.Type);
  return h != 0 && ChType(h) == kChStType && ChStEqualSt(h, topic);
}

// The user's mark tree, 0 when there is none; from the cache of
// ForumUserHasMarks when it is about this user.
ChHandle TreeOf(ForumRoot root, ChHandle user) {
  ForumReadState& s = ReadState(root);
  if (ForumUserHasMarks(root, user) && s.marksUser == user) return s.marksTree;
  return LgDbRecGetBti1(user, MarkField(root));
}

// The mark of id in the new form or, before conversion, the old one.
bool MarkGet(ForumRoot root, ChHandle user, int32_t id, int32_t* value) {
  ChHandle field = MarkField(root);
  if (ChHandle tree = TreeOf(root, user)) {
    uint32_t word = 0;
    if (!Bti1DbLookup(tree, uint32_t(id), &word)) return false;
    *value = int32_t(word);
    return true;
  }
  ChHandle old = LgDbRecGetIvSl(user, field);
  if (old == 0 || id < 0) return false;
  uint32_t start = 0, length = 0;
  uint32_t word = SlGetInterval(old, uint32_t(id), &start, &length);
  if (word == 0) return false;
  *value = int32_t(word);
  return true;
}

// The tree marks are written to, made (and an old list converted) on the
// first write.
ChHandle MarkTree(ForumRoot root, ChHandle user) {
  ChHandle field = MarkField(root);
  ChHandle tree = LgDbRecGetBti1(user, field);
  if (tree != 0) return tree;
  tree = Bti1DbCreate(user);
  ForumReadState& s = ReadState(root);
  if (s.marksUser == user) s.marksTree = tree;
  if (ChHandle old = LgDbRecGetIvSl(user, field)) {
    uint32_t converted = 0;
    SlSegIter it = SlSegStart(old, 0);
    uint32_t value = 0, start = 0, length = 0;
    while (converted < kConvertMax && SlSegNext(it, &value, &start, &length)) {
      if (value == 0) continue;
      for (uint32_t k = 0; k < length && converted < kConvertMax; ++k, ++converted)
        Bti1DbSet(tree, start + k, value);
    }
    SlSegStop(it);
    (void)LgDbRecFieldRemoveKind(user, field, kLgDbIvSlType);
    ForumRecord(StFromView(" * User highwater conversion " + ForumUserName(root, user).Str()));
  }
  LgDbRecPutBti1(user, field, tree);
  return tree;
}

int32_t Mark(ForumRoot root, ChHandle user, int32_t id) {
  int32_t value = 0;
  return MarkGet(root, user, id, &value) ? value : 0;
}

int32_t Positions(ForumRoot root, ChHandle rec) { return ForumDiscussionPositions(root, rec); }

bool LaterThan(ForumRoot root, ChHandle msg, const LgDbTd& cutoff) {
  LgDbTd date;
  return LgDbRecGetTd(msg, root->f.Date, &date) && LgDbTdCompare(date, cutoff) == kStAfter;
}

// Listings ask for every child; beyond this many the summaries start again.
constexpr size_t kSummaryMax = 1u << 20;

ForumReadState::Summary& SummarySlot(ForumReadState& s, ChHandle key) {
  if (4 * (s.summaryCount + 1) > 3 * s.summaries.size()) {
    std::vector<ForumReadState::Summary> old;
    old.swap(s.summaries);
    size_t size = old.size() * 2;
    if (s.summaryCount >= kSummaryMax) {
      old.clear();
      size = 1024;
    }
    s.summaries.assign(size, ForumReadState::Summary());
    s.summaryCount = 0;
    for (const auto& m : old) {
      if (m.key != 0) SummarySlot(s, m.key) = m;
    }
  }
  size_t mask = s.summaries.size() - 1;
  for (size_t i = (size_t(key) * 0x9E3779B97F4A7C15ull >> 20) & mask;; i = (i + 1) & mask) {
    ForumReadState::Summary& m = s.summaries[i];
    if (m.key == key) return m;
    if (m.key == 0) {
      m.key = key;
      ++s.summaryCount;
      return m;
    }
  }
}

// The summary of a child, by its entry record (entry true) or its own
// record: whether it is a live discussion, its identifier, and a
// discussion's last live message (the walk back from its last position)
// with the message's date.  Reading them costs several chunks of the
// entry, the record and the discussion's list; the summary one look-up
// while nothing changed.
const ForumReadState::Summary& Summarize(ForumRoot root, ChHandle key, bool entry) {
  ForumReadState& s = ReadState(root);
  ForumReadState::Summary& m = SummarySlot(s, key);
  if (m.msgRev == root->msgRev && m.structRev == root->structRev && m.id != 0) return m;
  m = ForumReadState::Summary();
  m.key = key;
  m.msgRev = root->msgRev;
  m.structRev = root->structRev;
  m.rec = entry ? LgDbRecGetRec(key, root->f.File) : key;
  if (m.rec == 0) return m;
  m.id = ForumUniqueIdFromRec(root, m.rec);
  if (!IsTopicRec(root, m.rec)) {
    m.lastLive = ForumReadState::Summary::kNoTopic;
  } else {
    ChHandle list = LgDbRecGetList(m.rec);
    for (int32_t p = Positions(root, m.rec) - 1; p >= 0; --p) {
      ChHandle msg = LgDbRecGet(list, uint32_t(p));
      if (msg == 0) continue;
      m.lastLive = p;
      (void)LgDbRecGetTd(msg, root->f.Date, &m.lastDate);
      break;
    }
  }
  return m;
}

bool SummaryHasNew(ForumRoot root, const ForumReadState::Summary& m, ChHandle user,
                   bool registered) {
  if (m.lastLive < 0) return false;  // no message, or no discussion
  if (registered) return m.lastLive + 1 >= Mark(root, user, m.id);
  return LgDbTdCompare(m.lastDate, ForumGuestNewCutoff(root)) == kStAfter;
}

// Whether the discussion record rec has a message new for the user: for a
// registered user (registered true) a live one at or above the mark, so
// the last live one; for guests a last message later than the cut-off.
bool RecHasNew(ForumRoot root, ChHandle rec, ChHandle user, bool registered) {
  return SummaryHasNew(root, Summarize(root, rec, false), user, registered);
}

ForumFileRec* DiscussionRec(const ForumFile& discussion, const char* what) {
  MA_CHECK(ForumDebugFlag, ForumFileIsForum(discussion), what);
  return discussion.Rec();
}

void CacheAppend(ForumRoot root, ForumFileRec* d, ForumMsgCache& c, int32_t p) {
  ForumMsgCacheEntry e;
  e.rec = LgDbRecGet(d->list, uint32_t(p));
  c.entries.push_back(e);
  ForumMsgCacheEntry& n = c.entries.back();
  if (n.rec == 0) return;
  const ForumFieldIds& f = root->f;
  ++c.live;
  n.number = ForumRecInt(n.rec, f.MessageNumber, p);
  n.uniqueId = ForumRecInt(n.rec, f.UniqueId, 0);
  n.parent = ForumRecInt(n.rec, f.Parent, -1);
  // A reply to a message that is gone hangs at the top.
  if (n.parent >= p || n.parent < -1 || (n.parent >= 0 && c.entries[size_t(n.parent)].rec == 0))
    n.parent = -1;
  int32_t& last = n.parent >= 0 ? c.entries[size_t(n.parent)].lastChild : c.lastTop;
  int32_t& first = n.parent >= 0 ? c.entries[size_t(n.parent)].firstChild : c.firstTop;
  if (last >= 0) {
    c.entries[size_t(last)].nextSibling = p;
  } else {
    first = p;
  }
  last = p;
}

// The discussion's cache, brought up to date.
ForumMsgCache& Cache(const ForumFile& discussion) {
  ForumFileRec* d = DiscussionRec(discussion, "ForumMsgCacheCreate--Forum");
  ForumRoot root = d->root;
  if (!d->msgCache) d->msgCache = std::make_shared<ForumMsgCache>();
  ForumMsgCache& c = *d->msgCache;
  int32_t end = Positions(root, d->rec);
  int32_t deleted = ForumRecInt(d->rec, root->f.DeletedCount, 0);
  if (deleted != c.deleted || end < int32_t(c.entries.size())) {
    c = ForumMsgCache();
    c.deleted = deleted;
  }
  if (int32_t(c.entries.size()) < end) {
    c.entries.reserve(size_t(end));
    for (int32_t p = int32_t(c.entries.size()); p < end; ++p) CacheAppend(root, d, c, p);
    c.countValid = false;
  }
  return c;
}

}  // namespace

// ---------------------------------------------------------------------------
// Marks.

int32_t ForumDiscussionPositions(ForumRoot root, ChHandle rec) {
  int32_t size = 0;
  if (LgDbRecGetInt(rec, root->f.Size, &size)) return size;
  return int32_t(LgDbLength(LgDbRecGetList(rec)));
}

bool ForumRecHasNew(ForumRoot root, ChHandle rec, ChHandle user) {
  return RecHasNew(root, rec, user, ForumUserHasMarks(root, user));
}

void ForumRecMarkRead(ForumRoot root, ChHandle rec, ChHandle user) {
  (void)UserSetHighwaterLarger(root, user, ForumUniqueIdFromRec(root, rec),
                               Positions(root, rec) + 1);
}

bool ForumUserHasMarks(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return false;
  ForumReadState& s = ReadState(root);
  uint32_t generation = ForumUsersGeneration(root);
  if (s.marksUser != user || s.marksGeneration != generation) {
    s.marksUser = user;
    s.marksGeneration = generation;
    s.marksAnswer = ForumUserGetType(root, user) == kForumUserRegistered;
    s.marksTree = LgDbRecGetBti1(user, MarkField(root));
  }
  return s.marksAnswer;
}

bool UserGetHighwater(ForumRoot root, ChHandle user, int32_t id, int32_t* value) {
  if (!ForumIsRecordPrincipal(user)) return false;
  return MarkGet(root, user, id, value);
}

bool UserHasHighwater(ForumRoot root, ChHandle user, int32_t id) {
  int32_t value = 0;
  return UserGetHighwater(root, user, id, &value);
}

void UserSetHighwater(ForumRoot root, ChHandle user, int32_t id, int32_t value) {
  if (!ForumUserHasMarks(root, user)) return;
  Bti1DbSet(MarkTree(root, user), uint32_t(id), uint32_t(value));
  ForumSaveArm(root);
}

bool UserSetHighwaterLarger(ForumRoot root, ChHandle user, int32_t id, int32_t value) {
  if (!ForumUserHasMarks(root, user)) return false;
  int32_t old = 0;
  if (MarkGet(root, user, id, &old) && old >= value) return false;
  UserSetHighwater(root, user, id, value);
  return true;
}

bool UserNextHighwater(ForumRoot root, ChHandle user, int32_t after, int32_t* id,
                       int32_t* value) {
  if (!ForumIsRecordPrincipal(user)) return false;
  ChHandle field = MarkField(root);
  if (ChHandle tree = LgDbRecGetBti1(user, field)) {
    // The first entry above after: the position where after + 1 would go.
    uint32_t key = uint32_t(after) + 1;
    uint32_t lo = 0, hi = Bti1DbCount(tree);
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2;
      uint32_t k = 0;
      uint32_t w = 0;
      (void)Bti1DbIndex(tree, mid, &k, &w);
      if (k < key) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    uint32_t k = 0, word = 0;
    if (key == 0 || !Bti1DbIndex(tree, lo, &k, &word)) return false;
    *id = int32_t(k);
    *value = int32_t(word);
    return true;
  }
  ChHandle old = LgDbRecGetIvSl(user, field);
  if (old == 0 || uint32_t(after) + 1 == 0) return false;
  SlSegIter it = SlSegStart(old, uint32_t(after) + 1);
  uint32_t word = 0, start = 0, length = 0;
  bool found = false;
  while (SlSegNext(it, &word, &start, &length)) {
    if (word == 0) continue;
    *id = int32_t(std::max(start, uint32_t(after) + 1));
    *value = int32_t(word);
    found = true;
    break;
  }
  SlSegStop(it);
  return found;
}

int32_t UserHighwaterCount(ForumRoot root, ChHandle user) {
  if (!ForumIsRecordPrincipal(user)) return 0;
  if (ChHandle tree = LgDbRecGetBti1(user, MarkField(root))) return int32_t(Bti1DbCount(tree));
  int32_t count = 0, id = 0, value = 0;
  for (int32_t after = 0; UserNextHighwater(root, user, after, &id, &value); after = id) ++count;
  return count;
}

void ForumSetHighwater(ChHandle user, const ForumFile& item, int32_t index) {
  if (!item) return;
  ForumRoot root = ForumFileRoot(item);
  if (!ForumUserHasMarks(root, user)) return;
  ForumFile discussion;
  if (ForumFileIsMessage(item)) {
    discussion = ForumFileParent(item);
    index = item.Rec()->messageIndex;
  } else if (ForumFileIsForum(item)) {
    discussion = item;
  }
  if (!discussion) {
    (void)UserSetHighwaterLarger(root, user, ForumFileUniqueId(item), index);
    return;
  }
  if (index < -1) index = -1;
  if (UserSetHighwaterLarger(root, user, ForumFileUniqueId(discussion), index + 2)) {
    // What was new has changed: the next count counts again.
    if (auto& c = discussion.Rec()->msgCache) c->countValid = false;
  }
}

void ForumSetHighwaterAll(ChHandle user, const ForumFile& discussion) {
  if (!ForumFileIsForum(discussion)) return;
  ForumRoot root = ForumFileRoot(discussion);
  int32_t end = Positions(root, ForumFileRecord(discussion));
  ForumSetHighwater(user, discussion, end - 1);
}

// ---------------------------------------------------------------------------
// The guests' cut-off.

void ForumGuestNewCutoffRefresh(ForumRoot root) {
  ForumReadState& s = ReadState(root);
  s.hours = ForumSysopGuestNewHours(root);
  s.computedAt = ForumSecondsNow();
  s.cutoff = LgDbTdFromTd(TdFromSeconds(s.computedAt - int64_t(s.hours) * 3600, false));
  s.valid = true;
}

LgDbTd ForumGuestNewCutoff(ForumRoot root) {
  ForumReadState& s = ReadState(root);
  int64_t now = ForumSecondsNow();
  if (!s.valid || s.hours != ForumSysopGuestNewHours(root) || now < s.computedAt ||
      now - s.computedAt >= kCutoffAgeSeconds)
    ForumGuestNewCutoffRefresh(root);
  return s.cutoff;
}

// ---------------------------------------------------------------------------
// New items and messages.

bool ForumIsNew(const ForumFile& item, ChHandle user) {
  if (!item) return false;
  ForumRoot root = ForumFileRoot(item);
  if (!ForumUserHasMarks(root, user)) return true;
  int32_t value = 0;
  return !MarkGet(root, user, ForumFileUniqueId(item), &value) || value == -1;
}

bool ForumItemIsNew(const ForumFile& discussion, int32_t index, ChHandle user) {
  ForumFileRec* d = DiscussionRec(discussion, "ForumItemIsNew--Forum");
  ChHandle msg = ForumItemRec(discussion, index);
  if (msg == 0) return false;
  ForumRoot root = d->root;
  if (!ForumUserHasMarks(root, user)) return LaterThan(root, msg, ForumGuestNewCutoff(root));
  return index + 1 >= Mark(root, user, d->uniqueId);
}

int32_t ForumNewMessages(const ForumFile& discussion, ChHandle user) {
  ForumMsgCache& c = Cache(discussion);
  ForumRoot root = ForumFileRoot(discussion);
  bool registered = ForumUserHasMarks(root, user);
  int32_t mark = registered ? Mark(root, user, ForumFileUniqueId(discussion)) : 0;
  LgDbTd cutoff = registered ? LgDbTd() : ForumGuestNewCutoff(root);
  ChHandle who = registered ? user : 0;
  if (c.countValid && c.countUser == who && c.countMark == mark && c.countCutoff == cutoff)
    return c.count;
  int32_t count = 0;
  int32_t end = int32_t(c.entries.size());
  for (int32_t p = registered ? std::max(mark - 1, 0) : 0; p < end; ++p) {
    const ForumMsgCacheEntry& e = c.entries[size_t(p)];
    if (e.rec != 0 && (registered || LaterThan(root, e.rec, cutoff))) ++count;
  }
  c.countValid = true;
  c.countUser = who;
  c.countMark = mark;
  c.countCutoff = cutoff;
  c.count = count;
  return count;
}

bool ForumHasNewMessages(const ForumFile& discussion, ChHandle user) {
  ForumFileRec* d = DiscussionRec(discussion, "ForumHasNewMessages--Forum");
  return RecHasNew(d->root, d->rec, user, ForumUserHasMarks(d->root, user));
}

bool ForumEntryIsNew(ForumRoot root, ChHandle entry, ChHandle user) {
  if (entry == 0) return false;
  const ForumReadState::Summary& m = Summarize(root, entry, true);
  if (m.rec == 0) return false;
  bool registered = ForumUserHasMarks(root, user);
  if (m.Topic()) return SummaryHasNew(root, m, user, registered);
  if (!registered) return true;
  int32_t value = 0;
  return !MarkGet(root, user, m.id, &value) || value == -1;
}

int32_t ForumFirstTreeNew(const ForumFile& discussion, ChHandle user) {
  ForumMsgCache& c = Cache(discussion);
  ForumRoot root = ForumFileRoot(discussion);
  bool registered = ForumUserHasMarks(root, user);
  int32_t mark = registered ? Mark(root, user, ForumFileUniqueId(discussion)) : 0;
  LgDbTd cutoff = registered ? LgDbTd() : ForumGuestNewCutoff(root);
  // Depth first: a message, its replies, then the next one at its level.
  std::vector<int32_t> stack;
  if (c.firstTop >= 0) stack.push_back(c.firstTop);
  while (!stack.empty()) {
    int32_t p = stack.back();
    stack.pop_back();
    const ForumMsgCacheEntry& e = c.entries[size_t(p)];
    if (registered ? p + 1 >= mark : LaterThan(root, e.rec, cutoff)) return p;
    if (e.nextSibling >= 0) stack.push_back(e.nextSibling);
    if (e.firstChild >= 0) stack.push_back(e.firstChild);
  }
  return -1;
}

int32_t ForumMessagesBefore(const ForumFile& discussion, int32_t index) {
  ForumMsgCache& c = Cache(discussion);
  int32_t end = std::min(index, int32_t(c.entries.size()));
  int32_t count = 0;
  for (int32_t p = 0; p < end; ++p) count += c.entries[size_t(p)].rec != 0;
  return count;
}

int32_t ForumMessagesAfter(const ForumFile& discussion, int32_t index) {
  ForumMsgCache& c = Cache(discussion);
  int32_t count = 0;
  for (int32_t p = std::max(index + 1, 0); p < int32_t(c.entries.size()); ++p)
    count += c.entries[size_t(p)].rec != 0;
  return count;
}

void ForumMsgCacheCreate(const ForumFile& discussion) { (void)Cache(discussion); }

std::vector<int32_t> ForumMsgThreadChildren(const ForumFile& discussion, int32_t index) {
  ForumMsgCache& c = Cache(discussion);
  std::vector<int32_t> out;
  int32_t p = -1;
  if (index < 0) {
    p = c.firstTop;
  } else if (index < int32_t(c.entries.size()) && c.entries[size_t(index)].rec != 0) {
    p = c.entries[size_t(index)].firstChild;
  }
  for (; p >= 0; p = c.entries[size_t(p)].nextSibling) out.push_back(p);
  return out;
}

}  // namespace quil
