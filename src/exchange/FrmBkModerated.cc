// The journaling setters of the moderation queue and the expiration task's
// operations (FrmBk.h).
#include "ForumEi.h"
#include "FrmBkInt.h"
#include "Ma.h"

namespace quil {

using frmbk::LogMark;
using frmbk::Withdraw;

namespace {

// The unique path of the folder or discussion an entry is meant for: what
// the records of an entry name it by (the target may be gone since).
St TargetPath(ForumRoot root, int32_t position) {
  return ForumUniquePathOf(ForumModeratedItemTarget(root, position));
}

// An approval's creation keeps the time its record carries (see
// FrmBkFileItemCreate): the message, its discussion and their folder, or
// the new item and its folder.
void KeepDate(const ForumModeratedResult& made, LgDbTd now) {
  if (!made.item) return;
  if (made.index >= 0) {
    if (ForumItemDate(made.item, made.index) == now) return;
    (void)ForumItemSetDate(made.item, made.index, now);
    ForumSetDate(made.item, now);
    if (ForumFile folder = ForumFileParent(made.item)) ForumSetDate(folder, now);
    return;
  }
  if (ForumFileCreateDate(made.item) == now) return;
  ForumSetDate(made.item, now);
  ForumSetCreateDate(made.item, now);
  if (ForumFile folder = ForumFileParent(made.item)) ForumSetDate(folder, now);
}

}  // namespace

uint16_t FrmBkFileAddModerated(const ForumFile& target, int32_t replyTo, int type,
                               ChHandle author, const St& title, const St& body, bool showAuthor,
                               const St& contentType, const St& other, int32_t* position) {
  // A reply to a position without a live message answers none: a position
  // once cleared never holds a message again, and one past the end is not
  // the message the author saw.
  if (type == kForumModMessage && ForumFileIsForum(target) &&
      (replyTo < 0 || ForumItemRec(target, replyTo) == 0))
    replyTo = -1;
  ForumRoot root = ForumFileRoot(target);
  if (!root) return kForumNotContainer;
  int32_t at = ForumModeratedItemCount(root);
  int64_t mark = LogMark(root);
  uint16_t status = RecAddModerated(target, type == kForumModMessage ? replyTo : -1, at, type,
                                    ForumNextUniqueId(root), author, title, body, showAuthor,
                                    contentType, other);
  if (status != 0) return status;
  // The time of queuing: the entry's date record follows at once.
  LgDbTd now = ForumNow();
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Path("f", target).Int("moderated", at).Date("modItemDate", now);
    status = r.Send(root);
    if (status != 0) {
      Withdraw(root, mark);
      return status;
    }
  }
  int32_t made = -1;
  status = ForumFileAddModerated(target, replyTo, type, author, title, body, showAuthor,
                                 contentType, other, &made);
  if (status != 0) {
    Withdraw(root, mark);
    return status;
  }
  MA_CHECK(FrmBkDebugFlag, made == at, "FrmBkFileAddModerated--position");
  (void)ForumModeratedItemSetDate(root, made, now);
  if (position) *position = made;
  return 0;
}

uint16_t FrmBkModeratedItemSetDate(ForumRoot root, int32_t position, LgDbTd date) {
  if (!ForumModeratedExists(root, position)) return kForumNoEntry;
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Attr("f", TargetPath(root, position)).Int("moderated", position).Date("modItemDate", date);
    uint16_t status = r.Send(root);
    if (status != 0) return status;
  }
  return ForumModeratedItemSetDate(root, position, date);
}

uint16_t FrmBkModeratedItemSetMail(ForumRoot root, int32_t position, St from, St messageId) {
  if (!ForumModeratedExists(root, position)) return kForumNoEntry;
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Attr("f", TargetPath(root, position)).Int("moderated", position);
    r.Attr("from", from).Attr("messageId", messageId);
    uint16_t status = r.Send(root);
    if (status != 0) return status;
  }
  return ForumModeratedItemSetMail(root, position, std::move(from), std::move(messageId));
}

uint16_t FrmBkModeratedItemUpdate(ForumRoot root, int32_t position, bool approve,
                                  ForumModeratedResult* result) {
  if (!ForumModeratedExists(root, position)) return kForumNoEntry;
  int64_t second = 0;
  LgDbTd now = ForumEiNow(&second);
  if (RootNeedsSend(root)) {
    RecBuilder r("f");
    r.Attr("f", TargetPath(root, position)).Int("update", position);
    if (approve) r.Flag("approved").Hex("unique", uint32_t(ForumNextUniqueId(root)));
    r.Date("date", now);
    uint16_t status = r.Send(root);
    if (status != 0) return status;
  }
  // The entry leaves the queue whatever the outcome, so the record stays
  // even when the approval fails: its replay fails the same way.
  ForumModeratedResult made;
  uint16_t status = ForumModeratedItemUpdate(root, position, approve, &made);
  if (status == 0 && ForumEiSecondNow() != second) KeepDate(made, now);
  if (result) *result = std::move(made);
  return status;
}

// ---------------------------------------------------------------------------
// Expiration.

void frmbk::InstallArchiveOps() {
  ArchiveBgOps ops;
  ops.move = [](const ForumFile& folder, const St& name, const ForumFile& target) {
    return FrmBkCatItemMove(folder, name, target, St());
  };
  ops.destroy = [](const ForumFile& folder, const St& name) {
    return FrmBkCatItemDestroy(folder, name);
  };
  ArchiveBgSetOps(std::move(ops));
}

}  // namespace quil
